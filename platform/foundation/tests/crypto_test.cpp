#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <set>

using namespace ns;
using namespace ns::crypto;

namespace {

std::string hexOf(const Data& d) { return hex(d); }

}  // namespace

TEST(CryptoDigest, KnownVectors) {
    EXPECT_EQ(hexOf(sha1(std::string_view("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexOf(md5(std::string_view("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexOf(sha256(std::string_view("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexOf(sha256(Data{})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexOf(md5(Data{})), "d41d8cd98f00b204e9800998ecf8427e");
    // Data and string overloads agree, including embedded zero bytes.
    Data bytes{0, 1, 2, 0, 255};
    EXPECT_EQ(sha1(bytes), sha1(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

TEST(CryptoDigest, HmacRfcVectors) {
    // RFC 4231 test case 2 and RFC 2202 test case 2.
    EXPECT_EQ(hexOf(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hexOf(hmacSha1(toData("Jefe"), toData("what do ya want for nothing?"))),
              "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    // RFC 4231 test case 6: a key longer than the block size is hashed first.
    Data longKey(131, 0xaa);
    EXPECT_EQ(hexOf(hmacSha256(longKey, toData("Test Using Larger Than Block-Size Key - Hash Key First"))),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmacSha256(Data{}, Data{}).size(), 32u);
}

TEST(CryptoEncoding, Base64RfcVectorsAndLenientDecode) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (auto [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(std::string_view(plain)), encoded);
        auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(toString(*decoded), plain);
    }
    // Unpadded and line-broken input decode too.
    EXPECT_EQ(toString(*base64Decode("Zm9vYg")), "foob");
    EXPECT_EQ(toString(*base64Decode("Zm9v\r\nYmFy")), "foobar");
    // Foreign characters, data after padding and impossible lengths are refused.
    EXPECT_FALSE(base64Decode("Zm9v!"));
    EXPECT_FALSE(base64Decode("Zg==Zg=="));
    EXPECT_FALSE(base64Decode("Z"));
    EXPECT_FALSE(base64Decode("Zg="));

    Data binary{0xfb, 0xff, 0xbf, 0x00};
    EXPECT_EQ(base64Encode(binary), "+/+/AA==");
    EXPECT_EQ(base64UrlEncode(binary), "-_-_AA");
    EXPECT_EQ(*base64UrlDecode("-_-_AA"), binary);
    EXPECT_FALSE(base64UrlDecode("+/+/AA"));
}

TEST(CryptoEncoding, StrictBase64RefusesWhatTheLenientDecoderForgives) {
    using P = Base64Padding;
    // Each padding rule on the same texts.
    EXPECT_EQ(toString(*base64DecodeStrict("Zm9vYg==", P::Required)), "foob");
    EXPECT_EQ(toString(*base64DecodeStrict("Zm9vYg==", P::Optional)), "foob");
    EXPECT_FALSE(base64DecodeStrict("Zm9vYg==", P::Forbidden));
    EXPECT_EQ(toString(*base64DecodeStrict("Zm9vYg", P::Forbidden)), "foob");
    EXPECT_EQ(toString(*base64DecodeStrict("Zm9vYg", P::Optional)), "foob");
    EXPECT_FALSE(base64DecodeStrict("Zm9vYg", P::Required));
    EXPECT_EQ(toString(*base64DecodeStrict("Zm9vYmFy", P::Required)), "foobar");
    EXPECT_EQ(base64DecodeStrict("", P::Required), Data{});

    for (P padding : {P::Optional, P::Required, P::Forbidden}) {
        // White space, other alphabets and padding in the wrong place.
        EXPECT_FALSE(base64DecodeStrict("Zm9v\r\nYmFy", padding));
        EXPECT_FALSE(base64DecodeStrict("Zm9v YmFy", padding));
        EXPECT_FALSE(base64DecodeStrict("-_-_AA==", padding));
        EXPECT_FALSE(base64DecodeStrict("Zg==Zg==", padding));
        EXPECT_FALSE(base64DecodeStrict("Zm=v", padding));
        EXPECT_FALSE(base64DecodeStrict("Zg=", padding));
        EXPECT_FALSE(base64DecodeStrict("Zm9vY===", padding));
        EXPECT_FALSE(base64DecodeStrict("Z", padding));
        EXPECT_FALSE(base64DecodeStrict("====", padding));
        EXPECT_FALSE(base64DecodeStrict(std::string_view("Zm9v\0", 5), padding));
        // Bits past the last byte must be zero: "Zh" and "Zm9" with a low bit
        // set would name "f" and "fo" a second time.
        EXPECT_FALSE(base64DecodeStrict("Zh", padding == P::Required ? P::Optional : padding));
        EXPECT_FALSE(base64DecodeStrict("Zm9=", P::Required));
        EXPECT_FALSE(base64DecodeStrict("Zm+=", P::Required));
    }
    // The lenient decoder reads the non-canonical forms; the strict one does not.
    EXPECT_TRUE(base64Decode("Zh=="));
    EXPECT_FALSE(base64DecodeStrict("Zh=="));
    EXPECT_TRUE(base64Decode("Zm9v YmFy"));
}

TEST(CryptoEncoding, Base64RoundTripsEveryLengthAndAppends) {
    for (size_t n = 0; n <= 66; ++n) {
        Data bytes = randomBytes(n);
        bytes.resize(n);
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), n)), text);
        EXPECT_EQ(base64DecodeStrict(text, Base64Padding::Required), bytes) << text;
        std::string bare = text;
        while (!bare.empty() && bare.back() == '=') bare.pop_back();
        EXPECT_EQ(base64DecodeStrict(bare, Base64Padding::Forbidden), bytes) << bare;
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
    }
    std::string out = "digest=";
    const Data digest = sha1(std::string_view("abc"));
    base64Append(digest.data(), digest.size(), out);
    base64Append(digest.data(), 0, out);
    EXPECT_EQ(out, "digest=qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST(CryptoDigest, Sha256HexKnownAnswers) {
    EXPECT_EQ(sha256Hex(std::string_view()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(std::string_view("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex(toData("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Bytes past a NUL count.
    EXPECT_NE(sha256Hex(std::string_view("a\0b", 3)), sha256Hex(std::string_view("a")));
}

TEST(CryptoEncoding, Hex) {
    EXPECT_EQ(hex(Data{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    EXPECT_EQ(*hexDecode("000FA0ff"), (Data{0x00, 0x0f, 0xa0, 0xff}));
    EXPECT_FALSE(hexDecode("abc"));
    EXPECT_FALSE(hexDecode("zz"));
    EXPECT_EQ(*hexDecode(""), Data{});
}

class CryptoRSA : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ErrorRef error;
        key_ = RSAKey::generate(2048, &error);
        ASSERT_TRUE(key_) << (error ? error->description() : "");
    }
    static void TearDownTestSuite() { key_.reset(); }
    static RSAKeyPtr key_;
};
RSAKeyPtr CryptoRSA::key_;

TEST_F(CryptoRSA, SignAndVerifyBothDigests) {
    ASSERT_TRUE(key_);
    EXPECT_TRUE(key_->isPrivate());
    EXPECT_EQ(key_->bits(), 2048);
    Data message = toData("the message");
    for (auto alg : {DigestAlgorithm::SHA1, DigestAlgorithm::SHA256}) {
        ErrorRef error;
        Data sig = key_->sign(message, alg, &error);
        ASSERT_EQ(sig.size(), 256u) << (error ? error->description() : "");
        EXPECT_TRUE(key_->verify(message, sig, alg));
        // PKCS#1 v1.5 is deterministic: signing the digest gives the same bytes.
        Data digest = alg == DigestAlgorithm::SHA1 ? sha1(message) : sha256(message);
        EXPECT_EQ(key_->signDigest(digest, alg), sig);
        EXPECT_TRUE(key_->verifyDigest(digest, sig, alg));

        Data tampered = sig;
        tampered[10] ^= 1;
        EXPECT_FALSE(key_->verify(message, tampered, alg));
        EXPECT_FALSE(key_->verify(toData("another message"), sig, alg));
    }
    // A signature made with one digest does not verify as the other.
    Data sig1 = key_->sign(message, DigestAlgorithm::SHA1);
    EXPECT_FALSE(key_->verify(message, sig1, DigestAlgorithm::SHA256));
}

TEST_F(CryptoRSA, SignatureCarriesPkcs1DigestInfo) {
    // Undo the signature with the raw public operation and check the
    // EMSA-PKCS1-v1_5 block: 00 01 FF..FF 00 DigestInfo(SHA-256) hash.
    Data message = toData("abc");
    Data sig = key_->sign(message, DigestAlgorithm::SHA256);
    Data spki = key_->exportPublicKeySPKI();
    const unsigned char* p = spki.data();
    EVP_PKEY* pub = d2i_PUBKEY(nullptr, &p, long(spki.size()));
    ASSERT_TRUE(pub);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
    Data block(256);
    size_t len = block.size();
    ASSERT_EQ(EVP_PKEY_verify_recover(ctx, block.data(), &len, sig.data(), sig.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pub);
    ASSERT_EQ(len, 256u);
    const std::string digestInfoPrefix = "3031300d060960864801650304020105000420";
    std::string tail = hex(Data(block.end() - 51, block.end()));
    EXPECT_EQ(tail, digestInfoPrefix + hex(sha256(message)));
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x01);
    EXPECT_EQ(block[256 - 52], 0x00);
    for (size_t i = 2; i < 256 - 52; ++i) ASSERT_EQ(block[i], 0xff) << i;
}

TEST_F(CryptoRSA, DerRoundTrips) {
    Data message = toData("round trip");
    Data sig = key_->sign(message, DigestAlgorithm::SHA256);

    ErrorRef error;
    Data priv = key_->exportPrivateKey(&error);
    ASSERT_FALSE(priv.empty());
    auto again = RSAKey::importPrivateKey(priv, &error);
    ASSERT_TRUE(again) << (error ? error->description() : "");
    EXPECT_TRUE(again->isPrivate());
    EXPECT_EQ(again->sign(message, DigestAlgorithm::SHA256), sig);
    EXPECT_EQ(again->exportPrivateKey(), priv);

    Data pkcs1 = key_->exportPublicKey();
    Data spki = key_->exportPublicKeySPKI();
    EXPECT_NE(pkcs1, spki);
    EXPECT_LT(pkcs1.size(), spki.size());  // SPKI wraps the PKCS#1 structure
    EXPECT_NE(std::search(spki.begin(), spki.end(), pkcs1.begin(), pkcs1.end()), spki.end());
    for (const Data& der : {pkcs1, spki}) {
        auto pub = RSAKey::importPublicKey(der, &error);
        ASSERT_TRUE(pub);
        EXPECT_FALSE(pub->isPrivate());
        EXPECT_TRUE(pub->verify(message, sig, DigestAlgorithm::SHA256));
        EXPECT_EQ(pub->exportPublicKey(), pkcs1);
        // A public key cannot sign or give a private key.
        ErrorRef signError;
        EXPECT_TRUE(pub->sign(message, DigestAlgorithm::SHA256, &signError).empty());
        ASSERT_TRUE(signError);
        EXPECT_EQ(signError->domain(), kCryptoErrorDomain);
        EXPECT_TRUE(pub->exportPrivateKey(&signError).empty());
    }
    EXPECT_EQ(key_->publicKey()->exportPublicKey(), pkcs1);
}

TEST_F(CryptoRSA, BadInputGivesErrors) {
    ErrorRef error;
    EXPECT_FALSE(RSAKey::importPrivateKey(toData("not a key"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kCryptoErrorDomain);
    error = nullptr;
    EXPECT_FALSE(RSAKey::importPublicKey(Data{}, &error));
    EXPECT_TRUE(error);
    error = nullptr;
    // A truncated key is refused, not half read.
    Data pub = key_->exportPublicKey();
    pub.resize(pub.size() / 2);
    EXPECT_FALSE(RSAKey::importPublicKey(pub, &error));
    EXPECT_TRUE(error);
    error = nullptr;
    // Trailing bytes after a valid key are refused too.
    Data extra = key_->exportPrivateKey();
    extra.push_back(0);
    EXPECT_FALSE(RSAKey::importPrivateKey(extra, &error));
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_FALSE(RSAKey::generate(512, &error));
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_TRUE(key_->signDigest(Data(5, 1), DigestAlgorithm::SHA256, &error).empty());
    EXPECT_TRUE(error);
    EXPECT_FALSE(key_->verify(toData("x"), Data{}, DigestAlgorithm::SHA256));
}

TEST_F(CryptoRSA, RawOperationsInvertEachOtherAndWidenShortBlocks) {
    ASSERT_TRUE(key_);
    EXPECT_EQ(key_->blockSize(), 256u);
    // A full block of text (every byte below 0x80, so below the modulus).
    Data block(256, 'a');
    Data signature = key_->rawPrivateOperation(block);
    ASSERT_EQ(signature.size(), 256u);
    EXPECT_EQ(key_->publicKey()->rawPublicOperation(signature), block);

    // A short block counts as padded with zeros on the left.
    Data shortBlock = toData("tail");
    Data widened(256, 0);
    std::copy(shortBlock.begin(), shortBlock.end(), widened.end() - long(shortBlock.size()));
    EXPECT_EQ(key_->rawPrivateOperation(shortBlock), key_->rawPrivateOperation(widened));
    EXPECT_EQ(key_->publicKey()->rawPublicOperation(key_->rawPrivateOperation(shortBlock)), widened);

    // Too long, not below the modulus, or without the private half: refused.
    ErrorRef error;
    EXPECT_TRUE(key_->rawPrivateOperation(Data(257, 1), &error).empty());
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_TRUE(key_->rawPrivateOperation(Data(256, 0xff), &error).empty());
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_TRUE(key_->publicKey()->rawPrivateOperation(block, &error).empty());
    EXPECT_TRUE(error);
}

TEST(CryptoRandom, BytesAndBounds) {
    EXPECT_EQ(randomBytes(0).size(), 0u);
    Data a = randomBytes(32), b = randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);

    EXPECT_EQ(uniformRandom(0), 0u);
    EXPECT_EQ(uniformRandom(1), 0u);
    // Every value of a small range shows up and nothing reaches the bound.
    std::set<uint32_t> seen;
    for (int i = 0; i < 20000; ++i) {
        uint32_t v = uniformRandom(7);
        ASSERT_LT(v, 7u);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 7u);
    // The bound with the most rejection (just over half the range).
    const uint32_t big = 0x80000001u;
    for (int i = 0; i < 2000; ++i) ASSERT_LT(uniformRandom(big), big);
    for (int i = 0; i < 2000; ++i) ASSERT_LT(uniformRandom(0xffffffffu), 0xffffffffu);
    std::set<uint32_t> words;
    for (int i = 0; i < 100; ++i) words.insert(random32());
    EXPECT_GT(words.size(), 90u);
}
