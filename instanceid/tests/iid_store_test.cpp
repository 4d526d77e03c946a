// The storage primitives, the token cache and the registration helpers,
// without the network.

#include <gtest/gtest.h>

#include "instanceid/QRVInstanceID.h"
#include "instanceid/QRVInstanceIDRegistration.h"
#include "instanceid/QRVInstanceIDStorage.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/plist.h"
#include "platform/runloop.h"
#include "platform/store_writes.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr const char* kEntity = "480326711275";

class IidLocalTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVInstanceID::resetForTesting();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                               {"CFBundleShortVersionString", "1.0"}});
        ASSERT_TRUE(QRVInstanceIDStore::createApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory));
    }
    void TearDown() override { QRVInstanceID::resetForTesting(); }
    ns::testing::TempSandbox sandbox_;
};

}  // namespace

TEST_F(IidLocalTest, AFailedKeychainWriteKeepsTheStoredSecret) {
    QRVInstanceIDAuthKeychain keychain("com.ondrix.iid");
    ASSERT_TRUE(keychain.setPassword("1|2", "svc", "", "acct", std::nullopt));
    // The keychain refuses the change: the old value stays.
    ns::Keychain::shared()->injectFailure(ns::errSecIO, 1, ns::Keychain::Operation::Update);
    ns::ErrorRef error;
    EXPECT_FALSE(keychain.setPassword("3|4", "svc", "", "acct", std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kQRVInstanceIDKeychainErrorDomain);
    EXPECT_EQ(error->code(), ns::errSecIO);
    EXPECT_EQ(keychain.passwordForService("svc", "acct", std::nullopt), "1|2");
    // A change that goes through replaces it in place.
    EXPECT_TRUE(keychain.setPassword("3|4", "svc", "", "acct", std::nullopt));
    EXPECT_EQ(keychain.passwordForService("svc", "acct", std::nullopt), "3|4");

    // Bad arguments, missing items, and the empty password's removal.
    error = nullptr;
    EXPECT_FALSE(keychain.passwordForService("svc", "other", std::nullopt, &error));
    EXPECT_EQ(error->code(), ns::errSecItemNotFound);
    EXPECT_TRUE(keychain.removePasswordForService("svc", "other", std::nullopt));
    error = nullptr;
    EXPECT_FALSE(keychain.setPassword("x", "", "", "acct", std::nullopt, &error));
    EXPECT_EQ(error->code(), kQRVInstanceIDKeychainBadArguments);
    error = nullptr;
    EXPECT_FALSE(keychain.setPassword("", "svc", "", "acct", std::nullopt, &error));
    EXPECT_EQ(error->code(), kQRVInstanceIDKeychainBadArguments);
    EXPECT_FALSE(keychain.passwordForService("svc", "acct", std::nullopt));
}

TEST_F(IidLocalTest, PropertyListsMoveOutOfDocumentsAndAreExcludedFromBackup) {
    const auto& files = ns::FileManager::defaultManager();
    const std::string documents = files.pathForDirectory(ns::SearchPathDirectory::Documents) + "/moved.plist";
    ASSERT_TRUE(ns::plist::writeFile(documents, ns::Value(ns::Dictionary{{"k", "v"}}), ns::plist::Format::XML));
    QRVInstanceIDBackupExcludedPlist moved("moved", kQRVInstanceIDApplicationSupportSubDirectory);
    EXPECT_TRUE(moved.fileInApplicationSupport());
    EXPECT_FALSE(files.fileExists(documents));
    EXPECT_EQ(moved.contentAsDictionary().value_or(ns::Dictionary{})["k"], ns::Value("v"));

    QRVInstanceIDBackupExcludedPlist written("written", kQRVInstanceIDApplicationSupportSubDirectory);
    ASSERT_TRUE(written.writeDictionary({{"a", int64_t(1)}}));
    EXPECT_TRUE(files.isExcludedFromBackup(written.plistPathInDirectory(written.plistDirectory())));
    ASSERT_TRUE(written.deleteFile());
    EXPECT_FALSE(written.contentAsDictionary());

    // Without the subdirectory the file stays in Documents.
    QRVInstanceIDBackupExcludedPlist elsewhere("elsewhere", "Missing/Dir");
    EXPECT_FALSE(elsewhere.fileInApplicationSupport());
}

TEST_F(IidLocalTest, AKeychainWithoutEntitlementIsLeftAloneAfterThreeRefusals) {
    std::string identity;
    {
        QRVInstanceIDKeyPairStore first;
        identity = first.appIdentityWithError().value_or("");
        ASSERT_EQ(identity.size(), 11u);
    }
    sandbox_.relaunch();
    QRVInstanceIDKeyPairStore store;
    ns::Keychain::shared()->injectFailure(ns::errSecMissingEntitlement, 3, ns::Keychain::Operation::CopyMatching);
    for (int i = 0; i < 3; ++i) {
        ns::ErrorRef error;
        EXPECT_FALSE(store.loadKeyPairWithError(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), ns::errSecMissingEntitlement);
    }
    EXPECT_EQ(store.keychainEntitlementsErrorCount(), 3);
    // The keychain would answer now, but is not asked again this run.
    EXPECT_FALSE(store.loadKeyPairWithError());
    // The identity still comes from the property list.
    ns::ErrorRef error;
    EXPECT_EQ(store.appIdentityWithError(&error), identity);
    EXPECT_FALSE(error);
}

TEST_F(IidLocalTest, AKeyPairWithoutItsCreationTimeIsReplaced) {
    std::string before;
    {
        QRVInstanceIDKeyPairStore store;
        before = store.appIdentityWithError().value_or("");
    }
    // A reinstall: the property list is gone, the keychain items are not.
    ns::FileManager::defaultManager().removeItem(QRVInstanceIDStore::pathForApplicationSupportSubDirectory(
                                                     kQRVInstanceIDApplicationSupportSubDirectory) +
                                                 "/com.ondrix.iid-keypair.plist");
    sandbox_.relaunch();
    QRVInstanceIDKeyPairStore store;
    auto after = store.appIdentityWithError();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, before);
    EXPECT_TRUE(QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag("none|K|", "none|P|"));
}

