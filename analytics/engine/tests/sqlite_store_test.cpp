#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "analytics/QRVASqliteStore.h"
#include "platform/file_manager.h"
#include "platform/store_writes.h"
#include "store_test_support.h"

namespace {

using storetest::RawDatabase;

class SqliteStoreTest : public storetest::StoreTest {
protected:
    // In a folder that exists, so that a test can make the file first.
    std::string path(const std::string& name = "db.sql") {
        return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Caches) + "/" + name;
    }
    std::shared_ptr<QRVASqliteStore> open(const std::string& name = "db.sql") {
        return QRVASqliteStore::initWithDatabasePath(path(name));
    }
};

TEST_F(SqliteStoreTest, OpeningMakesTheFolderAndAnEmptyFileExcludedFromBackup) {
    std::string deep = path("a/b/db.sql");
    auto store = QRVASqliteStore::initWithDatabasePath(deep);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->isOpen());
    const auto& files = ns::FileManager::defaultManager();
    EXPECT_TRUE(files.fileExists(deep));
    EXPECT_TRUE(files.isExcludedFromBackup(deep));
    EXPECT_EQ(QRVASqliteStore::initWithDatabasePath(""), nullptr);
    EXPECT_TRUE(logged(34000));
}

TEST_F(SqliteStoreTest, TablesAreCreatedFromColumnLists) {
    auto store = open();
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}, {"b", "TEXT"}}, {}, &error));
    ASSERT_TRUE(store->ensureTableWithName(
        "pairs", {{"x", "INTEGER NOT NULL"}, {"y", "INTEGER NOT NULL"}, {kQRVAPrimaryKeyTag, "(x, y)"}}, {}, &error));
    RawDatabase raw(path());
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name='t'"), "CREATE TABLE t ( a INTEGER NOT NULL, b TEXT)");
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name='pairs'"),
              "CREATE TABLE pairs ( x INTEGER NOT NULL, y INTEGER NOT NULL, PRIMARY KEY (x, y))");
    EXPECT_EQ(store->columnsForTableWithName("pairs", &error), (std::vector<std::string>{"x", "y"}));

    const struct {
        std::string name;
        QRVAColumnInfo columns;
        QRVAColumnInfo addOn;
        const char* error;
    } refused[] = {
        {"", {{"a", "TEXT"}}, {}, "1 Received empty table name for ensure table"},
        {"u", {}, {}, "1 Received empty elementary column info for ensure table"},
        {"u", {{"a", ""}}, {}, "2 Failed to create statement for table"},
        {"u", {{"a", "TEXT"}}, {{"b", ""}}, "2 Failed to create alter statement for table"},
    };
    for (const auto& c : refused) {
        error = nullptr;
        EXPECT_FALSE(store->ensureTableWithName(c.name, c.columns, c.addOn, &error));
        EXPECT_EQ(storetest::describe(error), c.error);
    }
}

TEST_F(SqliteStoreTest, ExistingTablesGainAddOnColumnsAndRefuseUnknownRequiredOnes) {
    const struct {
        const char* existing;
        bool valid;
        const char* error;
        const char* columnsAfter;
    } cases[] = {
        {"CREATE TABLE t (a TEXT NOT NULL)", true, "no error", "a|b"},
        {"CREATE TABLE t (a TEXT NOT NULL, b INTEGER)", true, "no error", "a|b"},
        {"CREATE TABLE t (a TEXT NOT NULL, extra TEXT)", true, "no error", "a|extra|b"},
        {"CREATE TABLE t (a TEXT NOT NULL, extra TEXT NOT NULL)", false, "2 Table contains unknown non-optional columns",
         "a|extra|b"},
        {"CREATE TABLE t (z TEXT)", false, "2 Table is missing required columns", "z"},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string name = "case" + std::to_string(n++) + ".sql";
        RawDatabase(path(name)).exec(c.existing);
        auto store = open(name);
        ASSERT_TRUE(store) << c.existing;
        ns::ErrorRef error;
        EXPECT_EQ(store->ensureTableWithName("t", {{"a", "TEXT NOT NULL"}}, {{"b", "INTEGER"}}, &error), c.valid)
            << c.existing;
        EXPECT_EQ(storetest::describe(error), c.error) << c.existing;
        RawDatabase raw(path(name));
        std::string columns;
        for (const auto& row : raw.rows("SELECT name FROM pragma_table_info('t')")) columns += (columns.empty() ? "" : "|") + row;
        EXPECT_EQ(columns, c.columnsAfter) << c.existing;
    }
}

