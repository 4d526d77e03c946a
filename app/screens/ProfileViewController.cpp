#include "app/ProfileViewController.h"

#include "app/AppConsole.h"
#include "app/ColorFromHex.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/WaitDeadline.h"
#include "auth/QRVAuth.h"
#include "database/api/QRVDatabase.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageMetadata.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

// Half the width and height, each pixel the mean of a 2 x 2 block.
std::shared_ptr<ns::UIImage> halved(const ns::UIImage& image) {
    const int w = std::max(1, image.pixelWidth() / 2);
    const int h = std::max(1, image.pixelHeight() / 2);
    const auto& src = image.rgba();
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 4; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        const int sx = std::min(image.pixelWidth() - 1, 2 * x + dx);
                        const int sy = std::min(image.pixelHeight() - 1, 2 * y + dy);
                        sum += src[(static_cast<size_t>(sy) * image.pixelWidth() + sx) * 4 + c];
                    }
                }
                out[(static_cast<size_t>(y) * w + x) * 4 + c] = static_cast<uint8_t>((sum + 2) / 4);
            }
        }
    }
    return std::make_shared<ns::UIImage>(w, h, std::move(out), image.scale());
}

std::optional<std::string> stringOrNone(const ns::Value& record, const char* key) {
    if (!record.isDictionary()) return std::nullopt;
    return stringField(record, key);
}

std::string textOf(const std::weak_ptr<ns::UITextField>& outlet) {
    auto field = outlet.lock();
    return field ? field->text() : std::string();
}

}  // namespace

ns::Data jpegWithin(const ns::UIImage& image, double quality, size_t maxBytes) {
    ns::Data jpeg = ns::UIImageJPEGRepresentation(image, quality);
    std::shared_ptr<ns::UIImage> smaller;
    const ns::UIImage* current = &image;
    while (!jpeg.empty() && jpeg.size() > maxBytes) {
        if (current->pixelWidth() == 1 && current->pixelHeight() == 1) return {};
        smaller = halved(*current);
        current = smaller.get();
        jpeg = ns::UIImageJPEGRepresentation(*current, quality);
    }
    return jpeg;
}

ProfileViewController::ProfileViewController()
    : ns::UIViewController("ProfileViewController"),
      ref(QRVDatabase::database()->reference()),
      storage(QRVStorage::storage()->reference()),
      imPicker(ns::UIImagePickerController::make()) {
    if (auto current = QRVAuth::auth()->currentUser()) user = current->uid();
    setTitle("Perfil");
}

void ProfileViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;
    auto photo = ns::UIImageView::make(ns::CGRectMake(127, top + 16, 120, 120));
    photo->setAccessibilityIdentifier("profilePhoto");
    photo->setContentMode(ns::UIViewContentMode::ScaleAspectFill);
    photo->setBackgroundColor(hex.colorFromHex(0xDDE3EC, 1));
    root->addSubview(photo);
    profilePhoto = photo;
    auto change = ns::UIButton::make(ns::CGRectMake(100, top + 140, 175, 32), "Cambiar foto");
    change->setAccessibilityIdentifier("UpdatePhoto");
    change->setTitleColor(hex.colorFromHex(kBrandBlue, 1));
    change->addTarget(ns::TargetAction::to(this, "UpdatePhoto:", &ProfileViewController::UpdatePhoto),
                      ns::UIControlEventTouchUpInside);
    root->addSubview(change);
    const std::tuple<std::weak_ptr<ns::UITextField>*, const char*, const char*> fields[] = {
        {&txtNombre, "txtNombre", "Nombre"},
        {&txtApellido, "txtApellido", "Apellido"},
        {&txtTelefono, "txtTelefono", "Teléfono"},
    };
    double y = top + 188;
    for (const auto& [outlet, name, placeholder] : fields) {
        auto field = formField(ns::CGRectMake(40, y, 295, 44), name, placeholder);
        root->addSubview(field);
        *outlet = field;
        y += 54;
    }
    auto save = filledButton(ns::CGRectMake(40, y + 14, 295, 48), "Actualizar datos", "BtUpdate",
                             hex.colorFromHex(kBrandBlue, 1), 18);
    save->addTarget(ns::TargetAction::to(this, "ActualizarDatos:", &ProfileViewController::ActualizarDatos),
                    ns::UIControlEventTouchUpInside);
    root->addSubview(save);
    BtUpdate = save;
    setView(root);
}

void ProfileViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    imPicker->setDelegate(std::dynamic_pointer_cast<ns::UIImagePickerControllerDelegate>(shared_from_this()));
    addKeyboardDismissTap();
    if (auto save = BtUpdate.lock()) {
        save->layer()->setCornerRadius(5.0);
        save->setClipsToBounds(true);
    }
    if (!user) {
        // Nothing to read or write without a uid: say so and keep the save
        // button out of reach instead of building a path without one.
        if (auto save = BtUpdate.lock()) save->setEnabled(false);
        presentAlert(*this, "Perfil", "Debe iniciar sesión para ver su perfil", "Cerrar");
        return;
    }
    beginWaiting(ActInd, view());
    loadProfile();
}

void ProfileViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void ProfileViewController::addKeyboardDismissTap() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &ProfileViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
}

void ProfileViewController::ActualizarDatos(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    saveProfile();
}

void ProfileViewController::UpdatePhoto(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!ns::UIImagePickerController::isSourceTypeAvailable(ns::UIImagePickerControllerSourceType::Camera)) {
        presentAlert(*this, "Cámara", "Este dispositivo no tiene cámara", "Cerrar");
        return;
    }
    imPicker->setSourceType(ns::UIImagePickerControllerSourceType::Camera);
    presentViewController(imPicker, true);
}

