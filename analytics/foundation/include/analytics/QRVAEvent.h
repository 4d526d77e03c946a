#pragma once
// The analytics event model: an event with its normalised parameters, a user
// property, and the small records the store reads and writes (event
// aggregates, app metadata, daily counts, a raw event with its row).
//
// Making an event validates its origin and name (QRVADataTypeValidator.h)
// and normalises its parameters: values become `QRVAValue`s, bad names and
// values are dropped and reported in the event itself as the error
// parameters "_err", "_ev" and "_el" (the first fault wins), and a public
// event keeps at most 25 public parameters. The origin travels as the
// parameter "_o". An event converts to and from the wire message
// `QRVAPBEvent`, which is also how the store keeps a raw event.
//
//     auto event = QRVAEvent::initWithOrigin("app", true, "purchase", now, 0,
//                                           QRVAObjectParameters{{"value", 9.5}});
//     if (event) store(event->protoEvent());
//
// Factories answer nullopt where the object cannot be made, and refusals are
// logged through the analytics monitor (QRVAMonitor.h). Parameters keep the
// order in which they were given (QRVAValue.h).
//
// Threads: no locks; each object is used by one thread or queue at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAValue.h"

// Public parameters an event may carry; internal ones ("_" first) are not counted.
inline constexpr size_t kQRVAMaxPublicEventParameters = 25;

// Seconds since 1970 as wire milliseconds: x 1000, truncated toward zero;
// NaN is 0 and times beyond the int64 range stop at its ends.
int64_t qrva_millisecondsFromSeconds(double seconds);

class QRVAEvent {
public:
    // The event, or nullopt when the origin or the name is refused. The
    // origin is a forwarded origin ("<internal origin>+htk") or an internal
    // one; a public event's name must pass the public-name check as well.
    static std::optional<QRVAEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QRVAObjectParameters& parameters);
    static std::optional<QRVAEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QRVAParameters& parameters);
    // The stored or received form back to an event (parameters normalised
    // again as an internal event's); nullopt without an "_o" parameter or
    // when "_o" holds no string.
    static std::optional<QRVAEvent> initWithEventProto(NANOMessageRef proto);

    // Copies through the initialiser (not public), so the parameters are
    // normalised again; nullopt only if the receiver's origin or name would
    // no longer pass.
    std::optional<QRVAEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
    std::optional<QRVAEvent> copyWithParameters(const QRVAParameters& parameters) const;

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    double timestamp() const { return timestamp_; }
    double previousTimestamp() const { return previousTimestamp_; }
    const QRVAParameters& parameters() const { return parameters_; }
    // The live parameters, for the engine's own additions.
    QRVAParameters& mutableParameters() { return parameters_; }

    // "_c", "_r", "_dbg": an int64 1 when set, absent when clear.
    bool isConversion() const;
    bool isRealtime() const;
    bool isDebug() const;
    // Clearing a set conversion flag records "_err" 10 (unless an error is
    // recorded already); setting it again removes that error.
    void setConversion(bool conversion);
    void setRealtime(bool realtime);
    void setDebug(bool debug);

    // Adds "_sc", "_si" and, when given, "_sn" (strings or string values,
    // a number or int64 value for the id); false when they are missing,
    // malformed, or the event has screen parameters already.
    bool addScreenParameters(const QRVAObjectParameters& screen);

    // The event as a new wire message: name, timestamps in milliseconds (the
    // previous one only when above zero), the parameters in order.
    std::shared_ptr<QRVAPBEvent> protoEvent() const;
    // The length of protoEvent()'s encoding, and the encoding appended to
    // `out`, both worked out without making the message.
    size_t protoEventSize() const;
    void appendProtoEvent(ns::Data& out) const;

    // The normalisation steps, shared with event decomposition
    // (QRVAEventUtilities.h). Empty input gives an empty result.
    static QRVAParameters normalizedParametersForParameters(const QRVAObjectParameters& parameters,
                                                            bool isPublicEvent);
    static QRVAParameters normalizedParametersForParameters(const QRVAParameters& parameters, bool isPublicEvent);
    // Whether a parameter name may enter an event; a refused name records its
    // fault in `errorParameters` ("_err" 14 for a reserved one, else 3).
    static bool isValidParameterKey(std::string_view key, bool isPublicEvent, QRVAParameters& errorParameters);

    friend bool operator==(const QRVAEvent&, const QRVAEvent&) = default;