TEST_F(IidLocalTest, AVersionChangeInvalidatesTheEntitysTokensUnderTheirOwnScopes) {
    QRVInstanceIDTokenManager manager;
    auto store = manager.instanceIDStore();
    ASSERT_TRUE(store->saveToken("default-token", kEntity, "*"));
    ASSERT_TRUE(store->saveToken("qdx-token", kEntity, "qdx"));
    ASSERT_TRUE(store->saveToken("auth-token", kEntity, kQRVInstanceIDAllScopeIdentifier));
    ASSERT_TRUE(store->saveToken("other-sender", "999", "*"));
    // Each scope is its own item: "*" does not read or overwrite the others.
    EXPECT_EQ(store->tokenWithAuthorizedEntity(kEntity, "*"), "default-token");
    EXPECT_EQ(store->tokenWithAuthorizedEntity(kEntity, kQRVInstanceIDAllScopeIdentifier), "auth-token");
    store->saveAppVersion();
    EXPECT_EQ(manager.tokenWithAuthorizedEntity(kEntity, "*", {}).status, QRVInstanceIDCachedToken::kUsable);

    sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                           {"CFBundleShortVersionString", "1.1"}});
    sandbox_.relaunch();
    QRVInstanceIDCachedToken cached = manager.tokenWithAuthorizedEntity(kEntity, "*", {});
    EXPECT_EQ(cached.status, QRVInstanceIDCachedToken::kDiscard);
    EXPECT_TRUE(cached.shouldInvalidateAllTokens);
    EXPECT_TRUE(manager.invalidateCachedToken(cached, kEntity, "*", {}));
    EXPECT_FALSE(store->tokenWithAuthorizedEntity(kEntity, "*"));
    EXPECT_FALSE(store->tokenWithAuthorizedEntity(kEntity, "qdx"));
    EXPECT_EQ(store->tokenWithAuthorizedEntity(kEntity, kQRVInstanceIDAllScopeIdentifier), "auth-token");
    EXPECT_EQ(store->tokenWithAuthorizedEntity("999", "*"), "other-sender");
}

