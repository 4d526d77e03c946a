// A program may return from main while pooled work is still running:
// inside OpenSSL, or writing user defaults and files, reading the device
// profile and logging while an exit handler removes the sandbox's folder.
// Nothing run at exit may free what that work uses, whether or not main
// called ns::processStartup, and even when a library started OpenSSL before
// main. The helper (tests/exit/exit_helper.cpp) is such a program; it is
// run many times, a few at once, since a fault there shows in some exits
// only.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// What one run ended with: "exit N", "signal N" or "hung".
std::string outcome(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The helper's environment: its temporary folders under `temporary`, which
// the test removes (a worker may write into a sandbox folder again after the
// helper's exit handler removed it), and no leak check at its exit, which is
// not what these runs are about and costs a third of each.
class HelperEnvironment {
public:
    explicit HelperEnvironment(const std::string& temporary) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view name(*entry, std::strcspn(*entry, "="));
            if (name != "TMPDIR" && name != "ASAN_OPTIONS") strings_.emplace_back(*entry);
        }
        strings_.push_back("TMPDIR=" + temporary);
        strings_.push_back("ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0");
        for (auto& text : strings_) pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    char** get() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

pid_t spawnHelper(const std::string& work, const std::string& workers, HelperEnvironment& environment) {
    std::string path = ALMAVEL_EXIT_HELPER;
    std::vector<char*> argv{path.data(), const_cast<char*>(work.c_str()), const_cast<char*>(workers.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environment.get()) != 0) return -1;
    return pid;
}

// Waits for a run; one that has not ended after a minute has hung at exit
// (the helper itself returns as soon as its workers run) and is killed.
std::string waitFor(pid_t pid) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return outcome(status);
        if (done < 0) return "lost";
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return "hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Runs the helper's `work` 120 times with one worker and with six, four
// runs at once; every run must exit with 0.
void expectEveryExitClean(const char* work) {
    constexpr int kRuns = 120;
    constexpr int kAtOnce = 4;
    std::string temporary = (std::filesystem::temp_directory_path() / "almavel-exit-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(temporary.data()), nullptr);
    HelperEnvironment environment(temporary);
    for (const char* workers : {"1", "6"}) {
        std::vector<std::string> failures;
        for (int run = 0; run < kRuns; run += kAtOnce) {
            std::vector<pid_t> batch;
            for (int i = 0; i < kAtOnce; ++i) batch.push_back(spawnHelper(work, workers, environment));
            for (const pid_t pid : batch) {
                const std::string result = pid < 0 ? "not started" : waitFor(pid);
                if (result != "exit 0") failures.push_back(result);
            }
        }
        EXPECT_TRUE(failures.empty()) << work << ", " << workers << " worker(s): " << failures.size() << " of " << kRuns
                                      << " runs failed, first: " << failures.front();
    }
    std::error_code ignored;
    std::filesystem::remove_all(temporary, ignored);
}

TEST(ProcessExit, PooledWorkInsideOpenSSLWhenMainReturns) { expectEveryExitClean("openssl"); }

// The workers' file errors are described in the device profile's language,
// so they read the current sandbox while exit runs.
TEST(ProcessExit, PooledWorkOnTheSandboxWhileAnExitHandlerRemovesItsFolder) { expectEveryExitClean("sandbox"); }

}  // namespace
