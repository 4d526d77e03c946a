#pragma once
// The device's side of the server's audiences. A new configuration's
// audiences are vetted and stored as filter rows (event_filters,
// property_filters); every event the bundler packs and every user property
// set is run through the filters of its name (QRVAAudienceFilters.h), and
// each audience keeps one row of filter results (audience_filter_values):
// which of its filters have had an outcome ("status") and which came out
// true ("results"). At each bundling every audience with an outcome is
// reported as an AudienceLeafFilterResult, with what was reported last time
// when that differs, and the report is remembered. The server decides
// membership; the device never combines filters.
//
//     auto audience = QRVAAudience::initWithDatabase(database);
//     database->performTransaction([&] {
//         return audience->evaluateFiltersForEvent(event, aggregates);
//     });
//
// Result masks: filter n owns bit n % 64 of word n / 64 of the ResultData's
// repeated `status` and `results`, so filter IDs up to the largest
// maxFiltersPerAudience (100) each have their own bit; a missing word reads
// as 0. A filter once true is not evaluated again.
//
// Every call answers false only when the store failed (logged 6000-6023),
// leaving what it wrote to the caller's transaction to keep or undo. Bad
// rows, audiences and filters are logged and skipped.
//
// Threads: no lock of its own; the engine makes it and calls it on its
// worker queue, inside the store transactions it opens.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEvent.h"
#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAStoreRecords.h"
#include "platform/error.h"

// The remote settings (QRVARemoteConfig) the audiences obey; the defaults
// are the settings' own.
struct QRVAAudienceSettings {
    int32_t maxAudienceCount = 50;       // measurement.audience.max_count
    int32_t maxFiltersPerAudience = 10;  // ...filter_max_count_per_audience: also the bound of filter IDs
    int32_t maxParametersPerFilter = 25;  // ...parameter_max_count_filter
    int32_t maxFilterResultCount = 200;  // ...filter_result_max_count: stale results pruned above it
};

class QRVAAudience {
public:
    static std::shared_ptr<QRVAAudience> initWithDatabase(std::shared_ptr<QRVADatabase> database);
    explicit QRVAAudience(std::shared_ptr<QRVADatabase> database) : database_(std::move(database)) {}

    // Where the limits come from; without a provider, the defaults.
    void setSettingsProvider(std::function<QRVAAudienceSettings()> provider) { settings_ = std::move(provider); }

    // Replaces the stored audience definitions with the valid ones of a new
    // configuration (invalid ones logged 6009 and left out) and evaluates
    // every stored user property against the new property filters. More
    // audiences than allowed: 6008, nothing changed, still true. Kept
    // audiences keep their results.
    bool updateAudiences(const std::vector<std::shared_ptr<QRVAPBAudience>>& audiences);
    // The event filters of the event's name; the aggregates are those of its
    // name with this event counted.
    bool evaluateFiltersForEvent(const QRVAEvent& event, const QRVAEventAggregates& aggregates);
    // The two steps of it, for a caller that evaluates many events of a name
    // in one transaction: the name's filters (nullopt when they cannot be
    // read, 6000), then the event against them.
    std::optional<std::vector<QRVAEventFilter>> eventFiltersForEventName(const std::string& name);
    bool evaluateEventFilters(const std::vector<QRVAEventFilter>& rows, const QRVAEvent& event,
                              const QRVAEventAggregates& aggregates);
    bool evaluateFiltersForUserProperty(const QRVAUserAttribute& property);
    // One leaf result per audience with any status bit set; remembers them
    // as the audiences' previous results. On false `results` is cleared.
    bool resultsForBundling(std::vector<std::shared_ptr<QRVAPBAudienceLeafFilterResult>>& results);
    // Above maxFilterResultCount stored results, deletes those of audiences
    // neither in the stored filters nor in `usedAudienceIDs`.
    bool maybeDeleteStaleFilterResults(const std::set<int32_t>& usedAudienceIDs);

    // Whether filter `filterID` has an outcome and it was true.
    static bool isFilterResultTrueForFilterID(const QRVAFilterResult* result, int32_t filterID);
    // The result with filter `filterID`'s outcome recorded; the previous
    // results stay as they were.
    static QRVAFilterResult updatedFilterResult(int32_t filterID, int32_t audienceID, const QRVAFilterResult* current,
                                                bool newEvaluationResult);
    // The configuration's rules for one audience (error codes 9 audience,
    // 10 event filter, 11 property filter). `usedAudienceIDs` holds those
    // of the audiences accepted before it.
    bool isValidAudienceProto(const QRVAPBAudience& audience, const std::set<int32_t>& usedAudienceIDs,
                              ns::ErrorRef* error) const;

private:
    QRVAAudienceSettings settings() const { return settings_ ? settings_() : QRVAAudienceSettings{}; }
    bool isValidEventFilter(NANOMessageRef filter, std::set<int32_t>& filterIDs, ns::ErrorRef* error) const;
    bool isValidPropertyFilter(NANOMessageRef filter, std::set<int32_t>& filterIDs, ns::ErrorRef* error) const;
    bool replaceFilterRows(const std::vector<QRVAEventFilter>& events, const std::vector<QRVAPropertyFilter>& properties);

    std::shared_ptr<QRVADatabase> database_;
    std::function<QRVAAudienceSettings()> settings_;
};
