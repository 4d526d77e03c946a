// The database object end to end against the local back end: the product
// look-up the app makes, one database per app, sessions, settings that
// freeze on first use, URL references, the connection state under ".info",
// going offline and online, and authentication following the signed-in
// user.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "database/api/FRepo.h"
#include "platform/error.h"
#include "public_api_test_support.h"

namespace {

using namespace apitest;

// Runs `f` and answers the exception it raised (name and reason); fails the
// test when it raised nothing.
std::pair<std::string, std::string> raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        return {e.name(), e.reason()};
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

// The server's view of the test's connections (the back end's admin list).
json connectionsOf(const ns::testing::Backend& backend, const std::string& ns) {
    auto reply = backend.get("/__admin/rtdb/connections?ns=" + ns);
    if (reply.status != 200) return json::array();
    return json::parse(reply.body)["connections"];
}

// Values of a continuous observer, recorded on the callback queue. The
// block shares the record, so events delivered after the log is gone are
// harmless.
class ValueLog {
public:
    QRVDataSnapshotBlock block() {
        return [state = state_](QRVDataSnapshotPtr snapshot) {
            std::lock_guard lock(state->mutex);
            state->values.push_back(snapshot->value());
        };
    }
    std::vector<ns::Value> values() {
        std::lock_guard lock(state_->mutex);
        return state_->values;
    }
    size_t count() { return values().size(); }
    ns::Value last() {
        auto v = values();
        return v.empty() ? ns::Value() : v.back();
    }
    bool waitFor(const ns::Value& value) {
        return pumpUntil([&] { return count() > 0 && last() == value; });
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<ns::Value> values;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

using DatabaseTest = PublicApiTest;

TEST_F(DatabaseTest, ProductLookUpReadsTheSeededRecordOnTheMainQueue) {
    auto database = configureDefaultDatabase();
    auto ref = database->reference()->child("Productos/7501031311309");

    auto found = readOnce(ref);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->onMainThread);
    ASSERT_TRUE(found->snapshot);
    EXPECT_EQ(found->snapshot->key(), "7501031311309");
    ns::Value product = found->snapshot->value();
    ASSERT_TRUE(product.isDictionary()) << product.description();
    EXPECT_EQ(product["Descrip"], ns::Value("Leche entera UHT 1 L"));
    EXPECT_EQ(product["Precio"], ns::Value(1.45));
    EXPECT_EQ(product["FecIni"], ns::Value(20261201));
    EXPECT_EQ(product["qParte"], ns::Value("LAC-0101"));

    auto missing = readOnce(database->reference()->child("Productos")->child("0000000000000"));
    ASSERT_TRUE(missing.has_value());
    EXPECT_TRUE(missing->onMainThread);
    EXPECT_TRUE(missing->snapshot->value().isNull());
    EXPECT_FALSE(missing->snapshot->exists());
    EXPECT_EQ(missing->snapshot->key(), "0000000000000");
}

TEST_F(DatabaseTest, OneDatabasePerAppWithItsOwnSession) {
    QRVApp::configure(std::make_shared<QRVOptions>(appOptions(databaseURL())));
    QRVApp::configure("sucursal", std::make_shared<QRVOptions>(appOptions(databaseURL("sucursal"))));

    auto first = track(QRVDatabase::database());
    EXPECT_EQ(QRVDatabase::database(), first);
    EXPECT_EQ(QRVDatabase::databaseForApp(QRVApp::defaultApp()), first);
    EXPECT_EQ(first->config()->sessionIdentifier(), "default");
    EXPECT_EQ(first->app(), QRVApp::defaultApp());

    auto other = track(QRVDatabase::databaseForApp(QRVApp::appNamed("sucursal")));
    EXPECT_NE(other, first);
    EXPECT_EQ(other->config()->sessionIdentifier(), "sucursal");
    EXPECT_EQ(other->repoInfo()->getNamespace(), "sucursal");

    // Each session has its own repository, made on first use only.
    EXPECT_EQ(first->repo(), nullptr);
    first->reference();
    other->reference();
    ASSERT_NE(first->repo(), nullptr);
    ASSERT_NE(other->repo(), nullptr);
    EXPECT_NE(first->repo(), other->repo());
    auto table = FRepoManager::configs();
    EXPECT_EQ(table["default"].size(), 1u);
    EXPECT_EQ(table["sucursal"].size(), 1u);
    EXPECT_EQ(first->reference()->database(), first);
}

TEST_F(DatabaseTest, ConfigurationMistakesRaise) {
    EXPECT_EQ(raised([] { QRVDatabase::database(); }),
              std::make_pair(std::string("QRVAppNotConfigured"),
                             std::string("Failed to get default QRVDatabase instance. Must call QRVApp.configure() "
                                         "before using QRVDatabase.")));
    EXPECT_EQ(raised([] { QRVDatabase::databaseForApp(nullptr); }).first, "InvalidQRVApp");

    ns::Dictionary noUrl = appOptions("");
    noUrl.erase("DATABASE_URL");
    QRVApp::configure("sinbase", std::make_shared<QRVOptions>(noUrl));
    EXPECT_EQ(raised([] { QRVDatabase::databaseForApp(QRVApp::appNamed("sinbase")); }).first, "MissingDatabaseURL");

    const std::string withPath = databaseURL() + "/x";
    QRVApp::configure("conruta", std::make_shared<QRVOptions>(appOptions(withPath)));
    EXPECT_EQ(raised([] { QRVDatabase::databaseForApp(QRVApp::appNamed("conruta")); }),
              std::make_pair(std::string("InvalidDatabaseURL"),
                             "Configured Database URL '" + withPath +
                                 "' is invalid. It should point to the root of a Quorvane Database but it includes "
                                 "a path: /x"));
    // A failed look-up keeps nothing: the same app raises again.
    EXPECT_EQ(raised([] { QRVDatabase::databaseForApp(QRVApp::appNamed("conruta")); }).first, "InvalidDatabaseURL");
}

TEST_F(DatabaseTest, SettingsFreezeOnFirstUse) {
    auto database = configureDefaultDatabase();
    auto queue = ns::DispatchQueue::serial("callbacks");
    database->setPersistenceCacheSizeBytes(2 * 1048576);
    database->setCallbackQueue(queue);
    EXPECT_EQ(database->persistenceCacheSizeBytes(), 2u * 1048576);
    EXPECT_EQ(database->callbackQueue(), queue);

    database->reference();
    for (const auto& [name, set] : std::vector<std::pair<std::string, std::function<void()>>>{
             {"setPersistenceEnabled", [&] { database->setPersistenceEnabled(true); }},
             {"setPersistenceCacheSizeBytes", [&] { database->setPersistenceCacheSizeBytes(1048576); }},
             {"setCallbackQueue", [&] { database->setCallbackQueue(ns::DispatchQueue::main()); }}}) {
        EXPECT_EQ(raised(set), std::make_pair(std::string("QRVDatabaseAlreadyInUse"),
                                              "Calls to " + name +
                                                  " must be made before any other usage of QRVDatabase instance."));
    }
    EXPECT_FALSE(database->persistenceEnabled());
    EXPECT_EQ(database->callbackQueue(), queue);

    // The configured queue is where blocks run.
    std::atomic<bool> onQueue{false};
    std::atomic<bool> called{false};
    database->reference()->child("Productos/7501031311309")->observeSingleEventOfType(
        QRVDataEventTypeValue, [&, queue](QRVDataSnapshotPtr) {
            onQueue = queue->isCurrent();
            called = true;
        });
    ASSERT_TRUE(pumpUntil([&] { return called.load(); }));
    EXPECT_TRUE(onQueue);
}

TEST_F(DatabaseTest, ReferencesFromUrls) {
    auto database = configureDefaultDatabase();
    const std::string root = database->reference()->URL();
    EXPECT_EQ(root, "http://almavel-pa.ns.localhost:" + std::to_string(backend_->wsPort()));

    auto ref = database->referenceFromURL(databaseURL() + "/Productos/7501031311309");
    EXPECT_EQ(ref->path().toString(), "/Productos/7501031311309");
    EXPECT_EQ(ref->repo(), database->repo());
    EXPECT_EQ(database->referenceWithPath("/Tiendas/T-01")->path().toString(), "/Tiendas/T-01");
    EXPECT_EQ(database->referenceWithPath(".info/connected")->path().toString(), "/.info/connected");
    EXPECT_EQ(raised([&] { database->referenceWithPath("a#b"); }).second,
              "(referenceWithPath) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'");

    const std::string foreign = "http://otra.ns.localhost:" + std::to_string(backend_->wsPort()) + "/x";
    EXPECT_EQ(raised([&] { database->referenceFromURL(foreign); }),
              std::make_pair(std::string("InvalidDatabaseURL"),
                             "Invalid URL (" + foreign +
                                 ") passed to getReference(). URL was expected to match configured Database URL: " +
                                 root));
    EXPECT_EQ(raised([&] { database->referenceFromURL("http://localhost/x"); }).first,
              "No Quorvane database specified.");
}

// The URL parser decodes the path, so "%2E", "$" and "[" reach the path
// pieces; such a path cannot be read or written, and must be refused as a
// reference made from a URL refuses it.
TEST_F(DatabaseTest, ReferenceFromUrlValidatesTheDecodedPath) {
    auto database = configureDefaultDatabase();
    for (const std::string path : {"/a%2Eb", "/precio$", "/x[0]", "/Productos/%23"}) {
        auto [name, reason] = raised([&] { database->referenceFromURL(databaseURL() + path); });
        EXPECT_EQ(name, "InvalidPathValidation") << path;
        EXPECT_EQ(reason,
                  "(referenceFromURL:) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'")
            << path;
        EXPECT_EQ(raised([&] { QRVDatabaseReference(databaseURL() + path); }).first, "InvalidPathValidation");
    }
    // The connection state stays reachable.
    EXPECT_EQ(database->referenceFromURL(databaseURL() + "/.info/connected")->path().toString(), "/.info/connected");
}

TEST_F(DatabaseTest, RepositoryManagerSharesOneRepositoryPerSessionAndLocation) {
    auto repoInfo = FUtilities::parseUrl(databaseURL("gerencia")).repoInfo;
    auto config = QRVDatabaseConfig::configForName("gerencia");
    auto repo = FRepoManager::getRepo(repoInfo, config);
    ASSERT_NE(repo, nullptr);
    EXPECT_TRUE(config->isFrozen());
    EXPECT_EQ(FRepoManager::getRepo(repoInfo, config), repo);
    EXPECT_EQ(raised([&] { FRepoManager::createRepo(repoInfo, config, nullptr); }),
              std::make_pair(std::string("RepoExists"), std::string("createRepo called for Repo that already exists.")));
    // A reference made from a URL with the same config finds it.
    QRVDatabaseReference byUrl(databaseURL("gerencia") + "/a/b", config);
    EXPECT_EQ(byUrl.repo(), repo);
    EXPECT_EQ(byUrl.path().toString(), "/a/b");
    // The database made on its behalf stays with the repository.
    ASSERT_NE(byUrl.database(), nullptr);
    EXPECT_EQ(byUrl.database()->repo(), repo);
    EXPECT_EQ(byUrl.database()->app(), nullptr);
    EXPECT_EQ(byUrl.database()->config(), config);

    FRepoManager::disposeRepos(config);
    EXPECT_EQ(FRepoManager::configs().count("gerencia"), 0u);
    // A new one is made on demand afterwards.
    auto again = FRepoManager::getRepo(repoInfo, config);
    EXPECT_NE(again, repo);
    FRepoManager::disposeRepos(config);
}

TEST_F(DatabaseTest, ConnectedIsFalseThenTrueThenFalseOfflineAndListensComeBackOnline) {
    auto database = configureDefaultDatabase();
    ValueLog connected;
    auto root = database->reference();
    root->child(".info/connected")->observeEventType(QRVDataEventTypeValue, connected.block());
    ASSERT_TRUE(connected.waitFor(ns::Value(true))) << connected.count();
    // Booleans throughout: false before the first connection, then true.
    ASSERT_GE(connected.count(), 2u);
    EXPECT_EQ(connected.values().front(), ns::Value(false));

    ValueLog price;
    root->child("Productos/7501031311316/Precio")->observeEventType(QRVDataEventTypeValue, price.block());
    ASSERT_TRUE(price.waitFor(ns::Value(1.55)));

    database->goOffline();
    ASSERT_TRUE(connected.waitFor(ns::Value(false)));
    ASSERT_TRUE(pumpUntil([&] { return connectionsOf(*backend_, kSampleNamespace).empty(); }));

    // Changed while offline: seen once the listen is restored.
    setServerData("/Productos/7501031311316/Precio", 1.35);
    database->goOnline();
    ASSERT_TRUE(connected.waitFor(ns::Value(true)));
    EXPECT_TRUE(price.waitFor(ns::Value(1.35)));
    for (const auto& value : connected.values()) EXPECT_TRUE(value.isBool()) << value.description();

    // The class-wide switches act on every repository.
    QRVDatabaseReference::goOffline();
    ASSERT_TRUE(connected.waitFor(ns::Value(false)));
    QRVDatabaseReference::goOnline();
    ASSERT_TRUE(connected.waitFor(ns::Value(true)));
}

TEST_F(DatabaseTest, SignInAndOutChangeWhatTheRulesAllow) {
    setRules(json{{"rules",
                   {{"Productos", {{".read", true}}},
                    {"Cotizaciones", {{".read", "auth != null"}, {".write", "auth != null"}}}}}});
    auto database = configureDefaultDatabase();
    auto quotes = database->reference()->child("Cotizaciones");
    auto auth = QRVAuth::auth();
    ASSERT_TRUE(auth);

    // Signed out: the read is cancelled with the server's refusal.
    auto cancelled = std::make_shared<std::optional<ns::ErrorRef>>();
    bool read = false;
    quotes->observeSingleEventOfType(
        QRVDataEventTypeValue, [&](QRVDataSnapshotPtr) { read = true; },
        [cancelled](ns::ErrorRef error) { *cancelled = std::move(error); });
    ASSERT_TRUE(pumpUntil([&] { return cancelled->has_value(); }));
    ASSERT_TRUE(**cancelled);
    EXPECT_EQ((**cancelled)->code(), 1);
    EXPECT_EQ((**cancelled)->domain(), "com.quorvane");
    EXPECT_FALSE(read);

    // Signed in: the connection re-authenticates with the user's token.
    std::shared_ptr<QRVUser> user;
    bool signedIn = false;
    auth->signInWithEmail("personal@almavel.com.pa", "Almavel2024", [&](std::shared_ptr<QRVUser> u, ns::ErrorRef e) {
        EXPECT_FALSE(e) << e->description();
        user = std::move(u);
        signedIn = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return signedIn; }));
    ASSERT_TRUE(user);
    // The uid the one connection is authenticated as (null for none).
    auto serverUid = [&]() -> json {
        json list = connectionsOf(*backend_, kSampleNamespace);
        if (list.size() != 1) return json("no single connection");
        return list[0]["auth"].is_object() ? list[0]["auth"]["uid"] : json();
    };
    ASSERT_TRUE(pumpUntil([&] { return serverUid() == json(user->uid()); })) << connectionsOf(*backend_, kSampleNamespace);

