#include "platform/crypto.h"

#include "platform/format.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <limits>

namespace ns::crypto {

namespace {

// Drains OpenSSL's thread-local error queue into one error so that a failure
// never leaves stale entries behind for an unrelated later call.
ErrorRef opensslError(const std::string& what) {
    unsigned long code = ERR_get_error();
    unsigned long last = code;
    for (unsigned long next; (next = ERR_get_error()) != 0;) last = next;
    std::string reason;
    if (last != 0) {
        char buf[256];
        ERR_error_string_n(last, buf, sizeof buf);
        reason = buf;
    }
    return Error::make(kCryptoErrorDomain, code != 0 ? long(ERR_GET_REASON(code)) : -1L, what, reason);
}

void setError(ErrorRef* out, ErrorRef e) {
    if (out) *out = std::move(e);
}

Data digest(const EVP_MD* md, const uint8_t* bytes, size_t size) {
    Data out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(bytes, size, out.data(), &len, md, nullptr) != 1) {
        ERR_clear_error();
        Exception::raise(kInternalInconsistencyException, "digest computation failed");
    }
    out.resize(len);
    return out;
}

Data hmac(const EVP_MD* md, const uint8_t* key, size_t keySize, const uint8_t* msg, size_t msgSize) {
    Data out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    // An empty key is legal for HMAC; OpenSSL wants a non-null pointer for it.
    static const uint8_t empty = 0;
    if (!HMAC(md, keySize ? key : &empty, int(keySize), msgSize ? msg : &empty, msgSize, out.data(), &len)) {
        ERR_clear_error();
        Exception::raise(kInternalInconsistencyException, "HMAC computation failed");
    }
    out.resize(len);
    return out;
}

const uint8_t* bytesOf(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

const EVP_MD* mdFor(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::SHA1 ? EVP_sha1() : EVP_sha256();
}

struct PKeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxDeleter>;

}  // namespace

Data sha1(const Data& bytes) { return digest(EVP_sha1(), bytes.data(), bytes.size()); }
Data sha1(std::string_view bytes) { return digest(EVP_sha1(), bytesOf(bytes), bytes.size()); }
Data md5(const Data& bytes) { return digest(EVP_md5(), bytes.data(), bytes.size()); }
Data md5(std::string_view bytes) { return digest(EVP_md5(), bytesOf(bytes), bytes.size()); }
Data sha256(const Data& bytes) { return digest(EVP_sha256(), bytes.data(), bytes.size()); }
Data sha256(std::string_view bytes) { return digest(EVP_sha256(), bytesOf(bytes), bytes.size()); }

Data hmacSha1(const Data& key, const Data& message) {
    return hmac(EVP_sha1(), key.data(), key.size(), message.data(), message.size());
}
Data hmacSha256(const Data& key, const Data& message) {
    return hmac(EVP_sha256(), key.data(), key.size(), message.data(), message.size());
}
Data hmacSha256(std::string_view key, std::string_view message) {
    return hmac(EVP_sha256(), bytesOf(key), key.size(), bytesOf(message), message.size());
}

std::string sha256Hex(std::string_view bytes) { return hex(sha256(bytes)); }
std::string sha256Hex(const Data& bytes) { return hex(sha256(bytes)); }

void base64Append(const uint8_t* bytes, size_t size, std::string& out) {
    if (size == 0) return;
    if (size > size_t(std::numeric_limits<int>::max()) / 4 * 3) {
        Exception::raise(kInvalidArgumentException, "data too large to encode as base64");
    }
    const size_t at = out.size();
    // EVP_EncodeBlock writes a terminating NUL after the text.
    out.resize(at + 4 * ((size + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + at), bytes, int(size));
    out.resize(at + size_t(n));
}

std::string base64Encode(const uint8_t* bytes, size_t size) {
    std::string out;
    base64Append(bytes, size, out);
    return out;
}

std::string base64Encode(const Data& bytes) { return base64Encode(bytes.data(), bytes.size()); }

std::string base64Encode(std::string_view bytes) { return base64Encode(bytesOf(bytes), bytes.size()); }

std::string base64Encode(const Data& bytes, size_t lineLength, std::string_view lineEnd) {
    const std::string flat = base64Encode(bytes);
    if (lineLength == 0) return flat;
    std::string out;
    out.reserve(flat.size() + flat.size() / lineLength * lineEnd.size());
    for (size_t i = 0; i < flat.size(); i += lineLength) {
        if (i) out += lineEnd;
        out.append(flat, i, lineLength);
    }
    return out;
}

std::optional<Data> base64DecodeStrict(std::string_view text, Base64Padding padding) {
    size_t pad = 0;
    while (pad < text.size() && pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
    const std::string_view body = text.substr(0, text.size() - pad);
    if (body.size() % 4 == 1) return std::nullopt;
    switch (padding) {
        case Base64Padding::Forbidden:
            if (pad != 0) return std::nullopt;
            break;
        case Base64Padding::Required:
            if (text.size() % 4 != 0) return std::nullopt;
            break;
        case Base64Padding::Optional:
            if (pad != 0 && text.size() % 4 != 0) return std::nullopt;
            break;
    }
    // Padding only ever completes a last group of two or three characters.
    if (pad != 0 && body.size() % 4 != 4 - pad) return std::nullopt;
    Data out;
    out.reserve(body.size() / 4 * 3 + 2);
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : body) {
        const int v = base64Value(c);
        if (v < 0) return std::nullopt;  // '=' inside the text included
        accumulator = (accumulator << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(accumulator >> bits));
        }
    }
    // Left-over bits belong to no byte; a canonical encoder writes zeros.
    if (bits != 0 && (accumulator & ((1u << bits) - 1)) != 0) return std::nullopt;
    return out;
}

std::optional<Data> base64Decode(std::string_view text) {
    // Strip white space and trailing padding, check the alphabet, then let
    // OpenSSL decode the re-padded text.
    std::string clean;
    clean.reserve(text.size());
    size_t padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding != 0 || base64Value(c) < 0) return std::nullopt;  // data after '=' or a foreign character
        clean.push_back(c);
    }
    if (padding > 2 || clean.size() % 4 == 1) return std::nullopt;
    if (padding != 0 && (clean.size() + padding) % 4 != 0) return std::nullopt;
    size_t tail = clean.size() % 4;
    if (tail) clean.append(4 - tail, '=');
    if (clean.empty()) return Data{};
    Data out(clean.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()), int(clean.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t drop = tail == 0 ? 0 : 4 - tail;
    out.resize(size_t(n) - drop);
    return out;
}

