// The events the engine reports by itself (see QRVAAutomaticEvents.h).

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <utility>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAEventWriter.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/guarded.h"
#include "platform/runtime.h"
#include "platform/user_activity.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kAutoOrigin = "auto";
constexpr const char* kFirstOpenTimeProperty = "_fot";
constexpr int64_t kMillisecondsPerHour = 3600000;
constexpr double kFreshInstallSpread = 86400;
constexpr double kFreshInstallAge = 2592000;

// Campaign query keys and the parameters they become, in this order.
constexpr std::pair<const char*, const char*> kCampaignParameters[] = {
    {"aclid", "aclid"},   {"anid", "anid"},   {"utm_campaign", "campaign"}, {"utm_content", "content"},
    {"cp1", "cp1"},       {"oclid", "oclid"}, {"utm_medium", "medium"},     {"utm_source", "source"},
    {"utm_term", "term"},
};

std::string nonEmptyString(const ns::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? found->second.asString() : "";
}

std::string mainBundleIdentifier() { return ns::Bundle::mainBundle()->bundleIdentifier(); }

// The first-open count kept in the keychain; nullopt when absent or not a
// number.
std::optional<int64_t> firstOpenCount() {
    auto stored = QRVAKeychainWrapper::keychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey,
                                                                    mainBundleIdentifier());
    if (!stored || stored->empty()) return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(stored->c_str(), &end, 10);
    if (end == stored->c_str() || *end != '\0') return std::nullopt;
    return value;
}

double creationDate(const std::optional<ns::FileAttributes>& attributes) {
    return attributes ? attributes->creationDate.secondsSince1970 : NAN;
}

// Installed at load and read by worker blocks at exit: never destroyed.
ns::Guarded<QRVAAutomaticEvents::FirstScreenSource>& firstScreenSource() {
    static auto& source = *new ns::Guarded<QRVAAutomaticEvents::FirstScreenSource>();
    return source;
}

}  // namespace

// MARK: - Campaign links

void QRVAAutomaticEvents::handleOpenURL(const ns::URL& url, std::optional<int64_t> clickTimestamp) {
    if (url.absoluteString().empty()) return;
    handleDeepLink(url, clickTimestamp);
}

void QRVAAutomaticEvents::handleDeepLink(const ns::URL& url, std::optional<int64_t> clickTimestamp) {
    const ns::Dictionary query = qrva_dictionaryWithHttpArgumentsString(url.query().value_or(""));
    if (query.empty()) {
        monitor()->logWithLevel(7, 23000, "Deep Link Web URL query is empty");
        return;
    }
    if (!isValidCampaignURLParamDictionary(query)) {
        monitor()->logWithLevel(7, 23001, "Deep Link does not contain valid required params. URL params",
                                ns::Value(query));
        return;
    }
    QRVAObjectParameters parameters;
    for (const auto& [key, parameter] : kCampaignParameters) {
        std::string value = nonEmptyString(query, key);
        if (!value.empty()) parameters.set(parameter, ns::Value(std::move(value)));
    }
    if (clickTimestamp) parameters.set("click_timestamp", ns::Value(*clickTimestamp));
    QRVALogInternalEvent(kAutoOrigin, "_cmp", parameters);
}

bool QRVAAutomaticEvents::isValidCampaignURLParamDictionary(const ns::Dictionary& parameters) const {
    for (const char* key : {"utm_campaign", "oclid", "utm_medium", "utm_source"}) {
        if (!nonEmptyString(parameters, key).empty()) return true;
    }
    return false;
}

