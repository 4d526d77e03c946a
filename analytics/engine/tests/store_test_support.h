#pragma once
// What the store tests share: a sandbox with a fresh monitor, the monitor's
// console lines, error checks, the analytics database opened in the sandbox
// (on the virtual clock, for the tests of what it stores), and raw SQLite
// access to look at a file from the side (or to make one in an older layout),
// and storage that fails on demand: an SQLite VFS registered as the default
// for a test wraps the system's and fails writes, syncs, reads, locks or
// opens with the code a test picks.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAPersistedConfig.h"
#include "monitor_lines.h"
#include "platform/clock.h"
#include "platform/system_log.h"
#include "sandboxed_test.h"

namespace storetest {

class StoreTest : public analyticstest::SandboxedTest {
protected:
    void SetUp() override { QRVAPersistedConfig::resetSharedForTesting(); }
    void TearDown() override { QRVAPersistedConfig::resetSharedForTesting(); }
    // Whether the monitor has logged the code so far.
    bool logged(int code) {
        analyticstest::flushToConsole();
        char text[16];
        std::snprintf(text, sizeof text, "[I-ACS%06d]", code);
        return capture_.contains(text);
    }
    // The analytics database in the sandbox, as the engine opens it.
    static std::shared_ptr<QRVADatabase> openDatabase() {
        return QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance());
    }

    ns::SystemLog::Capture capture_ = ns::SystemLog::capture();
};

// When the tests of an open database run.
inline constexpr double kNow = 1'700'000'000.0;

// The database opened before each test, the clock reading kNow.
class OpenDatabaseTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        database_ = openDatabase();
        ASSERT_TRUE(database_);
    }

    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install(kNow);
    std::shared_ptr<QRVADatabase> database_;
};

inline std::string describe(const ns::ErrorRef& error) {
    return error ? std::to_string(error->code()) + " " + error->localizedDescription() : "no error";
}

// The error's code and description, as "<code> <description>".
#define EXPECT_STORE_ERROR(error, code, description) \
    EXPECT_EQ(storetest::describe(error), std::to_string(code) + " " + (description))

// A plain connection on a file, for setting up and looking at it.
class RawDatabase {
public:
    explicit RawDatabase(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~RawDatabase() { sqlite3_close(db_); }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    sqlite3* handle() const { return db_; }
    bool exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
    // Every row of a query, columns as text ("NULL" for NULL), joined by "|".
    std::vector<std::string> rows(const std::string& sql) {
        std::vector<std::string> out;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return {"error"};
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                row += (i ? "|" : "") + std::string(text ? text : "NULL");
            }
            out.push_back(row);
        }
        sqlite3_finalize(statement);
        return out;
    }
    std::string value(const std::string& sql) {
        auto all = rows(sql);
        return all.empty() ? "" : all.front();
    }

private:
    sqlite3* db_ = nullptr;
};

// What fails, and how. A count is how many calls still succeed (-1: all).
struct Faults {
    int writesLeft = -1, writeError = SQLITE_IOERR_WRITE;
    int syncsLeft = -1, syncError = SQLITE_IOERR_FSYNC;
    int readsLeft = -1, readError = SQLITE_IOERR_READ;
    int locksLeft = -1, lockError = SQLITE_BUSY;
    int opensLeft = -1;  // of main database files
};
inline Faults faults;

inline bool trips(int& left) {
    if (left < 0) return false;
    if (left == 0) return true;
    --left;
    return false;
}

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;  // the system VFS's file, stored right after this struct
};
inline sqlite3_vfs* systemVfs = nullptr;

// A method of the system's file, called unless its fault counter trips.
template <auto Method, int Faults::*Left = nullptr, int Faults::*Code = nullptr>
struct Forward {
    template <class... A>
    static int call(sqlite3_file* file, A... arguments) {
        if constexpr (Left != nullptr) {
            if (trips(faults.*Left)) return faults.*Code;
        }
        sqlite3_file* real = reinterpret_cast<ShimFile*>(file)->real;
        return (real->pMethods->*Method)(real, arguments...);
    }
};
using M = sqlite3_io_methods;

// Version 1: no shared memory and no memory mapping, which a rollback
// journal does not need.
inline const sqlite3_io_methods kShimMethods = {
    1,
    Forward<&M::xClose>::call,
    Forward<&M::xRead, &Faults::readsLeft, &Faults::readError>::call,
    Forward<&M::xWrite, &Faults::writesLeft, &Faults::writeError>::call,
    Forward<&M::xTruncate>::call,
    Forward<&M::xSync, &Faults::syncsLeft, &Faults::syncError>::call,
    Forward<&M::xFileSize>::call,
    Forward<&M::xLock, &Faults::locksLeft, &Faults::lockError>::call,
    Forward<&M::xUnlock>::call,
    Forward<&M::xCheckReservedLock>::call,
    Forward<&M::xFileControl>::call,
    Forward<&M::xSectorSize>::call,
    Forward<&M::xDeviceCharacteristics>::call,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

inline int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    auto* shim = reinterpret_cast<ShimFile*>(file);
    shim->base.pMethods = nullptr;
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    if ((flags & SQLITE_OPEN_MAIN_DB) && trips(faults.opensLeft)) return SQLITE_CANTOPEN;
    int rc = systemVfs->xOpen(systemVfs, name, shim->real, flags, outFlags);
    if (rc == SQLITE_OK && shim->real->pMethods) shim->base.pMethods = &kShimMethods;
    return rc;
}

// Installed as the default VFS for the life of the object.
class FaultyStorage {
public:
    FaultyStorage() {
        systemVfs = sqlite3_vfs_find(nullptr);
        vfs_ = *systemVfs;
        vfs_.zName = "almavel-faulty";
        vfs_.szOsFile = int(sizeof(ShimFile)) + systemVfs->szOsFile;
        vfs_.xOpen = shimOpen;
        sqlite3_vfs_register(&vfs_, 1);
        faults = {};
    }
    ~FaultyStorage() {
        faults = {};
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(systemVfs, 1);
    }

private:
    sqlite3_vfs vfs_{};
};

}  // namespace storetest
