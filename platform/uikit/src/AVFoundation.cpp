#include "uikit/AVFoundation.h"

#include <zbar.h>

using namespace zbar;  // the C interface; zbar.h puts it in this namespace under C++

#include <algorithm>
#include <climits>

#include "platform/no_destructor.h"

namespace ns {

namespace {

std::mutex gCameraMutex;
std::shared_ptr<AVCaptureDevice>& cameraSlot() {
    static NoDestructor<std::shared_ptr<AVCaptureDevice>> slot;
    return *slot;
}

// zbar's symbologies as the capture output names them; nullopt for those
// the phone's camera does not report.
std::optional<AVMetadataObjectType> typeOfSymbol(zbar_symbol_type_t type) {
    switch (type) {
        case ZBAR_EAN13: return AVMetadataObjectTypeEAN13Code;
        case ZBAR_EAN8: return AVMetadataObjectTypeEAN8Code;
        case ZBAR_UPCE: return AVMetadataObjectTypeUPCECode;
        // The phone reports a UPC-A label as an EAN-13 with a leading zero.
        case ZBAR_UPCA: return AVMetadataObjectTypeEAN13Code;
        case ZBAR_CODE39: return AVMetadataObjectTypeCode39Code;
        case ZBAR_CODE93: return AVMetadataObjectTypeCode93Code;
        case ZBAR_CODE128: return AVMetadataObjectTypeCode128Code;
        case ZBAR_PDF417: return AVMetadataObjectTypePDF417Code;
        case ZBAR_QRCODE: return AVMetadataObjectTypeQRCode;
        case ZBAR_I25: return AVMetadataObjectTypeInterleaved2of5Code;
        case ZBAR_DATABAR:
        case ZBAR_DATABAR_EXP: return AVMetadataObjectTypeDataBarCode;
        default: return std::nullopt;
    }
}

const std::vector<AVMetadataObjectType>& cameraTypes() {
    static const ns::NoDestructor<std::vector<AVMetadataObjectType>> types(std::vector<AVMetadataObjectType>{
        AVMetadataObjectTypeUPCECode, AVMetadataObjectTypeCode39Code, AVMetadataObjectTypeCode39Mod43Code,
        AVMetadataObjectTypeCode93Code, AVMetadataObjectTypeCode128Code, AVMetadataObjectTypeEAN8Code,
        AVMetadataObjectTypeEAN13Code, AVMetadataObjectTypeAztecCode, AVMetadataObjectTypePDF417Code,
        AVMetadataObjectTypeQRCode, AVMetadataObjectTypeInterleaved2of5Code, AVMetadataObjectTypeDataBarCode});
    return *types;
}

}  // namespace

// MARK: - Device

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithMediaType(const std::string& mediaType) {
    if (mediaType != AVMediaTypeVideo) return nullptr;
    std::lock_guard lock(gCameraMutex);
    return cameraSlot();
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::installVirtualCamera() {
    std::lock_guard lock(gCameraMutex);
    cameraSlot() = std::make_shared<AVCaptureDevice>();
    return cameraSlot();
}

void AVCaptureDevice::removeVirtualCamera() {
    std::lock_guard lock(gCameraMutex);
    cameraSlot().reset();
}

void AVCaptureDevice::failNextInput(ErrorRef error) {
    std::lock_guard lock(mutex_);
    nextInputError_ = std::move(error);
}

std::vector<std::shared_ptr<AVMetadataMachineReadableCodeObject>> AVCaptureDevice::readCodes(const UIImage& picture) {
    std::vector<std::shared_ptr<AVMetadataMachineReadableCodeObject>> found;
    const int w = picture.pixelWidth();
    const int h = picture.pixelHeight();
    if (w <= 0 || h <= 0) return found;
    // zbar reads grey ("Y800") pixels; transparent pixels count as white,
    // as the picture would look on paper.
    std::vector<uint8_t> grey(static_cast<size_t>(w) * static_cast<size_t>(h));
    const auto& rgba = picture.rgba();
    for (size_t i = 0; i < grey.size(); ++i) {
        const uint8_t* p = &rgba[i * 4];
        const double luma = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        const double a = p[3] / 255.0;
        grey[i] = static_cast<uint8_t>(luma * a + 255 * (1 - a) + 0.5);
    }
    zbar_image_scanner_t* scanner = zbar_image_scanner_create();
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 1);
    // UPC-A is kept apart from EAN-13 so its 12 digits come back with the
    // leading zero the phone adds.
    zbar_image_scanner_set_config(scanner, ZBAR_UPCA, ZBAR_CFG_ENABLE, 1);
    zbar_image_t* image = zbar_image_create();
    zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(image, static_cast<unsigned>(w), static_cast<unsigned>(h));
    zbar_image_set_data(image, grey.data(), grey.size(), nullptr);
    if (zbar_scan_image(scanner, image) > 0) {
        for (const zbar_symbol_t* symbol = zbar_image_first_symbol(image); symbol;
             symbol = zbar_symbol_next(symbol)) {
            const zbar_symbol_type_t kind = zbar_symbol_get_type(symbol);
            auto type = typeOfSymbol(kind);
            if (!type) continue;
            std::string value(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol));
            if (kind == ZBAR_UPCA) value = "0" + value;
            int minX = INT_MAX, minY = INT_MAX, maxX = INT_MIN, maxY = INT_MIN;
            const unsigned points = zbar_symbol_get_loc_size(symbol);
            for (unsigned i = 0; i < points; ++i) {
                minX = std::min(minX, zbar_symbol_get_loc_x(symbol, i));
                maxX = std::max(maxX, zbar_symbol_get_loc_x(symbol, i));
                minY = std::min(minY, zbar_symbol_get_loc_y(symbol, i));
                maxY = std::max(maxY, zbar_symbol_get_loc_y(symbol, i));
            }
            CGRect bounds{};
            if (points > 0) {
                bounds = CGRectMake(double(minX) / w, double(minY) / h, double(maxX - minX + 1) / w,
                                    double(maxY - minY + 1) / h);
            }
            found.push_back(std::make_shared<AVMetadataMachineReadableCodeObject>(*type, bounds, std::move(value)));
        }
    }
    zbar_image_destroy(image);
    zbar_image_scanner_destroy(scanner);
    return found;
}

