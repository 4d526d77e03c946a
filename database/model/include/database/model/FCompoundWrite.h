#pragma once
// An immutable set of node writes by relative path. A write below an existing
// write is folded into it, and a write above existing writes replaces them,
// so no write ever lies below another.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "database/model/FImmutableTree.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "platform/value.h"

class FCompoundWrite {
public:
    // The empty compound write.
    FCompoundWrite() = default;
    explicit FCompoundWrite(FImmutableTree<FNodePtr> writeTree) : writeTree_(std::move(writeTree)) {}

    static const FCompoundWrite& emptyWrite();
    // Relative path strings to Foundation values (converted with
    // +[FSnapshotUtilities nodeFrom:]).
    static FCompoundWrite compoundWriteWithValueDictionary(const ns::Dictionary& values);

    FCompoundWrite addWrite(const FNodePtr& node, const FPath& path) const;
    FCompoundWrite addWrite(const FNodePtr& node, const std::string& key) const;
    FCompoundWrite addCompoundWrite(const FCompoundWrite& write, const FPath& path) const;
    // Without anything written at or below the path (the root path gives the
    // empty compound write).
    FCompoundWrite removeWriteAtPath(const FPath& path) const;

    bool hasCompleteWriteAtPath(const FPath& path) const;
    // The node that a write at the path or above fully determines there.
    FNodePtr completeNodeAtPath(const FPath& path) const;
    // The immediate children the writes fully determine.
    std::vector<FNamedNode> completeChildren() const;
    // Child key to the compound write below it.
    std::map<std::string, FCompoundWrite> childCompoundWrites() const;
    // The writes at and below the path, re-rooted there; a write above the
    // path gives a compound write with that write's node there as root write.
    FCompoundWrite childCompoundWriteAtPath(const FPath& path) const;

    // Each write (relative path, node); no further calls once stop is set.
    void enumerateWrites(const std::function<void(const FPath& path, const FNodePtr& node, bool& stop)>& block) const;

    FNodePtr applyToNode(const FNodePtr& node) const;

    // The node written at the root path, or nullptr.
    FNodePtr rootWrite() const;
    bool isEmpty() const { return writeTree_.isEmpty(); }

    // Each write's path in wire format to its node's value (export form with
    // YES).
    ns::Value valForExport(bool exportFormat) const;

    bool isEqual(const FCompoundWrite& other) const;
    friend bool operator==(const FCompoundWrite& a, const FCompoundWrite& b) { return a.isEqual(b); }
    std::string description() const;

    const FImmutableTree<FNodePtr>& writeTree() const { return writeTree_; }

private:
    static FNodePtr applySubtreeWrite(const FPath& relativePath, const FImmutableTree<FNodePtr>& writeTree,
                                      FNodePtr node);

    FImmutableTree<FNodePtr> writeTree_;
};
