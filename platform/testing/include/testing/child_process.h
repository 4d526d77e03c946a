#pragma once
// A program of this build run as a child process, as a shell starts one:
// every signal at its default and none blocked, standard input empty. Its
// standard output is read as it comes (a test can wait for a line, such as
// a step the program says it finished), its standard error goes to a file.
// The child is killed when the thread that started it ends
// (PR_SET_PDEATHSIG), or when this object goes while it still runs.
//
//   ns::testing::ChildProcess app({.args = {path, "--script", file},
//                                  .env = {{"ALMAVEL_SANDBOX", phone}}});
//   app.waitForLine([](const std::string& line) { return line.starts_with("== 3:"); }, 60);
//   app.signal(SIGTERM);
//   EXPECT_EQ(app.wait(60), 0);

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ns::testing {

class ChildProcess {
public:
    struct Options {
        // The program's path first, then its arguments.
        std::vector<std::string> args{};
        // Set over the test process's own environment.
        std::map<std::string, std::string> env{};
        // Where standard error goes; empty: a temporary file, removed with
        // this object.
        std::string stderrPath{};
        // Standard output, or standard error, a pipe whose reader has gone
        // before the program starts, as `program | head -1` leaves it once
        // head has read its line: what the program writes there fails, and
        // output() and errorOutput() stay empty.
        bool outputUnread = false;
        bool errorsUnread = false;
    };

    // Returns once the program runs (its exec is done: what a test sees of
    // the process, and a signal it sends, is the program's). Throws
    // std::runtime_error when the program cannot be started.
    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Until a whole line of standard output satisfies `match` (true), the
    // program closes its output or `timeoutSeconds` of real time pass.
    bool waitForLine(const std::function<bool(const std::string&)>& match, double timeoutSeconds);
    // What it printed on standard output so far.
    std::string output() const;
    // What it printed on standard error so far.
    std::string errorOutput() const;

    // The signals its main thread blocks now, as a mask of bit (signal - 1);
    // nullopt once it has ended.
    std::optional<uint64_t> blockedSignals() const;
    // How many threads it runs now; nullopt once it has ended.
    std::optional<int> threads() const;
    bool signal(int signal) const;

    // Until it ends: its status as a shell reports it (the exit code, or
    // 128 + the signal that ended it). A program still running after
    // `timeoutSeconds` of real time is killed, and -1 returned.
    int wait(double timeoutSeconds);
    // The status once it has ended (see wait), nullopt while it runs.
    std::optional<int> status();

private:
    void readOutput(int fd);
    // A line of /proc/<pid>/status after "<name>:".
    std::optional<std::string> statusField(const std::string& name) const;

    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
    std::string stderrPath_;
    bool ownsStderrFile_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool outputClosed_ = false;
    std::thread reader_;
};

// A folder of its own under TMPDIR ("<prefix>-XXXXXX"), removed with this
// object, with what is in it. Throws std::runtime_error when it cannot be
// made.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The environment of a sanitized child whose leaks are not looked for at
// its exit (the test's other sanitizer options kept): for runs where that
// check is not what is tested and would cost a good share of each.
std::map<std::string, std::string> withoutLeakCheck();

// This test program run again as a second process, only the tests `filter`
// selects (a gtest filter), with `env` set over this process's environment
// (an empty value reads as unset to the hooks that take a number or a flag).
// Its standard error goes to `stderrPath` when one is named, its standard
// output after it once it ended; without one, both go to this process's
// once it ended. Its status (see ChildProcess::wait).
int runThisTestAgain(const std::string& filter, const std::map<std::string, std::string>& env,
                     const std::string& stderrPath = {}, double timeoutSeconds = 600);

}  // namespace ns::testing
