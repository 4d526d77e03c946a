// Another program in the way of the stores: a second process holding each
// SQLite store's read or write lock, or the user-defaults journal's lock,
// from before the program starts until after it has ended; and two
// programs run on one phone at once. Whatever another process holds, the
// program ends by SIGTERM with status 0 (at launch and in the middle of a
// flow), sets no sound store aside, and the next launch finds the phone as
// the crash-point tests do.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "phone_process.h"
#include "testing/sqlite_lock_holder.h"

namespace endingtest {
namespace {

using ns::testing::SqliteLock;
using ns::testing::SqliteLockHolder;

constexpr const char* kMessagingStore = "Home/Library/Application Support/Ondrix/QuorvaneMessaging/rmq2.sqlite";
constexpr const char* kStandardJournal = "Home/Library/Preferences/pa.almavel.asistente.plist.journal";

// The journal's lock (flock) held by a second process: this binary run
// again, only its holder test, which keeps the lock until it is ended.
class JournalLockHolder {
public:
    static constexpr const char* kFileEnv = "ALMAVEL_JOURNAL_LOCK_FILE";
    static constexpr const char* kHeldLine = "almavel journal lock held";

    explicit JournalLockHolder(const std::string& path) {
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        child_ = std::make_unique<ns::testing::ChildProcess>(ns::testing::ChildProcess::Options{
            .args = {self, "--gtest_filter=JournalLockHolderProcess.*"}, .env = {{kFileEnv, path}}});
        if (!child_->waitForLine([](const std::string& line) { return line == kHeldLine; }, kRunSeconds)) {
            throw std::runtime_error("the second process did not take the journal's lock: " + child_->errorOutput());
        }
    }
    ~JournalLockHolder() {
        child_->signal(SIGKILL);
        child_->wait(kRunSeconds);
    }
    JournalLockHolder(const JournalLockHolder&) = delete;
    JournalLockHolder& operator=(const JournalLockHolder&) = delete;

private:
    std::unique_ptr<ns::testing::ChildProcess> child_;
};

TEST(JournalLockHolderProcess, HoldsTheLockOfTheFileItIsGiven) {
    const char* path = std::getenv(JournalLockHolder::kFileEnv);
    if (!path) GTEST_SKIP() << "runs only as the second process of another test";
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::printf("\n%s\n", JournalLockHolder::kHeldLine);
    std::fflush(stdout);
    for (int i = 0; i < 600; ++i) ::sleep(1);
}

TEST(SqliteLockHolderProcess, HoldsTheLockItIsAskedFor) {
    if (!SqliteLockHolder::isChild()) GTEST_SKIP() << "runs only as the second process of another test";
    EXPECT_EQ(SqliteLockHolder::holdAsChild(), 0);
}

struct Holder {
    const char* name;
    const char* file;
    std::optional<SqliteLock> lock;  // none: the journal's flock
};

const Holder kHolders[] = {
    {"analytics store, read lock", kAnalyticsStore, SqliteLock::Read},
    {"analytics store, write lock", kAnalyticsStore, SqliteLock::Write},
    {"messaging store, read lock", kMessagingStore, SqliteLock::Read},
    {"messaging store, write lock", kMessagingStore, SqliteLock::Write},
    {"user-defaults journal", kStandardJournal, std::nullopt},
};

class ForeignLocks : public ::testing::Test {
protected:
    void SetUp() override { prepareStartingPhone(work_, {kLaunchOnly, kSignIn}, backends_, golden_, reportedBefore_); }
    void TearDown() override {
        if (HasFailure()) work_.keep();
    }

    // The next launch, with nothing in the way, after `at`.
    void expectNextLaunchWhole(const Phone& phone, const std::string& at, size_t batchesAtStart) {
        const Stores before = readStores(phone.copyTo(phone.root().string() + ".ended").root());
        const size_t batchesAtEnd = received(*backends_[0]).batches;
        const Outcome next = phone.play(kLaunchOnly);
        EXPECT_EQ(next.status, 0) << "the launch after " << at << "\n" << next.tail();
        checkLaunchAfter(at, before, next, phone.root(), *backends_[0], reportedBefore_, batchesAtStart, batchesAtEnd);
    }

