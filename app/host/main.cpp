// The Almavel program: the store-assistant app on the headless UIKit.
//
//   almavel [--port N]                serves the phone at http://127.0.0.1:N/
//                                     (default 8080; 0 picks a free port)
//   almavel --script FILE [--shots DIR]
//                                     plays FILE's steps, prints each screen
//                                     and writes screenshots to DIR
//                                     (default ./almavel-shots; an empty
//                                     DIR takes none)
//
// SIGTERM, SIGINT and SIGHUP, whenever they come, end it as its normal end
// does: the app's termination runs, what the stores hold is on disk and
// writes under way finish, and the exit status is 0. An output whose reader
// has gone (`| head -1`) loses what is printed to it and ends nothing.
//
// The sandbox is ALMAVEL_SANDBOX (default ~/.local/share/almavel); its
// Bundle folder holds Info.plist and OndrixService-Info.plist. scripts/run
// prepares both and starts the local back end.

#include <sys/resource.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "app/AppConsole.h"
#include "app/AppDriver.h"
#include "app/ScriptPlayer.h"
#include "app/WebHost.h"
#include "core/QRVLogger.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"
#include "platform/startup.h"
#include "platform/store_writes.h"
#include "platform/user_defaults.h"
#include "uikit/AVFoundation.h"

namespace {

// The signals by which a system or a person asks a program to end. They are
// blocked before anything of the program runs (from the executable's
// pre-initialisation, so every thread, whoever starts it, inherits the
// block) and taken by one thread of ours, which ends the program the normal
// way: a handler could only set a flag, and one installed later left an
// early signal to end the process with nothing written.
sigset_t endingSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// SIGPIPE is ignored from the same moment: when a reader of the program's
// output has gone (`almavel --script FILE | head -1`), its default would end
// the process at the next printed screen or log line, with the app's
// termination never run and its stores not written. Such a write fails with
// EPIPE instead, what it says is lost, and the run goes on to its own end.
void blockEndingSignalsIgnorePipes(int, char**, char**) {
    const sigset_t set = endingSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

__attribute__((section(".preinit_array"), used)) void (*const signalsSetFirst)(int, char**, char**) =
    blockEndingSignalsIgnorePipes;

int usage() {
    std::fprintf(stderr, "usage: almavel [--port N] | --script FILE [--shots DIR]\n");
    return 2;
}

// Ends the program without tearing down its libraries: work of the shared
// pool (instance identity's key generation, a TLS handshake) may still be
// running, and OpenSSL's or libcurl's exit-time cleanup under it crashes.
// Stores are written first and writes under way finish (none starts after),
// then what the program printed and logged is flushed.
[[noreturn]] void leave(int status) {
    // One end: a second caller (the signal thread past its grace while the
    // main thread is already leaving) waits for the first to end the process.
    static std::atomic_flag leaving = ATOMIC_FLAG_INIT;
    if (leaving.test_and_set()) {
        for (;;) ::pause();
    }
    ns::UserDefaults::flushAllPending();
    ns::storeWrites::closeForExit();
    QRVLoggerFlush();
    std::cout.flush();
    std::fflush(nullptr);
    std::quick_exit(status);
}

// The end of a launched app, as the phone ends it: the application's
// termination runs (its delegate and every observer of the notification),
// then the program leaves. Main queue.
[[noreturn]] void terminateAndLeave(int status) {
    ns::Application::shared()->terminate();
    leave(status);
}

// Takes the ending signals for the whole run. The end runs on the main
// queue, where the app's termination belongs; a main thread that does not
// come to it (stuck in a step) is not waited for past kMainQueueGrace, and
// the stores are then written from here.
void watchEndingSignals() {
    std::thread([] {
        const sigset_t set = endingSignals();
        int signal = 0;
        while (::sigwait(&set, &signal) != 0) {
        }
        ns::DispatchQueue::main()->async([] { terminateAndLeave(0); });
        constexpr auto kMainQueueGrace = std::chrono::seconds(10);
        std::this_thread::sleep_for(kMainQueueGrace);
        leave(0);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    // Every page connection is a descriptor; take all the system allows
    // (the page host caps connections below that).
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    int port = 8080;
    std::string script;
    std::string shots = "almavel-shots";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 65535) return usage();
            port = int(value);
        } else if (arg == "--script" && hasValue) {
            script = argv[++i];
        } else if (arg == "--shots" && hasValue) {
            shots = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            return usage();
        }
    }

    // A new phone is set up as the stores' are, in Spanish (Panama), which
    // the system's own texts follow, and so is a phone whose profile was
    // found damaged; a phone already set up keeps its profile.
    ns::DeviceProfile newPhone;
    newPhone.localeIdentifier = "es_PA";
    ns::Sandbox::current()->setNewPhoneProfile(newPhone);
    ns::processStartup(argc, argv);
    watchEndingSignals();
    // The phone's camera: the page's camera panel and the script's scan
    // steps put pictures and codes in front of it.
    ns::AVCaptureDevice::installVirtualCamera();
    almavel::AppDriver driver;
    try {
        driver = almavel::AppDriver::launch();
    } catch (const ns::Exception& e) {
        std::fprintf(stderr, "almavel: the app could not start: %s: %s\n", e.name().c_str(), e.reason().c_str());
        leave(1);
    }

    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            std::fprintf(stderr, "almavel: cannot read %s\n", script.c_str());
            leave(1);
        }
        const auto result = almavel::playScript(in, std::cout, shots, driver);
        terminateAndLeave(result.ok ? 0 : 1);
    }

    almavel::WebHost host(driver);
    try {
        port = host.start(port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "almavel: %s\n", e.what());
        leave(1);
    }
    std::printf("almavel: open http://127.0.0.1:%d/ in a browser\n", port);
    std::fflush(stdout);
    ns::RunLoop::main().run();
    // The run loop stopped without a signal (the application terminated
    // itself): the same end.
    host.stop();
    leave(0);
}
