#pragma once
// Keyed archives (NSKeyedArchiver / NSKeyedUnarchiver stand-in) over property
// lists: "$archiver", "$version", "$top" and the "$objects" table, objects
// referring to each other by UID ({"CF$UID": n} once read, see
// platform/plist.h).
//
// Only what plain records need: a root object of some class whose members are
// Foundation values (strings, numbers, booleans, data, dates, arrays,
// dictionaries, nil). Unarchiving never raises: bad archives answer nullopt
// with an NSCocoaErrorDomain 4864 error (NSCoderReadCorruptError). Members
// nest at most 64 deep, and an archive decodes into no more memory than its
// property list holds (a reference counted as the slot it takes), however
// often it names one object: one naming an array from many places is refused.

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::keyed_archive {

inline constexpr long kCoderReadCorruptError = 4864;

struct ArchivedObject {
    std::string className;  // "$classname" of the root's class
    Dictionary members;     // each member decoded; nil members are null values
};

// The root object (under "$top"'s key "root") of an archive in binary or XML
// form.
std::optional<ArchivedObject> unarchiveRoot(const Data& bytes, ErrorRef* error = nullptr);

// An archive in binary form whose root is an object of the class with the
// given members (a null member is left out, as encodeObject: with nil does).
// Empty Data and *error when a member has no archived form.
Data archiveRoot(const std::string& className, const Dictionary& members, ErrorRef* error = nullptr);

}  // namespace ns::keyed_archive
