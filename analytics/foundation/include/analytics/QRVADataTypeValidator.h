#pragma once
// Whether a name, origin or value may enter the analytics pipeline: event
// names and origins, event parameter names and values, user-property names
// and values, screen parameters and conditional user properties.
//
// Every check answers a bool and, when `failureCode` is given, writes why it
// failed (QRVAFailureCode); most refusals are also logged through the
// analytics monitor with a code from 13000 to 13010 and a message whose
// subject names the kind of object ("Event name is too long. ..."). Lengths
// are counted in code points. Names are made of letters (Unicode category
// L), decimal digits of any script (Nd) and "_"; a public name starts with a
// letter and stays clear of the reserved names and the prefix "quorvane_".
//
//     int64_t code = 0;
//     if (!QRVADataTypeValidator::isValidPublicEventName(name, &code)) report(code);
//
// Threads: any thread; the checks keep no state.

#include <cstdint>

#include "analytics/QRVAValue.h"

// The reserved prefix of public event, parameter and user-property names
// (compared case-sensitively).
inline constexpr const char* kQRVAQuorvanePrefix = "quorvane_";
inline constexpr int32_t kQRVADataTypeEventNameMaxLength = 40;
inline constexpr int32_t kQRVADataTypeEventParameterMaxNameLength = 40;
inline constexpr int32_t kQRVADataTypePublicEventParameterMaxValueLength = 100;
inline constexpr int32_t kQRVADataTypeInternalEventParameterMaxValueLength = 256;
inline constexpr int32_t kQRVADataTypeEventOriginMaxLength = 32;
inline constexpr int32_t kQRVADataTypeUserPropertyMaxNameLength = 24;
inline constexpr int32_t kQRVADataTypeUserPropertyMaxValueLength = 36;
inline constexpr int32_t kQRVADataTypeScreenParameterMaxValueLength = 100;
// What makes an origin a forwarded one.
inline constexpr const char* kQRVAForwardedOriginSuffix = "+htk";

enum QRVAFailureCode : int64_t {
    kQRVAFailureNone = 0,
    kQRVAFailureMissing = 1,       // nil, or empty where at least one code point is needed
    kQRVAFailureTooLong = 2,
    kQRVAFailureBadCharacters = 3,  // or a public name that does not start with a letter
    kQRVAFailureReserved = 4,       // a reserved name or the reserved prefix
    kQRVAFailureWrongType = 5,      // not a string, or not a QRVAValue
    kQRVAFailureNotForwarded = 6,   // an origin without the "+htk" suffix
    kQRVAFailureTooShort = 7,
};

// What is being checked: chooses the subject of the messages.
enum QRVADataType : int64_t {
    kQRVADataTypeEventName = 0,
    kQRVADataTypeEventOrigin = 1,
    kQRVADataTypeEventParameterName = 2,
    kQRVADataTypeEventParameterValue = 3,
    kQRVADataTypeUserPropertyName = 4,
    kQRVADataTypeUserPropertyValue = 5,
    kQRVADataTypeScreenParameterValue = 6,
    kQRVADataTypeConditionalUserPropertyOrigin = 7,
    kQRVADataTypeConditionalUserPropertyName = 8,
    kQRVADataTypeConditionalUserPropertyValue = 9,
};

class QRVADataTypeValidator {
public:
    QRVADataTypeValidator() = delete;

    // The base checks.
    // UTF-8 text of minLength to maxLength code points.
    static bool isValidString(QRVAObjectRef object, int64_t minLength, int64_t maxLength, int64_t type,
                              int64_t* failureCode = nullptr);
    // Text of 1 to maxLength code points, only name characters.
    static bool isValidInternalName(QRVAObjectRef object, int64_t maxLength, int64_t type,
                                    int64_t* failureCode = nullptr);
    // An internal name whose first code point is a letter.
    static bool isValidPublicName(QRVAObjectRef object, int64_t maxLength, int64_t type,
                                  int64_t* failureCode = nullptr);
    // A QRVAValue: a string value is held to the string check, a number
    // always passes.
    static bool isValidValue(QRVAObjectRef object, int64_t minLength, int64_t maxLength, int64_t type,
                             int64_t* failureCode = nullptr);

    // The entry points.
    static bool isValidPublicEventName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidPublicEventParameterName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidPublicEventParameterValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
    static bool isValidInternalEventOrigin(QRVAObjectRef origin, int64_t* failureCode = nullptr);
    // "+htk" appended to a valid internal origin; neither a missing origin
    // nor a missing suffix is logged.
    static bool isValidForwardedEventOrigin(QRVAObjectRef origin, int64_t* failureCode = nullptr);
    static bool isValidInternalEventName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidInternalEventParameterName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidInternalEventParameterValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
    static bool isValidPublicUserAttributeName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidPublicUserAttributeValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
    static bool isValidInternalUserAttributeName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidInternalUserAttributeValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
    // Text (not a QRVAValue) of 1 to 100 code points.
    static bool isValidScreenParameterValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyOrigin(QRVAObjectRef origin, int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyName(QRVAObjectRef name, int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyValue(QRVAObjectRef value, int64_t* failureCode = nullptr);
};
