// Damage that leaves a stored file readable, launched over one case at a
// time: the messaging store emptied or holding only some of its tables, the
// keychain with one byte changed where the file still parses, the device
// profile with a key missing or of the wrong type. Each launch does what
// every launch over a damaged file does (damage_support.h), and what the
// readable damage must not cost holds too: an upstream message is kept in
// the store, a changed keychain is set aside and the clerk signs in again,
// the profile is completed with the new phone's values, in Spanish.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>

#include "core/QRVOptions.h"
#include "damage_support.h"
#include "messaging/QRVMessagingReceiver.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "platform/notification_center.h"
#include "platform/plist.h"
#include "uikit/UIControls.h"

namespace {

using damagetest::Costs;
using damagetest::kDeviceProfile;
using damagetest::kKeychain;
using damagetest::kMessagingStore;
namespace fs = std::filesystem;

class ReadableDamageTest : public damagetest::DamageTest {
protected:
    void writePhoneFile(const std::string& path, const std::string& bytes) {
        std::ofstream(phoneFile(path), std::ios::binary | std::ios::trunc) << bytes;
    }
};

// MARK: - Messaging store

// The tables of a SQLite file, by name.
std::set<std::string> tablesOf(const std::string& path) {
    std::set<std::string> tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "SELECT name FROM sqlite_master WHERE type = 'table'",
            [](void* out, int, char** values, char**) {
                static_cast<std::set<std::string>*>(out)->insert(values[0]);
                return 0;
            },
            &tables, nullptr);
    }
    sqlite3_close(db);
    return tables;
}

