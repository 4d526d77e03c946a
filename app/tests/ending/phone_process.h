#pragma once
// The program `almavel` run as a process of its own on a phone folder, as a
// phone runs the app, against a back end of the test's: how a run ended,
// what it printed, and what the phone's stores hold once it has ended. For
// the tests of the ways a run ends (a crash at any store write, an ending
// signal at any step).
//
// A phone folder is a sandbox root (platform/sandbox.h). Opening one with
// the platform's own objects writes to it (a user-defaults journal is
// folded, a keychain file sealed, abandoned temporary files removed), so
// what a run left is read from a copy (`Phone::snapshot`), and the files of
// a phone are listed before any store of it is opened.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/xattr.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAPersistedConfig.h"
#include "app/UserDefaultsKeys.h"
#include "auth/QRVAuth.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/atomic_file.h"
#include "platform/crypto.h"
#include "platform/keychain.h"
#include "platform/sandbox.h"
#include "platform/toolbox.h"
#include "platform/user_defaults.h"
#include "stored_batches.h"
#include "testing/backend.h"
#include "testing/child_process.h"

namespace endingtest {

namespace fs = std::filesystem;

inline constexpr const char* kStaffEmail = "personal@almavel.com.pa";
inline constexpr const char* kStaffPassword = "Almavel2024";
// The app's bundle identifier: its standard user-defaults domain.
inline constexpr const char* kStandardDomain = "pa.almavel.asistente";
inline constexpr const char* kAnalyticsStore = "Home/Library/Application Support/Ondrix/Measurement/ondrix-app-measurement.sql";
// The flows the ending tests run, as script lines.
inline const std::string kLaunchOnly = "# the launch alone\n";
inline const std::string kSignIn =
    std::string("type txtUser ") + kStaffEmail + "\ntype txtPass " + kStaffPassword + "\ntap logIn\n";
inline const std::string kSignOut = "tap ShowHideMenu\ntap CloseSession\n";
inline const std::string kProductToResult = "tap btCap\nscan ean13 0741751003253\n";
// A member's cédula and account checked from the menu: the app keeps the cédula.
inline const std::string kCedula =
    "tap ShowHideMenu\ntap menuTarjCon\ntype txtCedula 8-123-456\ntype txtCuenta 400012345678\ntap btConfirm\nwait\n";

// Real time one run may take on a loaded machine under the sanitizers.
inline constexpr double kRunSeconds = 180;

// The program under test: this build's, or the one ALMAVEL_TEST_APP names
// (an earlier build, to see a test fail on the code before a change).
inline std::string appProgram() {
    const char* other = std::getenv("ALMAVEL_TEST_APP");
    return other && *other ? other : ALMAVEL_APP_BIN;
}

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A folder of the test's own under TMPDIR, removed with it.
class WorkFolder {
public:
    WorkFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/almavel-ending-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work folder");
        path_ = pattern;
    }
    ~WorkFolder() {
        std::error_code ec;
        if (keep_) {
            std::printf("kept for a look: %s\n", path_.c_str());
        } else {
            fs::remove_all(path_, ec);
        }
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const fs::path& path() const { return path_; }
    // Kept when the test failed, to look at.
    void keep() { keep_ = true; }

private:
    fs::path path_;
    bool keep_ = false;
};

// Copies a folder tree with its files' modes and extended attributes (where
// the sandbox keeps per-path attributes).
inline void copyTree(const fs::path& from, const fs::path& to) {
    auto copyAttributes = [](const fs::path& a, const fs::path& b) {
        std::vector<char> names(size_t(std::max<ssize_t>(0, ::llistxattr(a.c_str(), nullptr, 0))));
        const ssize_t length = names.empty() ? 0 : ::llistxattr(a.c_str(), names.data(), names.size());
        for (ssize_t at = 0; at < length; at += ssize_t(std::strlen(names.data() + at)) + 1) {
            const char* name = names.data() + at;
            std::vector<char> value(size_t(std::max<ssize_t>(0, ::lgetxattr(a.c_str(), name, nullptr, 0))));
            const ssize_t size = ::lgetxattr(a.c_str(), name, value.data(), value.size());
            if (size >= 0) ::lsetxattr(b.c_str(), name, value.data(), size_t(size), 0);
        }
    };
    fs::create_directories(to);
    copyAttributes(from, to);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / fs::relative(entry.path(), from);
        if (entry.is_directory()) {
            fs::create_directories(target);
        } else {
            fs::copy(entry.path(), target, fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing);
        }
        copyAttributes(entry.path(), target);
    }
}

