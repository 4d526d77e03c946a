#include "platform/user_defaults.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "platform/plist.h"
#include "platform/process_info.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"

namespace ns {

namespace {

constexpr const char* kRegistryKey = "ns.UserDefaults";
constexpr const char* kFallbackDomain = "almavel";
// The most a change waits before it is written, as on the phone.
constexpr double kFlushDelaySeconds = 1.0;

void logLine(const std::string& line) {
    SystemLog::write(SystemLog::kError, line);
}

// The per-sandbox table of shared objects, one per domain. When it goes (a
// new sandbox, a relaunch, resetForTesting) its objects write what they
// hold, so the next reader of the files, or a sandbox about to be removed,
// sees every change.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<UserDefaults>> byDomain;
    ~Registry() {
        for (auto& [domain, defaults] : byDomain) defaults->synchronize();
    }
};

std::shared_ptr<Registry> registryOf(const std::shared_ptr<Sandbox>& sandbox) {
    return sandbox->attachment<Registry>(kRegistryKey, [] { return std::make_shared<Registry>(); });
}

std::string standardDomain(const std::shared_ptr<Sandbox>& sandbox) {
    std::string id = Bundle::mainBundle(sandbox)->bundleIdentifier();
    return id.empty() ? std::string(kFallbackDomain) : id;
}

void checkDomainName(const std::string& domain) {
    if (domain.empty() || domain == "." || domain == ".." || domain.find('/') != std::string::npos ||
        domain.find('\0') != std::string::npos) {
        Exception::raise(kInvalidArgumentException, format("Invalid user defaults domain name \"%s\".", domain.c_str()));
    }
}

// Null inside a container and objects anywhere are not property-list values.
const char* nonPropertyListKind(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null: return "null";
        case Value::Type::Object: return "object";
        case Value::Type::Array:
            for (const Value& e : v.asArray()) {
                if (const char* bad = nonPropertyListKind(e)) return bad;
            }
            return nullptr;
        case Value::Type::Dictionary:
            for (const auto& [k, e] : v.asDictionary()) {
                if (const char* bad = nonPropertyListKind(e)) return bad;
            }
            return nullptr;
        default: return nullptr;
    }
}

bool looksNumeric(const std::string& s) {
    if (s.empty()) return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end && *end == '\0';
}

Dictionary parseArgumentDomain(const std::vector<std::string>& args) {
    Dictionary out;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-' || a[1] == '-') continue;
        if (i + 1 >= args.size()) break;
        const std::string& next = args[i + 1];
        if (!next.empty() && next[0] == '-' && !looksNumeric(next)) continue;  // a bare flag, no value
        Value v(next);
        if (!next.empty() && next[0] == '<') {
            // Property-list values in XML form, e.g. -Key "<integer>3</integer>".
            std::string xml = "<plist>" + next + "</plist>";
            Value parsed = plist::parse(Data(xml.begin(), xml.end()));
            if (!parsed.isNull()) v = parsed;
        }
        out.insert_or_assign(a.substr(1), std::move(v));
        ++i;
    }
    return out;
}

std::string lowercase(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Every live object, for the writes at resignation and exit. Never
// destroyed: exit handlers and timed writes may read it late.
struct LiveObjects {
    std::mutex mutex;
    std::set<UserDefaults*> objects;
};

LiveObjects& liveObjects() {
    static auto* live = new LiveObjects;
    return *live;
}

void flushAtExit() { UserDefaults::flushAllPending(); }

// The application's resignation and termination and the process's exit
// write what is pending, as the phone's defaults do. Nothing waits for a
// destructor: the current sandbox, which holds these objects, is never
// destroyed.
void installFlushTriggers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char* name : {kUIApplicationWillResignActiveNotification, kUIApplicationWillTerminateNotification}) {
            NotificationCenter::defaultCenter().addObserver(
                name, nullptr, nullptr, [](const Notification&) { UserDefaults::flushAllPending(); });
        }
        std::atexit(flushAtExit);
        std::at_quick_exit(flushAtExit);
    });
}

}  // namespace

// Guarded by liveObjects().mutex; the owner is cleared before it goes.
struct UserDefaults::FlushHandle {
    UserDefaults* owner;
};

