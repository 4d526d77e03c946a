// User defaults whose journal cannot be had: one that cannot be opened
// leaves the list read and nothing rewritten or removed, and one whose lock
// another process holds and never lets go (stopped inside a fold) costs a
// change, a fold and an ending their deadline, never their end: a change
// is kept in memory and appended once the lock comes free, and what an
// ending cannot fold stays in the journal for the next open.
//
// The lock is held by a forked process that only opens the journal, takes
// its flock and waits to be killed. Waits on ns::Clock are ended by
// advancing a virtual clock; an ending waits in real time, as it must
// whatever clock is installed.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/child_process.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::Dictionary;
using ns::UserDefaults;
using ns::Value;
namespace fs = std::filesystem;

std::string journalOf(const std::string& list) { return list + ".journal"; }

// A process holding the lock of the file at `path` (made when missing)
// until it is released or this object goes.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
            if (::write(ready[1], "x", 1) != 1) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char c = 0;
        held_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    void release() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

// Runs `call` on a thread of its own and, until it returns, `meanwhile`
// (which advances a virtual clock, or does nothing). A call still waiting
// after a minute has failed: a watchdog releases the lock holder, which
// lets it (and a `meanwhile` stuck behind it) return so the test can end.
bool returnsWhileHeld(LockHolder& holder, const std::function<void()>& call, const std::function<void()>& meanwhile) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool gaveUp = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::minutes(1), [&] { return done; })) gaveUp = true;
        lock.unlock();
        holder.release();
    });
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        call();
        returned = true;
    });
    while (!returned) {
        meanwhile();
        std::this_thread::yield();
    }
    caller.join();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    changed.notify_all();
    watchdog.join();
    return !gaveUp;
}

// ---- a journal that cannot be opened ----

// What stands where a store's file should be, so that it cannot be read.
struct Obstacle {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* why;  // strerror's text
};

std::vector<Obstacle> pathObstacles() {
    return {
        {"a folder at its path", [](const std::string& path) { fs::create_directory(path); }, std::strerror(EISDIR)},
        {"a link to itself at its path", [](const std::string& path) { fs::create_symlink(path, path); },
         std::strerror(ELOOP)},
    };
}

// The domain "unreadable" holding `stored`, folded into its list; the
// list's path.
std::string seededList(ns::testing::TempSandbox& temp, const Dictionary& stored) {
    {
        UserDefaults seed("unreadable", temp.sandbox());
        for (const auto& [k, v] : stored) seed.setObject(v, k);
        EXPECT_TRUE(seed.synchronize());
    }
    return temp.sandbox()->preferencesPath() + "/unreadable.plist";
}

TEST(UserDefaultsLocks, AJournalThatCannotBeOpenedLeavesTheListReadAndUnwritten) {
    auto clock = ns::VirtualClock::install();
    std::vector<Obstacle> obstacles = pathObstacles();
    if (::geteuid() != 0) {
        // The superuser opens a file of mode 000 anyway.
        obstacles.push_back({"a journal of mode 000",
                             [](const std::string& path) {
                                 ASSERT_TRUE(ns::FileManager().writeData(path, ns::Data{}));
                                 fs::permissions(path, fs::perms::none);
                             },
                             std::strerror(EACCES)});
    }
    const Dictionary stored{{"logged", "1"}, {"session", "kept"}};
    for (const Obstacle& o : obstacles) {
        SCOPED_TRACE(o.name);
        ns::testing::TempSandbox temp;
        const std::string list = seededList(temp, stored);
        const ns::Data listBytes = *ns::FileManager().readData(list);
        o.make(journalOf(list));

        auto log = ns::SystemLog::capture();
        UserDefaults opened("unreadable", temp.sandbox());
        EXPECT_EQ(opened.persistentDomain(), stored) << "the domain is the list, not empty";
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(journalOf(list)) != std::string::npos && line.find(o.why) != std::string::npos;
        })) << "a line names the journal and why it cannot be read";

        // A change is kept in memory and reported; nothing on disk changes.
        opened.setString("0", "logged");
        EXPECT_EQ(opened.stringForKey("logged"), "0");
        EXPECT_NE(opened.lastWriteError(), nullptr);
        EXPECT_FALSE(opened.synchronize());
        EXPECT_EQ(ns::FileManager().readData(list), listBytes) << "the list is not rewritten from a partial view";
        EXPECT_TRUE(fs::is_symlink(journalOf(list)) || fs::exists(journalOf(list))) << "the journal is not removed";

        // Once the journal can be opened, the change kept joins the list.
        if (!fs::is_symlink(journalOf(list))) fs::permissions(journalOf(list), fs::perms::owner_all);
        fs::remove_all(journalOf(list));
        EXPECT_TRUE(opened.synchronize());
        UserDefaults fresh("unreadable", temp.sandbox());
        EXPECT_EQ(fresh.persistentDomain(), (Dictionary{{"logged", "0"}, {"session", "kept"}}));
    }
}

