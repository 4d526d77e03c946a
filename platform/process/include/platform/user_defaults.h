#pragma once
// NSUserDefaults stand-in.
//
// Each domain is one binary property list at
// <sandbox>/Home/Library/Preferences/<domain>.plist, the file every reader
// knows, and beside it, while changes wait to join it, their journal
// <domain>.plist.journal. As on the phone, a change is handed to the system
// as the call returns: setObject and removeObjectForKey (and
// removePersistentDomain, a "clear") append one record, the key and the
// value or the removal, to the journal with one write(2) before they return,
// so a process ended a moment later, by a signal or SIGKILL, keeps it; only
// the device failing can lose it (there is no fsync per change, as the
// phone pays none). A record costs what the change weighs; rewriting the
// list per change would cost what the whole domain weighs. Each object keeps
// its journal open; an append takes the journal's lock (flock), checks the
// path still names the file (a fold may have removed it or set it aside),
// writes and lets go: five system calls, the least that keeps every object
// and process appending to the one file a fold reads.
//
// The journal is folded into the list (the list rewritten atomically with
// every change together, then the journal removed, all under the journal's
// lock, so a change another object or process appends meanwhile waits and
// lands in a new journal) within one second of ns::Clock time (on a global
// queue), at once when it passes 256 KiB, at synchronize(), when the
// application resigns active or terminates, when the sandbox's objects are
// dropped (resetForTesting, a new sandbox), at process exit and when the
// domain is next opened (the list read, the journal replayed over it, then
// folded). A journal whose changes change nothing (a removal of a key no one
// stored, a value set again) is removed without rewriting the list.
// Replaying a journal over the list it was already folded into gives that
// list again, so a crash between the two steps loses nothing.
//
// One check (user_defaults_journal.h) decides which records count, for the
// replay and for the appender alike. A torn last record (its writer killed
// mid-write, before its call returned) is dropped, logged, and cut by the
// next appender. A complete record that is not sound (a failing disk, a
// writer of another format) is damage: the records before it are folded
// into the list, then the journal is set aside whole as
// <domain>.plist.journal.damaged (FileManager::setAside) with a line naming
// it, and an appender that finds it folds so first, so that no change lands
// behind it. A list that does not parse (or is not a dictionary) is
// damaged and never overwritten: the next fold moves it aside as
// <domain>.plist.corrupt-<time>, and the journal's changes apply over
// nothing (over what the object already held, when the list went bad after
// it read it). A list that cannot be read now (its mode, a failing disk, a
// folder it lies in that cannot be searched) is not damaged and not empty:
// it is tried again a few times at the domain's open, then kept as it is,
// a line names it and why, readError() reports it,
// the journal is replayed over what the object holds in memory only, and
// nothing is written or removed until a fold reads the list again.
//
// A journal that cannot be opened or read (its mode, a folder in its way)
// is not an empty one: the domain is the list, a line names the journal and
// why, and nothing follows from it: no list is written from a view that
// lacks the journal's changes, and the journal is not removed. Changes made
// meanwhile are kept in memory, reported by lastWriteError(), and appended
// once the journal opens.
//
// Every lock the journal needs is waited for with a deadline, never for
// good: a change waits two seconds of ns::Clock time for a journal's lock
// held elsewhere (a fold of another process holds it for milliseconds; one
// held longer belongs to a stopped or stuck process), and the wait holds
// only the object's journal mutex, never the lock readers take. A change
// whose lock does not come free in time returns kept in memory, logged and
// reported by lastWriteError(): durable on return only from the moment the
// lock is had, which is as much as can be promised without waiting on
// another process; it is appended, before any later change of the object,
// at the next change or fold (a timed fold retries it every second). Timed
// folds wait for no lock: a busy one times them again. The endings
// (resignation, termination, the program's end, the exit handlers) wait for
// every lock until one real-time deadline of two seconds and then give up
// with a line naming the journal left unfolded; its changes are folded at
// the next open, and only changes still kept in memory are lost then, which
// the line counts.
//
// Objects on one domain, in one process (the shared one and a private
// reader) or in several, merge key by key: a fold applies every object's
// records in the order they were made, and an object sees the others'
// changes when it next folds (synchronize()). The standard domain is the
// bundle identifier ("almavel" when the bundle has none); suites are other
// domains.
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
namespace defaultsJournal {
class Deadline;
class Journal;
struct Replayed;
}

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
    // Folds the journal when this object added to it.
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // Folds the journal of every object in the process that added to it
    // (the application's resignation and termination and the program's end
    // call it, as do the exit handlers), waiting for no lock past a
    // deadline of its own: what it cannot fold is folded at the next open,
    // and a line says which journal. Any thread.
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

    // A null value removes the key; removing a key no list can hold (not
    // UTF-8, or holding NUL) changes nothing and journals nothing.
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

    // Folds the journal into the file at once, picking up the changes other
    // objects and processes made (theirs in the journal or in the file).
    // Returns false when the list or the journal could not be read (the
    // journal's lock held elsewhere past the deadline among the reasons) or
    // the last write failed.
    bool synchronize();

    // The error of the last failed write, or nullptr.
    ErrorRef lastWriteError() const;

    // Why the list or its journal could not be read at the last try (a
    // read failure, not damage), or nullptr: the domain then holds only
    // what could be read and what this process changed, so a caller takes
    // nothing missing from it as a stored absence.
    ErrorRef readError() const;

