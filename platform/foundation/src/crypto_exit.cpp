// OpenSSL frees its locks and tables from an exit handler that it registers
// the first time anything initialises it, unless that first initialisation
// asks it not to. Pooled work (the analytics monitor drawing random numbers,
// a key pair being made, a TLS handshake) may still be inside OpenSSL when
// main returns, and would then take a freed lock. The process's memory goes
// with the process anyway, so the handler is never wanted.
//
// Being first is what matters: a shared library may initialise OpenSSL from
// its own constructor (cpp-httplib's client does), before any constructor of
// the program runs, and libcurl does it when first used. The executable's
// pre-initialisation array runs before both, so every program linking the
// foundation turns the handler off here without its main's help; the
// foundation's link interface names the entry below, so a static link keeps
// this object file although nothing calls into it.

#include <openssl/crypto.h>

namespace {

void keepOpenSSLThroughExit() { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

}  // namespace

extern "C" {
[[gnu::used, gnu::section(".preinit_array")]] void (*almavel_openssl_no_atexit)() = keepOpenSSLThroughExit;
}
