// The store under failing storage: an SQLite VFS registered as the default
// for the test wraps the system's and fails writes, syncs, reads, locks or
// opens on demand with the code a test picks.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <functional>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "platform/file_manager.h"
#include "store_test_support.h"

namespace {

// What fails, and how. A count is how many calls still succeed (-1: all).
struct Faults {
    int writesLeft = -1, writeError = SQLITE_IOERR_WRITE;
    int syncsLeft = -1, syncError = SQLITE_IOERR_FSYNC;
    int readsLeft = -1, readError = SQLITE_IOERR_READ;
    int locksLeft = -1, lockError = SQLITE_BUSY;
    int opensLeft = -1;  // of main database files
};
Faults faults;

bool trips(int& left) {
    if (left < 0) return false;
    if (left == 0) return true;
    --left;
    return false;
}

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;  // the system VFS's file, stored right after this struct
};
sqlite3_vfs* systemVfs = nullptr;

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
const sqlite3_io_methods kShimMethods = {
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

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
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

class StoreFaultsTest : public storetest::StoreTest {
protected:
    std::string path() {
        return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Caches) + "/faults.sql";
    }
    int64_t rows(QRVASqliteStore& store) {
        ns::ErrorRef error;
        return store.rowCountForTableWithName("t", &error).value_or(-1);
    }
    FaultyStorage storage_;
};

TEST_F(StoreFaultsTest, EveryStorageFailureIsReportedAndTheStoreCarriesOn) {
    auto store = QRVASqliteStore::initWithDatabasePath(path());
    ASSERT_TRUE(store);
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "BLOB"}}, {}, &error));
    const struct {
        const char* what;
        std::function<void()> arm;
        int logged;  // a code the failure logs
    } cases[] = {
        // Busy at commit leaves SQLite's transaction open: it is rolled back.
        {"busy at commit", [] { faults.syncsLeft = 0, faults.syncError = SQLITE_BUSY; }, 34023},
        {"I/O error at commit", [] { faults.syncsLeft = 0; }, 34012},
        {"disk full while writing", [] { faults.writesLeft = 0, faults.writeError = SQLITE_FULL; }, 34010},
        {"I/O error after one write", [] { faults.writesLeft = 1; }, 34010},
        {"locked at begin", [] { faults.locksLeft = 0; }, 34008},
    };
    int64_t committed = 0;
    for (const auto& c : cases) {
        capture_.clear();
        c.arm();
        EXPECT_FALSE(store->performTransaction([&] {
            return store->upsertRecord({{"a", ns::Data(20000, 'x')}}, "t", &error);
        })) << c.what;
        EXPECT_TRUE(logged(c.logged)) << c.what;
        faults = {};
        EXPECT_TRUE(sqlite3_get_autocommit(store->sqliteHandle())) << c.what;
        EXPECT_EQ(rows(*store), committed) << c.what;
        // Transactions begin again, and what they commit stays.
        EXPECT_TRUE(store->performTransaction([&] { return store->upsertRecord({{"a", 1}}, "t", &error); })) << c.what;
        EXPECT_EQ(rows(*store), ++committed) << c.what;
    }

    // Outside a transaction: the statement's own failure, code 3.
    faults.writesLeft = 0, faults.writeError = SQLITE_FULL;
    error = nullptr;
    EXPECT_FALSE(store->upsertRecord({{"a", 2}}, "t", &error));
    EXPECT_STORE_ERROR(error, 3,
                       "Database operation \"upsert record\" failed with sqlite code 13 and error message \"database "
                       "or disk is full\"");
    faults = {};
    EXPECT_TRUE(store->upsertRecord({{"a", 2}}, "t", &error));
    EXPECT_EQ(rows(*store), committed + 1);
}

TEST_F(StoreFaultsTest, AReadThatFailsPartWayIsAnErrorAndNotAShortAnswer) {
    auto store = QRVASqliteStore::initWithDatabasePath(path());
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "BLOB"}}, {}, &error));
    ASSERT_TRUE(store->performTransaction([&] {
        for (int i = 0; i < 60; ++i) {
            if (!store->upsertRecord({{"a", ns::Data(900, uint8_t(i))}}, "t", &error)) return false;
        }
        return true;
    }));
    // Another writer changes the file, so the store's page cache is dropped
    // and the query reads its pages from storage as it goes.
    storetest::RawDatabase(path()).exec("CREATE TABLE other (b)");
    auto read = store->recordsForQuery("SELECT a FROM t", {}, &error, [](size_t index, const QRVASqliteRow&) {
        if (index == 0) faults.readsLeft = 0;
        return true;
    });
    faults = {};
    EXPECT_EQ(read, std::nullopt);
    EXPECT_EQ(storetest::describe(error).substr(0, 48), "3 Database operation \"query records\" failed with");
    EXPECT_EQ(store->recordsForQuery("SELECT a FROM t", {}, &error)->size(), 60u);
}

TEST_F(StoreFaultsTest, ADamagedFileIsRecreatedOnceAndNotAtAllWhenThatFailsToo) {
    std::string file = QRVAFilePathForDatabaseName(kQRVADatabaseFileName);
    const auto& files = ns::FileManager::defaultManager();
    files.createDirectory(file.substr(0, file.rfind('/')), true);
    // A table whose page has its cell pointers overwritten.
    auto damage = [&] {
        QRVASqliteStore::deleteDatabaseFiles(file, nullptr);
        storetest::RawDatabase(file).exec("CREATE TABLE t (a); INSERT INTO t VALUES (randomblob(3000));");
        auto bytes = *files.readData(file);
        std::fill(bytes.begin() + 4096 + 8, bytes.begin() + 4096 + 100, uint8_t(0x55));
        ASSERT_TRUE(files.writeData(file, bytes));
    };
    const auto open = &StoreFaultsTest::openDatabase;
    damage();
    // The damaged file opens, fails its check and is replaced; the second
    // opening fails too, so there is no store.
    faults.opensLeft = 1;
    EXPECT_EQ(open(), nullptr);
    EXPECT_TRUE(logged(34002));
    EXPECT_TRUE(logged(12001));
    faults = {};

    damage();
    auto database = open();
    ASSERT_TRUE(database);
    ns::ErrorRef error;
    EXPECT_EQ(database->sqliteStore()->tableExists("t", &error), false);
}

}  // namespace
