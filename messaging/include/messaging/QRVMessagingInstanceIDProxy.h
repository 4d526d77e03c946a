#pragma once
// Messaging reaches instance identity without linking to it: the proxy finds
// class "QRVInstanceID" by name, asks it for its shared instance once, and
// sends every operation by selector name. When instance identity is not in
// the process (or does not answer a selector) every operation does nothing,
// answers nothing and calls no handler.
//
// Used on the main thread. Instance identity calls the token handlers on the
// main queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

class QRVMessagingInstanceIDProxy {
public:
    using TokenHandler = std::function<void(std::optional<std::string> token, ns::ErrorRef error)>;
    using DeleteHandler = std::function<void(ns::ErrorRef error)>;

    // The process-wide proxy, made once. It asks class "QRVInstanceID" for
    // its shared instance at each use, which is the same object for the
    // life of a process, and the current one after a test stands in a new
    // process with instance identity's reset.
    static QRVMessagingInstanceIDProxy& instanceIDProxy();

    // Whether instance identity answers.
    bool hasInstanceID() const { return instanceID() != nullptr; }

    void setAPNSToken(const ns::Data& token, int64_t type);
    std::optional<std::string> token();
    void tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                   const ns::Dictionary& options, TokenHandler handler);
    void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         DeleteHandler handler);

    // A proxy over `instanceID` (or over nothing), for tests.
    explicit QRVMessagingInstanceIDProxy(ns::ObjectPtr instanceID)
        : instanceID_(std::move(instanceID)), fixed_(true) {}

private:
    QRVMessagingInstanceIDProxy() = default;
    ns::ObjectPtr instanceID() const;
    // The instance when it answers `selector`.
    ns::ObjectPtr responding(std::string_view selector) const;
    ns::ObjectPtr instanceID_;
    bool fixed_ = false;
};