// How one run of the program ended.
struct Outcome {
    int status = -1;  // as a shell reports it; -1: did not end in time
    std::string output;
    std::string errors;

    // Whether the launch was over: the player showed its screen (step 0's
    // heading), just before it began the first step.
    bool launched() const { return output.find("== 0: launch\n") != std::string::npos; }
    // The class of the screen it printed last ("" when none).
    std::string lastScreen() const {
        std::string screen;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            const auto open = line.rfind('(');
            if (line.rfind("screen: ", 0) == 0 && open != std::string::npos && line.back() == ')') {
                screen = line.substr(open + 1, line.size() - open - 2);
            }
        }
        return screen;
    }
    // How many store writes and opens its launch made: the trace's mark
    // where the player began the first step (ALMAVEL_WRITE_TRACE).
    struct Counts {
        size_t writes = 0;
        size_t opens = 0;
    };
    std::optional<Counts> launchCounts() const {
        std::istringstream lines(errors);
        for (std::string line; std::getline(lines, line);) {
            unsigned long long writes = 0, opens = 0;
            if (std::sscanf(line.c_str(), "store mark after write %llu, open %llu: launched", &writes, &opens) == 2) {
                return Counts{size_t(writes), size_t(opens)};
            }
        }
        return std::nullopt;
    }
    // The store writes it traced (ALMAVEL_WRITE_TRACE), in order.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        std::istringstream lines(errors);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("store write ", 0) == 0) out.push_back(line);
        }
        return out;
    }
    std::string tail(size_t lines = 40) const {
        std::vector<std::string> all;
        std::istringstream in(errors);
        for (std::string line; std::getline(in, line);) all.push_back(line);
        std::string out;
        for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += all[i] + "\n";
        return "standard output:\n" + output + "\nlast lines of standard error:\n" + out;
    }
};

// A phone: a sandbox root whose bundle holds the program's Info.plist,
// options file and pictures, driven against one back end.
class Phone {
public:
    Phone(fs::path root, const ns::testing::Backend& backend) : root_(std::move(root)), backend_(&backend) {}

    const fs::path& root() const { return root_; }

    // A phone fresh from the store: only the app's bundle.
    void install() const {
        const fs::path bundle = root_ / "Bundle";
        fs::create_directories(bundle);
        for (const char* name : {"Info.plist", "OndrixService-Info.plist"}) {
            fs::copy_file(fs::path(ALMAVEL_SOURCE_DIR) / "core/tools/bundle" / name, bundle / name);
        }
        for (const auto& entry : fs::directory_iterator(ALMAVEL_APP_RESOURCES)) {
            fs::copy_file(entry.path(), bundle / entry.path().filename());
        }
    }

    // This phone as it is now, in another folder.
    Phone copyTo(const fs::path& to) const {
        copyTree(root_, to);
        return Phone(to, *backend_);
    }

    // The environment of a run on this phone, with `extra` over it.
    std::map<std::string, std::string> environment(const std::map<std::string, std::string>& extra = {}) const {
        std::map<std::string, std::string> env = {{"ALMAVEL_SANDBOX", root_.string()},
                                                  {"ALMAVEL_ROUTES", backend_->routesForEnvironment()},
                                                  {"ALMAVEL_EXTRA_CA", ns::testing::Backend::caPath()}};
        for (const auto& [name, value] : extra) env[name] = value;
        return env;
    }

    // `almavel --script` of `script` (one step a line), to its end.
    Outcome play(const std::string& script, const std::map<std::string, std::string>& extra = {}) const {
        auto app = start(script, extra);
        Outcome run;
        run.status = app->wait(kRunSeconds);
        run.output = app->output();
        run.errors = app->errorOutput();
        return run;
    }

    // The same, started and handed over running.
    std::unique_ptr<ns::testing::ChildProcess> start(const std::string& script,
                                                     const std::map<std::string, std::string>& extra = {}) const {
        const fs::path file = root_.string() + ".script";
        writeText(file, script);
        return std::make_unique<ns::testing::ChildProcess>(ns::testing::ChildProcess::Options{
            // The screens are printed; their pictures, which cost a
            // fifth of a run, are not needed.
            .args = {appProgram(), "--script", file.string(), "--shots", ""},
            .env = environment(extra)});
    }

