// The writes of every store pass one gate: the program's end waits for the
// writes under way and lets none start after it, a crash test can end the
// process at any one of them, and what a write ended half-way leaves is
// gone once the next launch opens the sandbox. Each case that ends or
// closes something permanent runs in a forked child.

#include "platform/store_writes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/sandbox.h"

namespace {

namespace fs = std::filesystem;

class StoreWrites : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/almavel-writes-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // The names under the root, relative to it, files only.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            if (e.is_regular_file()) out.push_back(fs::relative(e.path(), root_).string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    void touch(const std::string& name, const std::string& content = "x") const {
        fs::create_directories(fs::path(root_ + "/" + name).parent_path());
        std::ofstream(root_ + "/" + name) << content;
    }

    std::string root_;
};

// How a child ended: its exit status, or minus its signal.
int endOf(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return 1000;
}

TEST(StoreWriteNames, TemporaryFilesAreToldFromStoredOnes) {
    struct Case {
        const char* name;
        std::optional<long> writer;
    };
    const Case cases[] = {
        {".keychain.plist.tmp-4242-aB3xYz", 4242},
        {".o-checkin.plist.tmp-1-000000", 1},
        {".almavel.plist.Xy12Ab", 0},        // the earlier layout names no writer
        {".keychain.plist.Qw9Er7", 0},
        {".keychain.plist.tmp-42-aB3xY", std::nullopt},  // five random letters
        {".keychain.plist.tmp-x2-aB3xYz", std::nullopt}, // no pid, and not the earlier layout
        {"keychain.plist.tmp-42-aB3xYz", std::nullopt},  // not hidden
        {".o-checkin.plist", std::nullopt},
        {"keychain.plist.lock", std::nullopt},
        {".Xy12Ab", std::nullopt},
        {".a.Xy1-Ab", std::nullopt},
        {"rmq2.sqlite-journal", std::nullopt},
        {"000005.ldb", std::nullopt},
        {"almavel.plist.corrupt-1700000000", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ns::abandonedTemporaryWriter(c.name), c.writer) << c.name;
}

TEST_F(StoreWrites, AWriteEndedPartWayLeavesNoFileOnceTheSandboxIsOpenedAgain) {
    ns::Sandbox::open(root_);
    const std::string keychain = root_ + "/Keychain/keychain.plist";
    touch("Keychain/keychain.plist", "old keychain");
    const auto before = files();
    // The first point is the write itself, before any byte; the second its
    // rename, with every byte in a temporary file.
    for (uint64_t point = 1; point <= 2; ++point) {
        const pid_t child = ::fork();
        if (child == 0) {
            ns::storeWrites::endAtWriteForTesting(ns::storeWrites::count() + point);
            ns::FileManager().writeData(keychain, ns::Data(4096, 's'), nullptr);
            ::_exit(0);
        }
        ASSERT_EQ(endOf(child), -SIGKILL) << point;
        std::ifstream in(keychain);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(content, "old keychain") << point;
        ns::Sandbox::open(root_);
        EXPECT_EQ(files(), before) << "after a write ended at its point " << point;
    }
    // A copy left by the earlier layout's writer goes too, wherever it lies.
    touch("Home/Library/Preferences/.almavel.plist.Xy12Ab");
    touch("Home/Documents/deep/er/.data.bin.tmp-999999-abcdef");
    ns::Sandbox::open(root_);
    EXPECT_EQ(files(), before);
}

TEST_F(StoreWrites, TemporariesOfWritersStillAliveAreKept) {
    const pid_t sleeper = ::fork();
    if (sleeper == 0) {
        for (;;) ::pause();
    }
    const std::string theirs = ".a.plist.tmp-" + std::to_string(sleeper) + "-abcdef";
    const std::string ours = ".b.plist.tmp-" + std::to_string(::getpid()) + "-abcdef";
    const std::string reused = ".c.plist.tmp-" + std::to_string(sleeper) + "-ghijkl";
    touch(theirs);
    touch(ours);
    touch(reused);
    // Written long before the live process with that id started: another
    // process, since ended, wrote it.
    const timespec old[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root_ + "/" + reused).c_str(), old, 0), 0);

    EXPECT_EQ(ns::removeAbandonedTemporaries(root_, false), 1u);
    EXPECT_EQ(files(), (std::vector<std::string>{theirs, ours}));

    ::kill(sleeper, SIGKILL);
    endOf(sleeper);
    EXPECT_EQ(ns::removeAbandonedTemporaries(root_, false), 1u);
    EXPECT_EQ(files(), std::vector<std::string>{ours});
}

