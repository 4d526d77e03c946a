#pragma once
// The barcode screen ("CapView"): the camera reads a product's code (one of
// the ten symbologies below) and the product is looked up; a code can also
// be typed, and the bar's "Buscar" button leads to the search. The capture
// stops at the first code read and starts again when the screen appears
// again or the not-found alert is closed. Without a camera the typed road
// still works.
//
// Main thread only.

#include <memory>
#include <vector>

#include "app/ProductLookUpScreen.h"
#include "uikit/AVFoundation.h"
#include "uikit/UIControls.h"

namespace almavel {

inline constexpr const char* kCapturePrompt = "Capture un código de barras";

class CapturaViewController : public ProductLookUpScreen, public ns::AVCaptureMetadataOutputObjectsDelegate {
public:
    CapturaViewController();

    std::shared_ptr<ns::AVCaptureSession> captureSession;
    std::shared_ptr<ns::AVCaptureVideoPreviewLayer> videoPreviewLayer;
    std::shared_ptr<ns::UIView> qrCodeFrameView;
    const std::vector<ns::AVMetadataObjectType> supportedCodeTypes;

    std::weak_ptr<ns::UILabel> txtCodigo;
    std::weak_ptr<ns::UITextField> txtCode;
    std::weak_ptr<ns::UIButton> btSend;
    std::weak_ptr<ns::UIBarButtonItem> btSearch;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;

    void captureOutputDidOutputMetadataObjects(const std::shared_ptr<ns::AVCaptureMetadataOutput>& output,
                                               const std::vector<ns::AVMetadataObjectPtr>& metadataObjects,
                                               const std::shared_ptr<ns::AVCaptureConnection>& connection) override;

    // Actions.
    void manualSearch(const ns::ObjectPtr& sender);
    void iraBusqueda(const ns::ObjectPtr& sender);

    void restartCapture();
    void handleMetadataObjects(const std::vector<ns::AVMetadataObjectPtr>& metadataObjects);
    void searchManually();
    // "Cerrar" restarts the capture.
    void showAlert(const std::string& title, const std::string& message);

protected:
    void showNotFound(const std::string& code) override;
    // "Cerrar" restarts the capture here too.
    void showReadFailed(const std::string& title, const std::string& message) override;

private:
    std::shared_ptr<ns::UIBarButtonItem> searchItem_;
};

}  // namespace almavel
