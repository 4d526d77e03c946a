#pragma once
// Reads what the cache itself wrote straight into nodes: the JSON of a leaf
// row or of a write's export-form value, and the rows of a subtree. No
// generic value is built on the way. The reader takes only the well-formed
// text the cache writes; for anything else (bad JSON, a key or member that
// conversion would refuse, numbers out of range, "\u" escapes beyond ASCII,
// arrays) it answers nothing and the caller reads the text the generic way,
// so every odd row keeps the generic reader's outcome and messages.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database/cache/APLevelDB.h"
#include "database/model/FImmutableTree.h"
#include "database/model/FNode.h"

class FCacheNodeReader {
public:
    // What a reader learns while it reads rows or objects one after another:
    // at each place (the same member of sibling objects, by depth and
    // position) the key and the leaf it made last, and whether looking keys
    // and leaves up among the thread's recent ones finds anything there.
    // Sibling records repeat their member names and often their values, so
    // the last ones are tried first; where the look-up keeps finding nothing
    // (ids, names, other values that do not repeat) keys and leaves are made
    // new without it, and looked up again now and then.
    class Sharing {
    public:
        class Place {
        public:
            FChildKey key(std::string_view name) {
                // Sibling rows repeat their member names: the last key
                // again, without a call.
                const std::string& last = key_.str();
                // Most names of records are one byte: no call for them.
                if (last.size() == name.size() &&
                    (name.empty() ||
                     (last[0] == name[0] &&
                      (name.size() == 1 || std::memcmp(last.data() + 1, name.data() + 1, name.size() - 1) == 0)))) {
                    keyLookUps_.note(true);
                    return key_;
                }
                return newKey(name);
            }
            // Whether the last key made here passes byteOrderIsKeyOrder.
            bool keyInByteOrder() const { return keyInByteOrder_; }
            // A leaf without a priority.
            FNodePtr leaf(const ns::Value& value) { return leaves_.leaf(value); }
            FNodePtr textLeaf(std::string_view text) { return leaves_.textLeaf(text); }
            FNodePtr intLeaf(int64_t value) { return leaves_.intLeaf(value); }

        private:
            FChildKey newKey(std::string_view name);
            FChildKey key_;
            FLeafPlace leaves_;
            FRecentLookUps keyLookUps_;
            bool keyInByteOrder_ = false;
        };
        Place& at(size_t depth, size_t position) {
            if (depth < places_.size() && position < places_[depth].size()) return places_[depth][position];
            return add(depth, position);
        }

    private:
        // Deeper or further along places share the last one.
        Place& add(size_t depth, size_t position);
        std::vector<std::vector<Place>> places_;
    };

    // The node of an export-form JSON value (null gives the empty node);
    // nullptr when the reader does not take the text. A value at the top is
    // made at `place` when one is given.
    static FNodePtr nodeFromJSON(std::string_view text, Sharing::Place* place = nullptr);

    // A stored write row: {"id", "path", and one of "o" (a set's node) or "m"
    // (relative paths to nodes)}, keys in the order the cache writes them.
    // A row is read into the one before it, so a reader of many rows keeps
    // the room of its members.
    struct WriteRow {
        int64_t writeId = 0;
        FPath path;
        FNodePtr overwrite;  // null for a merge
        // A merge's members in the order read, each a tree of its node, by
        // key; when a member's key is not one child key (a path of several
        // keys, or empty) `mergeByPath` is set and keys are paths' texts.
        std::vector<FImmutableTree<FNodePtr>::Children::Entry> merge;
        bool mergeByPath = false;
        // Every member key passed byteOrderIsKeyOrder.
        bool mergeInKeyOrder = true;
    };
    // The places of overwrites and of merges, kept apart.
    struct WriteSharing {
        Sharing overwrites;
        Sharing merges;
    };
    // False when the reader does not take the text (`row` then holds
    // nothing of use), which includes every row whose path and deepest
    // merge member together have more keys than a location may lie deep
    // (kQuorvaneMaxTreeDepth), refused before the member's node is made
    // (rows within a few keys of it may be left to the generic reading too,
    // which counts them exactly).
    static bool writeRowFromJSON(std::string_view text, WriteRow& row, WriteSharing* sharing = nullptr);

    // Keys of a path's text as FPath splits it (empty pieces dropped),
    // counted without making the path.
    static size_t pathKeyCount(std::string_view path);

    // Whether keys like this one come in key order when they come in byte
    // order, as members and rows do: no integer or sentinel can start it,
    // and it holds no character below "/" (which sorts a row before the
    // row of a shorter key) or beyond ASCII (UTF-16 order).
    static bool byteOrderIsKeyOrder(std::string_view key);

    // Children ordered for a children node: entries sorted by their key's
    // byte order (as rows and JSON members come) into the node key order,
    // which they already are in when `inKeyOrder` (every key passed
    // byteOrderIsKeyOrder); the entries are moved out and `entries` left
    // empty.
    static FChildrenDictionary childrenFrom(std::vector<FChildrenDictionary::Entry>& entries, bool inKeyOrder = false);

    // The node stored in the server-cache rows under `prefix` (a key ending
    // in "/"), the iterator standing on the first of them; it is left on the
    // first row past them. `rowNode` turns a row's value into a node (nullptr
    // drops the row), making a leaf at the row's place. A row beside deeper
    // rows of the same path gives way to the data they hold; a row whose key
    // has no trailing "/", or that lies deeper than a location may
    // (kQuorvaneMaxTreeDepth keys, one more for a leaf's ".value" or
    // ".priority"; the prefix stands for `prefixKeys` of them), is skipped.
    using RowNode = FNodePtr (*)(std::string_view value, Sharing::Place& place);
    static FNodePtr nodeFromRows(APLevelDBIterator& iterator, std::string prefix, size_t prefixKeys, RowNode rowNode);

};
