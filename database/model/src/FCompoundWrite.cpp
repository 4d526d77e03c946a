#include "database/model/FCompoundWrite.h"

#include "database/model/FSnapshotUtilities.h"
#include "platform/no_destructor.h"

namespace {

const char kPriorityKey[] = ".priority";

}  // namespace

const FCompoundWrite& FCompoundWrite::emptyWrite() {
    static const ns::NoDestructor<FCompoundWrite> kEmpty;
    return *kEmpty;
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
    writeTree_.forEachWhile([&](const FPath& path, const FNodePtr& node) {
        bool stop = false;
        block(path, node, stop);
        return !stop;
    });
}

FNodePtr FCompoundWrite::applyToNode(const FNodePtr& node) const {
    return applySubtreeWrite(FPath::empty(), writeTree_, node);
}

// The writes in key order, each branch's priority after the rest of the
// branch, with the walk's own stack: a write tree is as deep as the longest
// path written, which a stored write's reader took from its input.
FNodePtr FCompoundWrite::applySubtreeWrite(const FPath& relativePath, const FImmutableTree<FNodePtr>& writeTree,
                                           FNodePtr node) {
    using Tree = FImmutableTree<FNodePtr>;
    if (writeTree.value()) return node->updateChild(relativePath, *writeTree.value());
    struct Branch {
        Tree::Children::Iterator next;
        FNodePtr priorityWrite;
    };
    std::vector<Branch> open;
    std::vector<std::string> keys(relativePath.begin(), relativePath.end());
    open.push_back(Branch{writeTree.children().iterator(), nullptr});
    while (!open.empty()) {
        Branch& branch = open.back();
        if (branch.next.valid()) {
            const std::string& key = branch.next.key();
            const Tree& child = branch.next.value();
            branch.next.next();
            if (key == kPriorityKey) {
                // A priority applies only where there is data; it goes last.
                branch.priorityWrite = child.value() ? *child.value() : nullptr;
                continue;
            }
            keys.push_back(key);
            if (child.value()) {
                node = node->updateChild(FPath(keys, 0), *child.value());
                keys.pop_back();
            } else {
                open.push_back(Branch{child.children().iterator(), nullptr});
            }
            continue;
        }
        const FPath at(keys, 0);
        if (branch.priorityWrite && !node->getChild(at)->isEmpty()) {
            node = node->updateChild(at.child(FPath(std::vector<std::string>{kPriorityKey}, 0)), branch.priorityWrite);
        }
        open.pop_back();
        if (!open.empty()) keys.pop_back();
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
