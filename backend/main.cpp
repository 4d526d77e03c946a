// almavel-backend: the local stand-in for the hosted back end, on loopback.

#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "backend/core/options.h"
#include "backend/core/server.h"
#include "backend/services.h"

// Every connection's memory passes between threads: one I/O thread reads a
// frame, a handler thread answers it, and whichever thread drops the last
// reference frees the buffers. glibc gives each thread an arena of its own
// (up to eight per core; the back end runs about forty threads) and takes a
// freed block back into the arena it came from, so the same load repeated
// left free memory scattered over dozens of arenas, each holding on to its
// share: the resident set grew round after round (74 to 203 MB over ten
// rounds of 200 clients). One arena held it within a fifth but at twice
// jemalloc's memory and a lock every thread queues for; mimalloc swung by up
// to 60 % from one round to the next. jemalloc (linked into this
// program only, see CMakeLists.txt) reuses memory across threads and was the
// fastest of those measured. Its background thread hands pages freed more
// than a second ago back to the system even when the back end goes quiet
// after a burst; without it they stay until the next allocation comes.
// MALLOC_CONF in the environment still overrides this.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "background_thread:true,dirty_decay_ms:1000";
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = backend::parseOptions(args);
    if (!parsed.error.empty()) {
        std::cerr << "almavel-backend: " << parsed.error << "\n" << backend::usage();
        return 2;
    }
    if (parsed.options.help) {
        std::cout << backend::usage();
        return 0;
    }

    // Files the back end makes are its user's only.
    ::umask(077);
    // Every open connection is a descriptor; take all the system allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // A client hanging up mid-response must not end the process.
    ::signal(SIGPIPE, SIG_IGN);
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal never reaches sigwait.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(SIGINT, &defaultAction, nullptr);
    ::sigaction(SIGTERM, &defaultAction, nullptr);
    // Blocked before any thread exists, so every thread inherits the mask
    // and the signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string readyFile = parsed.options.readyFile;
    backend::BackendServer server(parsed.options);
    backend::addBuiltinServices(server);
    try {
        server.start();
        // Said before the ready file appears: whoever waits for that file
        // may read this line at once.
        std::cout << "almavel-backend listening http=" << server.httpPort() << " https=" << server.httpsPort()
                  << " ws=" << server.wsPort() << " wss=" << server.wssPort() << " mcs=" << server.mcsPort()
                  << std::endl;
        if (!readyFile.empty()) {
            backend::writeReadyFile(readyFile, server.httpPort(), server.httpsPort(), server.wsPort(),
                                    server.wssPort(), server.mcsPort(), long(::getpid()), server.adminSecret());
        }
    } catch (const std::exception& e) {
        std::cerr << "almavel-backend: " << e.what() << std::endl;
        server.stop();
        return 1;
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    if (!readyFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(readyFile, ignored);
    }
    return 0;
}
