#include "analytics/QRVADataTypeValidator.h"

#include <algorithm>
#include <string>

#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "platform/format.h"
#include "platform/unicode.h"
#include "platform/utf8.h"

namespace {

using Validator = QRVADataTypeValidator;

const char* subjectOf(int64_t type) {
    switch (type) {
        case kQRVADataTypeEventName: return "Event name";
        case kQRVADataTypeEventOrigin: return "Event origin";
        case kQRVADataTypeEventParameterName: return "Event parameter name";
        case kQRVADataTypeEventParameterValue: return "Event parameter value";
        case kQRVADataTypeUserPropertyName: return "User property name";
        case kQRVADataTypeUserPropertyValue: return "User property value";
        case kQRVADataTypeScreenParameterValue: return "Screen parameter value";
        case kQRVADataTypeConditionalUserPropertyOrigin: return "Conditional user property origin";
        case kQRVADataTypeConditionalUserPropertyName: return "Conditional user property name";
        case kQRVADataTypeConditionalUserPropertyValue: return "Conditional user property value";
        default: return "Object";
    }
}

bool isValueType(int64_t type) {
    return type == kQRVADataTypeEventParameterValue || type == kQRVADataTypeUserPropertyValue;
}

bool fail(int64_t* failureCode, int64_t code) {
    if (failureCode) *failureCode = code;
    return false;
}


// Letters are Unicode category L (combining marks are not letters); name
// characters add the decimal digits of every script and "_". ASCII, which
// nearly every name is, is decided without decoding.
bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiNameCharacter(char c) {
    return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '_';
}
bool isNameCharacter(char32_t c) {
    return c == U'_' || ns::unicode::isLetter(c) || ns::unicode::isDecimalDigit(c);
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Text already known to be UTF-8.
bool hasOnlyNameCharacters(std::string_view text) {
    if (isAscii(text)) return std::all_of(text.begin(), text.end(), isAsciiNameCharacter);
    auto codePoints = ns::unicode::codePoints(text);
    return codePoints && std::all_of(codePoints->begin(), codePoints->end(), isNameCharacter);
}

bool startsWithLetter(std::string_view text) {
    if (text.empty()) return false;
    if (static_cast<unsigned char>(text[0]) < 0x80) return isAsciiLetter(text[0]);
    auto first = ns::unicode::codePoints(text.substr(0, ns::utf8::sequenceLength(text, 0)));
    return first && !first->empty() && ns::unicode::isLetter(first->front());
}

bool isReserved(QRVAObjectRef name, const QRVANameTable* table, int64_t tableCode, const char* tableMessage,
                int64_t prefixCode, const char* prefixMessage, int64_t* failureCode) {
    std::string_view text = *name.string();
    if (table && table->find(text) != table->end()) {
        QRVALog(1, tableCode, tableMessage, name.context());
        fail(failureCode, kQRVAFailureReserved);
        return true;
    }
    if (text.starts_with(kQRVAQuorvanePrefix)) {
        QRVALog(1, prefixCode, prefixMessage, name.context());
        fail(failureCode, kQRVAFailureReserved);
        return true;
    }
    return false;
}

}  // namespace

namespace {

// The length rules of the string check for text already known to be UTF-8;
// `object` is what the caller was given, for the logs.
bool checkText(QRVAObjectRef object, std::string_view text, int64_t minLength, int64_t maxLength, int64_t type,
               int64_t* failureCode) {
    const int64_t level = isValueType(type) ? 4 : 1;
    const std::string_view subject = subjectOf(type);
    if (text.empty() && minLength >= 1) {
        if (!isValueType(type)) QRVALog(level, 13001, std::string(subject) + " is required and can't be empty");
        return fail(failureCode, kQRVAFailureMissing);
    }
    const auto length = static_cast<int64_t>(qrva_UTF32Length(text));
    if (length > maxLength) {
        QRVALog(level, 13000,
            std::string(subject) + ns::format(" is too long. The maximum supported length is %d", maxLength),
            object.context());
        return fail(failureCode, kQRVAFailureTooLong);
    }
    if (length < minLength) {
        QRVALog(level, 13000,
            std::string(subject) + ns::format(" is too short. The minimum supported length is %d", minLength),
            object.context());
        return fail(failureCode, kQRVAFailureTooShort);
    }
    return true;
}

}  // namespace

bool Validator::isValidString(QRVAObjectRef object, int64_t minLength, int64_t maxLength, int64_t type,
                              int64_t* failureCode) {
    if (failureCode) *failureCode = kQRVAFailureNone;
    const int64_t level = isValueType(type) ? 4 : 1;
    if (object.isNil()) {
        QRVALog(level, 13001, std::string(subjectOf(type)) + " is required and can't be nil");
        return fail(failureCode, kQRVAFailureMissing);
    }
    std::optional<std::string_view> text = object.string();
    if (!text) {
        QRVALog(level, 13000, std::string(subjectOf(type)) + " must be of type NSString", object.context());
        return fail(failureCode, kQRVAFailureWrongType);
    }
    return checkText(object, *text, minLength, maxLength, type, failureCode);
}

bool Validator::isValidInternalName(QRVAObjectRef object, int64_t maxLength, int64_t type, int64_t* failureCode) {
    if (!isValidString(object, 1, maxLength, type, failureCode)) return false;
    if (!hasOnlyNameCharacters(*object.string())) {
        QRVALog(1, 13002, std::string(subjectOf(type)) + " must contain only letters, numbers, or underscores",
            object.context());
        return fail(failureCode, kQRVAFailureBadCharacters);
    }
    return true;
}

bool Validator::isValidPublicName(QRVAObjectRef object, int64_t maxLength, int64_t type, int64_t* failureCode) {
    if (!isValidInternalName(object, maxLength, type, failureCode)) return false;
    if (!startsWithLetter(*object.string())) {
        QRVALog(1, 13003, std::string(subjectOf(type)) + " must start with a letter", object.context());
        return fail(failureCode, kQRVAFailureBadCharacters);
    }
    return true;
}

bool Validator::isValidValue(QRVAObjectRef object, int64_t minLength, int64_t maxLength, int64_t type,
                             int64_t* failureCode) {
    if (failureCode) *failureCode = kQRVAFailureNone;
    if (object.isNil()) {
        QRVALog(3, 13004, std::string(subjectOf(type)) + " cannot be nil");
        return fail(failureCode, kQRVAFailureMissing);
    }
    const QRVAValue* value = object.qrvaValue();
    if (!value) {
        QRVALog(3, 13005, std::string(subjectOf(type)) + " must be a QRVAValue instance. value",
            ns::Value(object.className()));
        return fail(failureCode, kQRVAFailureWrongType);
    }
    // A string value is UTF-8 by construction.
    if (const std::string* text = value->stringValue()) {
        return checkText(object, *text, minLength, maxLength, type, failureCode);
    }
    return true;
}

bool Validator::isValidPublicEventName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidPublicName(name, kQRVADataTypeEventNameMaxLength, kQRVADataTypeEventName, failureCode) &&
           !isReserved(name, &QRVInternalEventNames(), 13006, "Event name is reserved. Ignoring event", 13007,
                       "Event name uses reserved prefix. Ignoring event", failureCode);
}

