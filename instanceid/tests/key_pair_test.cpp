// The key pair, its identifier, the string encoder and raw-RSA signing.

#include <gtest/gtest.h>

#include <set>

#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/crypto.h"
#include "platform/keychain.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::crypto::toData;

}  // namespace

TEST(InstanceIDEncoding, Base64UrlPaddingAndBadInput) {
    auto encoder = QRVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
    const ns::Data eight = toData("\xfb\xff\x01\x02\x03\x04\x05\x06");
    EXPECT_EQ(encoder->encode(eight).size(), 12u);
    EXPECT_EQ(encoder->encode(eight).back(), '=');
    encoder->setDoPad(false);
    const std::string text = encoder->encode(eight);
    EXPECT_EQ(text, "-_8BAgMEBQY");
    EXPECT_EQ(encoder->decode(text), eight);
    EXPECT_EQ(encoder->encode(ns::Data{}), "");
    // A character after padding, outside the alphabet, or leftover bits set.
    EXPECT_FALSE(encoder->decode("ab=c"));
    EXPECT_FALSE(encoder->decode("ab+c"));
    EXPECT_FALSE(encoder->decode("QR"));
    EXPECT_EQ(encoder->decode("QQ=="), toData("A"));
    EXPECT_EQ(encoder->description(),
              "<Base64 StringEncoder: ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_>");

    // Any power-of-two alphabet of distinct ASCII characters; nothing else.
    auto hex = QRVInstanceIDStringEncoding::stringEncodingWithString("0123456789abcdef");
    ASSERT_TRUE(hex);
    EXPECT_EQ(hex->encode(toData("\x0a\xff")), "0aff");
    EXPECT_FALSE(QRVInstanceIDStringEncoding::stringEncodingWithString("abc"));
    EXPECT_FALSE(QRVInstanceIDStringEncoding::stringEncodingWithString("aa"));
    EXPECT_FALSE(QRVInstanceIDStringEncoding::stringEncodingWithString("a"));
}

TEST(InstanceIDEncoding, KeyTextHasCrLfLinesOf64) {
    const ns::Data bytes(270, 0x5a);
    const std::string text = QRVInstanceIDSecKeyBase64Encoding(bytes);
    EXPECT_EQ(text.substr(64, 2), "\r\n");
    EXPECT_EQ(text.find("\r\n", 66), 130u);
    EXPECT_NE(text.substr(text.size() - 2), "\r\n");
    std::string flat;
    for (char c : text) {
        if (c != '\r' && c != '\n') flat += c;
    }
    EXPECT_EQ(flat, ns::crypto::base64Encode(bytes));
    EXPECT_EQ(QRVInstanceIDConcatenateStrings("a", {"b", "c"}), "a\nb\nc");
}

TEST(InstanceIDKeyPair, SigningChunksVerifyAndRefuseTampering) {
    ns::testing::TempSandbox sandbox;
    auto key = ns::crypto::RSAKey::generate(2048);
    ASSERT_TRUE(key);
    // 391 bytes: a full block and a short one.
    const std::string text(391, 'k');
    auto signature = QRVInstanceIDSignData(key, toData(text));
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->size(), 512u);
    auto params = QRVInstanceIDSignParams(key, text);
    ASSERT_TRUE(params);
    EXPECT_EQ(params->size(), 683u);
    EXPECT_TRUE(QRVInstanceIDVerifyData(key->publicKey(), text, *params));
    // The short block was widened with zeros on the left before the operation.
    ns::Data tail(256 - 135, 0);
    ns::Data shortBlock = toData(text.substr(256));
    tail.insert(tail.end(), shortBlock.begin(), shortBlock.end());
    EXPECT_EQ(ns::Data(signature->begin() + 256, signature->end()), key->rawPrivateOperation(tail));

    ns::Data tampered = *signature;
    tampered[300] ^= 1;
    EXPECT_FALSE(QRVInstanceIDVerifyDataWithRSA(key->publicKey(), toData(text), tampered));
    EXPECT_FALSE(QRVInstanceIDVerifyData(key->publicKey(), text + "x", *params));
    EXPECT_FALSE(QRVInstanceIDVerifyDataWithRSA(key->publicKey(), toData(text),
                                                ns::Data(signature->begin(), signature->begin() + 256)));
    EXPECT_FALSE(QRVInstanceIDSignParams(key, ""));
}

TEST(InstanceIDKeyPair, IdentifierIsElevenCharactersStartingCToF) {
    std::set<char> first;
    for (int i = 0; i < 64; ++i) {
        const ns::Data publicKey = ns::crypto::randomBytes(270);
        auto identity = QRVInstanceIDKeyPair::appIdentityWithPublicKeyData(publicKey);
        ASSERT_TRUE(identity);
        ASSERT_EQ(identity->size(), 11u);
        ASSERT_NE(std::string("cdef").find((*identity)[0]), std::string::npos) << *identity;
        for (char c : *identity) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_');
        first.insert((*identity)[0]);
        // The identifier is the digest's first 8 bytes with the high nibble 7.
        ns::Data digest = ns::crypto::sha1(publicKey);
        digest[0] = uint8_t(0x70 | (digest[0] & 0x0f));
        digest.resize(8);
        ASSERT_EQ(*identity, ns::crypto::base64UrlEncode(digest));
    }
    EXPECT_EQ(first.size(), 4u);
}
