// The first open waits for its screen from the layer that knows the
// screens, and whatever the engine would write meanwhile waits behind it.

#include <mutex>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAUtilities.h"
#include "lifecycle_test_support.h"
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
    void firstStart(std::optional<Screen> atOnce) {
        if (engine_) drain();
        engine_.reset();
        auto& files = ns::FileManager::defaultManager();
        if (files.fileExists(QRVAFilePathForDatabaseName(kQRVADatabaseFileName))) {
            ASSERT_TRUE(QRVADeleteDatabaseFile(kQRVADatabaseFileName, nullptr));
        }
        QRVAKeychainWrapper::deleteKeychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey, "com.almavel.app");
        {
            std::lock_guard lock(sourceMutex_);
            answerAtOnce_ = std::move(atOnce);
            later_ = nullptr;
        }
        takeHeard();
        start();
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
