// The first open waits for its screen from the layer that knows the
// screens, and whatever the engine would write meanwhile waits behind it;
// the app leaving first writes it with the screen shown then, and a first
// launch that ends anywhere around it leaves exactly one first open.

#include <sqlite3.h>

#include <mutex>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAUtilities.h"
#include "lifecycle_test_support.h"
#include "platform/application.h"
#include "platform/file_manager.h"

namespace {

using Screen = QRVAObjectParameters;
using Deliver = std::function<void(QRVAObjectParameters)>;

const Screen kCart{{"_sc", ns::Value("Cart")}, {"_si", ns::Value(int64_t(7))}};
const Screen kHome{{"_sc", ns::Value("Home")}, {"_si", ns::Value(int64_t(3))}};

class FirstOpenScreenTest : public lifecycletest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // The screens' layer: it answers at once when the test gave it a
        // screen to answer with, else later, when the test says so.
        QRVAAutomaticEvents::setFirstScreenSource([this](Deliver deliver) {
            std::unique_lock lock(sourceMutex_);
            if (!answerAtOnce_) {
                later_ = std::move(deliver);
                return;
            }
            const Screen screen = *answerAtOnce_;
            lock.unlock();
            deliver(screen);
        });
    }
    void TearDown() override {
        QRVAAutomaticEvents::setFirstScreenSource({});
        EngineTest::TearDown();
    }
    // A first start: over a new store, with no first open counted yet.
    // The keychain, which outlives reinstalls, may count earlier first opens.
    void firstStart(std::optional<Screen> atOnce, const char* earlierFirstOpens = nullptr) {
        if (engine_) drain();
        engine_.reset();
        auto& files = ns::FileManager::defaultManager();
        if (files.fileExists(QRVAFilePathForDatabaseName(kQRVADatabaseFileName))) {
            ASSERT_TRUE(QRVADeleteDatabaseFile(kQRVADatabaseFileName, nullptr));
        }
        QRVAKeychainWrapper::deleteKeychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey, "com.almavel.app");
        if (earlierFirstOpens) {
            QRVAKeychainWrapper::upsertKeychainValue(earlierFirstOpens, kQRVAMeasurementFirstOpenCounterKey,
                                                     "com.almavel.app");
        }
        QRVAPersistedConfig::sharedInstance()->clearValues();
        launch(std::move(atOnce));
    }
    // A new process's start over what the last one left: whatever the last
    // one still held in memory (a first open waiting for its screen) is gone.
    void launch(std::optional<Screen> atOnce) {
        {
            std::lock_guard lock(sourceMutex_);
            answerAtOnce_ = std::move(atOnce);
            later_ = nullptr;
        }
        takeHeard();
        start();
    }
    // From now on the store's connection commits nothing, as if the process
    // had ended just before its next commit.
    void endBeforeTheNextCommit() {
        onWorker([&] {
            sqlite3_commit_hook(engine_->database()->sqliteStore()->sqliteHandle(), [](void*) { return 1; }, nullptr);
        });
    }
    int storedCount(const std::string& name) {
        const auto names = storedNames();
        return int(std::count(names.begin(), names.end(), name));
    }
    static std::optional<std::string> counter() {
        return QRVAKeychainWrapper::keychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey, "com.almavel.app");
    }
    static void post(const char* notification) {
        ns::NotificationCenter::defaultCenter().post(notification, ns::Application::shared());
    }
    // The stored events' names as another connection reads the file, not
    // waiting for the worker queue.
    static std::vector<std::string> namesOnDisk() {
        std::vector<std::string> names;
        sqlite3* db = nullptr;
        const std::string path = QRVAFilePathForDatabaseName(kQRVADatabaseFileName);
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                db, "SELECT name FROM raw_events ORDER BY rowid",
                [](void* out, int, char** values, char**) {
                    static_cast<std::vector<std::string>*>(out)->push_back(values[0] ? values[0] : "");
                    return 0;
                },
                &names, nullptr);
        }
        sqlite3_close(db);
        return names;
    }
    // The screen the source answers with later; false when nobody asked.
    bool answerLater(const Screen& screen) {
        Deliver deliver;
        {
            std::lock_guard lock(sourceMutex_);
            deliver = std::exchange(later_, nullptr);
        }
        if (!deliver) return false;
        deliver(screen);
        drain();
        return true;
    }
    // The stored events' names in the order written.
    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        onWorker([&] {
            auto rows = engine_->database()->sqliteStore()->recordsForQuery(
                "SELECT name FROM raw_events ORDER BY rowid", {}, nullptr);
            for (const auto& row : rows.value_or(std::vector<QRVASqliteRow>{})) {
                names.push_back(QRVARowValue(row, "name").asString());
            }
        });
        return names;
    }
    // The events the listeners heard, as "name key=value ...".
    std::vector<std::string> heard() {
        std::vector<std::string> texts;
        for (const auto& event : takeHeard()) {
            std::string text = event.name();
            for (const auto& [key, value] : event.parameters()) {
                if (key != "_o" && key != "_c") text += " " + key + "=" + value.description();
            }
            texts.push_back(text);
        }
        return texts;
    }
    void logAppEvent(const char* name) {
        engine_->logEvent(QRVAEvent::initWithOrigin("app", true, name, loadTime_ + 1, 0, QRVAObjectParameters{}));
    }

    std::mutex sourceMutex_;
    std::optional<Screen> answerAtOnce_;
    Deliver later_;
};

}  // namespace

