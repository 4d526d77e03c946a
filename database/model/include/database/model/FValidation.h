#pragma once
// Checks of the public API's arguments. Each raises on the calling thread
// with the caller's tag in the first placeholder of the reason.

#include <string_view>

#include "database/model/FPath.h"
#include "database/model/FUtilities.h"
#include "platform/value.h"

class FValidation {
public:
    // validateFrom:validPathString: "InvalidPathValidation" for an empty
    // string (nil included) or one holding "[", "]", ".", "#" or "$".
    static void validatePathString(std::string_view fn, std::string_view pathString);
    // validateFrom:validRootPathString: a leading ".info" piece is allowed.
    static void validateRootPathString(std::string_view fn, std::string_view pathString);
    // validateFrom:validKey: "InvalidKeyValidation"; "/" is refused too.
    static void validateKey(std::string_view fn, std::string_view key);
    // validateFrom:knownEventType: "KnownEventTypeValidation" outside 0...4.
    static void validateKnownEventType(std::string_view fn, long eventType);
    // validateFrom:writablePath: "WritablePathValidation" under ".info".
    static void validateWritablePath(std::string_view fn, const FPath& path);
    // validateFrom:validURL: the parsed path as a root path string.
    static void validateURL(std::string_view fn, const FParsedUrl& parsedUrl);
    // YES for strings, numbers other than NaN, null and server-value
    // placeholders; never raises.
    static bool validatePriorityValue(const ns::Value& value);
};