    auto written = std::make_shared<std::optional<ns::ErrorRef>>();
    quotes->child("Q-1")->setValue(ns::Dictionary{{"Total", 10.7}},
                                   [written](ns::ErrorRef error, QRVDatabaseReferencePtr) { *written = error; });
    ASSERT_TRUE(pumpUntil([&] { return written->has_value(); }));
    EXPECT_FALSE(**written);
    EXPECT_EQ(serverData("/Cotizaciones/Q-1/Total"), json(10.7));
    auto q1 = readOnce(quotes->child("Q-1"));
    ASSERT_TRUE(q1.has_value());
    EXPECT_EQ(q1->snapshot->value()["Total"], ns::Value(10.7));

    // Signed out: back to no token, and the write is refused.
    ASSERT_TRUE(auth->signOut());
    ASSERT_TRUE(pumpUntil([&] { return serverUid().is_null(); }));
    auto refused = std::make_shared<std::optional<ns::ErrorRef>>();
    quotes->child("Q-2")->setValue(ns::Dictionary{{"Total", 1}},
                                   [refused](ns::ErrorRef error, QRVDatabaseReferencePtr) { *refused = error; });
    ASSERT_TRUE(pumpUntil([&] { return refused->has_value(); }));
    ASSERT_TRUE(**refused);
    EXPECT_EQ((**refused)->code(), 1);
    EXPECT_TRUE(serverData("/Cotizaciones/Q-2").is_null());
}

}  // namespace