    WorkFolder work_;
    std::vector<std::unique_ptr<ns::testing::Backend>> backends_;
    std::optional<Phone> golden_;
    FirstOpens reportedBefore_;
};

void PrintTo(const Holder& holder, std::ostream* out) { *out << holder.name; }

class ForeignLock : public ForeignLocks, public ::testing::WithParamInterface<Holder> {};

TEST_P(ForeignLock, TheProgramEndsBySigtermWithStatusZeroAndSetsNothingAside) {
    const Holder& holder = GetParam();
    int n = 0;
    for (const bool midFlow : {false, true}) {
        const std::string at = std::string(holder.name) + " held elsewhere, SIGTERM " +
                               (midFlow ? "in the middle of the flow" : "at launch");
        SCOPED_TRACE(at);
        const Phone phone = golden_->copyTo(work_.path() / ("p" + std::to_string(++n)));
        const size_t batchesAtStart = received(*backends_[0]).batches;
        {
            const std::string file = (phone.root() / holder.file).string();
            std::unique_ptr<SqliteLockHolder> sqlite;
            std::unique_ptr<JournalLockHolder> journal;
            if (holder.lock) {
                sqlite = std::make_unique<SqliteLockHolder>(file, *holder.lock);
            } else {
                journal = std::make_unique<JournalLockHolder>(file);
            }
            auto app = phone.start(kProductToResult);
            // Step 1's heading: the launch is over and the flow begun.
            if (midFlow) {
                int headings = 0;
                EXPECT_TRUE(app->waitForLine(
                    [&](const std::string& line) { return line.rfind("== ", 0) == 0 && ++headings == 2; },
                    kRunSeconds))
                    << app->output() << app->errorOutput();
            } else {
                // Once the program has blocked the ending signals, as it
                // does first: before that the loader's default ends it.
                const uint64_t ending = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGHUP - 1));
                for (auto blocked = app->blockedSignals(); blocked && (*blocked & ending) != ending;
                     blocked = app->blockedSignals()) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            }
            app->signal(SIGTERM);
            const int status = app->wait(kRunSeconds);
            EXPECT_EQ(status, 0) << "the program did not end as a normal end does\n"
                                 << app->output() << app->errorOutput();
        }
        expectNextLaunchWhole(phone, at, batchesAtStart);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, ForeignLock, ::testing::ValuesIn(kHolders), [](const auto& info) {
    std::string name;
    for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

// Two programs on one phone at once, as a second copy of the app started
// beside the first: both end with status 0 and neither takes a store the
// other holds for damaged.
class TwoProgramsOnOnePhone : public ForeignLocks, public ::testing::WithParamInterface<int> {};

TEST_P(TwoProgramsOnOnePhone, BothEndWithStatusZeroAndNothingIsSetAside) {
    constexpr int kRunsPerPart = 5;
    for (int run = 0; run < kRunsPerPart; ++run) {
        const std::string at = "two programs at once, run " + std::to_string(GetParam() * kRunsPerPart + run + 1);
        SCOPED_TRACE(at);
        const Phone phone = golden_->copyTo(work_.path() / ("p" + std::to_string(run)));
        const size_t batchesAtStart = received(*backends_[0]).batches;
        auto first = phone.start(kProductToResult);
        auto second = phone.start(kProductToResult);
        const int firstStatus = first->wait(kRunSeconds);
        const int secondStatus = second->wait(kRunSeconds);
        EXPECT_EQ(firstStatus, 0) << first->output() << first->errorOutput();
        EXPECT_EQ(secondStatus, 0) << second->output() << second->errorOutput();
        expectNextLaunchWhole(phone, at, batchesAtStart);
        if (HasFatalFailure()) return;
    }
}

// Twenty runs in parts, so that each part ends well within a test's time
// on loaded cores.
INSTANTIATE_TEST_SUITE_P(Parts, TwoProgramsOnOnePhone, ::testing::Range(0, 4));

}  // namespace
}  // namespace endingtest
