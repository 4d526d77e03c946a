#include "platform/keychain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "platform/crypto.h"
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
    // Sealed: header, the items' property list, the digest of both.
    const Data file = *FileManager().readData(path);
    ASSERT_GT(file.size(), 40u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), std::string("KEYCHN2\n"));
    const Data sealed(file.begin(), file.end() - 32);
    EXPECT_EQ(crypto::sha256(sealed), Data(file.end() - 32, file.end()));
    Value onDisk = plist::parse(Data(sealed.begin() + 8, sealed.end()));
    EXPECT_EQ(onDisk["version"], Value(2));
    ASSERT_TRUE(onDisk["items"].isArray());
    EXPECT_EQ(onDisk.asDictionary().size(), 2u);
    const Value& stored = onDisk["items"].asArray().at(0);
    EXPECT_EQ(stored["data"], Value(bytesOf("pw")));
    EXPECT_EQ(stored["attributes"][kSecAttrAccount], Value("ada"));

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

// Where `part` lies in `file`: the offset of its only occurrence.
size_t offsetOf(const Data& file, const Data& part) {
    auto at = std::search(file.begin(), file.end(), part.begin(), part.end());
    EXPECT_NE(at, file.end());
    EXPECT_EQ(std::search(at + 1, file.end(), part.begin(), part.end()), file.end()) << "the part is not unique";
    return size_t(at - file.begin());
}

// A keychain as the app leaves it: passwords, and a key pair whose key data
// is the kind of secret a changed byte turns into another.
void fillWithItems(Keychain& kc) {
    Dictionary token = password("ada", "ada-token-0123456789");
    token[kSecAttrLabel] = "Ada's token";
    ASSERT_EQ(kc.add(token), errSecSuccess);
    ASSERT_EQ(kc.add(password("bob", "bob-token-9876543210")), errSecSuccess);
    for (const char* keyClass : {kSecAttrKeyClassPublic, kSecAttrKeyClassPrivate}) {
        Data der{0x30, 0x82, 0x01, 0x0a, 0x02, 0x82, 0x01, 0x01, 0x00};
        for (int i = 0; i < 48; ++i) der.push_back(uint8_t(i * 7 + (keyClass[0] == '1' ? 101 : 3)));
        ASSERT_EQ(kc.add({{kSecClass, kSecClassKey},
                          {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                          {kSecAttrKeyClass, keyClass},
                          {kSecAttrApplicationTag, std::string("com.example.key|") + keyClass},
                          {kSecAttrKeySizeInBits, 2048},
                          {kSecValueData, der}}),
                  errSecSuccess);
    }
}

// Writes `damaged` to `path`, opens it afresh and expects it found damaged:
// set aside as it was, logged, and the keychain empty (and, with `thenAdd`,
// taking new items: a synced write, which a sweep over every byte skips).
void expectSetAside(const std::string& path, const Data& damaged, bool thenAdd = true) {
    // Not atomically: nothing here needs the file to outlive a crash.
    ASSERT_TRUE(FileManager().writeData(path, damaged, nullptr, {.atomically = false, .permissions = 0600}));
    auto log = SystemLog::capture();
    Keychain kc(path);
    const Dictionary all{{kSecMatchLimit, kSecMatchLimitAll}};
    for (const char* itemClass : {kSecClassGenericPassword, kSecClassKey}) {
        Dictionary q = all;
        q[kSecClass] = itemClass;
        EXPECT_EQ(kc.copyMatching(q), errSecItemNotFound) << itemClass << " items were handed back";
    }
    const std::string aside = path + ".damaged";
    EXPECT_TRUE(log.contains(path) && log.contains(aside)) << "the file and where it went are logged";
    EXPECT_EQ(FileManager().readData(aside), damaged) << "the damaged file is kept as it was";
    if (thenAdd) {
        EXPECT_EQ(kc.add(password("ada", "again")), errSecSuccess) << kc.lastErrorMessage();
    }
    std::filesystem::remove(aside);
    std::filesystem::remove(path);
}

TEST(Keychain, EveryByteChangedInASealedFileSetsItAside) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    {
        Keychain kc(path);
        fillWithItems(kc);
    }
    const Data good = *FileManager().readData(path);
    const size_t size = good.size();
    struct Part {
        std::string what;
        size_t begin, end;
    };
    // Named parts for the failure messages; every other byte is the list's
    // structure (its object table, offsets, dictionary keys).
    std::vector<Part> parts{{"header", 0, 8}};
    for (const char* secret : {"ada-token-0123456789", "bob-token-9876543210", "Ada's token", "com.example.key|0",
                               "com.example.key|1"}) {
        const size_t at = offsetOf(good, bytesOf(secret));
        parts.push_back({std::string("item text ") + secret, at, at + std::strlen(secret)});
    }
    for (uint8_t first : {3, 101}) {
        const Data keyData{0x30, 0x82, 0x01, 0x0a, 0x02, 0x82, 0x01, 0x01, 0x00, first};
        const size_t at = offsetOf(good, keyData);
        parts.push_back({first == 3 ? "public key data" : "private key data", at, at + keyData.size() + 47});
    }
    parts.push_back({"the list's trailer", size - 64, size - 32});
    parts.push_back({"digest", size - 32, size});

    auto partOf = [&](size_t offset) {
        for (const Part& p : parts) {
            if (offset >= p.begin && offset < p.end) return p.what;
        }
        return std::string("structure");
    };
    // Every byte, the named parts and all between them, each bit changed in
    // turn along the file.
    for (size_t offset = 0; offset < size; ++offset) {
        const auto change = uint8_t(1u << (offset % 8));
        SCOPED_TRACE(partOf(offset) + ", byte " + std::to_string(offset) + " ^ " + std::to_string(change));
        Data damaged = good;
        damaged[offset] ^= change;
        expectSetAside(path, damaged, offset % 64 == 0);
        if (::testing::Test::HasFailure()) return;  // one damage's messages say it all
    }
}

