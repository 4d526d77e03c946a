#include "messaging/QRVMessagingInstanceIDProxy.h"

#include "platform/block_object.h"
#include "platform/dispatch.h"
#include "platform/runtime.h"

namespace {

// Instance identity's shared instance, when it is in the process.
ns::ObjectPtr lookUpInstanceID() {
    ns::Class* cls = ns::Runtime::lookUpClass("QRVInstanceID");
    if (!cls || !cls->classRespondsTo("instanceID")) return nullptr;
    const ns::Value instance = ns::Runtime::sendClass("QRVInstanceID", "instanceID");
    return instance.isObject() ? instance.asObject() : nullptr;
}

ns::ErrorRef errorIn(const ns::Value& value) {
    return value.asObjectOf<ns::Error>();
}

}  // namespace

QRVMessagingInstanceIDProxy& QRVMessagingInstanceIDProxy::instanceIDProxy() {
    static QRVMessagingInstanceIDProxy* proxy = new QRVMessagingInstanceIDProxy();
    return *proxy;
}

ns::ObjectPtr QRVMessagingInstanceIDProxy::instanceID() const { return fixed_ ? instanceID_ : lookUpInstanceID(); }

ns::ObjectPtr QRVMessagingInstanceIDProxy::responding(std::string_view selector) const {
    ns::ObjectPtr instance = instanceID();
    if (!instance) return nullptr;
    const ns::Class* cls = ns::Runtime::lookUpClass(instance->className());
    return cls && cls->instanceRespondsTo(selector) ? instance : nullptr;
}

void QRVMessagingInstanceIDProxy::setAPNSToken(const ns::Data& token, int64_t type) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto instance = responding("setAPNSToken:type:");
    if (!instance) return;
    ns::Runtime::send(*instance, "setAPNSToken:type:", {ns::Value(token), ns::Value(type)});
}

std::optional<std::string> QRVMessagingInstanceIDProxy::token() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto instance = responding("token");
    if (!instance) return std::nullopt;
    const ns::Value token = ns::Runtime::send(*instance, "token");
    if (const std::string* text = token.stringOrNull()) return *text;
    return std::nullopt;
}

void QRVMessagingInstanceIDProxy::tokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                            const std::string& scope, const ns::Dictionary& options,
                                                            TokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto instance = responding("tokenWithAuthorizedEntity:scope:options:handler:");
    if (!instance) return;
    auto block = ns::BlockObject::makeVoid([handler = std::move(handler)](const std::vector<ns::Value>& args) {
        if (!handler) return;
        std::optional<std::string> token;
        if (!args.empty() && args[0].isString()) token = args[0].asString();
        handler(token, args.size() > 1 ? errorIn(args[1]) : nullptr);
    });
    ns::Runtime::send(*instance, "tokenWithAuthorizedEntity:scope:options:handler:",
                      {ns::Value(authorizedEntity), ns::Value(scope), ns::Value(options), ns::Value(block)});
}

void QRVMessagingInstanceIDProxy::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                  const std::string& scope, DeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto instance = responding("deleteTokenWithAuthorizedEntity:scope:handler:");
    if (!instance) return;
    auto block = ns::BlockObject::makeVoid([handler = std::move(handler)](const std::vector<ns::Value>& args) {
        if (handler) handler(args.empty() ? nullptr : errorIn(args[0]));
    });
    ns::Runtime::send(*instance, "deleteTokenWithAuthorizedEntity:scope:handler:",
                      {ns::Value(authorizedEntity), ns::Value(scope), ns::Value(block)});
}
