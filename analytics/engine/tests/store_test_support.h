#pragma once
// What the store tests share: a sandbox with a fresh monitor, the monitor's
// console lines, error checks, the analytics database opened in the sandbox
// (on the virtual clock, for the tests of what it stores), and raw SQLite
// access to look at a file from the side (or to make one in an older layout).

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

}  // namespace storetest