void UserDefaults::flushAllPending() {
    auto& live = liveObjects();
    std::lock_guard lock(live.mutex);
    for (UserDefaults* defaults : live.objects) defaults->flushPending();
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    auto sandbox = Sandbox::current();
    const std::string domain = name.empty() ? standardDomain(sandbox) : name;
    checkDomainName(domain);
    auto registry = registryOf(sandbox);
    std::lock_guard lock(registry->mutex);
    auto& slot = registry->byDomain[domain];
    if (!slot) slot = std::make_shared<UserDefaults>(domain, sandbox);
    return slot;
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    return suite(std::string());
}

void UserDefaults::resetForTesting() {
    Sandbox::current()->removeAttachment(kRegistryKey);
}

UserDefaults::UserDefaults(std::string domain, std::shared_ptr<Sandbox> sandbox) : domain_(std::move(domain)) {
    checkDomainName(domain_);
    if (!sandbox) sandbox = Sandbox::current();
    path_ = sandbox->preferencesPath() + "/" + domain_ + ".plist";
    argumentDomain_ = parseArgumentDomain(ProcessInfo::processInfo().arguments());
    {
        std::lock_guard lock(mutex_);
        loadLocked();
    }
    installFlushTriggers();
    flushHandle_ = std::make_shared<FlushHandle>(FlushHandle{this});
    auto& live = liveObjects();
    std::lock_guard lock(live.mutex);
    live.objects.insert(this);
}

UserDefaults::~UserDefaults() {
    {
        auto& live = liveObjects();
        std::lock_guard lock(live.mutex);
        live.objects.erase(this);
        flushHandle_->owner = nullptr;
    }
    flushPending();
}

void UserDefaults::flushPending() {
    std::lock_guard lock(mutex_);
    flushLocked();
}

bool UserDefaults::flushLocked() {
    if (!dirty_) return true;
    dirty_ = false;
    return writeLocked();
}

// One timed write covers every change until it runs, so a change waits at
// most the delay. The write finds the object through its handle, which
// forgets it before it goes.
void UserDefaults::scheduleFlushLocked() {
    dirty_ = true;
    if (flushScheduled_) return;
    flushScheduled_ = true;
    DispatchQueue::global()->after(kFlushDelaySeconds, [weak = std::weak_ptr<FlushHandle>(flushHandle_)] {
        auto handle = weak.lock();
        if (!handle) return;
        auto& live = liveObjects();
        std::lock_guard lock(live.mutex);
        if (UserDefaults* owner = handle->owner) {
            std::lock_guard ownerLock(owner->mutex_);
            owner->flushScheduled_ = false;
            owner->flushLocked();
        }
    });
}

void UserDefaults::loadLocked() {
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
        persistent_.clear();
        stamp_ = Stamp{};
        return;
    }
    stamp_ = Stamp{true, static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                    static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec};
    ErrorRef error;
    Value v = plist::readFile(path_, &error);
    if (const Dictionary* d = v.dictionaryOrNull()) {
        persistent_ = *d;
        fileWasCorrupt_ = false;
        return;
    }
    // Keep going with what we have; the unreadable file is set aside, not
    // overwritten, when something is next stored.
    fileWasCorrupt_ = true;
    logLine(format("UserDefaults: cannot read %s (%s); it will be kept as %s.corrupt-* on the next change.",
                   path_.c_str(), error ? error->localizedDescription().c_str() : "not a dictionary", path_.c_str()));
}

bool UserDefaults::writeLocked() {
    FileManager files;
    ErrorRef error;
    Data bytes = plist::serialize(Value(persistent_), plist::Format::Binary, &error);
    if (bytes.empty()) {
        lastWriteError_ = error;
        return false;
    }
    const std::string dir = path_.substr(0, path_.rfind('/'));
    if (!files.isDirectory(dir)) {
        // Recreate Preferences if someone removed it, but never a whole
        // sandbox that is gone.
        const std::string library = dir.substr(0, dir.rfind('/'));
        if (files.isDirectory(library)) files.createDirectory(dir, true, nullptr);
    }
    if (fileWasCorrupt_) {
        // Two damaged files within one second keep both: an earlier copy is
        // never replaced.
        ErrorRef moveError;
        const auto aside =
            files.setAside(path_, &moveError, format(".corrupt-%lld", static_cast<long long>(Clock::nowSeconds())));
        if (aside || !files.fileExists(path_)) {
            logLine(format("UserDefaults: the unreadable %s was moved to %s.", path_.c_str(),
                           aside ? aside->c_str() : "nowhere (it is gone)"));
            fileWasCorrupt_ = false;
        } else {
            lastWriteError_ = moveError;
            logLine(format("UserDefaults: not writing %@", lastWriteError_));
            return false;
        }
    }
    if (!files.writeData(path_, bytes, &error)) {
        lastWriteError_ = error;
        logLine(format("UserDefaults: cannot write %@", error));
        return false;
    }
    lastWriteError_ = nullptr;
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0) {
        stamp_ = Stamp{true, static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                        static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec};
    }
    return true;
}

