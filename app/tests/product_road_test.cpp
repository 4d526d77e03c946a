#include <gtest/gtest.h>

#include <algorithm>

#include "app/CapturaViewController.h"
#include "app/ResultViewController.h"
#include "app/ScreenSupport.h"
#include "app_test_support.h"
#include "platform/plist.h"
#include "platform/system_log.h"
#include "testing/barcode_picture.h"
#include "uikit/AVFoundation.h"

namespace {

using apptest::kStaffEmail;
using apptest::kStaffPassword;

// Sample products (backend/sample-data/database.json).
constexpr const char* kDrill = "741751003253";           // offer, photo; label EAN-13 0741751003253
constexpr const char* kSaw = "741751004120";             // no offer
constexpr const char* kLargePhoto = "7452100001938";     // photo over 1 MiB
constexpr const char* kWithoutPhoto = "7452100001945";   // no photo
constexpr const char* kWithoutOferta = "7452100001907";  // no "Oferta"
constexpr const char* kTextFecIni = "7452100001914";     // "FecIni" as text
constexpr const char* kWithoutDescrip = "7452100001921";

class ProductRoadTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        camera = ns::AVCaptureDevice::installVirtualCamera();
        launch();
        ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();
        ASSERT_TRUE(driver.tap("btCap")) << driver.lastError();
        ASSERT_TRUE(driver.waitUntilIdle());
        capture = std::dynamic_pointer_cast<almavel::CapturaViewController>(top());
        ASSERT_NE(capture, nullptr) << driver.screenText();
    }
    void TearDown() override {
        ns::AVCaptureDevice::removeVirtualCamera();
        AppTest::TearDown();
    }

    std::shared_ptr<ns::UIViewController> top() {
        auto shown = driver.window()->topmostViewController();
        if (auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(shown)) return nav->topViewController();
        return shown;
    }
    std::shared_ptr<almavel::ResultViewController> result() {
        return std::dynamic_pointer_cast<almavel::ResultViewController>(top());
    }
    std::shared_ptr<ns::UIAlertController> alert() {
        return std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    }
    std::string label(const std::string& name) {
        auto l = driver.find<ns::UILabel>(name);
        return l ? l->text() : "<none>";
    }
    bool scanPicture(const std::string& symbology, const std::string& text) {
        auto picture = ns::UIImage::initWithData(ns::testing::barcodePicture(symbology, text));
        if (!picture || camera->showPicture(*picture) != 1) return false;
        return driver.waitUntilIdle();
    }
    bool typeCode(const std::string& code) {
        return driver.type("txtCode", code) && driver.tap("btSend") && driver.waitUntilIdle();
    }
    void expectNotFound(const std::string& code) {
        auto shown = alert();
        ASSERT_NE(shown, nullptr) << driver.screenText();
        EXPECT_EQ(shown->alertTitle(), "Producto no existe");
        EXPECT_EQ(shown->message(), "Este producto no se encuentra en nuestro catalogo: " + code);
        ASSERT_EQ(shown->actions().size(), 1u);
        EXPECT_EQ(shown->actions()[0]->title(), "Cerrar");
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    }
    bool photoIsPlaceholder() {
        return driver.find<ns::UIImageView>("prodPhoto")->image() == almavel::ResultViewController::placeholderImage();
    }

    std::shared_ptr<ns::AVCaptureDevice> camera;
    std::shared_ptr<almavel::CapturaViewController> capture;
};

