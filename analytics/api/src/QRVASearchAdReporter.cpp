#include "analytics/QRVASearchAdReporter.h"

#include <cmath>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAValue.h"
#include "analytics/QRVAnalytics.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/runtime.h"

namespace {

constexpr const char* kClientClassName = "ADClient";
constexpr const char* kRequestAttributionDetails = "requestAttributionDetailsWithBlock:";
constexpr const char* kLookupAdConversionDetails = "lookupAdConversionDetails:";
constexpr const char* kDetermineAppInstallationAttribution =
    "determineAppInstallationAttributionWithCompletionHandler:";
// The campaign the attribution service answers with when it has nothing
// real to say (on test devices, and before it is ready).
constexpr const char* kPlaceholderCampaignID = "1234567890";
constexpr const char* kPlaceholderCampaignName = "CampaignName";

struct ClientLookUp {
    std::mutex mutex;
    bool done = false;
    ns::ObjectPtr client;
};

ClientLookUp& clientLookUp() {
    static auto* lookUp = new ClientLookUp();
    return *lookUp;
}

ns::Value argument(const std::vector<ns::Value>& args, size_t index) {
    return index < args.size() ? args[index] : ns::Value();
}

std::string text(const ns::Dictionary& details, const char* key) {
    auto it = details.find(key);
    return it != details.end() && it->second.isString() ? it->second.asString() : std::string();
}

bool flag(const ns::Dictionary& details, const char* key) {
    auto it = details.find(key);
    return it != details.end() && it->second.boolValue();
}

}  // namespace

// MARK: - Creation