TEST_F(FirstOpenScreenTest, TheFirstOpenIsWrittenWithItsScreenAndLeadsWhatCameBeforeIt) {
    const std::vector<std::string> onCart{"_f _pfo=0 _uwa=1 _sc=Cart _si=7", "_e _et=1 _sc=Cart _si=7"};
    const std::vector<std::string> onHome{"_f _pfo=0 _uwa=1 _sc=Home _si=3", "_e _et=1 _sc=Home _si=3"};
    struct Case {
        const char* what;
        std::optional<Screen> atOnce;
        std::function<void()> meanwhile;
        Screen later;
        std::vector<std::string> storedBeforeTheScreen;
        std::vector<std::string> heard;
        std::vector<std::string> stored;
    };
    const std::vector<Case> cases{
        {"the screen is known at once", kCart, [&] { logAppEvent("shop"); }, {}, {"_f", "_e", "shop"}, onCart,
         {"_f", "_e", "shop"}},
        {"the app logs before the screen comes", std::nullopt, [&] { logAppEvent("shop"); }, kCart, {}, onCart,
         {"_f", "_e", "shop"}},
        // What waited was logged while the engine was on; the first open
        // takes the screen the facade shows then.
        {"analytics is switched off before the screen comes", std::nullopt,
         [&] {
             screen_ = kHome;
             logAppEvent("shop");
             engine_->setEnabled(false);
         },
         kCart, {"_f", "_e", "shop"}, onHome, {"_f", "_e", "shop"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        screen_ = {};
        firstStart(c.atOnce);
        c.meanwhile();
        drain();
        EXPECT_EQ(storedNames(), c.storedBeforeTheScreen);
        EXPECT_EQ(answerLater(c.later), !c.atOnce) << "asked for the screen";
        EXPECT_EQ(heard(), c.heard);
        EXPECT_EQ(storedNames(), c.stored);
    }
}

TEST_F(FirstOpenScreenTest, AFirstOpenStillWaitingIsWrittenWithTheScreenShownWhenTheAppResignsOrEnds) {
    const std::vector<std::string> onHome{"_f _pfo=0 _uwa=1 _sc=Home _si=3", "_e _et=1 _sc=Home _si=3"};
    const std::vector<std::string> written{"_f", "_e", "shop"};
    for (const char* leaving : {ns::kUIApplicationWillResignActiveNotification, ns::kUIApplicationWillTerminateNotification}) {
        SCOPED_TRACE(leaving);
        const bool ending = std::string(leaving) == ns::kUIApplicationWillTerminateNotification;
        screen_ = {};
        firstStart(std::nullopt);
        logAppEvent("shop");
        drain();
        EXPECT_TRUE(namesOnDisk().empty());
        screen_ = kHome;
        post(leaving);
        // The end waits for them: they are on disk when its notification
        // returns, before the process goes.
        if (ending) {
            EXPECT_EQ(namesOnDisk(), written);
        }
        drain();
        EXPECT_EQ(heard(), onHome);
        EXPECT_EQ(storedNames(), written);
        // The screen that comes later finds nothing waiting.
        EXPECT_TRUE(answerLater(kCart));
        EXPECT_TRUE(heard().empty());
        EXPECT_EQ(storedNames(), written);
    }
}

TEST_F(FirstOpenScreenTest, AFirstLaunchEndedAnywhereAroundItsFirstOpenLeavesExactlyOneFirstOpen) {
    // What the first launch does last before its process is gone.
    const auto killedAfterTheCommitBeforeTheCount = [&](const char* earlier, int64_t meant) {
        return [&, earlier, meant] {
            answerLater(kCart);
            // The keychain and the persisted state as they were between the
            // commit and the count.
            QRVAKeychainWrapper::deleteKeychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey, "com.almavel.app");
            if (earlier) {
                QRVAKeychainWrapper::upsertKeychainValue(earlier, kQRVAMeasurementFirstOpenCounterKey, "com.almavel.app");
            }
            QRVAPersistedConfig::sharedInstance()->setFirstOpenCountToStore(meant);
        };
    };
    struct Point {
        const char* what;
        const char* earlierFirstOpens;  // in the keychain before the first launch (a reinstall)
        std::function<void()> end;
        std::string firstOpen;  // the one "_f" heard over the launches
        const char* counted;    // the keychain's count after them
    };
    const std::vector<Point> points{
        {"killed while the first open waits for its screen", nullptr, [] {}, "_f _pfo=0 _uwa=1 _sc=Home _si=3", "1"},
        {"killed just before the first open's commit", nullptr,
         [&] {
             endBeforeTheNextCommit();
             answerLater(kCart);
         },
         "_f _pfo=0 _uwa=1 _sc=Home _si=3", "1"},
        {"killed after the first open's commit, before the keychain counted it", nullptr,
         killedAfterTheCommitBeforeTheCount(nullptr, 1), "_f _pfo=0 _uwa=1 _sc=Cart _si=7", "1"},
        {"a reinstall killed after the first open's commit, before the keychain counted it", "3",
         killedAfterTheCommitBeforeTheCount("3", 4), "_f _pfo=3 _uwa=0 _sc=Cart _si=7", "4"},
        {"killed once the first open is stored and counted", nullptr, [&] { answerLater(kCart); },
         "_f _pfo=0 _uwa=1 _sc=Cart _si=7", "1"},
        {"ended normally before the first screen came", nullptr,
         [&] {
             screen_ = kCart;
             post(ns::kUIApplicationWillTerminateNotification);
         },
         "_f _pfo=0 _uwa=1 _sc=Cart _si=7", "1"},
        {"killed after resigning before the first screen came", nullptr,
         [&] {
             screen_ = kCart;
             post(ns::kUIApplicationWillResignActiveNotification);
         },
         "_f _pfo=0 _uwa=1 _sc=Cart _si=7", "1"},
    };
    for (const auto& point : points) {
        SCOPED_TRACE(point.what);
        screen_ = {};
        std::vector<std::string> firstOpens;
        const auto listen = [&] {
            for (const auto& text : heard()) {
                if (text.rfind("_f ", 0) == 0) firstOpens.push_back(text);
            }
        };
        firstStart(std::nullopt, point.earlierFirstOpens);
        point.end();
        drain();
        listen();
        // Two more launches, each with its screen at once.
        for (int launches = 0; launches < 2; ++launches) {
            launch(kHome);
            listen();
        }
        EXPECT_EQ(firstOpens, std::vector<std::string>{point.firstOpen});
        EXPECT_EQ(storedCount("_f"), 1);
        EXPECT_EQ(storedCount("_e"), 1);
        EXPECT_EQ(counter(), point.counted);
        std::optional<QRVAUserAttribute> firstOpenTime;
        onWorker([&] { firstOpenTime = engine_->database()->userAttributeWithName("_fot", nullptr); });
        EXPECT_TRUE(firstOpenTime);
    }
}
