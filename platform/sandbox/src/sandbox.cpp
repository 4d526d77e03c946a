#include "platform/sandbox.h"

#include "platform/atomic_file.h"

#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/error.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/plist.h"
#include "platform/system_language.h"
#include "platform/system_log.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace ns {

namespace {


void logLine(const std::string& line) {
    SystemLog::write(SystemLog::kError, line);
}

std::mutex& currentMutex() {
    static std::mutex m;
    return m;
}
// Never destroyed: pooled work still running when main returns reads the
// current sandbox (a file error's text is in the profile's language), and
// exit destroying it under that work would leave them a freed sandbox. What
// its services keep in memory reaches disk by explicit steps instead (user
// defaults flush on resignation, termination and exit; the keychain writes
// at once).
std::shared_ptr<Sandbox>& currentSlot() {
    static NoDestructor<std::shared_ptr<Sandbox>> s;
    return *s;
}

// The profile's keys, in the order they are written; each holds a string.
struct ProfileKey {
    const char* name;
    std::string DeviceProfile::*field;
};
constexpr ProfileKey kProfileKeys[] = {
    {"model", &DeviceProfile::model},
    {"machine", &DeviceProfile::machine},
    {"systemName", &DeviceProfile::systemName},
    {"systemVersion", &DeviceProfile::systemVersion},
    {"systemBuild", &DeviceProfile::systemBuild},
    {"name", &DeviceProfile::name},
    {"identifierForVendor", &DeviceProfile::identifierForVendor},
    {"localeIdentifier", &DeviceProfile::localeIdentifier},
    {"timeZone", &DeviceProfile::timeZone},
};

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

// The values and codecs below this layer describe errors in the profile's
// language and read and write property-list files; the answers are the
// sandbox's, handed down before main runs. Every path a program reads comes
// from its sandbox, so this unit is linked into every program that asks.
// The profile a sandbox of this thread is reading or storing, with its lock
// held: a file error met meanwhile is described in that profile's language,
// not by asking the sandbox again, which would wait on the lock its own
// thread holds.
thread_local const DeviceProfile* profileInHand = nullptr;

class HoldingProfile {
public:
    explicit HoldingProfile(const DeviceProfile& profile) : previous_(profileInHand) { profileInHand = &profile; }
    ~HoldingProfile() { profileInHand = previous_; }
    HoldingProfile(const HoldingProfile&) = delete;
    HoldingProfile& operator=(const HoldingProfile&) = delete;

private:
    const DeviceProfile* previous_;
};

[[maybe_unused]] const bool kInstalledBelow = [] {
    setSystemLocaleSource([] {
        return profileInHand ? profileInHand->localeIdentifier : Sandbox::current()->deviceProfile().localeIdentifier;
    });
    WholeFileStore files;
    files.read = [](const std::string& path, ErrorRef* error) { return FileManager().readData(path, error); };
    files.write = [](const std::string& path, const Data& data, ErrorRef* error, int permissions) {
        FileWriteOptions options;
        options.permissions = permissions;
        return FileManager().writeData(path, data, error, options);
    };
    installWholeFileStore(files);
    return true;
}();

}  // namespace

Dictionary DeviceProfile::toDictionary() const {
    Dictionary d;
    for (const ProfileKey& key : kProfileKeys) d.emplace(key.name, this->*key.field);
    return d;
}

DeviceProfile DeviceProfile::fromDictionary(const Dictionary& d) {
    return fromDictionary(d, DeviceProfile{});
}

DeviceProfile DeviceProfile::fromDictionary(const Dictionary& d, const DeviceProfile& fallback,
                                            std::vector<std::string>* repaired) {
    DeviceProfile p = fallback;
    for (const ProfileKey& key : kProfileKeys) {
        auto it = d.find(key.name);
        bool usable = it != d.end() && it->second.isString();
        // A vendor id that is no UUID was not made here: it identifies
        // nothing, and the phone gets a new one.
        if (usable && key.field == &DeviceProfile::identifierForVendor) usable = isUUIDString(it->second.asString());
        if (usable) {
            p.*key.field = it->second.asString();
        } else if (repaired) {
            repaired->push_back(key.name);
        }
    }
    return p;
}

Sandbox::Sandbox(std::string root) : root_(std::move(root)) {
    if (root_.empty()) Exception::raise(kInvalidArgumentException, "A sandbox needs a root directory.");
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    std::error_code ec;
    root_ = std::filesystem::absolute(root_, ec).lexically_normal().string();
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    for (const std::string& dir : {bundlePath(), documentsPath(), applicationSupportPath(), preferencesPath(),
                                   cachesPath(), tmpPath(), root_ + "/Keychain"}) {
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            Exception::raise(kInternalInconsistencyException,
                             format("Cannot create the sandbox directory %s: %s", dir.c_str(), ec.message().c_str()));
        }
    }
    // The keychain directory is private to the user, as the file inside is.
    std::filesystem::permissions(root_ + "/Keychain", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    // Writes an earlier process did not finish (it was ended mid-write) left
    // their temporary files; none of them is ever finished now.
    removeAbandonedTemporaries(root_, true);
}

std::string Sandbox::defaultRoot() {
    if (const char* env = std::getenv("ALMAVEL_SANDBOX"); env && *env) return env;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/almavel";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share/almavel";
    return std::filesystem::temp_directory_path().string() + "/almavel";
}

