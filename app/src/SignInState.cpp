#include "app/SignInState.h"

#include "app/AppConsole.h"
#include "app/SavedPassword.h"
#include "app/UserDefaultsKeys.h"
#include "auth/QRVAuth.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace almavel {

namespace {

std::string describe(const ns::ErrorRef& error) { return error ? error->localizedDescription() : std::string(); }

}  // namespace

// The object reports a change its journal did not take only through
// lastWriteError(), which stays set after later changes succeed: a new error
// object is this change's failure, the same one an earlier change's.
ns::ErrorRef storeDefault(const ns::Value& value, const char* key) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto defaults = ns::UserDefaults::standard();
    const ns::ErrorRef before = defaults->lastWriteError();
    defaults->setObject(value, key);
    ns::ErrorRef after = defaults->lastWriteError();
    return after && after != before ? after : nullptr;
}

namespace {

// A launch that signs in by itself stores what it read: a phone whose
// stores refuse writes still keeps that sign-in, so it is not written again.
ns::ErrorRef keepDefault(const std::string& value, const char* key) {
    const ns::Dictionary stored = ns::UserDefaults::standard()->persistentDomain();
    const auto it = stored.find(key);
    if (it != stored.end() && it->second.isString() && it->second.asString() == value) return nullptr;
    return storeDefault(ns::Value(value), key);
}

}  // namespace

bool keepSignIn(const std::string& email, const std::string& password) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto error = keepDefault(email, kUsuarioKey)) {
        AppConsole::write("Unable to keep the sign-in: " + describe(error));
        return false;
    }
    // SavedPassword writes its own line.
    if (!SavedPassword::save(email, password)) return false;
    if (auto error = keepDefault("1", kLoggedKey)) {
        AppConsole::write("Unable to keep the sign-in: " + describe(error));
        return false;
    }
    return true;
}

std::optional<std::string> endSignIn() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!SavedPassword::forget()) return kPasswordKeptMessage;
    if (auto error = storeDefault(ns::Value("0"), kLoggedKey)) {
        AppConsole::write("Unable to keep the sign-out: " + describe(error));
        return kSignOutNotStoredMessage;
    }
    ns::ErrorRef error;
    if (!QRVAuth::auth()->signOut(&error)) {
        AppConsole::write("Error signing out: " + describe(error));
        return kSessionKeptMessage;
    }
    return std::nullopt;
}

bool signedInWithKeptSession(const ns::ErrorRef& error, const std::string& email) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!error || error->domain() != kQRVAuthErrorDomain || error->code() != QRVAuthErrorCodeKeychainError) return false;
    auto user = QRVAuth::auth()->currentUser();
    return user && user->email() == email;
}

}  // namespace almavel
