#pragma once
// Records the analytics store keeps for the audience evaluation and the
// conditional user properties: a stored event filter and user-property
// filter of an audience (their encoded filter messages), an audience's
// filter results, and a conditional user property with the events it
// logs when it is triggered, times out or expires.
//
// Plain values: copied freely, no locks; each copy belongs to whoever holds
// it. The store refuses a conditional property without name, origin or
// value, and filters or results without their bytes.

#include <cstdint>
#include <optional>
#include <string>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAValue.h"
#include "platform/value.h"

struct QRVAEventFilter {
    int32_t audienceID = 0;
    int32_t filterID = 0;
    std::string eventName;
    ns::Data data;  // the encoded EventFilter message
    friend bool operator==(const QRVAEventFilter&, const QRVAEventFilter&) = default;
};

struct QRVAPropertyFilter {
    int32_t audienceID = 0;
    int32_t filterID = 0;
    std::string propertyName;
    ns::Data data;  // the encoded PropertyFilter message
    friend bool operator==(const QRVAPropertyFilter&, const QRVAPropertyFilter&) = default;
};

struct QRVAFilterResult {
    int32_t audienceID = 0;
    ns::Data currentResults;                 // encoded ResultData
    std::optional<ns::Data> previousResults;  // encoded ResultData; none before the first report
    friend bool operator==(const QRVAFilterResult&, const QRVAFilterResult&) = default;
};

struct QRVAConditionalUserProperty {
    std::string name;
    std::string origin;
    std::optional<QRVAValue> value;
    // Empty: active as soon as it is set.
    std::string triggerEventName;
    double triggerTimeout = 0;  // seconds after creation the trigger may come
    double timeToLive = 0;      // seconds after activation the value stays
    std::optional<QRVAEvent> triggeredEvent;
    std::optional<QRVAEvent> timedOutEvent;
    std::optional<QRVAEvent> expiredEvent;
    double creationTimestamp = 0;
    bool active = false;
    double triggeredTimestamp = 0;
};
