#pragma once
// The entrance to the realtime database: one instance per configured app,
// made lazily from the app's database URL, handing out references. The
// repository behind it is made on first use (a reference, a purge, going
// online or offline); the session settings can be changed only before that.

#include <cstdint>
#include <memory>
#include <string>

#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FRepoInfo.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class FRepo;
class QRVApp;
class QRVDatabaseReference;

class QRVDatabase : public ns::Object {
public:
    // The database of the default app. Raises "QRVAppNotConfigured" when no
    // app is configured.
    static std::shared_ptr<QRVDatabase> database();
    // One instance per app name. Raises "InvalidQRVApp" for no app,
    // "MissingDatabaseURL" for options without a database URL and
    // "InvalidDatabaseURL" for a URL with a path.
    static std::shared_ptr<QRVDatabase> databaseForApp(const std::shared_ptr<QRVApp>& app);
    // The default app, found by class name; raises "FailedToFindQRVApp"
    // when the app registry is not linked in.
    static std::shared_ptr<QRVApp> getDefaultApp();
    // A database with no app whose repository is made at once.
    static std::shared_ptr<QRVDatabase> createDatabaseForTests(std::shared_ptr<FRepoInfo> repoInfo,
                                                               QRVDatabaseConfigPtr config);
    // The database's debug log switch.
    static void setLoggingEnabled(bool enabled);
    static std::string sdkVersion();
    static std::string buildVersion();

    // initWithApp:repoInfo:config: (the app is held weakly); makes no
    // repository.
    QRVDatabase(const std::shared_ptr<QRVApp>& app, std::shared_ptr<FRepoInfo> repoInfo, QRVDatabaseConfigPtr config);

    std::shared_ptr<QRVDatabaseReference> reference();
    // Raises "InvalidPathValidation" (tag "referenceWithPath").
    std::shared_ptr<QRVDatabaseReference> referenceWithPath(const std::string& path);
    // Raises "InvalidDatabaseURL" for a URL of another host, naming this
    // database's root URL, and "InvalidPathValidation" for a path that is
    // not a valid root path once decoded.
    std::shared_ptr<QRVDatabaseReference> referenceFromURL(const std::string& databaseUrl);

    void purgeOutstandingWrites();
    void goOnline();
    void goOffline();

    // Settings of the session: each setter raises "QRVDatabaseAlreadyInUse"
    // once the repository exists.
    bool persistenceEnabled() const;
    void setPersistenceEnabled(bool enabled);
    uint64_t persistenceCacheSizeBytes() const;
    void setPersistenceCacheSizeBytes(uint64_t bytes);
    ns::DispatchQueuePtr callbackQueue() const;
    void setCallbackQueue(ns::DispatchQueuePtr queue);

    std::shared_ptr<QRVApp> app() const { return app_.lock(); }
    const std::shared_ptr<FRepoInfo>& repoInfo() const { return repoInfo_; }
    const QRVDatabaseConfigPtr& config() const { return config_; }
    // nullptr until the database is first used.
    std::shared_ptr<FRepo> repo() const;

    // Makes the repository through the repository manager when there is none.
    void ensureRepo();

    std::string className() const override { return "QRVDatabase"; }

    // Forgets every database instance (the repositories stay with the
    // repository manager); for tests that configure apps anew.
    static void resetInstancesForTesting();

private:
    void assertUnfrozen(const std::string& methodName) const;

    std::weak_ptr<QRVApp> app_;
    std::shared_ptr<FRepoInfo> repoInfo_;
    QRVDatabaseConfigPtr config_;
    std::shared_ptr<FRepo> repo_;
};
