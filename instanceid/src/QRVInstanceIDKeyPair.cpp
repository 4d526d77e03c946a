#include "instanceid/QRVInstanceIDKeyPair.h"

#include <numeric>
#include <utility>

#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/keychain.h"

namespace {

constexpr int kKeySizeInBits = 2048;

ns::ErrorRef iidError(long code) { return errorWithQRVInstanceIDErrorCode(code); }

void setError(ns::ErrorRef* out, ns::ErrorRef error) {
    if (out) *out = std::move(error);
}

ns::OSStatus addKeyItem(const std::string& tag, const char* keyClass, const ns::Data& data) {
    ns::Dictionary item = QRVInstanceIDKeyPair::queryDictWithTag(tag, false, false);
    item[ns::kSecAttrKeyClass] = keyClass;
    item[ns::kSecAttrKeySizeInBits] = int64_t(kKeySizeInBits);
    item[ns::kSecAttrIsPermanent] = true;
    item[ns::kSecAttrAccessible] = ns::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    item[ns::kSecValueData] = data;
    return ns::SecItemAdd(item);
}

// Stale items under the same tags would shadow new keys. Either deletion
// failing leaves both tags as they were found as far as this flow goes: a
// new private item beside an old public one would make a pair whose halves
// do not match.
ns::OSStatus deleteKeyItems(const std::string& privateTag, const std::string& publicTag) {
    for (const std::string* tag : {&privateTag, &publicTag}) {
        const ns::OSStatus status = ns::SecItemDelete(QRVInstanceIDKeyPair::queryDictWithTag(*tag, false, false));
        if (status != ns::errSecSuccess && status != ns::errSecItemNotFound) return status;
    }
    return ns::errSecSuccess;
}

// The private item first: a private key alone still holds its public half,
// so a process ended between the two leaves a pair the next launch can
// complete rather than one it must replace. A failure stops here and takes
// back nothing already stored.
ns::OSStatus addKeyItems(const ns::crypto::RSAKey& key, const std::string& privateTag, const std::string& publicTag) {
    const ns::OSStatus status = addKeyItem(privateTag, ns::kSecAttrKeyClassPrivate, key.exportPrivateKey());
    if (status != ns::errSecSuccess) return status;
    return addKeyItem(publicTag, ns::kSecAttrKeyClassPublic, key.exportPublicKey());
}

QRVInstanceIDKeyPairPtr keyPairOf(const ns::crypto::RSAKeyPtr& key, const std::string& privateTag,
                                  const std::string& publicTag) {
    return std::make_shared<QRVInstanceIDKeyPair>(
        key, key->publicKey(), QRVInstanceIDKeyPair::keyDataWithTag(publicTag).value_or(key->exportPublicKey()),
        QRVInstanceIDKeyPair::keyDataWithTag(privateTag).value_or(key->exportPrivateKey()));
}

// Whether a failed read found no usable pair (none stored, a half missing,
// bytes that are no key, or no creation time), which a new pair may take
// the place of; a keychain that could not be asked or written says nothing
// about what it holds.
bool nothingUsableStored(const ns::ErrorRef& error) {
    return error && (error->code() == kQRVInstanceIDErrorCodeKeyPairNotFound ||
                     error->code() == kQRVInstanceIDErrorCodeMissingKeyPairCreationTime);
}

}  // namespace

// MARK: - Key pair

QRVInstanceIDKeyPair::QRVInstanceIDKeyPair(ns::crypto::RSAKeyPtr privateKey, ns::crypto::RSAKeyPtr publicKey,
                                           ns::Data publicKeyData, ns::Data privateKeyData)
    : privateKey_(std::move(privateKey)),
      publicKey_(std::move(publicKey)),
      publicKeyData_(std::move(publicKeyData)),
      privateKeyData_(std::move(privateKeyData)) {}

ns::Dictionary QRVInstanceIDKeyPair::queryDictWithTag(const std::string& tag, bool addReturnAttr, bool withTypeData) {
    ns::Dictionary query{{ns::kSecClass, ns::kSecClassKey},
                         {ns::kSecAttrApplicationTag, ns::crypto::toData(tag)},
                         {ns::kSecAttrKeyType, ns::kSecAttrKeyTypeRSA}};
    if (addReturnAttr) {
        // References are the keys themselves here, read back from their data.
        query[ns::kSecReturnData] = true;
        if (!withTypeData) query[ns::kSecReturnAttributes] = true;
    }
    return query;
}