TEST_F(SqliteStoreTest, StatementsAreCachedOnlyWhenTheirTextCannotCarryValues) {
    auto store = open();
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER"}}, {}, &error));
    store->finalizeAndClearStatements();
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
    EXPECT_EQ(store->cachedStatementCountForTesting(), 1u);
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
    EXPECT_EQ(store->cachedStatementCountForTesting(), 1u);
    EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a = 5", {}, &error), 0);
    EXPECT_EQ(store->cachedStatementCountForTesting(), 1u);
    EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a = ?", {5}, &error), 0);
    EXPECT_EQ(store->cachedStatementCountForTesting(), 2u);
    EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a = ?", {}, &error), std::nullopt);
    EXPECT_STORE_ERROR(error, 1, "Received empty parameters");
}

TEST_F(SqliteStoreTest, RecordsAreWrittenAndReadByStorageClass) {
    auto store = open();
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"k", "TEXT PRIMARY KEY"}, {"v", "BLOB"}}, {}, &error));
    const struct {
        const char* key;
        ns::Value value;
        ns::Value read;  // null: the row has no entry
    } cases[] = {
        {"int", int64_t(5), int64_t(5)},
        {"bool", true, int64_t(1)},
        {"double", 5.0, 5.0},
        {"text", "ñ", "ñ"},
        {"data", ns::Data{1, 2}, ns::Data{1, 2}},
        {"null", ns::Value(), ns::Value()},
        {"empty data", ns::Data{}, ns::Value()},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(store->upsertRecord({{"k", c.key}, {"v", c.value}}, "t", &error)) << c.key;
        auto rows = store->recordsForQuery("SELECT v FROM t WHERE k = ?", {c.key}, &error);
        ASSERT_TRUE(rows && rows->size() == 1) << c.key;
        EXPECT_EQ(QRVARowValue(rows->front(), "v"), c.read) << c.key;
        EXPECT_EQ(rows->front().count("v"), std::string(c.key) == "empty data" ? 0u : 1u) << c.key;
    }
    EXPECT_TRUE(logged(34004));

    EXPECT_FALSE(store->upsertRecord({{"k", "date"}, {"v", ns::Date{1}}}, "t", &error));
    EXPECT_TRUE(logged(34020));
    EXPECT_FALSE(store->updateRecord({{"v", ns::Array{}}}, "t", "k", "int", &error));
    EXPECT_STORE_ERROR(error, 1, "Failed to bind parameter of unexpected type to update statement");
    EXPECT_TRUE(store->updateRecord({{"v", 7}}, "t", "k", "int", &error));
    EXPECT_EQ(store->numberForQuery("SELECT v FROM t WHERE k = 'int'", {}, &error), ns::Value(7));
}

