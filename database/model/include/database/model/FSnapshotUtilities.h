#pragma once
// Conversions between Foundation values and nodes (with the validation every
// write goes through), the hash texts of leaves and the size estimate the
// connection uses to decide between a simple and a compound hash.

#include <cstdint>
#include <string>
#include <string_view>

#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "platform/json.h"
#include "platform/value.h"

// Hash versions: 0 writes strings bare (the simple hash, dataHash), 1 writes
// them quoted (the compound hash).
enum FDataHashVersion : int {
    FDataHashVersion0 = 0,
    FDataHashVersion1 = 1,
};

// Longest string a leaf may hold, in UTF-8 bytes.
inline constexpr size_t kQuorvaneMaxLeafSize = 10485760;
// Deepest nesting of containers a value may have.
inline constexpr int kQuorvaneMaxObjectDepth = 1000;

class FSnapshotUtilities {
public:
    // The node for a Foundation value; null gives the empty node and
    // ".value"/".priority" members a leaf with a priority. Validated with the
    // tag "nodeFrom:priority:"; invalid data raise.
    static FNodePtr nodeFrom(const ns::Value& value);
    // The same with a priority (null for none).
    static FNodePtr nodeFrom(const ns::Value& value, const ns::Value& priority);
    // nodeFrom:withValidationFrom: and nodeFrom:priority:withValidationFrom:
    // raise with `validationFrom` as the first placeholder of the reason.
    static FNodePtr nodeFromWithValidation(const ns::Value& value, std::string_view validationFrom);
    static FNodePtr nodeFromWithValidation(const ns::Value& value, const ns::Value& priority,
                                           std::string_view validationFrom);

    // A whole tree its keeper stored, nesting up to `maxDepth` levels: a
    // server's root holds each location's path levels above the data
    // written there. Validated as nodeFrom(value) is, but for the depth.
    static FNodePtr nodeFromTree(const ns::Value& value, int maxDepth);

    // The node (or the exception) that nodeFrom(element.value()) gives,
    // made straight from the element where it is of the form data usually
    // have; nullptr when the element has no value (it nests too deep).
    static FNodePtr nodeFrom(const ns::json::Element& element);

    // The node of a JSON text: the node (or the exception) that
    // nodeFrom(ns::json::parse(text)) gives, text that is not JSON the empty
    // node. Text of the form data usually has (valid keys, each once, strings
    // within the leaf limit, shallow nesting) becomes nodes straight from the
    // parser's events, without the values in between; any other text goes
    // through the values.
    static FNodePtr nodeFromJsonText(std::string_view text);

    // An update dictionary (keys are relative paths) as a compound write.
    static FCompoundWrite compoundWriteFromDictionary(const ns::Dictionary& values, std::string_view validationFrom);

    // A rough size in bytes of the node's serialised form (children nodes
    // keep theirs).
    static uint64_t estimateSerializedNodeSize(const FNodePtr& node);
    static uint64_t estimateSerializedNodeSize(const FNode& node);

    // Appends the leaf's hash text. Raises NSInvalidArgumentException
    // "Unknown value for hashing: %@" for anything but a string, number or
    // boolean (a priority that is not a leaf included).
    static void appendHashRepresentationForLeafNode(const FLeafNode& leaf, std::string& out,
                                                    FDataHashVersion hashVersion);
    // A double quote, the string with "\" doubled and "\"" escaped, a double
    // quote.
    static void appendHashV2RepresentationForString(std::string_view str, std::string& out);
};
