#include "messaging/QRVMessagingCheckinService.h"

#include "platform/runtime.h"

namespace {

bool objectResponds(const ns::ObjectPtr& object, std::string_view selector) {
    if (!object) return false;
    const ns::Class* cls = ns::Runtime::lookUpClass(object->className());
    return cls && cls->instanceRespondsTo(selector);
}

// class "QRVInstanceID" -> "instanceID" -> "cachedCheckinPreferences".
ns::ObjectPtr cachedPreferencesOfInstanceID() {
    ns::Class* cls = ns::Runtime::lookUpClass("QRVInstanceID");
    if (!cls || !cls->classRespondsTo("instanceID")) return nullptr;
    const ns::Value instance = ns::Runtime::sendClass("QRVInstanceID", "instanceID");
    if (!instance.isObject() || !objectResponds(instance.asObject(), "cachedCheckinPreferences")) return nullptr;
    const ns::Value preferences = ns::Runtime::send(*instance.asObject(), "cachedCheckinPreferences");
    return preferences.isObject() ? preferences.asObject() : nullptr;
}

}  // namespace

std::optional<std::string> QRVMessagingCheckinService_propertyNamed(const ns::ObjectPtr& object,
                                                                     std::string_view selector) {
    if (!objectResponds(object, selector)) return std::nullopt;
    const ns::Value answer = ns::Runtime::send(*object, selector);
    if (const std::string* text = answer.stringOrNull()) return *text;
    return std::nullopt;
}

bool QRVMessagingCheckinService_hasValidCheckinInfo(const ns::ObjectPtr& object) {
    if (!objectResponds(object, "hasValidCheckinInfo")) return false;
    return ns::Runtime::send(*object, "hasValidCheckinInfo").boolValue();
}

bool QRVMessagingCheckinService::tryToLoadPrefetchedCheckinPreferences() {
    ns::ObjectPtr preferences = cachedPreferencesOfInstanceID();
    if (!preferences || !QRVMessagingCheckinService_hasValidCheckinInfo(preferences)) return false;
    checkinPreferences_ = std::move(preferences);
    return true;
}

std::optional<std::string> QRVMessagingCheckinService::deviceAuthID() const {
    return QRVMessagingCheckinService_propertyNamed(checkinPreferences_, "deviceID");
}
std::optional<std::string> QRVMessagingCheckinService::secretToken() const {
    return QRVMessagingCheckinService_propertyNamed(checkinPreferences_, "secretToken");
}
std::optional<std::string> QRVMessagingCheckinService::versionInfo() const {
    return QRVMessagingCheckinService_propertyNamed(checkinPreferences_, "versionInfo");
}
std::optional<std::string> QRVMessagingCheckinService::digest() const {
    return QRVMessagingCheckinService_propertyNamed(checkinPreferences_, "digest");
}
bool QRVMessagingCheckinService::hasValidCheckinInfo() const {
    return QRVMessagingCheckinService_hasValidCheckinInfo(checkinPreferences_);
}