    // `almavel --port 0`, serving the phone's page.
    std::unique_ptr<ns::testing::ChildProcess> serve() const {
        return std::make_unique<ns::testing::ChildProcess>(
            ns::testing::ChildProcess::Options{.args = {appProgram(), "--port", "0"}, .env = environment()});
    }

private:
    fs::path root_;
    const ns::testing::Backend* backend_;
};

// The launch after a point is the launch every test makes, from one more
// phone state: its leaks are not looked for (a fifth of a sanitized
// launch); the points' own runs and the runs that prepare a phone still look.
using ns::testing::withoutLeakCheck;

// Removes a point's phone once it has been checked, and what its runs left
// beside it.
inline void forgetPoint(const fs::path& folder) {
    std::error_code ec;
    for (const char* suffix : {"", ".ended", ".script", ".shots", ".errors", ".ended.script", ".ended.shots"}) {
        fs::remove_all(folder.string() + suffix, ec);
    }
}

// The files of a phone that a write left unfinished or that a store set
// aside as damaged, by path under the root. Listed before anything opens
// the phone (opening it removes abandoned temporaries).
struct Leftovers {
    std::vector<std::string> temporaries;
    std::vector<std::string> setAside;
};

inline Leftovers leftovers(const fs::path& root) {
    Leftovers out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        const std::string where = fs::relative(entry.path(), root).string();
        if (ns::abandonedTemporaryWriter(name)) out.temporaries.push_back(where);
        if (name.find(".damaged") != std::string::npos || name.find(".corrupt") != std::string::npos) {
            out.setAside.push_back(where);
        }
    }
    return out;
}

inline std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// First opens ("_f" events) by their time in milliseconds. The back end
// takes an upload at least once (a bundle sent again after a crash cut its
// removal is dropped there as a duplicate), so one first open may be both
// received and still queued: the same time is the same event.
using FirstOpens = std::set<int64_t>;

inline FirstOpens& operator+=(FirstOpens& into, const FirstOpens& from) {
    into.insert(from.begin(), from.end());
    return into;
}

// How many first opens, counting times within a millisecond of each other
// once (the store keeps a raw event's time in seconds).
inline size_t distinct(const FirstOpens& opens) {
    size_t count = 0;
    std::optional<int64_t> last;
    for (int64_t at : opens) {
        if (!last || at - *last > 1) ++count;
        last = at;
    }
    return count;
}

inline std::string describe(const FirstOpens& opens) {
    std::string out;
    for (int64_t at : opens) out += (out.empty() ? "" : ", ") + std::to_string(at);
    return "{" + out + "}";
}

inline bool hasTable(sqlite3* db, const char* table) {
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", -1, &query, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_text(query, 1, table, -1, SQLITE_STATIC);
    const bool found = sqlite3_step(query) == SQLITE_ROW;
    sqlite3_finalize(query);
    return found;
}

// The "_f" events in the analytics store: raw events and those of bundles
// waiting in the upload queue (gzip-compressed MeasurementBundle messages).
// A table the engine never made holds none; nullopt when a row does not read.
inline std::optional<FirstOpens> firstOpensInStore(sqlite3* db) {
    FirstOpens out;
    sqlite3_stmt* rows = nullptr;
    if (hasTable(db, "raw_events")) {
        if (sqlite3_prepare_v2(db, "SELECT timestamp FROM raw_events WHERE name = '_f'", -1, &rows, nullptr) != SQLITE_OK) {
            return std::nullopt;
        }
        while (sqlite3_step(rows) == SQLITE_ROW) out.insert(int64_t(sqlite3_column_double(rows, 0) * 1000));
        sqlite3_finalize(rows);
    }
    if (!hasTable(db, "queue")) return out;
    if (sqlite3_prepare_v2(db, "SELECT data FROM queue", -1, &rows, nullptr) != SQLITE_OK) return std::nullopt;
    bool whole = true;
    while (whole && sqlite3_step(rows) == SQLITE_ROW) {
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(rows, 0));
        const ns::Data compressed(bytes, bytes + sqlite3_column_bytes(rows, 0));
        ns::ErrorRef error;
        auto bundle = QRVAPBMeasurementBundle::initWithBuffer(htk_dataByInflatingData(compressed, &error));
        auto events = bundle ? NANOGetArray(bundle, QRVAPBField::MeasurementBundle::events, &QRVAPBEvent::messageClass())
                             : std::nullopt;
        whole = events.has_value();
        for (const auto& value : events.value_or(ns::Array{})) {
            auto event = value.asObjectOf<NANOMessageBase>();
            if (NANOGetString(event, QRVAPBField::Event::name) == "_f") {
                out.insert(NANOGetInt64(event, QRVAPBField::Event::timestamp_millis));
            }
        }
    }
    sqlite3_finalize(rows);
    if (!whole) return std::nullopt;
    return out;
}

