#include "platform/startup.h"

#include <openssl/crypto.h>

#include <string>
#include <vector>

#include "platform/process_info.h"
#include "platform/runloop.h"
#include "platform/runtime.h"

namespace ns {

void processStartup(int argc, char** argv) {
    // Pooled work (a key pair being made, a TLS handshake) may still run when
    // main returns; OpenSSL's exit-time clean-up would free its tables under
    // it. The foundation already turned it off before any constructor ran
    // (crypto_exit.cpp); asking again costs nothing and says so here.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    RunLoop::bindMainThread();
    std::vector<std::string> arguments(argv, argv + argc);
    ProcessInfo::processInfo().setArguments(std::move(arguments));
    Runtime::runLoadHooks();
}

}  // namespace ns