size_t AVCaptureDevice::showPicture(const UIImage& picture) {
    auto codes = readCodes(picture);
    std::vector<AVMetadataObjectPtr> objects(codes.begin(), codes.end());
    deliver(objects);
    return codes.size();
}

void AVCaptureDevice::showCode(const AVMetadataObjectType& type, const std::optional<std::string>& value) {
    deliver({std::make_shared<AVMetadataMachineReadableCodeObject>(type, CGRectMake(0.25, 0.4, 0.5, 0.2), value)});
}

void AVCaptureDevice::showNothing() { deliver({}); }

void AVCaptureDevice::deliver(const std::vector<AVMetadataObjectPtr>& objects) {
    std::vector<std::shared_ptr<AVCaptureSession>> sessions;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(sessions_, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : sessions_) {
            if (auto session = weak.lock()) sessions.push_back(session);
        }
    }
    for (const auto& session : sessions) session->deliver(objects);
}

void AVCaptureDevice::attach(const std::shared_ptr<AVCaptureSession>& session) {
    std::lock_guard lock(mutex_);
    sessions_.push_back(session);
}

void AVCaptureDevice::detach(const AVCaptureSession* session) {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [session](const auto& weak) {
        auto s = weak.lock();
        return !s || s.get() == session;
    });
}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::deviceInputWithDevice(
    const std::shared_ptr<AVCaptureDevice>& device, ErrorRef* error) {
    if (!device) {
        if (error) *error = Error::make("AVFoundationErrorDomain", -11814, "Cannot Record");
        return nullptr;
    }
    ErrorRef refused;
    {
        std::lock_guard lock(device->mutex_);
        refused = std::move(device->nextInputError_);
        device->nextInputError_ = nullptr;
    }
    if (refused) {
        if (error) *error = refused;
        return nullptr;
    }
    return std::make_shared<AVCaptureDeviceInput>(device);
}

// MARK: - Metadata output

void AVCaptureMetadataOutput::setMetadataObjectsDelegate(
    const std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate>& delegate, std::shared_ptr<DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    queue_ = std::move(queue);
}

std::vector<AVMetadataObjectType> AVCaptureMetadataOutput::availableMetadataObjectTypes() const {
    std::shared_ptr<AVCaptureSession> session;
    {
        std::lock_guard lock(mutex_);
        session = session_.lock();
    }
    if (!session || !session->hasCamera()) return {};
    return cameraTypes();
}

void AVCaptureMetadataOutput::setMetadataObjectTypes(const std::vector<AVMetadataObjectType>& types) {
    const auto available = availableMetadataObjectTypes();
    for (const auto& type : types) {
        if (std::find(available.begin(), available.end(), type) == available.end()) {
            Exception::raise("NSInvalidArgumentException",
                             "-[AVCaptureMetadataOutput setMetadataObjectTypes:] Unsupported type found - use "
                             "-availableMetadataObjectTypes: " + type);
        }
    }
    std::lock_guard lock(mutex_);
    types_ = types;
}

