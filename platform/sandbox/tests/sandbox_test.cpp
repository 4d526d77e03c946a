// The sandbox and what lives in it: layout, device profile, main bundle,
// file manager, process info.

#include "platform/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/process_info.h"
#include "platform/store_writes.h"
#include "platform/system_log.h"
#include "platform/text.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::Value;
namespace fs = std::filesystem;

ns::Data bytesOf(std::string_view s) {
    return ns::Data(s.begin(), s.end());
}

TEST(Sandbox, LayoutAndCurrentSandboxInstallation) {
    // An outer temporary sandbox stands for whatever was current, so the test
    // never opens the per-user default one.
    ns::testing::TempSandbox outerTemp;
    std::shared_ptr<ns::Sandbox> outer = ns::Sandbox::current();
    std::string root;
    {
        ns::testing::TempSandbox temp;
        root = temp.root();
        EXPECT_EQ(ns::Sandbox::current(), temp.sandbox());
        for (const char* dir : {"Bundle", "Home/Documents", "Home/Library/Application Support",
                                "Home/Library/Preferences", "Home/Library/Caches", "Home/tmp", "Keychain"}) {
            EXPECT_TRUE(fs::is_directory(root + "/" + dir)) << dir;
        }
        const auto& s = *temp.sandbox();
        EXPECT_EQ(s.preferencesPath(), root + "/Home/Library/Preferences");
        EXPECT_EQ(s.keychainPath(), root + "/Keychain/keychain.plist");
        EXPECT_EQ(s.keychainPath().rfind(s.homePath(), 0), std::string::npos) << "keychain lies outside the home";
        struct stat st;
        ASSERT_EQ(::stat((root + "/Keychain").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);

        {
            ns::testing::TempSandbox inner;
            EXPECT_EQ(ns::Sandbox::current(), inner.sandbox());
        }
        EXPECT_EQ(ns::Sandbox::current(), temp.sandbox()) << "the inner sandbox restores the outer one";
    }
    EXPECT_FALSE(fs::exists(root)) << "the temporary sandbox is removed";
    EXPECT_EQ(ns::Sandbox::current(), outer);
}

TEST(Sandbox, DeviceProfileDefaultsPersistAndCanBeReplaced) {
    ns::testing::TempSandbox temp;
    ns::DeviceProfile p = temp.sandbox()->deviceProfile();
    EXPECT_EQ(p.model, "iPhone");
    EXPECT_EQ(p.systemName, "iOS");
    EXPECT_FALSE(p.isSimulator());
    ASSERT_EQ(p.identifierForVendor.size(), 36u);
    // A second open of the same root (a relaunch) sees the same vendor id.
    EXPECT_EQ(ns::Sandbox(temp.root()).deviceProfile().identifierForVendor, p.identifierForVendor);

    ns::DeviceProfile sim = p;
    sim.machine = "x86_64";
    sim.systemVersion = "17.0.1";
    sim.name = "Test Device";
    EXPECT_TRUE(temp.sandbox()->setDeviceProfile(sim));
    EXPECT_EQ(temp.sandbox()->deviceProfile(), sim);
    EXPECT_TRUE(sim.isSimulator());
    EXPECT_EQ(ns::Sandbox(temp.root()).deviceProfile(), sim);

    EXPECT_EQ(ns::ProcessInfo::processInfo().operatingSystemVersionString(), "Version 17.0.1 (Build 20E247)");
    ns::OperatingSystemVersion v = ns::ProcessInfo::processInfo().operatingSystemVersion();
    EXPECT_EQ(v.majorVersion, 17);
    EXPECT_EQ(v.minorVersion, 0);
    EXPECT_EQ(v.patchVersion, 1);
    EXPECT_TRUE(ns::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({16, 4, 0}));
    EXPECT_FALSE(ns::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({17, 1, 0}));
}

// A relaunch: a new sandbox object on the same folder, set up as the
// program sets up a phone (Spanish, Panama, when new).
ns::DeviceProfile relaunchedProfile(const std::string& root) {
    ns::Sandbox sandbox(root);
    ns::DeviceProfile newPhone;
    newPhone.localeIdentifier = "es_PA";
    sandbox.setNewPhoneProfile(newPhone);
    return sandbox.deviceProfile();
}

TEST(Sandbox, ANewPhoneStartsFromTheNewPhoneProfileAndAPhoneSetUpKeepsItsOwn) {
    ns::testing::TempSandbox temp;
    const ns::DeviceProfile first = relaunchedProfile(temp.root());
    EXPECT_EQ(first.localeIdentifier, "es_PA");
    ASSERT_EQ(first.identifierForVendor.size(), 36u);
    EXPECT_EQ(ns::Sandbox(temp.root()).deviceProfile(), first) << "stored at once";

    ns::DeviceProfile english = first;
    english.localeIdentifier = "en_US";
    ASSERT_TRUE(ns::Sandbox(temp.root()).setDeviceProfile(english));
    EXPECT_EQ(relaunchedProfile(temp.root()), english);
}

// A profile that cannot be stored or read now is neither waited on nor
// replaced: describing the write's error asks the current sandbox for its
// language while that sandbox holds its own lock, and a read that fails is
// not damage.
TEST(Sandbox, ADeviceProfileThatCannotBeStoredOrReadIsNotWaitedOnOrReplaced) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->deviceProfilePath();
    const auto current = [&] {
        auto sandbox = std::make_shared<ns::Sandbox>(temp.root());
        ns::DeviceProfile newPhone;
        newPhone.localeIdentifier = "es_PA";
        sandbox->setNewPhoneProfile(newPhone);
        ns::Sandbox::setCurrent(sandbox);
        return sandbox;
    };
    fs::remove(path);
    for (const int error : {ENOSPC, EIO}) {
        auto log = ns::SystemLog::capture();
        ns::storeWrites::failAtWriteForTesting(ns::storeWrites::count() + 1, error);
        EXPECT_EQ(current()->deviceProfile().localeIdentifier, "es_PA");
        ns::storeWrites::failAtWriteForTesting(ns::storeWrites::count() + 1, error);
        EXPECT_FALSE(current()->setDeviceProfile(ns::DeviceProfile{}));
        ns::storeWrites::failAtWriteForTesting(0, 0);
        const auto lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.find("cannot store the device profile") != std::string::npos;
                                }),
                  2);
        EXPECT_FALSE(fs::exists(path));
    }

    const std::string stored = relaunchedProfile(temp.root()).identifierForVendor;
    const ns::Data bytes = *ns::FileManager().readData(path);
    const std::vector<std::pair<const char*, std::function<void()>>> obstacles{
        {"a folder at its path", [&] { fs::create_directory(path); }},
        {"a link to itself at its path", [&] { fs::create_symlink(path, path); }},
    };
    for (const auto& [name, make] : obstacles) {
        SCOPED_TRACE(name);
        fs::remove(path);
        make();
        auto log = ns::SystemLog::capture();
        EXPECT_EQ(current()->deviceProfile().localeIdentifier, "es_PA");
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("cannot read the device profile") != std::string::npos;
        }));
        EXPECT_TRUE(fs::is_symlink(path) || fs::is_directory(path)) << "nothing is stored over it";
        EXPECT_FALSE(fs::exists(path + ".damaged")) << "not set aside as damaged";
        fs::remove(path);
        ASSERT_TRUE(ns::FileManager().writeData(path, bytes));
        EXPECT_EQ(relaunchedProfile(temp.root()).identifierForVendor, stored) << "the phone keeps its vendor id";
    }
    ns::Sandbox::setCurrent(temp.sandbox());
}