std::shared_ptr<QRVASearchAdReporter> QRVASearchAdReporter::initWithWorkerQueue(
    ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
    auto monitor = QRVAMeasurementMonitor();
    if (!workerQueue) {
        monitor->logWithLevel(1, 32000, "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        monitor->logWithLevel(1, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() > kQRVASearchAdMaxRetryCount - 1) return nullptr;
    if (!persistedConfig->searchAdCampaignValue().isNull()) {
        monitor->logWithLevel(
            7, 32002, "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
        return nullptr;
    }
    return std::make_shared<QRVASearchAdReporter>(std::move(workerQueue), std::move(persistedConfig));
}

QRVASearchAdReporter::QRVASearchAdReporter(ns::DispatchQueuePtr workerQueue,
                                           std::shared_ptr<QRVAPersistedConfig> persistedConfig)
    : searchAdReporterAlarm_(QRVAAlarm::initWithDispatchQueue(workerQueue, kQRVASearchAdReporterAlarmName)),
      persistedConfig_(std::move(persistedConfig)),
      workerQueue_(std::move(workerQueue)) {}

// The alarm belongs to the worker queue; the last reference may go on
// another thread (a completion that just let go of it).
QRVASearchAdReporter::~QRVASearchAdReporter() {
    auto alarm = std::move(searchAdReporterAlarm_);
    if (!alarm) return;
    if (workerQueue_->isCurrent()) {
        alarm->cancel();
    } else {
        workerQueue_->async([alarm] { alarm->cancel(); });
    }
}

void QRVASearchAdReporter::setSearchAdReporterEnabled(bool enabled) { searchAdReporterEnabled_ = enabled; }

ns::ObjectPtr QRVASearchAdReporter::adClientInstance() {
    auto& lookUp = clientLookUp();
    std::lock_guard lock(lookUp.mutex);
    if (!lookUp.done) {
        lookUp.done = true;
        ns::Class* clientClass = ns::Runtime::lookUpClass(kClientClassName);
        if (clientClass && clientClass->classRespondsTo("sharedClient")) {
            lookUp.client = ns::Runtime::sendClass(kClientClassName, "sharedClient").asObjectOf<ns::Object>();
        }
    }
    return lookUp.client;
}

void QRVASearchAdReporter::resetForTesting() {
    auto& lookUp = clientLookUp();
    std::lock_guard lock(lookUp.mutex);
    lookUp.done = false;
    lookUp.client = nullptr;
}

// MARK: - Scheduling

void QRVASearchAdReporter::start() {
    ns::dispatchAssertQueue(workerQueue_);
    if (!adClientInstance()) {
        QRVAMeasurementMonitor()->logWithLevel(
            4, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
        return;
    }
    scheduleSearchAdReport();
}

void QRVASearchAdReporter::scheduleSearchAdReport() {
    ns::dispatchAssertQueue(workerQueue_);
    auto monitor = QRVAMeasurementMonitor();
    if (!isSearchAdReporterEnabled()) {
        if (searchAdReporterAlarm_) searchAdReporterAlarm_->cancel();
        return;
    }
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
        monitor->logWithLevel(
            7, 32004, "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
        cancelScheduling();
        return;
    }
    if (searchAdReporterAlarm_ && searchAdReporterAlarm_->scheduledTimestamp()) {
        monitor->logWithLevel(4, 32005, "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() >= kQRVASearchAdMaxRetryCount) {
        monitor->logWithLevel(
            5, 32007, "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
        cancelScheduling();
        return;
    }
    if (!searchAdReporterAlarm_) {
        monitor->logWithLevel(4, 32013, "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    monitor->logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
    // Never looked up (time 0): the delay is far below zero and the look-up
    // runs at once; otherwise one day after the previous one.
    const double since = std::fabs(ns::Clock::nowSeconds() - persistedConfig_->lastSearchAdLookUpTimestamp());
    std::weak_ptr<QRVASearchAdReporter> weak = weak_from_this();
    searchAdReporterAlarm_->runAfterDelay(kQRVASearchAdLookUpInterval - since, [weak] {
        if (auto reporter = weak.lock()) reporter->maybeLogIAdCampaignEvent();
    });
}

void QRVASearchAdReporter::cancelScheduling() {
    ns::dispatchAssertQueue(workerQueue_);
    if (searchAdReporterAlarm_) searchAdReporterAlarm_->cancel();
    searchAdReporterAlarm_ = nullptr;
}

// MARK: - Look-up

void QRVASearchAdReporter::maybeLogIAdCampaignEvent() {
    ns::dispatchAssertQueue(workerQueue_);
    if (!adClientInstance()) return;
    persistedConfig_->setLastSearchAdLookUpTimestamp(ns::Clock::nowSeconds());
    lookUpAdConversionDetails();
    // Armed whatever the answer brings; an answer that settles it cancels.
    scheduleSearchAdReport();
}

void QRVASearchAdReporter::lookUpAdConversionDetails() {
    ns::dispatchAssertQueue(workerQueue_);
    persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
    ns::ObjectPtr client = adClientInstance();
    ns::Class* clientClass = client ? ns::Runtime::lookUpClass(client->className()) : nullptr;
    auto answers = [clientClass](const char* sel) { return clientClass && clientClass->instanceMethod(sel); };
    if (answers(kRequestAttributionDetails)) {
        auto completion = completionOnWorkerQueue([](QRVASearchAdReporter& self, const std::vector<ns::Value>& args) {
            self.handleAttributionDetails(argument(args, 0), argument(args, 1));
        });
        ns::Runtime::send(*client, kRequestAttributionDetails, {ns::Value(completion)});
    } else if (answers(kLookupAdConversionDetails)) {
        auto completion = completionOnWorkerQueue([](QRVASearchAdReporter& self, const std::vector<ns::Value>& args) {
            self.logCampaignEventWithSearchAdCampaign(!argument(args, 1).isNull(), "", "");
            self.cancelScheduling();
        });
        ns::Runtime::send(*client, kLookupAdConversionDetails, {ns::Value(completion)});
    } else if (answers(kDetermineAppInstallationAttribution)) {
        auto completion = completionOnWorkerQueue([](QRVASearchAdReporter& self, const std::vector<ns::Value>& args) {
            self.logCampaignEventWithSearchAdCampaign(argument(args, 0).boolValue(), "", "");
            self.cancelScheduling();
        });
        ns::Runtime::send(*client, kDetermineAppInstallationAttribution, {ns::Value(completion)});
    }
}

// The client may answer on any thread, and the alarm may only be touched on
// the worker queue: the answer is carried there. Only the queue is held
// strongly, so a reporter gone by then is left alone.
ns::ObjectPtr QRVASearchAdReporter::completionOnWorkerQueue(
    std::function<void(QRVASearchAdReporter&, const std::vector<ns::Value>&)> answer) {
    std::weak_ptr<QRVASearchAdReporter> weak = weak_from_this();
    return ns::BlockObject::makeVoid(
        [weak, queue = workerQueue_, answer = std::move(answer)](const std::vector<ns::Value>& args) {
            queue->async([weak, answer, args] {
                if (auto reporter = weak.lock()) answer(*reporter, args);
            });
        });
}

void QRVASearchAdReporter::handleAttributionDetails(const ns::Value& details, const ns::Value& error) {
    ns::dispatchAssertQueue(workerQueue_);
    auto monitor = QRVAMeasurementMonitor();
    if (auto failure = error.asObjectOf<ns::Error>()) {
        monitor->logWithLevel(1, 32010, "Cannot send request for Search Ad campaign attribution. Error",
                              QRVAErrorContext(failure));
        scheduleSearchAdReport();
        return;
    }
    if (!details.isDictionary()) {
        monitor->logWithLevel(1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
        scheduleSearchAdReport();
        return;
    }
    // The details sit under a version key; the first entry is the answer.
    const ns::Dictionary& versions = details.asDictionary();
    const ns::Dictionary* answer = versions.empty() ? nullptr : versions.begin()->second.dictionaryOrNull();
    if (!answer || answer->empty()) {
        scheduleSearchAdReport();
        return;
    }
    if (text(*answer, "iad-campaign-id") == kPlaceholderCampaignID &&
        text(*answer, "iad-campaign-name") == kPlaceholderCampaignName) {
        monitor->logWithLevel(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    logCampaignEventWithSearchAdCampaign(flag(*answer, "iad-attribution"), text(*answer, "iad-campaign-name"),
                                         text(*answer, "iad-keyword"));
    cancelScheduling();
}

// MARK: - Recording

void QRVASearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                                                const std::string& term) {
    auto monitor = QRVAMeasurementMonitor();
    {
        std::lock_guard lock(mutex_);
        if (!persistedConfig_->searchAdCampaignValue().isNull()) {
            monitor->logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
            return;
        }
        persistedConfig_->setSearchAdCampaignValue(ns::Value(attributed));
    }
    if (!attributed) return;
    QRVAObjectParameters parameters{{"source", ns::Value("Apple")}, {"medium", ns::Value("search")}};
    if (!campaign.empty()) parameters.set("campaign", ns::Value(campaign));
    if (!term.empty()) parameters.set("term", ns::Value(term));
    const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen < 2) {
        monitor->logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
    } else {
        parameters.set("click_timestamp", ns::Value(firstOpen - 1));
    }
    QRVAnalytics::logInternalEventWithOrigin("auto", "_cmp", parameters);
}
