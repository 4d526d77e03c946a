// The Almavel program: the store-assistant app on the headless UIKit.
//
//   almavel [--port N]                serves the phone at http://127.0.0.1:N/
//                                     (default 8080; 0 picks a free port)
//   almavel --script FILE [--shots DIR]
//                                     plays FILE's steps, prints each screen
//                                     and writes screenshots to DIR
//                                     (default ./almavel-shots)
//
// The sandbox is ALMAVEL_SANDBOX (default ~/.local/share/almavel); its
// Bundle folder holds Info.plist and OndrixService-Info.plist. scripts/run
// prepares both and starts the local back end.

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "app/AppConsole.h"
#include "app/AppDriver.h"
#include "app/ScriptPlayer.h"
#include "app/WebHost.h"
#include "core/QRVLogger.h"
#include "platform/application.h"
#include "platform/error.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"
#include "platform/startup.h"
#include "uikit/AVFoundation.h"

namespace {

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

int usage() {
    std::fprintf(stderr, "usage: almavel [--port N] | --script FILE [--shots DIR]\n");
    return 2;
}

// Ends the program without tearing down its libraries: work of the shared
// pool (instance identity's key generation, a TLS handshake) may still be
// running, and OpenSSL's or libcurl's exit-time cleanup under it crashes.
// What the program printed and logged is flushed first.
[[noreturn]] void leave(int status) {
    QRVLoggerFlush();
    std::cout.flush();
    std::fflush(nullptr);
    std::quick_exit(status);
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
        leave(result.ok ? 0 : 1);
    }

    almavel::WebHost host(driver);
    try {
        port = host.start(port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "almavel: %s\n", e.what());
        leave(1);
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    auto watcher = ns::Timer::scheduled(ns::RunLoop::main(), 0.2, true, [](ns::Timer&) {
        if (stopRequested) ns::Application::shared()->terminate();
    });
    std::printf("almavel: open http://127.0.0.1:%d/ in a browser\n", port);
    std::fflush(stdout);
    ns::RunLoop::main().run();
    watcher->invalidate();
    host.stop();
    leave(0);
}
