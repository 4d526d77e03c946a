// scripts/run as a service manager or `kill PID` ends it: TERM, INT or HUP
// sent to the script's process alone reach the program, which ends as it
// does when signalled itself; the script exits with the program's status
// once the program and the back end it started are gone. The script runs
// over this build (ALMAVEL_RUN_BUILT), serving the phone's page.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <string>

#include "phone_process.h"

namespace endingtest {
namespace {

// A process still running (an ended one not yet reaped is not), checked by
// its name so that a number the system gave again is not taken for it.
bool running(pid_t pid, const std::string& name) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string shown;
    if (!std::getline(comm, shown) || shown != name) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The processes the script started and runs now, by name.
std::map<std::string, pid_t> childrenOf(pid_t parent) {
    std::map<std::string, pid_t> out;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t pid = 0; list >> pid;) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name)) out[name] = pid;
    }
    return out;
}

// Kills what the script started that is still running when a check stops
// the test early, so that no run outlives the test.
class KillLeftovers {
public:
    explicit KillLeftovers(std::map<std::string, pid_t> processes) : processes_(std::move(processes)) {}
    ~KillLeftovers() {
        for (const auto& [name, pid] : processes_) {
            if (running(pid, name)) ::kill(pid, SIGKILL);
        }
    }
    KillLeftovers(const KillLeftovers&) = delete;
    KillLeftovers& operator=(const KillLeftovers&) = delete;

private:
    std::map<std::string, pid_t> processes_;
};

struct Ending {
    int signal;
    const char* name;
};

TEST(RunScriptSignals, TermIntAndHupToTheScriptEndTheProgramThenTheBackEndAndTheScriptExitsWithTheProgramsStatus) {
    for (const Ending ending : {Ending{SIGTERM, "SIGTERM"}, Ending{SIGINT, "SIGINT"}, Ending{SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(ending.name);
        ns::testing::ChildProcess run({.args = {ALMAVEL_SOURCE_DIR "/scripts/run", "--fresh", "--port", "0"},
                                       .env = {{"ALMAVEL_RUN_BUILT", ALMAVEL_BINARY_DIR}}});
        const bool serving = run.waitForLine(
            [](const std::string& line) { return line.find("open http://127.0.0.1:") != std::string::npos; },
            kRunSeconds);
        const auto started = childrenOf(run.pid());
        const KillLeftovers killLeftovers(started);
        ASSERT_TRUE(serving) << run.output() << run.errorOutput();
        ASSERT_TRUE(started.contains("almavel") && started.contains("almavel-backend")) << run.errorOutput();
        const pid_t program = started.at("almavel");
        const pid_t backend = started.at("almavel-backend");

        run.signal(ending.signal);
        const int status = run.wait(kRunSeconds);
        // Each ending signal ends the program with 0 (ending_signals_test).
        EXPECT_EQ(status, 0) << (status < 0 ? "the script did not end\n" : "") << run.output() << run.errorOutput();
        EXPECT_FALSE(running(program, "almavel")) << "the program outlived the script";
        EXPECT_FALSE(running(backend, "almavel-backend")) << "the back end outlived the script";
    }
}

}  // namespace
}  // namespace endingtest