TEST_F(IidLocalTest, TheAPNsRuleComparesTheTokenCachedForItsEnvironment) {
    QRVInstanceIDTokenManager manager;
    auto store = manager.instanceIDStore();
    store->saveAppVersion();
    ASSERT_TRUE(store->saveToken("t", kEntity, "*"));
    store->saveAPNSToken("p_aa", false);
    const ns::Dictionary a{{"apns_token", "p_aa"}, {"apns_sandbox", false}};
    const ns::Dictionary b{{"apns_token", "p_bb"}, {"apns_sandbox", false}};
    EXPECT_EQ(manager.tokenWithAuthorizedEntity(kEntity, "*", a).status, QRVInstanceIDCachedToken::kUsable);
    EXPECT_EQ(manager.tokenWithAuthorizedEntity(kEntity, "*", b).status, QRVInstanceIDCachedToken::kDiscard);
    // Scopes other than "*" and "qdx" never look at the APNs token.
    ASSERT_TRUE(store->saveToken("t", kEntity, "custom"));
    EXPECT_EQ(manager.tokenWithAuthorizedEntity(kEntity, "custom", b).status, QRVInstanceIDCachedToken::kUsable);
    // A sandbox token replaces the whole list.
    store->saveAPNSToken("s_cc", true);
    EXPECT_FALSE(store->cachedAPNSTokenForServerType(false));
    EXPECT_EQ(store->cachedAPNSTokenForServerType(true), "s_cc");
    // Cached values without the marker read as nothing.
    EXPECT_FALSE(QRVInstanceIDTokenStore::actualTokenFromCachedToken("12345abc"));
    EXPECT_EQ(QRVInstanceIDTokenStore::cacheTimeForCachedToken("12345abc"), 0);
    EXPECT_EQ(QRVInstanceIDTokenStore::cacheTimeForCachedToken("77|Token|x"), 77);
    EXPECT_EQ(QRVInstanceIDTokenStore::cacheKeyForAuthorizedEntity("123", "*"), "|T|123|*");
}

TEST(InstanceIDRegistration, RepliesSplitAtTheFirstEqualsSignAndOnlyCarryTokensForTheirRequest) {
    auto lines = QRVInstanceIDRegistrationClient::parseFetchTokenResponse("token=1:abc=def==\nError=A:B\nnoise");
    EXPECT_EQ(lines["token"], "1:abc=def==");
    EXPECT_EQ(lines["Error"], "A:B");
    EXPECT_EQ(lines.size(), 2u);

    struct Case {
        const char* value;
        uint64_t requestID;
        std::optional<std::string> token;
    };
    const Case cases[] = {
        {"1:abc", 1, "abc"},
        {"1:abc", 2, std::nullopt},
        {"12:abc", 1, std::nullopt},
        {"1:", 1, std::nullopt},
        {"|ID|x", 1, std::nullopt},
        {"|ID|1|PING|:tok:en", 1, "tok:en"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QRVInstanceIDRegistrationClient::tokenFromReplyValue(c.value, c.requestID), c.token) << c.value;
    }
}

TEST(InstanceIDRegistration, FormValuesArePercentEncoded) {
    EXPECT_EQ(QRVInstanceIDQueryFromQueryItems({{"pub2", "a+b/c=\r\n"}, {"topic", "x&y%z"}, {"X-kid", "7"}}),
              "pub2=a%2Bb%2Fc%3D%0D%0A&topic=x%26y%25z&X-kid=7");
    // Only the two accepted options travel, as text.
    auto items = QRVInstanceIDRegistrationClient::queryItemsFromOptions(
        {{"apns_token", "p_00"}, {"vlp_app_id", int64_t(5)}, {"other", "x"}});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].name, "apns_token");
    EXPECT_EQ(items[1].value, "5");
    EXPECT_TRUE(QRVInstanceIDRegistrationClient::queryItemsFromOptions({{"apns_token", ns::Dictionary{}}}).empty());
}

TEST(InstanceIDUtilities, ScopesApnsTextAndMessageCodes) {
    EXPECT_EQ(QRVInstanceIDAPNSStringForToken(ns::Data{0x0a, 0xff}, true), "s_0aff");
    EXPECT_EQ(QRVInstanceIDAPNSStringForToken(ns::Data{}, false), "p_");
    EXPECT_TRUE(QRVInstanceIDIsValidKDXScope("QDX"));
    EXPECT_TRUE(QRVInstanceIDIsValidKDXScope("qdx"));
    EXPECT_FALSE(QRVInstanceIDIsValidDefaultScope("**"));
    EXPECT_EQ(QRVInstanceIDLogger::formatMessageCode(5), "I-IID000005");
    EXPECT_FALSE(QRVInstanceIDCurrentKDXVersion());
}

