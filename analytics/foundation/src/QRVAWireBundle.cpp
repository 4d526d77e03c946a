// A queued bundle's bytes walked once for what an upload needs of them,
// and written into a batch with the upload stamps in place.
#include "analytics/QRVAWireBundle.h"

#include <vector>

#include "analytics/QRVAWire.h"
#include "platform/utf8.h"

namespace W = qrvawire;

namespace {

// A text field as the decoder reads it: bytes that are not UTF-8 are no text.
std::string textOf(const ns::Data& bytes, const QRVAPBWireField& field) {
    const auto* begin = reinterpret_cast<const char*>(bytes.data()) + field.value;
    if (!ns::utf8::isValid(bytes.data() + field.value, field.length)) return {};
    return std::string(begin, field.length);
}

}  // namespace

std::shared_ptr<const QRVAWireBundle> QRVAWireBundle::of(ns::Data&& bytes) {
    std::vector<QRVAPBWireField> fields;
    if (!QRVAPBIsEncoderExact(qrvanalytics_MeasurementBundle_fields, bytes, &fields)) return nullptr;
    auto wire = std::make_shared<QRVAWireBundle>();
    wire->timestampAt = wire->versionAt = bytes.size();
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        switch (it->tag) {
        case qrvanalytics_MeasurementBundle_upload_timestamp_millis_tag:
        case qrvanalytics_MeasurementBundle_uploading_library_version_tag:
            return nullptr;  // stamped before: the record's value is replaced
        case qrvanalytics_MeasurementBundle_app_id_tag: wire->appID = textOf(bytes, *it); break;
        case qrvanalytics_MeasurementBundle_resettable_device_id_tag:
            wire->resettableDeviceID = textOf(bytes, *it);
            break;
        case qrvanalytics_MeasurementBundle_vendor_device_id_tag: wire->vendorDeviceID = textOf(bytes, *it); break;
        default: break;
        }
        // Walking back, the last field past a stamp's tag is the first.
        if (it->tag > qrvanalytics_MeasurementBundle_upload_timestamp_millis_tag) wire->timestampAt = it->key;
        if (it->tag > qrvanalytics_MeasurementBundle_uploading_library_version_tag) wire->versionAt = it->key;
    }
    wire->bytes = std::move(bytes);
    return wire;
}

void QRVAWireBundle::appendStamped(int64_t libraryVersion, int64_t uploadMillis, ns::Data& out) const {
    ns::Data timestamp, version;
    W::appendVarintField(timestamp, W::kBundleUploadTimestamp, uint64_t(uploadMillis));
    W::appendVarintField(version, W::kBundleUploadingLibraryVersion, uint64_t(libraryVersion));
    appendElementKey(bytes.size() + timestamp.size() + version.size(), out);
    W::appendSpliced(out, bytes, {{timestampAt, timestamp}, {versionAt, version}});
}

void QRVAWireBundle::appendElementKey(size_t length, ns::Data& out) {
    W::appendDelimitedHead(out, W::kBatchBundles, length);
}

std::shared_ptr<QRVAPBMeasurementBundle> QRVAQueuedBundle::record() const {
    if (bundle || !wire) return bundle;
    return QRVAPBMeasurementBundle::initWithBuffer(wire->bytes);
}

std::string QRVAQueuedBundle::appID() const {
    if (wire) return wire->appID;
    return bundle ? NANOGetString(bundle, QRVAPBField::MeasurementBundle::app_id).value_or("") : "";
}

std::string QRVAQueuedBundle::resettableDeviceID() const {
    if (wire) return wire->resettableDeviceID;
    return bundle ? NANOGetString(bundle, QRVAPBField::MeasurementBundle::resettable_device_id).value_or("") : "";
}

std::string QRVAQueuedBundle::vendorDeviceID() const {
    if (wire) return wire->vendorDeviceID;
    return bundle ? NANOGetString(bundle, QRVAPBField::MeasurementBundle::vendor_device_id).value_or("") : "";
}
