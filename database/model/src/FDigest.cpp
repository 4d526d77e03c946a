// The low-level SHA-1 calls are deprecated in OpenSSL 3 in favour of EVP, but
// EVP (and the one-shot SHA1(), which fetches the algorithm on every call)
// costs tens of nanoseconds more per message, which a tree hash pays once
// per node; the digest is the same.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "FDigest.h"

#include <openssl/sha.h>

#include <cstring>
#include <memory>

#include "platform/crypto.h"
#include "platform/thread_owned.h"

namespace fdigest {

namespace {

// The longest text whose padded form is one 64-byte block.
constexpr size_t kOneBlockText = 55;

// A direct-mapped table of short texts and their digests, one cache line a
// slot. A slot holds a text exactly, so a hit is always the text's digest.
class LeafDigestCache {
public:
    static constexpr size_t kMaxText = 43;

    bool find(std::string_view text, Digest& out) {
        const Slot& slot = slots_[slotOf(text)];
        if (slot.length != text.size() || std::memcmp(slot.text, text.data(), text.size()) != 0) return false;
        out = slot.digest;
        return true;
    }

    void keep(std::string_view text, const Digest& digest) {
        Slot& slot = slots_[slotOf(text)];
        slot.length = uint8_t(text.size());
        std::memcpy(slot.text, text.data(), text.size());
        slot.digest = digest;
    }

private:
    static constexpr size_t kSlots = 2048;  // 128 KB
    struct alignas(64) Slot {
        uint8_t length = 0xFF;  // no text is that long: empty
        char text[kMaxText];
        Digest digest;
    };

    // Whole words of the text (the last one overlapping the one before),
    // multiplied and folded: short texts, and the table only needs a spread.
    static size_t slotOf(std::string_view text) {
        constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
        uint64_t h = text.size() * kMul;
        auto mix = [&](size_t at, size_t n) {
            uint64_t word = 0;
            std::memcpy(&word, text.data() + at, n);
            h = (h ^ word) * kMul;
            h ^= h >> 32;
        };
        if (text.size() < 8) {
            for (size_t i = 0; i < text.size(); ++i) mix(i, 1);
        } else {
            for (size_t i = 0; i + 8 < text.size(); i += 8) mix(i, 8);
            mix(text.size() - 8, 8);
        }
        return size_t(h >> 40) & (kSlots - 1);
    }

    Slot slots_[kSlots];
};

}  // namespace

Digest sha1(std::string_view bytes) {
    Digest out;
    SHA_CTX ctx;
    SHA1_Init(&ctx);
    if (bytes.size() > kOneBlockText) {
        SHA1_Update(&ctx, bytes.data(), bytes.size());
        SHA1_Final(out.data(), &ctx);
        return out;
    }
    // Most node texts fit one block: pad it here and run the block function
    // once, without the buffering and wiping of the general path.
    unsigned char block[64] = {};
    std::memcpy(block, bytes.data(), bytes.size());
    block[bytes.size()] = 0x80;
    const uint64_t bits = uint64_t(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) block[63 - i] = uint8_t(bits >> (8 * i));
    SHA1_Transform(&ctx, block);
    const uint32_t words[5] = {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4};
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) out[size_t(4 * i + j)] = uint8_t(words[i] >> (24 - 8 * j));
    }
    return out;
}

Digest sha1OfLeafText(std::string_view text) {
    if (text.size() > LeafDigestCache::kMaxText) return sha1(text);
    thread_local LeafDigestCache* kept = nullptr;
    LeafDigestCache& cache = ns::threadOwned(kept);
    Digest out;
    if (cache.find(text, out)) return out;
    out = sha1(text);
    cache.keep(text, out);
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