namespace {

std::string instanceIDFile(const std::string& name) {
    return QRVInstanceIDStore::pathForApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory) +
           "/" + name + ".plist";
}

// A token in the keychain as a store of any earlier order left it: the item
// alone, nothing else written with it.
void putTokenAlone(const std::string& entity, const std::string& token) {
    ASSERT_TRUE(QRVInstanceIDTokenStore::defaultStore()->saveToken(token, entity, "*"));
}

}  // namespace

// What a launch finds beside a token decides whether it keeps it. A process
// ended between the token and the app version under the earlier order left
// a token with no version at all: it was almost always made by the version
// running now and is kept as that version's; a lost library version with
// the token list still there is not a reinstall.
TEST_F(IidLocalTest, ALaunchKeepsATokenWhoseAppVersionIsUnrecordedAndDropsAnotherVersionsOrAnEarlierInstallations) {
    struct Case {
        const char* name;
        std::optional<std::string> appVersion;
        bool libraryVersion;
        bool tokenList;
        bool kept;  // used as it is; otherwise discarded (and fetched anew)
        bool stillStored;
        bool defaultsUnreadable = false;  // a folder where their list is
    };
    const Case cases[] = {
        {"everything written", "1.0", true, true, true, true},
        {"no app version", std::nullopt, true, false, true, true},
        {"no app version, the list there", std::nullopt, true, true, true, true},
        {"defaults lost, the list there", std::nullopt, false, true, true, true},
        {"another app version", "0.9", true, true, false, true},
        {"a reinstall: no defaults, no list", std::nullopt, false, false, false, false},
        // Defaults that cannot be read say nothing of the versions.
        {"defaults unreadable", "1.0", true, true, true, true, true},
        {"defaults unreadable, no list", "1.0", true, false, true, true, true},
    };
    auto defaults = [] { return ns::UserDefaults::standard(); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QRVInstanceIDTokenStore::defaultStore()->removeAllTokensWithError();
        ns::FileManager::defaultManager().removeItem(instanceIDFile(kQRVInstanceIDTokenPlistFileName));
        defaults()->removePersistentDomain();
        putTokenAlone(kEntity, "id:made-before-the-end");
        if (c.tokenList) {
            ASSERT_TRUE(ns::plist::writeFile(instanceIDFile(kQRVInstanceIDTokenPlistFileName),
                                             ns::Value(ns::Dictionary{}), ns::plist::Format::XML));
        }
        if (c.libraryVersion) {
            defaults()->setString(QRVInstanceIDCurrentLibraryVersion(), kQRVInstanceIDLibraryVersionKey);
        }
        if (c.appVersion) defaults()->setString(*c.appVersion, kQRVInstanceIDAppVersionKey);
        const std::string list = defaults()->path();
        std::optional<ns::Data> listBytes;
        if (c.defaultsUnreadable) {
            ASSERT_TRUE(defaults()->synchronize());
            listBytes = ns::FileManager::defaultManager().readData(list);
            ns::FileManager::defaultManager().removeItem(list);
            ASSERT_TRUE(ns::FileManager::defaultManager().createDirectory(list, false, nullptr));
        }
        sandbox_.relaunch();

        QRVInstanceIDTokenManager manager;
        const QRVInstanceIDCachedToken cached = manager.tokenWithAuthorizedEntity(kEntity, "*", {});
        EXPECT_EQ(cached.status, c.kept ? QRVInstanceIDCachedToken::kUsable : QRVInstanceIDCachedToken::kDiscard);
        EXPECT_EQ(cached.token.has_value(), c.stillStored);
        if (c.defaultsUnreadable) {
            ns::FileManager::defaultManager().removeItem(list);
            ASSERT_TRUE(ns::FileManager::defaultManager().writeData(list, *listBytes));
            sandbox_.relaunch();
        }
        if (c.kept) {
            EXPECT_EQ(cached.token, "id:made-before-the-end");
            EXPECT_EQ(manager.instanceIDStore()->currentSavedAppVersion(), "1.0") << "recorded for the token kept";
        }
        if (!c.stillStored) {
            EXPECT_FALSE(manager.instanceIDStore()->hasSavedAppVersion()) << "nothing to record it for";
        }
    }
}