std::string base64UrlEncode(const Data& bytes) {
    std::string s = base64Encode(bytes);
    while (!s.empty() && s.back() == '=') s.pop_back();
    for (char& c : s) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return s;
}

std::optional<Data> base64UrlDecode(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
        else if (c == '+' || c == '/') return std::nullopt;
    }
    return base64Decode(s);
}

std::string hex(const Data& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::optional<Data> hexDecode(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Data out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return out;
}

Data toData(std::string_view bytes) { return Data(bytesOf(bytes), bytesOf(bytes) + bytes.size()); }
std::string toString(const Data& bytes) { return std::string(bytes.begin(), bytes.end()); }

// ---- RSA ----

struct RSAKey::Impl {
    static EVP_PKEY* pkey(const RSAKey& k) { return static_cast<EVP_PKEY*>(k.pkey_); }
    static RSAKeyPtr wrap(EVP_PKEY* p, bool isPrivate) {
        return RSAKeyPtr(new RSAKey(p, isPrivate));
    }
    static bool isRSA(EVP_PKEY* p) { return EVP_PKEY_is_a(p, "RSA") == 1; }
};

RSAKey::RSAKey(void* pkey, bool isPrivate) : pkey_(pkey), isPrivate_(isPrivate) {}

RSAKey::~RSAKey() { EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey_)); }

RSAKeyPtr RSAKey::generate(int bits, ErrorRef* error) {
    if (bits < 1024 || bits > 16384) {
        setError(error, Error::make(kCryptoErrorDomain, -1, ns::format("unsupported RSA key size %d", bits)));
        return nullptr;
    }
    EVP_PKEY* p = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(bits));
    if (!p) {
        setError(error, opensslError("RSA key generation failed"));
        return nullptr;
    }
    return Impl::wrap(p, true);
}

