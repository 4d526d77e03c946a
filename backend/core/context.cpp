#include <openssl/rand.h>

#include <iterator>
#include <stdexcept>

#include "backend/core/service.h"
#include "platform/crypto.h"

namespace backend {

namespace {

// 32 random bytes, hex.
std::string newSecret() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no randomness for the admin secret");
    return ns::crypto::hex(ns::Data(std::begin(bytes), std::end(bytes)));
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
