#include "platform/keychain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

using namespace ns;  // NOLINT: the Sec* names read best unqualified here

Data bytesOf(std::string_view s) {
    return Data(s.begin(), s.end());
}

Dictionary password(const std::string& account, const std::string& secret = {}) {
    Dictionary d{{kSecClass, kSecClassGenericPassword},
                 {kSecAttrService, "com.example.auth"},
                 {kSecAttrAccount, account}};
    if (!secret.empty()) d[kSecValueData] = bytesOf(secret);
    return d;
}

TEST(Keychain, GenericPasswordLifecycleAndStatusCodes) {
    ns::testing::TempSandbox temp;
    auto clock = VirtualClock::install(1'700'000'000.0);

    EXPECT_EQ(SecItemCopyMatching(password("ada"), nullptr), errSecItemNotFound);
    Dictionary add = password("ada", "s3cret");
    add[kSecAttrAccessible] = kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
    add[kSecAttrLabel] = "Ada's token";
    EXPECT_EQ(SecItemAdd(add), errSecSuccess);
    EXPECT_EQ(SecItemAdd(password("ada", "other")), errSecDuplicateItem);
    EXPECT_EQ(SecItemAdd(password("bob", "b")), errSecSuccess);

    Dictionary q = password("ada");
    q[kSecReturnData] = true;
    Value result;
    ASSERT_EQ(SecItemCopyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result, Value(bytesOf("s3cret")));

    q[kSecReturnAttributes] = true;
    ASSERT_EQ(SecItemCopyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result[kSecAttrAccessible], Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
    EXPECT_EQ(result[kSecAttrLabel], Value("Ada's token"));
    EXPECT_EQ(result[kSecValueData], Value(bytesOf("s3cret")));
    EXPECT_EQ(result[kSecAttrCreationDate], Value(Date{1'700'000'000.0}));

    Dictionary all{{kSecClass, kSecClassGenericPassword}, {kSecMatchLimit, kSecMatchLimitAll},
                   {kSecReturnAttributes, true}};
    ASSERT_EQ(SecItemCopyMatching(all, &result), errSecSuccess);
    ASSERT_TRUE(result.isArray());
    EXPECT_EQ(result.asArray().size(), 2u);

    clock->advance(60);
    EXPECT_EQ(SecItemUpdate(password("ada"), {{kSecValueData, bytesOf("new")}}), errSecSuccess);
    EXPECT_EQ(SecItemUpdate(password("carol"), {{kSecValueData, bytesOf("x")}}), errSecItemNotFound);
    EXPECT_EQ(SecItemUpdate(password("bob"), {{kSecAttrAccount, "ada"}}), errSecDuplicateItem);
    q = password("ada");
    q[kSecReturnAttributes] = true;
    q[kSecReturnData] = true;
    ASSERT_EQ(SecItemCopyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result[kSecValueData], Value(bytesOf("new")));
    EXPECT_EQ(result[kSecAttrModificationDate], Value(Date{1'700'000'060.0}));
    EXPECT_EQ(result[kSecAttrCreationDate], Value(Date{1'700'000'000.0}));

    EXPECT_EQ(SecItemDelete(password("ada")), errSecSuccess);
    EXPECT_EQ(SecItemDelete(password("ada")), errSecItemNotFound);
    EXPECT_EQ(SecItemCopyMatching(password("bob"), nullptr), errSecSuccess);
}

TEST(Keychain, BadParametersAreErrSecParam) {
    ns::testing::TempSandbox temp;
    auto kc = Keychain::shared();
    EXPECT_EQ(kc->add({{kSecAttrAccount, "x"}}), errSecParam);
    EXPECT_EQ(kc->add({{kSecClass, "nonsense"}}), errSecParam);
    EXPECT_EQ(kc->add({{kSecClass, kSecClassGenericPassword}, {kSecValueData, "not data"}}), errSecParam);
    EXPECT_EQ(kc->add({{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, 5}}), errSecParam);
    for (double size : {1e300, -1e300, std::nan(""), 2048.5}) {
        EXPECT_EQ(kc->add({{kSecClass, kSecClassKey}, {kSecAttrKeySizeInBits, size}}), errSecParam) << size;
    }
    EXPECT_NE(kc->copyMatching({{kSecClass, kSecClassKey}, {kSecAttrKeyClass, ns::Value(1ULL << 63)}}), errSecParam);
    EXPECT_EQ(kc->copyMatching({{kSecClass, kSecClassGenericPassword}, {kSecMatchLimit, "lots"}}), errSecParam);
    EXPECT_EQ(kc->add(password("a", "x")), errSecSuccess);
    EXPECT_EQ(kc->update(password("a"), {{kSecClass, kSecClassKey}}), errSecParam);
    EXPECT_FALSE(kc->lastErrorMessage().empty());
}

TEST(Keychain, RSAKeysByTagAndClass) {
    ns::testing::TempSandbox temp;
    auto kc = Keychain::shared();
    const Data publicDer{0x30, 0x82, 0x01, 0x0a};
    const Data privateDer{0x30, 0x82, 0x04, 0xa4};
    auto key = [](const char* keyClass, const Data& der) {
        return Dictionary{{kSecClass, kSecClassKey},
                          {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                          {kSecAttrKeyClass, keyClass},
                          {kSecAttrApplicationTag, "com.example.instance-id.key"},
                          {kSecAttrKeySizeInBits, 2048},
                          {kSecAttrIsPermanent, true},
                          {kSecValueData, der}};
    };
    EXPECT_EQ(kc->add(key(kSecAttrKeyClassPublic, publicDer)), errSecSuccess);
    EXPECT_EQ(kc->add(key(kSecAttrKeyClassPrivate, privateDer)), errSecSuccess);
    EXPECT_EQ(kc->add(key(kSecAttrKeyClassPrivate, privateDer)), errSecDuplicateItem);

    // The tag given as bytes finds the tag given as text.
    std::string tagText = "com.example.instance-id.key";
    Dictionary q{{kSecClass, kSecClassKey},
                 {kSecAttrApplicationTag, Data(tagText.begin(), tagText.end())},
                 {kSecAttrKeyClass, kSecAttrKeyClassPrivate},
                 {kSecReturnData, true}};
    Value result;
    ASSERT_EQ(kc->copyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result, Value(privateDer));

    // A key that is not permanent is usable but never written.
    Dictionary temporary = key(kSecAttrKeyClassPrivate, privateDer);
    temporary[kSecAttrApplicationTag] = "com.example.ephemeral";
    temporary[kSecAttrIsPermanent] = false;
    EXPECT_EQ(kc->add(temporary), errSecSuccess);
    EXPECT_EQ(kc->copyMatching({{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, "com.example.ephemeral"}}),
              errSecSuccess);
    Keychain fresh(temp.sandbox()->keychainPath());
    EXPECT_EQ(fresh.copyMatching({{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, "com.example.ephemeral"}}),
              errSecItemNotFound);
    EXPECT_EQ(fresh.copyMatching({{kSecClass, kSecClassKey}, {kSecAttrKeyClass, kSecAttrKeyClassPublic}}),
              errSecSuccess);

    EXPECT_EQ(kc->remove({{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, "com.example.instance-id.key"}}),
              errSecSuccess);
    EXPECT_EQ(kc->copyMatching({{kSecClass, kSecClassKey}, {kSecAttrKeyClass, kSecAttrKeyClassPublic}}),
              errSecItemNotFound);
}

TEST(Keychain, PersistsOutsideTheHomeInAPrivateFile) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    {
        Keychain first(path);
        ASSERT_EQ(first.add(password("ada", "pw")), errSecSuccess);
    }
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Value onDisk = plist::readFile(path);
    EXPECT_TRUE(onDisk["items"].isArray());

    Keychain second(path);
    Value result;
    Dictionary q = password("ada");
    q[kSecReturnData] = true;
    ASSERT_EQ(second.copyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result, Value(bytesOf("pw")));

    // Two live objects on one file see each other's changes.
    Keychain third(path);
    ASSERT_EQ(second.remove(password("ada")), errSecSuccess);
    EXPECT_EQ(third.copyMatching(password("ada")), errSecItemNotFound);
    EXPECT_EQ(third.add(password("ada", "again")), errSecSuccess);
    EXPECT_EQ(second.add(password("ada", "dup")), errSecDuplicateItem);
}

TEST(Keychain, ACorruptFileIsSetAsideKeptAndTheKeychainGoesOnEmpty) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    ASSERT_EQ(Keychain(path).add(password("ada", "pw")), errSecSuccess);
    const Data good = *FileManager().readData(path);
    struct Damage {
        const char* what;
        Data bytes;
    };
    Data flipped = good;
    for (size_t i = 0; i < 16; ++i) flipped[i] ^= 0xA5;
    Data appended = good;
    appended.insert(appended.end(), {0xde, 0xad, 0xbe, 0xef});
    const std::vector<Damage> damages{
        {"cut short", Data(good.begin(), good.begin() + long(good.size() / 2))},
        {"16 bytes flipped", flipped},
        {"garbage appended", appended},
        {"emptied", Data{}},
        {"not a property list", bytesOf("definitely not a plist")},
        {"the wrong shape", plist::serialize(Value(Dictionary{{"items", Array{Value(1)}}}), plist::Format::Binary)},
    };
    // Each copy goes beside the earlier ones; none is replaced.
    std::vector<std::string> asides{path + ".damaged"};
    for (size_t n = 2; n <= damages.size(); ++n) asides.push_back(path + ".damaged-" + std::to_string(n));
    for (size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(damages[i].what);
        ASSERT_TRUE(FileManager().writeData(path, damages[i].bytes, nullptr, {.permissions = 0600}));
        auto log = SystemLog::capture();
        Keychain kc(path);
        EXPECT_EQ(kc.copyMatching(password("ada")), errSecItemNotFound) << kc.lastErrorMessage();
        EXPECT_TRUE(log.contains(path) && log.contains(asides[i])) << "the file and where it went are logged";
        EXPECT_EQ(kc.add(password("ada", "again")), errSecSuccess) << kc.lastErrorMessage();
        EXPECT_EQ(Keychain(path).copyMatching(password("ada")), errSecSuccess) << "the new item is written";
        EXPECT_EQ(FileManager().readData(asides[i]), damages[i].bytes) << "the damaged file is kept as it was";
    }
}

TEST(Keychain, AnUnreadableFileIsReportedAndLeftAlone) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    ASSERT_EQ(Keychain(path).add(password("ada", "pw")), errSecSuccess);

    // Unreadable: a directory where the file should be.
    const std::string blocked = temp.root() + "/Keychain/blocked.plist";
    ASSERT_TRUE(FileManager().createDirectory(blocked, false));
    Keychain unreadable(blocked);
    EXPECT_EQ(unreadable.copyMatching(password("ada")), errSecIO);
    EXPECT_NE(unreadable.lastErrorMessage().find(blocked), std::string::npos) << unreadable.lastErrorMessage();
    EXPECT_EQ(unreadable.add(password("ada", "pw")), errSecIO);
    EXPECT_TRUE(FileManager().isDirectory(blocked));

    if (::geteuid() != 0) {  // root reads anything
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
        Keychain noPermission(path);
        EXPECT_EQ(noPermission.copyMatching(password("ada")), errSecIO);
        EXPECT_EQ(noPermission.add(password("bob", "pw")), errSecIO);
        ::chmod(path.c_str(), 0600);
    }

    // A corrupt file that cannot be moved (no longer name fits beside its
    // own) is reported and left as it is.
    const std::string longName = temp.root() + "/Keychain/" + std::string(250, 'k');
    const Data damaged = bytesOf("not a keychain");
    ASSERT_TRUE(FileManager().writeData(longName, damaged, nullptr, {.atomically = false, .permissions = 0600}));
    Keychain stuck(longName);
    EXPECT_EQ(stuck.copyMatching(password("ada")), errSecDecode);
    EXPECT_NE(stuck.lastErrorMessage().find(longName), std::string::npos) << stuck.lastErrorMessage();
    EXPECT_EQ(FileManager().readData(longName), damaged);
}

TEST(Keychain, FailedWriteUndoesTheChange) {
    ns::testing::TempSandbox temp;
    const std::string good = temp.sandbox()->keychainPath();
    ASSERT_EQ(Keychain(good).add(password("ada", "pw")), errSecSuccess);
    // A file name so long that no temporary name can be made beside it:
    // the file reads fine, but every atomic write fails.
    const std::string path = temp.root() + "/Keychain/" + std::string(250, 'k');
    ASSERT_TRUE(FileManager().writeData(path, *FileManager().readData(good), nullptr, {.atomically = false}));

    Keychain kc(path);
    Dictionary q = password("ada");
    q[kSecReturnData] = true;
    Value result;
    ASSERT_EQ(kc.copyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(kc.add(password("bob", "pw")), errSecIO);
    EXPECT_NE(kc.lastErrorMessage().find(path), std::string::npos);
    EXPECT_EQ(kc.copyMatching(password("bob")), errSecItemNotFound);
    EXPECT_EQ(kc.update(password("ada"), {{kSecValueData, bytesOf("changed")}}), errSecIO);
    ASSERT_EQ(kc.copyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result, Value(bytesOf("pw")));
    EXPECT_EQ(kc.remove(password("ada")), errSecIO);
    EXPECT_EQ(kc.copyMatching(password("ada")), errSecSuccess);
}

TEST(Keychain, InjectedFailures) {
    ns::testing::TempSandbox temp;
    auto kc = Keychain::shared();
    kc->injectFailure(errSecMissingEntitlement, 2, Keychain::Operation::Add);
    EXPECT_EQ(kc->add(password("ada", "pw")), errSecMissingEntitlement);
    EXPECT_EQ(kc->copyMatching(password("ada")), errSecItemNotFound) << "only add is affected";
    EXPECT_EQ(kc->add(password("ada", "pw")), errSecMissingEntitlement);
    EXPECT_EQ(kc->add(password("ada", "pw")), errSecSuccess) << "the count ran out";

    kc->injectFailure(errSecInteractionNotAllowed);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(SecItemCopyMatching(password("ada"), nullptr), errSecInteractionNotAllowed);
    EXPECT_EQ(SecItemDelete(password("ada")), errSecInteractionNotAllowed);
    kc->clearInjectedFailures();
    EXPECT_EQ(SecItemCopyMatching(password("ada"), nullptr), errSecSuccess);
}

TEST(Keychain, AccessGroupsOutsideTheEntitlementsAreRefused) {
    ns::testing::TempSandbox temp;
    temp.writeBundlePlist("Entitlements.plist",
                          Value(Dictionary{{"keychain-access-groups", Array{Value("TEAM.com.example.store")}}}));
    auto kc = Keychain::shared();
    Dictionary other = password("ada", "pw");
    other[kSecAttrAccessGroup] = "TEAM.com.other";
    EXPECT_EQ(kc->add(other), errSecMissingEntitlement);
    EXPECT_EQ(kc->add(password("ada", "pw")), errSecSuccess);
    Dictionary q = password("ada");
    q[kSecReturnAttributes] = true;
    Value result;
    ASSERT_EQ(kc->copyMatching(q, &result), errSecSuccess);
    EXPECT_EQ(result[kSecAttrAccessGroup], Value("TEAM.com.example.store")) << "the default group is the first";
}

TEST(Keychain, ConcurrentObjectsOnOneFileLoseNoUpdates) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([path, t] {
            Keychain kc(path);  // one object per thread: only the file lock keeps them apart
            for (int i = 0; i < 10; ++i) {
                EXPECT_EQ(kc.add(password("t" + std::to_string(t) + "-" + std::to_string(i), "pw")), errSecSuccess);
            }
        });
    }
    for (auto& th : threads) th.join();
    Value result;
    ASSERT_EQ(Keychain(path).copyMatching({{kSecClass, kSecClassGenericPassword},
                                           {kSecMatchLimit, kSecMatchLimitAll},
                                           {kSecReturnAttributes, true}},
                                          &result),
              errSecSuccess);
    EXPECT_EQ(result.asArray().size(), 40u);
}

}  // namespace
