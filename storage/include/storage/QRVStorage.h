#pragma once
// The entry object of the storage client: made for an app and a bucket, it
// hands out references and carries the retry times and the HTTP fetcher
// service through which every task of that (app, bucket) sends its
// requests.
//
// Storage objects may be made and used from any thread. The fetcher
// services live in one class-wide table, one per (app name, bucket), shared
// by every storage object of that pair; each has the class-wide retry block
// and a token authorizer (QRVStorageTokenAuthorizer.h). Completions and
// observers run on the service's callback queue, the main queue unless one
// is set.

#include <memory>
#include <optional>
#include <string>

#include "core/QRVApp.h"
#include "platform/dispatch.h"
#include "platform/guarded.h"
#include "platform/session_fetcher.h"

class QRVStorageReference;

class QRVStorage : public ns::Object {
public:
    // storageForApp(QRVApp::defaultApp()).
    static std::shared_ptr<QRVStorage> storage();
    // The bucket of the app's options as "vbk://<bucket>" (an empty bucket
    // as an empty URL, none as none), then storageForApp(app, url).
    static std::shared_ptr<QRVStorage> storageForApp(const std::shared_ptr<QRVApp>& app);
    // storageForApp(default app, url).
    static std::shared_ptr<QRVStorage> storageWithURL(const std::optional<std::string>& url);
    // A new storage object. No URL raises NSInvalidArgumentException "No
    // default Storage bucket found. Did you configure Quorvane Storage
    // properly?"; a URL that is not "vbk://<bucket>" raises
    // NSInternalInconsistencyException "URI must be in the form of
    // vbk://<bucket>/", one with an object "Storage bucket cannot be
    // initialized with a path".
    static std::shared_ptr<QRVStorage> storageForApp(const std::shared_ptr<QRVApp>& app,
                                                     const std::optional<std::string>& url);

    // The shared service of (app name, bucket), made on first use.
    static std::shared_ptr<HTKSessionFetcherService> fetcherServiceForApp(const std::shared_ptr<QRVApp>& app,
                                                                          const std::string& bucket);
    static void setHTKSessionFetcherLoggingEnabled(bool enabled);
    // Not available: raise NSGenericException.
    static void enableBackgroundTasks(bool enabled);
    void uploadTasks() const;
    void downloadTasks() const;

    // Use the class functions; public for std::make_shared.
    QRVStorage(std::shared_ptr<QRVApp> app, std::string bucket);

    const std::shared_ptr<QRVApp>& app() const { return app_; }
    const std::string& storageBucket() const { return bucket_; }
    const std::shared_ptr<HTKSessionFetcherService>& fetcherServiceForApp() const { return fetcherService_; }

    // Seconds.
    double maxUploadRetryTime() const;
    void setMaxUploadRetryTime(double seconds);
    double maxDownloadRetryTime() const;
    void setMaxDownloadRetryTime(double seconds);
    double maxOperationRetryTime() const;
    void setMaxOperationRetryTime(double seconds);

    // The fetcher service's callback queue (nullptr: the main queue is used).
    ns::DispatchQueuePtr callbackQueue() const;
    void setCallbackQueue(ns::DispatchQueuePtr queue);

    // The bucket root.
    std::shared_ptr<QRVStorageReference> reference();
    // A "vbk://" or "http[s]://" location; raises NSInvalidArgumentException
    // "Provided bucket: %@ does not match the Storage bucket of the current
    // instance: %@" for another bucket (any bucket when this one is empty).
    std::shared_ptr<QRVStorageReference> referenceForURL(const std::string& string);
    std::shared_ptr<QRVStorageReference> referenceWithPath(const std::string& string);

    // Same app and bucket, same callback queue.
    std::shared_ptr<QRVStorage> copy() const;
    // Equal for the same app and the same bucket; the hash agrees.
    bool isEqual(const QRVStorage& other) const;
    std::size_t hash() const;
    std::string description() const override;
    std::string className() const override { return "QRVStorage"; }

    // Forgets the fetcher services (tests that configure apps afresh).
    static void resetForTesting();

private:
    std::shared_ptr<QRVApp> app_;
    std::string bucket_;
    std::shared_ptr<HTKSessionFetcherService> fetcherService_;
    ns::Guarded<double> maxUploadRetryTime_{600.0};
    ns::Guarded<double> maxDownloadRetryTime_{600.0};
    ns::Guarded<double> maxOperationRetryTime_{120.0};
};
using QRVStoragePtr = std::shared_ptr<QRVStorage>;
