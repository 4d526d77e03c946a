#include "QRVAuthKeychain.h"

#include "auth/QRVAuth.h"
#include "platform/json.h"

namespace {

ns::Dictionary itemQuery(const std::string& appName) {
    return {{ns::kSecClass, ns::kSecClassGenericPassword},
            {ns::kSecAttrService, kQRVAuthKeychainService},
            {ns::kSecAttrAccount, appName}};
}

void explain(const std::shared_ptr<ns::Keychain>& keychain, ns::OSStatus status, std::string* detail) {
    if (!detail || status == ns::errSecSuccess) return;
    *detail = keychain->lastErrorMessage();
    if (detail->empty()) *detail = ns::SecCopyErrorMessageString(status);
}

}  // namespace

ns::OSStatus QRVAuthKeychain::save(const std::string& appName, const QRVAuthSavedUser& user, std::string* detail) {
    ns::Dictionary object{{"uid", user.uid},
                          {"refreshToken", user.refreshToken},
                          {"idToken", user.idToken},
                          {"expirationDate", user.expirationDate},
                          {"appID", user.appID}};
    if (user.email) object["email"] = *user.email;
    std::string text = ns::json::serialize(ns::Value(object));
    ns::Data data(text.begin(), text.end());

    auto keychain = ns::Keychain::shared();
    ns::OSStatus status = keychain->update(itemQuery(appName), {{ns::kSecValueData, data}});
    if (status == ns::errSecItemNotFound) {
        ns::Dictionary attributes = itemQuery(appName);
        attributes[ns::kSecAttrAccessible] = ns::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
        attributes[ns::kSecValueData] = std::move(data);
        status = keychain->add(attributes);
    }
    explain(keychain, status, detail);
    return status;
}

std::optional<QRVAuthSavedUser> QRVAuthKeychain::load(const std::string& appName, ns::OSStatus* status,
                                                      std::string* detail) {
    auto keychain = ns::Keychain::shared();
    ns::Dictionary query = itemQuery(appName);
    query[ns::kSecReturnData] = true;
    query[ns::kSecMatchLimit] = ns::kSecMatchLimitOne;
    ns::Value result;
    *status = keychain->copyMatching(query, &result);
    if (*status != ns::errSecSuccess) {
        explain(keychain, *status, detail);
        return std::nullopt;
    }
    auto corrupt = [&](const std::string& why) -> std::optional<QRVAuthSavedUser> {
        *status = ns::errSecDecode;
        if (detail) *detail = why;
        return std::nullopt;
    };
    if (!result.isData()) return corrupt("the item holds no data");
    ns::Value object = ns::json::parse(result.asData());
    if (!object.isDictionary()) return corrupt("the item is not a JSON object");
    QRVAuthSavedUser user;
    const ns::Value& uid = object["uid"];
    const ns::Value& refreshToken = object["refreshToken"];
    if (!uid.isString() || uid.asString().empty() || !refreshToken.isString() || refreshToken.asString().empty()) {
        return corrupt("the item has no uid or refresh token");
    }
    user.uid = uid.asString();
    user.refreshToken = refreshToken.asString();
    if (object["email"].isString()) user.email = object["email"].asString();
    if (object["idToken"].isString()) user.idToken = object["idToken"].asString();
    user.expirationDate = object["expirationDate"].doubleValue(0);
    if (object["appID"].isString()) user.appID = object["appID"].asString();
    return user;
}

ns::OSStatus QRVAuthKeychain::remove(const std::string& appName, std::string* detail) {
    auto keychain = ns::Keychain::shared();
    ns::OSStatus status = keychain->remove(itemQuery(appName));
    if (status == ns::errSecItemNotFound) return ns::errSecSuccess;
    explain(keychain, status, detail);
    return status;
}
