#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/runloop.h"
#include "testing/barcode_picture.h"
#include "uikit/AVFoundation.h"

namespace {

using namespace ns;

std::shared_ptr<UIImage> picture(const std::string& symbology, const std::string& text) {
    auto image = UIImage::initWithData(ns::testing::barcodePicture(symbology, text));
    EXPECT_NE(image, nullptr) << "zint drew no " << symbology;
    return image;
}

class Recorder : public AVCaptureMetadataOutputObjectsDelegate {
public:
    void captureOutputDidOutputMetadataObjects(const std::shared_ptr<AVCaptureMetadataOutput>&,
                                               const std::vector<AVMetadataObjectPtr>& objects,
                                               const std::shared_ptr<AVCaptureConnection>&) override {
        EXPECT_TRUE(DispatchQueue::main()->isCurrent());
        calls.push_back(objects);
    }
    std::vector<std::vector<AVMetadataObjectPtr>> calls;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override { camera = AVCaptureDevice::installVirtualCamera(); }
    void TearDown() override { AVCaptureDevice::removeVirtualCamera(); }

    // A running session as a scanning screen sets it up.
    void setUpSession(const std::vector<AVMetadataObjectType>& types) {
        ErrorRef error;
        auto input = AVCaptureDeviceInput::deviceInputWithDevice(
            AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo), &error);
        ASSERT_NE(input, nullptr);
        session = AVCaptureSession::make();
        session->addInput(input);
        output = std::make_shared<AVCaptureMetadataOutput>();
        session->addOutput(output);
        output->setMetadataObjectsDelegate(recorder, DispatchQueue::main());
        output->setMetadataObjectTypes(types);
        session->startRunning();
    }
    void drain() { RunLoop::main().runUntil([] { return false; }, 0.05); }

    std::shared_ptr<AVCaptureDevice> camera;
    std::shared_ptr<AVCaptureSession> session;
    std::shared_ptr<AVCaptureMetadataOutput> output;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

const std::vector<AVMetadataObjectType> kAll = {
    AVMetadataObjectTypeUPCECode,  AVMetadataObjectTypeCode39Code, AVMetadataObjectTypeCode93Code,
    AVMetadataObjectTypeCode128Code, AVMetadataObjectTypeEAN8Code, AVMetadataObjectTypeEAN13Code,
    AVMetadataObjectTypeQRCode};

TEST_F(CaptureTest, PicturesAreReadWithZbarAsThePhoneNamesTheirSymbologies) {
    struct Case {
        const char* symbology;
        std::string text;
        const char* type;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"EANX", "0705632085943", AVMetadataObjectTypeEAN13Code, "0705632085943"},
        {"EANX", "7501031311309", AVMetadataObjectTypeEAN13Code, "7501031311309"},
        // A UPC-A label is reported as the EAN-13 with a leading zero.
        {"UPCA", "70563208594", AVMetadataObjectTypeEAN13Code, "0705632085943"},
        {"UPCE", "0123456", AVMetadataObjectTypeUPCECode, "01234565"},
        {"EANX", "1234567", AVMetadataObjectTypeEAN8Code, "12345670"},
        {"CODE128", "HER-0001x", AVMetadataObjectTypeCode128Code, "HER-0001x"},
        {"CODE39", "PLO-12", AVMetadataObjectTypeCode39Code, "PLO-12"},
        {"QRCODE", "Almavel ñ", AVMetadataObjectTypeQRCode, "Almavel ñ"},
    };
    for (const auto& c : cases) {
        auto image = picture(c.symbology, c.text);
        ASSERT_NE(image, nullptr);
        auto codes = AVCaptureDevice::readCodes(*image);
        ASSERT_EQ(codes.size(), 1u) << c.symbology << " " << c.text;
        EXPECT_EQ(codes[0]->type(), c.type) << c.text;
        EXPECT_EQ(codes[0]->stringValue(), c.value) << c.symbology;
        const CGRect b = codes[0]->bounds();
        EXPECT_GE(b.origin.x, 0);
        EXPECT_GT(b.size.width, 0);
        EXPECT_LE(b.origin.x + b.size.width, 1.0001);
    }
    // A picture without a code reads nothing.
    EXPECT_TRUE(AVCaptureDevice::readCodes(*UIImage::filled({100, 100}, UIColor::whiteColor())).empty());
}