std::optional<ns::URL> QRVAAutomaticEvents::deepLinkFromUserActivity(const ns::ObjectPtr& activity) {
    if (!activity) {
        monitor()->logWithLevel(7, 23003, "User Activity is empty. User Activity", ns::Value());
        return std::nullopt;
    }
    if (std::atoi(QRVAAEU::systemVersion().c_str()) < 9) {
        monitor()->logWithLevel(7, 23004, "Deep Link is only supported on iOS 9 and above");
        return std::nullopt;
    }
    auto* cls = ns::Runtime::lookUpClass("NSUserActivity");
    if (!cls || !cls->instanceRespondsTo("webpageURL") || !cls->instanceRespondsTo("activityType")) {
        monitor()->logWithLevel(7, 23005, "NSUserActivity is not supported");
        return std::nullopt;
    }
    // Only an activity of that class answers them; anything else has no link.
    if (activity->className() == "NSUserActivity") {
        ns::Value type = ns::Runtime::send(*activity, "activityType");
        ns::Value page = ns::Runtime::send(*activity, "webpageURL");
        if (type == ns::Value(ns::kNSUserActivityTypeBrowsingWeb) && page.isString() && !page.asString().empty()) {
            if (auto url = ns::URL::parse(page.asString())) return url;
        }
    }
    monitor()->logWithLevel(7, 23006, "User Activity does not have Deep Link. User Activity", ns::Value(activity));
    return std::nullopt;
}

void QRVAAutomaticEvents::maybeReportStoredCampaignEventWithClickTimestamp(int64_t clickTimestamp) {
    auto defaults = ns::UserDefaults::standard();
    auto link = defaults->stringForKey(kQRVAMeasurementDeepLinkKey);
    if (!link || link->empty()) return;
    // Removed first: a link that is no campaign is not looked at again.
    defaults->removeObjectForKey(kQRVAMeasurementDeepLinkKey);
    if (auto url = ns::URL::parse(*link)) handleOpenURL(*url, clickTimestamp);
}

// MARK: - First open

// A store holds "_fot" only together with "_f" and "_e" (one commit), so
// "_fot" tells whether this store's first open was reported. Nothing the
// decision leaves elsewhere (the first-open time, the count meant for the
// keychain) is read as a report: a launch that ends before the commit
// leaves the whole first open to the next one.
void QRVAAutomaticEvents::reportFirstOpenOnWorkerQueue() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    ns::ErrorRef error;
    auto reported = database()->containsUserAttributeWithName(kFirstOpenTimeProperty, &error);
    if (!reported) {
        monitor()->logWithLevel(1, 23019, "Failed to query first open property. Error", QRVAErrorContext(error));
        return;
    }
    const int64_t previous = std::max<int64_t>(0, firstOpenCount().value_or(0));
    if (*reported) {
        keepFirstOpenCounted(previous);
        return;
    }
    const auto firstOpenMillis = int64_t(engine_.initTimestamp() * 1000);
    auto firstOpenTime = QRVAUserAttribute::initWithOrigin(
        kAutoOrigin, kFirstOpenTimeProperty, QRVAValue(timestampMillisRoundedUpToNextHour(firstOpenMillis)),
        engine_.initTimestamp());
    if (!firstOpenTime) {
        monitor()->logWithLevel(1, 23021, "Failed to set first open property");
        return;
    }
    persistedConfig()->setFirstOpenTimestampMilliseconds(firstOpenMillis);
    persistedConfig()->setFirstOpenCountToStore(previous < std::numeric_limits<int64_t>::max() ? previous + 1 : previous);
    waitForFirstScreen(std::move(*firstOpenTime), previous, firstOpenMillis);
}

// The first open is stored; a launch that ended between its commit and the
// keychain's count left the count it meant to store.
void QRVAAutomaticEvents::keepFirstOpenCounted(int64_t stored) {
    const int64_t meant = persistedConfig()->firstOpenCountToStore();
    const int64_t wanted = std::max<int64_t>(1, meant);
    if (stored < wanted) {
        QRVAKeychainWrapper::upsertKeychainValue(std::to_string(wanted), kQRVAMeasurementFirstOpenCounterKey,
                                                 mainBundleIdentifier());
    }
    if (meant != 0) persistedConfig()->setFirstOpenCountToStore(0);
}

