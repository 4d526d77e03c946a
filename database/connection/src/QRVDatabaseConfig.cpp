#include "database/connection/QRVDatabaseConfig.h"

#include <map>
#include <regex>

#include "platform/error.h"
#include "platform/no_destructor.h"

namespace {

bool isValidConfigName(const std::string& name) {
    static const ns::NoDestructor<std::regex> kPattern("^[a-zA-Z0-9-_]+$");
    return std::regex_match(name, *kPattern);
}

}  // namespace

QRVDatabaseConfig::QRVDatabaseConfig(std::string sessionIdentifier, FAuthTokenProviderPtr authTokenProvider)
    : callbackQueue_(ns::DispatchQueue::main()),
      sessionIdentifier_(std::move(sessionIdentifier)),
      authTokenProvider_(std::move(authTokenProvider)) {}

std::shared_ptr<QRVDatabaseConfig> QRVDatabaseConfig::init() {
    ns::Exception::raise(ns::kInvalidArgumentException, "Can't create config objects!");
}

std::shared_ptr<QRVDatabaseConfig> QRVDatabaseConfig::defaultConfig() {
    static const ns::NoDestructor<std::shared_ptr<QRVDatabaseConfig>> config(configForName("default"));
    return *config;
}

std::shared_ptr<QRVDatabaseConfig> QRVDatabaseConfig::configForName(const std::string& name) {
    if (!isValidConfigName(name)) {
        ns::Exception::raise(ns::kInvalidArgumentException, "Name can only contain [a-zA-Z0-9-_]");
    }
    static std::recursive_mutex tableMutex;
    static ns::NoDestructor<std::map<std::string, std::shared_ptr<QRVDatabaseConfig>>> namedConfigs;
    std::lock_guard lock(tableMutex);
    auto& config = (*namedConfigs)[name];
    if (!config) config = std::make_shared<QRVDatabaseConfig>(name, std::make_shared<QRVNoopAuthTokenProvider>());
    return config;
}

void QRVDatabaseConfig::assertUnfrozenLocked() const {
    if (isFrozen_) {
        ns::Exception::raise(ns::kGenericException,
                             "Can't modify config objects after they are in use for QRVDatabaseReferences.");
    }
}

void QRVDatabaseConfig::assertUnfrozen() const {
    std::lock_guard lock(mutex_);
    assertUnfrozenLocked();
}

bool QRVDatabaseConfig::persistenceEnabled() const {
    std::lock_guard lock(mutex_);
    return persistenceEnabled_;
}

void QRVDatabaseConfig::setPersistenceEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    assertUnfrozenLocked();
    persistenceEnabled_ = enabled;
}

bool QRVDatabaseConfig::isFrozen() const {
    std::lock_guard lock(mutex_);
    return isFrozen_;
}

uint64_t QRVDatabaseConfig::persistenceCacheSizeBytes() const {
    std::lock_guard lock(mutex_);
    return persistenceCacheSizeBytes_;
}

void QRVDatabaseConfig::setPersistenceCacheSizeBytes(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    assertUnfrozenLocked();
    if (bytes < kQRVDatabaseMinCacheSizeBytes) {
        ns::Exception::raise(ns::kInvalidArgumentException, "The minimum cache size must be at least 1MB");
    }
    if (bytes > kQRVDatabaseMaxCacheSizeBytes) {
        ns::Exception::raise(ns::kInvalidArgumentException,
                             "Quorvane Database currently doesn't support a cache size larger than 100MB");
    }
    persistenceCacheSizeBytes_ = bytes;
}

ns::DispatchQueuePtr QRVDatabaseConfig::callbackQueue() const {
    std::lock_guard lock(mutex_);
    return callbackQueue_;
}

void QRVDatabaseConfig::setCallbackQueue(ns::DispatchQueuePtr queue) {
    std::lock_guard lock(mutex_);
    assertUnfrozenLocked();
    callbackQueue_ = std::move(queue);
}

FAuthTokenProviderPtr QRVDatabaseConfig::authTokenProvider() const {
    std::lock_guard lock(mutex_);
    return authTokenProvider_;
}

void QRVDatabaseConfig::setAuthTokenProvider(FAuthTokenProviderPtr provider) {
    std::lock_guard lock(mutex_);
    assertUnfrozenLocked();
    authTokenProvider_ = std::move(provider);
}

std::shared_ptr<FStorageEngine> QRVDatabaseConfig::forceStorageEngine() const { return forceStorageEngine_.get(); }

void QRVDatabaseConfig::setForceStorageEngine(std::shared_ptr<FStorageEngine> engine) {
    forceStorageEngine_.set(std::move(engine));
}

void QRVDatabaseConfig::freeze() {
    std::lock_guard lock(mutex_);
    isFrozen_ = true;
}
