#include "app/SavedPassword.h"

#include "app/AppConsole.h"
#include "app/UserDefaultsKeys.h"
#include "platform/dispatch.h"
#include "platform/keychain.h"
#include "platform/user_defaults.h"

namespace almavel {

namespace {

ns::Dictionary itemQuery() {
    return {{ns::kSecClass, ns::kSecClassGenericPassword}, {ns::kSecAttrService, kSavedPasswordService}};
}

}  // namespace

std::optional<std::string> SavedPassword::passwordForUser(const std::string& email, bool* unreadable) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (unreadable) *unreadable = false;
    auto query = itemQuery();
    query[ns::kSecAttrAccount] = email;
    query[ns::kSecReturnData] = true;
    query[ns::kSecMatchLimit] = ns::kSecMatchLimitOne;
    ns::Value result;
    auto keychain = ns::Keychain::shared();
    const ns::OSStatus status = keychain->copyMatching(query, &result);
    if (status != ns::errSecSuccess && status != ns::errSecItemNotFound) {
        if (unreadable) *unreadable = true;
        const std::string why = keychain->lastErrorMessage();
        AppConsole::write("Unable to read the saved password: " +
                          (why.empty() ? ns::SecCopyErrorMessageString(status) : why));
        return std::nullopt;
    }
    if (status != ns::errSecSuccess || !result.isData()) return std::nullopt;
    const auto& bytes = result.asData();
    return std::string(bytes.begin(), bytes.end());
}

bool SavedPassword::save(const std::string& email, const std::string& password) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // Every sign-in of the same clerk saves the same pair: writing it again
    // would only give a failing keychain the chance to lose the one kept.
    if (passwordForUser(email) == password) return true;
    auto keychain = ns::Keychain::shared();
    // One saved sign-in: the last one.
    keychain->remove(itemQuery());
    auto item = itemQuery();
    item[ns::kSecAttrAccount] = email;
    item[ns::kSecAttrAccessible] = ns::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    item[ns::kSecValueData] = ns::Data(password.begin(), password.end());
    const ns::OSStatus status = keychain->add(item);
    if (status != ns::errSecSuccess) {
        AppConsole::write("Unable to keep the password: " + ns::SecCopyErrorMessageString(status));
        return false;
    }
    return true;
}

bool SavedPassword::forget() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto keychain = ns::Keychain::shared();
    const ns::OSStatus status = keychain->remove(itemQuery());
    if (status == ns::errSecSuccess || status == ns::errSecItemNotFound) return true;
    const std::string why = keychain->lastErrorMessage();
    AppConsole::write("Unable to forget the password: " + (why.empty() ? ns::SecCopyErrorMessageString(status) : why));
    return false;
}

void SavedPassword::migrateFromUserDefaults() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto defaults = ns::UserDefaults::standard();
    const ns::Value clave = defaults->objectForKey(kClaveKey);
    if (clave.isNull()) return;
    auto usuario = defaults->stringForKey(kUsuarioKey);
    // The plain copy goes only once the keychain holds the password, so a
    // failed write loses nothing.
    if (clave.isString() && usuario && !save(*usuario, clave.asString())) return;
    defaults->removeObjectForKey(kClaveKey);
}

}  // namespace almavel