// Every road that stores a token stores first what the next launch weighs
// it against; a new app version goes on record only once the tokens made
// under the one before are gone, whichever entity they were for.
TEST_F(IidLocalTest, StoringATokenRecordsItsVersionsAndListFirstAndANewVersionOnlyWithoutTheOldTokens) {
    const std::string list = instanceIDFile(kQRVInstanceIDTokenPlistFileName);
    for (const char* scope : {"*", "qdx", kQRVInstanceIDAllScopeIdentifier}) {
        SCOPED_TRACE(scope);
        ns::UserDefaults::standard()->removePersistentDomain();
        ns::FileManager::defaultManager().removeItem(list);
        sandbox_.relaunch();
        QRVInstanceIDTokenManager manager;
        auto store = manager.instanceIDStore();
        ns::UserDefaults::standard()->removePersistentDomain();
        ASSERT_TRUE(store->saveToken(std::string("t-") + scope, kEntity, scope));
        EXPECT_EQ(store->currentSavedAppVersion(), "1.0");
        EXPECT_EQ(store->currentSavedLibraryVersion(), QRVInstanceIDCurrentLibraryVersion());
        EXPECT_TRUE(ns::FileManager::defaultManager().fileExists(list));
    }

    QRVInstanceIDTokenManager manager;
    auto store = manager.instanceIDStore();
    ASSERT_TRUE(store->saveToken("other-sender-1.0", "999", "*"));
    sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                           {"CFBundleShortVersionString", "1.1"}});
    sandbox_.relaunch();
    QRVInstanceIDTokenManager updated;
    auto updatedStore = updated.instanceIDStore();
    ASSERT_TRUE(updatedStore->saveToken("t-1.1", kEntity, "*"));
    EXPECT_EQ(updatedStore->currentSavedAppVersion(), "1.1");
    EXPECT_EQ(updatedStore->tokenWithAuthorizedEntity(kEntity, "*"), "t-1.1");
    EXPECT_FALSE(updatedStore->tokenWithAuthorizedEntity("999", "*")) << "a 1.0 token left as 1.1's";
    EXPECT_FALSE(updatedStore->tokenWithAuthorizedEntity(kEntity, "qdx"));
    EXPECT_EQ(updated.tokenWithAuthorizedEntity(kEntity, "*", {}).status, QRVInstanceIDCachedToken::kUsable);
}