private:
    struct FlushHandle;
    // Reads the list, when it changed since this object last did, into
    // persistent_; a list that cannot be read leaves persistent_ as it was.
    // True when persistent_ is the list now.
    bool readListLocked();
    bool listUnreadLocked(const ErrorRef& error);
    // With journalMutex_ held, not mutex_ (taken inside; at an ending only
    // until `deadline`): appends the changes kept for the journal,
    // replays the journal over the list into persistent_, writes the list
    // and removes the journal (sets it aside when damaged). 0 when nothing
    // failed; else the journal's error (its lock busy, or unreadable: then
    // nothing is written or removed) or kListNotWritten.
    enum class FoldBy {
        Call,    // waits until the deadline for each lock
        Timer,   // waits for no lock: a busy one times the fold again
        Ending,  // waits for every lock until the ending's deadline only
    };
    int foldJournaled(const defaultsJournal::Deadline& deadline, FoldBy by);
    int takeJournal(const defaultsJournal::Deadline& deadline, Data* records, bool* keptFailed);
    int journalUnreadLocked(int error);
    bool retireJournalLocked(const defaultsJournal::Replayed& replayed, size_t journalBytes);
    bool lockOwn(bool ending, const defaultsJournal::Deadline& deadline);
    bool writeListLocked();
    bool removeListLocked();
    bool setAsideDamagedListLocked();
    // With journalMutex_ held: appends the kept changes and `record` in one
    // write; what cannot be appended is kept in pending_.
    int appendJournaled(const Data& record, const defaultsJournal::Deadline& deadline, bool keepLocked = false);
    int failedAppend(const Data& record, int error);
    // Reports an append's outcome (a change with no record: hasRecord
    // false) and times the fold.
    void noteAppendedLocked(bool hasRecord, int error, const ErrorRef& recordError);
    void flushPending();
    void scheduleFoldLocked();
    void retimeFoldLocked();
    static void foldThrough(const std::weak_ptr<FlushHandle>& handle, bool soon);
    static void foldAll();
    static void foldAllAtExit();
    void foldAtEnding(const defaultsJournal::Deadline& deadline);
    Value lookupLocked(const std::string& key) const;

    std::string domain_;
    std::string path_;
    // Guards journal_, pending_ and pendingChanges_, and is taken before
    // mutex_. It is held while a journal's lock held elsewhere is waited
    // for (at most kLockWaitSeconds), which mutex_ never is, so readers
    // never wait on another process; the endings wait for either only until
    // their deadline.
    std::mutex journalMutex_;
    // Everything else.
    mutable std::mutex mutex_;
    Dictionary argumentDomain_;
    Dictionary persistent_;
    Dictionary registration_;
    struct Stamp {
        bool exists = false;
        unsigned long long inode = 0;
        long long size = 0;
        long long mtimeNs = 0;
        // stat's errno when it failed otherwise than ENOENT.
        int error = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };
    static Stamp stampOf(const std::string& path);
    Stamp stamp_;
    // The file did not parse when read: it is moved aside, not
    // overwritten, at the next fold.
    bool fileWasCorrupt_ = false;
    // The file could not be read at the last try: it is read again at
    // each fold, and nothing is written over it until it reads.
    ErrorRef listReadError_;
    ErrorRef lastWriteError_;
    // This object appended since its last fold, and whether a fold is
    // already timed (or, past the journal's bound, queued).
    bool dirty_ = false;
    // Some of those appends changed what this object holds.
    bool ownChanges_ = false;
    bool flushScheduled_ = false;
    bool foldSoonQueued_ = false;
    // A change of this object has no record (its value had no one-pair
    // list): the next fold writes this object's whole view, as a list of
    // its own.
    bool unjournaled_ = false;
    bool appendFailureLogged_ = false;
    // The list was read once at least: a fold that cannot read the journal
    // still reads it for an object that never has.
    bool listRead_ = false;
    // The journal's last read failure, logged once.
    int journalReadError_ = 0;
    std::unique_ptr<defaultsJournal::Journal> journal_;
    // Records whose append found the journal's lock held elsewhere past the
    // deadline, or failed: appended, in order, before the next change or at
    // the next fold.
    Data pending_;
    size_t pendingChanges_ = 0;
    // What the store-write trace calls this domain's appends and folds.
    std::string appendName_;
    std::string foldName_;
    std::string listRemovedName_;
    std::string journalRemovedName_;
    // What the timed fold finds this object through (it may be gone).
    std::shared_ptr<FlushHandle> flushHandle_;
};

}  // namespace ns
