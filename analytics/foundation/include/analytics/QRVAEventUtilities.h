#pragma once
// What the analytics parts share about events:
// - the tables of public names and the short internal names the client
//   stores and uploads (events, parameters, user properties) and the names
//   of the error-event codes;
// - the error parameters an event carries when its input was faulty ("_err"
//   the code, "_ev" the offending text cut to a maximum length plus "...",
//   "_el" its length in code points) and the internal error event "_err";
// - tests on names and events;
// - decomposition: an event whose parameters hold arrays of dictionaries
//   becomes one main event and one "_ep" child event per dictionary, tied
//   together by "_eid" (the event ID) and described by "_gn" (the array's
//   key), "_en" (the main event's name), "_i" (the index) and "_ll" (the
//   array's child count); the main event gets "_epc" (all children);
// - screen parameters ("_sn", "_sc", "_si") and the log forms of names and
//   parameter dictionaries.
//
//     auto events = QRVADecomposeEvent(eventID, "purchase", "app", params, true, now);
//     // events->front() is the main event, the rest its children.
//
// The error event is logged by the analytics facade, a layer above this
// one: it installs its internal-event entry among its hooks
// (QRVAFacadeBridge.h); until then error events are dropped with a debug line.
//
// Threads: any thread. The tables are built once on first use and never
// change; everything else works on its arguments.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAValue.h"

// The most child events one array parameter may make.
inline constexpr int64_t kQRVAMeasurementMaxExtraParamEventsCountPerParam = 1000;

// The error codes events report in "_err".
enum QRVAErrorEventCode : int64_t {
    kQRVAErrorNone = 0,
    kQRVAErrorInvalidVLPAppID = 1,
    kQRVAErrorInvalidEventName = 2,
    kQRVAErrorInvalidParameterName = 3,
    kQRVAErrorInvalidParameterValue = 4,
    kQRVAErrorParameterLimitReached = 5,
    kQRVAErrorInvalidUserPropertyName = 6,
    kQRVAErrorUserPropertyValueTooLong = 7,
    kQRVAErrorEventLimitReached = 8,
    kQRVAErrorUserPropertyLimitReached = 9,
    kQRVAErrorConversionEventLimitReached = 10,
    kQRVAErrorEventIsBlacklisted = 11,
    kQRVAErrorUserPropertyIsBlacklisted = 12,
    kQRVAErrorEventNameIsReserved = 13,
    kQRVAErrorParameterNameIsReserved = 14,
    kQRVAErrorUserPropertyNameIsReserved = 15,
    kQRVAErrorPublicEventLimitReached = 16,
    kQRVAErrorTooManyExtraParamEvents = 17,
};

using QRVANameTable = std::map<std::string, std::string, std::less<>>;
// Public name -> internal name.
const QRVANameTable& QRVInternalEventNames();
const QRVANameTable& QRVInternalParameterNames();
const QRVANameTable& QRVInternalUserPropertyNames();
// Error-event code -> name, for debug logs.
const std::map<int64_t, std::string>& QRVAErrorEventCodeNames();

// Logs the event "_err" (origin "auto") through the installed logger;
// code 0 logs nothing.
void QRVALogErrorEventWithCode(int64_t code);
// The same with "_ev" (the value's text) and, for a value-length fault
// (codes 4 and 7) or a length source longer than maxLength, "_el".
void QRVALogErrorEventWithParameters(int64_t code, QRVAObjectRef value, uint32_t maxLength,
                                     QRVAObjectRef lengthSource);

// "_ev" = the value's text ("(nil)", the class name of a non-string, else
// the text) cut to maxLength code points plus "..."; "_el" = the length
// source's length in code points (0 for a non-string) when one is given.
// Nothing when "_ev" or "_el" is present already.
void QRVAAddErrorValueAndLengthParameters(QRVAParameters& parameters, QRVAObjectRef value, uint32_t maxLength,
                                          QRVAObjectRef lengthSource);
// "_err" = code, unless present.
void QRVAAddErrorParameter(QRVAParameters& parameters, int64_t code);
// "_err", "_ev" and "_el" together, only when none of them is present: the
// first fault recorded on an event is the one reported.
void QRVAAddErrorParameters(QRVAParameters& parameters, int64_t code, QRVAObjectRef value, uint32_t maxLength,
                            QRVAObjectRef lengthSource);

// Text that is non-empty and does not start with "_" (18002 for a
// non-string, 18003 for empty text).
bool QRVAEventUtilIsPublicName(QRVAObjectRef name);
// The event's name is "_err".
bool QRVAEventUtilIsErrorEvent(const QRVAEvent& event);

bool QRVAHasArrayParameters(const QRVAObjectParameters& parameters);
// The keys in the en_US collation order that the key check accepts (its
// faults recorded in `errors`); a value that is not a number, a string or an
// array records "_err" 4 but keeps its key. nullopt for no parameters.
std::optional<std::vector<std::string>> QRVASortedParamKeysFromEvent(const QRVAObjectParameters& parameters,
                                                                     bool isPublicEvent, QRVAParameters& errors);
// The "_ep" children of one array parameter (dictionaries, or
// QRVAObjectParameters objects to keep an order); nullopt when none can be
// made, the array's fault then recorded in `errors`.
std::optional<std::vector<QRVAEvent>> QRVAExtractChildEventsFromParamValue(
    const ns::Array& array, std::string_view origin, bool isPublicEvent, std::string_view mainEventName,
    QRVAObjectRef groupName, int64_t eventID, QRVAParameters& errors, double timestamp);
// The main event with "_epc" and "_eid" when it has children, and the
// decomposition's errors.
std::optional<QRVAEvent> QRVAValidatedMainEvent(const std::optional<QRVAEvent>& mainEvent, int64_t eventID,
                                                const QRVAOrderedDictionary<int64_t>& childCounts,
                                                const QRVAParameters& errors);
// The main event (first) and its children; nullopt when the main event
// cannot be made.
std::optional<std::vector<QRVAEvent>> QRVADecomposeEvent(int64_t eventID, std::string_view name,
                                                         std::string_view origin,
                                                         const QRVAObjectParameters& parameters, bool isPublicEvent,
                                                         double timestamp);

bool QRVAHasScreenParameters(const QRVAObjectParameters& parameters);
// Those of "_sn", "_sc", "_si" that are present.
QRVAObjectParameters QRVAExtractScreenParameters(const QRVAObjectParameters& parameters);

// Names for logs: in the monitor's debug mode an internal name from the
// table reads "public (internal)"; a user property "_exp_..." always reads
// "experiment_id (_exp_...)".
std::string QRVAFormattedEventName(QRVAObjectRef name);
std::string QRVAFormattedParameterName(QRVAObjectRef name);
std::string QRVAFormattedUserPropertyName(QRVAObjectRef name);
// In debug mode one line per parameter with formatted names and "_err"
// named; otherwise the plain description.
std::string QRVAFormattedParametersDescription(const QRVAParameters& parameters);
std::string QRVAFormattedParametersDescription(const QRVAObjectParameters& parameters);

// Hands an internal event to the facade's internal-event entry
// (QRVAFacadeHooks::logInternalEvent); without one it is dropped with a debug
// line (18014). Any thread.
void QRVALogInternalEvent(const std::string& origin, const std::string& name, const QRVAObjectParameters& parameters);