// A pair is replaced when its creation time is gone or it is not in the
// keychain. The tokens of the old identity are gone before anything of the
// new one is stored: no process end leaves the new identity with the old
// one's tokens, or the list speaking for a pair it was not written for.
TEST_F(IidLocalTest, ANewIdentityIsRecordedOnlyAfterTheOldOnesTokensAreGone) {
    const std::string keyPairList = instanceIDFile(QRVInstanceIDKeyPairStore::keyStoreFileName());
    const std::string creationKey = QRVInstanceIDKeyPairStore::creationTimeKeyWithSubtype(kQRVInstanceIDKeyPairSubType);
    const std::string privateTag = QRVInstanceIDKeyPairStore::privateTagWithSubtype(kQRVInstanceIDKeyPairSubType);
    auto spoilPrivateKey = [&] {
        ns::SecItemDelete(QRVInstanceIDKeyPair::queryDictWithTag(privateTag, false, false));
        ns::Dictionary item = QRVInstanceIDKeyPair::queryDictWithTag(privateTag, false, false);
        item[ns::kSecAttrKeyClass] = ns::kSecAttrKeyClassPrivate;
        item[ns::kSecValueData] = ns::Data{0x30, 0x03, 0x02, 0x01, 0x00};
        ASSERT_EQ(ns::SecItemAdd(item), ns::errSecSuccess);
    };
    auto recordedIdentity = [&]() -> std::optional<std::string> {
        ns::Value list = ns::plist::readFile(keyPairList);
        if (!list.isDictionary() || !list.contains(creationKey)) return std::nullopt;
        const std::string* id = list[QRVInstanceIDKeyPairStore::appIDKeyWithSubtype(kQRVInstanceIDKeyPairSubType)]
                                    .stringOrNull();
        return id ? std::optional<std::string>(*id) : std::nullopt;
    };

    // Through the facade: asked for its identifier before anything else (as
    // analytics asks), it makes the new pair at once.
    std::string before = QRVInstanceID::instanceID()->appInstanceID().value_or("");
    ASSERT_EQ(recordedIdentity(), before);
    putTokenAlone(kEntity, before + ":token");
    spoilPrivateKey();
    QRVInstanceID::resetForTesting();
    sandbox_.relaunch();
    const std::string after = QRVInstanceID::instanceID()->appInstanceID().value_or("");
    ASSERT_FALSE(after.empty());
    ASSERT_NE(after, before);
    EXPECT_EQ(recordedIdentity(), after);
    EXPECT_FALSE(QRVInstanceIDTokenStore::defaultStore()->tokenWithAuthorizedEntity(kEntity, "*"))
        << "the new identity is on record with the old one's token";

    // What the key-pair store has written when its hook runs: nothing of
    // the new pair yet.
    putTokenAlone(kEntity, after + ":token");
    spoilPrivateKey();
    QRVInstanceID::resetForTesting();
    sandbox_.relaunch();
    const std::optional<ns::Data> spoiled = QRVInstanceIDKeyPair::keyDataWithTag(privateTag);
    QRVInstanceIDKeyPairStore store;
    int calls = 0;
    store.setBeforeNewIdentityIsRecorded([&]() -> ns::ErrorRef {
        ++calls;
        EXPECT_EQ(recordedIdentity(), after) << "the list changed before the old identity's tokens left";
        EXPECT_EQ(QRVInstanceIDKeyPair::keyDataWithTag(privateTag), spoiled);
        return nullptr;
    });
    const auto made = store.loadKeyPairWithError();
    ASSERT_TRUE(made);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(recordedIdentity(), QRVInstanceIDKeyPair::appIdentityWithKeyPair(*made));
}

namespace {

std::string privateTag() { return QRVInstanceIDKeyPairStore::privateTagWithSubtype(kQRVInstanceIDKeyPairSubType); }
std::string publicTag() { return QRVInstanceIDKeyPairStore::publicTagWithSubtype(kQRVInstanceIDKeyPairSubType); }

// The identifier key pair list records, if any.
std::optional<std::string> listedIdentity() {
    ns::Value list = ns::plist::readFile(instanceIDFile(QRVInstanceIDKeyPairStore::keyStoreFileName()));
    const std::string* id = list[QRVInstanceIDKeyPairStore::appIDKeyWithSubtype(kQRVInstanceIDKeyPairSubType)]
                                .stringOrNull();
    return id ? std::optional<std::string>(*id) : std::nullopt;
}

// What a process ended between the private and the public key item leaves:
// the list holding the creation time alone, the private item alone.
void leaveThePrivateItemAlone() {
    ASSERT_EQ(ns::SecItemDelete(QRVInstanceIDKeyPair::queryDictWithTag(publicTag(), false, false)), ns::errSecSuccess);
    const std::string listPath = instanceIDFile(QRVInstanceIDKeyPairStore::keyStoreFileName());
    ns::Dictionary list = ns::plist::readFile(listPath).asDictionary();
    list.erase(QRVInstanceIDKeyPairStore::appIDKeyWithSubtype(kQRVInstanceIDKeyPairSubType));
    ASSERT_TRUE(ns::plist::writeFile(listPath, ns::Value(list), ns::plist::Format::XML));
}

}  // namespace

