// A clerk's launch: the app started as a new process over a phone folder
// where the clerk signed in before ("logged" "1", the password in the
// keychain, instance identity and analytics set up), against the local back
// end seeded with the sample data, timed from the process's start until the
// main menu is on top and takes touches (the sign-in the screen makes by
// itself answered). Every launch starts from the same folder, copied back
// untimed, so no launch finds what an earlier one wrote.
//
// The launched process is this program again (--phone-child): it starts
// the app as the almavel program does and reports the main menu on a pipe,
// then ends as the program ends (the app's termination, the stores written).
// Counters: "median ms" (launch to main menu, the median launch), "exit ms"
// (the process's whole life, on average), "cpu ms" (the processor time of
// its whole life, the median launch: steadier than times on a shared
// machine, as it leaves out waiting for the back end and the disk),
// "written KB" (what it wrote to the disk, on average) and "stored KB" (the
// folder launched over).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AppDriver.h"
#include "app/MainViewController.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"
#include "platform/startup.h"
#include "platform/user_defaults.h"
#include "../support/app_bench.h"
#include "../support/fixture.h"
#include "testing/backend.h"
#include "uikit/AVFoundation.h"
#include "uikit/UIViewController.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kChildFlag = "--phone-child";
constexpr const char* kStaffEmail = "personal@almavel.com.pa";
constexpr const char* kStaffPassword = "Almavel2024";
constexpr int kLaunchTimeoutSeconds = 120;

// ---- the launched process ----

bool mainMenuShows(const almavel::AppDriver& driver) {
    auto window = driver.window();
    if (!window || ns::Application::shared()->isIgnoringInteractionEvents()) return false;
    auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(window->topmostViewController());
    return nav && std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController());
}

// argv: kChildFlag, "sign-in" (the clerk signs in through the sign-in
// screen, setting the phone up) or "launch", the report pipe's descriptor.
// The sandbox is ALMAVEL_SANDBOX's, the routes ALMAVEL_ROUTES', as for the
// program.
int phoneChild(char** argv) {
    const std::string mode = argv[2];
    const int report = std::atoi(argv[3]);
    ns::DeviceProfile newPhone;
    newPhone.localeIdentifier = "es_PA";
    ns::Sandbox::current()->setNewPhoneProfile(newPhone);
    // The benchmark's own arguments are no launch arguments of the app's.
    ns::processStartup(1, argv);
    ns::AVCaptureDevice::installVirtualCamera();
    auto driver = almavel::AppDriver::launch();
    bool ok = true;
    if (mode == "sign-in") {
        ok = driver.waitUntilIdle() && driver.type("txtUser", kStaffEmail) &&
             driver.type("txtPass", kStaffPassword) && driver.tap("logIn");
    }
    ok = ok && ns::RunLoop::main().runUntil([&] { return mainMenuShows(driver); }, kLaunchTimeoutSeconds);
    const std::string line =
        ok ? std::string("menu\n") : "no main menu (" + driver.lastError() + "):\n" + driver.screenText();
    [[maybe_unused]] const auto written = ::write(report, line.data(), line.size());
    ::close(report);
    // The program's own end: the app's termination, the stores written and
    // the work under way finished, no library torn down under it.
    ns::Application::shared()->terminate();
    ns::UserDefaults::flushAllPending();
    ns::waitForQueuedWork(30);
    std::fflush(nullptr);
    std::quick_exit(ok ? 0 : 1);
}

// ---- the benchmark ----

std::string tempBase() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/almavel-clerk-launch-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    return pattern;
}

// ALMAVEL_ROUTES for the back end: what Backend::routeServiceHosts routes
// in its own process (the database's domain to the web-socket listeners,
// the messaging channel's port to its server).
std::string routesFor(const ns::testing::Backend& backend) {
    std::string routes;
    for (const auto& pattern : ns::testing::Backend::serviceHostPatterns()) {
        const bool ws = pattern == "*.quorvaneio.com";
        for (const auto& [port, to] : {std::pair{443, ws ? backend.wssPort() : backend.httpsPort()},
                                       std::pair{80, ws ? backend.wsPort() : backend.httpPort()},
                                       std::pair{5228, backend.mcsPort()}}) {
            if (!routes.empty()) routes += ",";
            routes += pattern + ":" + std::to_string(port) + "=127.0.0.1:" + std::to_string(to);
        }
    }
    return routes;
}

uintmax_t folderBytes(const fs::path& root) {
    uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) bytes += entry.file_size();
    }
    return bytes;
}

struct Launch {
    double toMenu = 0;  // seconds from the start to the main menu
    double life = 0;    // ... to the process reaped
    double cpu = 0;     // processor seconds of its whole life
    double writtenBytes = 0;
};