std::vector<AVMetadataObjectType> AVCaptureMetadataOutput::metadataObjectTypes() const {
    std::lock_guard lock(mutex_);
    return types_;
}

// MARK: - Session

AVCaptureSession::~AVCaptureSession() {
    for (const auto& input : inputs_) {
        if (auto camera = std::dynamic_pointer_cast<AVCaptureDeviceInput>(input)) camera->device()->detach(this);
    }
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const {
    std::lock_guard lock(mutex_);
    return input && std::find(inputs_.begin(), inputs_.end(), input) == inputs_.end();
}

void AVCaptureSession::addInput(const std::shared_ptr<AVCaptureInput>& input) {
    if (!canAddInput(input)) {
        Exception::raise("NSInvalidArgumentException", "-[AVCaptureSession addInput:] Cannot add input to session");
    }
    {
        std::lock_guard lock(mutex_);
        inputs_.push_back(input);
    }
    if (auto camera = std::dynamic_pointer_cast<AVCaptureDeviceInput>(input)) {
        camera->device()->attach(std::static_pointer_cast<AVCaptureSession>(shared_from_this()));
    }
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
    std::lock_guard lock(mutex_);
    auto metadata = std::dynamic_pointer_cast<AVCaptureMetadataOutput>(output);
    return metadata && std::find(outputs_.begin(), outputs_.end(), metadata) == outputs_.end();
}

void AVCaptureSession::addOutput(const std::shared_ptr<AVCaptureOutput>& output) {
    if (!canAddOutput(output)) {
        Exception::raise("NSInvalidArgumentException", "-[AVCaptureSession addOutput:] Cannot add output to session");
    }
    auto metadata = std::static_pointer_cast<AVCaptureMetadataOutput>(output);
    {
        std::lock_guard lock(mutex_);
        outputs_.push_back(metadata);
    }
    std::lock_guard lock(metadata->mutex_);
    metadata->session_ = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
}

void AVCaptureSession::startRunning() {
    std::lock_guard lock(mutex_);
    running_ = true;
}

void AVCaptureSession::stopRunning() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool AVCaptureSession::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool AVCaptureSession::hasCamera() const {
    std::lock_guard lock(mutex_);
    return std::any_of(inputs_.begin(), inputs_.end(), [](const auto& input) {
        return std::dynamic_pointer_cast<AVCaptureDeviceInput>(input) != nullptr;
    });
}

void AVCaptureSession::deliver(const std::vector<AVMetadataObjectPtr>& objects) {
    std::vector<std::shared_ptr<AVCaptureMetadataOutput>> outputs;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        outputs = outputs_;
    }
    std::weak_ptr<AVCaptureSession> weakSession = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
    for (const auto& output : outputs) {
        std::shared_ptr<DispatchQueue> queue;
        std::vector<AVMetadataObjectType> types;
        {
            std::lock_guard lock(output->mutex_);
            queue = output->queue_;
            types = output->types_;
        }
        if (!queue) continue;
        // Only codes of the asked-for types; an empty sighting is delivered
        // as such (nothing in view).
        std::vector<AVMetadataObjectPtr> wanted;
        for (const auto& object : objects) {
            if (std::find(types.begin(), types.end(), object->type()) != types.end()) wanted.push_back(object);
        }
        if (wanted.empty() && !objects.empty()) continue;
        queue->async([weakSession, output, wanted, connection = connection_] {
            auto session = weakSession.lock();
            if (!session || !session->isRunning()) return;
            std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate;
            {
                std::lock_guard lock(output->mutex_);
                delegate = output->delegate_.lock();
            }
            if (delegate) delegate->captureOutputDidOutputMetadataObjects(output, wanted, connection);
        });
    }
}

// MARK: - Preview layer

AVMetadataObjectPtr AVCaptureVideoPreviewLayer::transformedMetadataObjectForMetadataObject(
    const AVMetadataObjectPtr& object) const {
    if (!object) return nullptr;
    const CGRect unit = object->bounds();
    const CGRect b = bounds();
    const CGRect converted = CGRectMake(unit.origin.x * b.width(), unit.origin.y * b.height(),
                                        unit.size.width * b.width(), unit.size.height * b.height());
    if (auto code = std::dynamic_pointer_cast<AVMetadataMachineReadableCodeObject>(object)) {
        return std::make_shared<AVMetadataMachineReadableCodeObject>(code->type(), converted, code->stringValue());
    }
    return std::make_shared<AVMetadataObject>(object->type(), converted);
}

}  // namespace ns
