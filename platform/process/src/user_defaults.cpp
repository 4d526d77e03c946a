#include "platform/user_defaults.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

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
#include "platform/store_writes.h"
#include "platform/system_log.h"
#include "user_defaults_journal.h"

namespace ns {

namespace {

constexpr const char* kRegistryKey = "ns.UserDefaults";
constexpr const char* kFallbackDomain = "almavel";
// The most a change waits in the journal before it joins the list: the
// list stays close to current for readers of the file, and an open replays
// little.
constexpr double kFoldDelaySeconds = 1.0;
// A journal past this length is folded at once (on a global queue), so a
// burst of changes leaves no long replay behind (a few thousand records). A
// fold holds up the appends while it rewrites the list, so a lower bound
// would slow a burst down.
constexpr uint64_t kFoldJournalBytes = 256 * 1024;
// How long a change or a fold waits for a journal's lock held elsewhere, in
// ns::Clock time: a fold of another process holds it for milliseconds, so
// a lock held past this belongs to a process that is stopped or stuck.
constexpr double kLockWaitSeconds = 2.0;
// How long an ending waits, in real time, for every lock its folds need,
// all its domains together: well inside the grace the program's ending
// signals give it.
constexpr double kEndingWaitSeconds = 2.0;
// A list that does not read at the domain's open is tried again this many
// times, this far apart in real time, before the domain is used: a read
// that fails once (a disk's error, a file replaced while read) mostly reads
// at the next try, and the domain's users take what it lacks for never
// stored (a new identity where one is kept).
constexpr int kOpenReadTries = 3;
constexpr auto kOpenReadPause = std::chrono::milliseconds(20);

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

// Every live object, for the folds at resignation and exit. Never
// destroyed: exit handlers and timed folds may read it late.
struct LiveObjects {
    std::mutex mutex;
    std::set<UserDefaults*> objects;
};

LiveObjects& liveObjects() {
    static auto* live = new LiveObjects;
    return *live;
}

// The application's resignation and termination and the process's exit
// fold what is journaled, as the phone's defaults write at those times.
// Nothing waits for a destructor: the current sandbox, which holds these
// objects, is never destroyed.
void installFlushTriggers(void (*atExit)()) {
    static std::once_flag once;
    std::call_once(once, [atExit] {
        for (const char* name : {kUIApplicationWillResignActiveNotification, kUIApplicationWillTerminateNotification}) {
            NotificationCenter::defaultCenter().addObserver(
                name, nullptr, nullptr, [](const Notification&) { UserDefaults::flushAllPending(); });
        }
        std::atexit(atExit);
        std::at_quick_exit(atExit);
    });
}

}  // namespace

// The timed folds find their object through it; the owner is cleared,
// under the handle's own lock, before it goes.
struct UserDefaults::FlushHandle {
    std::mutex mutex;
    UserDefaults* owner;
};

UserDefaults::Stamp UserDefaults::stampOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Stamp{.error = errno == ENOENT ? 0 : errno};
    return Stamp{true, static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                 static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec};
}