TEST(Sandbox, ADamagedDeviceProfileIsSetAsideOnceAndTheNewPhoneProfileStored) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->deviceProfilePath();
    const std::string stored = relaunchedProfile(temp.root()).identifierForVendor;
    const ns::Data good = *ns::FileManager().readData(path);
    ns::Data flipped = good;
    for (size_t i = 0; i < 16; ++i) flipped[i] ^= 0x5A;
    // Bytes after the end of a whole profile leave it readable: it is kept.
    ns::Data appended = good;
    appended.insert(appended.end(), {'<', 0x00, 0xff});
    ASSERT_TRUE(ns::FileManager().writeData(path, appended));
    EXPECT_EQ(relaunchedProfile(temp.root()).identifierForVendor, stored);
    EXPECT_FALSE(ns::FileManager().fileExists(path + ".damaged"));

    const std::vector<std::pair<const char*, ns::Data>> damages{
        {"cut short", ns::Data(good.begin(), good.begin() + long(good.size() / 3))},
        {"16 bytes flipped", flipped},
        {"emptied", ns::Data{}},
        {"not a dictionary", ns::plist::serialize(Value(ns::Array{Value(1)}), ns::plist::Format::Binary)},
    };
    std::set<std::string> ids{stored};
    for (size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(damages[i].first);
        ASSERT_TRUE(ns::FileManager().writeData(path, damages[i].second));
        const ns::DeviceProfile fresh = relaunchedProfile(temp.root());
        EXPECT_EQ(fresh.localeIdentifier, "es_PA");
        EXPECT_TRUE(ids.insert(fresh.identifierForVendor).second) << "a new phone gets a new vendor id";
        const std::string aside = path + ".damaged" + (i == 0 ? "" : "-" + std::to_string(i + 1));
        EXPECT_EQ(ns::FileManager().readData(aside), damages[i].second) << "the damaged profile is kept";
        // Set aside once: the next launch reads the stored profile.
        EXPECT_EQ(relaunchedProfile(temp.root()), fresh);
        EXPECT_FALSE(ns::FileManager().fileExists(path + ".damaged-" + std::to_string(i + 2)));
    }

    // A profile with wrongly typed entries takes the new phone's values for
    // those: with none set, the defaults.
    ASSERT_TRUE(ns::plist::writeFile(path, Value(ns::Dictionary{{"model", 7}, {"name", "Named"}}),
                                     ns::plist::Format::XML));
    ns::DeviceProfile p = ns::Sandbox(temp.root()).deviceProfile();
    EXPECT_EQ(p.model, "iPhone");
    EXPECT_EQ(p.name, "Named");
}

