#pragma once
// The process's sandbox: what a phone gives an installed app.
//
//   <root>/Bundle/                      the main bundle: Info.plist,
//                                       OndrixService-Info.plist, resources
//   <root>/Home/Documents
//   <root>/Home/Library/Application Support
//   <root>/Home/Library/Preferences     one plist per user-defaults domain
//   <root>/Home/Library/Caches
//   <root>/Home/tmp
//   <root>/Keychain/keychain.plist      outside the home, like the real one
//   <root>/Device.plist                 the device profile
//
// One sandbox is current per process. Unless one is installed, the first use
// opens the directory named by ALMAVEL_SANDBOX, or
// $XDG_DATA_HOME/almavel (~/.local/share/almavel) when that is unset.
//
// Services that cache per-sandbox state (standard user defaults, the
// keychain, the main bundle) keep it as an attachment of the sandbox, so
// installing another sandbox starts them afresh.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/value.h"

namespace ns {

struct DeviceProfile {
    std::string model = "iPhone";          // UIDevice.model
    std::string machine = "iPhone10,3";    // utsname machine; "x86_64" on a simulator
    std::string systemName = "iOS";
    std::string systemVersion = "16.4";
    std::string systemBuild = "20E247";
    std::string name = "Almavel iPhone";   // UIDevice.name
    std::string identifierForVendor;       // UUID text; made once and kept
    std::string localeIdentifier = "en_US";
    std::string timeZone = "UTC";

    bool isSimulator() const { return machine == "x86_64" || machine == "arm64" || machine == "i386"; }

    Dictionary toDictionary() const;
    // Each key that is missing or not a string takes `fallback`'s value (the
    // defaults' when none is given), and so does an identifierForVendor that
    // is not UUID text; their names go to `repaired` when it is given. Keys
    // it does not know are left out.
    static DeviceProfile fromDictionary(const Dictionary& dict);
    static DeviceProfile fromDictionary(const Dictionary& dict, const DeviceProfile& fallback,
                                        std::vector<std::string>* repaired = nullptr);
    friend bool operator==(const DeviceProfile&, const DeviceProfile&) = default;
};

class Sandbox : public std::enable_shared_from_this<Sandbox> {
public:
    // Opens (creating as needed) the sandbox rooted at `root`. Throws
    // ns::Exception (NSInternalInconsistencyException) naming the directory
    // when the layout can't be created.
    explicit Sandbox(std::string root);

    static std::shared_ptr<Sandbox> open(std::string root) { return std::make_shared<Sandbox>(std::move(root)); }

    // The current sandbox; opens the default one on first use.
    static std::shared_ptr<Sandbox> current();
    // Installs a sandbox as current (nullptr: back to the default on next use).
    // Returns the one that was current (nullptr if none had been opened).
    static std::shared_ptr<Sandbox> setCurrent(std::shared_ptr<Sandbox> sandbox);
    // ALMAVEL_SANDBOX, or the per-user default.
    static std::string defaultRoot();

    const std::string& rootPath() const { return root_; }
    std::string bundlePath() const { return root_ + "/Bundle"; }
    std::string homePath() const { return root_ + "/Home"; }
    std::string documentsPath() const { return homePath() + "/Documents"; }
    std::string libraryPath() const { return homePath() + "/Library"; }
    std::string applicationSupportPath() const { return libraryPath() + "/Application Support"; }
    std::string preferencesPath() const { return libraryPath() + "/Preferences"; }
    std::string cachesPath() const { return libraryPath() + "/Caches"; }
    std::string tmpPath() const { return homePath() + "/tmp"; }
    std::string keychainPath() const { return root_ + "/Keychain/keychain.plist"; }
    std::string deviceProfilePath() const { return root_ + "/Device.plist"; }

    // Read from Device.plist; an identifierForVendor is made and stored on
    // first read. A phone without a profile, or whose profile is damaged (set
    // aside beside it as Device.plist.damaged, "-2", ... and logged), starts
    // from the new-phone profile and stores it. A readable profile that lacks
    // keys, or holds one of the wrong type, takes the new-phone profile's
    // values for those (a fresh vendor id for its own), keeps the rest, logs
    // the keys once and is stored again whole.
    DeviceProfile deviceProfile() const;
    // The profile a phone starts with (its identifierForVendor is always
    // made afresh); DeviceProfile's defaults unless set. Set it before the
    // profile is first read: the program sets up a new phone as the stores'.
    void setNewPhoneProfile(DeviceProfile profile);
    // Replaces the profile and stores it in Device.plist. Returns false when
    // it could not be stored (the profile is still in force for this process).
    bool setDeviceProfile(DeviceProfile profile);

    // Per-sandbox state of other services: returns the attachment under
    // `key`, making it with `make` on first use. `make` runs without the
    // sandbox's lock held, so it may use the sandbox.
    std::shared_ptr<void> attachment(const std::string& key, const std::function<std::shared_ptr<void>()>& make);
    template <class T>
    std::shared_ptr<T> attachment(const std::string& key, const std::function<std::shared_ptr<T>()>& make) {
        return std::static_pointer_cast<T>(attachment(key, std::function<std::shared_ptr<void>()>(make)));
    }
    // Drops an attachment so the next use makes a fresh one.
    void removeAttachment(const std::string& key);
    void removeAllAttachments();

private:
    std::string root_;
    mutable std::mutex mutex_;
    mutable std::shared_ptr<DeviceProfile> profile_;  // cached after first read
    DeviceProfile newPhoneProfile_;
    std::map<std::string, std::shared_ptr<void>> attachments_;
};

}  // namespace ns
