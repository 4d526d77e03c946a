#pragma once
// Bundles as the upload queue gives them back. Most are kept as their stored
// bytes, which are exactly what the encoder writes of them: one walk finds
// what an upload needs (app and device ids, where the two upload stamps go),
// and the upload writes them into a batch stamped, without ever decoding
// them (QRVAWireBundle). Any other stored bundle is decoded
// (QRVAQueuedBundle::bundle).
//
//     auto wire = QRVAWireBundle::of(std::move(inflated));  // null: decode it instead
//     wire->appendStamped(libraryVersion, uploadMillis, batch);
//
// Threads: plain values, not locked; a value belongs to one thread or queue
// at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/QRVAPBMessages.h"
#include "platform/value.h"

// A queued bundle kept as its stored bytes, which are exactly what the
// encoder writes of it and hold neither upload stamp: what an upload needs
// of it was found by one walk over them.
struct QRVAWireBundle {
    ns::Data bytes;
    std::string appID, resettableDeviceID, vendorDeviceID;
    // Where the upload timestamp and the uploading library version go in
    // tag order.
    size_t timestampAt = 0, versionAt = 0;
    // Null, leaving the bytes with the caller, when they are anything else.
    static std::shared_ptr<const QRVAWireBundle> of(ns::Data&& bytes);
    // Appends the bundle with both stamps in place, as an element of a
    // batch's bundles: what encoding the stamped record in a batch writes.
    void appendStamped(int64_t libraryVersion, int64_t uploadMillis, ns::Data& out) const;
    // The key and length that put `length` bytes of a bundle in a batch.
    static void appendElementKey(size_t length, ns::Data& out);
};

// A bundle read back from the upload queue with its row: as its bytes when
// they are the encoder's own (`wire`), else decoded (`bundle`).
struct QRVAQueuedBundle {
    std::shared_ptr<QRVAPBMeasurementBundle> bundle;
    int64_t rowID = 0;
    std::shared_ptr<const QRVAWireBundle> wire = nullptr;

    // `bundle`, or a record decoded from `wire`.
    std::shared_ptr<QRVAPBMeasurementBundle> record() const;
    std::string appID() const;
    std::string resettableDeviceID() const;
    std::string vendorDeviceID() const;
};