// A keychain that cannot be read or written for now (a locked phone, a
// failed write) is not a keychain without the pair: nothing is replaced or
// taken for a new identity, and once it answers the same pair is used.
TEST_F(IidLocalTest, AKeychainFailingForNowReplacesNothing) {
    struct Case {
        const char* name;
        bool privateItemAlone;
        ns::OSStatus status;
        ns::Keychain::Operation operation;
    };
    const Case cases[] = {
        {"the pair whole, reads refused", false, ns::errSecInteractionNotAllowed, ns::Keychain::Operation::CopyMatching},
        {"the private item alone, reads refused", true, ns::errSecInteractionNotAllowed,
         ns::Keychain::Operation::CopyMatching},
        {"the private item alone, writes failing", true, ns::errSecIO, ns::Keychain::Operation::Add},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTag(), publicTag());
        ns::FileManager::defaultManager().removeItem(instanceIDFile(QRVInstanceIDKeyPairStore::keyStoreFileName()));
        sandbox_.relaunch();
        std::string identity;
        {
            QRVInstanceIDKeyPairStore store;
            identity = store.appIdentityWithError().value_or("");
            ASSERT_EQ(identity.size(), 11u);
        }
        const std::optional<ns::Data> privateItem = QRVInstanceIDKeyPair::keyDataWithTag(privateTag());
        if (c.privateItemAlone) leaveThePrivateItemAlone();
        sandbox_.relaunch();

        ns::Keychain::shared()->injectFailure(c.status, -1, c.operation);
        {
            QRVInstanceIDKeyPairStore store;
            EXPECT_FALSE(store.takeIdentityChange()) << "the tokens of the identity in use would be dropped";
            ns::ErrorRef error;
            EXPECT_FALSE(store.loadKeyPairWithError(&error));
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), c.status);
        }
        ns::Keychain::shared()->clearInjectedFailures();
        EXPECT_EQ(QRVInstanceIDKeyPair::keyDataWithTag(privateTag()), privateItem) << "the private item was replaced";

        sandbox_.relaunch();
        QRVInstanceIDKeyPairStore store;
        EXPECT_EQ(store.appIdentityWithError(), identity);
        EXPECT_EQ(QRVInstanceIDKeyPair::keyDataWithTag(privateTag()), privateItem);
    }
}

// Each write a new identity makes failing in turn (the write returns an
// error; the process goes on): the flow stops at it and writes nothing
// after it, not even to take back what it stored, and the next launch uses
// the pair whose private item the failure left, or makes one where none is.
TEST_F(IidLocalTest, AFailedWriteOfANewIdentityEndsItsFlowAndTheNextLaunchKeepsWhatItStored) {
    int failedWrites = 0;
    for (uint64_t k = 1; k <= 20; ++k) {
        SCOPED_TRACE(::testing::Message() << "write " << k << " of the new identity failing");
        QRVInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTag(), publicTag());
        ns::FileManager::defaultManager().removeItem(instanceIDFile(QRVInstanceIDKeyPairStore::keyStoreFileName()));
        sandbox_.relaunch();
        const uint64_t before = ns::storeWrites::count();
        ns::storeWrites::failAtWriteForTesting(before + k, EIO);
        QRVInstanceIDKeyPairPtr made;
        {
            QRVInstanceIDKeyPairStore store;
            made = store.loadKeyPairWithError();
        }
        const uint64_t written = ns::storeWrites::count() - before;
        ns::storeWrites::failAtWriteForTesting(0, 0);
        if (written < k) {
            EXPECT_TRUE(made) << "the flow made no failing write and still has no pair";
            break;
        }
        ++failedWrites;
        EXPECT_EQ(written, k) << "writes made after the failed one";
        const std::optional<ns::Data> privateItem = QRVInstanceIDKeyPair::keyDataWithTag(privateTag());

        sandbox_.relaunch();
        QRVInstanceIDKeyPairStore store;
        const QRVInstanceIDKeyPairPtr used = store.loadKeyPairWithError();
        ASSERT_TRUE(used);
        const std::optional<ns::Data> privateAfter = QRVInstanceIDKeyPair::keyDataWithTag(privateTag());
        if (privateItem) {
            EXPECT_EQ(privateAfter, privateItem) << "the private key item the failure left was overwritten";
        }
        EXPECT_EQ(used->privateKeyData(), privateAfter);
        EXPECT_EQ(used->publicKeyData(), QRVInstanceIDKeyPair::keyDataWithTag(publicTag()));
        EXPECT_EQ(listedIdentity(), QRVInstanceIDKeyPair::appIdentityWithKeyPair(*used));
    }
    EXPECT_GE(failedWrites, 3) << "a new identity writes its list and two key items";
}
