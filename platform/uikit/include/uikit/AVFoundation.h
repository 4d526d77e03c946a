#pragma once
// AVFoundation stand-in: the camera capture session with machine-readable
// code output. The camera is virtual. A host (a test, the browser page's
// camera panel, the script player) installs it with
// AVCaptureDevice::installVirtualCamera and then puts things in front of it:
// a picture, whose codes are read with zbar, or a code handed in directly
// with its symbology. Without an installed camera the device has none, as a
// phone without a usable camera.
//
// What the camera sees reaches every running session that has the camera as
// input, through each metadata output whose types include the code's type,
// on the queue the output's delegate was set with; a session stopped before
// the delivery runs delivers nothing. Main thread for setting up; sessions
// lock themselves.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"
#include "uikit/UIImage.h"
#include "uikit/UIView.h"
#include "uikit/geometry.h"

namespace ns {

using AVMetadataObjectType = std::string;

inline constexpr const char* AVMetadataObjectTypeUPCECode = "org.gs1.UPC-E";
inline constexpr const char* AVMetadataObjectTypeCode39Code = "org.iso.Code39";
inline constexpr const char* AVMetadataObjectTypeCode39Mod43Code = "org.iso.Code39Mod43";
inline constexpr const char* AVMetadataObjectTypeCode93Code = "com.intermec.Code93";
inline constexpr const char* AVMetadataObjectTypeCode128Code = "org.iso.Code128";
inline constexpr const char* AVMetadataObjectTypeEAN8Code = "org.gs1.EAN-8";
inline constexpr const char* AVMetadataObjectTypeEAN13Code = "org.gs1.EAN-13";
inline constexpr const char* AVMetadataObjectTypeAztecCode = "org.iso.Aztec";
inline constexpr const char* AVMetadataObjectTypePDF417Code = "org.iso.PDF417";
inline constexpr const char* AVMetadataObjectTypeQRCode = "org.iso.QRCode";
// Read by the camera but outside the ten above: the interleaved 2 of 5 and
// DataBar symbologies zbar also knows.
inline constexpr const char* AVMetadataObjectTypeInterleaved2of5Code = "org.ansi.Interleaved2of5";
inline constexpr const char* AVMetadataObjectTypeDataBarCode = "org.gs1.DataBar";

inline constexpr const char* AVMediaTypeVideo = "vide";
inline constexpr const char* AVMediaTypeAudio = "soun";
inline constexpr const char* AVLayerVideoGravityResize = "AVLayerVideoGravityResize";
inline constexpr const char* AVLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
inline constexpr const char* AVLayerVideoGravityResizeAspectFill = "AVLayerVideoGravityResizeAspectFill";

// A code the camera read. `bounds` are in the capture's unit space (0...1
// on both axes, over the camera's picture).
class AVMetadataObject : public Object {
public:
    AVMetadataObject(AVMetadataObjectType type, CGRect bounds) : type_(std::move(type)), bounds_(bounds) {}
    const AVMetadataObjectType& type() const { return type_; }
    CGRect bounds() const { return bounds_; }
    std::string className() const override { return "AVMetadataObject"; }

private:
    AVMetadataObjectType type_;
    CGRect bounds_;
};

class AVMetadataMachineReadableCodeObject : public AVMetadataObject {
public:
    AVMetadataMachineReadableCodeObject(AVMetadataObjectType type, CGRect bounds, std::optional<std::string> value)
        : AVMetadataObject(std::move(type), bounds), stringValue_(std::move(value)) {}
    // None when the code's payload is not text.
    const std::optional<std::string>& stringValue() const { return stringValue_; }
    std::string className() const override { return "AVMetadataMachineReadableCodeObject"; }

private:
    std::optional<std::string> stringValue_;
};

using AVMetadataObjectPtr = std::shared_ptr<AVMetadataObject>;

class AVCaptureSession;

class AVCaptureDevice : public Object {
public:
    // The camera, or nullptr when none is installed or the media type is
    // not video.
    static std::shared_ptr<AVCaptureDevice> defaultDeviceWithMediaType(const std::string& mediaType);

    // Hosts: give the device its camera, or take it away.
    static std::shared_ptr<AVCaptureDevice> installVirtualCamera();
    static void removeVirtualCamera();
    // Makes the next deviceInputWithDevice fail (a camera the user has not
    // allowed), once.
    void failNextInput(ErrorRef error);

    // The camera sees a picture: its codes are read with zbar and delivered.
    // Returns how many codes were read (0 when the picture holds none).
    size_t showPicture(const UIImage& picture);
    // The camera sees one code of that type (any string, also a type outside
    // the ten) in the middle of its picture.
    void showCode(const AVMetadataObjectType& type, const std::optional<std::string>& value);
    // The camera sees nothing readable: an empty list is delivered.
    void showNothing();

    std::string uniqueID() const { return "com.almavel.virtual-camera"; }
    std::string localizedName() const { return "Back Camera"; }
    std::string className() const override { return "AVCaptureDevice"; }