TEST_F(SqliteStoreTest, QueriesAreCheckedFilteredAndFailLoudly) {
    auto store = open();
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER"}}, {}, &error));
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(store->upsertRecord({{"a", i}}, "t", &error));

    auto firstThree = store->recordsForQuery("SELECT a FROM t ORDER BY a", {}, &error,
                                             [](size_t index, const QRVASqliteRow&) { return index < 3; });
    ASSERT_TRUE(firstThree);
    ASSERT_EQ(firstThree->size(), 3u);
    EXPECT_EQ(QRVARowValue(firstThree->back(), "a"), ns::Value(2));
    EXPECT_EQ(store->recordsForQuery("SELECT a FROM t", {}, &error, [](size_t, const QRVASqliteRow&) { return false; })
                  ->size(),
              0u);
    EXPECT_TRUE(logged(34005));

    const struct {
        std::string query;
        const char* error;
    } refused[] = {
        {"update t set a = 1", "1 Received invalid select query"},
        {" SELECT a FROM t", "1 Received invalid select query"},
        {"SELECT a FROM t; SELECT 1", "1 Query contained more than one SQL statement."},
        {"SELECT missing FROM t", "3 Database operation \"prepare statement\" failed with sqlite code 1 and error "
                                  "message \"no such column: missing\""},
    };
    for (const auto& c : refused) {
        error = nullptr;
        EXPECT_EQ(store->recordsForQuery(c.query, {}, &error), std::nullopt) << c.query;
        EXPECT_EQ(storetest::describe(error), c.error) << c.query;
    }
    ASSERT_TRUE(error);
    std::string context = error->userInfo().at(kQRVAMonitorContextKey).asString();
    EXPECT_EQ(context.substr(0, context.rfind(',') + 1), "prepare statement,1,A,");

    // A statement that fails part-way is an error, not a short answer.
    error = nullptr;
    EXPECT_EQ(store->recordsForQuery("SELECT abs(-9223372036854775807 - a) FROM t ORDER BY a", {}, &error), std::nullopt);
    EXPECT_EQ(storetest::describe(error).substr(0, 48), "3 Database operation \"query records\" failed with");

    const struct {
        const char* query;
        ns::Value number;
        const char* error;
    } numbers[] = {
        {"SELECT 2.5", 2.5, "no error"},
        {"SELECT NULL", ns::Value(), "no error"},
        {"SELECT 'x'", ns::Value(), "1 Found result that was not numeric"},
        {"SELECT a FROM t WHERE a > 100", ns::Value(),
         "3 Database operation \"query numeric result\" failed with sqlite code 101 and error message \"no more rows "
         "available\""},
    };
    for (const auto& c : numbers) {
        error = nullptr;
        EXPECT_EQ(store->numberForQuery(c.query, {}, &error), c.number) << c.query;
        EXPECT_EQ(storetest::describe(error), c.error) << c.query;
    }
}

TEST_F(SqliteStoreTest, TransactionsCommitRollBackAndPassExceptionsOn) {
    auto store = open();
    ns::ErrorRef error;
    ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER"}}, {}, &error));
    EXPECT_TRUE(store->performTransaction([&] { return store->upsertRecord({{"a", 1}}, "t", &error); }));
    EXPECT_FALSE(store->performTransaction([&] {
        store->upsertRecord({{"a", 2}}, "t", &error);
        return false;
    }));
    EXPECT_TRUE(logged(34010));
    EXPECT_THROW(store->performTransaction([&]() -> bool {
        store->upsertRecord({{"a", 3}}, "t", &error);
        throw std::runtime_error("block failed");
    }),
                 std::runtime_error);
    EXPECT_FALSE(store->performTransaction([&] { return store->performTransaction([] { return true; }); }));
    EXPECT_TRUE(logged(34008));
    EXPECT_FALSE(store->performTransaction(nullptr));
    EXPECT_EQ(store->rowCountForTableWithName("t", &error), 1);
    EXPECT_TRUE(sqlite3_get_autocommit(store->sqliteHandle()));

    store->closeDatabase();
    EXPECT_FALSE(store->performTransaction([] { return true; }));
    EXPECT_FALSE(store->upsertRecord({{"a", 4}}, "t", &error));
    EXPECT_STORE_ERROR(error, 2, "Upsert record failed. Database not open.");
    EXPECT_TRUE(logged(34007));
}

