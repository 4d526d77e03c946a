#pragma once
// The pieces of a compound hash's range text, shared by the one-walk builder
// and the walk that splits a large tree over threads: both must write the
// same bytes.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"

namespace fcompoundhash {

// A reference to a text never destroyed: the children walk hands it on as a key.
inline const std::string& kPriorityKey = *new std::string(".priority");

// UTF-16 code units of UTF-8 text: one per character, two for those outside
// the Basic Multilingual Plane (four-byte sequences).
inline size_t utf8LeadUnits(unsigned char c) { return size_t((c & 0xC0) != 0x80) + size_t(c >= 0xF0); }

inline size_t utf16Units(std::string_view text) {
    size_t units = 0;
    size_t i = 0;
    // Runs of ASCII eight bytes at a time.
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
            units += 8;
            continue;
        }
        for (size_t j = i; j < i + 8; ++j) units += utf8LeadUnits(static_cast<unsigned char>(text[j]));
    }
    for (; i < text.size(); ++i) units += utf8LeadUnits(static_cast<unsigned char>(text[i]));
    return units;
}

inline bool sortsAfterPriority(const std::string& key) { return FUtilities::compareKey(key, kPriorityKey) > 0; }

// Children in key order with the priority at its key-order place: before
// the first child whose key sorts after ".priority", not at all when none does.
template <class F>
void forEachChildAndPriority(const FChildrenNode& node, F&& f) {
    const FNode& priority = node.priorityNode();
    bool pending = !priority.isEmpty();
    node.children().forEach([&](const std::string& key, const FNodePtr& child) {
        if (pending && sortsAfterPriority(key)) {
            pending = false;
            f(kPriorityKey, priority);
        }
        f(key, *child);
        return true;
    });
}

// forEachChildAndPriority with each child handed over once its next sibling
// is known, and that sibling fetched into the cache meanwhile.
template <class F>
void forEachChildAndPriorityPrefetched(const FChildrenNode& node, F&& f) {
    const std::string* pendingKey = nullptr;
    const FNode* pending = nullptr;
    forEachChildAndPriority(node, [&](const std::string& nextKey, const FNode& next) {
        __builtin_prefetch(&next);
        if (pending) f(*pendingKey, *pending);
        pendingKey = &nextKey;
        pending = &next;
    });
    if (pending) f(*pendingKey, *pending);
}

// Range text writers: appends to the range text that the compiler inlines
// (a range is written a few bytes at a time).
using RangeText = std::vector<char>;

inline void put(RangeText& text, std::string_view bytes) { text.insert(text.end(), bytes.begin(), bytes.end()); }

// As +[FSnapshotUtilities appendHashV2RepresentationForString:].
inline void putQuoted(RangeText& text, std::string_view str) {
    text.push_back('"');
    size_t start = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '\\' || str[i] == '"') {
            put(text, str.substr(start, i - start));
            text.push_back('\\');
            start = i;
        }
    }
    put(text, str.substr(start));
    text.push_back('"');
}

// The UTF-16 length of a key as putQuoted writes it.
inline size_t quotedUnits(std::string_view str) {
    size_t units = 2;
    for (unsigned char c : str) units += utf8LeadUnits(c) + size_t(c == '\\' || c == '"');
    return units;
}

// The leaf's version 1 hash text, as +[FSnapshotUtilities
// appendHashRepresentationForLeafNode:] writes it (which writes the rare
// leaves with a priority, and raises for what cannot be hashed).
inline void putLeaf(RangeText& text, const FLeafNode& leaf) {
    if (!leaf.priorityNode().isEmpty()) {
        std::string out;
        FSnapshotUtilities::appendHashRepresentationForLeafNode(leaf, out, FDataHashVersion1);
        put(text, out);
    } else if (leaf.isBool()) {
        put(text, leaf.boolValue() ? "boolean:true" : "boolean:false");
    } else if (leaf.isNumber()) {
        const double d = leaf.doubleValue();
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        static const char kHex[] = "0123456789abcdef";
        char digits[16];
        for (int i = 15; i >= 0; --i, bits >>= 4) digits[i] = kHex[bits & 0xF];
        put(text, "number:");
        put(text, std::string_view(digits, 16));
    } else {
        put(text, "string:");
        putQuoted(text, leaf.stringValue());
    }
}

// The compound hash of a large children node cut at `threshold` UTF-16
// units by the simple size rule, its ranges written and hashed on several
// threads; false (and nothing written) when the tree is one this walk leaves
// to the builder.
bool hashOnThreads(const FNode& node, uint64_t threshold, std::vector<FPath>& posts, std::vector<std::string>& hashes);

}  // namespace fcompoundhash
