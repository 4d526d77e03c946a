#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ns::testing {

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("cannot start a program: " + what + ": " + std::strerror(errno));
}

// The test's environment with `overrides` set over it, as "NAME=value".
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry; ++entry) {
        const std::string item = *entry;
        const std::string name = item.substr(0, item.find('='));
        if (!overrides.contains(name)) out.push_back(item);
    }
    for (const auto& [name, value] : overrides) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& items) {
    std::vector<char*> out;
    for (auto& item : items) out.push_back(item.data());
    out.push_back(nullptr);
    return out;
}

std::string temporaryFile() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/almavel-child-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw failure("a file for its standard error");
    ::close(fd);
    return pattern;
}

// The writing end of a pipe no one reads; -1 (errno set) when none is made.
int unreadPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    ::close(ends[0]);
    return ends[1];
}

// The child tells its parent why it could not become the program: errno.
[[noreturn]] void failToStart(int execFailed) {
    const int error = errno;
    [[maybe_unused]] const ssize_t n = ::write(execFailed, &error, sizeof error);
    ::_exit(127);
}

// In the child, between fork and exec: only async-signal-safe calls. What
// went wrong goes to `execFailed`; the exec closes it.
[[noreturn]] void becomeProgram(pid_t parent, int out, int err, int execFailed, char** argv, char** envp) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
        failToStart(execFailed);
    }
    // Every descriptor but the standard ones and `execFailed` (close-on-exec).
    if (execFailed > 3) ::close_range(3, unsigned(execFailed) - 1, 0);
    ::close_range(unsigned(execFailed) + 1, ~0u, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv, envp);
    failToStart(execFailed);
}

}  // namespace

ChildProcess::ChildProcess(Options options) {
    if (options.args.empty()) throw std::runtime_error("cannot start a program: none named");
    stderrPath_ = options.stderrPath;
    if (stderrPath_.empty()) {
        stderrPath_ = temporaryFile();
        ownsStderrFile_ = true;
    }
    std::vector<std::string> environment = environmentWith(options.env);
    std::vector<char*> argv = pointers(options.args);
    std::vector<char*> envp = pointers(environment);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) throw failure("a pipe");
    if (options.outputUnread) {
        ::close(pipe[0]);
        pipe[0] = -1;
    }
    const int err = options.errorsUnread ? unreadPipe()
                                         : ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
        const int saved = errno;
        if (pipe[0] >= 0) ::close(pipe[0]);
        ::close(pipe[1]);
        errno = saved;
        throw failure(options.errorsUnread ? "a pipe" : stderrPath_);
    }
    // Closed by the child's exec: until then the child is still a copy of
    // this process, whose signal mask and handlers (a sanitizer's fork
    // blocks every signal) are not the program's. The constructor returns
    // once the program runs, so what a test sees of it (its mask, a signal
    // it is sent) is the program's.
    int execPipe[2];
    if (::pipe2(execPipe, O_CLOEXEC) != 0) {
        const int saved = errno;
        if (pipe[0] >= 0) ::close(pipe[0]);
        ::close(pipe[1]);
        ::close(err);
        errno = saved;
        throw failure("a pipe");
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) becomeProgram(parent, pipe[1], err, execPipe[1], argv.data(), envp.data());
    ::close(pipe[1]);
    ::close(err);
    ::close(execPipe[1]);
    if (pid_ < 0) {
        if (pipe[0] >= 0) ::close(pipe[0]);
        ::close(execPipe[0]);
        throw failure("fork");
    }
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(execPipe[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(execPipe[0]);
    if (got > 0) {
        ::waitpid(pid_, nullptr, 0);
        if (pipe[0] >= 0) ::close(pipe[0]);
        errno = execError;
        throw failure(options.args.front());
    }
    // By system call: this C library's header declares it without C linkage.
    pidfd_ = int(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) {
        const int saved = errno;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        if (pipe[0] >= 0) ::close(pipe[0]);
        errno = saved;
        throw failure("pidfd_open");
    }
    if (pipe[0] < 0) {
        outputClosed_ = true;
        return;
    }
    reader_ = std::thread([this, fd = pipe[0]] { readOutput(fd); });
}

ChildProcess::~ChildProcess() {
    if (!status_) wait(0);
    if (reader_.joinable()) reader_.join();
    if (pidfd_ >= 0) ::close(pidfd_);
    if (ownsStderrFile_) std::remove(stderrPath_.c_str());
}

void ChildProcess::readOutput(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            outputClosed_ = true;
            changed_.notify_all();
            break;
        }
        output_.append(buffer, size_t(n));
        changed_.notify_all();
    }
    ::close(fd);
}

