#include <gtest/gtest.h>

#include <climits>

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "monitor_lines.h"
#include "sandboxed_test.h"

namespace {

class MonitorTest : public analyticstest::LoggingTest {
protected:
    void TearDown() override { ns::ProcessInfo::processInfo().setArguments(savedArguments_); }
    static void setArguments(std::vector<std::string> extra) {
        extra.insert(extra.begin(), "almavel");
        ns::ProcessInfo::processInfo().setArguments(std::move(extra));
    }
    static std::optional<ns::Array> storedSample() {
        return ns::UserDefaults::suite(kQRVAMonitorSuiteName)->arrayForKey(kQRVAUserDefaultsHealthMonitorKey);
    }

    std::vector<std::string> savedArguments_ = ns::ProcessInfo::processInfo().arguments();
};

ns::Value exceptionWithStack(std::vector<std::string> symbols) {
    return ns::Value(std::make_shared<QRVAExceptionContext>("NSRangeException", "index 3 beyond bounds",
                                                            std::move(symbols)));
}

TEST_F(MonitorTest, LevelsPrintAtTheCoreLoggersMappingAndSilentLevelsNever) {
    // Which monitor levels print at each core logger level: 0-2 map to
    // error, 3-5 and unknown levels to warning, 6 to notice, 7 to debug;
    // 2 and 5 never print.
    struct Case {
        QRVLoggerLevel loggerLevel;
        std::vector<int64_t> printed;
    };
    const Case cases[] = {
        {QRVLoggerLevelError, {0, 1}},
        {QRVLoggerLevelWarning, {0, 1, 3, 4, 9}},
        {QRVLoggerLevelNotice, {0, 1, 3, 4, 6, 9}},
        {QRVLoggerLevelDebug, {0, 1, 3, 4, 6, 7, 9}},
    };
    auto monitor = QRVAMeasurementMonitor();
    for (const auto& c : cases) {
        QRVSetLoggerLevel(c.loggerLevel);
        auto capture = ns::SystemLog::capture();
        for (int64_t level : {0, 1, 2, 3, 4, 5, 6, 7, 9}) monitor->logWithLevel(level, 24100 + level, "level");
        std::vector<std::string> expected;
        for (int64_t level : c.printed) expected.push_back(ns::format("[Quorvane/Analytics][I-ACS0241%02lld] level", level));
        EXPECT_EQ(analyticstest::consoleLines(capture), expected) << "logger level " << c.loggerLevel;
    }
}

TEST_F(MonitorTest, ConsoleTextShowsContextsPlainOrEncodedAndKeepsPercentSigns) {
    auto monitor = QRVAMeasurementMonitor();
    auto domainError = ns::Error::make("D", 7, "failed");
    auto capture = ns::SystemLog::capture();
    monitor->logWithLevel(0, 1, "50% off %d %@");
    monitor->logWithLevel(0, 2, "", ns::Value());
    monitor->logWithLevel(0, 3, "Value", ns::Value(12345), ns::Value("secret"), QRVAErrorContext(domainError));
    monitor->setEncodeContexts(true);
    monitor->logWithLevel(0, 4, "Value", ns::Value(12345), ns::Value("secret"), QRVAErrorContext(domainError));
    monitor->logWithLevel(0, 5, "Raised", exceptionWithStack({}));
    auto lines = analyticstest::consoleLines(capture);
    const std::vector<std::string> expected = {
        "[Quorvane/Analytics][I-ACS000001] 50% off %d %@",
        "[Quorvane/Analytics][I-ACS000002] (Message was empty): (nil)",
        "[Quorvane/Analytics][I-ACS000003] Value: 12345, secret, " + domainError->description(),
        "[Quorvane/Analytics][I-ACS000004] Value: 10000...99999, -, D",
        "[Quorvane/Analytics][I-ACS000005] Raised: NSRangeException",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(MonitorTest, EncodedContextsCarryNoTextAndNumbersOnlyByTheirDecade) {
    const struct {
        ns::Value context;
        std::string encoded;
    } cases[] = {
        {ns::Value(), ""},
        {ns::Value("any text"), "-"},
        {ns::Value(0), "0"},
        {ns::Value(99), "99"},
        {ns::Value(-99), "-99"},
        {ns::Value(100), "100...999"},
        {ns::Value(12345), "10000...99999"},
        {ns::Value(-250), "-999...-100"},
        {ns::Value(150.7), "100...999"},
        {ns::Value(true), "1"},
        {ns::Value(int64_t(INT64_MAX)), "1000000000000000000...9999999999999999999"},
        {ns::Value(int64_t(INT64_MIN)), "-9999999999999999999...-1000000000000000000"},
        {QRVAErrorContext(ns::Error::make("com.example", 1, "x")), "com.example"},
        {QRVAErrorContext(ns::Error::make("", 1, "x")), "-"},
        {exceptionWithStack({}), "NSRangeException"},
        {ns::Value(ns::Date{1.0}), "?"},
        {ns::Value(ns::Array{ns::Value(1)}), "?"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QRVAMonitor::encodedStringWithContextObject(c.context), c.encoded) << c.context.description();
    }
    ns::Array three{ns::Value(12345), ns::Value("x"), QRVAErrorContext(ns::Error::make("D", 1, "x"))};
    EXPECT_EQ(QRVAMonitor::encodedStringWithContextArray(three, false), "10000...99999,-,D");
    EXPECT_EQ(QRVAMonitor::encodedStringWithContextArray(three, true), "10000...99999, -, D");
    EXPECT_EQ(QRVAMonitor::encodedStringWithContextArray({}, true), "");
}

TEST_F(MonitorTest, AnExceptionIsNamedByTheFirstAnalyticsFrameBelowTheRaise) {
    const std::string raise0 = "0   CoreFoundation  0x0000000180a1b2c4 __exceptionPreprocess + 164";
    const std::string raise1 = "1   libobjc.A.dylib 0x0000000180a1b2c8 objc_exception_throw + 60";
    const struct {
        std::vector<std::string> symbols;
        std::string expected;
    } cases[] = {
        {{raise0}, "NSRangeException"},
        {{raise0, raise1, "2   Almavel 0x01 main + 1", "short", "4   Almavel 0x02 -[qrvaStore put:] + 3"},
         "-[qrvaStore put:]"},
        {{"0 A 0x1 -[QRVAFirst raise] + 1", raise1, "2   Almavel 0x01 qrva_helper + 12"}, "qrva_helper"},
    };
    for (const auto& c : cases) {
        QRVAExceptionContext exception("NSRangeException", "reason", c.symbols);
        EXPECT_EQ(QRVAMonitor::lastQRVASymbolFromException(&exception), c.expected);
    }
    EXPECT_EQ(QRVAMonitor::lastQRVASymbolFromException(nullptr), std::nullopt);
}

TEST_F(MonitorTest, MonitorableLevelsAreSampledWithTheirCountAndCreationTime) {
    auto clock = ns::VirtualClock::install(1'700'000'000.0);
    auto monitor = QRVAMeasurementMonitor();
    // Levels 0, 3, 6 and 7 are never sampled.
    for (int64_t level : {0, 3, 6, 7}) monitor->logWithLevel(level, 1, "not sampled");
    monitor->flushForTesting();
    EXPECT_FALSE(storedSample());

    monitor->logWithLevel(2, 13001, "first", ns::Value(12345), ns::Value("x"),
                          QRVAErrorContext(qrva_errorWithCode(2, "bad", "C")));
    monitor->flushForTesting();
    auto first = storedSample();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, (ns::Array{ns::Value("10000...99999,-,com.ondrix.vlp.measurement.ErrorDomain,C"),
                                 ns::Value(1), ns::Value("1E_40002:first"), ns::Value(ns::Date{1'700'000'000.0})}));

    for (int i = 0; i < 10; ++i) {
        clock->advance(1);
        monitor->logWithLevel(i % 2 ? 4 : 5, 13002, "next");
    }
    monitor->flushForTesting();
    auto later = storedSample();
    ASSERT_TRUE(later);
    EXPECT_EQ((*later)[1], ns::Value(11));
    EXPECT_EQ((*later)[3], ns::Value(ns::Date{1'700'000'000.0}));
    EXPECT_TRUE((*later)[2] == ns::Value("1E_40002:first") || (*later)[2] == ns::Value("1W_40002:next"));
}

TEST_F(MonitorTest, DispatchAnswersByTheEntrysAgeAndTheLastDispatch) {
    auto clock = ns::VirtualClock::install(1'700'000'000.0);
    auto monitor = QRVAMeasurementMonitor();
    const double period = 3600;
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 1'700'000'000.0 - period + 1), std::nullopt);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 1'700'000'000.0 - period - 1), "0:");

    monitor->logWithLevel(4, 24002, "Failed to exclude monitor preferences file from backup");
    monitor->flushForTesting();
    clock->advance(period);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
    EXPECT_TRUE(storedSample());
    clock->advance(1);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0),
              "1:1W_40002:Failed to exclude monitor preferences file from backup");
    EXPECT_FALSE(storedSample());
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
}

TEST_F(MonitorTest, ASampledEntrySurvivesARelaunchAndIsDispatchedThen) {
    auto clock = ns::VirtualClock::install(1'700'000'000.0);
    QRVAMeasurementMonitor()->logWithLevel(4, 24002, "Failed to exclude monitor preferences file from backup",
                                           ns::Value(7));
    QRVAMonitor::resetSharedForTesting();
    sandbox_.relaunch();
    clock->advance(61);
    EXPECT_EQ(QRVAMeasurementMonitor()->monitoringDataForDispatchWithSamplePeriod(60, 0),
              "1:1W_40002:Failed to exclude monitor preferences file from backup:7");
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(
        QRVAFilePathForPreferencesName(kQRVAMonitorSuiteName)));
}

TEST_F(MonitorTest, DebugModeFollowsLaunchArgumentsAndTheStoredSwitch) {
    const struct {
        std::vector<std::string> arguments;
        bool storedSwitch;
        bool enabled;
    } cases[] = {
        {{}, false, false},
        {{"-QRVAnalyticsDebugEnabled"}, false, true},
        {{"-QRVDebugEnabled"}, false, true},
        {{}, true, true},
        {{"-noQRVAnalyticsDebugEnabled", "-QRVAnalyticsDebugEnabled"}, true, false},
        {{"-QRVDebugDisabled"}, true, false},
    };
    for (const auto& c : cases) {
        setArguments(c.arguments);
        auto standard = ns::UserDefaults::standard();
        standard->setObject(c.storedSwitch ? ns::Value(true) : ns::Value(), kQRVAUserDefaultsDebugModeKey);
        QRVAMonitor::resetSharedForTesting();
        auto monitor = QRVAMeasurementMonitor();
        EXPECT_EQ(monitor->isDebugModeEnabled(), c.enabled) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(standard->boolForKey(kQRVAUserDefaultsDebugModeKey), c.enabled);
    }
}

TEST_F(MonitorTest, DebugModeOpensDebugLinesExceptInAnAppStoreBuild) {
    setArguments({"-QRVAnalyticsDebugEnabled"});
    auto monitor = QRVAMeasurementMonitor();
    ASSERT_TRUE(monitor->isDebugModeEnabled());
    monitor->flushForTesting();
    QRVLoggerFlush();
    auto capture = ns::SystemLog::capture();
    monitor->logWithLevel(7, 23009, "Debug logging enabled");
    EXPECT_EQ(analyticstest::consoleLines(capture),
              std::vector<std::string>{"[Quorvane/Analytics][I-ACS023009] Debug logging enabled"});

    // An app-store build reads neither the arguments nor the stored switch,
    // and refuses to switch it on.
    QRVAMonitor::resetSharedForTesting();
    QRVLoggerResetForTesting();
    sandbox_.writeBundleFile("SC_Info/Manifest.plist", "");
    monitor = QRVAMeasurementMonitor();
    EXPECT_FALSE(monitor->isDebugModeEnabled());
    monitor->setDebugModeEnabled(true);
    EXPECT_FALSE(monitor->isDebugModeEnabled());
    EXPECT_FALSE(ns::UserDefaults::standard()->boolForKey(kQRVAUserDefaultsDebugModeKey));
    monitor->flushForTesting();
    QRVLoggerFlush();
    capture.clear();
    monitor->logWithLevel(7, 23009, "Debug logging enabled");
    EXPECT_TRUE(analyticstest::consoleLines(capture).empty());
}

TEST_F(MonitorTest, TheSampleOfEarlierReleasesMovesIntoTheMonitorsSuiteOnce) {
    ns::Array earlier{ns::Value("-"), ns::Value(4), ns::Value("1E_40002:old"), ns::Value(ns::Date{1.0})};
    auto standard = ns::UserDefaults::standard();
    standard->setObject(ns::Value(earlier), kQRVAUserDefaultsHealthMonitorKey);
    auto monitor = QRVAMeasurementMonitor();
    EXPECT_EQ(storedSample(), earlier);
    EXPECT_TRUE(standard->objectForKey(kQRVAUserDefaultsHealthMonitorKey).isNull());
    auto suite = ns::UserDefaults::suite(kQRVAMonitorSuiteName);
    EXPECT_EQ(suite->integerForKey(kQRVAUserDefaultsMonitorMigrationStateKey), kQRVAMonitorMigrationStateComplete);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0), "4:1E_40002:old:-");

    // Once complete, nothing is copied again.
    standard->setObject(ns::Value(earlier), kQRVAUserDefaultsHealthMonitorKey);
    QRVAMonitor::resetSharedForTesting();
    QRVAMeasurementMonitor();
    EXPECT_FALSE(storedSample());

    QRVAMeasurementMonitor()->setDebugModeEnabled(true);
    QRVAMeasurementMonitor()->clearMonitoringData();
    EXPECT_TRUE(standard->objectForKey(kQRVAUserDefaultsHealthMonitorKey).isNull());
    EXPECT_FALSE(standard->boolForKey(kQRVAUserDefaultsDebugModeKey));
}

TEST_F(MonitorTest, ErrorsCarryTheirMonitorContextAndAssertionsFillTheSlot) {
    QRVASetError(nullptr, 1, "a null slot is allowed");
    ns::Array contexts{QRVAErrorContext(qrva_errorWithCode(2, "bad row", "rows")),
                       QRVAErrorContext(ns::Error::make("other", 1, ns::Dictionary{{kQRVAMonitorContextKey, "x"}})),
                       QRVAErrorContext(qrva_errorWithCode(2, "bad", "")), ns::Value("stmt"),
                       QRVAErrorContext(qrva_errorWithCode(3, "", "stmt"))};
    EXPECT_EQ(QRVAMonitorContextString(contexts), "rows,stmt");

    ns::ErrorRef error;
    int target = 0;
    EXPECT_TRUE(QRVAAssertNotNull(&target, &error, 9, "x") && QRVAAssertNotNil(ns::Value(1), &error, 9, "x") &&
                QRVAAssertNotZero(5, &error, 9, "x") && QRVAAssertTrue(true, &error, 9, "x"));
    EXPECT_FALSE(error);
    EXPECT_FALSE(QRVAAssertNotNil(ns::Value(), &error, 11, "nil") || QRVAAssertNotNull(nullptr, &error, 12, "null") ||
                 QRVAAssertNotZero(0, &error, 13, ""));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kQRVAErrorDomain);
    EXPECT_EQ(error->code(), 13);
    EXPECT_TRUE(error->userInfo().empty());
}

}  // namespace
