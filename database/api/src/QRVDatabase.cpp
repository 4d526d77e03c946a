#include "database/api/QRVDatabase.h"

#include <map>
#include <mutex>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "database/api/FRepo.h"
#include "database/api/FRepoManager.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FAuthTokenProvider.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FUtilities.h"
#include "database/model/FValidation.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/runtime.h"

namespace {

// The instances table: one database per app name. Re-entrant, as a raise
// inside may unwind through code that takes it again.
struct Instances {
    std::recursive_mutex mutex;
    std::map<std::string, std::shared_ptr<QRVDatabase>> byAppName;
};

Instances& instances() {
    static auto* table = new Instances;
    return *table;
}

const char kDefaultSessionIdentifier[] = "default";

}  // namespace

std::shared_ptr<QRVApp> QRVDatabase::getDefaultApp() {
    if (!ns::Runtime::lookUpClass("QRVApp")) {
        throw ns::Exception("FailedToFindQRVApp", "Failed to find QRVApp class.");
    }
    return ns::Runtime::sendClass("QRVApp", "defaultApp").asObjectOf<QRVApp>();
}

std::shared_ptr<QRVDatabase> QRVDatabase::database() {
    std::shared_ptr<QRVApp> app = getDefaultApp();
    if (!app) {
        throw ns::Exception("QRVAppNotConfigured",
                            "Failed to get default QRVDatabase instance. Must call QRVApp.configure() before using "
                            "QRVDatabase.");
    }
    return databaseForApp(app);
}

std::shared_ptr<QRVDatabase> QRVDatabase::databaseForApp(const std::shared_ptr<QRVApp>& app) {
    if (!app) throw ns::Exception("InvalidQRVApp", "nil QRVApp instance passed to databaseForApp.");
    Instances& table = instances();
    std::lock_guard lock(table.mutex);
    auto found = table.byAppName.find(app->name());
    if (found != table.byAppName.end()) return found->second;

    std::optional<std::string> databaseUrl = app->options()->databaseURL();
    if (!databaseUrl) {
        throw ns::Exception("MissingDatabaseURL",
                            "Failed to get QRVDatabase instance: QRVApp object has no databaseURL in its "
                            "QuorvaneOptions object.");
    }
    FParsedUrl parsed = FUtilities::parseUrl(*databaseUrl);
    if (!parsed.path.isEmpty()) {
        throw ns::Exception("InvalidDatabaseURL",
                            ns::format("Configured Database URL '%@' is invalid. It should point to the root of a "
                                       "Quorvane Database but it includes a path: %@",
                                       *databaseUrl, parsed.path.toString()));
    }
    FAuthTokenProviderPtr provider = FAuthTokenProvider::authTokenProviderForApp(app);
    std::string sessionIdentifier = app->name() == kQRVDefaultAppName ? kDefaultSessionIdentifier : app->name();
    auto config = std::make_shared<QRVDatabaseConfig>(std::move(sessionIdentifier), std::move(provider));
    auto database = std::make_shared<QRVDatabase>(app, std::move(parsed.repoInfo), std::move(config));
    table.byAppName.emplace(app->name(), database);
    return database;
}

std::shared_ptr<QRVDatabase> QRVDatabase::createDatabaseForTests(std::shared_ptr<FRepoInfo> repoInfo,
                                                                 QRVDatabaseConfigPtr config) {
    auto database = std::make_shared<QRVDatabase>(nullptr, std::move(repoInfo), std::move(config));
    database->ensureRepo();
    return database;
}

void QRVDatabase::setLoggingEnabled(bool enabled) {
    FUtilities::setLoggingEnabled(enabled);
    if (FFIsLoggingEnabled(FLogLevelDebug)) {
        QRVLogDebug(kQRVLoggerDatabase, "I-RDB024001", "BUILD Version: %@", buildVersion());
    }
}

std::string QRVDatabase::sdkVersion() { return FDatabaseVersion::sdkVersion(); }