RSAKeyPtr RSAKey::importPrivateKey(const Data& der, ErrorRef* error) {
    const unsigned char* in = der.data();
    EVP_PKEY* p = der.empty() ? nullptr : d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &in, long(der.size()));
    if (!p && !der.empty()) {
        // PKCS#8 wrapping is accepted too; OpenSSL may already have tried it.
        ERR_clear_error();
        in = der.data();
        p = d2i_AutoPrivateKey(nullptr, &in, long(der.size()));
    }
    if (!p || !Impl::isRSA(p) || in != der.data() + der.size()) {
        EVP_PKEY_free(p);
        setError(error, der.empty() ? Error::make(kCryptoErrorDomain, -1, "empty private key data")
                                    : opensslError("not an RSA private key in DER form"));
        ERR_clear_error();
        return nullptr;
    }
    return Impl::wrap(p, true);
}

RSAKeyPtr RSAKey::importPublicKey(const Data& der, ErrorRef* error) {
    if (der.empty()) {
        setError(error, Error::make(kCryptoErrorDomain, -1, "empty public key data"));
        return nullptr;
    }
    const unsigned char* in = der.data();
    EVP_PKEY* p = d2i_PUBKEY(nullptr, &in, long(der.size()));
    if (!p || in != der.data() + der.size()) {
        EVP_PKEY_free(p);
        ERR_clear_error();
        in = der.data();
        p = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &in, long(der.size()));
        if (p && in != der.data() + der.size()) {
            EVP_PKEY_free(p);
            p = nullptr;
        }
    }
    if (!p || !Impl::isRSA(p)) {
        EVP_PKEY_free(p);
        setError(error, opensslError("not an RSA public key in DER form"));
        return nullptr;
    }
    return Impl::wrap(p, false);
}

int RSAKey::bits() const { return EVP_PKEY_get_bits(Impl::pkey(*this)); }

RSAKeyPtr RSAKey::publicKey() const {
    ErrorRef ignored;
    Data der = exportPublicKeySPKI(&ignored);
    return der.empty() ? nullptr : importPublicKey(der, &ignored);
}

namespace {

template <class F>
Data encode(F&& i2d, EVP_PKEY* p, const char* what, ErrorRef* error) {
    unsigned char* buf = nullptr;
    int n = i2d(p, &buf);
    if (n <= 0) {
        setError(error, opensslError(what));
        return {};
    }
    Data out(buf, buf + n);
    OPENSSL_free(buf);
    return out;
}

}  // namespace

Data RSAKey::exportPrivateKey(ErrorRef* error) const {
    if (!isPrivate_) {
        setError(error, Error::make(kCryptoErrorDomain, -1, "the key has no private part"));
        return {};
    }
    // i2d_PrivateKey writes the type-specific (PKCS#1) structure for RSA.
    return encode([](EVP_PKEY* p, unsigned char** b) { return i2d_PrivateKey(p, b); }, Impl::pkey(*this),
                  "private key export failed", error);
}

Data RSAKey::exportPublicKey(ErrorRef* error) const {
    return encode([](EVP_PKEY* p, unsigned char** b) { return i2d_PublicKey(p, b); }, Impl::pkey(*this),
                  "public key export failed", error);
}

Data RSAKey::exportPublicKeySPKI(ErrorRef* error) const {
    return encode([](EVP_PKEY* p, unsigned char** b) { return i2d_PUBKEY(p, b); }, Impl::pkey(*this),
                  "public key export failed", error);
}

Data RSAKey::sign(const Data& message, DigestAlgorithm algorithm, ErrorRef* error) const {
    Data d = digest(mdFor(algorithm), message.data(), message.size());
    return signDigest(d, algorithm, error);
}

Data RSAKey::signDigest(const Data& digestBytes, DigestAlgorithm algorithm, ErrorRef* error) const {
    if (!isPrivate_) {
        setError(error, Error::make(kCryptoErrorDomain, -1, "signing needs a private key"));
        return {};
    }
    const EVP_MD* md = mdFor(algorithm);
    if (digestBytes.size() != size_t(EVP_MD_get_size(md))) {
        setError(error, Error::make(kCryptoErrorDomain, -1,
                                    ns::format("digest must be %d bytes, got %zu", EVP_MD_get_size(md),
                                               digestBytes.size())));
        return {};
    }
    PKeyCtx ctx(EVP_PKEY_CTX_new(Impl::pkey(*this), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, digestBytes.data(), digestBytes.size()) != 1) {
        setError(error, opensslError("RSA signing failed"));
        return {};
    }
    Data sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digestBytes.data(), digestBytes.size()) != 1) {
        setError(error, opensslError("RSA signing failed"));
        return {};
    }
    sig.resize(len);
    return sig;
}

