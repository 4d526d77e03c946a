#include "app/ResultViewController.h"

#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/no_destructor.h"
#include "platform/user_defaults.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageReference.h"
#include "uikit/UIWindow.h"
#include "uikit/renderer.h"

namespace almavel {

ResultViewController::ResultViewController() : ns::UIViewController("ResultViewController") { setTitle("Producto"); }

std::shared_ptr<ns::UIImage> ResultViewController::placeholderImage() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    static const ns::NoDestructor<std::shared_ptr<ns::UIImage>> image(
        ns::UIImage::filled({160, 120}, ColorFromHex().colorFromHex(0xD8DEE9, 1), 2));
    return *image;
}

void ResultViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 8;

    auto photo = ns::UIImageView::make(ns::CGRectMake(67.5, top, 240, 180));
    photo->setAccessibilityIdentifier("prodPhoto");
    photo->setContentMode(ns::UIViewContentMode::ScaleAspectFit);
    photo->setImage(placeholderImage());
    root->addSubview(photo);
    prodPhoto = photo;

    txtDescrip = screenLabel(*root, ns::CGRectMake(16, top + 192, 343, 48), "txtDescrip", 20, true);
    txtDescrip.lock()->setNumberOfLines(2);
    txtCodigo = screenLabel(*root, ns::CGRectMake(16, top + 242, 343, 22), "txtCodigo", 15);
    txtPrecio = screenLabel(*root, ns::CGRectMake(16, top + 272, 343, 26), "txtPrecio", 19, true);
    txtOferta = screenLabel(*root, ns::CGRectMake(16, top + 302, 343, 26), "txtOferta", 19, true);
    txtOferta.lock()->setTextColor(ColorFromHex().colorFromHex(0xC0392B, 1));
    txtFecOferta = screenLabel(*root, ns::CGRectMake(16, top + 330, 343, 22), "txtFecOferta", 15);
    txtMargen = screenLabel(*root, ns::CGRectMake(16, top + 358, 343, 22), "txtMargen", 15);

    const double y = top + 400;
    auto add = outlinedButton(*root, ns::CGRectMake(16, y, 107, 44), "Cotizar", "btAdd");
    add->addTarget(ns::TargetAction::to(this, "addQuote:", &ResultViewController::addQuote),
                   ns::UIControlEventTouchUpInside);
    btAdd = add;
    auto cons = outlinedButton(*root, ns::CGRectMake(134, y, 107, 44), "Existencia", "btCons");
    cons->addTarget(ns::TargetAction::to(this, "conDispo:", &ResultViewController::conDispo),
                    ns::UIControlEventTouchUpInside);
    btCons = cons;
    auto share = outlinedButton(*root, ns::CGRectMake(252, y, 107, 44), "Compartir", "btShare");
    share->addTarget(ns::TargetAction::to(this, "sharePhoto:", &ResultViewController::sharePhoto),
                     ns::UIControlEventTouchUpInside);
    btShare = share;
    setView(root);
}

void ResultViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    for (const auto& weak : {btAdd, btCons, btShare}) {
        if (auto button = weak.lock()) outlineBorder(*button);
    }
    auto defaults = ns::UserDefaults::standard();
    auto setText = [](const std::weak_ptr<ns::UILabel>& weak, const std::string& text) {
        if (auto label = weak.lock()) label->setText(text);
    };
    const ns::Value descrip = defaults->objectForKey(kDescripKey);
    const ns::Value codigo = defaults->objectForKey(kCodigoKey);
    setText(txtDescrip, descrip.isString() ? descrip.asString() : "");
    setText(txtCodigo, codigo.isString() ? codigo.asString() : "");

    const auto precio = numberValue(defaults->objectForKey(kPrecioKey));
    const auto oferta = numberValue(defaults->objectForKey(kOfertaKey));
    const auto margen = numberValue(defaults->objectForKey(kMargenKey));
    setText(txtOferta, "");
    setText(txtFecOferta, "");
    if (oferta && *oferta != 0.0) {
        setText(txtOferta, "En Oferta:  B/. " + formatAmount(*oferta));
        const auto first = integerValue(defaults->objectForKey(kFecIniKey));
        const auto last = integerValue(defaults->objectForKey(kFecFinKey));
        // Without both days there is no period to show.
        if (first && last) {
            setText(txtFecOferta,
                    "Oferta valida del " + std::to_string(*first) + " al " + std::to_string(*last));
        }
    }
    setText(txtPrecio, precio ? "Precio regular:  B/. " + formatAmount(*precio) : "");
    setText(txtMargen, margen ? "Margen: " + formatAmount(*margen) + "%" : "");
    if (codigo.isString()) loadProductPhoto(codigo.asString());
}

void ResultViewController::loadProductPhoto(const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    beginWaiting(actInd, view());
    std::weak_ptr<ns::Object> weak = weak_from_this();
    auto downloaded = [weak](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
        auto self = std::static_pointer_cast<ResultViewController>(weak.lock());
        if (!self) {
            ns::Application::shared()->endIgnoringInteractionEvents();
            return;
        }
        if (!error) {
            if (auto photo = self->prodPhoto.lock()) {
                photo->setImage(data ? ns::UIImage::initWithData(*data) : nullptr);
            }
        }
        endWaiting(self->actInd, self->view());
    };
    // At the deadline the download counts as failed: the placeholder stays.
    auto wait = WaitDeadline::start([downloaded] { downloaded(nullptr, WaitDeadline::timedOutError()); });
    QRVStorage::storage()->reference()->child("products/" + code + ".jpg")->dataWithMaxSize(
        kMaxPhotoBytes, wait->guard(downloaded));
}

void ResultViewController::addQuote(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kCantViewID);
}

void ResultViewController::conDispo(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kExistContID);
}

void ResultViewController::sharePhoto(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto window = ns::keyWindow();
    if (!window) return;
    const auto& layer = *window->layer();
    window->layoutIfNeeded();
    ns::UIGraphicsBeginImageContextWithOptions(layer.frame().size, false, ns::UIScreen::mainScreen()->scale());
    layer.renderInContext(ns::UIGraphicsGetCurrentContext());
    auto image = ns::UIGraphicsGetImageFromCurrentImageContext();
    ns::UIGraphicsEndImageContext();
    if (!image) return;
    ns::UIImageWriteToSavedPhotosAlbum(image);
    auto activity = ns::UIActivityViewController::initWithActivityItems(ns::Array{ns::Value(ns::ObjectPtr(image))});
    if (auto popover = activity->popoverPresentationController()) popover->setSourceView(view());
    activity->setExcludedActivityTypes({ns::UIActivityTypeAirDrop, ns::UIActivityTypePostToFacebook});
    presentViewController(activity, true);
}

}  // namespace almavel