// The journal or log beside a damaged file may be what makes it whole: they
// go with the copy, under its name, where SQLite looks for them when the
// copy is opened; an earlier copy is never replaced.
TEST_F(SqliteStoreTest, ADamagedFileGoesAsideWithItsJournalAndLogUnderTheCopysName) {
    const auto& files = ns::FileManager::defaultManager();
    ASSERT_TRUE(files.writeData(path() + ".damaged", ns::Data(10, 'e')));
    const std::vector<std::pair<std::string, std::optional<std::string>>> kept{
        {"", ".damaged-2"}, {"-journal", ".damaged-2-journal"}, {"-wal", ".damaged-2-wal"}, {"-shm", std::nullopt}};
    for (const auto& [suffix, aside] : kept) ASSERT_TRUE(files.writeData(path() + suffix, ns::Data(600, 'x')));
    ns::ErrorRef error;
    EXPECT_EQ(QRVASqliteStore::setAsideDatabaseFiles(path(), &error), path() + ".damaged-2");
    for (const auto& [suffix, aside] : kept) {
        EXPECT_FALSE(files.fileExists(path() + suffix)) << suffix;
        if (aside) {
            EXPECT_EQ(files.readData(path() + *aside), ns::Data(600, 'x')) << suffix;
        }
    }
    EXPECT_EQ(files.readData(path() + ".damaged"), ns::Data(10, 'e')) << "the earlier copy stays";
    EXPECT_EQ(QRVASqliteStore::setAsideDatabaseFiles(path(), &error), std::nullopt) << "nothing to set aside";
    EXPECT_TRUE(error);
}

// A journal left beside a deleted file could be taken as hot and rolled
// back into the next file of that name.
TEST_F(SqliteStoreTest, DeletingTheFileTakesItsCompanionsAlong) {
    const auto& files = ns::FileManager::defaultManager();
    auto store = open();
    for (const char* suffix : {"-journal", "-wal", "-shm"}) ASSERT_TRUE(files.writeData(path() + suffix, ns::Data(600, 1)));
    ns::ErrorRef error;
    EXPECT_TRUE(store->closeAndDeleteDatabase(&error));
    EXPECT_FALSE(store->isOpen());
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) EXPECT_FALSE(files.fileExists(path() + suffix)) << suffix;
}

}  // namespace

namespace {

// A child process's end: its exit status, or minus the signal that ended it.
int endOf(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1000;
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST_F(SqliteStoreTest, EveryCommitIsAStoreWriteAProcessEndingJustBeforeItLeavesUndone) {
    {
        auto store = open();
        ns::ErrorRef error;
        ASSERT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER"}}, {}, &error));
        ASSERT_TRUE(store->upsertRecord({{"a", 1}}, "t", &error));
    }
    const struct {
        const char* what;
        std::function<void(QRVASqliteStore&)> write;
        bool isStoreWrite;  // the process ends at it, before its commit
    } cases[] = {
        {"a transaction",
         [](QRVASqliteStore& store) {
             store.performTransaction([&] {
                 return store.upsertRecord({{"a", 2}}, "t", nullptr) && store.upsertRecord({{"a", 3}}, "t", nullptr);
             });
         },
         true},
        {"a write outside a transaction", [](QRVASqliteStore& store) { store.upsertRecord({{"a", 2}}, "t", nullptr); },
         true},
        {"a statement outside a transaction", [](QRVASqliteStore& store) { store.executeSQL("DELETE FROM t", nullptr); },
         true},
        {"a read", [](QRVASqliteStore& store) { store.recordsForQuery("SELECT a FROM t", {}, nullptr); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const pid_t child = ::fork();
        if (child == 0) {
            auto store = QRVASqliteStore::initWithDatabasePath(path());
            ns::storeWrites::endAtWriteForTesting(ns::storeWrites::count() + 1);
            if (store) c.write(*store);
            ::_exit(store ? 0 : 1);
        }
        EXPECT_EQ(endOf(child), c.isStoreWrite ? -SIGKILL : 0);
        RawDatabase raw(path());
        EXPECT_EQ(raw.rows("SELECT a FROM t"), std::vector<std::string>{"1"}) << "nothing of it reached the file";
        EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");
    }
}

}  // namespace