namespace {

// Takes `mutex` if it comes free before `deadline`. Polled with try_lock
// rather than a timed lock: glibc times it with pthread_mutex_clocklock,
// which ThreadSanitizer does not see, so every access under such a lock
// would look unguarded to it.
bool lockBefore(std::mutex& mutex, const defaultsJournal::Deadline& deadline) {
    while (!mutex.try_lock()) {
        if (deadline.passed()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What foldJournaled returns when the journal read but the list could not
// be written (lastWriteError_ says why).
constexpr int kListNotWritten = -1;
// ... and when the list could not be read (listReadError_ says why): nothing
// was written.
constexpr int kListNotRead = -2;

std::string describe(int error) {
    if (error == kListNotWritten) return "the list could not be written";
    if (error == kListNotRead) return "the list could not be read";
    if (error == defaultsJournal::Journal::kBusy) return "its lock is held elsewhere";
    return std::strerror(error);
}

}  // namespace

void UserDefaults::flushAllPending() { foldAll(); }

void UserDefaults::foldAllAtExit() { foldAll(); }

// The endings (resignation, termination, the program's leave and its exit
// handlers) run once the program's end may have closed the store-write
// gate, and a thread stopped at the gate for good may hold an object's
// locks, as another process may hold a journal's: every lock is waited for
// until one real-time deadline for the whole pass, never longer. A change
// that returned is in a journal already, so what cannot be folded now is
// folded at the next open; only a change that never reached its journal
// (its lock held elsewhere since) is lost, and the line says so.
void UserDefaults::foldAll() {
    const auto deadline = defaultsJournal::Deadline::afterReal(kEndingWaitSeconds);
    auto& live = liveObjects();
    if (!lockBefore(live.mutex, deadline)) {
        logLine("UserDefaults: no domain was folded at this ending (the list of objects is busy); their journals "
                "are folded at the next open.");
        return;
    }
    std::unique_lock lock(live.mutex, std::adopt_lock);
    for (UserDefaults* defaults : live.objects) defaults->foldAtEnding(deadline);
}

void UserDefaults::foldAtEnding(const defaultsJournal::Deadline& deadline) {
    const auto busy = [&] {
        logLine(format("UserDefaults: %s was not folded into %s at this ending: a change or fold of this process is "
                       "under way; what reached the journal is folded at the next open.",
                       journal_->path().c_str(), path_.c_str()));
    };
    if (!lockBefore(journalMutex_, deadline)) return busy();
    std::unique_lock journalLock(journalMutex_, std::adopt_lock);
    {
        if (!lockBefore(mutex_, deadline)) return busy();
        std::unique_lock lock(mutex_, std::adopt_lock);
        if (!dirty_ && !unjournaled_) return;
    }
    const int error = foldJournaled(deadline, FoldBy::Ending);
    if (error == 0) return;
    std::string lost;
    if (pendingChanges_ > 0) {
        lost = format(" Changes of this process that never reached it (%zu) are lost.", pendingChanges_);
    }
    logLine(format("UserDefaults: %s was not folded into %s at this ending (%s); its changes are folded at the next "
                   "open.%s",
                   journal_->path().c_str(), path_.c_str(), describe(error).c_str(), lost.c_str()));
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
    journal_ = std::make_unique<defaultsJournal::Journal>(path_ + ".journal");
    appendName_ = "user defaults " + domain_;
    foldName_ = appendName_ + " fold";
    listRemovedName_ = appendName_ + " list removed";
    journalRemovedName_ = appendName_ + " journal removed";
    argumentDomain_ = parseArgumentDomain(ProcessInfo::processInfo().arguments());
    {
        // What an earlier process left in the journal joins the list now.
        std::lock_guard journalLock(journalMutex_);
        for (int tries = 0;; ++tries) {
            foldJournaled(defaultsJournal::Deadline::after(kLockWaitSeconds), FoldBy::Call);
            {
                std::lock_guard lock(mutex_);
                if (tries == kOpenReadTries || !listReadError_) break;
            }
            std::this_thread::sleep_for(kOpenReadPause);
        }
    }
    installFlushTriggers(foldAllAtExit);
    flushHandle_ = std::make_shared<FlushHandle>();
    flushHandle_->owner = this;
    auto& live = liveObjects();
    std::lock_guard lock(live.mutex);
    live.objects.insert(this);
}

UserDefaults::~UserDefaults() {
    {
        auto& live = liveObjects();
        std::lock_guard lock(live.mutex);
        live.objects.erase(this);
    }
    {
        std::lock_guard lock(flushHandle_->mutex);
        flushHandle_->owner = nullptr;
    }
    flushPending();
}

void UserDefaults::flushPending() {
    std::lock_guard journalLock(journalMutex_);
    {
        std::lock_guard lock(mutex_);
        if (!dirty_ && !unjournaled_) return;
    }
    foldJournaled(defaultsJournal::Deadline::after(kLockWaitSeconds), FoldBy::Call);
}

// The timed and the early fold find the object through its handle, which
// forgets it before it goes. They wait for nothing: a lock that is not
// free at once (a change or fold of this object under way, the journal's
// lock held elsewhere) times the fold again, as do changes left in no
// journal, so they are retried without waiting for the next change.
void UserDefaults::foldThrough(const std::weak_ptr<FlushHandle>& weak, bool soon) {
    auto handle = weak.lock();
    if (!handle) return;
    std::lock_guard handleLock(handle->mutex);
    UserDefaults* owner = handle->owner;
    if (!owner) return;
    std::unique_lock journalLock(owner->journalMutex_, std::try_to_lock);
    {
        std::lock_guard lock(owner->mutex_);
        (soon ? owner->foldSoonQueued_ : owner->flushScheduled_) = false;
        if (!owner->dirty_ && !owner->unjournaled_) return;
        if (!journalLock) {
            owner->retimeFoldLocked();
            return;
        }
    }
    const int error = owner->foldJournaled(defaultsJournal::Deadline::afterReal(0), FoldBy::Timer);
    if (error == defaultsJournal::Journal::kBusy || owner->pendingChanges_ > 0) {
        std::lock_guard lock(owner->mutex_);
        owner->retimeFoldLocked();
    }
}

// One timed fold covers every change until it runs, so the journal holds at
// most the delay's changes, or its bound's, whichever comes first.
void UserDefaults::scheduleFoldLocked() {
    std::weak_ptr<FlushHandle> weak = flushHandle_;
    if (journal_->lengthAfterAppend() > kFoldJournalBytes && !foldSoonQueued_) {
        foldSoonQueued_ = true;
        DispatchQueue::global()->async([weak] { foldThrough(weak, true); });
    }
    retimeFoldLocked();
}

void UserDefaults::retimeFoldLocked() {
    if (flushScheduled_) return;
    flushScheduled_ = true;
    std::weak_ptr<FlushHandle> weak = flushHandle_;
    DispatchQueue::global()->after(kFoldDelaySeconds, [weak] { foldThrough(weak, false); });
}

// The changes an earlier append could not write go first, in the order
// they were made, then `record`, in one write. A damaged journal takes no
// record: it is folded (its sound records kept, the file set aside) and
// the append made to the journal that follows.
int UserDefaults::appendJournaled(const Data& record, const defaultsJournal::Deadline& deadline, bool keepLocked) {
    Data bytes = pending_;
    bytes.insert(bytes.end(), record.begin(), record.end());
    int error = journal_->append(bytes, deadline, keepLocked);
    if (error == defaultsJournal::Journal::kDamaged) {
        foldJournaled(deadline, FoldBy::Call);
        bytes = pending_;
        bytes.insert(bytes.end(), record.begin(), record.end());
        error = journal_->append(bytes, deadline, keepLocked);
    }
    if (error == 0) {
        pending_.clear();
        pendingChanges_ = 0;
    } else {
        pending_.insert(pending_.end(), record.begin(), record.end());
        ++pendingChanges_;
    }
    return error;
}

// An append that failed before any byte reached the journal: the record
// waits with the changes no journal has yet, as when the journal refuses it.
int UserDefaults::failedAppend(const Data& record, int error) {
    pending_.insert(pending_.end(), record.begin(), record.end());
    ++pendingChanges_;
    return error;
}

// A change is kept in memory whatever happened to its record, and its
// failure is reported once while appends keep failing.
void UserDefaults::noteAppendedLocked(bool hasRecord, int error, const ErrorRef& recordError) {
    if (!hasRecord) {
        lastWriteError_ = recordError;
        if (!unjournaled_) logLine(format("UserDefaults: cannot journal a change: %@", lastWriteError_));
        unjournaled_ = true;
    } else if (error != 0) {
        lastWriteError_ = error == defaultsJournal::Journal::kBusy
                              ? fileError(EWOULDBLOCK, journal_->path(), true, "lock")
                              : fileError(error, journal_->path(), true, "append to");
        if (!appendFailureLogged_) {
            logLine(format("UserDefaults: cannot append to %s (%s); the changes it did not take (%zu so far) are "
                           "kept in memory and appended before the next change, or at the next fold.",
                           journal_->path().c_str(), describe(error).c_str(), pendingChanges_));
        }
        appendFailureLogged_ = true;
    } else {
        appendFailureLogged_ = false;
    }
    dirty_ = true;
    scheduleFoldLocked();
}

bool UserDefaults::readListLocked() {
    const Stamp now = stampOf(path_);
    if (now == stamp_ && !listReadError_) return false;
    if (now.error) return listUnreadLocked(fileError(now.error, path_, false, "read"));
    ErrorRef error;
    Value v;
    if (now.exists) {
        const int failure = storeWrites::opening("user defaults list open");
        v = failure ? Value() : plist::readFile(path_, &error);
        if (failure) error = fileError(failure, path_, false, "open");
    }
    const Dictionary* d = v.dictionaryOrNull();
    // Only bytes that do not parse are damage; a read that failed is not.
    if (!d && plist::readFailedBeforeParsing(error)) return listUnreadLocked(error);
    stamp_ = now;
    listRead_ = true;
    listReadError_ = nullptr;
    if (!now.exists || d) {
        persistent_ = d ? *d : Dictionary{};
        fileWasCorrupt_ = false;
        return true;
    }
    // Keep going with what we have; the damaged file is set aside, not
    // overwritten, at the next fold.
    fileWasCorrupt_ = true;
    logLine(format("UserDefaults: cannot read %s (%s); it will be kept as %s.corrupt-* on the next change.",
                   path_.c_str(), error ? error->localizedDescription().c_str() : "not a dictionary", path_.c_str()));
    return false;
}

// A list that could not be read now is kept as it is: what the object holds
// stays, and the list is read again at the next fold.
bool UserDefaults::listUnreadLocked(const ErrorRef& error) {
    if (!listReadError_) {
        logLine(format("UserDefaults: cannot read %@; it is kept as it is, read again at the next fold, and nothing "
                       "is written over it until it reads.",
                       error));
    }
    listReadError_ = error;
    return false;
}

// The journal's lock and records, and with the lock the changes no
// journal has yet, appended first, so the list never holds a change its
// journal could replay an older one over. 0 (held, `*records` read),
// ENOENT (no journal, nothing held) or an error with nothing held
// (`*keptFailed`: the kept changes could not be appended).
int UserDefaults::takeJournal(const defaultsJournal::Deadline& deadline, Data* records, bool* keptFailed) {
    int held;
    if (pending_.empty()) {
        held = journal_->lock(deadline);
    } else {
        held = journal_->append(pending_, deadline, true);
        if (held == 0) {
            pending_.clear();
            pendingChanges_ = 0;
        } else if (held == defaultsJournal::Journal::kDamaged) {
            // The damage goes aside first; they are appended after it.
            held = journal_->lock(deadline);
        } else {
            *keptFailed = true;
            return held;
        }
    }
    if (held != 0) return held;
    if (const int error = journal_->read(records)) {
        journal_->unlock();
        return error;
    }
    return 0;
}

// What the journal holds is unknown, so nothing is written or removed: a
// list written now could miss its changes, or be undone by them later. An
// object that has not read the list yet reads it, so the domain is what is
// stored, not empty.
int UserDefaults::journalUnreadLocked(int error) {
    if (!listRead_) readListLocked();
    lastWriteError_ = error == defaultsJournal::Journal::kBusy ? fileError(EWOULDBLOCK, journal_->path(), false, "lock")
                                                               : fileError(error, journal_->path(), false, "read");
    if (error != journalReadError_) {
        logLine(format("UserDefaults: cannot read %s (%s); %s is read alone, and nothing is folded until the journal "
                       "reads.",
                       journal_->path().c_str(), describe(error).c_str(), path_.c_str()));
    }
    journalReadError_ = error;
    return error;
}

int UserDefaults::foldJournaled(const defaultsJournal::Deadline& deadline, FoldBy by) {
    Data records;
    bool keptFailed = false;
    const int held = takeJournal(deadline, &records, &keptFailed);
    if (!lockOwn(by == FoldBy::Ending, deadline)) {
        journal_->unlock();
        return defaultsJournal::Journal::kBusy;
    }
    std::unique_lock lock(mutex_, std::adopt_lock);
    if (keptFailed) {
        noteAppendedLocked(true, held, nullptr);
        return held;
    }
    // A timed fold that finds the lock busy is timed again, and says
    // nothing: another fold is under way.
    if (held == defaultsJournal::Journal::kBusy && by == FoldBy::Timer) return held;
    if (held != 0 && held != ENOENT) return journalUnreadLocked(held);
    journalReadError_ = 0;
    // The list when it changed, else what this object holds: the journal
    // has every change made since this object last read the list, and
    // replaying one it already applied gives the same value.
    const bool overTheList = !unjournaled_ && readListLocked();
    const defaultsJournal::Replayed replayed = defaultsJournal::replay(records, &persistent_);
    if (replayed.ending == defaultsJournal::Ending::Torn) {
        logLine(format("UserDefaults: %s ends in a torn record of %zu bytes after %zu changes (a write cut short); it "
                       "is dropped.",
                       journal_->path().c_str(), records.size() - replayed.soundBytes, replayed.records));
    }
    // A list that could not be read would lose what it holds if written
    // over, and the journal holds changes not in it: the replay above is
    // this object's view only, and the journal stays for a fold that reads
    // the list.
    if (listReadError_) {
        journal_->unlock();
        return kListNotRead;
    }
    // A journal of changes that change nothing (a removal of a key nobody
    // stored, a value set again) is removed without rewriting the list.
    // Over what this object holds, its own changes are there already and
    // count if they changed it; over a damaged list, nothing is on disk yet.
    const bool write = unjournaled_ || replayed.changed || (ownChanges_ && !overTheList) ||
                       (fileWasCorrupt_ && !records.empty());
    bool ok = true;
    if (write || held == 0) {
        StoreWrite guard(foldName_.c_str());
        if (guard.failure()) {
            lastWriteError_ = fileError(guard.failure(), path_, true, "write");
            logLine(format("UserDefaults: cannot write %@", lastWriteError_));
            ok = false;
        }
        if (ok && write) ok = replayed.cleared && persistent_.empty() ? removeListLocked() : writeListLocked();
        if (ok && held == 0) ok = retireJournalLocked(replayed, records.size());
    }
    journal_->unlock();
    if (!ok) return kListNotWritten;
    dirty_ = ownChanges_ = unjournaled_ = false;
    if (!pending_.empty()) {
        // Behind a journal set aside: they go to the one that follows.
        const int error = journal_->append(pending_, deadline);
        if (error == 0) {
            pending_.clear();
            pendingChanges_ = 0;
        }
        noteAppendedLocked(true, error, nullptr);
        return error;
    }
    return 0;
}

// Once the list holds what the journal's sound records say: a crash before
// this replays them again. A damaged journal goes aside rather than away.
bool UserDefaults::retireJournalLocked(const defaultsJournal::Replayed& replayed, size_t journalBytes) {
    const int failure = storeWrites::point(journalRemovedName_.c_str());
    if (replayed.ending != defaultsJournal::Ending::Damaged) {
        if (const int error = failure ? failure : journal_->remove()) {
            // Harmless: the next fold replays it over this list again.
            logLine(format("UserDefaults: cannot remove %@", fileError(error, journal_->path(), true, "remove")));
        }
        return true;
    }
    ErrorRef error;
    const auto aside = failure ? std::nullopt : journal_->setAside(&error);
    if (failure) error = fileError(failure, journal_->path(), true, "set aside");
    if (!aside) {
        lastWriteError_ = error;
        logLine(format("UserDefaults: cannot set aside the damaged %s: %@", journal_->path().c_str(), error));
        return false;
    }
    logLine(format("UserDefaults: %s is damaged after %zu sound changes (a record in its last %zu bytes does not "
                   "read); they are kept in %s, and the journal is set aside as %s.",
                   journal_->path().c_str(), replayed.records, journalBytes - replayed.soundBytes, path_.c_str(),
                   aside->c_str()));
    return true;
}

bool UserDefaults::lockOwn(bool ending, const defaultsJournal::Deadline& deadline) {
    if (ending) return lockBefore(mutex_, deadline);
    mutex_.lock();
    return true;
}

bool UserDefaults::setAsideDamagedListLocked() {
    if (!fileWasCorrupt_) return true;
    // Two damaged files within one second keep both: an earlier copy is
    // never replaced.
    FileManager files;
    ErrorRef moveError;
    const auto aside =
        files.setAside(path_, &moveError, format(".corrupt-%lld", static_cast<long long>(Clock::nowSeconds())));
    if (aside || !files.fileExists(path_)) {
        logLine(format("UserDefaults: the unreadable %s was moved to %s.", path_.c_str(),
                       aside ? aside->c_str() : "nowhere (it is gone)"));
        fileWasCorrupt_ = false;
        return true;
    }
    lastWriteError_ = moveError;
    logLine(format("UserDefaults: not writing %@", lastWriteError_));
    return false;
}

bool UserDefaults::writeListLocked() {
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
    if (!setAsideDamagedListLocked()) return false;
    if (!files.writeData(path_, bytes, &error)) {
        lastWriteError_ = error;
        logLine(format("UserDefaults: cannot write %@", error));
        return false;
    }
    lastWriteError_ = nullptr;
    stamp_ = stampOf(path_);
    return true;
}

// The list of a domain cleared: a damaged one is kept aside, a sound one
// removed.
bool UserDefaults::removeListLocked() {
    if (!setAsideDamagedListLocked()) return false;
    const int failure = storeWrites::point(listRemovedName_.c_str());
    FileManager files;
    ErrorRef error;
    if (failure) error = fileError(failure, path_, true, "remove");
    if (failure || (files.fileExists(path_) && !files.removeItem(path_, &error))) {
        lastWriteError_ = error;
        logLine(format("UserDefaults: cannot remove %@", error));
        return false;
    }
    stamp_ = Stamp{};
    lastWriteError_ = nullptr;
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
    // The one-pair list is both the check and the journal record's body.
    ErrorRef recordError;
    const Data pair = value.isNull()
                          ? Data()
                          : plist::serialize(Value(Dictionary{{key, value}}), plist::Format::Binary, &recordError);
    if (!value.isNull() && pair.empty() && recordError && recordError->domain() == kCocoaErrorDomain &&
        recordError->code() == plist::kWriteInvalidError) {
        // The value itself has no property-list form (a date out of range,
        // a string that is not UTF-8): refuse it now, while the caller is
        // there to hear it, and keep what was stored.
        throw Exception(kInvalidArgumentException,
                        format("Attempt to insert non-property list object for key %s: %s", key.c_str(),
                               recordError->localizedDescription().c_str()));
    }
    // No list holds such a key, so there is nothing to remove.
    if (value.isNull() && !defaultsJournal::keyAListCanHold(key)) return;
    // A removal is journaled even when this object holds no such key:
    // another object or process may have stored it.
    const Data record = value.isNull()   ? defaultsJournal::removeRecord(key)
                        : pair.empty() ? Data()
                                       : defaultsJournal::setRecord(pair);
    // Held before the object's locks: a write stopped at the program's end
    // must hold nothing the end's own fold needs. The journal's lock is
    // waited for with only the journal's own mutex held, so readers and the
    // endings never wait on another process through this call.
    StoreWrite guard(appendName_.c_str());
    std::lock_guard journalLock(journalMutex_);
    const int error = record.empty()     ? 0
                      : guard.failure() ? failedAppend(record, guard.failure())
                                        : appendJournaled(record, defaultsJournal::Deadline::after(kLockWaitSeconds));
    std::lock_guard lock(mutex_);
    if (value.isNull()) {
        if (persistent_.erase(key) > 0) ownChanges_ = true;
    } else {
        auto it = persistent_.find(key);
        if (it == persistent_.end() || !defaultsJournal::identical(it->second, value)) {
            persistent_.insert_or_assign(key, value);
            ownChanges_ = true;
        }
    }
    noteAppendedLocked(!record.empty(), error, recordError);
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

// The clear record goes first, so a crash at any later step still clears;
// the journal's lock is held from it to the journal's removal, so no change
// made meanwhile is cleared with the rest.
void UserDefaults::removePersistentDomain() {
    StoreWrite guard(appendName_.c_str());
    std::lock_guard journalLock(journalMutex_);
    const int appended =
        guard.failure()
            ? failedAppend(defaultsJournal::clearRecord(), guard.failure())
            : appendJournaled(defaultsJournal::clearRecord(), defaultsJournal::Deadline::after(kLockWaitSeconds), true);
    std::lock_guard lock(mutex_);
    persistent_.clear();
    bool ok = false;
    if (appended == 0) {
        StoreWrite fold(foldName_.c_str());
        if (fold.failure()) {
            lastWriteError_ = fileError(fold.failure(), path_, true, "remove");
            logLine(format("UserDefaults: cannot remove %@", lastWriteError_));
        }
        ok = !fold.failure() && removeListLocked();
        if (ok) {
            const int failure = storeWrites::point(journalRemovedName_.c_str());
            ok = failure == 0 && journal_->remove() == 0;
        }
    }
    journal_->unlock();
    if (ok) {
        dirty_ = ownChanges_ = unjournaled_ = false;
        return;
    }
    // What failed is done again at the next fold: replaying the clear, which
    // is in the journal or first among the changes kept for it.
    noteAppendedLocked(true, appended, nullptr);
}

bool UserDefaults::synchronize() {
    std::lock_guard journalLock(journalMutex_);
    const int folded = foldJournaled(defaultsJournal::Deadline::after(kLockWaitSeconds), FoldBy::Call);
    std::lock_guard lock(mutex_);
    return folded == 0 && !fileWasCorrupt_ && !lastWriteError_;
}

ErrorRef UserDefaults::lastWriteError() const {
    std::lock_guard lock(mutex_);
    return lastWriteError_;
}

ErrorRef UserDefaults::readError() const {
    std::lock_guard lock(mutex_);
    if (listReadError_) return listReadError_;
    if (journalReadError_ == 0) return nullptr;
    return journalReadError_ == defaultsJournal::Journal::kBusy
               ? fileError(EWOULDBLOCK, journal_->path(), false, "lock")
               : fileError(journalReadError_, journal_->path(), false, "read");
}

}  // namespace ns