private:
    QRVAEvent() = default;
    template <class Input>
    static std::optional<QRVAEvent> make(std::string_view origin, bool isPublic, std::string_view name,
                                         double timestamp, double previousTimestamp, const Input& parameters);

    std::string origin_;
    std::string name_;
    double timestamp_ = 0;
    double previousTimestamp_ = 0;
    QRVAParameters parameters_;
};

class QRVAUserAttribute {
public:
    // nullopt unless the name passes the internal user-property name check
    // and the value the internal user-property value check.
    static std::optional<QRVAUserAttribute> initWithOrigin(std::string_view origin, std::string_view name,
                                                           const QRVAValue& value, double lastSetTimestamp);

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const QRVAValue& value() const { return value_; }
    double lastSetTimestamp() const { return lastSetTimestamp_; }
    bool isPublic() const;
    std::shared_ptr<QRVAPBUserAttribute> protoUserAttribute() const;

private:
    QRVAUserAttribute(std::string origin, std::string name, QRVAValue value, double lastSetTimestamp)
        : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
          lastSetTimestamp_(lastSetTimestamp) {}
    std::string origin_;
    std::string name_;
    QRVAValue value_;
    double lastSetTimestamp_;
};

class QRVAEventAggregates {
public:
    // nullopt for a name that fails the internal event-name check or a
    // negative count (17000).
    static std::optional<QRVAEventAggregates> initWithName(std::string_view name, int32_t lifetimeCount,
                                                           int32_t currentBundleCount, double lastFireTimestamp);

    const std::string& name() const { return name_; }
    int32_t lifetimeCount() const { return lifetimeCount_; }
    int32_t currentBundleCount() const { return currentBundleCount_; }
    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
    // At INT32_MAX a counter starts again from 0 (17001, 17002).
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();

private:
    QRVAEventAggregates() = default;
    std::string name_;
    int32_t lifetimeCount_ = 0;
    int32_t currentBundleCount_ = 0;
    double lastFireTimestamp_ = 0;
};

class QRVAAppMetadata {
public:
    // nullopt for a negative index (4000).
    static std::optional<QRVAAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                  double lastBundleStartTimestamp,
                                                                  double lastBundleEndTimestamp);

    int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
    void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }
    // At INT32_MAX the index starts again from 0 (4001).
    void incrementLastBundleIndex();

private:
    QRVAAppMetadata() = default;
    int32_t lastBundleIndex_ = 0;
    double lastBundleStartTimestamp_ = 0;
    double lastBundleEndTimestamp_ = 0;
};

// The per-day counters of the quotas. A day is the caller's day number.
class QRVADailyCounts {
public:
    QRVADailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount, int32_t publicEventsCount,
                    int32_t errorEventsCount, int32_t realtimeCount)
        : day_(day), conversions_(conversionsCount), all_(allEventsCount), public_(publicEventsCount),
          errors_(errorEventsCount), realtime_(realtimeCount) {}

    int32_t day() const { return day_; }
    int32_t conversionsCount() const { return conversions_; }
    int32_t allEventsCount() const { return all_; }
    int32_t publicEventsCount() const { return public_; }
    int32_t errorEventsCount() const { return errors_; }
    int32_t realtimeCount() const { return realtime_; }

    // Each counts one event of `day`; a new day starts every counter afresh.
    void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion);
    void incrementErrorEventsCountForCurrentDay(int32_t day);
    // Real-time events are counted apart from all events.
    void incrementRealtimeCountsForCurrentDay(int32_t day);
    // Not below 0.
    void decrementAllEventsCount();

private:
    void startDay(int32_t day);
    int32_t day_;
    int32_t conversions_;
    int32_t all_;
    int32_t public_;
    int32_t errors_;
    int32_t realtime_;
};

class QRVARawEventData {
public:
    // nullopt without an event (28000) or for a negative row id (28001).
    static std::optional<QRVARawEventData> initWithRawEvent(const std::optional<QRVAEvent>& rawEvent, int64_t rowID,
                                                            int64_t metadataFingerprint);

    const QRVAEvent& rawEvent() const { return rawEvent_; }
    int64_t rowID() const { return rowID_; }
    int64_t metadataFingerprint() const { return metadataFingerprint_; }

private:
    QRVARawEventData(QRVAEvent event, int64_t rowID, int64_t fingerprint)
        : rawEvent_(std::move(event)), rowID_(rowID), metadataFingerprint_(fingerprint) {}
    QRVAEvent rawEvent_;
    int64_t rowID_;
    int64_t metadataFingerprint_;
};