// The new-phone profile apart from the defaults in every key, and a phone
// set up apart from both in every key but its language, so that a value
// kept, one taken from the new phone and a default all tell apart.
ns::DeviceProfile spanishNewPhone() {
    return ns::DeviceProfile{.model = "iPad", .machine = "iPad13,1", .systemName = "iPadOS",
                             .systemVersion = "17.2", .systemBuild = "21C62", .name = "Caja 3",
                             .identifierForVendor = {}, .localeIdentifier = "es_PA", .timeZone = "America/Panama"};
}
ns::DeviceProfile phoneSetUp() {
    return ns::DeviceProfile{.model = "iPod touch", .machine = "iPod9,1", .systemName = "iOS",
                             .systemVersion = "15.7", .systemBuild = "19H12", .name = "Bodega",
                             .identifierForVendor = "6F9619FF-8B86-D011-B42D-00C04FC964FF",
                             .localeIdentifier = "es_PA", .timeZone = "America/Bogota"};
}

// What a launch over `root` reads, and its log lines about the profile.
std::pair<ns::DeviceProfile, std::vector<std::string>> launchLogged(const std::string& root) {
    auto log = ns::SystemLog::capture();
    ns::Sandbox sandbox(root);
    sandbox.setNewPhoneProfile(spanishNewPhone());
    const ns::DeviceProfile profile = sandbox.deviceProfile();
    std::vector<std::string> lines;
    for (const std::string& line : log.lines()) {
        if (line.find("device profile") != std::string::npos) lines.push_back(line);
    }
    return {profile, lines};
}

