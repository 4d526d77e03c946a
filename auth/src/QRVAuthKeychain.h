#pragma once
// The signed-in user's copy in the keychain: one generic password per app
// name, holding a JSON object with the user and its tokens.

#include <optional>
#include <string>

#include "platform/keychain.h"

struct QRVAuthSavedUser {
    std::string uid;
    std::optional<std::string> email;
    std::string refreshToken;
    std::string idToken;
    double expirationDate = 0;  // seconds since 1970
    std::string appID;          // of the app that signed in
};

struct QRVAuthKeychain {
    // Replaces the app's item (or adds it). `detail` gets the keychain's own
    // explanation when it fails.
    static ns::OSStatus save(const std::string& appName, const QRVAuthSavedUser& user, std::string* detail);
    // nullopt with errSecItemNotFound when there is no item; with
    // errSecDecode (and `detail`) when the item is not a saved user.
    static std::optional<QRVAuthSavedUser> load(const std::string& appName, ns::OSStatus* status, std::string* detail);
    // Removing an item that is not there succeeds.
    static ns::OSStatus remove(const std::string& appName, std::string* detail);
};
