#include "database/model/FCompoundWrite.h"

#include "database/model/FSnapshotUtilities.h"

namespace {

const char kPriorityKey[] = ".priority";

// Pre-order walk with a stop flag; answers false once stopped.
bool walkWrites(const FImmutableTree<FNodePtr>& tree, const FPath& soFar,
                const std::function<void(const FPath&, const FNodePtr&, bool&)>& block) {
    if (tree.value()) {
        bool stop = false;
        block(soFar, *tree.value(), stop);
        if (stop) return false;
    }
    return tree.children().forEach([&](const std::string& key, const FImmutableTree<FNodePtr>& child) {
        return walkWrites(child, soFar.child(FPath(std::vector<std::string>{key}, 0)), block);
    });
}

}  // namespace

const FCompoundWrite& FCompoundWrite::emptyWrite() {
    static const FCompoundWrite kEmpty;
    return kEmpty;
}

FCompoundWrite FCompoundWrite::compoundWriteWithValueDictionary(const ns::Dictionary& values) {
    FCompoundWrite write;
    for (const auto& [path, value] : values) write = write.addWrite(FSnapshotUtilities::nodeFrom(value), FPath(path));
    return write;
}

FCompoundWrite FCompoundWrite::addWrite(const FNodePtr& node, const FPath& path) const {
    if (path.isEmpty()) return FCompoundWrite(FImmutableTree<FNodePtr>(node));
    if (auto rootMost = writeTree_.findRootMostPathAndValue(path)) {
        FPath relative = FPath::relativePathFrom(rootMost->first, path);
        FNodePtr updated = rootMost->second->updateChild(relative, node);
        return FCompoundWrite(writeTree_.setValue(updated, rootMost->first));
    }
    return FCompoundWrite(writeTree_.setTree(FImmutableTree<FNodePtr>(node), path));
}

FCompoundWrite FCompoundWrite::addWrite(const FNodePtr& node, const std::string& key) const {
    return addWrite(node, FPath(std::vector<std::string>{key}, 0));
}

FCompoundWrite FCompoundWrite::addCompoundWrite(const FCompoundWrite& write, const FPath& path) const {
    FCompoundWrite result = *this;
    write.enumerateWrites([&](const FPath& relative, const FNodePtr& node, bool&) {
        result = result.addWrite(node, path.child(relative));
    });
    return result;
}

FCompoundWrite FCompoundWrite::removeWriteAtPath(const FPath& path) const {
    if (path.isEmpty()) return emptyWrite();
    return FCompoundWrite(writeTree_.setTree(FImmutableTree<FNodePtr>(), path));
}

bool FCompoundWrite::hasCompleteWriteAtPath(const FPath& path) const { return completeNodeAtPath(path) != nullptr; }

FNodePtr FCompoundWrite::completeNodeAtPath(const FPath& path) const {
    auto rootMost = writeTree_.findRootMostPathAndValue(path);
    if (!rootMost) return nullptr;
    return rootMost->second->getChild(FPath::relativePathFrom(rootMost->first, path));
}

std::vector<FNamedNode> FCompoundWrite::completeChildren() const {
    std::vector<FNamedNode> children;
    if (const auto& root = writeTree_.value()) {
        (*root)->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            children.push_back(FNamedNode{key, child});
        });
    } else {
        writeTree_.forEachChild([&](const std::string& key, const FNodePtr& node) {
            children.push_back(FNamedNode{key, node});
        });
    }
    return children;
}

std::map<std::string, FCompoundWrite> FCompoundWrite::childCompoundWrites() const {
    std::map<std::string, FCompoundWrite> writes;
    writeTree_.children().forEach([&](const std::string& key, const FImmutableTree<FNodePtr>& child) {
        writes.emplace(key, FCompoundWrite(child));
        return true;
    });
    return writes;
}

FCompoundWrite FCompoundWrite::childCompoundWriteAtPath(const FPath& path) const {
    if (path.isEmpty()) return *this;
    if (FNodePtr shadowing = completeNodeAtPath(path)) return FCompoundWrite(FImmutableTree<FNodePtr>(shadowing));
    return FCompoundWrite(writeTree_.subtreeAtPath(path));
}

void FCompoundWrite::enumerateWrites(
    const std::function<void(const FPath& path, const FNodePtr& node, bool& stop)>& block) const {
    walkWrites(writeTree_, FPath::empty(), block);
}

FNodePtr FCompoundWrite::applyToNode(const FNodePtr& node) const {
    return applySubtreeWrite(FPath::empty(), writeTree_, node);
}

FNodePtr FCompoundWrite::applySubtreeWrite(const FPath& relativePath, const FImmutableTree<FNodePtr>& writeTree,
                                           FNodePtr node) {
    if (writeTree.value()) return node->updateChild(relativePath, *writeTree.value());
    FNodePtr priorityWrite;
    writeTree.children().forEach([&](const std::string& key, const FImmutableTree<FNodePtr>& child) {
        if (key == kPriorityKey) {
            // A priority applies only where there is data; it goes last.
            priorityWrite = child.value() ? *child.value() : nullptr;
        } else {
            node = applySubtreeWrite(relativePath.child(FPath(std::vector<std::string>{key}, 0)), child, node);
        }
        return true;
    });
    if (priorityWrite && !node->getChild(relativePath)->isEmpty()) {
        node = node->updateChild(relativePath.child(FPath(std::vector<std::string>{kPriorityKey}, 0)), priorityWrite);
    }
    return node;
}

FNodePtr FCompoundWrite::rootWrite() const { return writeTree_.value() ? *writeTree_.value() : nullptr; }

ns::Value FCompoundWrite::valForExport(bool exportFormat) const {
    ns::Dictionary d;
    enumerateWrites([&](const FPath& path, const FNodePtr& node, bool&) {
        d[path.wireFormat()] = node->valForExport(exportFormat);
    });
    return ns::Value(std::move(d));
}

bool FCompoundWrite::isEqual(const FCompoundWrite& other) const {
    return valForExport(true) == other.valForExport(true);
}

std::string FCompoundWrite::description() const { return valForExport(true).description(); }