std::optional<ns::Data> QRVInstanceIDKeyPair::keyDataWithTag(const std::string& tag) {
    if (tag.empty()) return std::nullopt;
    ns::Value result;
    if (ns::SecItemCopyMatching(queryDictWithTag(tag, true, true), &result) != ns::errSecSuccess || !result.isData()) {
        return std::nullopt;
    }
    return result.asData();
}

ns::crypto::RSAKeyPtr QRVInstanceIDKeyPair::cachedKeyRefWithTag(const std::string& tag, ns::OSStatus* status) {
    if (status) *status = ns::errSecItemNotFound;
    if (tag.empty()) return nullptr;
    ns::Value result;
    const ns::OSStatus found = ns::SecItemCopyMatching(queryDictWithTag(tag, true, false), &result);
    if (status) *status = found;
    if (found != ns::errSecSuccess) return nullptr;
    const ns::Value& data = result[ns::kSecValueData];
    if (!data.isData()) return nullptr;
    const bool isPrivate = result[ns::kSecAttrKeyClass] == ns::Value(ns::kSecAttrKeyClassPrivate);
    return isPrivate ? ns::crypto::RSAKey::importPrivateKey(data.asData())
                     : ns::crypto::RSAKey::importPublicKey(data.asData());
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(const std::string& privateTag,
                                                                                  const std::string& publicTag,
                                                                                  ns::ErrorRef* error) {
    ns::ErrorRef keyError;
    ns::crypto::RSAKeyPtr key = ns::crypto::RSAKey::generate(kKeySizeInBits, &keyError);
    if (!key) {
        setError(error, iidError(ns::errSecAllocate));
        return nullptr;
    }
    ns::OSStatus status = deleteKeyItems(privateTag, publicTag);
    if (status == ns::errSecSuccess) status = addKeyItems(*key, privateTag, publicTag);
    if (status != ns::errSecSuccess) {
        setError(error, iidError(status));
        return nullptr;
    }
    return keyPairOf(key, privateTag, publicTag);
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPair::keyPairForPrivateKeyTag(const std::string& privateTag,
                                                                     const std::string& publicTag,
                                                                     ns::ErrorRef* error) {
    if (privateTag.empty() || publicTag.empty()) {
        setError(error, iidError(kQRVInstanceIDErrorCodeInvalidKeyPairTag));
        return nullptr;
    }
    ns::OSStatus status = ns::errSecSuccess;
    ns::crypto::RSAKeyPtr privateKey = cachedKeyRefWithTag(privateTag, &status);
    ns::crypto::RSAKeyPtr publicKey = privateKey ? cachedKeyRefWithTag(publicTag, &status) : nullptr;
    if (!privateKey || !publicKey) {
        // A keychain that can't be asked says so (-34018 counts towards the
        // store's give-up); a missing key is 2001.
        const bool unreachable = status != ns::errSecSuccess && status != ns::errSecItemNotFound;
        setError(error, iidError(unreachable ? long(status) : long(kQRVInstanceIDErrorCodeKeyPairNotFound)));
        QRVInstanceIDLoggerDebug(9000, "Cannot retrieve keypair with tag %@", privateTag);
        return nullptr;
    }
    return std::make_shared<QRVInstanceIDKeyPair>(privateKey, publicKey, keyDataWithTag(publicTag).value_or(ns::Data{}),
                                                  keyDataWithTag(privateTag).value_or(ns::Data{}));
}

bool QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                                       ns::ErrorRef* error) {
    const ns::OSStatus privateStatus = ns::SecItemDelete(queryDictWithTag(privateTag, false, false));
    const ns::OSStatus publicStatus = ns::SecItemDelete(queryDictWithTag(publicTag, false, false));
    auto fine = [](ns::OSStatus s) { return s == ns::errSecSuccess || s == ns::errSecItemNotFound; };
    if (fine(privateStatus) || fine(publicStatus)) return true;
    QRVInstanceIDLoggerError(9001, "Error removing keypair status: %d", int(privateStatus));
    setError(error, iidError(kQRVInstanceIDErrorCodeKeyPairNotFound));
    return false;
}

std::optional<std::string> QRVInstanceIDKeyPair::appIdentityWithPublicKeyData(const ns::Data& publicKeyData) {
    ns::Data digest = QRVInstanceIDSHA1(publicKeyData);
    digest[0] = uint8_t(0x70 | (digest[0] & 0x0F));
    digest.resize(8);
    return QRVInstanceIDWebSafeBase64(digest);
}

std::optional<std::string> QRVInstanceIDKeyPair::appIdentityWithKeyPair(const QRVInstanceIDKeyPair& keyPair) {
    if (!keyPair.publicKey()) {
        QRVInstanceIDLoggerError(9002, "Unable to create a valid asymmetric crypto key");
        return std::nullopt;
    }
    return appIdentityWithPublicKeyData(keyPair.publicKeyData());
}

// MARK: - Key-pair store

QRVInstanceIDKeyPairStore::QRVInstanceIDKeyPairStore()
    : plist_(keyStoreFileName(), kQRVInstanceIDApplicationSupportSubDirectory) {}

std::string QRVInstanceIDKeyPairStore::publicTagWithSubtype(const std::string& subtype) {
    return "com.ondrix.iid-" + subtype + "|P|";
}

std::string QRVInstanceIDKeyPairStore::privateTagWithSubtype(const std::string& subtype) {
    return "com.ondrix.iid-" + subtype + "|K|";
}

std::string QRVInstanceIDKeyPairStore::creationTimeKeyWithSubtype(const std::string& subtype) {
    return subtype + "|S|" + "cre";
}

std::string QRVInstanceIDKeyPairStore::appIDKeyWithSubtype(const std::string& subtype) {
    return subtype + "|S|" + "app_id";
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPairStore::loadKeyPairWithError(ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    if (keyPair_ && keyPair_->isValid()) return keyPair_;
    if (keychainEntitlementsErrorCount_ >= 3) {
        QRVInstanceIDLoggerDebug(10002, "Keychain not accessible, Entitlements missing error (-34018). Will not "
                                        "check token in cache.");
        return nullptr;
    }
    ns::ErrorRef loadError;
    if (!keyPair_) keyPair_ = validCachedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType, &loadError);
    if (loadError && loadError->code() == ns::errSecMissingEntitlement) {
        ++keychainEntitlementsErrorCount_;
        // A keychain that refuses the app would refuse a new pair too, and
        // generating one would replace the identifier the property list
        // still serves.
        setError(error, loadError);
        return nullptr;
    }
    if (!keyPair_ && !nothingUsableStored(loadError)) {
        // A keychain that could not be read or completed this time may
        // still hold the pair in use; a new one would overwrite its items.
        setError(error, loadError);
        return nullptr;
    }
    if (!keyPair_) {
        keyPair_ = generateAndSaveKeyWithSubtype(kQRVInstanceIDKeyPairSubType, QRVInstanceIDCurrentTimestampInSeconds(),
                                                 &loadError);
    }
    setError(error, keyPair_ ? nullptr : loadError);
    return keyPair_;
}

std::optional<std::string> QRVInstanceIDKeyPairStore::appIdentityWithError(ns::ErrorRef* error) {
    ns::ErrorRef loadError;
    QRVInstanceIDKeyPairPtr keyPair = loadKeyPairWithError(&loadError);
    if (keyPair) {
        setError(error, nullptr);
        auto identity = QRVInstanceIDKeyPair::appIdentityWithKeyPair(*keyPair);
        if (!identity || identity->empty()) {
            setError(error, iidError(kQRVInstanceIDErrorCodeUnknown));
            return std::nullopt;
        }
        return identity;
    }
    std::lock_guard lock(mutex_);
    const bool unreachable =
        (loadError && loadError->code() == ns::errSecMissingEntitlement) || keychainEntitlementsErrorCount_ >= 3;
    if (unreachable) {
        if (auto contents = plist_.contentAsDictionary()) {
            auto it = contents->find(appIDKeyWithSubtype(kQRVInstanceIDKeyPairSubType));
            if (it != contents->end() && it->second.isString() && !it->second.asString().empty()) {
                setError(error, nullptr);
                return it->second.asString();
            }
        }
    }
    setError(error, loadError ? loadError : iidError(kQRVInstanceIDErrorCodeMissingKeyPair));
    return std::nullopt;
}

bool QRVInstanceIDKeyPairStore::takeIdentityChange() {
    std::lock_guard lock(mutex_);
    if (!creationTimeChecked_) {
        creationTimeChecked_ = true;
        // The same tests the load makes before it replaces the pair; asked
        // before any load, they tell the change before a cached token is used.
        // A keychain that refuses the app (-34018) or fails replaces nothing.
        auto contents = plist_.contentAsDictionary();
        if (keyPair_) {
            // Loaded already: a replacement has set the flag itself.
        } else if (!contents || !contents->contains(creationTimeKeyWithSubtype(kQRVInstanceIDKeyPairSubType))) {
            identityChanged_ = true;
        } else {
            ns::ErrorRef error;
            QRVInstanceIDKeyPairPtr stored = completedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType, &error);
            if (stored && stored->isValid()) {
                keyPair_ = stored;
            } else if (nothingUsableStored(error)) {
                identityChanged_ = true;
            }
        }
    }
    return std::exchange(identityChanged_, false);
}

