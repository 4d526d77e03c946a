#include "messaging/QRVMessagingInstanceIDProxy.h"

#include "platform/block_object.h"
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
    static QRVMessagingInstanceIDProxy* proxy = new QRVMessagingInstanceIDProxy(lookUpInstanceID());
    return *proxy;
}

bool QRVMessagingInstanceIDProxy::responds(std::string_view selector) const {
    if (!instanceID_) return false;
    const ns::Class* cls = ns::Runtime::lookUpClass(instanceID_->className());
    return cls && cls->instanceRespondsTo(selector);
}

void QRVMessagingInstanceIDProxy::setAPNSToken(const ns::Data& token, int64_t type) {
    if (!responds("setAPNSToken:type:")) return;
    ns::Runtime::send(*instanceID_, "setAPNSToken:type:", {ns::Value(token), ns::Value(type)});
}

std::optional<std::string> QRVMessagingInstanceIDProxy::token() {
    if (!responds("token")) return std::nullopt;
    const ns::Value token = ns::Runtime::send(*instanceID_, "token");
    if (const std::string* text = token.stringOrNull()) return *text;
    return std::nullopt;
}

void QRVMessagingInstanceIDProxy::tokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                            const std::string& scope, const ns::Dictionary& options,
                                                            TokenHandler handler) {
    if (!responds("tokenWithAuthorizedEntity:scope:options:handler:")) return;
    auto block = ns::BlockObject::makeVoid([handler = std::move(handler)](const std::vector<ns::Value>& args) {
        if (!handler) return;
        std::optional<std::string> token;
        if (!args.empty() && args[0].isString()) token = args[0].asString();
        handler(token, args.size() > 1 ? errorIn(args[1]) : nullptr);
    });
    ns::Runtime::send(*instanceID_, "tokenWithAuthorizedEntity:scope:options:handler:",
                      {ns::Value(authorizedEntity), ns::Value(scope), ns::Value(options), ns::Value(block)});
}

void QRVMessagingInstanceIDProxy::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                  const std::string& scope, DeleteHandler handler) {
    if (!responds("deleteTokenWithAuthorizedEntity:scope:handler:")) return;
    auto block = ns::BlockObject::makeVoid([handler = std::move(handler)](const std::vector<ns::Value>& args) {
        if (handler) handler(args.empty() ? nullptr : errorIn(args[0]));
    });
    ns::Runtime::send(*instanceID_, "deleteTokenWithAuthorizedEntity:scope:handler:",
                      {ns::Value(authorizedEntity), ns::Value(scope), ns::Value(block)});
}