Value UserDefaults::lookupLocked(const std::string& key) const {
    for (const Dictionary* d : {&argumentDomain_, &persistent_, &registration_}) {
        auto it = d->find(key);
        if (it != d->end()) return it->second;
    }
    return Value();
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return lookupLocked(key);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    Value v = objectForKey(key);
    switch (v.type()) {
        case Value::Type::String: return v.asString();
        case Value::Type::Bool: return std::string(v.asBool() ? "1" : "0");
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double: return v.description();
        default: return std::nullopt;
    }
}

bool UserDefaults::boolForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isBool() || v.isNumber()) return v.boolValue();
    if (const std::string* s = v.stringOrNull()) {
        std::string l = lowercase(*s);
        if (l == "yes" || l == "true" || l == "y" || l == "t") return true;
        return std::strtoll(s->c_str(), nullptr, 10) != 0;
    }
    return false;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isBool() || v.isNumber()) return v.intValue();
    if (const std::string* s = v.stringOrNull()) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isBool() || v.isNumber()) return v.doubleValue();
    if (const std::string* s = v.stringOrNull()) return std::strtod(s->c_str(), nullptr);
    return 0;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (const Dictionary* d = v.dictionaryOrNull()) return *d;
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (const Array* a = v.arrayOrNull()) return *a;
    return std::nullopt;
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(const std::string& key) const {
    auto a = arrayForKey(key);
    if (!a) return std::nullopt;
    std::vector<std::string> out;
    for (const Value& e : *a) {
        if (!e.isString()) return std::nullopt;
        out.push_back(e.asString());
    }
    return out;
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isData()) return v.asData();
    return std::nullopt;
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
    if (!value.isNull()) {
        if (const char* bad = nonPropertyListKind(value)) {
            Exception::raise(kInvalidArgumentException,
                             format("Attempt to insert non-property list object %@ for key %s (it contains a %s "
                                    "value).",
                                    value, key.c_str(), bad));
        }
    }
    ErrorRef error;
    if (!value.isNull() && plist::serialize(Value(Dictionary{{key, value}}), plist::Format::Binary, &error).empty() &&
        error && error->domain() == kCocoaErrorDomain && error->code() == plist::kWriteInvalidError) {
        // The value itself has no property-list form (a date out of range,
        // a string that is not UTF-8): refuse it now, while the caller is
        // there to hear it, and keep what was stored.
        throw Exception(kInvalidArgumentException,
                        format("Attempt to insert non-property list object for key %s: %s", key.c_str(),
                               error->localizedDescription().c_str()));
    }
    std::lock_guard lock(mutex_);
    if (value.isNull()) {
        if (persistent_.erase(key) == 0) return;
    } else {
        persistent_.insert_or_assign(key, value);
    }
    scheduleFlushLocked();
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [k, v] : defaults) registration_.insert_or_assign(k, v);
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    Dictionary out = registration_;
    for (const Dictionary* d : {&persistent_, &argumentDomain_}) {
        for (const auto& [k, v] : *d) out.insert_or_assign(k, v);
    }
    return out;
}

Dictionary UserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return persistent_;
}

void UserDefaults::removePersistentDomain() {
    std::lock_guard lock(mutex_);
    persistent_.clear();
    dirty_ = false;
    if (fileWasCorrupt_) {
        writeLocked();  // sets the unreadable file aside first
        return;
    }
    ErrorRef error;
    FileManager files;
    if (files.fileExists(path_) && !files.removeItem(path_, &error)) {
        lastWriteError_ = error;
        logLine(format("UserDefaults: cannot remove %@", error));
        return;
    }
    stamp_ = Stamp{};
    lastWriteError_ = nullptr;
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    if (dirty_) return flushLocked() && !fileWasCorrupt_;
    struct stat st;
    Stamp now;
    if (::stat(path_.c_str(), &st) == 0) {
        now = Stamp{true, static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                    static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec};
    }
    if (!(now == stamp_)) loadLocked();
    return !fileWasCorrupt_ && !lastWriteError_;
}

ErrorRef UserDefaults::lastWriteError() const {
    std::lock_guard lock(mutex_);
    return lastWriteError_;
}

}  // namespace ns