TEST(Keychain, AFileWrittenBeforeSealingIsReadAsItIsAndSealedByItsNextChange) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    auto item = [](const std::string& account, const std::string& secret) {
        return Value(Dictionary{{"attributes", Dictionary{{kSecClass, kSecClassGenericPassword},
                                                          {kSecAttrService, "com.example.auth"},
                                                          {kSecAttrAccount, account},
                                                          {kSecAttrCreationDate, Date{1'600'000'000.0}}}},
                                {"data", bytesOf(secret)}});
    };
    // As the keychain wrote it before it sealed its file.
    const Data unsealed = plist::serialize(
        Value(Dictionary{{"version", 1}, {"items", Array{item("ada", "old-pw"), item("bob", "bob-pw")}}}),
        plist::Format::Binary);
    ASSERT_TRUE(FileManager().createDirectory(temp.root() + "/Keychain", true));
    ASSERT_TRUE(FileManager().writeData(path, unsealed, nullptr, {.permissions = 0600}));

    auto log = SystemLog::capture();
    Dictionary q = password("ada");
    q[kSecReturnData] = true;
    Value result;
    for (int open = 0; open < 3; ++open) {
        Keychain kc(path);
        ASSERT_EQ(kc.copyMatching(q, &result), errSecSuccess) << kc.lastErrorMessage();
        EXPECT_EQ(result, Value(bytesOf("old-pw")));
    }
    EXPECT_FALSE(log.contains("Keychain")) << "nothing to report";
    EXPECT_EQ(FileManager().readData(path), unsealed) << "reading leaves the file as it was";
    EXPECT_FALSE(FileManager().fileExists(path + ".damaged"));

    ASSERT_EQ(Keychain(path).add(password("carol", "new-pw")), errSecSuccess);
    const Data sealed = *FileManager().readData(path);
    EXPECT_EQ(std::string(sealed.begin(), sealed.begin() + 8), std::string("KEYCHN2\n"));
    Keychain reopened(path);
    for (const auto& [account, secret] : {std::pair{"ada", "old-pw"}, {"bob", "bob-pw"}, {"carol", "new-pw"}}) {
        q[kSecAttrAccount] = account;
        ASSERT_EQ(reopened.copyMatching(q, &result), errSecSuccess) << account;
        EXPECT_EQ(result, Value(bytesOf(secret))) << account;
    }

    // From now on a changed byte in the old items is noticed.
    Data damaged = sealed;
    damaged[offsetOf(sealed, bytesOf("old-pw"))] ^= 0x01;
    expectSetAside(path, damaged);
}

TEST(Keychain, AnUnsealedFileHoldingAnythingTheEarlierWriterDidNotIsDamage) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->keychainPath();
    ASSERT_TRUE(FileManager().createDirectory(temp.root() + "/Keychain", true));
    const Value items = Array{Value(Dictionary{
        {"attributes", Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "ada"}}},
        {"data", bytesOf("pw")}})};
    // What a sealed file's damage or a stray writer could leave behind.
    const std::vector<std::pair<const char*, Dictionary>> cases{
        {"an extra key", {{"version", 1}, {"items", items}, {"digest", Data(32, 0)}}},
        {"the sealed version, unsealed", {{"version", 2}, {"items", items}}},
        {"another version", {{"version", 3}, {"items", items}}},
        {"the version as text", {{"version", "1"}, {"items", items}}},
        {"no version", {{"items", items}}},
    };
    for (const auto& [what, root] : cases) {
        SCOPED_TRACE(what);
        expectSetAside(path, plist::serialize(Value(root), plist::Format::Binary));
    }
}

TEST(Keychain, AnUndamagedFileIsNeverSetAside) {
    ns::testing::TempSandbox temp;
    auto clock = VirtualClock::install(1'700'000'000.25);
    const std::string path = temp.sandbox()->keychainPath();
    auto log = SystemLog::capture();
    {
        Keychain kc(path);
        fillWithItems(kc);
    }
    Dictionary q = password("ada");
    q[kSecReturnData] = true;
    Value result;
    for (int open = 0; open < 200; ++open) {
        Keychain kc(path);
        ASSERT_EQ(kc.copyMatching(q, &result), errSecSuccess) << "open " << open << ": " << kc.lastErrorMessage();
        ASSERT_EQ(result, Value(bytesOf("ada-token-0123456789")));
        ASSERT_EQ(kc.copyMatching({{kSecClass, kSecClassKey}, {kSecAttrKeyClass, kSecAttrKeyClassPrivate}}),
                  errSecSuccess);
        // Every few opens the content changes: other sizes, other dates.
        if (open % 10 == 0) {
            clock->advance(0.125);
            const std::string account = "guest" + std::to_string(open);
            ASSERT_EQ(kc.add(password(account, std::string(size_t(open % 37) + 1, 'x'))), errSecSuccess);
            if (open % 20 == 0) {
                ASSERT_EQ(kc.remove(password(account)), errSecSuccess);
            }
        }
    }
    EXPECT_FALSE(log.contains("Keychain")) << "nothing to report";
    EXPECT_EQ(*FileManager().contentsOfDirectory(temp.root() + "/Keychain"),
              (std::vector<std::string>{"keychain.plist", "keychain.plist.lock"}));
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
