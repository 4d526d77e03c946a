#pragma once
// Search-ad attribution: asks the platform's advertising attribution client
// whether this installation came from a search advertisement, at most once a
// day and at most ten times in all, and reports the first answer once, as
// the automatic campaign event "_cmp" (source "Apple", medium "search", the
// campaign and keyword, and the click one millisecond before the first
// open). The answer, attributed or not, is persisted; from then on, as after
// the tenth look-up, no engine makes a reporter again.
//
// The client is reached only by the runtime class name "ADClient" (its
// `sharedClient`, looked up once per process): without it the reporter only
// says so at start and does nothing. Of its three operations the first it
// answers is used: "requestAttributionDetailsWithBlock:" (details
// dictionary, error), "lookupAdConversionDetails:" (purchase date,
// impression date) or "determineAppInstallationAttributionWithCompletionHandler:"
// (attributed flag); each takes an ns::BlockObject completion.
//
// The engine makes one reporter at its first start (through the factory
// this library installs at load) and starts it when the remote setting
// "measurement.search_ad_enabled" is on.
//
// Threads: the alarm lives on the engine's worker queue. `start` and every
// scheduling and look-up method run there (checked in Debug builds); the
// enabled flag may be read and set from any thread. The client's
// completions may arrive on any thread: they hold the reporter weakly and
// carry the answer to the worker queue, where the alarm may be touched.
// The recorded answer is checked and written under the reporter's lock, so
// two answers cannot both produce an event.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/QRVASearchAdReporting.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class QRVAAlarm;
class QRVAPersistedConfig;

inline constexpr const char* kQRVASearchAdReporterAlarmName = "Search Ad campaign report alarm";
// Look-ups in all, and the seconds between two.
inline constexpr int64_t kQRVASearchAdMaxRetryCount = 10;
inline constexpr double kQRVASearchAdLookUpInterval = 86400;

class QRVASearchAdReporter : public QRVASearchAdReporting, public std::enable_shared_from_this<QRVASearchAdReporter> {
public:
    // nullptr without a queue (32000) or persisted state (32001), silently
    // after the tenth look-up, and once an answer was recorded (32002).
    static std::shared_ptr<QRVASearchAdReporter> initWithWorkerQueue(
        ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig);
    // Not for callers: made by initWithWorkerQueue.
    QRVASearchAdReporter(ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig);
    ~QRVASearchAdReporter() override;
    QRVASearchAdReporter(const QRVASearchAdReporter&) = delete;
    QRVASearchAdReporter& operator=(const QRVASearchAdReporter&) = delete;

    bool isSearchAdReporterEnabled() const { return searchAdReporterEnabled_.load(); }
    void setSearchAdReporterEnabled(bool enabled) override;

    // Worker queue from here on.
    void start() override;
    // Arms the alarm for a look-up a day after the last one (at once when
    // there was none), unless switched off, answered, already armed, out of
    // look-ups or cancelled for good.
    void scheduleSearchAdReport();
    // The alarm's work: a look-up, and the next one armed whatever it brings.
    void maybeLogIAdCampaignEvent();
    // Counts the look-up and asks the client's first answered operation.
    void lookUpAdConversionDetails();
    // Records the answer once and, when attributed, logs "_cmp". Any thread.
    void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign, const std::string& term);
    // Cancels and drops the alarm: nothing is scheduled again by this reporter.
    void cancelScheduling();

    // The platform client, looked up once per process; null without one.
    static ns::ObjectPtr adClientInstance();
    // Stands for a new process: the next adClientInstance looks the client
    // up again.
    static void resetForTesting();

private:
    void handleAttributionDetails(const ns::Value& details, const ns::Value& error);
    // Runs `answer` on the worker queue if the reporter is still there.
    std::shared_ptr<ns::Object> completionOnWorkerQueue(
        std::function<void(QRVASearchAdReporter&, const std::vector<ns::Value>&)> answer);

    std::shared_ptr<QRVAAlarm> searchAdReporterAlarm_;
    std::shared_ptr<QRVAPersistedConfig> persistedConfig_;
    std::atomic<bool> searchAdReporterEnabled_{false};
    ns::DispatchQueuePtr workerQueue_;
    std::mutex mutex_;
};
