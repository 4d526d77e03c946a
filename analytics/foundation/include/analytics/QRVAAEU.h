#pragma once
// What the analytics client asks of the platform it runs on: how the app was
// installed and built (`QRVAAEU`), whether the app is in the foreground, the
// advertising identifier (`QRVAASIdentifierManager`) and small keychain
// items (`QRVAKeychainWrapper`).
//
// Any thread may call these. Answers that cannot change while the app runs
// (the device model, whether the executable is encrypted) are read once per
// sandbox, as a phone reads them once per process.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class QRVAAEU {
public:
    // Installed from the app store: never on a simulator; YES with an
    // "SC_Info" folder in the main bundle; otherwise only for an encrypted
    // executable without a sandbox receipt and without an embedded
    // provisioning profile. The core's check (QRVAppEnvironmentUtil), as are
    // the next two.
    static bool isFAS();
    // The main bundle's app-store receipt is a sandbox receipt.
    static bool isASRS();
    // A simulator: the device model is "x86_64" or "i386".
    static bool isNOD();
    // The machine name uname gives (the device profile's); nullopt when
    // there is none.
    static std::optional<std::string> deviceModel();
    // The device's system version ("16.4").
    static std::string systemVersion();
    // Running as an app extension: the main bundle's path ends in ".appex".
    static bool isAEX();
    // The application object, found by class name at run time; null inside
    // an app extension or when no class "UIApplication" answers
    // "sharedApplication".
    static ns::Value sharedApplication();
};

// Whether the app is in the foreground, as the screen-view reporter knows
// it. The reporter sits above this folder, so the facade hands its answer
// down among its hooks (QRVAFacadeHooks::isAppActive); without them the app
// counts as not active.
bool QRVAIsAppActive();

// The platform's advertising-identifier manager, found by class name
// ("ASIdentifierManager") at run time. Without it (no such class, or one
// that does not answer "sharedManager", "isAdvertisingTrackingEnabled" and
// "advertisingIdentifier") the wrapper still exists, holds nothing, and the
// absence is logged (5000) once.
class QRVAASIdentifierManager {
public:
    static std::shared_ptr<QRVAASIdentifierManager> sharedInstance();
    // `manager`: an object of a registered class answering the two instance
    // selectors above, or null.
    explicit QRVAASIdentifierManager(ns::ObjectPtr manager);

    // The advertising identifier as a UUID text; nullopt without a manager.
    std::optional<std::string> advertisingIdentifierString() const;
    // Whether the tracking flag can be read at all (a manager is held).
    bool hasLimitedAdTracking() const;
    // The user limited ad tracking; false without a manager.
    bool limitedAdTracking() const;

private:
    ns::ObjectPtr manager_;
};

// Small markers kept in the keychain as generic passwords: service = the
// app ID, account = the identifier, generic attribute = the identifier's
// bytes, value = the text's UTF-8 bytes, readable only on this device.
class QRVAKeychainWrapper {
public:
    // The query naming one item; nullopt when the identifier or app ID is empty.
    static std::optional<ns::Dictionary> searchDirectoryForIdentifier(const std::string& identifier,
                                                                      const std::string& appID);
    static std::optional<ns::Data> keychainDataWithIdentifier(const std::string& identifier, const std::string& appID);
    // The stored text; nullopt when absent, empty or not UTF-8.
    static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                  const std::string& appID);
    // Adds the item or updates the one there; false for an empty value, an
    // empty name or a keychain failure.
    static bool upsertKeychainValue(const std::string& value, const std::string& identifier, const std::string& appID);
    static void deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID);
};
