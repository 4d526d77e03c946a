#include "app/CapturaViewController.h"

#include <algorithm>
#include <iostream>

#include "app/AppConsole.h"
#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

CapturaViewController::CapturaViewController()
    : ProductLookUpScreen("CapturaViewController"),
      supportedCodeTypes{ns::AVMetadataObjectTypeUPCECode,     ns::AVMetadataObjectTypeCode39Code,
                         ns::AVMetadataObjectTypeCode39Mod43Code, ns::AVMetadataObjectTypeCode93Code,
                         ns::AVMetadataObjectTypeCode128Code,  ns::AVMetadataObjectTypeEAN8Code,
                         ns::AVMetadataObjectTypeEAN13Code,    ns::AVMetadataObjectTypeAztecCode,
                         ns::AVMetadataObjectTypePDF417Code,   ns::AVMetadataObjectTypeQRCode} {
    setTitle("Escanear");
    searchItem_ = ns::UIBarButtonItem::make("Buscar", ns::UIBarButtonItemStyle::Plain,
                                            ns::TargetAction::block("iraBusqueda:", [](const ns::ObjectPtr&) {}));
    searchItem_->setAccessibilityIdentifier("btSearch");
    navigationItem()->setRightBarButtonItem(searchItem_);
    btSearch = searchItem_;
}

void CapturaViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(hex.colorFromHex(0x202020, 1));
    const double top = ns::UINavigationController::kBarBottom;

    auto label = ns::UILabel::make(ns::CGRectMake(16, top + 12, screen.width() - 32, 32));
    label->setAccessibilityIdentifier("txtCodigo");
    label->setText(kCapturePrompt);
    label->setTextAlignment(ns::NSTextAlignment::Center);
    label->setTextColor(ns::UIColor::whiteColor());
    label->setFont(ns::UIFont::boldSystemFontOfSize(18));
    label->setBackgroundColor(hex.colorFromHex(0x000000, 0.5));
    root->addSubview(label);
    txtCodigo = label;

    auto field = ns::UITextField::make(ns::CGRectMake(16, screen.height() - 64, 243, 44));
    field->setAccessibilityIdentifier("txtCode");
    field->setPlaceholder("Código del producto");
    field->setBackgroundColor(ns::UIColor::whiteColor());
    field->setBorderStyle(ns::UITextBorderStyle::RoundedRect);
    field->setKeyboardType(ns::UIKeyboardType::NumbersAndPunctuation);
    root->addSubview(field);
    txtCode = field;

    auto send = filledButton(ns::CGRectMake(267, screen.height() - 64, 92, 44), "Buscar", "btSend",
                             hex.colorFromHex(kActionOrange, 1), 17);
    send->addTarget(ns::TargetAction::to(this, "manualSearch:", &CapturaViewController::manualSearch),
                    ns::UIControlEventTouchUpInside);
    root->addSubview(send);
    btSend = send;

    searchItem_->setAction(ns::TargetAction::to(this, "iraBusqueda:", &CapturaViewController::iraBusqueda));
    setView(root);
}

void CapturaViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    addKeyboardDismissTap();
    if (auto send = btSend.lock()) send->layer()->setCornerRadius(10);

    auto device = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo);
    if (!device) return;
    ns::ErrorRef error;
    auto input = ns::AVCaptureDeviceInput::deviceInputWithDevice(device, &error);
    if (!input) {
        AppConsole::write(error ? error->description() : std::string("no camera input"));
        return;
    }
    captureSession = ns::AVCaptureSession::make();
    captureSession->addInput(input);

    auto output = std::make_shared<ns::AVCaptureMetadataOutput>();
    captureSession->addOutput(output);
    output->setMetadataObjectsDelegate(
        std::dynamic_pointer_cast<ns::AVCaptureMetadataOutputObjectsDelegate>(shared_from_this()),
        ns::DispatchQueue::main());
    output->setMetadataObjectTypes(supportedCodeTypes);

    videoPreviewLayer = ns::AVCaptureVideoPreviewLayer::layerWithSession(captureSession);
    videoPreviewLayer->setVideoGravity(ns::AVLayerVideoGravityResizeAspectFill);
    videoPreviewLayer->setFrame(view()->layer()->bounds());
    // Where a camera picture would show: a dark, slightly lit viewfinder.
    videoPreviewLayer->setBackgroundColor(ColorFromHex().colorFromHex(0x2E3440, 1));
    view()->layer()->addSublayer(videoPreviewLayer);

    captureSession->startRunning();

    for (const auto& weak : {std::weak_ptr<ns::UIView>(txtCodigo), std::weak_ptr<ns::UIView>(txtCode),
                             std::weak_ptr<ns::UIView>(btSend)}) {
        if (auto v = weak.lock()) view()->bringSubviewToFront(v);
    }
    qrCodeFrameView = ns::UIView::make();
    qrCodeFrameView->layer()->setBorderColor(ns::UIColor::greenColor());
    qrCodeFrameView->layer()->setBorderWidth(2);
    view()->addSubview(qrCodeFrameView);
    view()->bringSubviewToFront(qrCodeFrameView);
}