void ProfileViewController::imagePickerControllerDidFinishPickingMediaWithInfo(ns::UIImagePickerController& picker,
                                                                              const ns::Dictionary& info) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto found = info.find(ns::UIImagePickerControllerOriginalImage);
    std::shared_ptr<ns::UIImage> image;
    if (found != info.end() && found->second.isObject()) {
        image = std::dynamic_pointer_cast<ns::UIImage>(found->second.asObject());
    }
    // A result without a picture changes nothing.
    if (image) {
        if (auto photo = profilePhoto.lock()) photo->setImage(image);
        newPhoto_ = image;
    }
    picker.dismissViewControllerAnimated(true);
}

void ProfileViewController::loadProfile() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!user) return;
    std::weak_ptr<ProfileViewController> weak = std::static_pointer_cast<ProfileViewController>(shared_from_this());
    auto cancel = waitingCancelBlock(std::static_pointer_cast<ns::UIViewController>(shared_from_this()), ActInd);
    QRVCancelBlock readFailed = [weak, cancel](ns::ErrorRef error) {
        if (auto self = weak.lock()) self->readError_ = error;
        cancel(std::move(error));
    };
    auto wait = WaitDeadline::start([readFailed] { readFailed(WaitDeadline::timedOutError()); });
    ref->child("us3r1nf0")->child(*user)->observeSingleEventOfType(
        QRVDataEventTypeValue,
        wait->guard([weak](QRVDataSnapshotPtr snapshot) {
            if (auto self = weak.lock()) {
                self->fillProfile(snapshot);
            } else {
                ns::Application::shared()->endIgnoringInteractionEvents();
            }
        }),
        wait->guard(readFailed));
}

void ProfileViewController::fillProfile(const QRVDataSnapshotPtr& snapshot) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // A missing or odd record fills nothing; the e-mail then comes from the
    // signed-in account, so a save never writes it away.
    const ns::Value record = snapshot ? snapshot->value() : ns::Value();
    profileRead_ = true;
    if (auto correo = stringOrNone(record, "Correo")) {
        userEmail = *correo;
    } else if (auto current = QRVAuth::auth()->currentUser(); current && current->email()) {
        userEmail = *current->email();
    }
    const std::pair<std::weak_ptr<ns::UITextField>*, const char*> fields[] = {
        {&txtNombre, "Nombre"}, {&txtApellido, "Apellido"}, {&txtTelefono, "Telefono"}};
    for (const auto& [outlet, key] : fields) {
        if (auto field = outlet->lock()) field->setText(stringOrNone(record, key).value_or(""));
    }
    endWaiting(ActInd, view());
    downloadProfilePhoto(*user);
}

std::shared_ptr<QRVStorageReference> ProfileViewController::photoReference(const std::string& uid) const {
    return storage->child("profiles/" + uid + ".jpg");
}

void ProfileViewController::downloadProfilePhoto(const std::string& uid) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    beginWaiting(ActInd, view());
    std::weak_ptr<ProfileViewController> weak = std::static_pointer_cast<ProfileViewController>(shared_from_this());
    auto downloaded = [weak](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
        auto self = weak.lock();
        if (!self) {
            ns::Application::shared()->endIgnoringInteractionEvents();
            return;
        }
        // A photo picked while this ran stays.
        if (!error && data && !self->newPhoto_) {
            if (auto photo = self->profilePhoto.lock()) photo->setImage(ns::UIImage::initWithData(*data));
        }
        endWaiting(self->ActInd, self->view());
    };
    auto wait = WaitDeadline::start([downloaded] { downloaded(nullptr, WaitDeadline::timedOutError()); });
    photoReference(uid)->dataWithMaxSize(kProfilePhotoMaxBytes, wait->guard(downloaded));
}

void ProfileViewController::saveProfile() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!user) return;
    // Fields that were never filled from the record would replace it whole
    // with empty texts and no address: the failed read is told again instead.
    if (!profileRead_) {
        presentAlert(*this, kReadFailedTitle, readFailedMessage(readError_), "Cerrar");
        return;
    }
    beginWaiting(ActInd, view());
    ref->child("us3r1nf0")->child(*user)->setValue(ns::Value(ns::Dictionary{
        {"Apellido", textOf(txtApellido)},
        {"Correo", userEmail},
        {"Nombre", textOf(txtNombre)},
        {"Telefono", textOf(txtTelefono)},
    }));
    if (newPhoto_) {
        const ns::Data jpeg = jpegWithin(*newPhoto_, 0.3, kProfilePhotoMaxBytes);
        if (!jpeg.empty()) {
            QRVStorageMetadata metadata;
            metadata.setContentType("image/jpeg");
            std::weak_ptr<ProfileViewController> weak =
                std::static_pointer_cast<ProfileViewController>(shared_from_this());
            photoReference(*user)->putData(
                jpeg, &metadata, [weak, picked = newPhoto_](QRVStorageMetadataPtr, ns::ErrorRef error) {
                    auto self = weak.lock();
                    if (!error || !self) return;
                    AppConsole::write("Unable to upload the photo: " + error->localizedDescription());
                    // The clerk's photo is not lost with the upload: the next
                    // save sends it, unless another was picked meanwhile.
                    if (!self->newPhoto_) self->newPhoto_ = picked;
                    presentAlert(*self, "Perfil", "No se pudo guardar la foto, vuelva a intentar", "Cerrar");
                });
        }
        newPhoto_.reset();
    }
    endWaiting(ActInd, view());
}

}  // namespace almavel
