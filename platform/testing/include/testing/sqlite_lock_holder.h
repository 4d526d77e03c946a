#pragma once
// Another program holding a lock on an SQLite file, as a second process:
// the test binary run again (only its holder test) opens the file, takes the
// lock a test names and keeps it until it is ended, when the kernel drops
// it, as it does for a program that ends on the phone. The locks are POSIX
// advisory locks, so only another process holds them as the phone's other
// program would (a second connection in the same process shares them).
//
// Parent side:
//   ns::testing::SqliteLockHolder holder(path, ns::testing::SqliteLock::Write);
//   ... the code under test meets the lock ...
//   holder.release();
//
// Child side, once in each test binary that uses it:
//   TEST(SqliteLockHolderProcess, HoldsTheLockItIsAskedFor) {
//       if (!ns::testing::SqliteLockHolder::isChild()) GTEST_SKIP() << "second process only";
//       EXPECT_EQ(ns::testing::SqliteLockHolder::holdAsChild(), 0);
//   }
//
// Needs SQLite linked into the test binary.

#include <sqlite3.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "testing/child_process.h"

namespace ns::testing {

enum class SqliteLock {
    // BEGIN; a SELECT: a reader's shared lock, which keeps writers out.
    Read,
    // BEGIN IMMEDIATE: a writer's reserved lock, which lets readers in.
    Write,
    // BEGIN EXCLUSIVE: nobody else reads or writes.
    Exclusive,
};

inline const char* sqliteLockName(SqliteLock lock) {
    switch (lock) {
        case SqliteLock::Read:
            return "read";
        case SqliteLock::Write:
            return "write";
        case SqliteLock::Exclusive:
            return "exclusive";
    }
    return "?";
}

class SqliteLockHolder {
public:
    static constexpr const char* kFileEnv = "ALMAVEL_SQLITE_LOCK_FILE";
    static constexpr const char* kKindEnv = "ALMAVEL_SQLITE_LOCK_KIND";
    static constexpr const char* kHeldLine = "almavel sqlite lock held";

    // Returns once the second process holds the lock; throws when it could
    // not take it.
    SqliteLockHolder(const std::string& path, SqliteLock lock) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        child_ = std::make_unique<ChildProcess>(ChildProcess::Options{
            .args = {self, "--gtest_filter=SqliteLockHolderProcess.*"},
            .env = {{kFileEnv, path}, {kKindEnv, sqliteLockName(lock)}}});
        if (!child_->waitForLine([](const std::string& line) { return line == kHeldLine; }, 120)) {
            throw std::runtime_error("the second process did not take the lock: " + child_->output() +
                                     child_->errorOutput());
        }
    }
    ~SqliteLockHolder() { release(); }
    SqliteLockHolder(const SqliteLockHolder&) = delete;
    SqliteLockHolder& operator=(const SqliteLockHolder&) = delete;

    // Ends the second process; its lock goes with it.
    void release() {
        if (!child_) return;
        child_->signal(SIGKILL);
        child_->wait(60);
        child_.reset();
    }

    static bool isChild() { return std::getenv(kFileEnv) != nullptr; }

    // The child's part: takes the lock, says so on standard output, and
    // keeps it until the parent ends the process (at most ten minutes).
    // Non-zero when the lock could not be taken.
    static int holdAsChild() {
        const std::string path = std::getenv(kFileEnv);
        const std::string kind = std::getenv(kKindEnv) ? std::getenv(kKindEnv) : "";
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 1;
        const char* sql = kind == "read"    ? "BEGIN; SELECT count(*) FROM sqlite_master;"
                          : kind == "write" ? "BEGIN IMMEDIATE;"
                                            : "BEGIN EXCLUSIVE;";
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "lock not taken: %s\n", sqlite3_errmsg(db));
            return 2;
        }
        std::printf("\n%s\n", kHeldLine);
        std::fflush(stdout);
        for (int i = 0; i < 600; ++i) ::sleep(1);
        return 0;
    }

private:
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace ns::testing
