#include "backend/service.h"

namespace backend {

Context::Context(Options options)
    : options_(std::move(options)),
      dataDir_(options_.dataDir.empty() ? std::filesystem::path() : std::filesystem::absolute(options_.dataDir)) {}

void Context::setPorts(int http, int https) {
    httpPort_.store(http);
    httpsPort_.store(https);
}

}  // namespace backend
