// The low-level SHA-1 calls are deprecated in OpenSSL 3 in favour of EVP,
// but EVP costs about 35 ns more per message (provider dispatch), which a
// tree hash pays once per node; the digest is the same.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "FDigest.h"

#include <openssl/sha.h>

#include "platform/crypto.h"

namespace fdigest {

Digest sha1(std::string_view bytes) {
    Digest out{};
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    SHA1_Update(&ctx, bytes.data(), bytes.size());
    SHA1_Final(out.data(), &ctx);
    return out;
}

void appendBase64(const Digest& digest, std::string& out) { ns::crypto::base64Append(digest.data(), digest.size(), out); }

std::string base64(const Digest& digest) {
    std::string out;
    out.reserve(28);
    appendBase64(digest, out);
    return out;
}

}  // namespace fdigest