bool Validator::isValidPublicEventParameterName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidPublicName(name, kQRVADataTypeEventParameterMaxNameLength, kQRVADataTypeEventParameterName,
                             failureCode) &&
           !isReserved(name, nullptr, 0, nullptr, 13008, "Parameter name uses reserved prefix. Ignoring parameter",
                       failureCode);
}

bool Validator::isValidPublicEventParameterValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidValue(value, 0, kQRVADataTypePublicEventParameterMaxValueLength, kQRVADataTypeEventParameterValue,
                        failureCode);
}

bool Validator::isValidInternalEventOrigin(QRVAObjectRef origin, int64_t* failureCode) {
    return isValidInternalName(origin, kQRVADataTypeEventOriginMaxLength, kQRVADataTypeEventOrigin, failureCode);
}

bool Validator::isValidForwardedEventOrigin(QRVAObjectRef origin, int64_t* failureCode) {
    if (failureCode) *failureCode = kQRVAFailureNone;
    std::optional<std::string_view> text = origin.string();
    if (origin.isNil() || (text && text->empty())) return fail(failureCode, kQRVAFailureMissing);
    // Anything but text is left to the name check, which reports its type.
    if (!text) return isValidInternalEventOrigin(origin, failureCode);
    if (!text->ends_with(kQRVAForwardedOriginSuffix)) return fail(failureCode, kQRVAFailureNotForwarded);
    std::string_view bare = text->substr(0, text->size() - std::string_view(kQRVAForwardedOriginSuffix).size());
    return isValidInternalEventOrigin(bare, failureCode);
}

bool Validator::isValidInternalEventName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidInternalName(name, kQRVADataTypeEventNameMaxLength, kQRVADataTypeEventName, failureCode);
}

bool Validator::isValidInternalEventParameterName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidInternalName(name, kQRVADataTypeEventParameterMaxNameLength, kQRVADataTypeEventParameterName,
                               failureCode);
}

bool Validator::isValidInternalEventParameterValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidValue(value, 0, kQRVADataTypeInternalEventParameterMaxValueLength,
                        kQRVADataTypeEventParameterValue, failureCode);
}

bool Validator::isValidPublicUserAttributeName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidPublicName(name, kQRVADataTypeUserPropertyMaxNameLength, kQRVADataTypeUserPropertyName,
                             failureCode) &&
           !isReserved(name, &QRVInternalUserPropertyNames(), 13009,
                       "User property name is reserved. Ignoring user property", 13010,
                       "User property name uses reserved prefix. Ignoring user property", failureCode);
}

bool Validator::isValidPublicUserAttributeValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidValue(value, 1, kQRVADataTypeUserPropertyMaxValueLength, kQRVADataTypeUserPropertyValue,
                        failureCode);
}

bool Validator::isValidInternalUserAttributeName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidInternalName(name, kQRVADataTypeUserPropertyMaxNameLength, kQRVADataTypeUserPropertyName,
                               failureCode);
}

bool Validator::isValidInternalUserAttributeValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidValue(value, 1, kQRVADataTypeUserPropertyMaxValueLength, kQRVADataTypeUserPropertyValue,
                        failureCode);
}

bool Validator::isValidScreenParameterValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidString(value, 1, kQRVADataTypeScreenParameterMaxValueLength, kQRVADataTypeScreenParameterValue,
                         failureCode);
}

bool Validator::isValidConditionalUserPropertyOrigin(QRVAObjectRef origin, int64_t* failureCode) {
    return isValidInternalName(origin, kQRVADataTypeEventOriginMaxLength, kQRVADataTypeConditionalUserPropertyOrigin,
                               failureCode);
}

bool Validator::isValidConditionalUserPropertyName(QRVAObjectRef name, int64_t* failureCode) {
    return isValidInternalName(name, kQRVADataTypeUserPropertyMaxNameLength,
                               kQRVADataTypeConditionalUserPropertyName, failureCode);
}

bool Validator::isValidConditionalUserPropertyValue(QRVAObjectRef value, int64_t* failureCode) {
    return isValidValue(value, 1, kQRVADataTypeUserPropertyMaxValueLength,
                        kQRVADataTypeConditionalUserPropertyValue, failureCode);
}
