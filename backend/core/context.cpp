#include <openssl/rand.h>

#include <stdexcept>

#include "backend/core/service.h"

namespace backend {

namespace {

// 32 random bytes, hex.
std::string newSecret() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no randomness for the admin secret");
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

Context::Context(Options options)
    : options_(std::move(options)),
      dataDir_(options_.dataDir.empty() ? std::filesystem::path() : std::filesystem::absolute(options_.dataDir)),
      adminSecret_(newSecret()) {}

void Context::setPorts(int http, int https) {
    httpPort_.store(http);
    httpsPort_.store(https);
}

}  // namespace backend