bool ChildProcess::waitForLine(const std::function<bool(const std::string&)>& match, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::unique_lock lock(mutex_);
    size_t lineStart = 0;
    for (;;) {
        size_t end;
        while ((end = output_.find('\n', lineStart)) != std::string::npos) {
            if (match(output_.substr(lineStart, end - lineStart))) return true;
            lineStart = end + 1;
        }
        if (outputClosed_) return false;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::string ChildProcess::errorOutput() const {
    std::ifstream in(stderrPath_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::optional<std::string> ChildProcess::statusField(const std::string& name) const {
    if (status_) return std::nullopt;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':') {
            return line.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> ChildProcess::blockedSignals() const {
    const auto field = statusField("SigBlk");
    if (!field) return std::nullopt;
    return std::strtoull(field->c_str(), nullptr, 16);
}

std::optional<int> ChildProcess::threads() const {
    const auto field = statusField("Threads");
    if (!field) return std::nullopt;
    return int(std::strtol(field->c_str(), nullptr, 10));
}

bool ChildProcess::signal(int signal) const {
    if (status_) return false;
    return ::syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0) == 0;
}

std::optional<int> ChildProcess::status() {
    if (status_) return status_;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return std::nullopt;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
}

int ChildProcess::wait(double timeoutSeconds) {
    if (status_) return *status_;
    pollfd ended{pidfd_, POLLIN, 0};
    const int ms = int(timeoutSeconds * 1000);
    int ready;
    while ((ready = ::poll(&ended, 1, ms)) < 0 && errno == EINTR) {
    }
    int raw = 0;
    if (ready == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        status_ = 128 + SIGKILL;
        return -1;
    }
    ::waitpid(pid_, &raw, 0);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    // What it printed before it ended is all read before anyone asks.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return outputClosed_; });
    return *status_;
}

TempFolder::TempFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(path_.data())) throw std::runtime_error("cannot make a temporary folder " + path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::map<std::string, std::string> withoutLeakCheck() {
    const char* options = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", std::string(options ? options : "") + ":detect_leaks=0"}};
}

int runThisTestAgain(const std::string& filter, const std::map<std::string, std::string>& env,
                     const std::string& stderrPath, double timeoutSeconds) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    // The second process's own temporary folders (every test program makes a
    // process sandbox) go under one this process removes: a second process
    // ended by SIGKILL, as a phone ends an app, never removes its own.
    std::map<std::string, std::string> childEnv = env;
    std::optional<TempFolder> temporary;
    if (!childEnv.contains("TMPDIR")) childEnv["TMPDIR"] = temporary.emplace("almavel-second").path();
    ChildProcess child({.args = {self, "--gtest_filter=" + filter}, .env = childEnv, .stderrPath = stderrPath});
    const int status = child.wait(timeoutSeconds);
    if (!stderrPath.empty()) {
        std::ofstream(stderrPath, std::ios::app) << child.output();
    } else {
        // Where the test's own output goes, for its log.
        std::fputs(child.output().c_str(), stdout);
        std::fputs(child.errorOutput().c_str(), stderr);
    }
    return status;
}

}  // namespace ns::testing
