// A shared library that starts OpenSSL from its own constructor, as
// cpp-httplib's client does: the loader runs it before any constructor of the
// program that links it, so the program cannot be the first to initialise
// OpenSSL from a constructor of its own.

#include <openssl/ssl.h>

namespace {

bool started = false;

[[gnu::constructor]] void startOpenSSL() { started = OPENSSL_init_ssl(0, nullptr) == 1; }

}  // namespace

extern "C" [[gnu::visibility("default")]] bool almavel_openssl_started_by_library() { return started; }