void CapturaViewController::viewDidAppear(bool animated) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    restartCapture();
}

void CapturaViewController::viewDidDisappear(bool animated) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto field = txtCode.lock()) field->setText("");
}

void CapturaViewController::restartCapture() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!captureSession || captureSession->isRunning()) return;
    if (qrCodeFrameView) qrCodeFrameView->setFrame(ns::CGRectMake(0, 0, 0, 0));
    if (auto label = txtCodigo.lock()) label->setText(kCapturePrompt);
    captureSession->startRunning();
}

void CapturaViewController::captureOutputDidOutputMetadataObjects(
    const std::shared_ptr<ns::AVCaptureMetadataOutput>&, const std::vector<ns::AVMetadataObjectPtr>& metadataObjects,
    const std::shared_ptr<ns::AVCaptureConnection>&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    handleMetadataObjects(metadataObjects);
}

void CapturaViewController::handleMetadataObjects(const std::vector<ns::AVMetadataObjectPtr>& metadataObjects) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (metadataObjects.empty()) {
        if (qrCodeFrameView) qrCodeFrameView->setFrame(ns::CGRectMake(0, 0, 0, 0));
        if (auto label = txtCodigo.lock()) label->setText(kCapturePrompt);
        return;
    }
    auto code = std::dynamic_pointer_cast<ns::AVMetadataMachineReadableCodeObject>(metadataObjects.front());
    if (!code) return;
    if (std::find(supportedCodeTypes.begin(), supportedCodeTypes.end(), code->type()) == supportedCodeTypes.end()) {
        return;
    }
    if (videoPreviewLayer && qrCodeFrameView) {
        if (auto converted = videoPreviewLayer->transformedMetadataObjectForMetadataObject(code)) {
            qrCodeFrameView->setFrame(converted->bounds());
        }
    }
    if (!code->stringValue()) return;
    if (captureSession) captureSession->stopRunning();
    std::string value = *code->stringValue();
    if (code->type() == ns::AVMetadataObjectTypeEAN13Code && !value.empty() && value.front() == '0') {
        value.erase(0, 1);
    }
    auto label = txtCodigo.lock();
    if (label) label->setText(value);
    lookUpProduct(label ? label->text() : value);
}

void CapturaViewController::manualSearch(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    searchManually();
}

void CapturaViewController::searchManually() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto field = txtCode.lock();
    const std::string code = field ? field->text() : std::string();
    if (code.empty()) return;
    // One look-up at a time: a label the camera reads meanwhile would start
    // a second one behind the first. The capture starts again as after a
    // camera read (the screen reappearing, or an alert closed).
    if (captureSession) captureSession->stopRunning();
    lookUpProduct(code);
}

void CapturaViewController::iraBusqueda(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kSearchViewID);
}

void CapturaViewController::showAlert(const std::string& title, const std::string& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::weak_ptr<ns::Object> weak = weak_from_this();
    presentAlert(*this, title, message, "Cerrar", [weak] {
        if (auto self = std::static_pointer_cast<CapturaViewController>(weak.lock())) self->restartCapture();
    });
}

void CapturaViewController::showNotFound(const std::string& code) { showAlert(kNotFoundTitle, kNotFoundMessage + code); }

void CapturaViewController::showReadFailed(const std::string& title, const std::string& message) {
    showAlert(title, message);
}

}  // namespace almavel
