#pragma once
// Reads what the cache itself wrote straight into nodes: the JSON of a leaf
// row or of a write's export-form value, and the rows of a subtree. No
// generic value is built on the way. The reader takes only the well-formed
// text the cache writes; for anything else (bad JSON, a key or member that
// conversion would refuse, numbers out of range, "\u" escapes beyond ASCII,
// arrays) it answers nothing and the caller reads the text the generic way,
// so every odd row keeps the generic reader's outcome and messages.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database/cache/APLevelDB.h"
#include "database/model/FNode.h"

class FCacheNodeReader {
public:
    // The node of an export-form JSON value (null gives the empty node);
    // nullptr when the reader does not take the text.
    static FNodePtr nodeFromJSON(std::string_view text);

    // A stored write row: {"id", "path", and one of "o" (a set's node) or "m"
    // (relative paths to nodes)}, keys in the order the cache writes them.
    struct WriteRow {
        int64_t writeId = 0;
        FPath path;
        FNodePtr overwrite;  // null for a merge
        std::vector<std::pair<std::string, FNodePtr>> merge;
    };
    static std::optional<WriteRow> writeRowFromJSON(std::string_view text);

    // Children ordered for a children node: entries sorted by their key's
    // byte order (as rows and JSON members come) into the node key order.
    static FChildrenDictionary childrenFrom(std::vector<FChildrenDictionary::Entry>& entries);

    // The node stored in the server-cache rows under `prefix` (a key ending
    // in "/"), the iterator standing on the first of them; it is left on the
    // first row past them. `rowNode` turns a row's value into a node (nullptr
    // drops the row). A row beside deeper rows of the same path gives way to
    // the data they hold; a row whose key has no trailing "/" is skipped.
    using RowNode = FNodePtr (*)(std::string_view value);
    static FNodePtr nodeFromRows(APLevelDBIterator& iterator, std::string prefix, RowNode rowNode);

};