TEST_F(ProductRoadTest, ScanningAnEan13WithALeadingZeroShowsTheTwelveDigitProductWithItsPhoto) {
    ASSERT_TRUE(capture->captureSession && capture->captureSession->isRunning());
    EXPECT_EQ(label("txtCodigo"), "Capture un código de barras");
    ASSERT_TRUE(scanPicture("EANX", "0741751003253"));

    auto shown = result();
    ASSERT_NE(shown, nullptr) << driver.screenText();
    EXPECT_FALSE(capture->captureSession->isRunning()) << "one read per run";
    EXPECT_EQ(capture->txtCodigo.lock()->text(), kDrill);
    EXPECT_GT(capture->qrCodeFrameView->frame().size.width, 0) << "the frame marks the code";
    EXPECT_EQ(defaults()->stringForKey("codigo"), std::optional<std::string>(kDrill));
    EXPECT_EQ(defaults()->objectForKey("descrip"), ns::Value("Taladro percutor 1/2\" 750 W"));
    EXPECT_EQ(defaults()->objectForKey("precio"), ns::Value(89.95));
    EXPECT_EQ(defaults()->objectForKey("oferta"), ns::Value(74.95));
    EXPECT_EQ(defaults()->objectForKey("fecIni"), ns::Value(20240601));
    EXPECT_EQ(defaults()->objectForKey("fecFin"), ns::Value(20240630));
    EXPECT_EQ(defaults()->objectForKey("margen"), ns::Value(32.5));

    EXPECT_EQ(label("txtDescrip"), "Taladro percutor 1/2\" 750 W");
    EXPECT_EQ(label("txtCodigo"), kDrill);
    EXPECT_EQ(label("txtPrecio"), "Precio regular:  B/. 89.95");
    EXPECT_EQ(label("txtOferta"), "En Oferta:  B/. 74.95");
    EXPECT_EQ(label("txtFecOferta"), "Oferta valida del 20240601 al 20240630");
    EXPECT_EQ(label("txtMargen"), "Margen: 32.50%");
    auto photo = driver.find<ns::UIImageView>("prodPhoto")->image();
    ASSERT_NE(photo, nullptr);
    EXPECT_NE(photo, almavel::ResultViewController::placeholderImage());
    EXPECT_EQ(photo->pixelWidth(), 480);
    EXPECT_EQ(driver.find("btShare")->layer()->borderWidth(), 1);
    EXPECT_EQ(driver.find("btShare")->layer()->cornerRadius(), 5);
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());

    // Back on the capture screen the camera reads again.
    ASSERT_TRUE(driver.back());
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning());
    EXPECT_EQ(label("txtCodigo"), "Capture un código de barras");
    EXPECT_EQ(capture->qrCodeFrameView->frame().size.width, 0);
}

TEST_F(ProductRoadTest, OffersPhotosAndOddRecordsOnTheResultScreen) {
    // No offer: both offer lines stay empty.
    ASSERT_TRUE(typeCode(kSaw));
    ASSERT_NE(result(), nullptr) << driver.screenText();
    EXPECT_EQ(label("txtOferta"), "");
    EXPECT_EQ(label("txtFecOferta"), "");
    EXPECT_EQ(label("txtPrecio"), "Precio regular:  B/. 129.00");
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    EXPECT_EQ(driver.find<ns::UITextField>("txtCode")->text(), "") << "leaving empties the typed code";

    // No photo, and a photo over 1 MiB: the placeholder stays, no message.
    for (const char* code : {kWithoutPhoto, kLargePhoto}) {
        ASSERT_TRUE(typeCode(code));
        ASSERT_NE(result(), nullptr) << code << driver.screenText();
        EXPECT_TRUE(photoIsPlaceholder()) << code;
        EXPECT_EQ(alert(), nullptr);
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
        ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    }
    bool refusedForSize = false;
    for (const auto& request : backend->storageRequests()) {
        if (request.path.find(std::string(kLargePhoto) + ".jpg") != std::string::npos) refusedForSize = true;
    }
    EXPECT_TRUE(refusedForSize) << "the large photo was asked for";

    // A record without "Oferta" removes the key an earlier product left.
    ASSERT_TRUE(typeCode(kDrill));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    ASSERT_TRUE(typeCode(kWithoutOferta));
    EXPECT_TRUE(defaults()->objectForKey("oferta").isNull());
    EXPECT_EQ(label("txtOferta"), "");
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // "FecIni" as text removes "fecIni"; the offer shows without its days.
    ASSERT_TRUE(typeCode(kTextFecIni));
    EXPECT_TRUE(defaults()->objectForKey("fecIni").isNull());
    EXPECT_EQ(defaults()->objectForKey("fecFin"), ns::Value(20240630));
    EXPECT_EQ(label("txtOferta"), "En Oferta:  B/. 3.95");
    EXPECT_EQ(label("txtFecOferta"), "");
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // Every field but "Descrip": not found, and nothing written.
    ASSERT_TRUE(typeCode(kWithoutDescrip));
    expectNotFound(kWithoutDescrip);
    EXPECT_EQ(defaults()->stringForKey("codigo"), std::optional<std::string>(kTextFecIni));
}

