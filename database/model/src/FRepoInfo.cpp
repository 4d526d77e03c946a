#include "database/model/FRepoInfo.h"

#include "platform/format.h"
#include "platform/user_defaults.h"

FRepoInfo::FRepoInfo(std::string host, bool secure, std::string repoNamespace)
    : host_(std::move(host)), secure_(secure), namespace_(std::move(repoNamespace)) {
    auto dot = host_.find('.');
    domain_ = dot == std::string::npos ? std::string() : host_.substr(dot + 1);
    // A redirect learned in an earlier run is used from the start.
    auto cached = ns::UserDefaults::standard()->stringForKey(cacheKey());
    internalHost_ = cached ? *cached : host_;
}

std::string FRepoInfo::cacheKey() const { return ns::format(kFRepoInfoHostCacheKeyFormat, host_); }

std::string FRepoInfo::internalHost() const {
    std::lock_guard lock(internalHostMutex_);
    return internalHost_;
}

void FRepoInfo::setInternalHost(const std::string& newHost) {
    {
        std::lock_guard lock(internalHostMutex_);
        if (internalHost_ == newHost) return;
        internalHost_ = newHost;
    }
    auto defaults = ns::UserDefaults::standard();
    defaults->setString(newHost, cacheKey());
    defaults->synchronize();
}

void FRepoInfo::clearInternalHostCache() {
    {
        std::lock_guard lock(internalHostMutex_);
        internalHost_ = host_;
    }
    auto defaults = ns::UserDefaults::standard();
    defaults->removeObjectForKey(cacheKey());
    defaults->synchronize();
}

bool FRepoInfo::isDemoHost() const { return domain_ == kQRVDemoDatabaseHostDomain; }

bool FRepoInfo::isCustomHost() const {
    return domain_ != kQRVDemoDatabaseHostDomain && domain_ != kQRVDefaultDatabaseHostDomain;
}

std::string FRepoInfo::connectionURLWithLastSessionID(const std::optional<std::string>& lastSessionID) const {
    const char* scheme = secure_ ? "wss" : "ws";
    std::string url = ns::format("%@://%@/.ws?%@=%@&ns=%@", scheme, internalHost(), "v", "5", namespace_);
    if (lastSessionID) url += ns::format("&ls=%@", *lastSessionID);
    return url;
}

std::string FRepoInfo::description() const { return ns::format("http%@://%@", secure_ ? "s" : "", host_); }

bool FRepoInfo::isEqual(const FRepoInfo& other) const {
    return host_ == other.host_ && secure_ == other.secure_ && namespace_ == other.namespace_;
}
