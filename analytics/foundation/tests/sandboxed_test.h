#pragma once
// The set-up the analytics tests share: each test in a temporary sandbox of
// its own, with the process-wide monitor forgotten at both ends (it reads its
// stored sample and debug switch from the sandbox it was made in), and, for
// tests that read the console, the core logger's level and queue made afresh
// too. Constructor and destructor do the work, so a fixture built on these
// keeps its own SetUp and TearDown free and needs no call to the base.

#include <gtest/gtest.h>

#include "analytics/QRVAMonitor.h"
#include "core/QRVLogger.h"
#include "testing/temp_sandbox.h"

namespace analyticstest {

class SandboxedTest : public ::testing::Test {
protected:
    SandboxedTest() { QRVAMonitor::resetSharedForTesting(); }
    ~SandboxedTest() override { QRVAMonitor::resetSharedForTesting(); }

    ns::testing::TempSandbox sandbox_;
};

// The core logger at its defaults before and after a test.
struct FreshLogger {
    FreshLogger() { QRVLoggerResetForTesting(); }
    ~FreshLogger() { QRVLoggerResetForTesting(); }
    FreshLogger(const FreshLogger&) = delete;
    FreshLogger& operator=(const FreshLogger&) = delete;
};

// The logger is reset first and last, around the sandbox and its monitor.
class LoggingTest : private FreshLogger, public SandboxedTest {};

}  // namespace analyticstest
