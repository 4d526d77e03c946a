#pragma once
// The settings of one database session: local persistence and its size
// limit, the queue user blocks run on, the token provider and an optional
// storage engine that replaces the on-disk one. A config freezes once a
// repository uses it; its setters (but the storage engine's) then raise.
//
// Named configs are shared per name, process-wide.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "database/connection/FAuthTokenProvider.h"
#include "platform/dispatch.h"
#include "platform/guarded.h"
#include "platform/value.h"

// The storage protocol of the local cache (declared with the cache).
class FStorageEngine;

inline constexpr uint64_t kQRVDatabaseDefaultCacheSizeBytes = 10485760;
inline constexpr uint64_t kQRVDatabaseMinCacheSizeBytes = 1048576;
inline constexpr uint64_t kQRVDatabaseMaxCacheSizeBytes = 104857600;

class QRVDatabaseConfig : public ns::Object {
public:
    // initWithSessionIdentifier:authTokenProvider: (designated).
    QRVDatabaseConfig(std::string sessionIdentifier, FAuthTokenProviderPtr authTokenProvider);

    // -init: configs are made only by the initialiser above or by name, so
    // this always raises NSInvalidArgumentException.
    [[noreturn]] static std::shared_ptr<QRVDatabaseConfig> init();

    // The config named "default", looked up once and kept.
    static std::shared_ptr<QRVDatabaseConfig> defaultConfig();
    // The shared config of that name, made with a no-op token provider on
    // first use. Names must match ^[a-zA-Z0-9-_]+$, else
    // NSInvalidArgumentException.
    static std::shared_ptr<QRVDatabaseConfig> configForName(const std::string& name);

    bool persistenceEnabled() const;
    void setPersistenceEnabled(bool enabled);
    bool isFrozen() const;
    // Accepted from 1 MB to 100 MB inclusive.
    uint64_t persistenceCacheSizeBytes() const;
    void setPersistenceCacheSizeBytes(uint64_t bytes);
    // The main queue unless set.
    ns::DispatchQueuePtr callbackQueue() const;
    void setCallbackQueue(ns::DispatchQueuePtr queue);
    const std::string& sessionIdentifier() const { return sessionIdentifier_; }
    FAuthTokenProviderPtr authTokenProvider() const;
    void setAuthTokenProvider(FAuthTokenProviderPtr provider);
    std::shared_ptr<FStorageEngine> forceStorageEngine() const;
    // Stored without a freeze check.
    void setForceStorageEngine(std::shared_ptr<FStorageEngine> engine);

    void freeze();
    // Raises NSGenericException once frozen.
    void assertUnfrozen() const;

    std::string className() const override { return "QRVDatabaseConfig"; }

private:
    void assertUnfrozenLocked() const;

    mutable std::mutex mutex_;
    bool persistenceEnabled_ = false;
    bool isFrozen_ = false;
    uint64_t persistenceCacheSizeBytes_ = kQRVDatabaseDefaultCacheSizeBytes;
    ns::DispatchQueuePtr callbackQueue_;
    const std::string sessionIdentifier_;
    FAuthTokenProviderPtr authTokenProvider_;
    // Outside the freeze, so it needs no lock shared with the rest.
    ns::Guarded<std::shared_ptr<FStorageEngine>> forceStorageEngine_;
};

using QRVDatabaseConfigPtr = std::shared_ptr<QRVDatabaseConfig>;