TEST_F(ProductRoadTest, AnUnknownCodeShowsTheAlertAndCerrarRestartsTheCapture) {
    ASSERT_TRUE(scanPicture("EANX", "7709999999991"));
    expectNotFound("7709999999991");
    EXPECT_FALSE(capture->captureSession->isRunning());
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning());
    EXPECT_EQ(label("txtCodigo"), "Capture un código de barras");
}

TEST_F(ProductRoadTest, OnlyTheTenSymbologiesAreReadAndOnlyEan13LosesItsLeadingZero) {
    // Outside the ten: ignored, the camera keeps running.
    camera->showCode(ns::AVMetadataObjectTypeInterleaved2of5Code, kDrill);
    camera->showCode(ns::AVMetadataObjectTypeDataBarCode, kDrill);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning());
    EXPECT_EQ(result(), nullptr);
    EXPECT_EQ(alert(), nullptr);
    // Without a string value: the frame moves, nothing is looked up.
    camera->showCode(ns::AVMetadataObjectTypeQRCode, std::nullopt);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning());
    EXPECT_GT(capture->qrCodeFrameView->frame().size.width, 0);
    // Nothing in view: the frame shrinks again.
    camera->showNothing();
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(capture->qrCodeFrameView->frame().size.width, 0);

    // Code 128 and UPC-E beginning with 0 are looked up unchanged.
    ASSERT_TRUE(scanPicture("CODE128", std::string("0") + kDrill));
    expectNotFound(std::string("0") + kDrill);
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    ASSERT_TRUE(scanPicture("UPCE", "0123456"));
    expectNotFound("01234565");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    // A code handed in as the camera reports it works the same as a picture.
    camera->showCode(ns::AVMetadataObjectTypeEAN13Code, std::string("0") + kSaw);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(defaults()->stringForKey("codigo"), std::optional<std::string>(kSaw));
}

TEST_F(ProductRoadTest, TypedCodesThatCannotNameOneRecordAreNotFoundWithoutReadingAnything) {
    // Empty: nothing happens.
    ASSERT_TRUE(typeCode(""));
    EXPECT_EQ(alert(), nullptr);
    // Characters paths forbid would raise in child:; a "/" is read as a
    // separator (so "<code>/" would find the drill under a code that is not
    // its own), and a key past 768 bytes is an invalid path to the server:
    // each is simply not found.
    const std::vector<std::string> codes = {"7452.100", "74#52", "a$b", "[1]", std::string(kDrill) + "/",
                                            std::string("/") + kDrill, "74\x01" "52", std::string(769, '7')};
    for (const auto& code : codes) {
        ASSERT_TRUE(typeCode(code)) << code << driver.lastError();
        expectNotFound(code);
        EXPECT_EQ(result(), nullptr) << code;
        ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    }
    // Blanks are kept as typed.
    ASSERT_TRUE(typeCode(std::string(" ") + kDrill));
    expectNotFound(std::string(" ") + kDrill);
}

TEST_F(ProductRoadTest, ARefusedReadEndsTheWaitWithAnAlert) {
    auto reply = backend->post("/__admin/rtdb/rules?ns=almavel-pa",
                               R"({"rules": {".read": false, ".write": false}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(typeCode(kDrill));
    auto shown = alert();
    ASSERT_NE(shown, nullptr) << driver.screenText();
    EXPECT_EQ(shown->alertTitle(), "Error de conexión");
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_EQ(result(), nullptr);
    EXPECT_FALSE(capture->captureSession->isRunning());
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning()) << "closing the alert scans again";
}

