#pragma once
// What the store tests share: a sandbox with a fresh monitor, the monitor's
// console lines, error checks, and raw SQLite access to look at a file from
// the side (or to make one in an older layout).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "core/QRVLogger.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace storetest {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVAMonitor::resetSharedForTesting();
        QRVAPersistedConfig::resetSharedForTesting();
    }
    void TearDown() override {
        QRVAPersistedConfig::resetSharedForTesting();
        QRVAMonitor::resetSharedForTesting();
    }
    // Whether the monitor has logged the code so far.
    bool logged(int code) {
        QRVAMeasurementMonitor()->flushForTesting();
        QRVLoggerFlush();
        char text[16];
        std::snprintf(text, sizeof text, "[I-ACS%06d]", code);
        return capture_.contains(text);
    }

    ns::testing::TempSandbox sandbox_;
    ns::SystemLog::Capture capture_ = ns::SystemLog::capture();
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
