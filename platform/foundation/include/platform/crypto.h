#pragma once
// CommonCrypto / Security stand-ins on OpenSSL 3: digests, HMAC, base64, hex,
// RSA keys with raw PKCS#1 v1.5 signatures, and the random-number helpers
// (SecRandomCopyBytes, arc4random, arc4random_uniform).
//
// Key encodings:
//   - private keys travel as PKCS#1 RSAPrivateKey DER (what SecKeyCopyExternalRepresentation
//     gives for an RSA private key);
//   - public keys are exported as PKCS#1 RSAPublicKey DER by default (again the
//     SecKey external form); `exportPublicKeySPKI` gives X.509 SubjectPublicKeyInfo DER.
//     `importPublicKey` accepts either form.
//
// Errors use the domain "com.almavel.crypto"; the code is the OpenSSL error
// code (ERR_get_error) or -1 when OpenSSL reported none, and the description
// carries OpenSSL's text.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::crypto {

inline constexpr const char* kCryptoErrorDomain = "com.almavel.crypto";

// Digests of raw bytes.
Data sha1(const Data& bytes);
Data sha1(std::string_view bytes);
Data md5(const Data& bytes);
Data md5(std::string_view bytes);
Data sha256(const Data& bytes);
Data sha256(std::string_view bytes);

Data hmacSha1(const Data& key, const Data& message);
Data hmacSha256(const Data& key, const Data& message);
Data hmacSha256(std::string_view key, std::string_view message);

// The hex SHA-256 of the bytes (64 lower-case digits), as stored-token
// lookups and request signatures want it.
std::string sha256Hex(std::string_view bytes);
std::string sha256Hex(const Data& bytes);

// Standard base64 with padding, no line breaks.
std::string base64Encode(const Data& bytes);
std::string base64Encode(std::string_view bytes);
std::string base64Encode(const uint8_t* bytes, size_t size);
// The same broken into lines of `lineLength` characters joined by `lineEnd`
// (none after the last), as NSData's line-length encoding options write it.
std::string base64Encode(const Data& bytes, size_t lineLength, std::string_view lineEnd);
// Appends the encoding to `out`, for callers that build one text from many
// pieces (hashes of tree nodes) without a temporary string each.
void base64Append(const uint8_t* bytes, size_t size, std::string& out);
// Accepts the standard alphabet with or without padding, ignoring white space
// (like NSDataBase64DecodingIgnoreUnknownCharacters does for line breaks).
// Characters outside the alphabet give std::nullopt.
std::optional<Data> base64Decode(std::string_view text);

enum class Base64Padding {
    Optional,   // "QQ==" and "QQ" both read
    Required,   // the length must be a multiple of four
    Forbidden,  // no '=' at all
};
// Decoding for text that crosses a protocol boundary: the standard alphabet
// only (no white space), padding as asked, and the unused low bits of the
// last character zero, so that every byte string has exactly one accepted
// text. nullopt otherwise.
std::optional<Data> base64DecodeStrict(std::string_view text, Base64Padding padding = Base64Padding::Optional);
// The URL-safe alphabet ("-_"), unpadded, as web tokens use.
std::string base64UrlEncode(const Data& bytes);
std::optional<Data> base64UrlDecode(std::string_view text);

// Lower-case hex; hexDecode accepts either case and gives nullopt for an odd
// length or a non-hex character.
std::string hex(const Data& bytes);
std::optional<Data> hexDecode(std::string_view text);

Data toData(std::string_view bytes);
std::string toString(const Data& bytes);

enum class DigestAlgorithm { SHA1, SHA256 };

class RSAKey;
using RSAKeyPtr = std::shared_ptr<const RSAKey>;

// An RSA key (private keys carry their public half). Immutable and safe to
// share between threads.
class RSAKey {
public:
    ~RSAKey();
    RSAKey(const RSAKey&) = delete;
    RSAKey& operator=(const RSAKey&) = delete;

    // A new key pair; `bits` below 1024 or above 16384 is refused.
    static RSAKeyPtr generate(int bits, ErrorRef* error = nullptr);
    // PKCS#1 RSAPrivateKey DER.
    static RSAKeyPtr importPrivateKey(const Data& der, ErrorRef* error = nullptr);
    // PKCS#1 RSAPublicKey or SubjectPublicKeyInfo DER.
    static RSAKeyPtr importPublicKey(const Data& der, ErrorRef* error = nullptr);

    bool isPrivate() const { return isPrivate_; }
    int bits() const;
    // The public half only.
    RSAKeyPtr publicKey() const;

    // PKCS#1 RSAPrivateKey DER; empty with an error for a public key.
    Data exportPrivateKey(ErrorRef* error = nullptr) const;
    // PKCS#1 RSAPublicKey DER.
    Data exportPublicKey(ErrorRef* error = nullptr) const;
    // X.509 SubjectPublicKeyInfo DER.
    Data exportPublicKeySPKI(ErrorRef* error = nullptr) const;

    // PKCS#1 v1.5 signature (EMSA-PKCS1-v1_5 with the DigestInfo of the
    // algorithm) over the digest of `message`. Needs a private key.
    Data sign(const Data& message, DigestAlgorithm algorithm, ErrorRef* error = nullptr) const;
    // The same over a digest the caller already computed (20 bytes for SHA-1,
    // 32 for SHA-256), like SecKeyRawSign with a PKCS#1 SHA padding.
    Data signDigest(const Data& digest, DigestAlgorithm algorithm, ErrorRef* error = nullptr) const;
    bool verify(const Data& message, const Data& signature, DigestAlgorithm algorithm) const;
    bool verifyDigest(const Data& digest, const Data& signature, DigestAlgorithm algorithm) const;

    // The modulus length in bytes (256 for a 2048-bit key).
    size_t blockSize() const;
    // The bare RSA operations without padding or digest (SecKeyRawSign and
    // SecKeyRawVerify with kSecPaddingNone): `block` is read as a big-endian
    // number, a block shorter than blockSize() as if zeros stood on its left,
    // and the result is always blockSize() bytes. A block longer than the
    // modulus, or not below it, is refused with an error and gives empty
    // data. The private operation needs a private key.
    Data rawPrivateOperation(const Data& block, ErrorRef* error = nullptr) const;
    Data rawPublicOperation(const Data& block, ErrorRef* error = nullptr) const;

    struct Impl;

private:
    RSAKey(void* pkey, bool isPrivate);
    void* pkey_;  // EVP_PKEY*
    bool isPrivate_;
    friend struct Impl;
};

// Cryptographically strong bytes (RAND_bytes). Raises
// NSInternalInconsistencyException if the generator fails, as there is no
// sensible fallback.
Data randomBytes(size_t count);
// A uniformly distributed value in [0, upperBound) without modulo bias;
// 0 when upperBound is below 2 (arc4random_uniform semantics).
uint32_t uniformRandom(uint32_t upperBound);
uint32_t random32();
uint64_t random64();

}  // namespace ns::crypto
