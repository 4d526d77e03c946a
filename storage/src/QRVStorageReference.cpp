#include "storage/QRVStorageReference.h"

#include <functional>


QRVStorageReference::QRVStorageReference(std::shared_ptr<QRVStorage> storage, QRVStoragePath path)
    : storage_(std::move(storage)), path_(std::move(path)) {}

QRVStorageReference::QRVStorageReference()
    : QRVStorageReference(QRVStorage::storage(), QRVStoragePath(QRVStorage::storage()->storageBucket(), std::nullopt)) {}

std::string QRVStorageReference::fullPath() const { return path_.object().value_or(""); }

std::string QRVStorageReference::name() const {
    std::string path = fullPath();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::shared_ptr<QRVStorageReference> QRVStorageReference::withPath(QRVStoragePath path) const {
    return std::make_shared<QRVStorageReference>(storage_, std::move(path));
}

std::shared_ptr<QRVStorageReference> QRVStorageReference::root() const { return withPath(path_.root()); }

std::shared_ptr<QRVStorageReference> QRVStorageReference::parent() const {
    auto parent = path_.parent();
    return parent ? withPath(*parent) : nullptr;
}

std::shared_ptr<QRVStorageReference> QRVStorageReference::child(const std::string& path) const {
    return withPath(path_.child(path));
}

std::shared_ptr<QRVStorageReference> QRVStorageReference::copy() const { return withPath(path_); }

bool QRVStorageReference::isEqual(const QRVStorageReference& other) const {
    return this == &other || (storage_->isEqual(*other.storage_) && path_ == other.path_);
}

std::size_t QRVStorageReference::hash() const { return storage_->hash() ^ path_.hash(); }

std::string QRVStorageReference::stringValue() const { return path_.stringValue(); }

ns::DispatchQueuePtr QRVStorageReference::callbackQueue() const {
    ns::DispatchQueuePtr queue = storage_->callbackQueue();
    return queue ? queue : ns::DispatchQueue::main();
}

namespace {

// Sends the final status of an upload to the caller's completion, once.
void wireUploadCompletion(const QRVStorageUploadTaskPtr& task, const ns::DispatchQueuePtr& queue,
                          const QRVStorageVoidMetadataError& completion) {
    if (!completion) return;
    task->observeStatus(QRVStorageTaskStatusSuccess, [queue, completion](QRVStorageTaskSnapshotPtr snapshot) {
        queue->async([completion, snapshot] { completion(snapshot->metadata(), nullptr); });
    });
    task->observeStatus(QRVStorageTaskStatusFailure, [queue, completion](QRVStorageTaskSnapshotPtr snapshot) {
        queue->async([completion, snapshot] { completion(nullptr, snapshot->error()); });
    });
}

// A copy of the caller's metadata (or a new one) naming the reference's object.
QRVStorageMetadataPtr uploadMetadataFor(const QRVStorageReference& reference, const QRVStorageMetadata* metadata) {
    QRVStorageMetadataPtr copy = metadata ? metadata->copy() : std::make_shared<QRVStorageMetadata>();
    copy->setPath(reference.fullPath());
    copy->setName(reference.name());
    return copy;
}

}  // namespace

QRVStorageUploadTaskPtr QRVStorageReference::putData(ns::Data data, const QRVStorageMetadata* metadata,
                                                     QRVStorageVoidMetadataError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    auto task = std::make_shared<QRVStorageUploadTask>(self, storage_->fetcherServiceForApp(), std::move(data),
                                                       *uploadMetadataFor(*this, metadata));
    wireUploadCompletion(task, callbackQueue(), completion);
    task->enqueue();
    return task;
}

QRVStorageUploadTaskPtr QRVStorageReference::putFile(const std::string& fileURL, const QRVStorageMetadata* metadata,
                                                     QRVStorageVoidMetadataError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    auto task = std::make_shared<QRVStorageUploadTask>(self, storage_->fetcherServiceForApp(), fileURL,
                                                       *uploadMetadataFor(*this, metadata));
    wireUploadCompletion(task, callbackQueue(), completion);
    task->enqueue();
    return task;
}

QRVStorageDownloadTaskPtr QRVStorageReference::dataWithMaxSize(int64_t maxSize, QRVStorageVoidDataError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    auto task = std::make_shared<QRVStorageDownloadTask>(self, storage_->fetcherServiceForApp(), std::nullopt);
    ns::DispatchQueuePtr queue = callbackQueue();
    if (completion) {
        task->observeStatus(QRVStorageTaskStatusSuccess, [queue, completion](QRVStorageTaskSnapshotPtr snapshot) {
            auto download = std::static_pointer_cast<QRVStorageDownloadTask>(snapshot->task());
            queue->async([completion, data = download->downloadData()] { completion(data, nullptr); });
        });
        task->observeStatus(QRVStorageTaskStatusFailure, [queue, completion](QRVStorageTaskSnapshotPtr snapshot) {
            queue->async([completion, snapshot] { completion(nullptr, snapshot->error()); });
        });
    }
    // Checked by the task as the bytes come, not by a progress observer: an
    // observer runs a hop later on the callback queue, after the success of
    // a download that arrived whole, and the completion had the bytes.
    task->setMaxSize(maxSize);
    task->enqueue();
    return task;
}

QRVStorageDownloadTaskPtr QRVStorageReference::writeToFile(const std::string& fileURL,
                                                           QRVStorageVoidURLError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    auto task = std::make_shared<QRVStorageDownloadTask>(self, storage_->fetcherServiceForApp(), fileURL);
    ns::DispatchQueuePtr queue = callbackQueue();
    if (completion) {
        task->observeStatus(QRVStorageTaskStatusSuccess, [queue, completion, fileURL](QRVStorageTaskSnapshotPtr) {
            queue->async([completion, fileURL] { completion(fileURL, nullptr); });
        });
        task->observeStatus(QRVStorageTaskStatusFailure, [queue, completion](QRVStorageTaskSnapshotPtr snapshot) {
            queue->async([completion, snapshot] { completion(std::nullopt, snapshot->error()); });
        });
    }
    task->enqueue();
    return task;
}

void QRVStorageReference::metadataWithCompletion(QRVStorageVoidMetadataError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    std::make_shared<QRVStorageGetMetadataTask>(self, storage_->fetcherServiceForApp(), std::move(completion))
        ->enqueue();
}

void QRVStorageReference::updateMetadata(const QRVStorageMetadata& metadata,
                                         QRVStorageVoidMetadataError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    std::make_shared<QRVStorageUpdateMetadataTask>(self, storage_->fetcherServiceForApp(), metadata,
                                                   std::move(completion))
        ->enqueue();
}

void QRVStorageReference::deleteWithCompletion(QRVStorageVoidError completion) {
    auto self = std::static_pointer_cast<QRVStorageReference>(shared_from_this());
    std::make_shared<QRVStorageDeleteTask>(self, storage_->fetcherServiceForApp(), std::move(completion))->enqueue();
}

void QRVStorageReference::downloadURLWithCompletion(QRVStorageVoidURLError completion) {
    ns::DispatchQueuePtr queue = callbackQueue();
    metadataWithCompletion([queue, completion](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
        std::optional<std::string> url = metadata ? metadata->downloadURL() : std::nullopt;
        queue->async([completion, url, error] {
            if (completion) completion(url, error);
        });
    });
}