// A list that cannot be read now is not damaged and not empty: it is kept,
// named, reported, and nothing is written over it until it reads again.
TEST(UserDefaultsLocks, AListThatCannotBeReadIsKeptAndNothingIsWrittenOverItUntilItReads) {
    auto clock = ns::VirtualClock::install();
    const Dictionary stored{{"logged", "1"}, {"session", "kept"}};
    for (const Obstacle& o : pathObstacles()) {
        SCOPED_TRACE(o.name);
        ns::testing::TempSandbox temp;
        const std::string list = seededList(temp, stored);
        const ns::Data listBytes = *ns::FileManager().readData(list);
        fs::remove(list);
        o.make(list);

        auto log = ns::SystemLog::capture();
        UserDefaults opened("unreadable", temp.sandbox());
        ASSERT_NE(opened.readError(), nullptr) << "the failed read is reported";
        EXPECT_NE(opened.readError()->localizedDescription().find(list), std::string::npos);
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(list) != std::string::npos && line.find(o.why) != std::string::npos;
        })) << "a line names the list and why it cannot be read";

        opened.setString("0", "logged");
        EXPECT_EQ(opened.stringForKey("logged"), "0");
        EXPECT_FALSE(opened.synchronize());
        clock->advance(60);
        EXPECT_TRUE(fs::is_symlink(list) || fs::is_directory(list)) << "nothing is written over the list";
        EXPECT_TRUE(fs::exists(journalOf(list))) << "the change waits in its journal";
        for (const auto& entry : fs::directory_iterator(temp.sandbox()->preferencesPath())) {
            EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos) << "set aside as damaged";
        }

        // Once the list reads again, the change joins it and nothing is lost.
        fs::remove(list);
        ASSERT_TRUE(ns::FileManager().writeData(list, listBytes));
        EXPECT_TRUE(opened.synchronize());
        EXPECT_EQ(opened.readError(), nullptr);
        UserDefaults fresh("unreadable", temp.sandbox());
        EXPECT_EQ(fresh.persistentDomain(), (Dictionary{{"logged", "0"}, {"session", "kept"}}));
    }
}

// ---- a lock held elsewhere ----

