#include <gtest/gtest.h>

#include <random>

#include "app/ProfileViewController.h"
#include "app/ScreenSupport.h"
#include "app/WaitDeadline.h"
#include "app_test_support.h"
#include "database/api/QRVDatabase.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageMetadata.h"

namespace {

using apptest::kStaffEmail;

constexpr const char* kStaffUid = "almavelStaff0000000000000001";

class ProfileTest : public apptest::SignedInAppTest {
protected:
    std::shared_ptr<almavel::ProfileViewController> open() {
        if (!driver.tap("ShowHideMenu") || !driver.tap("menuProfileCon")) return nullptr;
        if (!settle([] { return !ns::Application::shared()->isIgnoringInteractionEvents(); })) return nullptr;
        return std::dynamic_pointer_cast<almavel::ProfileViewController>(nav->topViewController());
    }

    // Applied locally at once, so the screen's read sees it.
    void write(const std::string& path, ns::Value value) {
        QRVDatabase::database()->reference()->child(path)->setValue(std::move(value));
    }

    // Lets the app run until `done` holds, firing work already due on the
    // virtual clock.
    bool settle(const std::function<bool()>& done) {
        for (int i = 0; i < 200 && !done(); ++i) driver.waitUntilIdle(0.2);
        return done();
    }

    bool uploadFinished() {
        for (const auto& request : backend->storageRequests()) {
            if (request.kind == "uploadChunk" && request.status == 200) return true;
        }
        return false;
    }

