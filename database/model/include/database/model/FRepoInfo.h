#pragma once
// The location of a database: host (with port when there is one), TLS flag
// and namespace, as the URL parser makes it; the host actually connected to,
// which a server redirect changes and which is remembered in the standard
// user defaults so that the next start goes there at once; and the
// web-socket URL built from it.

#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

// The deployment's database host domain, and the one of its demo databases.
inline constexpr const char* kQRVDefaultDatabaseHostDomain = "quorvaneio.com";
inline constexpr const char* kQRVDemoDatabaseHostDomain = "quorvaneio-demo.com";

// The user-defaults key of a location's redirected host, formed with its host.
inline constexpr const char* kFRepoInfoHostCacheKeyFormat = "quorvane:host:%@";

class FRepoInfo : public ns::Object {
public:
    // initWithHost:isSecure:withNamespace: (the internal host starts as the
    // host remembered for it, else the host itself).
    FRepoInfo(std::string host, bool secure, std::string repoNamespace);

    const std::string& host() const { return host_; }
    bool secure() const { return secure_; }
    // The database's name (the first label of the host).
    const std::string& getNamespace() const { return namespace_; }
    // The host after its first ".".
    const std::string& domain() const { return domain_; }
    void setDomain(std::string domain) { domain_ = std::move(domain); }

    // The host actually connected to.
    std::string internalHost() const;
    // A host different from the current one is kept and remembered for the
    // next start; an equal one changes nothing.
    void setInternalHost(const std::string& newHost);
    // Back to the configured host; the remembered one is forgotten.
    void clearInternalHostCache();

    bool isDemoHost() const;
    // Neither the demo domain nor the default database domain.
    bool isCustomHost() const;

    // "ws[s]://<internal host>/.ws?v=5&ns=<namespace>[&ls=<session>]".
    std::string connectionURL() const { return connectionURLWithLastSessionID(std::nullopt); }
    std::string connectionURLWithLastSessionID(const std::optional<std::string>& lastSessionID) const;

    // "http%@://%@": "https://host" or "http://host".
    std::string description() const override;
    std::string className() const override { return "FRepoInfo"; }

    bool isEqual(const FRepoInfo& other) const;

private:
    std::string cacheKey() const;

    std::string host_;
    bool secure_;
    std::string namespace_;
    std::string domain_;
    // Changed from the connection's queue, read from anywhere.
    mutable std::mutex internalHostMutex_;
    std::string internalHost_;
};
