#include "database/model/FValidation.h"

#include <cmath>

#include "platform/error.h"
#include "platform/format.h"

namespace {

bool holdsAny(std::string_view s, std::string_view forbidden) {
    return s.find_first_of(forbidden) != std::string_view::npos;
}

}  // namespace

void FValidation::validatePathString(std::string_view fn, std::string_view pathString) {
    if (pathString.empty() || holdsAny(pathString, "[].#$")) {
        throw ns::Exception("InvalidPathValidation",
                            ns::format("(%@) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'", fn));
    }
}

void FValidation::validateRootPathString(std::string_view fn, std::string_view pathString) {
    // "^/*\.info(/|$)" becomes "/".
    size_t i = 0;
    while (i < pathString.size() && pathString[i] == '/') ++i;
    std::string_view rest = pathString.substr(i);
    if (rest.substr(0, 5) == ".info" && (rest.size() == 5 || rest[5] == '/')) {
        std::string replaced = "/" + std::string(rest.substr(rest.size() == 5 ? 5 : 6));
        validatePathString(fn, replaced);
        return;
    }
    validatePathString(fn, pathString);
}

void FValidation::validateKey(std::string_view fn, std::string_view key) {
    if (key.empty() || holdsAny(key, "[].#$/")) {
        throw ns::Exception("InvalidKeyValidation",
                            ns::format("(%@) Must be a non-empty string and not contain '/' '.' '#' '$' '[' or ']'", fn));
    }
}

void FValidation::validateKnownEventType(std::string_view fn, long eventType) {
    if (static_cast<unsigned long>(eventType) > 4) {
        throw ns::Exception("KnownEventTypeValidation", ns::format("(%@) Unknown event type: %d", fn, eventType));
    }
}

void FValidation::validateWritablePath(std::string_view fn, const FPath& path) {
    if (!path.isEmpty() && path.pieceAt(0) == ".info") {
        throw ns::Exception("WritablePathValidation",
                            ns::format("(%@) failed to path %@: Can't modify data under %@", fn, path.description(),
                                       ".info"));
    }
}

void FValidation::validateURL(std::string_view fn, const FParsedUrl& parsedUrl) {
    validateRootPathString(fn, parsedUrl.path.description());
}

bool FValidation::validatePriorityValue(const ns::Value& value) {
    if (value.isNull() || value.isString()) return true;
    if (value.isNumber()) return !(value.isDouble() && std::isnan(value.asDouble()));
    if (const ns::Dictionary* d = value.dictionaryOrNull()) return d->size() == 1 && d->count(".sv");
    return false;
}