TEST(Sandbox, AReadableProfileMissingAKeyOrHoldingAnotherTypeTakesTheNewPhonesValueOnceAndIsStoredWhole) {
    ns::testing::TempSandbox temp;
    const std::string path = temp.sandbox()->deviceProfilePath();
    const ns::Dictionary whole = phoneSetUp().toDictionary();
    const std::pair<const char*, Value> wrongTypes[] = {
        {"an integer", Value(7)},
        {"a boolean", Value(true)},
        {"data", Value(ns::Data{0x65, 0x73})},
        {"a date", Value(ns::Date{1.7e9})},
        {"an array", Value(ns::Array{Value("es_PA")})},
        {"a dictionary", Value(ns::Dictionary{{"es", "PA"}})},
        {"a real", Value(2.5)},
    };
    struct Case {
        std::string what;
        std::string key;  // the key repaired
        ns::Dictionary stored;
    };
    std::vector<Case> cases;
    size_t typeIndex = 0;
    for (const auto& [key, value] : whole) {
        ns::Dictionary removed = whole;
        removed.erase(key);
        cases.push_back({key + " removed", key, removed});
        ns::Dictionary retyped = whole;
        const auto& [typeName, wrong] = wrongTypes[typeIndex++ % std::size(wrongTypes)];
        retyped[key] = wrong;
        cases.push_back({key + " given " + typeName, key, retyped});
    }
    // One letter of a name changed leaves a key nobody reads; it goes when
    // the profile is stored again.
    ns::Dictionary renamed = whole;
    renamed.erase("localeIdentifier");
    renamed["localeIdentifiar"] = "es_PA";
    cases.push_back({"localeIdentifier renamed", "localeIdentifier", renamed});
    ns::Dictionary notUUID = whole;
    notUUID["identifierForVendor"] = "6F9619FF-8B86-D011-B42D-00C04FC964FG";
    cases.push_back({"identifierForVendor not UUID text", "identifierForVendor", notUUID});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(ns::plist::writeFile(path, Value(c.stored), ns::plist::Format::XML));
        const auto [profile, lines] = launchLogged(temp.root());
        EXPECT_EQ(profile.localeIdentifier, "es_PA");
        ns::DeviceProfile expected = phoneSetUp();
        if (c.key == "identifierForVendor") {
            EXPECT_NE(profile.identifierForVendor, expected.identifierForVendor) << "a new phone's vendor id";
            EXPECT_TRUE(ns::isUUIDString(profile.identifierForVendor)) << profile.identifierForVendor;
            expected.identifierForVendor = profile.identifierForVendor;
        } else {
            // The key takes the new phone's value; the vendor id is kept.
            ns::Dictionary mixed = whole;
            mixed[c.key] = spanishNewPhone().toDictionary().at(c.key);
            expected = ns::DeviceProfile::fromDictionary(mixed);
        }
        EXPECT_EQ(profile, expected);
        EXPECT_EQ(lines.size(), 1u) << "logged once";
        EXPECT_TRUE(!lines.empty() && lines[0].find(c.key) != std::string::npos) << "the line names the key";
        EXPECT_EQ(ns::plist::readFile(path), Value(expected.toDictionary())) << "stored whole";

        const auto [again, linesAgain] = launchLogged(temp.root());
        EXPECT_EQ(again, expected) << "the next launch reads what was stored";
        EXPECT_EQ(linesAgain, std::vector<std::string>{}) << "and logs nothing";
    }

    // A whole profile is read as it is, and a key it does not know is left
    // in the file.
    ns::Dictionary extra = whole;
    extra["carrier"] = "Tigo";
    ASSERT_TRUE(ns::plist::writeFile(path, Value(extra), ns::plist::Format::XML));
    const ns::Data before = *ns::FileManager().readData(path);
    const auto [kept, lines] = launchLogged(temp.root());
    EXPECT_EQ(kept, phoneSetUp());
    EXPECT_EQ(lines, std::vector<std::string>{});
    EXPECT_EQ(*ns::FileManager().readData(path), before);
}