// What a phone's stores hold, read from a phone no run is using (reading
// opens the stores, which may write: read a copy of a phone that is to run
// again).
struct Stores {
    // The standard domain's values by key (absent keys left out).
    ns::Dictionary standard;
    // The SDK's signed-in user: its keychain item.
    bool session = false;
    // Instance-identity tokens by "scope|entity".
    std::map<std::string, std::string> tokens;
    std::optional<std::string> appInstanceID;
    // The first opens in the analytics store.
    FirstOpens firstOpens;
    // What did not read whole, one line each.
    std::vector<std::string> damage;

    std::string logged() const {
        auto it = standard.find(almavel::kLoggedKey);
        return it == standard.end() ? "" : it->second.isString() ? it->second.asString() : it->second.description();
    }
};

inline void readKeychain(const fs::path& root, Stores& out) {
    const fs::path path = root / "Keychain/keychain.plist";
    if (!fs::exists(path)) return;
    ns::Keychain keychain(path.string());
    ns::Value items;
    const ns::OSStatus status = keychain.copyMatching(
        {{ns::kSecClass, ns::kSecClassGenericPassword}, {ns::kSecReturnAttributes, true}, {ns::kSecReturnData, true},
         {ns::kSecMatchLimit, ns::kSecMatchLimitAll}},
        &items);
    if (status != ns::errSecSuccess && status != ns::errSecItemNotFound) {
        out.damage.push_back("the keychain does not read: " + keychain.lastErrorMessage());
        return;
    }
    for (const auto& item : items.isArray() ? items.asArray() : ns::Array{}) {
        const std::string service = item[ns::kSecAttrService].isString() ? item[ns::kSecAttrService].asString() : "";
        if (service == kQRVAuthKeychainService) out.session = true;
        const ns::Value& generic = item[ns::kSecAttrGeneric];
        if (!generic.isString() || generic.asString() != kQRVInstanceIDTokenKeychainGeneric) continue;
        const std::string value = item[ns::kSecValueData].isData() ? ns::crypto::toString(item[ns::kSecValueData].asData()) : "";
        const auto marker = value.find(kQRVInstanceIDCachedTokenMarker);
        if (marker == std::string::npos) continue;
        const std::string account = item[ns::kSecAttrAccount].isString() ? item[ns::kSecAttrAccount].asString() : "";
        out.tokens[service + "|" + account] = value.substr(marker + std::strlen(kQRVInstanceIDCachedTokenMarker));
    }
}

inline void readDefaults(const std::shared_ptr<ns::Sandbox>& sandbox, Stores& out) {
    const fs::path preferences = sandbox->preferencesPath();
    if (!fs::exists(preferences)) return;
    for (const auto& entry : fs::directory_iterator(preferences)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".plist") continue;
        const std::string domain = name.substr(0, name.size() - std::string(".plist").size());
        ns::UserDefaults list(domain, sandbox);
        if (!list.synchronize()) out.damage.push_back("the user defaults " + domain + " do not read");
        if (domain == kStandardDomain) out.standard = list.persistentDomain();
        if (domain == kQRVAPersistedConfigName) out.appInstanceID = list.stringForKey(kQRVAPersistedConfigAppInstanceIDKey);
    }
}

