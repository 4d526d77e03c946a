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
// nest at most 64 deep. An object the archive names from many places (as
// archivers name an equal value once) is decoded once and every place shares
// it, so decoding is linear in the archive and takes at most 128 bytes of
// memory a byte of it; a reference back into an object being decoded (a
// cycle) is refused.

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

// Whether members read from an archive of `archiveBytes` come, written out
// place by place with nothing shared (JSON, a tree of nodes, one batch
// after another), to no more values than the archive could hold unshared
// (a value a byte) or a million, whichever is more. A consumer that writes
// each place out asks this first: a few bytes can name an array from many
// places, each level the next, and come to billions.
bool expandsWithinReason(const Dictionary& members, size_t archiveBytes);

// An archive in binary form whose root is an object of the class with the
// given members (a null member is left out, as encodeObject: with nil does).
// Each value is archived once however many places hold it (equal leaves,
// and a container the places share).
// Empty Data and *error when a member has no archived form.
Data archiveRoot(const std::string& className, const Dictionary& members, ErrorRef* error = nullptr);

}  // namespace ns::keyed_archive