// Drops every table of the file but `keep`, then runs `extra`.
void keepOnlyTables(const std::string& path, const std::set<std::string>& keep, const std::string& extra) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    for (const std::string& table : tablesOf(path)) {
        if (keep.count(table)) continue;
        const std::string drop = "DROP TABLE \"" + table + "\"";
        EXPECT_EQ(sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    if (!extra.empty()) {
        EXPECT_EQ(sqlite3_exec(db, extra.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    sqlite3_close(db);
}

// What the messaging facade reports of upstream messages, by message id.
class UpstreamReports {
public:
    UpstreamReports() {
        auto& center = ns::NotificationCenter::defaultCenter();
        observers_.push_back(center.addObserver(QRVMessagingSendSuccessNotification, nullptr, nullptr,
                                                [this](const ns::Notification& note) {
                                                    sent.insert(note.userInfo.at(QRVMessagingSendMessageIDKey).asString());
                                                }));
        observers_.push_back(center.addObserver(
            QRVMessagingSendErrorNotification, nullptr, nullptr, [this](const ns::Notification& note) {
                auto error = note.userInfo.at(QRVMessagingSendErrorKey).asObjectOf<ns::Error>();
                failed.push_back(note.userInfo.at(QRVMessagingSendMessageIDKey).asString() + " (error " +
                                 std::to_string(error ? error->code() : 0) + ")");
            }));
    }
    ~UpstreamReports() {
        for (auto token : observers_) ns::NotificationCenter::defaultCenter().removeObserver(token);
    }
    UpstreamReports(const UpstreamReports&) = delete;
    UpstreamReports& operator=(const UpstreamReports&) = delete;

    std::set<std::string> sent;
    std::vector<std::string> failed;

private:
    std::vector<ns::ObserverToken> observers_;
};

// The stored outgoing messages whose bytes hold `messageID`.
size_t storedUpstream(const std::string& messageID) {
    size_t count = 0;
    QRVMessaging::messaging()->rmq2Manager()->scanWithRmqMessageHandler(
        [&](int64_t, int8_t, const ns::Data& bytes) {
            count += std::search(bytes.begin(), bytes.end(), messageID.begin(), messageID.end()) != bytes.end();
        },
        {});
    return count;
}

// A store that lacks tables (emptied, or left by a launch that ended
// between making the file and its tables) gets every table it lacks: an
// upstream message sent on the channel is kept until the server confirms
// it, which moves the id counter on, and one sent while the channel is
// down waits in the store. An older launch's s2dRmqIds table goes.
TEST_F(ReadableDamageTest, AMessagingStoreWithoutSomeTablesKeepsUpstreamMessages) {
    const std::set<std::string> all{kQRVMessagingOutgoingRmqTable, kQRVMessagingLastRmqIdTable,
                                    kQRVMessagingS2dRmqIdsTable, kQRVMessagingSyncMessagesTable};
    struct Case {
        const char* name;
        bool emptied;
        std::set<std::string> keep;
        std::string extra;
    };
    const Case cases[] = {
        {"emptied", true, {}, ""},
        {"only the incoming tables and the old s2dRmqIds",
         false,
         {kQRVMessagingSyncMessagesTable},
         std::string("CREATE TABLE ") + kQRVMessagingOldS2dRmqIdsTable + " (_id INTEGER PRIMARY KEY, rmq_id TEXT)"},
        {"without the id counter",
         false,
         {kQRVMessagingOutgoingRmqTable, kQRVMessagingS2dRmqIdsTable, kQRVMessagingSyncMessagesTable},
         ""},
    };
    prepare();
    if (HasFatalFailure()) return;
    ASSERT_EQ(tablesOf(goldenFile(kMessagingStore)), all);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restorePhone();
        if (c.emptied) {
            writePhoneFile(kMessagingStore, "");
        } else {
            keepOnlyTables(phoneFile(kMessagingStore), c.keep, c.extra);
        }
        startProcess();
        launchAndWork(Costs{});
        EXPECT_EQ(tablesOf(phoneFile(kMessagingStore)), all);

        UpstreamReports reports;
        auto messaging = QRVMessaging::messaging();
        const std::string to = QRVApp::defaultApp()->options()->KDXSenderID().value_or("") + "@kdx.ondrix.com";
        bool connected = false;
        ns::ErrorRef error;
        messaging->connectWithCompletion([&](const ns::ErrorRef& e) {
            error = e;
            connected = true;
        });
        ASSERT_TRUE(waitFor([&] { return connected; })) << backend->log();
        ASSERT_FALSE(error) << error->description();
        messaging->sendMessage({{"pedido", "1"}}, to, "almavel-confirmado", 600);
        const int64_t confirmedId = messaging->rmq2Manager()->rmqId();
        EXPECT_TRUE(waitFor([&] { return reports.sent.count("almavel-confirmado") || !reports.failed.empty(); }));
        EXPECT_TRUE(reports.sent.count("almavel-confirmado")) << "confirmed by the server";
        EXPECT_EQ(messaging->rmq2Manager()->rmq2Store().queryLastRmqId(), confirmedId + 1)
            << "the id counter moved past the confirmed message";

        messaging->disconnect();
        messaging->sendMessage({{"pedido", "2"}}, to, "almavel-en-espera", 600);
        EXPECT_EQ(storedUpstream("almavel-en-espera"), 1u) << "the message waits in the store";
        EXPECT_EQ(reports.failed, std::vector<std::string>{}) << "no message failed";
        quit();
        if (HasFatalFailure()) return;
    }
}

// MARK: - Keychain

// The file as the keychain reads it, when it does: a dictionary whose item
// list holds attributes, data and a known class in every entry.
std::optional<ns::Value> keychainRead(const std::string& bytes) {
    ns::ErrorRef error;
    const ns::Value root = ns::plist::parse(ns::Data(bytes.begin(), bytes.end()), &error);
    const ns::Array* items = root.isDictionary() ? root["items"].arrayOrNull() : nullptr;
    if (error || !items) return std::nullopt;
    for (const ns::Value& item : *items) {
        const ns::Dictionary* attributes = item["attributes"].dictionaryOrNull();
        const ns::Value cls = attributes && attributes->count(ns::kSecClass) ? attributes->at(ns::kSecClass) : ns::Value();
        const bool known =
            cls.isString() && (cls.asString() == ns::kSecClassGenericPassword || cls.asString() == ns::kSecClassKey);
        if (!attributes || !item["data"].isData() || !known) return std::nullopt;
    }
    return root;
}

// What a changed byte at `offset` of the property list changes, as read:
// "item <i> data" (a key's bytes or a password), "an item's attributes",
// "the item list", "the list's other entries", or by place when nothing
// read changes: "the list's header", "the list's trailer", "bytes the
// reader skips".
std::string partChanged(const ns::Value& before, const ns::Value& after, size_t offset, size_t size) {
    const ns::Array& was = *before["items"].arrayOrNull();
    const ns::Array& is = *after["items"].arrayOrNull();
    for (size_t i = 0; i < std::min(was.size(), is.size()); ++i) {
        // Items share their attribute names and many values: one case
        // stands for every item's attributes.
        if (!(was[i]["attributes"] == is[i]["attributes"])) return "an item's attributes";
        if (!(was[i]["data"] == is[i]["data"])) return "item " + std::to_string(i) + " data";
    }
    if (was.size() != is.size()) return "the item list";
    if (!(before == after)) return "the list's other entries";
    if (offset < 8) return "the list's header";
    if (offset + 32 >= size) return "the list's trailer";
    return "bytes the reader skips";
}

// Where the items' property list lies in the keychain's file: all of it, or
// between the header and the digest of a sealed file.
struct KeychainLayout {
    size_t listStart = 0;
    size_t listEnd = 0;

    explicit KeychainLayout(const std::string& file) : listEnd(file.size()) {
        if (file.size() > 40 && file.compare(0, 8, "KEYCHN2\n") == 0) {
            listStart = 8;
            listEnd = file.size() - 32;
        }
    }
    std::string list(const std::string& file) const { return file.substr(listStart, listEnd - listStart); }
};

// One changed byte for each part of the keychain's file a change can land
// in and leave the items' list readable (the first offset of each): the
// file's header and digest when it is sealed, and every part of the list.
std::map<std::string, std::string> keychainFlipsThatStillParse(const std::string& golden) {
    std::map<std::string, std::string> flips;
    const KeychainLayout layout(golden);
    const std::optional<ns::Value> before = keychainRead(layout.list(golden));
    if (!before) return flips;
    for (size_t offset = 0; offset < golden.size(); ++offset) {
        std::string bytes = golden;
        bytes[offset] ^= 0x01;
        const std::optional<ns::Value> after = keychainRead(layout.list(bytes));
        if (!after) continue;
        std::string part = offset < layout.listStart ? "the file's header"
                           : offset >= layout.listEnd
                               ? "the file's digest"
                               : partChanged(*before, *after, offset - layout.listStart, layout.listEnd - layout.listStart);
        flips.emplace(std::move(part), std::move(bytes));
    }
    return flips;
}

// The keychain hands back what was stored or nothing: a byte changed
// outside it, wherever it lies, sets the file aside (the keychain starts
// empty) even where the file still parses, and the clerk signs in again.
// The messaging token in use then belongs to the identity made anew.
TEST_F(ReadableDamageTest, AKeychainChangedOutsideItIsSetAsideWhereverTheByteLies) {
    prepare();
    if (HasFatalFailure()) return;
    const std::string golden = apptest::readFile(goldenFile(kKeychain));
    const std::optional<ns::Value> read = keychainRead(KeychainLayout(golden).list(golden));
    ASSERT_TRUE(read) << "the keychain as the app left it reads";
    const std::map<std::string, std::string> flips = keychainFlipsThatStillParse(golden);
    for (size_t i = 0; i < (*read)["items"].arrayOrNull()->size(); ++i) {
        EXPECT_TRUE(flips.count("item " + std::to_string(i) + " data")) << "no readable change of item " << i;
    }
    for (const auto& [part, bytes] : flips) {
        SCOPED_TRACE("a byte of " + part + " changed");
        restorePhone();
        writePhoneFile(kKeychain, bytes);
        startProcess();
        const int signInsBefore = outcomes_.signIns;
        launchAndWork(Costs{.signIn = true, .token = true, .topic = true});
        EXPECT_EQ(outcomes_.signIns, signInsBefore + 1) << "the clerk signs in again";
        EXPECT_TRUE(fs::exists(phoneFile(kKeychain) + ".damaged")) << "the changed file is kept aside";
        quit();
        if (HasFatalFailure()) return;
    }
}

// MARK: - Device profile

// A profile with a key missing, or of another type, takes the new phone's
// value for that key (texts in Spanish) and is written back complete; a
// readable vendor id stays. Each launch removes one key and mistypes
// another, so that every key is once missing and once mistyped.
TEST_F(ReadableDamageTest, ADeviceProfileKeyMissingOrMistypedTakesTheNewPhonesValue) {
    ns::DeviceProfile newPhone;
    newPhone.localeIdentifier = "es_PA";
    const ns::Dictionary fresh = newPhone.toDictionary();
    std::vector<std::string> keys;
    for (const auto& [key, value] : fresh) keys.push_back(key);
    const std::vector<ns::Value> wrongTypes{ns::Value(int64_t(7)), ns::Value(ns::Array{ns::Value("es_PA")}),
                                            ns::Value(true)};
    prepare();
    if (HasFatalFailure()) return;
    const ns::Value golden = ns::plist::readFile(goldenFile(kDeviceProfile));
    ASSERT_TRUE(golden.isDictionary());
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string& missing = keys[i];
        const std::string& mistyped = keys[(i + 3) % keys.size()];
        SCOPED_TRACE("without " + missing + ", " + mistyped + " of another type");
        ns::Dictionary profile = golden.asDictionary();
        profile.erase(missing);
        profile[mistyped] = wrongTypes[i % wrongTypes.size()];
        restorePhone();
        ASSERT_TRUE(ns::plist::writeFile(phoneFile(kDeviceProfile), ns::Value(profile), ns::plist::Format::XML));
        startProcess();
        // A new vendor id registers the phone again, under a new token.
        const bool vendorIdRead = missing != "identifierForVendor" && mistyped != "identifierForVendor";
        launchAndWork(Costs{.vendorId = !vendorIdRead, .token = !vendorIdRead});
        EXPECT_EQ(ns::UISystemString(ns::UISystemText::Cancel), "Cancelar") << "the phone's texts are Spanish";
        const ns::Value stored = ns::plist::readFile(phoneFile(kDeviceProfile));
        ASSERT_TRUE(stored.isDictionary());
        for (const std::string& key : keys) {
            const ns::Value& value = stored[key];
            ASSERT_TRUE(value.isString()) << key << " is written back";
            if (key == "identifierForVendor") {
                EXPECT_FALSE(value.asString().empty());
            } else if (key == missing || key == mistyped) {
                EXPECT_EQ(value.asString(), fresh.at(key).asString()) << key << " takes the new phone's value";
            } else {
                EXPECT_EQ(value, golden[key]) << key << " is kept";
            }
        }
        quit();
        if (HasFatalFailure()) return;
    }
}

}  // namespace