std::string QRVDatabase::buildVersion() { return FDatabaseVersion::buildVersion(); }

void QRVDatabase::resetInstancesForTesting() {
    Instances& table = instances();
    std::lock_guard lock(table.mutex);
    table.byAppName.clear();
}

QRVDatabase::QRVDatabase(const std::shared_ptr<QRVApp>& app, std::shared_ptr<FRepoInfo> repoInfo,
                         QRVDatabaseConfigPtr config)
    : app_(app), repoInfo_(std::move(repoInfo)), config_(std::move(config)) {}

std::shared_ptr<FRepo> QRVDatabase::repo() const { return repo_; }

void QRVDatabase::ensureRepo() {
    if (repo_) return;
    repo_ = FRepoManager::createRepo(repoInfo_, config_,
                                     std::static_pointer_cast<QRVDatabase>(shared_from_this()));
}

std::shared_ptr<QRVDatabaseReference> QRVDatabase::reference() {
    ensureRepo();
    return std::make_shared<QRVDatabaseReference>(repo_, FPath());
}

std::shared_ptr<QRVDatabaseReference> QRVDatabase::referenceWithPath(const std::string& path) {
    ensureRepo();
    FValidation::validateRootPathString("referenceWithPath", path);
    return std::make_shared<QRVDatabaseReference>(repo_, FPath(path));
}

std::shared_ptr<QRVDatabaseReference> QRVDatabase::referenceFromURL(const std::string& databaseUrl) {
    ensureRepo();
    FParsedUrl parsed = FUtilities::parseUrl(databaseUrl);
    if (parsed.repoInfo->host() != repoInfo_->host()) {
        throw ns::Exception("InvalidDatabaseURL",
                            ns::format("Invalid URL (%@) passed to getReference(). URL was expected to match "
                                       "configured Database URL: %@",
                                       databaseUrl, reference()->URL()));
    }
    // The parser decodes the path ("%2E" is "."), so the decoded path is
    // checked the way a reference made from a URL checks it.
    FValidation::validateURL("referenceFromURL:", parsed);
    return std::make_shared<QRVDatabaseReference>(repo_, std::move(parsed.path));
}

void QRVDatabase::purgeOutstandingWrites() {
    ensureRepo();
    FWorkerQueue::sharedQueue()->async([repo = repo_] { repo->purgeOutstandingWrites(); });
}

void QRVDatabase::goOnline() {
    ensureRepo();
    FWorkerQueue::sharedQueue()->async([repo = repo_] { repo->resume(); });
}

void QRVDatabase::goOffline() {
    ensureRepo();
    FWorkerQueue::sharedQueue()->async([repo = repo_] { repo->interrupt(); });
}

void QRVDatabase::assertUnfrozen(const std::string& methodName) const {
    if (repo_) {
        throw ns::Exception("QRVDatabaseAlreadyInUse",
                            ns::format("Calls to %@ must be made before any other usage of QRVDatabase instance.",
                                       methodName));
    }
}

bool QRVDatabase::persistenceEnabled() const { return config_->persistenceEnabled(); }

void QRVDatabase::setPersistenceEnabled(bool enabled) {
    assertUnfrozen("setPersistenceEnabled");
    config_->setPersistenceEnabled(enabled);
}

uint64_t QRVDatabase::persistenceCacheSizeBytes() const { return config_->persistenceCacheSizeBytes(); }

void QRVDatabase::setPersistenceCacheSizeBytes(uint64_t bytes) {
    assertUnfrozen("setPersistenceCacheSizeBytes");
    config_->setPersistenceCacheSizeBytes(bytes);
}

ns::DispatchQueuePtr QRVDatabase::callbackQueue() const { return config_->callbackQueue(); }

void QRVDatabase::setCallbackQueue(ns::DispatchQueuePtr queue) {
    assertUnfrozen("setCallbackQueue");
    config_->setCallbackQueue(std::move(queue));
}
