#pragma once
// The installation's RSA key pair, kept in the keychain as two key items
// tagged "com.ondrix.iid-|P|" and "com.ondrix.iid-|K|", with its creation
// time and identifier in a backup-excluded property list. The key pair gives
// the installation its identifier (11 base64url characters starting with c,
// d, e or f) and signs registration requests.
//
// QRVInstanceIDKeyPairStore serialises key-pair loads with its own lock, so
// the facade may load from a global queue; everything else runs on the
// caller's thread. Key references are immutable crypto keys, safe to share.
//
// The property list's creation time vouches for the pair in the keychain: a
// pair without it is an earlier installation's and is replaced, and the
// tokens cached until then go with it. So a new pair is stored as: the old
// creation time removed from the list, the new pair into the keychain, the
// tokens of the identity before removed, the new creation time (and
// identifier) into the list. A process ended anywhere in between leaves a
// pair without a creation time, which the next launch replaces, dropping
// the tokens; never a list that vouches for a pair it was not written for,
// nor a new identity with the tokens of the old. Removal goes the same way:
// the creation time first, then the keychain items.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "instanceid/QRVInstanceIDStorage.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/value.h"

inline constexpr const char* kQRVInstanceIDKeyPairSubType = "";

class QRVInstanceIDKeyPair {
public:
    QRVInstanceIDKeyPair(ns::crypto::RSAKeyPtr privateKey, ns::crypto::RSAKeyPtr publicKey, ns::Data publicKeyData,
                         ns::Data privateKeyData);

    const ns::crypto::RSAKeyPtr& privateKey() const { return privateKey_; }
    const ns::crypto::RSAKeyPtr& publicKey() const { return publicKey_; }
    // PKCS#1 RSAPublicKey DER, as the keychain holds it.
    const ns::Data& publicKeyData() const { return publicKeyData_; }
    const ns::Data& privateKeyData() const { return privateKeyData_; }
    bool isValid() const { return privateKey_ && publicKey_; }

    // A new 2048-bit pair stored under the two tags (replacing whatever
    // they held); nullptr with an error whose code is the keychain status.
    static std::shared_ptr<QRVInstanceIDKeyPair> generateRSA2048KeyPairWithPrivateTag(const std::string& privateTag,
                                                                                     const std::string& publicTag,
                                                                                     ns::ErrorRef* error = nullptr);
    // 2002 for an empty tag; 2001 when a key is not stored; the keychain's
    // status when it could not be asked.
    static std::shared_ptr<QRVInstanceIDKeyPair> keyPairForPrivateKeyTag(const std::string& privateTag,
                                                                        const std::string& publicTag,
                                                                        ns::ErrorRef* error = nullptr);
    static bool deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                            ns::ErrorRef* error = nullptr);
    // SHA-1 of the public key, first byte's high nibble set to 7, first
    // 8 bytes in base64url without padding.
    static std::optional<std::string> appIdentityWithKeyPair(const QRVInstanceIDKeyPair& keyPair);
    static std::optional<std::string> appIdentityWithPublicKeyData(const ns::Data& publicKeyData);

    static ns::Dictionary queryDictWithTag(const std::string& tag, bool addReturnAttr, bool withTypeData);
    static std::optional<ns::Data> keyDataWithTag(const std::string& tag);
    // The key stored under the tag; *status gets the keychain's answer.
    static ns::crypto::RSAKeyPtr cachedKeyRefWithTag(const std::string& tag, ns::OSStatus* status = nullptr);

private:
    ns::crypto::RSAKeyPtr privateKey_;
    ns::crypto::RSAKeyPtr publicKey_;
    ns::Data publicKeyData_;
    ns::Data privateKeyData_;
};

using QRVInstanceIDKeyPairPtr = std::shared_ptr<QRVInstanceIDKeyPair>;

class QRVInstanceIDKeyPairStore {
public:
    QRVInstanceIDKeyPairStore();

    // The installation's key pair, generated when none is stored (or when
    // its creation time is gone). After three reads refused with -34018 the
    // keychain is left alone for the rest of the run.
    QRVInstanceIDKeyPairPtr loadKeyPairWithError(ns::ErrorRef* error = nullptr);
    // The identifier; from the property list when the keychain is not
    // reachable (-34018).
    std::optional<std::string> appIdentityWithError(ns::ErrorRef* error = nullptr);

    // True once after this store made a new pair, and at the first asking
    // when the stored pair has no creation time or cannot be read (so the
    // next load makes a new one): tokens cached until then belong to the
    // identity before.
    bool takeIdentityChange();