class Fixture {
public:
    Fixture() : base_(tempBase()) {
        try {
            backend_ = ns::testing::Backend::start({.seed = true});
            setUpPhone();
        } catch (...) {
            removeAll();
            throw;
        }
    }
    ~Fixture() {
        backend_.reset();
        removeAll();
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    // The phone back to the signed-in clerk's folder, then launched.
    Launch launchSignedIn() {
        fs::remove_all(phone());
        fs::copy(signedIn(), phone(), fs::copy_options::recursive);
        return run("launch");
    }
    uintmax_t storedBytes() const { return storedBytes_; }

private:
    fs::path phone() const { return fs::path(base_) / "phone"; }
    fs::path signedIn() const { return fs::path(base_) / "signed-in"; }

    void setUpPhone() {
        const std::string bundle = std::string(ALMAVEL_SOURCE_DIR) + "/core/tools/bundle/";
        fs::create_directories(phone() / "Bundle");
        for (const char* name : {"Info.plist", "OndrixService-Info.plist"}) {
            fs::copy_file(bundle + name, phone() / "Bundle" / name);
        }
        // The offer flyers and store photos the build drew.
        if (fs::is_directory(ALMAVEL_APP_RESOURCES)) {
            for (const auto& entry : fs::directory_iterator(ALMAVEL_APP_RESOURCES)) {
                fs::copy_file(entry.path(), phone() / "Bundle" / entry.path().filename());
            }
        }
        run("sign-in");
        fs::copy(phone(), signedIn(), fs::copy_options::recursive);
        storedBytes_ = folderBytes(signedIn());
    }

    // This program again as the phone's process; the back end's routes,
    // its certificate authority and the phone folder in its environment.
    Launch run(const std::string& mode) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string var = *e;
            if (var.rfind("ALMAVEL_SANDBOX=", 0) && var.rfind("ALMAVEL_ROUTES=", 0) &&
                var.rfind("ALMAVEL_EXTRA_CA=", 0)) {
                env.push_back(var);
            }
        }
        env.push_back("ALMAVEL_SANDBOX=" + phone().string());
        env.push_back("ALMAVEL_ROUTES=" + routesFor(*backend_));
        env.push_back("ALMAVEL_EXTRA_CA=" + ns::testing::Backend::caPath());
        std::vector<char*> envp;
        for (auto& var : env) envp.push_back(var.data());
        envp.push_back(nullptr);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
        std::string self = fs::read_symlink("/proc/self/exe").string();
        std::string fd = std::to_string(fds[1]);
        std::string flag = kChildFlag;
        std::string modeArg = mode;
        char* args[] = {self.data(), flag.data(), modeArg.data(), fd.data(), nullptr};
        const std::string log = (fs::path(base_) / (mode + ".log")).string();
        const pid_t parent = ::getpid();

        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("cannot start the phone's process");
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0) ::_exit(126);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::fcntl(fds[1], F_SETFD, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            ::execve(args[0], args, envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        Launch launch;
        std::string answer;
        const bool answered = readAnswer(fds[0], answer);
        launch.toMenu = appbench::secondsSince(start);
        ::close(fds[0]);
        if (!answered) ::kill(pid, SIGKILL);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        launch.life = appbench::secondsSince(start);
        launch.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        launch.writtenBytes = double(usage.ru_oublock) * 512;
        if (answer != "menu\n" || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw std::runtime_error("the " + mode + " did not reach the main menu: " +
                                     (answer.empty() ? "(no answer)" : answer) + " status " +
                                     std::to_string(status) + "; its output: " + log);
        }
        return launch;
    }

    // Until the child says "menu" (it goes on to its end) or closes the pipe
    // (what it said is all); false when neither came in time.
    static bool readAnswer(int fd, std::string& answer) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLaunchTimeoutSeconds);
        char buffer[4096];
        while (answer != "menu\n") {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return true;
            answer.append(buffer, size_t(n));
        }
        return true;
    }

    void removeAll() {
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    std::string base_;
    std::unique_ptr<ns::testing::Backend> backend_;
    uintmax_t storedBytes_ = 0;
};

void ClerkLaunchToMainMenu(benchmark::State& state) {
    std::vector<double> toMenu;
    std::vector<double> cpu;
    double life = 0, written = 0;
    try {
        Fixture& fixture = benchsupport::sharedFixture<Fixture>();
        for (auto _ : state) {
            const Launch launch = fixture.launchSignedIn();
            state.SetIterationTime(launch.toMenu);
            toMenu.push_back(launch.toMenu);
            cpu.push_back(launch.cpu);
            life += launch.life;
            written += launch.writtenBytes;
        }
        state.counters["stored KB"] = double(fixture.storedBytes()) / 1024;
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const auto median = [](std::vector<double> values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    const double launches = double(state.iterations());
    state.counters["median ms"] = median(toMenu) * 1000;
    state.counters["exit ms"] = life * 1000 / launches;
    state.counters["cpu ms"] = median(cpu) * 1000;
    state.counters["written KB"] = written / 1024 / launches;
}

BENCHMARK(ClerkLaunchToMainMenu)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], kChildFlag) == 0) return phoneChild(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