TEST_F(CaptureTest, CodesReachTheDelegateOnItsQueueOnlyWhileTheSessionRuns) {
    setUpSession(kAll);
    EXPECT_EQ(camera->showPicture(*picture("EANX", "7501031311309")), 1u);
    EXPECT_TRUE(recorder->calls.empty()) << "delivered on the main queue, not inline";
    drain();
    ASSERT_EQ(recorder->calls.size(), 1u);
    auto code = std::dynamic_pointer_cast<AVMetadataMachineReadableCodeObject>(recorder->calls[0].at(0));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->stringValue(), "7501031311309");

    // Stopped between the sighting and its delivery: nothing arrives.
    camera->showCode(AVMetadataObjectTypeQRCode, "x");
    session->stopRunning();
    drain();
    camera->showCode(AVMetadataObjectTypeQRCode, "y");
    drain();
    EXPECT_EQ(recorder->calls.size(), 1u);

    session->startRunning();
    camera->showNothing();
    drain();
    ASSERT_EQ(recorder->calls.size(), 2u);
    EXPECT_TRUE(recorder->calls[1].empty());
}

TEST_F(CaptureTest, OnlyTheAskedForTypesAreDelivered) {
    setUpSession({AVMetadataObjectTypeEAN13Code});
    camera->showCode(AVMetadataObjectTypeQRCode, "qr");
    camera->showCode(AVMetadataObjectTypeInterleaved2of5Code, "12345678");
    camera->showCode(AVMetadataObjectTypeEAN13Code, "7501031311309");
    drain();
    ASSERT_EQ(recorder->calls.size(), 1u);
    EXPECT_EQ(recorder->calls[0].at(0)->type(), AVMetadataObjectTypeEAN13Code);
}

TEST_F(CaptureTest, TypesAreRefusedBeforeTheOutputIsInASessionWithACamera) {
    auto output = std::make_shared<AVCaptureMetadataOutput>();
    EXPECT_TRUE(output->availableMetadataObjectTypes().empty());
    EXPECT_THROW(output->setMetadataObjectTypes({AVMetadataObjectTypeQRCode}), Exception);
    auto bare = AVCaptureSession::make();
    bare->addOutput(output);
    EXPECT_THROW(output->setMetadataObjectTypes({AVMetadataObjectTypeQRCode}), Exception) << "no camera input";
    EXPECT_THROW(bare->addOutput(output), Exception) << "added twice";

    setUpSession(kAll);
    const auto available = this->output->availableMetadataObjectTypes();
    for (const char* type : {AVMetadataObjectTypeAztecCode, AVMetadataObjectTypePDF417Code,
                             AVMetadataObjectTypeCode39Mod43Code}) {
        EXPECT_NE(std::find(available.begin(), available.end(), type), available.end()) << type;
    }
    EXPECT_THROW(this->output->setMetadataObjectTypes({"com.example.NotACode"}), Exception);
    EXPECT_EQ(this->output->metadataObjectTypes(), kAll) << "a refused call keeps the types";
}

TEST_F(CaptureTest, WithoutACameraThereIsNoDeviceAndARefusedInputSaysWhy) {
    EXPECT_EQ(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeAudio), nullptr);
    camera->failNextInput(Error::make("AVFoundationErrorDomain", -11852, "Cannot use Back Camera"));
    ErrorRef error;
    EXPECT_EQ(AVCaptureDeviceInput::deviceInputWithDevice(camera, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), -11852);
    error = nullptr;
    EXPECT_NE(AVCaptureDeviceInput::deviceInputWithDevice(camera, &error), nullptr) << "only once";

    AVCaptureDevice::removeVirtualCamera();
    EXPECT_EQ(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo), nullptr);
}

TEST_F(CaptureTest, ThePreviewLayerScalesBoundsIntoItsOwn) {
    auto layer = AVCaptureVideoPreviewLayer::layerWithSession(AVCaptureSession::make());
    layer->setFrame(CGRectMake(0, 0, 375, 667));
    auto object = std::make_shared<AVMetadataMachineReadableCodeObject>(AVMetadataObjectTypeQRCode,
                                                                         CGRectMake(0.2, 0.5, 0.4, 0.1), "v");
    auto converted = std::dynamic_pointer_cast<AVMetadataMachineReadableCodeObject>(
        layer->transformedMetadataObjectForMetadataObject(object));
    ASSERT_NE(converted, nullptr);
    EXPECT_DOUBLE_EQ(converted->bounds().origin.x, 75);
    EXPECT_DOUBLE_EQ(converted->bounds().origin.y, 333.5);
    EXPECT_DOUBLE_EQ(converted->bounds().size.width, 150);
    EXPECT_EQ(converted->stringValue(), "v");
}

}  // namespace