TEST_F(ProductRoadTest, ATypedLookUpPausesTheCameraUntilItsAnswerIsClosed) {
    ASSERT_TRUE(typeCode("7709999999991"));
    expectNotFound("7709999999991");
    EXPECT_FALSE(capture->captureSession->isRunning());
    // A label in view meanwhile starts no second look-up.
    camera->showCode(ns::AVMetadataObjectTypeEAN13Code, std::string("0") + kDrill);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(result(), nullptr);
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_TRUE(capture->captureSession->isRunning());
}

TEST_F(ProductRoadTest, WithoutAUsableCameraTheTypedRoadStillWorks) {
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    camera->failNextInput(ns::Error::make("AVFoundationErrorDomain", -11852, "Cannot use Back Camera"));
    ASSERT_TRUE(driver.tap("btCap") && driver.waitUntilIdle());
    auto refused = std::dynamic_pointer_cast<almavel::CapturaViewController>(top());
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->captureSession, nullptr);
    EXPECT_EQ(refused->videoPreviewLayer, nullptr);
    bool logged = false;
    for (const auto& line : almavel::AppConsole::lines()) logged |= line.find("Cannot use Back Camera") != std::string::npos;
    EXPECT_TRUE(logged) << "the input's error goes to the console";
    ASSERT_TRUE(typeCode(kSaw));
    EXPECT_NE(result(), nullptr);
    ASSERT_TRUE(driver.back() && driver.back() && driver.waitUntilIdle());

    ns::AVCaptureDevice::removeVirtualCamera();
    ASSERT_TRUE(driver.tap("btCap") && driver.waitUntilIdle());
    auto none = std::dynamic_pointer_cast<almavel::CapturaViewController>(top());
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->captureSession, nullptr);
    EXPECT_EQ(none->qrCodeFrameView, nullptr);
    ASSERT_TRUE(typeCode(kSaw));
    EXPECT_NE(result(), nullptr);
}

TEST_F(ProductRoadTest, AResultWithoutItsKeysShowsEmptyLabelsAndDownloadsNothing) {
    for (const char* key : {"codigo", "descrip", "precio", "oferta", "fecIni", "fecFin", "margen"}) {
        defaults()->removeObjectForKey(key);
    }
    defaults()->setString("no es número", "precio");
    backend->clearStorageRequests();
    auto screen = capture->storyboard()->instantiateViewControllerWithIdentifier("ResCon");
    capture->showViewController(screen, screen);
    ASSERT_TRUE(driver.waitUntilIdle());
    ASSERT_NE(result(), nullptr);
    for (const char* name : {"txtDescrip", "txtCodigo", "txtPrecio", "txtOferta", "txtFecOferta", "txtMargen"}) {
        EXPECT_EQ(label(name), "") << name;
    }
    EXPECT_TRUE(photoIsPlaceholder());
    EXPECT_TRUE(backend->storageRequests().empty());
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
}

TEST_F(ProductRoadTest, SharingSavesAPictureOfTheScreenAndOffersItWithoutTheTwoExcludedTypes) {
    ASSERT_TRUE(typeCode(kDrill));
    auto shown = result();
    ASSERT_NE(shown, nullptr);
    const size_t before = ns::UIPhotoAlbum::savedPicturePaths().size();
    ASSERT_TRUE(driver.tap("btShare") && driver.waitUntilIdle()) << driver.lastError();
    auto paths = ns::UIPhotoAlbum::savedPicturePaths();
    ASSERT_EQ(paths.size(), before + 1);
    EXPECT_EQ(paths.back().substr(paths.back().size() - 4), ".PNG");
    auto saved = ns::UIImage::imageWithContentsOfFile(paths.back());
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->pixelWidth(), 750);
    EXPECT_EQ(saved->pixelHeight(), 1334);

    auto sheet = std::dynamic_pointer_cast<ns::UIActivityViewController>(driver.window()->topmostViewController());
    ASSERT_NE(sheet, nullptr) << driver.screenText();
    ASSERT_EQ(sheet->activityItems().size(), 1u);
    auto item = sheet->activityItems()[0].asObjectOf<ns::UIImage>();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->pixelWidth(), 750);
    // The picture is the screen: the result's text is drawn, not a blank.
    size_t dark = 0;
    for (size_t i = 0; i + 3 < item->rgba().size(); i += 4) {
        if (item->rgba()[i] < 80 && item->rgba()[i + 1] < 80 && item->rgba()[i + 2] < 80) ++dark;
    }
    EXPECT_GT(dark, 1000u);
    const auto offered = sheet->availableActivityTypes();
    for (const char* excluded : {ns::UIActivityTypeAirDrop, ns::UIActivityTypePostToFacebook}) {
        EXPECT_EQ(std::count(offered.begin(), offered.end(), std::string(excluded)), 0) << excluded;
    }
    EXPECT_FALSE(offered.empty());
    EXPECT_EQ(sheet->popoverPresentationController()->sourceView(), shown->view());

    // Every share saves one more, whether or not it is shared.
    sheet->cancel();
    ASSERT_TRUE(driver.waitUntilIdle());
    ASSERT_TRUE(driver.tap("btShare") && driver.waitUntilIdle());
    EXPECT_EQ(ns::UIPhotoAlbum::savedPicturePaths().size(), before + 2);
}

