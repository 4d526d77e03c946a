#pragma once
// Facts about how the program was built and installed, answered from the
// device profile and the main bundle. Registered by name: other parts reach
// these answers with class selectors, without linking against the core;
// the analytics client's platform probes (QRVAAEU) call them directly.
// Any thread may call these.

#include <functional>
#include <string>

class QRVAppEnvironmentUtil {
public:
    // The device model is "x86_64" or "i386".
    static bool isSimulator();
    // Never on a simulator; with an "SC_Info" folder in the bundle; otherwise
    // only an encrypted main executable without a sandbox receipt and
    // without an embedded provisioning profile.
    static bool isFromAppStore();
    // The same, asking `executableIsEncrypted` (only when the bundle alone
    // does not decide) instead of reading the main executable: for a caller
    // that keeps that answer.
    static bool isFromAppStore(const std::function<bool()>& executableIsEncrypted);
    // The last path component of the App Store receipt URL is "sandboxReceipt".
    static bool isAppStoreReceiptSandbox();

    // Whether a Mach-O file carries an encryption-info load command with a
    // non-zero crypt id (32- or 64-bit, either byte order). Any other file
    // answers false.
    static bool executableHasEncryptionInfo(const std::string& path);
};