TEST(Bundle, InfoDictionaryResourcesAndReceipt) {
    ns::testing::TempSandbox temp;
    auto bundle = ns::Bundle::mainBundle();
    EXPECT_EQ(bundle->bundlePath(), temp.sandbox()->bundlePath());
    EXPECT_TRUE(bundle->infoDictionary().empty());
    EXPECT_EQ(bundle->bundleIdentifier(), "");

    temp.writeBundlePlist("Info.plist", Value(ns::Dictionary{{"CFBundleIdentifier", "com.example.store"},
                                                             {"CFBundleExecutable", "Store"},
                                                             {"Version", 3}}));
    EXPECT_EQ(bundle->bundleIdentifier(), "com.example.store") << "a rewritten Info.plist is picked up";
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("Version"), Value(3));
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());
    EXPECT_EQ(bundle->executablePath(), bundle->bundlePath() + "/Store");

    std::string path = temp.writeBundlePlist("OndrixService-Info", Value(ns::Dictionary{{"API_KEY", "k"}}));
    EXPECT_EQ(bundle->pathForResource("OndrixService-Info", "plist"), path);
    EXPECT_EQ(bundle->pathForResource("OndrixService-Info", ".plist"), path);
    EXPECT_EQ(bundle->pathForResource("OndrixService-Info.plist", ""), path);
    EXPECT_EQ(bundle->pathForResource("Absent", "plist"), std::nullopt);
    EXPECT_EQ(bundle->pathForResource("../Device", "plist"), std::nullopt);
    temp.writeBundleFile("Sounds/ding.wav", "RIFF");
    EXPECT_EQ(bundle->pathForResource("ding", "wav", "Sounds"), bundle->bundlePath() + "/Sounds/ding.wav");

    EXPECT_EQ(fs::path(bundle->appStoreReceiptURL()).filename(), "receipt");
    temp.writeBundleFile("StoreKit/sandboxReceipt", "r");
    EXPECT_EQ(fs::path(bundle->appStoreReceiptURL()).filename(), "sandboxReceipt");
}

TEST(Bundle, InfoPlistOfTheWrongShapeReadsAsEmpty) {
    ns::testing::TempSandbox temp;
    auto bundle = ns::Bundle::mainBundle();
    temp.writeBundlePlist("Info.plist", Value(ns::Array{Value("not"), Value("a dict")}));
    EXPECT_TRUE(bundle->infoDictionary().empty());
    temp.writeBundlePlist("Info.plist", Value(ns::Dictionary{{"CFBundleIdentifier", 12}}));
    EXPECT_EQ(bundle->bundleIdentifier(), "") << "a non-string identifier is no identifier";
    temp.writeBundleFile("Info.plist", "<plist><dict><key>x");
    EXPECT_TRUE(bundle->infoDictionary().empty());
    EXPECT_EQ(bundle->executablePath(), bundle->bundlePath() + "/Bundle");
}

