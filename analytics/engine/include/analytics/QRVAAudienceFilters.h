#pragma once
// One stored audience filter against one event (with the aggregates of its
// name) or one user property: the server's EventFilter, PropertyFilter,
// Filter, NumberFilter and StringFilter messages (QRVAPBMessages.h) decide
// true, false or "not evaluated". The audience evaluator (QRVAAudience.h)
// keeps the outcomes; the validity checks here also vet a configuration's
// audiences before they are stored.
//
//     QRVAAudienceOutcome outcome = QRVAAudienceEvaluateEventFilter(filter, &event, aggregates);
//     if (outcome) recordFilter(*outcome);   // nullopt: leave the stored result alone
//
// Numbers compare exactly as decimals (ns::DecimalNumber) except a double
// value, which compares as a double, with EQUAL allowing the two doubles on
// either side of the operand. Strings compare in UTF-16 code units; "without
// case" folds each code point by Unicode's simple case folding. Regular
// expressions come from the server, so they run under the platform's time
// and stack limits (ns::RegularExpression): a search stopped by a limit is
// an invalid filter (9006) and "not evaluated", never a hang.
//
// No state, no storage: refusals are monitor lines (7000-7015, 8002-8015,
// 9000-9006) and a "not evaluated" outcome. Any thread may call these; the
// engine calls them on its worker queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAValue.h"
#include "platform/decimal_number.h"
#include "platform/regular_expression.h"

// true, false, or nullopt for "not evaluated".
using QRVAAudienceOutcome = std::optional<bool>;

// NumberFilter.comparison_type and StringFilter.match_type.
enum : uint32_t {
    kQRVAComparisonUnknown = 0,
    kQRVAComparisonLessThan = 1,
    kQRVAComparisonGreaterThan = 2,
    kQRVAComparisonEqual = 3,
    kQRVAComparisonBetween = 4,
};
enum : uint32_t {
    kQRVAMatchUnknown = 0,
    kQRVAMatchRegexp = 1,
    kQRVAMatchBeginsWith = 2,
    kQRVAMatchEndsWith = 3,
    kQRVAMatchContains = 4,
    kQRVAMatchExact = 5,
    kQRVAMatchInList = 6,
};

// An EventFilter against an event and the aggregates of its name, counted
// with this event already. Messages may be null (not evaluated, logged).
QRVAAudienceOutcome QRVAAudienceEvaluateEventFilter(NANOMessageRef eventFilter, const QRVAEvent* event,
                                                    const QRVAEventAggregates& aggregates);
// A PropertyFilter against a user property.
QRVAAudienceOutcome QRVAAudienceEvaluatePropertyFilter(NANOMessageRef propertyFilter,
                                                       const QRVAUserAttribute* property);
// A Filter against a value: its number filter when it has one (a string
// value read as a decimal), else its string filter; `complement` negates a
// defined outcome.
QRVAAudienceOutcome QRVAAudienceEvaluateFilter(NANOMessageRef filter, const QRVAValue& value);

bool QRVAAudienceIsValidNumberFilter(NANOMessageRef numberFilter);
QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithDouble(NANOMessageRef numberFilter, double value);
QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithInt64(NANOMessageRef numberFilter, int64_t value);
QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithDecimalNumber(NANOMessageRef numberFilter,
                                                                      const ns::DecimalNumber& value);

// Valid string filter; a REGEXP one hands its compiled expression back
// when asked.
bool QRVAAudienceInternalIsValidStringFilter(NANOMessageRef stringFilter,
                                             std::shared_ptr<ns::RegularExpression>* expression);
bool QRVAAudienceIsValidStringFilter(NANOMessageRef stringFilter);
// A null string is "not evaluated" (9005).
QRVAAudienceOutcome QRVAAudienceEvaluateStringFilterWithString(NANOMessageRef stringFilter, const std::string* string);