// A phone set up in Spanish whose stored profile had one letter of its
// language key's name changed, so that the file still reads: each launch is
// a process of its own over it, set up as the program sets up a phone.
class DamagedProfileRoadTest : public ProductRoadTest {
protected:
    static constexpr const char* kVendorId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

    void SetUp() override {
        ns::DeviceProfile setUp;
        setUp.identifierForVendor = kVendorId;
        setUp.localeIdentifier = "es_PA";
        ns::Dictionary stored = setUp.toDictionary();
        stored.erase("localeIdentifier");
        stored["localeIdentifiar"] = "es_PA";
        ASSERT_TRUE(ns::plist::writeFile(sandbox.sandbox()->deviceProfilePath(), ns::Value(stored),
                                         ns::plist::Format::XML));
        startProcess();
        ProductRoadTest::SetUp();
    }
    void TearDown() override {
        ProductRoadTest::TearDown();
        ns::Sandbox::current()->removeAllAttachments();
    }

    void startProcess() { apptest::startProcessOnPhone(sandbox.root()); }

    size_t profileLines() const {
        const auto lines = log.lines();
        return size_t(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("device profile") != std::string::npos;
        }));
    }

    ns::SystemLog::Capture log = ns::SystemLog::capture();
};

TEST_F(DamagedProfileRoadTest, TheShareSheetSpeaksTheNewPhonesSpanishAndTheProfileIsMendedOnce) {
    ASSERT_TRUE(typeCode(kDrill));
    ASSERT_NE(result(), nullptr) << driver.screenText();
    ASSERT_TRUE(driver.tap("btShare") && driver.waitUntilIdle()) << driver.lastError();
    auto sheet = std::dynamic_pointer_cast<ns::UIActivityViewController>(driver.window()->topmostViewController());
    ASSERT_NE(sheet, nullptr) << driver.screenText();
    std::vector<std::string> titles;
    for (const char* name : {"Message", "Mail", "Copy", "Save Image", "Cancel"}) {
        auto button = std::dynamic_pointer_cast<ns::UIButton>(sheet->view()->viewWithIdentifier(name));
        titles.push_back(button ? button->currentTitle() : "");
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Mensaje", "Correo", "Copiar", "Guardar imagen", "Cancelar"}));
    EXPECT_EQ(ns::Sandbox::current()->deviceProfile().identifierForVendor, kVendorId) << "the vendor id is kept";
    EXPECT_EQ(profileLines(), 1u) << "the mended key is logged once";
    sheet->cancel();
    ASSERT_TRUE(driver.waitUntilIdle());

    // The next launch finds the profile whole, and says nothing of it.
    finishLaunch();
    apptest::forgetProcessState();
    ns::Sandbox::current()->removeAllAttachments();
    log.clear();
    startProcess();
    launch();
    ASSERT_TRUE(driver.waitUntilIdle());
    const ns::DeviceProfile profile = ns::Sandbox::current()->deviceProfile();
    EXPECT_EQ(profile.localeIdentifier, "es_PA");
    EXPECT_EQ(profile.identifierForVendor, kVendorId);
    EXPECT_EQ(profileLines(), 0u);
}

}  // namespace