// A change whose append cannot have the lock before its deadline returns,
// kept in memory and reported, and is appended, before any later change,
// once the lock comes free: at the next change or at the next fold.
TEST(UserDefaultsLocks, AChangeWhoseLockIsHeldElsewhereReturnsAndIsAppendedOnceItComesFree) {
    auto clock = ns::VirtualClock::install();
    const struct {
        const char* name;
        std::function<void(UserDefaults&)> afterRelease;
        Dictionary expected;
    } cases[] = {
        {"the next change", [](UserDefaults& d) { d.setInteger(8, "next"); },
         {{"early", 1}, {"late", 7}, {"next", 8}}},
        {"the next fold", [](UserDefaults& d) { EXPECT_TRUE(d.synchronize()); }, {{"early", 1}, {"late", 7}}},
        {"a later change of the same key", [](UserDefaults& d) { d.setInteger(9, "late"); },
         {{"early", 1}, {"late", 9}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        UserDefaults d("held", temp.sandbox());
        d.setInteger(1, "early");
        LockHolder holder(journalOf(d.path()));
        ASSERT_TRUE(holder.held());

        auto log = ns::SystemLog::capture();
        EXPECT_TRUE(returnsWhileHeld(
            holder, [&] { d.setInteger(7, "late"); }, [&] { clock->advance(0.25); }))
            << "the change waited for the lock past its deadline";
        EXPECT_EQ(d.integerForKey("late"), 7) << "kept in memory";
        EXPECT_NE(d.lastWriteError(), nullptr);
        EXPECT_TRUE(log.contains(journalOf(d.path())));

        c.afterRelease(d);
        // Read as the next process reads it, with no fold of this object.
        UserDefaults fresh("held", temp.sandbox());
        EXPECT_EQ(fresh.persistentDomain(), c.expected);
    }
}

// The application's termination and the program's end fold through
// flushAllPending: with the journal's lock held elsewhere it gives up at
// its deadline, says which journal was left, and the change that journal
// holds is there for the next open.
TEST(UserDefaultsLocks, AnEndingGivesUpOnAJournalLockedElsewhereAndTheJournalKeepsTheChange) {
    auto clock = ns::VirtualClock::install();
    ns::testing::TempSandbox temp;
    UserDefaults d("ending", temp.sandbox());
    d.setString("journaled", "state");
    LockHolder holder(journalOf(d.path()));
    ASSERT_TRUE(holder.held());

    auto log = ns::SystemLog::capture();
    EXPECT_TRUE(returnsWhileHeld(holder, [] { UserDefaults::flushAllPending(); }, [] {}))
        << "the ending waited on another process";
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(journalOf(d.path())) != std::string::npos && line.find("not folded") != std::string::npos;
    })) << "a line names the journal left unfolded";
    EXPECT_FALSE(fs::exists(d.path())) << "the list was not written";

    UserDefaults fresh("ending", temp.sandbox());
    EXPECT_EQ(fresh.stringForKey("state"), "journaled");
}

constexpr const char* kExitSandboxEnv = "ALMAVEL_DEFAULTS_EXIT_SANDBOX";

// The exit handler's fold, in a process of its own whose journal another
// process holds: the process ends, and its change is in the journal.
TEST(UserDefaultsLocks, AProcessExitsWhileAnotherHoldsItsJournalAndTheChangeIsKept) {
    ns::testing::TempSandbox temp;
    const std::string errors = temp.root() + "/second-stderr";
    EXPECT_EQ(ns::testing::runThisTestAgain("UserDefaultsLocksSecondProcess.ExitsWithItsJournalHeld",
                                            {{kExitSandboxEnv, temp.root()}}, errors, 120),
              0)
        << "the process did not end by itself";
    ASSERT_TRUE(fs::exists(temp.root() + "/second-ran"));
    const auto text = ns::FileManager().readData(errors);
    ASSERT_TRUE(text);
    const std::string said(text->begin(), text->end());
    const std::string list = temp.sandbox()->preferencesPath() + "/exiting.plist";
    EXPECT_NE(said.find(journalOf(list) + " was not folded"), std::string::npos) << said;

    UserDefaults fresh("exiting", temp.sandbox());
    EXPECT_EQ(fresh.integerForKey("journaled"), 1);
}

// The second process of the test above: skipped unless started by it. Its
// object and clock stay to the exit handler, which folds them; the clock
// keeps a timed fold from doing it first.
TEST(UserDefaultsLocksSecondProcess, ExitsWithItsJournalHeld) {
    const char* root = std::getenv(kExitSandboxEnv);
    if (!root) GTEST_SKIP() << "runs only as the second process of another test";
    static ns::VirtualClock* clock = ns::VirtualClock::install().release();
    static UserDefaults* defaults = new UserDefaults("exiting", ns::Sandbox::open(root));
    (void)clock;
    defaults->setInteger(1, "journaled");
    static LockHolder* holder = new LockHolder(journalOf(defaults->path()));
    ASSERT_TRUE(holder->held());
    ASSERT_TRUE(ns::FileManager().writeData(std::string(root) + "/second-ran", ns::Data{}));
}

}  // namespace
