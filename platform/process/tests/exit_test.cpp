// A program may return from main while pooled work is still running:
// inside OpenSSL, or writing user defaults and files, reading the device
// profile and logging while an exit handler removes the sandbox's folder.
// Nothing run at exit may free what that work uses, whether or not main
// called ns::processStartup, and even when a library started OpenSSL before
// main. The helper (tests/exit/exit_helper.cpp) is such a program; it is
// run many times, a few at once, since a fault there shows in some exits
// only.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/child_process.h"

namespace {

// Runs the helper's `work` 120 times with one worker and with six, four
// runs at once; every run must exit with 0 within a minute (the helper
// returns as soon as its workers run). Its temporary folders go under one
// the test removes (a worker may write into a sandbox folder again after
// the helper's exit handler removed it), and its leaks are not looked for at
// exit, which is not what these runs are about.
void expectEveryExitClean(const char* work) {
    constexpr int kRuns = 120;
    constexpr int kAtOnce = 4;
    const ns::testing::TempFolder temporary("almavel-exit-test");
    auto env = ns::testing::withoutLeakCheck();
    env["TMPDIR"] = temporary.path();
    for (const char* workers : {"1", "6"}) {
        std::vector<std::string> failures;
        for (int run = 0; run < kRuns; run += kAtOnce) {
            std::vector<std::unique_ptr<ns::testing::ChildProcess>> batch;
            for (int i = 0; i < kAtOnce; ++i) {
                batch.push_back(std::make_unique<ns::testing::ChildProcess>(
                    ns::testing::ChildProcess::Options{.args = {ALMAVEL_EXIT_HELPER, work, workers}, .env = env}));
            }
            for (const auto& helper : batch) {
                const int status = helper->wait(60);
                if (status != 0) failures.push_back(status < 0 ? "hung" : "status " + std::to_string(status));
            }
        }
        EXPECT_TRUE(failures.empty()) << work << ", " << workers << " worker(s): " << failures.size() << " of " << kRuns
                                      << " runs failed, first: " << failures.front();
    }
}

TEST(ProcessExit, PooledWorkInsideOpenSSLWhenMainReturns) { expectEveryExitClean("openssl"); }

// The workers' file errors are described in the device profile's language,
// so they read the current sandbox while exit runs.
TEST(ProcessExit, PooledWorkOnTheSandboxWhileAnExitHandlerRemovesItsFolder) { expectEveryExitClean("sandbox"); }

}  // namespace