TEST(FileManager, DirectoriesFilesAndErrors) {
    ns::testing::TempSandbox temp;
    ns::FileManager& fm = ns::FileManager::defaultManager();
    EXPECT_EQ(fm.pathForDirectory(ns::SearchPathDirectory::Documents), temp.sandbox()->documentsPath());
    EXPECT_EQ(fm.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport),
              temp.root() + "/Home/Library/Application Support");
    EXPECT_EQ(fm.temporaryDirectory(), temp.root() + "/Home/tmp");

    const std::string base = fm.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport);
    const std::string deep = base + "/a/b/c";
    ns::ErrorRef error;
    EXPECT_FALSE(fm.createDirectory(deep, false, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::kFileNoSuchFileError);
    ASSERT_TRUE(fm.createDirectory(deep, true, &error));
    EXPECT_TRUE(fm.createDirectory(deep, true, &error)) << "existing directory with intermediates is fine";
    EXPECT_FALSE(fm.createDirectory(deep, false, &error));
    EXPECT_EQ(error->code(), ns::kFileWriteFileExistsError);
    EXPECT_TRUE(fm.isDirectory(deep));

    const std::string file = deep + "/f.bin";
    ASSERT_TRUE(fm.writeData(file, ns::Data{1, 2, 3}, &error));
    EXPECT_EQ(*fm.readData(file), (ns::Data{1, 2, 3}));
    ASSERT_TRUE(fm.writeData(file, ns::Data{}, &error));
    EXPECT_EQ(fm.readData(file), ns::Data{}) << "an empty file reads as empty data, not as a failure";
    auto attrs = fm.attributesOfItem(file);
    ASSERT_TRUE(attrs);
    EXPECT_EQ(attrs->size, 0u);
    EXPECT_FALSE(attrs->isDirectory);
    EXPECT_GT(attrs->modificationDate.secondsSince1970, 1.6e9);
    ASSERT_TRUE(fm.writeData(file, ns::Data(10, 7), &error, {.atomically = false, .permissions = 0600}));
    EXPECT_EQ(fm.attributesOfItem(file)->size, 10u);

    EXPECT_EQ(*fm.contentsOfDirectory(base + "/a/b"), std::vector<std::string>{"c"});
    EXPECT_FALSE(fm.contentsOfDirectory(base + "/zz", &error));
    EXPECT_EQ(error->code(), ns::kFileReadNoSuchFileError);

    EXPECT_FALSE(fm.readData(deep + "/missing", &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::kFileReadNoSuchFileError);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), Value(deep + "/missing"));
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), ns::kPOSIXErrorDomain);
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);
    EXPECT_FALSE(fm.readData(deep, &error)) << "a directory is not readable data";

    EXPECT_FALSE(fm.writeData(base + "/nope/x", ns::Data{1}, &error));
    EXPECT_NE(error->localizedDescription().find(base + "/nope/x"), std::string::npos);
    EXPECT_TRUE(fm.writeData(base + "/made/x", ns::Data{1}, &error, {.createIntermediateDirectories = true}));

    EXPECT_TRUE(fm.moveItem(file, base + "/moved.bin", &error));
    EXPECT_FALSE(fm.fileExists(file));
    EXPECT_FALSE(fm.moveItem(base + "/made/x", base + "/moved.bin", &error));
    EXPECT_EQ(error->code(), ns::kFileWriteFileExistsError);

    // Set aside beside itself, never over an earlier copy.
    EXPECT_EQ(fm.setAside(base + "/made/x"), base + "/made/x.damaged");
    ASSERT_TRUE(fm.writeData(base + "/made/x", ns::Data{2}, &error));
    EXPECT_EQ(fm.setAside(base + "/made/x"), base + "/made/x.damaged-2");
    EXPECT_EQ(*fm.readData(base + "/made/x.damaged"), ns::Data{1});
    EXPECT_EQ(*fm.readData(base + "/made/x.damaged-2"), ns::Data{2});
    EXPECT_EQ(fm.setAside(base + "/a"), base + "/a.damaged") << "a folder too";
    EXPECT_FALSE(fm.setAside(base + "/a", &error));
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);
    ASSERT_TRUE(fm.moveItem(base + "/a.damaged", base + "/a"));

    EXPECT_TRUE(fm.removeItem(base + "/a", &error));
    EXPECT_FALSE(fm.fileExists(base + "/a"));
    EXPECT_FALSE(fm.removeItem(base + "/a", &error));
    EXPECT_EQ(error->code(), ns::kFileNoSuchFileError);
}

class ExcludeFromBackup : public ::testing::TestWithParam<bool> {};