    int uploads() {
        int count = 0;
        for (const auto& request : backend->storageRequests()) {
            if (request.kind.find("pload") != std::string::npos) ++count;
        }
        return count;
    }
};

// Noise does not compress: a JPEG of it at 0.3 is well over 1 MiB.
std::shared_ptr<ns::UIImage> noisyPicture(int side) {
    std::mt19937 random(7);
    std::vector<uint8_t> rgba(static_cast<size_t>(side) * side * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = (i % 4 == 3) ? 255 : static_cast<uint8_t>(random());
    return std::make_shared<ns::UIImage>(side, side, std::move(rgba));
}

TEST_F(ProfileTest, TheRecordFillsTheFieldsAndASaveKeepsTheAddressAndUploadsNothing) {
    auto screen = open();
    ASSERT_NE(screen, nullptr) << driver.lastError() << driver.screenText();
    EXPECT_EQ(driver.find<ns::UITextField>("txtNombre")->text(), "Marta");
    EXPECT_EQ(driver.find<ns::UITextField>("txtApellido")->text(), "Castillo");
    EXPECT_EQ(driver.find<ns::UITextField>("txtTelefono")->text(), "6600-1122");
    EXPECT_EQ(screen->userEmail, kStaffEmail);
    EXPECT_EQ(driver.find("BtUpdate")->layer()->cornerRadius(), 5.0);
    backend->clearStorageRequests();

    driver.find<ns::UITextField>("txtTelefono")->setText("");
    ASSERT_TRUE(driver.type("txtTelefono", "6699-0000"));
    ASSERT_TRUE(driver.tap("BtUpdate"));
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(readNode(std::string("us3r1nf0/") + kStaffUid),
              ns::Value(ns::Dictionary{{"Apellido", "Castillo"},
                                       {"Correo", kStaffEmail},
                                       {"Nombre", "Marta"},
                                       {"Telefono", "6699-0000"}}));
    EXPECT_EQ(uploads(), 0);
}

TEST_F(ProfileTest, AMissingOrOddRecordLeavesTheFieldsEmptyAndASaveKeepsTheSignedInAddress) {
    for (const ns::Value& record : {ns::Value(), ns::Value("texto"), ns::Value(ns::Dictionary{{"Nombre", 7}})}) {
        SCOPED_TRACE(record.description());
        write(std::string("us3r1nf0/") + kStaffUid, record);
        auto screen = open();
        ASSERT_NE(screen, nullptr) << driver.lastError() << driver.screenText();
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
        EXPECT_EQ(driver.find<ns::UITextField>("txtNombre")->text(), "");
        ASSERT_TRUE(driver.type("txtNombre", "Marta"));
        ASSERT_TRUE(driver.tap("BtUpdate"));
        ASSERT_TRUE(driver.waitUntilIdle());
        const ns::Value saved = readNode(std::string("us3r1nf0/") + kStaffUid);
        EXPECT_EQ(almavel::stringField(saved, "Correo"), std::optional<std::string>(kStaffEmail));
        ASSERT_TRUE(driver.back());
    }
}

TEST_F(ProfileTest, APickedPhotoGoesUpOnceAsJpegUnderOneMebibyte) {
    ns::UIImagePickerController::setCameraSource([] { return noisyPicture(2400); });
    auto screen = open();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    backend->clearStorageRequests();
    ASSERT_TRUE(driver.tap("UpdatePhoto"));
    ASSERT_EQ(driver.window()->topmostViewController(), screen->imPicker);
    ASSERT_TRUE(screen->imPicker->takePicture());
    EXPECT_EQ(nav->topViewController(), screen);
    EXPECT_EQ(driver.find<ns::UIImageView>("profilePhoto")->image()->pixelWidth(), 2400);
    EXPECT_EQ(uploads(), 0) << "the photo goes up with the save";

    ASSERT_TRUE(driver.tap("BtUpdate"));
    std::shared_ptr<QRVStorageMetadata> stored;
    const auto photo = QRVStorage::storage()->reference()->child(std::string("profiles/") + kStaffUid + ".jpg");
    ASSERT_TRUE(settle([&] { return uploads() > 0; }));
    // The upload runs on after the save returns: ask until the object is
    // there and the back end has noted the chunk that finished it. The object
    // is visible to a metadata request on another connection before that
    // chunk's own request is noted.
    for (int attempt = 0; attempt < 150 && !(stored && uploadFinished()); ++attempt) {
        bool answered = false;
        photo->metadataWithCompletion([&](std::shared_ptr<QRVStorageMetadata> m, ns::ErrorRef) {
            stored = m;
            answered = true;
        });
        settle([&] { return answered; });
        if (!(stored && uploadFinished())) ns::RunLoop::main().runUntil([] { return false; }, 0.2);
    }
    ASSERT_NE(stored, nullptr) << [&] {
        std::string seen;
        for (const auto& r : backend->storageRequests()) seen += r.kind + " " + std::to_string(r.status) + "; ";
        return seen;
    }();
    EXPECT_EQ(stored->contentType(), std::optional<std::string>("image/jpeg"));
    EXPECT_LE(stored->size(), almavel::kProfilePhotoMaxBytes);
    EXPECT_GT(stored->size(), 0);
    const int afterFirst = uploads();
    EXPECT_GT(afterFirst, 0);
    // A second save with no new photo sends nothing more.
    ASSERT_TRUE(driver.tap("BtUpdate"));
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(uploads(), afterFirst);
}

// The storage service refusing the upload (an expired rule, a full
// bucket): the clerk is told, and the photo is not lost with it.
TEST_F(ProfileTest, AnUploadThatFailsIsSaidAndItsPhotoGoesUpWithTheNextSave) {
    ns::UIImagePickerController::setCameraSource([] { return noisyPicture(64); });
    auto screen = open();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    backend->clearStorageRequests();
    backend->addStorageFault({.kind = "startUpload", .count = 1, .status = 403});
    ASSERT_TRUE(driver.tap("UpdatePhoto"));
    ASSERT_TRUE(screen->imPicker->takePicture());
    ASSERT_TRUE(driver.tap("BtUpdate"));
    ASSERT_TRUE(settle([&] { return apptest::alertOnTop(*driver.window()) != nullptr; })) << driver.screenText();
    auto alert = apptest::alertOnTop(*driver.window());
    EXPECT_EQ(alert->alertTitle(), "Perfil");
    EXPECT_EQ(alert->message(), "No se pudo guardar la foto, vuelva a intentar");
    EXPECT_TRUE(apptest::consoleHasLineStarting("Unable to upload the photo: "));
    EXPECT_FALSE(uploadFinished());
    ASSERT_TRUE(driver.answerAlert("Cerrar"));

    ASSERT_TRUE(driver.tap("BtUpdate"));
    EXPECT_TRUE(settle([&] { return uploadFinished(); }));
}

TEST_F(ProfileTest, ASavedPhotoIsShownAgainAfterARelaunch) {
    // A flat picture of a size the seeded photo does not have.
    ns::UIImagePickerController::setCameraSource([] {
        std::vector<uint8_t> rgba(size_t(320) * 240 * 4, 0);
        for (size_t i = 0; i < rgba.size(); i += 4) rgba[i] = rgba[i + 3] = 255;
        return std::make_shared<ns::UIImage>(320, 240, std::move(rgba));
    });
    auto screen = open();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    ASSERT_TRUE(settle([&] { return !ns::Application::shared()->isIgnoringInteractionEvents(); }));
    ASSERT_TRUE(driver.tap("UpdatePhoto"));
    ASSERT_TRUE(screen->imPicker->takePicture());
    backend->clearStorageRequests();
    ASSERT_TRUE(driver.tap("BtUpdate"));
    ASSERT_TRUE(settle([&] {
        for (const auto& r : backend->storageRequests()) {
            if (r.kind == "uploadChunk" && r.status == 200) return true;
        }
        return false;
    }));

    relaunch();
    ASSERT_TRUE(driver.waitUntilIdle());
    nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
    ASSERT_NE(nav, nullptr) << driver.screenText();
    backend->clearStorageRequests();
    screen = open();
    ASSERT_NE(screen, nullptr) << driver.lastError() << driver.screenText();
    auto photo = driver.find<ns::UIImageView>("profilePhoto");
    ASSERT_TRUE(settle([&] { return photo->image() != nullptr; })) << [&] {
        std::string seen;
        for (const auto& r : backend->storageRequests()) seen += r.kind + " " + std::to_string(r.status) + " auth=" + r.header("Authorization") + "; ";
        return seen;
    }();
    EXPECT_EQ(photo->image()->pixelWidth(), 320);
    EXPECT_EQ(photo->image()->pixelHeight(), 240);
    EXPECT_EQ(uploads(), 0);
}

TEST_F(ProfileTest, AProfileThatWasNotReadIsNeverWritten) {
    const std::string path = std::string("us3r1nf0/") + kStaffUid;
    const ns::Value seeded(ns::Dictionary{
        {"Apellido", "Castillo"}, {"Correo", kStaffEmail}, {"Nombre", "Marta"}, {"Telefono", "6600-1122"}});
    apptest::StalledBackend stall(*backend);
    ASSERT_TRUE(stall.stopped());
    ASSERT_TRUE(driver.tap("ShowHideMenu") && driver.tap("menuProfileCon")) << driver.lastError();
    clock->advance(almavel::kWaitDeadlineSeconds);
    const std::string readFailed = std::string(almavel::kReadFailedTitle) + ": " +
                                   almavel::readFailedMessage(almavel::WaitDeadline::timedOutError());
    auto alertShown = [&] {
        auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
        return alert ? alert->alertTitle() + ": " + alert->message() : driver.screenText();
    };
    ASSERT_EQ(alertShown(), readFailed);
    ASSERT_TRUE(driver.answerAlert("Cerrar"));

    // Refused with the same alert, before and after the late answer (which
    // is dropped): the fields were never filled.
    ASSERT_TRUE(driver.type("txtNombre", "Otra") && driver.tap("BtUpdate"));
    EXPECT_EQ(alertShown(), readFailed);
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    stall.resume();
    EXPECT_EQ(readNode(path), seeded);
    ASSERT_TRUE(driver.waitUntilIdle() && driver.tap("BtUpdate"));
    EXPECT_EQ(alertShown(), readFailed);
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_EQ(readNode(path), seeded);
}

TEST(ProfilePhotoTest, AJpegIsHalvedUntilItFits) {
    auto picture = noisyPicture(512);
    const ns::Data whole = ns::UIImageJPEGRepresentation(*picture, 0.3);
    EXPECT_EQ(almavel::jpegWithin(*picture, 0.3, whole.size()), whole);
    const ns::Data fitted = almavel::jpegWithin(*picture, 0.3, whole.size() / 3);
    ASSERT_FALSE(fitted.empty());
    EXPECT_LE(fitted.size(), whole.size() / 3);
    EXPECT_LT(ns::UIImage::initWithData(fitted)->pixelWidth(), 512);
    EXPECT_TRUE(almavel::jpegWithin(*picture, 0.3, 10).empty());
}

TEST_F(ProfileTest, WithNobodySignedInTheScreenSaysSoAndCannotSave) {
    ASSERT_TRUE(QRVAuth::auth()->signOut(nullptr));
    auto screen = std::make_shared<almavel::ProfileViewController>();
    nav->pushViewController(screen, false);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(alert, nullptr) << driver.screenText();
    EXPECT_EQ(alert->message(), "Debe iniciar sesión para ver su perfil");
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    EXPECT_FALSE(driver.find<ns::UIButton>("BtUpdate")->isEnabled());
    driver.tap("BtUpdate");
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
}

}  // namespace
