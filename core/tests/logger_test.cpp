#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "core/QRVLogger.h"
#include "platform/process_info.h"
#include "platform/system_log.h"

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedArguments_ = ns::ProcessInfo::processInfo().arguments();
        QRVLoggerResetForTesting();
    }
    void TearDown() override {
        ns::ProcessInfo::processInfo().setArguments(savedArguments_);
        QRVLoggerResetForTesting();
        ns::SystemLog::setFilterLevel(ns::SystemLog::kDebug);
    }
    static std::vector<std::string> linesOf(const ns::SystemLog::Capture& capture) {
        QRVLoggerFlush();
        return capture.lines();
    }
    std::vector<std::string> savedArguments_;
};

TEST_F(LoggerTest, DefaultLevelIsNoticeAndLinesHaveServiceCodeMessage) {
    auto capture = ns::SystemLog::capture();
    QRVLogError(kQRVLoggerCore, "I-COR000004", "App with name %@ does not exist.", std::string("tienda"));
    QRVLogWarning(kQRVLoggerCore, "I-COR000010", "warning");
    QRVLogNotice(kQRVLoggerCore, "I-COR000011", "notice");
    QRVLogInfo(kQRVLoggerCore, "I-COR000012", "info");
    QRVLogDebug(kQRVLoggerCore, "I-COR000013", "debug");
    auto lines = linesOf(capture);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Quorvane/Core][I-COR000004] App with name tienda does not exist.");
    EXPECT_EQ(lines[1], "[Quorvane/Core][I-COR000010] warning");
    EXPECT_EQ(lines[2], "[Quorvane/Core][I-COR000011] notice");
}

TEST_F(LoggerTest, FilterMatrix) {
    struct Case {
        QRVLoggerLevel loggerLevel;
        bool sdkDebug;
        bool analyticsDebug;
        QRVLoggerLevel level;
        bool analyticsComponent;
        bool expected;
    };
    const Case cases[] = {
        {QRVLoggerLevelNotice, false, false, QRVLoggerLevelNotice, false, true},
        {QRVLoggerLevelNotice, false, false, QRVLoggerLevelInfo, false, false},
        {QRVLoggerLevelNotice, false, false, QRVLoggerLevelDebug, true, false},
        {QRVLoggerLevelError, false, false, QRVLoggerLevelWarning, false, false},
        {QRVLoggerLevelDebug, false, false, QRVLoggerLevelDebug, false, true},
        {QRVLoggerLevelError, true, false, QRVLoggerLevelDebug, false, true},
        {QRVLoggerLevelNotice, false, true, QRVLoggerLevelDebug, true, true},
        {QRVLoggerLevelNotice, false, true, QRVLoggerLevelDebug, false, false},
    };
    for (const auto& c : cases) {
        QRVLoggerResetForTesting();
        QRVSetLoggerLevel(c.loggerLevel);
        QRVSetDebugModeEnabled(c.sdkDebug);
        QRVSetAnalyticsDebugMode(c.analyticsDebug);
        QRVLoggerFlush();
        EXPECT_EQ(QRVIsLoggableLevel(c.level, c.analyticsComponent), c.expected)
            << "logger " << c.loggerLevel << " sdk " << c.sdkDebug << " analytics " << c.analyticsDebug << " level "
            << c.level << " component " << c.analyticsComponent;
    }
}

TEST_F(LoggerTest, AnalyticsDebugModeLetsOnlyAnalyticsLinesThroughAndOpensTheSystemFilter) {
    ns::SystemLog::setFilterLevel(ns::SystemLog::kWarning);
    QRVSetAnalyticsDebugMode(true);
    QRVLoggerFlush();
    EXPECT_EQ(ns::SystemLog::filterLevel(), ns::SystemLog::kDebug);
    auto capture = ns::SystemLog::capture();
    QRVLogDebug(kQRVLoggerAnalytics, "I-ACS023009", "Debug logging enabled");
    QRVLogDebug(kQRVLoggerDatabase, "I-RDB034001", "database debug");
    auto lines = linesOf(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[Quorvane/Analytics][I-ACS023009] Debug logging enabled");
}

TEST_F(LoggerTest, LaunchArgumentsSwitchSdkDebugModeAndDisabledWins) {
    ns::ProcessInfo::processInfo().setArguments({"almavel", "-QRVDebugEnabled"});
    QRVLoggerResetForTesting();
    EXPECT_TRUE(QRVIsDebugModeEnabled());
    auto capture = ns::SystemLog::capture();
    QRVLogDebug(kQRVLoggerDatabase, "I-RDB095002", "---> Parsed");
    EXPECT_EQ(linesOf(capture).size(), 1u);

    ns::ProcessInfo::processInfo().setArguments({"almavel", "-QRVDebugEnabled", "-QRVDebugDisabled"});
    QRVLoggerResetForTesting();
    EXPECT_FALSE(QRVIsDebugModeEnabled());
}

TEST_F(LoggerTest, PercentSignsAreNotReinterpreted) {
    auto capture = ns::SystemLog::capture();
    QRVLogNotice(kQRVLoggerAnalytics, "I-ACS000001", "100%% done");
    QRVLogNotice(kQRVLoggerAnalytics, "I-ACS000002", "%@", std::string("50% off %d %@"));
    auto lines = linesOf(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[Quorvane/Analytics][I-ACS000001] 100% done");
    EXPECT_EQ(lines[1], "[Quorvane/Analytics][I-ACS000002] 50% off %d %@");
}

TEST_F(LoggerTest, EachThreadsLinesKeepTheirOrder) {
    auto capture = ns::SystemLog::capture();
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) QRVLogNotice(kQRVLoggerCore, "I-COR000100", "t%d %d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    auto lines = linesOf(capture);
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[Quorvane/Core][I-COR000100] t%d %d", &t, &i), 2) << line;
        ASSERT_EQ(i, next[size_t(t)]) << "thread " << t;
        ++next[size_t(t)];
    }
}

}  // namespace