TEST_F(StoreWrites, TheEndWaitsForWritesUnderWayAndNoneStartsAfterIt) {
    const std::string late = root_ + "/late";
    const pid_t child = ::fork();
    if (child == 0) {
        std::atomic<bool> held{false};
        std::atomic<bool> finished{false};
        std::thread writer([&] {
            ns::StoreWrite write("under way");
            held = true;
            // Long enough that an end which does not wait returns first.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            finished = true;
        });
        while (!held) std::this_thread::yield();
        ns::storeWrites::closeForExit(60);
        if (!finished) ::_exit(3);
        writer.join();
        // The ending thread's own writes, nested ones among them, still run.
        {
            ns::StoreWrite own("ending thread");
            ns::StoreWrite nested("nested");
        }
        std::thread([&] {
            ns::StoreWrite refused("after the end");
            std::ofstream(late) << "written";
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::_exit(0);
    }
    EXPECT_EQ(endOf(child), 0) << "3: the end did not wait for the write under way";
    EXPECT_FALSE(fs::exists(late)) << "a write began after the end";
}

TEST_F(StoreWrites, EveryWriteOfAStoreIsAPoint) {
    struct Case {
        const char* what;
        std::function<void()> write;
        uint64_t points;
    };
    ns::Keychain keychain(root_ + "/Keychain/keychain.plist", {});
    ns::FileWriteOptions inPlace;
    inPlace.atomically = false;
    const Case cases[] = {
        {"an atomic write and its rename", [&] { ns::writeFileAtomically(root_ + "/one", "1", 0600, nullptr); }, 2},
        {"a write in place", [&] { ns::FileManager().writeData(root_ + "/two", ns::Data{2}, nullptr, inPlace); }, 1},
        {"a move", [&] { ns::FileManager().moveItem(root_ + "/two", root_ + "/three", nullptr); }, 1},
        {"a file set aside", [&] { ns::FileManager().setAside(root_ + "/three", nullptr); }, 1},
        {"a keychain item added: the keychain's write, its file's and the rename",
         [&] {
             keychain.add({{ns::kSecClass, ns::kSecClassGenericPassword},
                           {ns::kSecAttrService, "s"},
                           {ns::kSecValueData, ns::Value(ns::Data{1})}});
         },
         3},
        {"a keychain read", [&] { keychain.copyMatching({{ns::kSecClass, ns::kSecClassGenericPassword}}); }, 0},
    };
    for (const Case& c : cases) {
        const uint64_t before = ns::storeWrites::count();
        c.write();
        EXPECT_EQ(ns::storeWrites::count() - before, c.points) << c.what;
    }
}

// Many threads write at once, each write one record in a file and, half of
// them, a second one after a nested point: the process that ends at its k-th
// write has made exactly the k-1 before it, whichever thread reached which.
TEST_F(StoreWrites, ACrashAtTheKthWriteEndsTheProcessWithExactlyTheWritesBeforeIt) {
    constexpr int kThreads = 12;
    constexpr int kRounds = 4;
    const std::string records = root_ + "/records";
    for (const uint64_t k : {1, 2, 3, 8, 29, 64, 150, 401}) {
        for (int round = 0; round < kRounds; ++round) {
            std::error_code ec;
            fs::remove(records, ec);
            const pid_t child = ::fork();
            if (child == 0) {
                const int fd = ::open(records.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
                std::atomic<bool> go{false};
                ns::storeWrites::endAtWriteForTesting(ns::storeWrites::count() + k);
                std::vector<std::thread> writers;
                for (int t = 0; t < kThreads; ++t) {
                    writers.emplace_back([&, t] {
                        while (!go) std::this_thread::yield();
                        for (;;) {
                            ns::StoreWrite write("record");
                            [[maybe_unused]] ssize_t n = ::write(fd, "w", 1);
                            if (t % 2 == 0) continue;
                            [[maybe_unused]] const int failure = ns::storeWrites::point("second record");
                            n = ::write(fd, "p", 1);
                        }
                    });
                }
                go = true;
                for (auto& writer : writers) writer.join();
                ::_exit(0);
            }
            ASSERT_EQ(endOf(child), -SIGKILL) << "k=" << k;
            EXPECT_EQ(fs::file_size(records), k - 1) << "the records made by a process ended at write " << k
                                                     << " (round " << round << ")";
        }
    }
}

// The k-th write fails as the call it stood for would have, with the errno
// the test names, and nothing of it is made; the writes after it are made.
TEST_F(StoreWrites, TheKthWriteFailsWithTheNamedErrorAndWritesNothing) {
    struct Case {
        const char* what;
        uint64_t point;  // which write of the call fails
        int error;
        std::function<int()> write;  // the errno the call reports, 0 when it succeeded
        std::string unchanged;       // the file the failed call leaves as it was
    };
    ns::Keychain keychain(root_ + "/Keychain/keychain.plist", {});
    ns::FileWriteOptions inPlace;
    inPlace.atomically = false;
    // The errno a file error carries, -1 when it carries none.
    auto errnoOf = [](const ns::ErrorRef& error) {
        const ns::ErrorRef underlying = error ? error->underlyingError() : nullptr;
        return underlying ? int(underlying->code()) : -1;
    };
    auto atomic = [&](const std::string& name) {
        return [&, name] {
            ns::AtomicWriteOptions options;
            options.mode = 0600;
            return ns::writeFileAtomically(root_ + "/" + name, "new", options).error;
        };
    };
    auto keychainAdd = [&] {
        const ns::OSStatus status = keychain.add({{ns::kSecClass, ns::kSecClassGenericPassword},
                                                  {ns::kSecAttrService, "s" + std::to_string(ns::storeWrites::count())},
                                                  {ns::kSecValueData, ns::Value(ns::Data{1})}});
        return status == ns::errSecSuccess ? 0 : status == ns::errSecIO ? EIO : -1;
    };
    const Case cases[] = {
        {"an atomic write", 1, EACCES, atomic("one"), "one"},
        {"an atomic write's rename", 2, ENOSPC, atomic("two"), "two"},
        {"an atomic write", 1, EIO, atomic("three"), "three"},
        {"a write in place", 1, ENOSPC,
         [&] {
             ns::ErrorRef error;
             const bool ok = ns::FileManager().writeData(root_ + "/four", ns::Data{'n'}, &error, inPlace);
             return ok ? 0 : errnoOf(error);
         },
         "four"},
        {"a move", 1, EACCES,
         [&] {
             ns::ErrorRef error;
             const bool ok = ns::FileManager().moveItem(root_ + "/five", root_ + "/six", &error) &&
                             ns::FileManager().moveItem(root_ + "/six", root_ + "/five", &error);
             return ok ? 0 : errnoOf(error);
         },
         "five"},
        {"a file set aside", 1, EIO,
         [&] {
             ns::ErrorRef error;
             const auto aside = ns::FileManager().setAside(root_ + "/seven", &error);
             if (aside) ns::FileManager().moveItem(*aside, root_ + "/seven", &error);
             return aside ? 0 : errnoOf(error);
         },
         "seven"},
        {"a keychain write", 1, EIO, keychainAdd, "Keychain/keychain.plist"},
        {"a keychain file's write", 2, EIO, keychainAdd, "Keychain/keychain.plist"},
        {"a keychain file's rename", 3, EIO, keychainAdd, "Keychain/keychain.plist"},
    };
    keychainAdd();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!fs::exists(root_ + "/" + c.unchanged)) touch(c.unchanged, "old");
        std::ifstream before(root_ + "/" + c.unchanged, std::ios::binary);
        const std::string was((std::istreambuf_iterator<char>(before)), {});
        ns::storeWrites::failAtWriteForTesting(ns::storeWrites::count() + c.point, c.error);
        EXPECT_EQ(c.write(), c.error);
        std::ifstream after(root_ + "/" + c.unchanged, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), was);
        EXPECT_EQ(c.write(), 0) << "the write after the failed one";
    }
    ns::storeWrites::failAtWriteForTesting(0, 0);
    for (const std::string& name : files()) {
        EXPECT_FALSE(ns::abandonedTemporaryWriter(fs::path(name).filename().string())) << "a failed write left " << name;
    }
}