void QRVAAutomaticEvents::setFirstScreenSource(FirstScreenSource source) { firstScreenSource().set(std::move(source)); }

// The parameters are computed now, as they were when the start decided the
// first open; only the screen is left to come.
void QRVAAutomaticEvents::waitForFirstScreen(QRVAUserAttribute firstOpenTime, int64_t previousFirstOpens,
                                             int64_t firstOpenMillis) {
    QRVAObjectParameters firstOpen;
    if (engine_.previousVLPAppID() && !engine_.previousVLPAppID()->empty()) firstOpen.set("_pvlp", ns::Value(*engine_.previousVLPAppID()));
    firstOpen.set("_pfo", ns::Value(previousFirstOpens));
    firstOpen.set("_uwa", ns::Value(int64_t(isAppUpdateWithAnalytics() ? 1 : 0)));
    waiting_ = WaitingFirstOpen{std::move(firstOpen), std::move(firstOpenTime), firstOpenMillis, {}};
    mayBeWaiting_ = true;
    const FirstScreenSource source = firstScreenSource().get();
    if (!source) {
        writeWaitingFirstOpen(QRVAFacadeScreenParameters());
        return;
    }
    // A screen known at once is written within the start, as if nothing
    // waited; one known later comes to the worker queue.
    source([weak = weakEngine(), scheduler = scheduler()](QRVAObjectParameters screen) {
        if (scheduler->workerQueue()->isCurrent()) {
            if (auto engine = weak.lock()) engine->automaticEvents().writeWaitingFirstOpen(screen);
            return;
        }
        scheduler->scheduleOnWorkerQueueBlockID("QRVAAutomaticEvents:firstScreen", [weak, screen] {
            if (auto engine = weak.lock()) engine->automaticEvents().writeWaitingFirstOpen(screen);
        });
    });
}

void QRVAAutomaticEvents::holdBehindFirstOpen(std::function<void()> write) {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!waiting_) {
        write();
        return;
    }
    waiting_->held.push_back(std::move(write));
}

void QRVAAutomaticEvents::writeWaitingFirstOpen(const QRVAObjectParameters& screen) {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!waiting_) return;
    // Taken out first: the events below must not wait behind themselves.
    WaitingFirstOpen waiting = std::move(*std::exchange(waiting_, std::nullopt));
    mayBeWaiting_ = false;
    writeFirstOpen(waiting, screen);
    for (auto& write : waiting.held) write();
}

void QRVAAutomaticEvents::writeWaitingFirstOpenWithCurrentScreen() {
    writeWaitingFirstOpen(QRVAFacadeScreenParameters());
}

// "_fot", "_f" and "_e" in one commit, the keychain's count after it: a
// launch that ends before the commit leaves no trace of the first open, one
// that ends after it has reported it for good (the next start finishes the
// count, keepFirstOpenCounted).
void QRVAAutomaticEvents::writeFirstOpen(const WaitingFirstOpen& waiting, const QRVAObjectParameters& screen) {
    const QRVAObjectParameters engagement{{"_et", ns::Value(int64_t(1))}};
    std::vector<QRVAEvent> events;
    for (const auto& [name, parameters] : {std::pair{"_f", &waiting.firstOpen}, std::pair{"_e", &engagement}}) {
        auto event = QRVAEvent::initWithOrigin(kAutoOrigin, false, name, engine_.initTimestamp(), 0, *parameters);
        if (!event) continue;
        if (!screen.empty()) event->addScreenParameters(screen);
        events.push_back(std::move(*event));
    }
    const std::vector<QRVAEvent> heard = events;
    const bool committed = engine_.eventWriter().writeEventsTogether(
        std::move(events), [&] { return engine_.setUserAttributeInTransaction(waiting.firstOpenTime); });
    if (!committed) {
        monitor()->logWithLevel(1, 23020, "Failed to store the first open. The next start reports it");
        return;
    }
    persistedConfig()->setFirstOpenCountToStore(0);
    for (const QRVAEvent& event : heard) QRVAFacadeNotifyEventListeners(event);
    // Through the facade: it comes back behind what waited for the first open.
    maybeReportStoredCampaignEventWithClickTimestamp(waiting.firstOpenMillis - 1);
}

