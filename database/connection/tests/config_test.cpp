// The pieces every database layer shares: session configs, the location with
// its remembered redirect, the worker queue and the version texts.

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "database/connection/FWorkerQueue.h"
#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FRepoInfo.h"
#include "database/model/FUtilities.h"
#include "platform/error.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

namespace {

template <class F>
std::string raisedReason(F&& f, const std::string& expectedName) {
    try {
        f();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), expectedName) << e.reason();
        return e.reason();
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

TEST(DatabaseConfigTest, CacheSizeBoundsAreInclusiveAndFreezingLocksEverySetterButTheStorageEngine) {
    QRVDatabaseConfig config("cache", std::make_shared<QRVNoopAuthTokenProvider>());
    EXPECT_FALSE(config.persistenceEnabled());
    EXPECT_EQ(config.persistenceCacheSizeBytes(), 10485760u);
    EXPECT_EQ(config.callbackQueue(), ns::DispatchQueue::main());

    config.setPersistenceCacheSizeBytes(1048576);
    EXPECT_EQ(config.persistenceCacheSizeBytes(), 1048576u);
    config.setPersistenceCacheSizeBytes(104857600);
    EXPECT_EQ(config.persistenceCacheSizeBytes(), 104857600u);
    EXPECT_EQ(raisedReason([&] { config.setPersistenceCacheSizeBytes(1048575); }, ns::kInvalidArgumentException),
              "The minimum cache size must be at least 1MB");
    EXPECT_EQ(raisedReason([&] { config.setPersistenceCacheSizeBytes(104857601); }, ns::kInvalidArgumentException),
              "Quorvane Database currently doesn't support a cache size larger than 100MB");
    // A refused size leaves the stored one.
    EXPECT_EQ(config.persistenceCacheSizeBytes(), 104857600u);

    config.setPersistenceEnabled(true);
    config.freeze();
    EXPECT_TRUE(config.isFrozen());
    const std::string frozen = "Can't modify config objects after they are in use for QRVDatabaseReferences.";
    EXPECT_EQ(raisedReason([&] { config.setPersistenceEnabled(false); }, ns::kGenericException), frozen);
    EXPECT_EQ(raisedReason([&] { config.setPersistenceCacheSizeBytes(2000000); }, ns::kGenericException), frozen);
    EXPECT_EQ(raisedReason([&] { config.setCallbackQueue(ns::DispatchQueue::global()); }, ns::kGenericException),
              frozen);
    EXPECT_EQ(raisedReason([&] { config.setAuthTokenProvider(nullptr); }, ns::kGenericException), frozen);
    EXPECT_TRUE(config.persistenceEnabled());
    config.setForceStorageEngine(nullptr);

    EXPECT_EQ(raisedReason([] { QRVDatabaseConfig::init(); }, ns::kInvalidArgumentException),
              "Can't create config objects!");
}

TEST(DatabaseConfigTest, NamedConfigsAreSharedPerNameAndNamesAreChecked) {
    auto a = QRVDatabaseConfig::configForName("shop-01_A");
    EXPECT_EQ(QRVDatabaseConfig::configForName("shop-01_A"), a);
    EXPECT_NE(QRVDatabaseConfig::configForName("shop-02"), a);
    EXPECT_EQ(a->sessionIdentifier(), "shop-01_A");
    EXPECT_TRUE(std::dynamic_pointer_cast<QRVNoopAuthTokenProvider>(a->authTokenProvider()));
    EXPECT_EQ(QRVDatabaseConfig::defaultConfig(), QRVDatabaseConfig::configForName("default"));
    EXPECT_EQ(QRVDatabaseConfig::defaultConfig()->sessionIdentifier(), "default");

    for (std::string bad : {"", "two words", "slash/", "dot.", "ñ"}) {
        EXPECT_EQ(raisedReason([&] { QRVDatabaseConfig::configForName(bad); }, ns::kInvalidArgumentException),
                  "Name can only contain [a-zA-Z0-9-_]")
            << bad;
    }

    // One table for every thread: each name gets exactly one config.
    std::vector<std::shared_ptr<QRVDatabaseConfig>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = QRVDatabaseConfig::configForName("raced"); });
    }
    for (auto& t : threads) t.join();
    for (const auto& config : seen) EXPECT_EQ(config, seen[0]);
}