// The k-th open of a store's file fails as open(2) would: the keychain's
// read reports the file unreadable and leaves it, and the next read finds
// what it holds.
TEST_F(StoreWrites, TheKthOpenOfAStoreFailsWithTheNamedErrorAndChangesNothing) {
    const std::string path = root_ + "/Keychain/keychain.plist";
    ns::Keychain writer(path, {});
    ASSERT_EQ(writer.add({{ns::kSecClass, ns::kSecClassGenericPassword},
                          {ns::kSecAttrService, "kept"},
                          {ns::kSecValueData, ns::Value(ns::Data{1})}}),
              ns::errSecSuccess);
    const ns::Dictionary query = {{ns::kSecClass, ns::kSecClassGenericPassword}, {ns::kSecAttrService, "kept"}};
    for (const int error : {EACCES, EIO, EBUSY}) {
        ns::Keychain reader(path, {});
        ns::storeWrites::failAtOpenForTesting(ns::storeWrites::openCount() + 1, error);
        EXPECT_EQ(reader.copyMatching(query), ns::errSecIO) << std::strerror(error);
        EXPECT_NE(reader.lastErrorMessage().find(std::strerror(error)), std::string::npos) << reader.lastErrorMessage();
        EXPECT_EQ(reader.copyMatching(query), ns::errSecSuccess) << "the open after the failed one";
    }
    ns::storeWrites::failAtOpenForTesting(0, 0);
    EXPECT_EQ(files(), (std::vector<std::string>{"Keychain/keychain.plist", "Keychain/keychain.plist.lock"}));
}

TEST(StoreWriteFailures, SQLiteStepsFailWithTheCodeSQLiteGivesForTheError) {
    struct Case {
        int error;
        int step;
        int open;
    };
    const Case cases[] = {
        {0, 0, 0},
        {EBUSY, 5 /* SQLITE_BUSY */, 5},
        {ENOSPC, 13 /* SQLITE_FULL */, 14 /* SQLITE_CANTOPEN */},
        {EIO, 10 /* SQLITE_IOERR */, 14},
        {EACCES, 10, 14},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ns::storeWrites::sqliteCodeFor(c.error), c.step) << c.error;
        EXPECT_EQ(ns::storeWrites::sqliteOpenCodeFor(c.error), c.open) << c.error;
    }
}

}  // namespace
