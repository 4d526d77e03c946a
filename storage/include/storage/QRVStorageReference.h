#pragma once
// A location in storage: an immutable (storage object, path) pair with
// navigation and one method per operation. Each method makes the task,
// wires the caller's completion to it and starts it.
//
// Usable from any thread. Completions run on the storage object's callback
// queue (the main queue when none is set), each exactly once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageDownloadTask.h"
#include "storage/QRVStorageMetadata.h"
#include "storage/QRVStoragePath.h"
#include "storage/QRVStorageTasks.h"
#include "storage/QRVStorageUploadTask.h"

// Bytes (nullptr for none) and an error.
using QRVStorageVoidDataError = std::function<void(std::shared_ptr<const ns::Data> data, ns::ErrorRef error)>;
// A URL (nullopt for none) and an error.
using QRVStorageVoidURLError = std::function<void(std::optional<std::string> url, ns::ErrorRef error)>;

class QRVStorageReference : public ns::Object {
public:
    QRVStorageReference(std::shared_ptr<QRVStorage> storage, QRVStoragePath path);
    // The bucket root of QRVStorage::storage().
    QRVStorageReference();

    const std::shared_ptr<QRVStorage>& storage() const { return storage_; }
    const QRVStoragePath& path() const { return path_; }
    const std::string& bucket() const { return path_.bucket(); }
    // The object path; "" at the root.
    std::string fullPath() const;
    // The last component of the object path; "" at the root.
    std::string name() const;
    std::shared_ptr<QRVStorageReference> root() const;
    // nullptr at the root.
    std::shared_ptr<QRVStorageReference> parent() const;
    std::shared_ptr<QRVStorageReference> child(const std::string& path) const;

    // Uploads. The metadata is copied (a new one when none is given) and
    // gets the reference's path and name.
    QRVStorageUploadTaskPtr putData(ns::Data data, const QRVStorageMetadata* metadata = nullptr,
                                    QRVStorageVoidMetadataError completion = nullptr);
    QRVStorageUploadTaskPtr putFile(const std::string& fileURL, const QRVStorageMetadata* metadata = nullptr,
                                    QRVStorageVoidMetadataError completion = nullptr);

    // Downloads into memory; an object over `maxSize` bytes fails with
    // -13032 naming both sizes. Without a completion the task still runs.
    QRVStorageDownloadTaskPtr dataWithMaxSize(int64_t maxSize, QRVStorageVoidDataError completion);
    // Downloads into the file; the completion receives the file URL given.
    QRVStorageDownloadTaskPtr writeToFile(const std::string& fileURL, QRVStorageVoidURLError completion = nullptr);

    void metadataWithCompletion(QRVStorageVoidMetadataError completion);
    void updateMetadata(const QRVStorageMetadata& metadata, QRVStorageVoidMetadataError completion);
    void deleteWithCompletion(QRVStorageVoidError completion);
    // The first download URL of the object's metadata.
    void downloadURLWithCompletion(QRVStorageVoidURLError completion);

    // Same storage object (same app and bucket) and path.
    bool isEqual(const QRVStorageReference& other) const;
    std::size_t hash() const;
    std::shared_ptr<QRVStorageReference> copy() const;
    // "vbk://<bucket>/<object>".
    std::string stringValue() const;
    std::string description() const override { return stringValue(); }
    std::string className() const override { return "QRVStorageReference"; }

private:
    std::shared_ptr<QRVStorageReference> withPath(QRVStoragePath path) const;
    ns::DispatchQueuePtr callbackQueue() const;

    std::shared_ptr<QRVStorage> storage_;
    QRVStoragePath path_;
};
using QRVStorageReferencePtr = std::shared_ptr<QRVStorageReference>;
