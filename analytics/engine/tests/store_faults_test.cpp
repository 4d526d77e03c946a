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

using storetest::faults;

class StoreFaultsTest : public storetest::StoreTest {
protected:
    std::string path() {
        return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Caches) + "/faults.sql";
    }
    int64_t rows(QRVASqliteStore& store) {
        ns::ErrorRef error;
        return store.rowCountForTableWithName("t", &error).value_or(-1);
    }
    storetest::FaultyStorage storage_;
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

// A sound file that cannot be read or written for now (another program's
// lock, an I/O error, a full disk, a file that opens read-only, no
// permission) is kept byte for byte where it is: no store this time, and
// nothing set aside.
TEST_F(StoreFaultsTest, AFileThatFailsForAnythingButDamageIsKeptAsItIs) {
    const std::string file = QRVAFilePathForDatabaseName(kQRVADatabaseFileName);
    const auto& files = ns::FileManager::defaultManager();
    const struct {
        const char* what;
        std::function<void()> arm;
    } cases[] = {
        {"locked elsewhere", [] { faults.locksLeft = 0, faults.lockError = SQLITE_BUSY; }},
        {"a lock that fails", [] { faults.locksLeft = 0, faults.lockError = SQLITE_IOERR_LOCK; }},
        {"a read that fails", [] { faults.readsLeft = 0, faults.readError = SQLITE_IOERR_READ; }},
        {"a file that cannot be opened", [] { faults.opensLeft = 0; }},
        {"a full disk", [] { faults.writesLeft = 0, faults.writeError = SQLITE_FULL; }},
        {"a read-only file", [] { faults.writesLeft = 0, faults.writeError = SQLITE_READONLY; }},
        {"a write that fails", [] { faults.writesLeft = 0, faults.writeError = SQLITE_IOERR_WRITE; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QRVASqliteStore::deleteDatabaseFiles(file, nullptr);
        ASSERT_TRUE(openDatabase());
        // The store writes at its start only for a layout it must finish: a
        // table of it is missing.
        ASSERT_TRUE(storetest::RawDatabase(file).exec("DROP TABLE purchase_transactions"));
        const auto before = files.readData(file);
        capture_.clear();
        c.arm();
        EXPECT_EQ(openDatabase(), nullptr);
        faults = {};
        EXPECT_TRUE(logged(34026));
        EXPECT_FALSE(logged(34024));
        EXPECT_EQ(files.readData(file), before);
        EXPECT_FALSE(files.fileExists(file + ".damaged"));
        EXPECT_TRUE(openDatabase()) << "and works once the storage does";
    }
}

}  // namespace
