// The test support that runs a program as a child process: once started,
// what a test sees of the child is the program, never the copy of the test
// process it was between fork and exec.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "testing/child_process.h"

namespace {

std::string executableOf(pid_t pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

TEST(ChildProcess, IsTheProgramOnceStartedWithItsOwnSignalMaskAndEndsByTheSignalSentRightAway) {
    // Blocked in the starting thread, as a fork under a sanitizer blocks
    // every signal: a child still before its exec would keep it pending.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t before;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &before), 0);
    const std::string sleep = std::filesystem::canonical("/bin/sleep").string();
    for (int i = 0; i < 20; ++i) {
        ns::testing::ChildProcess child({.args = {"/bin/sleep", "60"}});
        EXPECT_EQ(executableOf(child.pid()), sleep) << "run " << i;
        EXPECT_EQ(child.blockedSignals().value_or(~0ull), 0u) << "run " << i;
        ASSERT_TRUE(child.signal(SIGTERM));
        EXPECT_EQ(child.wait(60), 128 + SIGTERM) << "run " << i;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TEST(ChildProcess, AProgramThatCannotRunIsAnErrorNamingIt) {
    try {
        ns::testing::ChildProcess child({.args = {"/nonexistent/almavel-program"}});
        ADD_FAILURE() << "started " << child.pid();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/almavel-program"), std::string::npos) << e.what();
    }
}

}  // namespace