    // Reads every code zbar finds in the picture, with the type it would be
    // delivered as; bounds in unit space.
    static std::vector<std::shared_ptr<AVMetadataMachineReadableCodeObject>> readCodes(const UIImage& picture);

private:
    friend class AVCaptureDeviceInput;
    friend class AVCaptureSession;
    void deliver(const std::vector<AVMetadataObjectPtr>& objects);
    void attach(const std::shared_ptr<AVCaptureSession>& session);
    void detach(const AVCaptureSession* session);
    std::mutex mutex_;
    ErrorRef nextInputError_;
    std::vector<std::weak_ptr<AVCaptureSession>> sessions_;
};

class AVCaptureInput : public Object {
public:
    std::string className() const override { return "AVCaptureInput"; }
};

class AVCaptureDeviceInput : public AVCaptureInput {
public:
    explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device) : device_(std::move(device)) {}
    // nullptr and `*error` set when the camera cannot be opened.
    static std::shared_ptr<AVCaptureDeviceInput> deviceInputWithDevice(const std::shared_ptr<AVCaptureDevice>& device,
                                                                        ErrorRef* error);
    const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }
    std::string className() const override { return "AVCaptureDeviceInput"; }

private:
    std::shared_ptr<AVCaptureDevice> device_;
};

class AVCaptureConnection : public Object {
public:
    std::string className() const override { return "AVCaptureConnection"; }
};

class AVCaptureMetadataOutput;

class AVCaptureMetadataOutputObjectsDelegate {
public:
    virtual ~AVCaptureMetadataOutputObjectsDelegate() = default;
    virtual void captureOutputDidOutputMetadataObjects(const std::shared_ptr<AVCaptureMetadataOutput>& output,
                                                       const std::vector<AVMetadataObjectPtr>& metadataObjects,
                                                       const std::shared_ptr<AVCaptureConnection>& connection) = 0;
};

class AVCaptureOutput : public Object {
public:
    std::string className() const override { return "AVCaptureOutput"; }
};

class AVCaptureMetadataOutput : public AVCaptureOutput {
public:
    // Held weakly, as AVFoundation does; the queue must be serial.
    void setMetadataObjectsDelegate(const std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate>& delegate,
                                    std::shared_ptr<DispatchQueue> queue);
    // Empty until the output is in a session whose input is a camera: the
    // types must be asked for after the output is added.
    std::vector<AVMetadataObjectType> availableMetadataObjectTypes() const;
    // Raises NSInvalidArgumentException for a type not available now.
    void setMetadataObjectTypes(const std::vector<AVMetadataObjectType>& types);
    std::vector<AVMetadataObjectType> metadataObjectTypes() const;
    std::string className() const override { return "AVCaptureMetadataOutput"; }

private:
    friend class AVCaptureSession;
    mutable std::mutex mutex_;
    std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate_;
    std::shared_ptr<DispatchQueue> queue_;
    std::vector<AVMetadataObjectType> types_;
    std::weak_ptr<AVCaptureSession> session_;
};

class AVCaptureSession : public Object {
public:
    static std::shared_ptr<AVCaptureSession> make() { return std::make_shared<AVCaptureSession>(); }
    ~AVCaptureSession() override;

    bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const;
    // Raises NSInvalidArgumentException for an input it cannot add.
    void addInput(const std::shared_ptr<AVCaptureInput>& input);
    bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
    void addOutput(const std::shared_ptr<AVCaptureOutput>& output);
    void startRunning();
    void stopRunning();
    bool isRunning() const;
    // Whether the session has a camera among its inputs.
    bool hasCamera() const;
    std::string className() const override { return "AVCaptureSession"; }

private:
    friend class AVCaptureDevice;
    void deliver(const std::vector<AVMetadataObjectPtr>& objects);
    mutable std::mutex mutex_;
    bool running_ = false;
    std::vector<std::shared_ptr<AVCaptureInput>> inputs_;
    std::vector<std::shared_ptr<AVCaptureMetadataOutput>> outputs_;
    std::shared_ptr<AVCaptureConnection> connection_ = std::make_shared<AVCaptureConnection>();
};

// The camera's picture on screen. The camera's picture (unit space) is
// scaled to fill the layer's bounds; metadata bounds convert the same way.
class AVCaptureVideoPreviewLayer : public CALayer {
public:
    explicit AVCaptureVideoPreviewLayer(std::shared_ptr<AVCaptureSession> session) : session_(std::move(session)) {}
    static std::shared_ptr<AVCaptureVideoPreviewLayer> layerWithSession(const std::shared_ptr<AVCaptureSession>& s) {
        return std::make_shared<AVCaptureVideoPreviewLayer>(s);
    }
    const std::shared_ptr<AVCaptureSession>& session() const { return session_; }
    const std::string& videoGravity() const { return gravity_; }
    void setVideoGravity(std::string gravity) { gravity_ = std::move(gravity); }
    // The same object with its bounds in this layer's coordinates.
    AVMetadataObjectPtr transformedMetadataObjectForMetadataObject(const AVMetadataObjectPtr& object) const;
    std::string className() const override { return "AVCaptureVideoPreviewLayer"; }

private:
    std::shared_ptr<AVCaptureSession> session_;
    std::string gravity_ = AVLayerVideoGravityResizeAspect;
};

}  // namespace ns