bool RSAKey::verify(const Data& message, const Data& signature, DigestAlgorithm algorithm) const {
    return verifyDigest(digest(mdFor(algorithm), message.data(), message.size()), signature, algorithm);
}

bool RSAKey::verifyDigest(const Data& digestBytes, const Data& signature, DigestAlgorithm algorithm) const {
    const EVP_MD* md = mdFor(algorithm);
    if (digestBytes.size() != size_t(EVP_MD_get_size(md)) || signature.empty()) return false;
    PKeyCtx ctx(EVP_PKEY_CTX_new(Impl::pkey(*this), nullptr));
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
              EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digestBytes.data(),
                              digestBytes.size()) == 1;
    ERR_clear_error();
    return ok;
}

size_t RSAKey::blockSize() const { return size_t(EVP_PKEY_get_size(Impl::pkey(*this))); }

namespace {

// One raw RSA exponentiation through the encrypt (public exponent) or
// decrypt (private exponent) operation with padding turned off; OpenSSL
// wants exactly the modulus length, so a short block is widened with zeros
// on the left, which leaves its value unchanged.
Data rawOperation(EVP_PKEY* pkey, size_t blockSize, const Data& block, bool usePrivate, ErrorRef* error) {
    if (block.size() > blockSize) {
        setError(error, Error::make(kCryptoErrorDomain, -1,
                                    ns::format("a block of %zu bytes is longer than the %zu-byte modulus",
                                               block.size(), blockSize)));
        return {};
    }
    Data input(blockSize - block.size(), 0);
    input.insert(input.end(), block.begin(), block.end());
    PKeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    size_t len = blockSize;
    Data out(blockSize);
    bool ok = ctx && (usePrivate ? EVP_PKEY_decrypt_init(ctx.get()) : EVP_PKEY_encrypt_init(ctx.get())) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
              (usePrivate ? EVP_PKEY_decrypt(ctx.get(), out.data(), &len, input.data(), input.size())
                          : EVP_PKEY_encrypt(ctx.get(), out.data(), &len, input.data(), input.size())) == 1;
    if (!ok) {
        setError(error, opensslError(usePrivate ? "raw RSA private-key operation failed"
                                                : "raw RSA public-key operation failed"));
        return {};
    }
    // The result is a number below the modulus; keep it at full width.
    if (len < blockSize) out.insert(out.begin(), blockSize - len, 0);
    out.resize(blockSize);
    return out;
}

}  // namespace

Data RSAKey::rawPrivateOperation(const Data& block, ErrorRef* error) const {
    if (!isPrivate_) {
        setError(error, Error::make(kCryptoErrorDomain, -1, "the raw private-key operation needs a private key"));
        return {};
    }
    return rawOperation(Impl::pkey(*this), blockSize(), block, true, error);
}

Data RSAKey::rawPublicOperation(const Data& block, ErrorRef* error) const {
    return rawOperation(Impl::pkey(*this), blockSize(), block, false, error);
}

// ---- random ----

Data randomBytes(size_t count) {
    Data out(count);
    if (count == 0) return out;
    if (count > size_t(std::numeric_limits<int>::max()) || RAND_bytes(out.data(), int(count)) != 1) {
        ERR_clear_error();
        Exception::raise(kInternalInconsistencyException, "the random number generator failed");
    }
    return out;
}

uint32_t random32() {
    uint32_t v;
    Data b = randomBytes(sizeof v);
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

uint64_t random64() {
    uint64_t v;
    Data b = randomBytes(sizeof v);
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

uint32_t uniformRandom(uint32_t upperBound) {
    if (upperBound < 2) return 0;
    // Reject draws below 2^32 mod upperBound: what remains is a whole number
    // of copies of [0, upperBound), so the remainder is unbiased.
    uint32_t min = uint32_t(-upperBound) % upperBound;
    for (;;) {
        uint32_t r = random32();
        if (r >= min) return r % upperBound;
    }
}

}  // namespace ns::crypto
