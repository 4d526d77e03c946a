// A program whose pooled work is still running when main returns. Its main
// skips ns::processStartup, as a fuzz target's or a replay's does. Exit
// status 0 means nothing at exit freed what that work still used; the exit
// test runs it many times. Its "defaults" case is a program whose store
// writes the user-defaults journal test ends it in.
//
//   platform_exit_helper openssl [WORKERS]
//       the workers loop inside OpenSSL (random bytes, SHA-256), which a
//       library linked in started before main (openssl_first.cpp)
//   platform_exit_helper sandbox [WORKERS]
//       the workers loop on the current sandbox: they write user defaults
//       and files, read the device profile and the system's language, and
//       log; an exit handler removes the sandbox's folder meanwhile, so
//       their writes fail and their errors are described in the profile's
//       language
//   platform_exit_helper defaults FOLDER
//       changes the standard user defaults of the sandbox at FOLDER: values
//       set and removed, the domain removed, more set, then synchronize().
//       The user-defaults journal test runs it with ALMAVEL_END_AT_WRITE to
//       end it at one step of those writes; no timed write runs, so every
//       run makes the same writes

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/file_manager.h"
#include "platform/sandbox.h"
#include "platform/system_language.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"

extern "C" bool almavel_openssl_started_by_library();

namespace {

// Never destroyed: the workers read them until the process is gone.
std::atomic<int>& started = *new std::atomic<int>(0);
std::string& folder = *new std::string;

[[noreturn]] void drawForever() {
    started.fetch_add(1);
    for (;;) {
        const ns::Data bytes = ns::crypto::randomBytes(16);
        if (ns::crypto::uniformRandom(1000) >= 1000 || ns::crypto::sha256(bytes).size() != 32) std::abort();
    }
}

[[noreturn]] void useTheSandboxForever(int worker) {
    started.fetch_add(1);
    const std::string key = "worker-" + std::to_string(worker);
    for (int64_t round = 0;; ++round) {
        auto sandbox = ns::Sandbox::current();
        if (sandbox->deviceProfile().localeIdentifier.empty()) std::abort();
        auto defaults = ns::UserDefaults::standard();
        defaults->setInteger(round, key);
        defaults->synchronize();
        ns::ErrorRef error;
        const std::string path = sandbox->documentsPath() + "/" + key + "/file";
        if (!ns::FileManager().writeData(path, ns::Data(8, uint8_t(round)), &error) && error) {
            // The description is the system's text in the profile's language.
            if (error->localizedDescription().empty()) std::abort();
        }
        (void)ns::systemLanguage();
        if (round % 1024 == 0) ns::SystemLog::write(ns::SystemLog::kError, key + " wrote " + std::to_string(round));
    }
}

int sandboxCase(int workers) {
    folder = (std::filesystem::temp_directory_path() / "almavel-exit-XXXXXX").string();
    if (!::mkdtemp(folder.data())) return 4;
    // Registered before anything the workers use is made, so it runs after
    // every exit step those made: the folder goes while they still write.
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    ns::Sandbox::setCurrent(ns::Sandbox::open(folder));
    ns::UserDefaults::standard()->setString("before", "start");
    for (int i = 0; i < workers; ++i) ns::DispatchQueue::global()->async([i] { useTheSandboxForever(i); });
    while (started.load() < workers) std::this_thread::yield();
    return 0;
}

int opensslCase(int workers) {
    if (!almavel_openssl_started_by_library()) {
        std::fprintf(stderr, "OpenSSL was not started before main\n");
        return 3;
    }
    for (int i = 0; i < workers; ++i) ns::DispatchQueue::global()->async([] { drawForever(); });
    // Return only once every worker is drawing.
    while (started.load() < workers) std::this_thread::yield();
    return 0;
}

int defaultsCase(const char* folder) {
    auto clock = ns::VirtualClock::install();
    ns::Sandbox::setCurrent(ns::Sandbox::open(folder));
    auto defaults = ns::UserDefaults::standard();
    defaults->setString("cleared", "before");
    defaults->setInteger(1, "count");
    defaults->removePersistentDomain();
    defaults->setInteger(2, "count");
    defaults->setObject(ns::Value(ns::Array{ns::Value("a"), ns::Value(3.5)}), "list");
    defaults->setObject(ns::Value(ns::Dictionary{{"inner", ns::Data{1, 2, 3}}}), "map");
    defaults->setString("temporary", "removed");
    defaults->removeObjectForKey("removed");
    defaults->setInteger(3, "count");
    return defaults->synchronize() ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
    const int workers = argc > 2 ? std::atoi(argv[2]) : 4;
    if (argc > 1 && std::strcmp(argv[1], "sandbox") == 0) return sandboxCase(workers);
    if (argc > 1 && std::strcmp(argv[1], "openssl") == 0) return opensslCase(workers);
    if (argc > 2 && std::strcmp(argv[1], "defaults") == 0) return defaultsCase(argv[2]);
    std::fprintf(stderr, "usage: platform_exit_helper openssl|sandbox [WORKERS] | defaults FOLDER\n");
    return 2;
}