inline void readSqliteStores(const fs::path& root, Stores& out) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto extension = entry.path().extension();
        if (!entry.is_regular_file() || (extension != ".sqlite" && extension != ".sql")) continue;
        sqlite3* db = nullptr;
        std::string verdict;
        if (sqlite3_open_v2(entry.path().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_stmt* check = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
                sqlite3_step(check) == SQLITE_ROW) {
                verdict = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
            }
            sqlite3_finalize(check);
        }
        if (verdict != "ok") {
            out.damage.push_back(fs::relative(entry.path(), root).string() + ": integrity check says \"" + verdict +
                                 "\" " + (db ? sqlite3_errmsg(db) : ""));
        } else if (entry.path() == root / kAnalyticsStore) {
            const auto opens = firstOpensInStore(db);
            if (!opens) out.damage.push_back(std::string(kAnalyticsStore) + ": an event or bundle does not read");
            out.firstOpens = opens.value_or(FirstOpens{});
        }
        sqlite3_close(db);
    }
}

// Reads every store of the phone at `root`.
inline Stores readStores(const fs::path& root) {
    Stores out;
    readKeychain(root, out);
    readDefaults(ns::Sandbox::open(root.string()), out);
    readSqliteStores(root, out);
    return out;
}

// The analytics batches the back end holds, and the first opens and app
// instance ids of those from `from` on.
struct Received {
    size_t batches = 0;
    FirstOpens firstOpens;
    std::set<std::string> appInstanceIDs;
};

// With `installation`, only the bundles of that app instance id count.
inline Received received(const ns::testing::Backend& backend, size_t from = 0,
                         const std::optional<std::string>& installation = std::nullopt) {
    const nlohmann::json all = backend.analyticsBatches();
    Received out;
    out.batches = all["batches"].size();
    nlohmann::json later = {{"batches", nlohmann::json::array()}};
    for (size_t i = from; i < out.batches; ++i) {
        nlohmann::json batch = all["batches"][i];
        nlohmann::json bundles = nlohmann::json::array();
        for (const auto& bundle : batch["bundles"]) {
            const std::string id = bundle.value("app_instance_id", "");
            if (installation && id != *installation) continue;
            out.appInstanceIDs.insert(id);
            bundles.push_back(bundle);
        }
        batch["bundles"] = std::move(bundles);
        later["batches"].push_back(std::move(batch));
    }
    for (const auto& event : analyticstest::storedEvents(later)) {
        if (event.name == "_f") out.firstOpens.insert(event.millis);
    }
    return out;
}

// Checks the launch `next` made on the phone at `phone` after `at` (a
// crash, a failed write), from `before`, what the phone held before it:
// no temporary file, no store set aside or damaged, the app signed in
// exactly when the SDK has a user, a sign-out kept, the installation's one
// first open, and the identities stored before in use.
inline void checkLaunchAfter(const std::string& at, const Stores& before, const Outcome& next, const fs::path& phone,
                             const ns::testing::Backend& backend, const FirstOpens& reportedBefore,
                             size_t batchesAtStart, size_t batchesAtEnd) {
    SCOPED_TRACE("after " + at);
    // Listed before the stores are opened: opening removes temporaries.
    const Leftovers left = leftovers(phone);
    EXPECT_TRUE(left.temporaries.empty()) << "temporary files left: " << joined(left.temporaries);
    EXPECT_TRUE(left.setAside.empty()) << "stores found damaged: " << joined(left.setAside);
    const Stores after = readStores(phone);
    EXPECT_TRUE(after.damage.empty()) << joined(after.damage);

    const bool appSignedIn = next.lastScreen() == "MainViewController";
    if (!before.session || before.logged() == "0") {
        EXPECT_FALSE(appSignedIn || after.session)
            << "a sign-out was undone: before the launch the SDK's session was " << (before.session ? "kept" : "gone")
            << " and \"logged\" was \"" << before.logged() << "\"; the launch shows " << next.lastScreen()
            << " and the SDK " << (after.session ? "has" : "has no") << " user";
    }
    EXPECT_EQ(appSignedIn, after.session) << "the launch shows " << next.lastScreen() << " while the SDK "
                                          << (after.session ? "has" : "has no") << " user";

    // What the back end received since the flow's start, and what this
    // installation reported before: the points of a flow share its back end
    // and start from copies of one phone, whose first open an earlier point
    // may have reported (the back end keeps one copy of a bundle sent twice).
    auto reportedNow = [&](const std::optional<std::string>& installation) {
        FirstOpens opens = received(backend, batchesAtStart).firstOpens;
        if (installation) opens += received(backend, 0, installation).firstOpens;
        return opens;
    };
    FirstOpens reported = reportedNow(after.appInstanceID);
    FirstOpens stored = after.firstOpens;
    FirstOpens all = reportedBefore;
    all += reported;
    all += stored;
    if (distinct(all) == 0) {
        // A launch may end before its analytics engine commits the first
        // open (a loaded machine): the store then holds no "_fot", and the
        // launch after it reports the installation's first open.
        const Outcome again = Phone(phone, backend).play(kLaunchOnly, withoutLeakCheck());
        EXPECT_EQ(again.status, 0) << "the launch after the next one\n" << again.tail();
        const Stores later = readStores(phone);
        reported = reportedNow(later.appInstanceID);
        stored = later.firstOpens;
        all += reported;
        all += stored;
    }
    EXPECT_EQ(distinct(all), 1u) << "first opens of the installation, by time: " << describe(reportedBefore)
                                 << " reported before the flow, " << describe(reported)
                                 << " reported since, " << describe(stored) << " in its analytics store";

    if (before.appInstanceID) {
        EXPECT_EQ(after.appInstanceID, before.appInstanceID) << "the analytics app instance id changed";
        for (const auto& id : received(backend, batchesAtEnd).appInstanceIDs) {
            EXPECT_EQ(id, *before.appInstanceID) << "the launch reported under another app instance id";
        }
    }
    for (const auto& [key, token] : before.tokens) {
        const auto it = after.tokens.find(key);
        EXPECT_TRUE(it != after.tokens.end() && it->second == token)
            << "the instance-identity token for " << key << " stored before the end (" << token << ") is "
            << (it == after.tokens.end() ? "gone" : "now " + it->second);
    }
}

