#pragma once
// NSUserDefaults stand-in.
//
// Each domain is one binary property list at
// <sandbox>/Home/Library/Preferences/<domain>.plist. As on the phone,
// changes are written behind the caller: reads see them at once, and the
// file is rewritten atomically, every change since the last write together,
// within one second (ns::Clock time, on a global queue), at synchronize(),
// when the application resigns active, when the sandbox's objects are
// dropped (resetForTesting, a new sandbox) and at process exit. A crash
// loses at most the last second. The standard domain is the bundle
// identifier ("almavel" when the bundle has none); suites are other domains.
//
// Look-ups go argument domain ("-key value" launch arguments), then the
// persistent domain, then registered defaults. Values must be property-list
// values (no nulls inside containers, no objects): storing anything else
// raises NSInvalidArgumentException, as Foundation does.
//
// Thread-safe. Objects are shared per sandbox and domain.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {

class Sandbox;

class UserDefaults {
public:
    // The current sandbox's standard defaults.
    static std::shared_ptr<UserDefaults> standard();
    // The current sandbox's defaults for a suite (domain) name. The bundle
    // identifier's suite is the standard object itself.
    static std::shared_ptr<UserDefaults> suite(const std::string& name);
    // Drops the current sandbox's cached objects: the next standard()/suite()
    // reads the files again. Objects already handed out keep working on
    // their own copy.
    static void resetForTesting();

    // A private object for `domain` in `sandbox`, not shared with standard()
    // or suite(): for tests that want a fresh reader of the same file.
    UserDefaults(std::string domain, std::shared_ptr<Sandbox> sandbox);
    // Writes a pending change.
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // Writes the pending changes of every object in the process (the
    // application's resignation and process exit call it). Any thread.
    static void flushAllPending();

    const std::string& domain() const { return domain_; }
    // The file backing the persistent domain.
    const std::string& path() const { return path_; }

    Value objectForKey(const std::string& key) const;
    // A string, or a number's text; nullopt otherwise.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // Booleans and numbers by value; strings "YES"/"true"/"y"/"t" (any case)
    // or a non-zero integer text count as true. False when absent.
    bool boolForKey(const std::string& key) const;
    // Numbers, booleans (0/1) and numeric strings; 0 otherwise.
    int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::optional<Dictionary> dictionaryForKey(const std::string& key) const;
    std::optional<Array> arrayForKey(const std::string& key) const;
    std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) const;
    std::optional<Data> dataForKey(const std::string& key) const;

    // A null value removes the key.
    void setObject(const Value& value, const std::string& key);
    void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
    void setInteger(int64_t value, const std::string& key) { setObject(Value(value), key); }
    void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
    void setString(const std::string& value, const std::string& key) { setObject(Value(value), key); }
    void removeObjectForKey(const std::string& key) { setObject(Value(), key); }

    // Fallbacks for keys with no stored value; not written to disk.
    void registerDefaults(const Dictionary& defaults);

    // Everything visible: registered defaults overlaid by stored values
    // overlaid by launch arguments.
    Dictionary dictionaryRepresentation() const;
    // The stored values only.
    Dictionary persistentDomain() const;
    // Removes every stored value of the domain (the file is removed too).
    void removePersistentDomain();

    // Writes the pending changes at once, then picks up changes another
    // object or process wrote to the file. Returns false when the file could
    // not be read or the last write failed.
    bool synchronize();

    // The error of the last failed write, or nullptr.
    ErrorRef lastWriteError() const;

private:
    struct FlushHandle;
    void loadLocked();
    bool writeLocked();
    // Writes when a change is pending; true when nothing failed.
    bool flushLocked();
    void flushPending();
    void scheduleFlushLocked();
    Value lookupLocked(const std::string& key) const;

    std::string domain_;
    std::string path_;
    mutable std::mutex mutex_;
    Dictionary argumentDomain_;
    Dictionary persistent_;
    Dictionary registration_;
    struct Stamp {
        bool exists = false;
        unsigned long long inode = 0;
        long long size = 0;
        long long mtimeNs = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };
    Stamp stamp_;
    // The file was unreadable when loaded: it is moved aside, not
    // overwritten, on the next write.
    bool fileWasCorrupt_ = false;
    ErrorRef lastWriteError_;
    // A change not yet in the file, and whether its write is already timed.
    bool dirty_ = false;
    bool flushScheduled_ = false;
    // What the timed write finds this object through (it may be gone).
    std::shared_ptr<FlushHandle> flushHandle_;
};

}  // namespace ns
