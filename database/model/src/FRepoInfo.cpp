#include "database/model/FRepoInfo.h"

#include "platform/format.h"

FRepoInfo::FRepoInfo(std::string host, bool secure, std::string repoNamespace)
    : host_(std::move(host)), secure_(secure), namespace_(std::move(repoNamespace)) {
    auto dot = host_.find('.');
    domain_ = dot == std::string::npos ? std::string() : host_.substr(dot + 1);
}

std::string FRepoInfo::description() const { return ns::format("http%@://%@", secure_ ? "s" : "", host_); }

bool FRepoInfo::isEqual(const FRepoInfo& other) const {
    return host_ == other.host_ && secure_ == other.secure_ && namespace_ == other.namespace_;
}
