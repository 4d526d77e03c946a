// The events the measurement engine reports by itself: at every start, on
// the worker queue and in this order, the first open ("_f" with an
// engagement event "_e" beside it, once per store), an app update ("_au")
// and an OS update ("_ou"); and campaigns ("_cmp"), from an opened URL or
// from the link that launched the app before measurement started. It keeps
// the keychain's count of first opens, which outlives reinstalls and so tells
// a reinstall from a first install; the versions it compares live in the
// persisted state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
    // Adds one to the keychain's count of first opens, as a "_f" is stored.
    static void countFirstOpen();

private:
    void reportFirstOpenEvents(int64_t previousFirstOpens);
    void reportUpdate(const char* name, const char* parameter, const std::optional<std::string>& stored);
};
