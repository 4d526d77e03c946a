// The events the measurement engine reports by itself: at every start, on
// the worker queue and in this order, the first open ("_f" with an
// engagement event "_e" beside it, once per store), an app update ("_au")
// and an OS update ("_ou"); and campaigns ("_cmp"), from an opened URL or
// from the link that launched the app before measurement started. It keeps
// the keychain's count of first opens, which outlives reinstalls and so tells
// a reinstall from a first install; the versions it compares live in the
// persisted state.
//
// The first open carries the screen the user sees as the app opens, which
// the start, on the worker queue, cannot know: the app configures from its
// launch, and the main thread may show the first controller and make the
// app active only after the start has run. So the start decides the first
// open (its time and parameters) but stores it once the layer that knows
// the screens hands over the first screen (see setFirstScreenSource): the
// first-open time "_fot", "_f" and "_e" in one commit, and only then the
// keychain's count. Until then every event the engine would write waits
// behind them, in order, so they still lead; a switch-off, the app's
// resignation or its end meanwhile writes them (with the facade's current
// screen) and what waited. An installation so reports exactly one first
// open whatever ends its first launch: a launch that ends before the commit
// leaves it all to the next start, one that ends after it has reported it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAMeasurementPart.h"

inline constexpr const char* kQRVAMeasurementFirstOpenCounterKey = "_pfo";

class QRVAAutomaticEvents : QRVAMeasurementPart {
public:
    explicit QRVAAutomaticEvents(QRVAMeasurement& engine) : QRVAMeasurementPart(engine) {}

    // MARK: Campaign links (any queue)
    // A campaign URL becomes "_cmp" through the facade, with
    // "click_timestamp" (milliseconds) when one is given.
    void handleOpenURL(const ns::URL& url, std::optional<int64_t> clickTimestamp);
    void handleDeepLink(const ns::URL& url, std::optional<int64_t> clickTimestamp);
    // At least one of utm_campaign, oclid, utm_medium, utm_source is non-empty.
    bool isValidCampaignURLParamDictionary(const ns::Dictionary& parameters) const;
    // The web page of a browsing user activity; nullopt otherwise.
    static std::optional<ns::URL> deepLinkFromUserActivity(const ns::ObjectPtr& activity);
    // The launch link stored before the engine started, reported once as a
    // campaign and removed.
    void maybeReportStoredCampaignEventWithClickTimestamp(int64_t clickTimestamp);

    // MARK: At every start (worker queue)
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    // Up to the next whole hour; a whole hour moves a full hour on.
    static int64_t timestampMillisRoundedUpToNextHour(int64_t milliseconds);
    // nullopt for an empty path or one whose attributes cannot be read (5, 23022).
    std::optional<ns::FileAttributes> fileAttributesForPath(const std::string& path) const;
    // The install looks older than a fresh one and nothing of an earlier
    // analytics install is left (no previous app ID, no first-open count).
    bool isAppUpdateWithAnalytics();
    // Adds one to the keychain's count of first opens, once a "_f" is
    // committed (a count that is not a number counts as none).
    static void countFirstOpen();

    // MARK: The first open's screen
    // Calls back once with the first screen's parameters (empty for none),
    // at once when they are known and else as soon as they are, from any
    // thread.
    using FirstScreenSource = std::function<void(std::function<void(QRVAObjectParameters)>)>;
    // Installed once by the layer that knows the app's screens (any thread);
    // without one the first open takes the facade's current screen
    // parameters at once. An empty function removes it.
    static void setFirstScreenSource(FirstScreenSource source);
    // Worker queue: whether "_f" and "_e" wait for their screen; an event
    // written meanwhile goes to holdBehindFirstOpen instead.
    bool isWaitingForFirstScreen() const { return waiting_.has_value(); }
    void holdBehindFirstOpen(std::function<void()> write);
    // Worker queue: writes the waiting first open with these screen
    // parameters, then what waited behind it; nothing when none waits.
    void writeWaitingFirstOpen(const QRVAObjectParameters& screen);
    // The same with the facade's current screen (the app leaves before its
    // first screen came).
    void writeWaitingFirstOpenWithCurrentScreen();
    // Any thread: false when no first open waits; true may be stale by the
    // time the worker queue looks.
    bool mayBeWaitingForFirstScreen() const { return mayBeWaiting_.load(); }

private:
    struct WaitingFirstOpen {
        QRVAObjectParameters firstOpen;
        QRVAUserAttribute firstOpenTime;  // "_fot"
        int64_t firstOpenMillis;
        std::vector<std::function<void()>> held;
    };
    void keepFirstOpenCounted(int64_t stored);
    void waitForFirstScreen(QRVAUserAttribute firstOpenTime, int64_t previousFirstOpens, int64_t firstOpenMillis);
    void writeFirstOpen(const WaitingFirstOpen& waiting, const QRVAObjectParameters& screen);
    void reportUpdate(const char* name, const char* parameter, const std::optional<std::string>& stored);

    std::optional<WaitingFirstOpen> waiting_;
    std::atomic<bool> mayBeWaiting_{false};
};
