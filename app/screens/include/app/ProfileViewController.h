#pragma once
// The profile screen: the signed-in member's record us3r1nf0/<uid> (first
// and last name and telephone editable; "Correo" kept as read, or the
// signed-in address when the record has none) and the photo
// profiles/<uid>.jpg. A newly picked photo is uploaded once, with the next
// save, as image/jpeg scaled down until it fits the 1 MiB the screen reads
// back; a save without a new photo uploads nothing. An upload that fails is
// said, and its photo goes up with the next save. With nobody signed in
// the screen says so and its save button is disabled. While the record has
// not been read (its read failed or gave up at the deadline) a save writes
// nothing, neither the record nor a photo, and shows the read-failed alert.
//
// Main thread only; database and storage completions arrive there.

#include <memory>
#include <optional>
#include <string>

#include "app/ActivityInicator.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "platform/error.h"
#include "storage/QRVStorageReference.h"
#include "uikit/UIImage.h"
#include "uikit/UIViewController.h"

namespace almavel {

// The most the screen reads back of a photo, so the most it uploads.
inline constexpr int64_t kProfilePhotoMaxBytes = 1048576;

// JPEG bytes of `image` at `quality`, halved in size until they fit
// `maxBytes`; empty when even a tiny picture does not. It only reads the
// picture it is given, so it is fit for any thread.
ns::Data jpegWithin(const ns::UIImage& image, double quality, size_t maxBytes);

class ProfileViewController : public ns::UIViewController, public ns::UIImagePickerControllerDelegate {
public:
    ProfileViewController();

    // Fields in the screen's order.
    QRVDatabaseReferencePtr ref;
    std::shared_ptr<QRVStorageReference> storage;
    std::optional<std::string> user;
    std::string userEmail;
    ActivityInicator ActInd;
    std::weak_ptr<ns::UIButton> BtUpdate;
    std::weak_ptr<ns::UITextField> txtNombre;
    std::weak_ptr<ns::UITextField> txtApellido;
    std::weak_ptr<ns::UIImageView> profilePhoto;
    std::weak_ptr<ns::UITextField> txtTelefono;
    std::shared_ptr<ns::UIImagePickerController> imPicker;

    void loadView() override;
    void viewDidLoad() override;

    // Actions.
    void ActualizarDatos(const ns::ObjectPtr& sender);
    void UpdatePhoto(const ns::ObjectPtr& sender);
    void dismissKeyboard();
    void imagePickerControllerDidFinishPickingMediaWithInfo(ns::UIImagePickerController& picker,
                                                            const ns::Dictionary& info) override;

    void addKeyboardDismissTap();
    void loadProfile();
    void fillProfile(const QRVDataSnapshotPtr& snapshot);
    void downloadProfilePhoto(const std::string& uid);
    void saveProfile();

private:
    std::shared_ptr<QRVStorageReference> photoReference(const std::string& uid) const;
    // Picked since the last save; only this goes up.
    std::shared_ptr<ns::UIImage> newPhoto_;
    // Whether the record has been read (found or missing); until it has, a
    // save writes nothing and repeats why the read failed.
    bool profileRead_ = false;
    ns::ErrorRef readError_;
};

}  // namespace almavel
