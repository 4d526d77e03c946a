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
// pair without it is an earlier installation's (the list does not outlive
// the app, the keychain does) and is replaced, and the tokens cached until
// then go with it. What the next launch trusts is therefore written first,
// and a new pair is stored as: the tokens of the identity before removed,
// the old key items removed, the creation time alone into the list, the
// private key item, the public key item, then the identifier into the list.
// A list whose key items are missing means no pair yet, and a new one takes
// their place with nothing to overwrite; a private item without its public
// one is completed from the private key, and a pair without its identifier
// on record gets it, so a launch after a process end anywhere uses the pair
// whose items are in the keychain, never replaces it, and never has the old
// identity's tokens. A step that fails ends the flow there and takes back
// nothing; a keychain that cannot be read or written for now is never
// answered with a new pair. Removal: the creation time first, then the
// keychain items.

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
    // when the stored pair has no creation time or is not in the keychain
    // (so the next load makes a new one): tokens cached until then belong to
    // the identity before.
    bool takeIdentityChange();

    // Runs (on the thread that makes a new pair, with the store's lock held)
    // before anything of a new pair is stored: the facade removes the tokens
    // of the identity before. An error it returns ends the new pair's flow
    // with that error.
    void setBeforeNewIdentityIsRecorded(std::function<ns::ErrorRef()> hook);

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
    // The pair the list vouches for, completed as the header says.
    QRVInstanceIDKeyPairPtr completedKeyPairWithSubtype(const std::string& subtype, ns::ErrorRef* error);
    // False, with the keychain's status, only when a missing public item
    // could not be written again.
    bool restorePublicItemWithSubtype(const std::string& subtype, ns::ErrorRef* error);
    void recordIdentityOfKeyPair(const QRVInstanceIDKeyPair& keyPair, const std::string& subtype);

    std::recursive_mutex mutex_;
    QRVInstanceIDBackupExcludedPlist plist_;
    QRVInstanceIDKeyPairPtr keyPair_;
    std::function<ns::ErrorRef()> beforeNewIdentityIsRecorded_;
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