void QRVInstanceIDKeyPairStore::setBeforeNewIdentityIsRecorded(std::function<ns::ErrorRef()> hook) {
    std::lock_guard lock(mutex_);
    beforeNewIdentityIsRecorded_ = std::move(hook);
}

bool QRVInstanceIDKeyPairStore::hasCachedKeyPairs() {
    std::lock_guard lock(mutex_);
    ns::ErrorRef error;
    if (cachedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType, &error)) return true;
    QRVInstanceIDLoggerDebug(10000, "Failed to get cached keyPair %@", error);
    ns::ErrorRef removeError;
    if (!removeKeyPairCreationTimePlistWithError(&removeError)) {
        QRVInstanceIDLoggerDebug(10001, "Failed to remove keyPair creationTime plist %@", removeError);
    }
    return false;
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPairStore::validCachedKeyPairWithSubtype(const std::string& subtype,
                                                                                 ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    auto contents = plist_.contentAsDictionary();
    if (!contents || !contents->contains(creationTimeKeyWithSubtype(subtype))) {
        // The property list does not outlive the app, the keychain does: a
        // pair without its creation time belongs to an earlier installation.
        ns::ErrorRef deleteError;
        if (!deleteSavedKeyPairWithSubtype(subtype, &deleteError)) {
            QRVInstanceIDLoggerDebug(10005, "Failed to delete keyPair for subtype %@, error %@", subtype, deleteError);
        }
        setError(error, iidError(kQRVInstanceIDErrorCodeMissingKeyPairCreationTime));
        return nullptr;
    }
    return completedKeyPairWithSubtype(subtype, error);
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPairStore::completedKeyPairWithSubtype(const std::string& subtype,
                                                                              ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    ns::ErrorRef readError;
    QRVInstanceIDKeyPairPtr keyPair = cachedKeyPairWithSubtype(subtype, &readError);
    // A keychain that refuses the read is asked once per load, as its
    // give-up counts loads.
    if (!keyPair && nothingUsableStored(readError) && restorePublicItemWithSubtype(subtype, &readError)) {
        keyPair = cachedKeyPairWithSubtype(subtype, &readError);
    }
    setError(error, keyPair ? nullptr : readError);
    if (keyPair && keyPair->isValid()) recordIdentityOfKeyPair(*keyPair, subtype);
    return keyPair;
}

bool QRVInstanceIDKeyPairStore::restorePublicItemWithSubtype(const std::string& subtype, ns::ErrorRef* error) {
    const std::string publicTag = publicTagWithSubtype(subtype);
    ns::OSStatus publicStatus = ns::errSecSuccess;
    if (QRVInstanceIDKeyPair::cachedKeyRefWithTag(publicTag, &publicStatus) || publicStatus != ns::errSecItemNotFound) {
        return true;  // there, or the read that follows tells what is wrong
    }
    ns::crypto::RSAKeyPtr privateKey = QRVInstanceIDKeyPair::cachedKeyRefWithTag(privateTagWithSubtype(subtype));
    if (!privateKey || !privateKey->isPrivate()) return true;
    const ns::OSStatus status = addKeyItem(publicTag, ns::kSecAttrKeyClassPublic, privateKey->exportPublicKey());
    if (status != ns::errSecSuccess) {
        QRVInstanceIDLoggerError(10009, "Unable to restore the public key of the stored keypair, status %d",
                                 int(status));
        setError(error, iidError(status));
        return false;
    }
    return true;
}

void QRVInstanceIDKeyPairStore::recordIdentityOfKeyPair(const QRVInstanceIDKeyPair& keyPair,
                                                        const std::string& subtype) {
    const auto identity = QRVInstanceIDKeyPair::appIdentityWithKeyPair(keyPair);
    if (!identity || identity->empty()) return;
    ns::Dictionary contents = plist_.contentAsDictionary().value_or(ns::Dictionary{});
    const std::string appIDKey = appIDKeyWithSubtype(subtype);
    if (contents[appIDKey] == ns::Value(*identity)) return;
    contents[appIDKey] = *identity;
    // The pair is in the keychain and vouched for already; the identifier
    // only serves a keychain that refuses the app, and the next read
    // records it again.
    ns::ErrorRef writeError;
    if (!plist_.writeDictionary(contents, &writeError)) {
        QRVInstanceIDLoggerError(10004, "Failed to save keypair data to plist %@", writeError);
    }
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPairStore::cachedKeyPairWithSubtype(const std::string& subtype,
                                                                            ns::ErrorRef* error) {
    return QRVInstanceIDKeyPair::keyPairForPrivateKeyTag(privateTagWithSubtype(subtype), publicTagWithSubtype(subtype),
                                                         error);
}

QRVInstanceIDKeyPairPtr QRVInstanceIDKeyPairStore::generateAndSaveKeyWithSubtype(const std::string& subtype,
                                                                                int64_t creationTime,
                                                                                ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    const std::string privateTag = privateTagWithSubtype(subtype);
    const std::string publicTag = publicTagWithSubtype(subtype);
    ns::ErrorRef keyError;
    ns::crypto::RSAKeyPtr key = ns::crypto::RSAKey::generate(kKeySizeInBits, &keyError);
    if (!key) {
        QRVInstanceIDLoggerError(10003, "Unable to generate keypair.");
        setError(error, iidError(ns::errSecAllocate));
        return nullptr;
    }
    // In the order the header gives; each step that fails ends the flow
    // with what is stored so far left as it is.
    if (beforeNewIdentityIsRecorded_) {
        if (ns::ErrorRef hookError = beforeNewIdentityIsRecorded_()) {
            setError(error, hookError);
            return nullptr;
        }
    }
    if (const ns::OSStatus status = deleteKeyItems(privateTag, publicTag); status != ns::errSecSuccess) {
        QRVInstanceIDLoggerError(10007, "Unable to remove RSA keypair");
        setError(error, iidError(status));
        return nullptr;
    }
    ns::Dictionary contents = plist_.contentAsDictionary().value_or(ns::Dictionary{});
    contents.erase(appIDKeyWithSubtype(subtype));
    contents[creationTimeKeyWithSubtype(subtype)] = int64_t(creationTime);
    ns::ErrorRef writeError;
    if (!plist_.writeDictionary(contents, &writeError)) {
        QRVInstanceIDLoggerError(10004, "Failed to save keypair data to plist %@", writeError);
        setError(error, writeError ? writeError : iidError(kQRVInstanceIDErrorCodeUnknown));
        return nullptr;
    }
    if (const ns::OSStatus status = addKeyItems(*key, privateTag, publicTag); status != ns::errSecSuccess) {
        QRVInstanceIDLoggerError(10003, "Unable to generate keypair.");
        setError(error, iidError(status));
        return nullptr;
    }
    QRVInstanceIDKeyPairPtr keyPair = keyPairOf(key, privateTag, publicTag);
    recordIdentityOfKeyPair(*keyPair, subtype);
    identityChanged_ = true;
    creationTimeChecked_ = true;
    return keyPair;
}

bool QRVInstanceIDKeyPairStore::deleteSavedKeyPairWithSubtype(const std::string& subtype, ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    auto contents = plist_.contentAsDictionary();
    const std::string creationKey = creationTimeKeyWithSubtype(subtype);
    if (contents && contents->contains(creationKey)) {
        ns::Dictionary rest = *contents;
        rest.erase(creationKey);
        rest.erase(appIDKeyWithSubtype(subtype));
        ns::ErrorRef writeError;
        if (!plist_.writeDictionary(rest, &writeError)) {
            QRVInstanceIDLoggerError(10006, "Unable to remove keypair creation time from plist %@", writeError);
        }
    }
    const bool deleted =
        QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTagWithSubtype(subtype), publicTagWithSubtype(subtype),
                                                          error);
    if (!deleted) {
        QRVInstanceIDLoggerError(10007, "Unable to remove RSA keypair");
    } else {
        keyPair_.reset();
    }
    return deleted;
}

bool QRVInstanceIDKeyPairStore::removeKeyPairCreationTimePlistWithError(ns::ErrorRef* error) {
    std::lock_guard lock(mutex_);
    if (!plist_.deleteFile(error)) {
        QRVInstanceIDLoggerError(10008, "Unable to delete keypair creation times plist");
        return false;
    }
    return true;
}

// MARK: - Digest, encodings and signatures

ns::Data QRVInstanceIDSHA1(const ns::Data& data) { return ns::crypto::sha1(data); }

std::string QRVInstanceIDWebSafeBase64(const ns::Data& data) { return ns::crypto::base64UrlEncode(data); }

std::string QRVInstanceIDSecKeyBase64Encoding(const ns::Data& data) {
    return ns::crypto::base64Encode(data, 64, "\r\n");
}

std::string QRVInstanceIDConcatenateStrings(const std::string& first, const std::vector<std::string>& rest) {
    std::string out = first;
    for (const std::string& s : rest) {
        out += "\n";
        out += s;
    }
    return out;
}

std::optional<ns::Data> QRVInstanceIDSignData(const ns::crypto::RSAKeyPtr& privateKey, const ns::Data& data) {
    if (!privateKey) return std::nullopt;
    const size_t block = privateKey->blockSize();
    ns::Data signature;
    signature.reserve((data.size() + block - 1) / block * block);
    for (size_t offset = 0; offset < data.size(); offset += block) {
        const size_t length = std::min(block, data.size() - offset);
        ns::Data chunk(data.begin() + long(offset), data.begin() + long(offset + length));
        ns::Data signed_ = privateKey->rawPrivateOperation(chunk);
        if (signed_.empty()) {
            QRVInstanceIDLoggerError(11000, "Failed to sign data, status %d", int(ns::errSecParam));
            return std::nullopt;
        }
        signature.insert(signature.end(), signed_.begin(), signed_.end());
    }
    return signature;
}

std::optional<std::string> QRVInstanceIDSignParams(const ns::crypto::RSAKeyPtr& privateKey, const std::string& text) {
    auto signature = QRVInstanceIDSignData(privateKey, ns::crypto::toData(text));
    if (!signature || signature->empty()) return std::nullopt;
    return QRVInstanceIDWebSafeBase64(*signature);
}

bool QRVInstanceIDVerifyDataWithRSA(const ns::crypto::RSAKeyPtr& publicKey, const ns::Data& data,
                                    const ns::Data& signature) {
    if (!publicKey || data.empty()) return false;
    const size_t block = publicKey->blockSize();
    const size_t blocks = (data.size() + block - 1) / block;
    if (signature.size() != blocks * block) {
        QRVInstanceIDLoggerError(11001, "Signed bytes cannot be verified.");
        return false;
    }
    for (size_t k = 0; k < blocks; ++k) {
        const size_t offset = k * block;
        const size_t length = std::min(block, data.size() - offset);
        ns::Data expected(block - length, 0);
        expected.insert(expected.end(), data.begin() + long(offset), data.begin() + long(offset + length));
        ns::Data sigBlock(signature.begin() + long(offset), signature.begin() + long(offset + block));
        if (publicKey->rawPublicOperation(sigBlock) != expected) {
            QRVInstanceIDLoggerError(11001, "Signed bytes cannot be verified.");
            return false;
        }
    }
    return true;
}

bool QRVInstanceIDVerifyData(const ns::crypto::RSAKeyPtr& publicKey, const std::string& text,
                             const std::string& signature) {
    auto encoder = QRVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
    encoder->setDoPad(false);
    auto bytes = encoder->decode(signature);
    if (!bytes) return false;
    return QRVInstanceIDVerifyDataWithRSA(publicKey, ns::crypto::toData(text), *bytes);
}

// MARK: - String encoding

namespace {
constexpr const char* kWebsafeBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
}  // namespace

QRVInstanceIDStringEncoding::QRVInstanceIDStringEncoding(const std::string& alphabet) : charMap_(alphabet) {
    for (int& entry : reverseCharMap_) entry = kUnknown;
    for (size_t i = 0; i < alphabet.size(); ++i) reverseCharMap_[static_cast<unsigned char>(alphabet[i])] = int(i);
    while ((size_t(1) << shift_) < alphabet.size()) ++shift_;
    mask_ = (1 << shift_) - 1;
    padLen_ = shift_ ? std::lcm(8, shift_) / shift_ : 0;
    if (alphabet.find(paddingChar_) == std::string::npos) reverseCharMap_[int(paddingChar_)] = kPadding;
}

std::shared_ptr<QRVInstanceIDStringEncoding> QRVInstanceIDStringEncoding::stringEncodingWithString(
    const std::string& alphabet) {
    const size_t n = alphabet.size();
    if (n < 2 || n > 128 || (n & (n - 1)) != 0) return nullptr;
    bool seen[128] = {};
    for (unsigned char c : alphabet) {
        if (c >= 128 || seen[c]) return nullptr;
        seen[c] = true;
    }
    return std::make_shared<QRVInstanceIDStringEncoding>(alphabet);
}

std::shared_ptr<QRVInstanceIDStringEncoding> QRVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding() {
    auto encoder = stringEncodingWithString(kWebsafeBase64Alphabet);
    encoder->setPaddingChar('=');
    encoder->setDoPad(true);
    return encoder;
}

void QRVInstanceIDStringEncoding::setPaddingChar(char c) {
    if (paddingChar_ >= 0 && reverseCharMap_[static_cast<unsigned char>(paddingChar_)] == kPadding) {
        reverseCharMap_[static_cast<unsigned char>(paddingChar_)] = kUnknown;
    }
    paddingChar_ = c;
    if (static_cast<unsigned char>(c) < 128) reverseCharMap_[static_cast<unsigned char>(c)] = kPadding;
}

std::string QRVInstanceIDStringEncoding::encode(const ns::Data& data) const {
    std::string out;
    if (data.empty()) return out;
    const size_t length = (data.size() * 8 + size_t(shift_) - 1) / size_t(shift_);
    out.reserve(length + size_t(padLen_));
    uint32_t buffer = 0;
    int bits = 0;
    for (uint8_t byte : data) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= shift_) {
            bits -= shift_;
            out += charMap_[(buffer >> bits) & uint32_t(mask_)];
        }
    }
    if (bits > 0) out += charMap_[(buffer << (shift_ - bits)) & uint32_t(mask_)];
    if (doPad_) {
        while (out.size() % size_t(padLen_) != 0) out += paddingChar_;
    }
    return out;
}

std::optional<ns::Data> QRVInstanceIDStringEncoding::decode(const std::string& text) const {
    ns::Data out;
    uint32_t buffer = 0;
    int bits = 0;
    bool paddingSeen = false;
    for (unsigned char c : text) {
        if (c >= 128) return std::nullopt;
        const int value = reverseCharMap_[c];
        if (value == kPadding) {
            paddingSeen = true;
            continue;
        }
        if (value < 0 || paddingSeen) return std::nullopt;
        buffer = (buffer << shift_) | uint32_t(value);
        bits += shift_;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(buffer >> bits));
        }
        buffer &= (1u << bits) - 1;
    }
    if (bits > 0 && buffer != 0) return std::nullopt;
    return out;
}

std::string QRVInstanceIDStringEncoding::description() const {
    return "<Base" + std::to_string(1 << shift_) + " StringEncoder: " + charMap_ + ">";
}