std::shared_ptr<Sandbox> Sandbox::current() {
    std::lock_guard lock(currentMutex());
    auto& slot = currentSlot();
    if (!slot) slot = std::make_shared<Sandbox>(defaultRoot());
    return slot;
}

std::shared_ptr<Sandbox> Sandbox::setCurrent(std::shared_ptr<Sandbox> sandbox) {
    std::lock_guard lock(currentMutex());
    auto previous = std::move(currentSlot());
    currentSlot() = std::move(sandbox);
    return previous;
}

DeviceProfile Sandbox::deviceProfile() const {
    std::lock_guard lock(mutex_);
    if (profile_) return *profile_;
    const std::string path = deviceProfilePath();
    DeviceProfile profile = newPhoneProfile_;
    profile.identifierForVendor.clear();
    const HoldingProfile holding(profile);
    bool store = false;
    bool unreadable = false;
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    ErrorRef error;
    const Value v = exists ? plist::readFile(path, &error) : Value();
    if (ec || plist::readFailedBeforeParsing(error)) {
        // A profile that cannot be read now is not damaged: it is kept for a
        // launch that can read it, and this one goes on with a new phone's
        // values, storing nothing over it.
        unreadable = true;
        logLine(format("Sandbox: cannot read the device profile %s (%s); it is kept, and this launch uses a new "
                       "phone's values.",
                       path.c_str(), ec ? ec.message().c_str() : error->localizedDescription().c_str()));
    } else if (exists) {
        if (const Dictionary* d = v.dictionaryOrNull()) {
            // Damage that leaves the file readable (a key's name or type
            // changed) would otherwise give the defaults' language at every
            // launch: the keys it cost take the new phone's values, and the
            // profile is stored whole so that the next launch finds it so.
            std::vector<std::string> repaired;
            profile = DeviceProfile::fromDictionary(*d, profile, &repaired);
            if (!repaired.empty()) {
                store = true;
                const bool newVendorId = profile.identifierForVendor.empty();
                logLine(format("Sandbox: device profile %s had no usable %s; those take the new phone's values%s "
                               "and the profile is stored whole.",
                               path.c_str(), joined(repaired).c_str(), newVendorId ? " (a new vendor id)" : ""));
            }
        } else {
            // A damaged profile left in place would give every launch a new
            // vendor id that is never stored, and the defaults' language: it
            // is kept aside and the phone is set up afresh, once.
            const std::string problem = error ? error->localizedDescription() : "not a dictionary";
            ErrorRef moveError;
            if (auto aside = FileManager().setAside(path, &moveError)) {
                store = true;
                logLine(format("Sandbox: device profile %s is unreadable (%s); it was kept as %s and a new one is "
                               "stored.",
                               path.c_str(), problem.c_str(), aside->c_str()));
            } else {
                unreadable = true;
                logLine(format("Sandbox: device profile %s is unreadable (%s) and could not be set aside (%@); "
                               "using defaults.",
                               path.c_str(), problem.c_str(), moveError));
            }
        }
    } else {
        store = true;
    }
    if (profile.identifierForVendor.empty()) {
        profile.identifierForVendor = newUUIDString();
        store = true;
    }
    if (store && !unreadable) {
        ErrorRef writeError;
        if (!plist::writeFile(path, Value(profile.toDictionary()), plist::Format::XML, &writeError)) {
            logLine(format("Sandbox: cannot store the device profile: %@", writeError));
        }
    }
    profile_ = std::make_shared<DeviceProfile>(profile);
    return profile;
}

void Sandbox::setNewPhoneProfile(DeviceProfile profile) {
    std::lock_guard lock(mutex_);
    newPhoneProfile_ = std::move(profile);
}

bool Sandbox::setDeviceProfile(DeviceProfile profile) {
    if (profile.identifierForVendor.empty()) profile.identifierForVendor = newUUIDString();
    std::lock_guard lock(mutex_);
    profile_ = std::make_shared<DeviceProfile>(profile);
    const HoldingProfile holding(profile);
    ErrorRef error;
    if (!plist::writeFile(deviceProfilePath(), Value(profile.toDictionary()), plist::Format::XML, &error)) {
        logLine(format("Sandbox: cannot store the device profile: %@", error));
        return false;
    }
    return true;
}

std::shared_ptr<void> Sandbox::attachment(const std::string& key,
                                          const std::function<std::shared_ptr<void>()>& make) {
    {
        std::lock_guard lock(mutex_);
        auto it = attachments_.find(key);
        if (it != attachments_.end()) return it->second;
    }
    auto made = make();
    std::lock_guard lock(mutex_);
    // Another thread may have made one meanwhile; the first one stored wins
    // so every caller shares the same object.
    auto [it, inserted] = attachments_.emplace(key, std::move(made));
    return it->second;
}

void Sandbox::removeAttachment(const std::string& key) {
    std::shared_ptr<void> dropped;
    std::lock_guard lock(mutex_);
    auto it = attachments_.find(key);
    if (it == attachments_.end()) return;
    dropped = std::move(it->second);
    attachments_.erase(it);
}

void Sandbox::removeAllAttachments() {
    std::map<std::string, std::shared_ptr<void>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(attachments_);
}

}  // namespace ns