TEST_P(ExcludeFromBackup, FlagPersistsSurvivesRewritesAndClears) {
    ns::testing::TempSandbox temp;
    ns::FileManager fm(ns::FileManager::Options{.useExtendedAttributes = GetParam()});
    const std::string dir = fm.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/db";
    const std::string file = dir + "/store.bin";
    ASSERT_TRUE(fm.createDirectory(dir, true));
    ASSERT_TRUE(fm.writeData(file, ns::Data{1}));

    EXPECT_FALSE(fm.isExcludedFromBackup(file));
    ns::ErrorRef error;
    ASSERT_TRUE(fm.setExcludedFromBackup(file, true, &error)) << error->description();
    ASSERT_TRUE(fm.setExcludedFromBackup(dir, true, &error));
    // Another manager (any kind) sees it: it is stored, not remembered.
    EXPECT_TRUE(ns::FileManager().isExcludedFromBackup(file));
    EXPECT_TRUE(ns::FileManager(ns::FileManager::Options{.useExtendedAttributes = false}).isExcludedFromBackup(dir));
    if (GetParam()) {
        char buf[4];
        ssize_t n = ::getxattr(file.c_str(), "user.almavel.exclude-from-backup", buf, sizeof buf);
        if (n < 0 && errno != ENOTSUP) ADD_FAILURE() << "no attribute on " << file << ": " << std::strerror(errno);
    } else {
        EXPECT_TRUE(fs::exists(temp.root() + "/BackupExclusions.plist"));
    }

    ASSERT_TRUE(fm.writeData(file, ns::Data{2, 3}));
    EXPECT_TRUE(fm.isExcludedFromBackup(file)) << "an atomic rewrite keeps the flag";

    ASSERT_TRUE(fm.setExcludedFromBackup(file, false, &error));
    EXPECT_FALSE(fm.isExcludedFromBackup(file));
    EXPECT_FALSE(ns::FileManager().isExcludedFromBackup(file));

    ASSERT_TRUE(fm.setExcludedFromBackup(file, true, &error));
    ASSERT_TRUE(fm.removeItem(dir, &error));
    ASSERT_TRUE(fm.createDirectory(dir, true));
    ASSERT_TRUE(fm.writeData(file, ns::Data{1}));
    EXPECT_FALSE(fm.isExcludedFromBackup(dir)) << "removal forgets the flag of everything removed";
    EXPECT_FALSE(fm.isExcludedFromBackup(file));

    EXPECT_FALSE(fm.setExcludedFromBackup(dir + "/missing", true, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), Value(dir + "/missing"));
    EXPECT_FALSE(fm.isExcludedFromBackup(dir + "/missing"));
}

INSTANTIATE_TEST_SUITE_P(FileManager, ExcludeFromBackup, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ExtendedAttribute" : "SandboxRecord"; });

TEST(FileManager, CorruptExclusionRecordIsNotOverwritten) {
    ns::testing::TempSandbox temp;
    ns::FileManager fm(ns::FileManager::Options{.useExtendedAttributes = false});
    const std::string record = temp.root() + "/BackupExclusions.plist";
    const std::string file = temp.sandbox()->documentsPath() + "/f";
    ASSERT_TRUE(fm.writeData(file, ns::Data{1}));
    ASSERT_TRUE(fm.writeData(record, bytesOf("junk")));
    ns::ErrorRef error;
    EXPECT_FALSE(fm.setExcludedFromBackup(file, true, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find(record), std::string::npos);
    EXPECT_EQ(*fm.readData(record), bytesOf("junk"));
}

TEST(ProcessInfo, ArgumentsEnvironmentAndUniqueStrings) {
    ns::ProcessInfo& info = ns::ProcessInfo::processInfo();
    const auto saved = info.arguments();
    ASSERT_FALSE(saved.empty()) << "read from the command line when never set";
    info.setArguments({"/usr/bin/store-app", "-Flag", "1"});
    EXPECT_EQ(info.arguments(), (std::vector<std::string>{"/usr/bin/store-app", "-Flag", "1"}));
    EXPECT_EQ(info.processName(), "store-app");
    info.setArguments(saved);

    ::setenv("ALMAVEL_H2_TEST_VAR", "value=with=equals", 1);
    EXPECT_EQ(info.environment().at("ALMAVEL_H2_TEST_VAR"), "value=with=equals");
    ::unsetenv("ALMAVEL_H2_TEST_VAR");

    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) seen.insert(info.globallyUniqueString());
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_GT(info.processIdentifier(), 0);
}

}  // namespace