    // Runs (on the thread that makes a new pair, with the store's lock held)
    // after a new pair is in the keychain and before the list vouches for
    // it: the facade removes the tokens of the identity before.
    void setBeforeNewIdentityIsRecorded(std::function<void()> hook);

    bool hasCachedKeyPairs();
    QRVInstanceIDKeyPairPtr validCachedKeyPairWithSubtype(const std::string& subtype, ns::ErrorRef* error = nullptr);
    QRVInstanceIDKeyPairPtr cachedKeyPairWithSubtype(const std::string& subtype, ns::ErrorRef* error = nullptr);
    QRVInstanceIDKeyPairPtr generateAndSaveKeyWithSubtype(const std::string& subtype, int64_t creationTime,
                                                          ns::ErrorRef* error = nullptr);
    bool deleteSavedKeyPairWithSubtype(const std::string& subtype, ns::ErrorRef* error = nullptr);
    bool removeKeyPairCreationTimePlistWithError(ns::ErrorRef* error = nullptr);

    static std::string publicTagWithSubtype(const std::string& subtype);
    static std::string privateTagWithSubtype(const std::string& subtype);
    static std::string creationTimeKeyWithSubtype(const std::string& subtype);
    static std::string appIDKeyWithSubtype(const std::string& subtype);
    static std::string keyStoreFileName() { return "com.ondrix.iid-keypair"; }

    int32_t keychainEntitlementsErrorCount() {
        std::lock_guard lock(mutex_);
        return keychainEntitlementsErrorCount_;
    }

private:
    std::recursive_mutex mutex_;
    QRVInstanceIDBackupExcludedPlist plist_;
    QRVInstanceIDKeyPairPtr keyPair_;
    std::function<void()> beforeNewIdentityIsRecorded_;
    int32_t keychainEntitlementsErrorCount_ = 0;
    bool identityChanged_ = false;
    bool creationTimeChecked_ = false;
};

// SHA-1 digest (20 bytes).
ns::Data QRVInstanceIDSHA1(const ns::Data& data);
// RFC 4648 base64url without padding.
std::string QRVInstanceIDWebSafeBase64(const ns::Data& data);
// Standard base64 broken into 64-character lines joined by CR LF.
std::string QRVInstanceIDSecKeyBase64Encoding(const ns::Data& data);
// first, then "\n" and each further string.
std::string QRVInstanceIDConcatenateStrings(const std::string& first, const std::vector<std::string>& rest);
// Raw RSA over the UTF-8 bytes cut into key-size blocks (a short last block
// counts as padded with zeros on the left), base64url without padding;
// nullopt when signing failed or gave nothing.
std::optional<std::string> QRVInstanceIDSignParams(const ns::crypto::RSAKeyPtr& privateKey, const std::string& text);
std::optional<ns::Data> QRVInstanceIDSignData(const ns::crypto::RSAKeyPtr& privateKey, const ns::Data& data);
// Every block of the signature must give back exactly its block of data.
bool QRVInstanceIDVerifyData(const ns::crypto::RSAKeyPtr& publicKey, const std::string& text,
                             const std::string& signature);
bool QRVInstanceIDVerifyDataWithRSA(const ns::crypto::RSAKeyPtr& publicKey, const ns::Data& data,
                                    const ns::Data& signature);

// A power-of-two alphabet encoder (base 2 to base 128), most significant bits
// first; base64url is its web-safe 64-character instance.
class QRVInstanceIDStringEncoding {
public:
    static std::shared_ptr<QRVInstanceIDStringEncoding> rfc4648Base64WebsafeStringEncoding();
    // nullptr unless the alphabet has 2 to 128 distinct ASCII characters and
    // a power-of-two size.
    static std::shared_ptr<QRVInstanceIDStringEncoding> stringEncodingWithString(const std::string& alphabet);

    std::string encode(const ns::Data& data) const;
    std::optional<ns::Data> decode(const std::string& text) const;
    void setDoPad(bool doPad) { doPad_ = doPad; }
    void setPaddingChar(char c);
    std::string description() const;

    explicit QRVInstanceIDStringEncoding(const std::string& alphabet);

private:
    static constexpr int kUnknown = -1;
    static constexpr int kPadding = -2;
    std::string charMap_;
    int reverseCharMap_[128];
    int shift_ = 0;
    int mask_ = 0;
    bool doPad_ = false;
    char paddingChar_ = '=';
    int padLen_ = 0;
};
