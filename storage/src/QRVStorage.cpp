#include "storage/QRVStorage.h"

#include <functional>
#include <map>

#include "platform/format.h"
#include "storage/QRVStoragePath.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageTokenAuthorizer.h"

namespace {

// app name -> (bucket -> service), for the whole process.
struct ServiceTable {
    std::mutex mutex;
    std::map<std::string, std::map<std::string, std::shared_ptr<HTKSessionFetcherService>>> services;
    static ServiceTable& shared() {
        static auto* table = new ServiceTable;
        return *table;
    }
};

// One retry rule for every service: what the library suggests, and also a
// device that is offline for now.
const HTKRetryBlock& retryBlock() {
    static const HTKRetryBlock* block = new HTKRetryBlock(
        [](bool suggestedWillRetry, ns::ErrorRef error, HTKRetryResponse response) {
            if (suggestedWillRetry) {
                response(true);
                return;
            }
            response(error && error->code() == ns::kURLErrorNotConnectedToInternet);
        });
    return *block;
}

}  // namespace

std::shared_ptr<QRVStorage> QRVStorage::storage() { return storageForApp(QRVApp::defaultApp()); }

std::shared_ptr<QRVStorage> QRVStorage::storageForApp(const std::shared_ptr<QRVApp>& app) {
    std::optional<std::string> bucket = app ? app->options()->storageBucket() : std::nullopt;
    std::optional<std::string> url;
    if (bucket) url = bucket->empty() ? std::string() : "vbk://" + *bucket;
    return storageForApp(app, url);
}

std::shared_ptr<QRVStorage> QRVStorage::storageWithURL(const std::optional<std::string>& url) {
    return storageForApp(QRVApp::defaultApp(), url);
}

std::shared_ptr<QRVStorage> QRVStorage::storageForApp(const std::shared_ptr<QRVApp>& app,
                                                      const std::optional<std::string>& url) {
    if (!url)
        ns::Exception::raise(ns::kInvalidArgumentException,
                             "No default Storage bucket found. Did you configure Quorvane Storage properly?");
    std::string bucket;
    if (!url->empty()) {
        std::optional<QRVStoragePath> path;
        try {
            path = QRVStoragePath::pathFromVBKURI(*url);
        } catch (const ns::Exception&) {
            ns::Exception::raise(ns::kInternalInconsistencyException, "URI must be in the form of vbk://<bucket>/");
        }
        if (path->object() && !path->object()->empty())
            ns::Exception::raise(ns::kInternalInconsistencyException, "Storage bucket cannot be initialized with a path");
        bucket = path->bucket();
    }
    if (!app) ns::Exception::raise(ns::kInvalidArgumentException, "Storage needs a configured app");
    return std::make_shared<QRVStorage>(app, std::move(bucket));
}

QRVStorage::QRVStorage(std::shared_ptr<QRVApp> app, std::string bucket)
    : app_(std::move(app)), bucket_(std::move(bucket)), fetcherService_(fetcherServiceForApp(app_, bucket_)) {}

std::shared_ptr<HTKSessionFetcherService> QRVStorage::fetcherServiceForApp(const std::shared_ptr<QRVApp>& app,
                                                                           const std::string& bucket) {
    ServiceTable& table = ServiceTable::shared();
    std::lock_guard lock(table.mutex);
    auto& service = table.services[app->name()][bucket];
    if (!service) {
        service = HTKSessionFetcherService::make();
        service->setRetryEnabled(true);
        service->setRetryBlock(retryBlock());
        service->setAuthorizer(std::make_shared<QRVStorageTokenAuthorizer>(app, service));
    }
    return service;
}

void QRVStorage::resetForTesting() {
    ServiceTable& table = ServiceTable::shared();
    std::lock_guard lock(table.mutex);
    table.services.clear();
}

void QRVStorage::setHTKSessionFetcherLoggingEnabled(bool enabled) { HTKSessionFetcher::setLoggingEnabled(enabled); }

void QRVStorage::enableBackgroundTasks(bool) {
    ns::Exception::raise(ns::kGenericException, "enableBackgroundTasks not implemented");
}
void QRVStorage::uploadTasks() const { ns::Exception::raise(ns::kGenericException, "getUploadTasks not implemented"); }
void QRVStorage::downloadTasks() const {
    ns::Exception::raise(ns::kGenericException, "getDownloadTasks not implemented");
}

double QRVStorage::maxUploadRetryTime() const { return maxUploadRetryTime_.get(); }
void QRVStorage::setMaxUploadRetryTime(double seconds) { maxUploadRetryTime_.set(seconds); }
double QRVStorage::maxDownloadRetryTime() const { return maxDownloadRetryTime_.get(); }
void QRVStorage::setMaxDownloadRetryTime(double seconds) { maxDownloadRetryTime_.set(seconds); }
double QRVStorage::maxOperationRetryTime() const { return maxOperationRetryTime_.get(); }
void QRVStorage::setMaxOperationRetryTime(double seconds) { maxOperationRetryTime_.set(seconds); }

ns::DispatchQueuePtr QRVStorage::callbackQueue() const { return fetcherService_->callbackQueue(); }
void QRVStorage::setCallbackQueue(ns::DispatchQueuePtr queue) { fetcherService_->setCallbackQueue(std::move(queue)); }

std::shared_ptr<QRVStorageReference> QRVStorage::reference() {
    return std::make_shared<QRVStorageReference>(std::static_pointer_cast<QRVStorage>(shared_from_this()),
                                                 QRVStoragePath(bucket_, std::nullopt));
}

std::shared_ptr<QRVStorageReference> QRVStorage::referenceForURL(const std::string& string) {
    QRVStoragePath path = QRVStoragePath::pathFromString(string);
    if (!bucket_.empty() && path.bucket() != bucket_)
        ns::Exception::raise(ns::kInvalidArgumentException,
                             ns::format("Provided bucket: %@ does not match the Storage bucket of the current "
                                        "instance: %@",
                                        path.bucket(), bucket_));
    return std::make_shared<QRVStorageReference>(std::static_pointer_cast<QRVStorage>(shared_from_this()),
                                                 std::move(path));
}

std::shared_ptr<QRVStorageReference> QRVStorage::referenceWithPath(const std::string& string) {
    return reference()->child(string);
}

std::shared_ptr<QRVStorage> QRVStorage::copy() const {
    auto storage = std::make_shared<QRVStorage>(app_, bucket_);
    storage->setCallbackQueue(callbackQueue());
    return storage;
}

bool QRVStorage::isEqual(const QRVStorage& other) const {
    return this == &other || (app_ == other.app_ && bucket_ == other.bucket_);
}

std::size_t QRVStorage::hash() const {
    return std::hash<const void*>{}(app_.get()) ^ std::hash<std::string>{}(bucket_);
}

std::string QRVStorage::description() const {
    return ns::format("%s %p: %@", className(), static_cast<const void*>(this), app_);
}
