#pragma once
// Around user writes: server-value placeholders resolved locally with the
// client's estimate of the server's time, nodes remembered at scattered paths
// (the accepted on-disconnect writes), and a holder of one root node.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "database/model/FClock.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "platform/value.h"

// The key of a placeholder: {".sv": "timestamp"}.
inline constexpr const char* kServerValueSubKey = ".sv";

class FSparseSnapshotTree;
using FSparseSnapshotTreePtr = std::shared_ptr<FSparseSnapshotTree>;

class FSparseSnapshotTree {
public:
    FSparseSnapshotTree() = default;

    // The remembered node at the path, or nullptr.
    FNodePtr findPath(const FPath& path) const;
    // Remembers the node at the path, replacing whatever lay at or below it.
    void rememberData(const FNodePtr& data, const FPath& path);
    // Forgets what lies at or below the path; YES when the tree is now empty.
    bool forgetPath(const FPath& path);
    // Every remembered node with its full path (prefix plus the path inside).
    void forEachTreeAtPath(const FPath& prefix, const std::function<void(const FPath&, const FNodePtr&)>& block) const;
    void forEachChild(const std::function<void(const std::string&, const FSparseSnapshotTree&)>& block) const;

    const FNodePtr& value() const { return value_; }

private:
    FNodePtr value_;
    // Absent until first needed; dropped once empty.
    std::unique_ptr<std::map<std::string, FSparseSnapshotTreePtr>> children_;
};

class FServerValues {
public:
    // {"timestamp": the clock's time in milliseconds, truncated}.
    static ns::Dictionary generateServerValues(const FClock& clock);
    // The map's entry for a placeholder naming one, else the value itself.
    static ns::Value resolveDeferredValue(const ns::Value& value, const ns::Dictionary& serverValues);
    // Every placeholder resolved; the same object when there is none.
    static FNodePtr resolveDeferredValueSnapshot(const FNodePtr& node, const ns::Dictionary& serverValues);
    static FCompoundWrite resolveDeferredValueCompoundWrite(const FCompoundWrite& write,
                                                            const ns::Dictionary& serverValues);
    static FSparseSnapshotTreePtr resolveDeferredValueTree(const FSparseSnapshotTree& tree,
                                                           const ns::Dictionary& serverValues);
};

class FSnapshotHolder {
public:
    FSnapshotHolder();

    FNodePtr getNode(const FPath& path) const { return rootNode_->getChild(path); }
    void updateSnapshot(const FPath& path, const FNodePtr& newSnapshot) {
        rootNode_ = rootNode_->updateChild(path, newSnapshot);
    }
    const FNodePtr& rootNode() const { return rootNode_; }
    void setRootNode(FNodePtr rootNode) { rootNode_ = std::move(rootNode); }

private:
    FNodePtr rootNode_;
};