int64_t QRVAAutomaticEvents::timestampMillisRoundedUpToNextHour(int64_t milliseconds) {
    return (milliseconds / kMillisecondsPerHour) * kMillisecondsPerHour + kMillisecondsPerHour;
}

std::optional<ns::FileAttributes> QRVAAutomaticEvents::fileAttributesForPath(const std::string& path) const {
    if (path.empty()) return std::nullopt;
    ns::ErrorRef error;
    auto attributes = ns::FileManager::defaultManager().attributesOfItem(path, &error);
    if (!attributes) {
        monitor()->logWithLevel(5, 23022, "Unable to read attributes of path. Path, error", ns::Value(path),
                                QRVAErrorContext(error));
    }
    return attributes;
}

// A date that cannot be read makes the install look like an update: only a
// provably fresh one is taken for a first install.
bool QRVAAutomaticEvents::isAppUpdateWithAnalytics() {
    const auto& files = ns::FileManager::defaultManager();
    const std::string libraryFolder = files.pathForDirectory(ns::SearchPathDirectory::Library);
    const double library = creationDate(fileAttributesForPath(libraryFolder));
    const std::string bundleFolder = std::filesystem::path(ns::Bundle::mainBundle()->bundlePath()).parent_path();
    const double bundle = creationDate(fileAttributesForPath(bundleFolder));
    const double now = ns::Clock::nowSeconds();
    const bool looksFresh = std::fabs(library - bundle) < kFreshInstallSpread &&
                            std::fabs(now - library) < kFreshInstallAge && std::fabs(now - bundle) < kFreshInstallAge;
    const auto counter = QRVAKeychainWrapper::keychainValueWithIdentifier(kQRVAMeasurementFirstOpenCounterKey,
                                                                         mainBundleIdentifier());
    const bool noEarlierTrace = (!engine_.previousVLPAppID() || engine_.previousVLPAppID()->empty()) && (!counter || counter->empty());
    return !looksFresh && noEarlierTrace;
}

// The keychain outlives reinstalls, so the count of first opens stored for
// this bundle tells a reinstall from a first install.
void QRVAAutomaticEvents::countFirstOpen() {
    const int64_t count = std::max<int64_t>(0, firstOpenCount().value_or(0));
    QRVAKeychainWrapper::upsertKeychainValue(
        std::to_string(count < std::numeric_limits<int64_t>::max() ? count + 1 : count),
        kQRVAMeasurementFirstOpenCounterKey, mainBundleIdentifier());
}

// MARK: - Updates

void QRVAAutomaticEvents::reportAppUpdateOnWorkerQueue() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    const auto current = identity()->appVersion();
    const auto stored = persistedConfig()->appVersion();
    if (stored == current) return;
    persistedConfig()->setAppVersion(current);
    reportUpdate("_au", "_pv", stored);
}

void QRVAAutomaticEvents::reportOSUpdateOnWorkerQueue() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    const std::optional<std::string> current = QRVAEnvironmentInfo::sharedInstance()->deviceOSVersion();
    const auto stored = persistedConfig()->osVersion();
    if (stored == current) return;
    persistedConfig()->setOSVersion(current);
    reportUpdate("_ou", "_po", stored);
}

// A first start only stores the version.
void QRVAAutomaticEvents::reportUpdate(const char* name, const char* parameter, const std::optional<std::string>& stored) {
    if (!stored || stored->empty()) return;
    QRVALogInternalEvent(kAutoOrigin, name, QRVAObjectParameters{{parameter, ns::Value(*stored)}});
}