// Runs `point(k, worker)` for k = first, first + step, ... up to `last`, on
// `workers` threads at once (a program's run mostly waits: on its back end,
// its timers and its disk), each k once. A point that returns false is the
// last one needed: no greater k starts after it (those under way finish).
inline void forEachPoint(int first, int step, int last, int workers, const std::function<bool(int, int)>& point) {
    std::atomic<int> next{first};
    std::atomic<int> stopAt{std::numeric_limits<int>::max()};
    auto work = [&](int worker) {
        for (int k = next.fetch_add(step); k <= last && k <= stopAt; k = next.fetch_add(step)) {
            if (point(k, worker)) continue;
            for (int seen = stopAt; k < seen && !stopAt.compare_exchange_weak(seen, k);) {
            }
        }
    };
    std::vector<std::thread> threads;
    for (int worker = 1; worker < workers; ++worker) threads.emplace_back(work, worker);
    work(0);
    for (auto& thread : threads) thread.join();
}

// How many points of an enumeration run at once (ALMAVEL_POINTS_AT_ONCE,
// one when unset): CI's two cores already run two such tests beside each
// other, and several at once make each run slower, which moves where a
// launch's own timers fall against its script.
inline int pointsAtOnce() {
    const char* set = std::getenv("ALMAVEL_POINTS_AT_ONCE");
    return set && std::atoi(set) > 0 ? std::atoi(set) : 1;
}

// Brings the phone a flow's points start from to the end of `before`, on a
// back end of its own, and starts one more back end for each further point
// run at once on a new phone: each such point makes an installation of its
// own, whose first open only its own back end may receive.
// `reportedBefore` gets the first opens the back end received meanwhile.
inline void prepareStartingPhone(const WorkFolder& work, const std::vector<std::string>& before,
                                 std::vector<std::unique_ptr<ns::testing::Backend>>& backends,
                                 std::optional<Phone>& golden, FirstOpens& reportedBefore) {
    backends.push_back(ns::testing::Backend::start({.seed = true}));
    golden.emplace(work.path() / "start", *backends[0]);
    golden->install();
    for (const auto& script : before) {
        const Outcome run = golden->play(script);
        ASSERT_EQ(run.status, 0) << "preparing the phone:\n" << run.tail();
    }
    reportedBefore = received(*backends[0]).firstOpens;
    if (before.empty()) {
        for (int worker = 1; worker < pointsAtOnce(); ++worker) {
            backends.push_back(ns::testing::Backend::start({.seed = true}));
        }
    }
}

}  // namespace endingtest
