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
#include <optional>
#include <string>

#include "platform/value.h"

class QRVAAEU {
public:
    // Installed from the app store: never on a simulator; YES with an
    // "SC_Info" file or folder in the main bundle; otherwise only for an
    // encrypted executable without a sandbox receipt and without an embedded
    // provisioning profile.
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
// it. The reporter sits above this folder, so it hands its answer down
// through the provider; without one the app counts as not active.
bool QRVAIsAppActive();
void QRVASetAppActiveProvider(std::function<bool()> provider);