TEST(RepoInfoTest, ARedirectIsRememberedForTheNextStartUntilCleared) {
    ns::testing::TempSandbox sandbox;
    auto defaults = ns::UserDefaults::standard();
    auto first = FUtilities::parseUrl("https://almavel-pa.quorvaneio.com").repoInfo;
    EXPECT_EQ(first->internalHost(), "almavel-pa.quorvaneio.com");

    first->setInternalHost("s-usc1c-nss-204.quorvaneio.com");
    EXPECT_EQ(first->internalHost(), "s-usc1c-nss-204.quorvaneio.com");
    // Kept under the configured host, not the new one.
    EXPECT_EQ(defaults->stringForKey("quorvane:host:almavel-pa.quorvaneio.com"), "s-usc1c-nss-204.quorvaneio.com");
    ASSERT_TRUE(defaults->synchronize());
    ns::UserDefaults reader(defaults->domain(), sandbox.sandbox());
    EXPECT_EQ(reader.stringForKey("quorvane:host:almavel-pa.quorvaneio.com"), "s-usc1c-nss-204.quorvaneio.com");

    auto second = std::make_shared<FRepoInfo>("almavel-pa.quorvaneio.com", true, "almavel-pa");
    EXPECT_EQ(second->internalHost(), "s-usc1c-nss-204.quorvaneio.com");
    EXPECT_EQ(second->connectionURL(), "wss://s-usc1c-nss-204.quorvaneio.com/.ws?v=5&ns=almavel-pa");
    // Another location is not affected.
    EXPECT_EQ(FRepoInfo("otra.quorvaneio.com", true, "otra").internalHost(), "otra.quorvaneio.com");

    second->clearInternalHostCache();
    EXPECT_EQ(second->internalHost(), "almavel-pa.quorvaneio.com");
    EXPECT_FALSE(defaults->stringForKey("quorvane:host:almavel-pa.quorvaneio.com"));
    EXPECT_EQ(FRepoInfo("almavel-pa.quorvaneio.com", true, "almavel-pa").internalHost(), "almavel-pa.quorvaneio.com");

    // Setting the host already in use writes nothing.
    second->setInternalHost("almavel-pa.quorvaneio.com");
    EXPECT_FALSE(defaults->stringForKey("quorvane:host:almavel-pa.quorvaneio.com"));
}

TEST(RepoInfoTest, ConnectionURLsAndHostKinds) {
    ns::testing::TempSandbox sandbox;
    auto secure = FUtilities::parseUrl("https://Demo.quorvaneio.com").repoInfo;
    EXPECT_EQ(secure->connectionURL(), "wss://demo.quorvaneio.com/.ws?v=5&ns=demo");
    EXPECT_EQ(secure->connectionURLWithLastSessionID("sess-42"),
              "wss://demo.quorvaneio.com/.ws?v=5&ns=demo&ls=sess-42");
    EXPECT_EQ(secure->description(), "https://demo.quorvaneio.com");
    EXPECT_FALSE(secure->isDemoHost());
    EXPECT_FALSE(secure->isCustomHost());

    auto plain = FUtilities::parseUrl("http://demo.ns.localhost:9000").repoInfo;
    EXPECT_FALSE(plain->secure());
    EXPECT_EQ(plain->connectionURL(), "ws://demo.ns.localhost:9000/.ws?v=5&ns=demo");
    EXPECT_EQ(plain->description(), "http://demo.ns.localhost:9000");
    EXPECT_TRUE(plain->isCustomHost());

    EXPECT_TRUE(FRepoInfo("x.quorvaneio-demo.com", true, "x").isDemoHost());
    EXPECT_FALSE(FRepoInfo("x.quorvaneio-demo.com", true, "x").isCustomHost());
}

TEST(WorkerQueueTest, OneSerialQueueAndTheNoopProviderAnswersOnIt) {
    auto queue = FWorkerQueue::sharedQueue();
    EXPECT_EQ(queue->label(), "QuorvaneWorker");
    EXPECT_EQ(queue->kind(), ns::DispatchQueue::Kind::Serial);
    EXPECT_EQ(FWorkerQueue::sharedQueue(), queue);

    QRVNoopAuthTokenProvider provider;
    for (bool force : {false, true}) {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false, onWorker = false, hasToken = true;
        ns::ErrorRef error = ns::Error::make("x", 1);
        provider.fetchTokenForcingRefresh(force, [&](std::optional<std::string> token, ns::ErrorRef e) {
            std::lock_guard lock(mutex);
            onWorker = queue->isCurrent();
            hasToken = token.has_value();
            error = e;
            done = true;
            cv.notify_all();
        });
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; }));
        EXPECT_TRUE(onWorker);
        EXPECT_FALSE(hasToken);
        EXPECT_EQ(error, nullptr);
    }
}

TEST(WorkerQueueTest, VersionTexts) {
    EXPECT_EQ(FDatabaseVersion::sdkVersion(), "4.0.0");
    const std::string build = FDatabaseVersion::buildVersion();
    EXPECT_TRUE(std::regex_match(build, std::regex(R"(4\.0\.0_[A-Z][a-z]{2} [ 123][0-9] [0-9]{4})"))) << build;
}

}  // namespace
