#include "FDigest.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/error.h"

namespace fdigest {
namespace {

const EVP_MD* sha1Algorithm() {
    // Fetched once for the process; OpenSSL keeps it for the process too.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return md;
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

EVP_MD_CTX* threadContext() {
    thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    return ctx.get();
}

}  // namespace

Digest sha1(std::string_view bytes) {
    Digest out{};
    EVP_MD_CTX* ctx = threadContext();
    const EVP_MD* md = sha1Algorithm();
    unsigned int len = 0;
    if (!ctx || !md || EVP_DigestInit_ex2(ctx, md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) != 1 || EVP_DigestFinal_ex(ctx, out.data(), &len) != 1 ||
        len != out.size()) {
        throw ns::Exception(ns::kInternalInconsistencyException, "SHA-1 digest failed");
    }
    return out;
}

void appendBase64(const Digest& digest, std::string& out) {
    unsigned char buf[32];
    int n = EVP_EncodeBlock(buf, digest.data(), int(digest.size()));
    out.append(reinterpret_cast<const char*>(buf), size_t(n));
}

std::string base64(const Digest& digest) {
    std::string out;
    out.reserve(28);
    appendBase64(digest, out);
    return out;
}

}  // namespace fdigest
