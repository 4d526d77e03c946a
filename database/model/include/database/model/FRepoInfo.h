#pragma once
// The location of a database as the URL parser makes it: host (with port when
// there is one), TLS flag and namespace. The connection layer adds the
// redirected host and the web-socket URL on top of this record.

#include <string>

#include "platform/value.h"

class FRepoInfo : public ns::Object {
public:
    // initWithHost:isSecure:withNamespace:
    FRepoInfo(std::string host, bool secure, std::string repoNamespace);

    const std::string& host() const { return host_; }
    bool secure() const { return secure_; }
    // The database's name (the first label of the host).
    const std::string& getNamespace() const { return namespace_; }
    // The host after its first ".".
    const std::string& domain() const { return domain_; }
    void setDomain(std::string domain) { domain_ = std::move(domain); }

    // "http%@://%@": "https://host" or "http://host".
    std::string description() const override;
    std::string className() const override { return "FRepoInfo"; }

    bool isEqual(const FRepoInfo& other) const;

private:
    std::string host_;
    bool secure_;
    std::string namespace_;
    std::string domain_;
};
