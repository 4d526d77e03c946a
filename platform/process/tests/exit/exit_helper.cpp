// A program whose pooled work is inside OpenSSL, in a loop, when main
// returns. Its main skips ns::processStartup, as a fuzz target's or a
// replay's does, and it links a library that started OpenSSL before main
// (openssl_first.cpp). Exit status 0 means nothing at exit freed what that
// work still used; the exit test runs it many times.
//
//   platform_exit_helper [WORKERS]

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/crypto.h"
#include "platform/dispatch.h"

extern "C" bool almavel_openssl_started_by_library();

namespace {

// Never destroyed: the workers read it until the process is gone.
std::atomic<int>& started = *new std::atomic<int>(0);

[[noreturn]] void drawForever() {
    started.fetch_add(1);
    for (;;) {
        const ns::Data bytes = ns::crypto::randomBytes(16);
        if (ns::crypto::uniformRandom(1000) >= 1000 || ns::crypto::sha256(bytes).size() != 32) std::abort();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!almavel_openssl_started_by_library()) {
        std::fprintf(stderr, "OpenSSL was not started before main\n");
        return 3;
    }
    const int workers = argc > 1 ? std::atoi(argv[1]) : 4;
    for (int i = 0; i < workers; ++i) ns::DispatchQueue::global()->async([] { drawForever(); });
    // Return only once every worker is drawing.
    while (started.load() < workers) std::this_thread::yield();
    return 0;
}
