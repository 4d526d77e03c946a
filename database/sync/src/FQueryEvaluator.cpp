#include "database/sync/FQueryEvaluator.h"

#include "database/sync/FNodeFilter.h"

namespace {

// Hashes the node's leaves range by range, closing a range at each post:
// after the leaf at the post, or before any subtree whose leaves all lie
// after it. With the client's data, the texts are the client's own.
class RangeHasher {
public:
    explicit RangeHasher(const std::vector<FPath>& posts) : posts_(posts), builder_(nullptr) {}

    std::vector<std::string> run(const FNodePtr& node) {
        if (!node->isEmpty()) {
            closeBefore(FPath::empty(), node->isLeafNode());
            walk(node, FPath::empty());
        }
        while (next_ < posts_.size()) closeRange();
        hashes_.push_back(builder_.isBuildingRange() ? endRange() : std::string());
        return std::move(hashes_);
    }

private:
    void walk(const FNodePtr& node, const FPath& path) {
        if (node->isLeafNode()) {
            builder_.processLeaf(static_cast<const FLeafNode&>(*node));
            if (next_ < posts_.size() && path == posts_[next_]) closeRange();
            return;
        }
        auto* children = dynamic_cast<const FChildrenNode*>(node.get());
        if (!children) return;
        children->enumerateChildrenAndPriority([&](const std::string& key, const FNodePtr& child, bool&) {
            FPath childPath = path.childFromString(key);
            closeBefore(childPath, child->isLeafNode());
            builder_.startChild(key);
            walk(child, childPath);
            builder_.endChild();
        });
    }

    // Every leaf at or below `path` lies after the next post when the path
    // sorts after it (and is not its ancestor), or is the post itself but
    // has children, which sort after it.
    void closeBefore(const FPath& path, bool isLeaf) {
        while (next_ < posts_.size()) {
            int order = path.compare(posts_[next_]);
            if (order < 0 || (order == 0 && isLeaf)) return;
            closeRange();
        }
    }

    void closeRange() {
        hashes_.push_back(builder_.isBuildingRange() ? endRange() : std::string());
        ++next_;
    }

    std::string endRange() {
        builder_.endRange();
        return builder_.currentHashes().back();
    }

    const std::vector<FPath>& posts_;
    FCompoundHashBuilder builder_;
    size_t next_ = 0;
    std::vector<std::string> hashes_;
};

}  // namespace

FNodePtr FQueryEvaluator::queryWindow(const FNodePtr& node, const FQueryParams& params) {
    if (params.loadsAllData()) return node;
    FNodeFilterPtr filter = params.nodeFilter();
    FIndexedNodePtr empty = FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), params.index());
    return filter->updateFullNode(empty, FIndexedNode::indexedNodeWithNode(node, params.index()), nullptr)->node();
}

std::vector<std::string> FQueryEvaluator::rangeHashes(const FNodePtr& node, const std::vector<FPath>& posts) {
    return RangeHasher(posts).run(node);
}

std::vector<FRangeMerge> FQueryEvaluator::rangeMergesFor(const FNodePtr& node, const FCompoundHash& clientHash) {
    const std::vector<FPath>& posts = clientHash.posts();
    std::vector<std::string> serverHashes = rangeHashes(node, posts);
    std::vector<FRangeMerge> merges;
    for (size_t i = 0; i < serverHashes.size(); ++i) {
        if (serverHashes[i] == clientHash.hashes()[i]) continue;
        // A run of differing ranges goes as one merge: applied one by one,
        // a range could empty a location whose priority the next one needs.
        size_t last = i;
        while (last + 1 < serverHashes.size() && serverHashes[last + 1] != clientHash.hashes()[last + 1]) ++last;
        std::optional<FPath> start = i > 0 ? std::optional<FPath>(posts[i - 1]) : std::nullopt;
        std::optional<FPath> end = last < posts.size() ? std::optional<FPath>(posts[last]) : std::nullopt;
        i = last;
        // Only the range's own part of the data travels. A location whose
        // priority falls in the range while none of its children do (it
        // lies on the start or end path) travels whole, since no node holds
        // a priority on nothing.
        FNodePtr part = FRangeMerge(start, end, node).applyToNode(FEmptyNode::emptyNode());
        auto inRange = [&](const FPath& p) {
            return (!start || p.compare(*start) > 0) && (!end || p.compare(*end) <= 0);
        };
        for (const std::optional<FPath>& bound : {start, end}) {
            if (!bound) continue;
            for (size_t depth = 0; depth <= bound->length(); ++depth) {
                FPath prefix(std::vector<std::string>(bound->begin(), bound->begin() + long(depth)), 0);
                FNodePtr serverNode = node->getChild(prefix);
                if (!serverNode->getPriority()->isEmpty() && inRange(prefix.childFromString(".priority")) &&
                    part->getChild(prefix)->isEmpty()) {
                    part = part->updateChild(prefix, serverNode);
                }
            }
        }
        merges.emplace_back(std::move(start), std::move(end), std::move(part));
    }
    return merges;
}

FCompoundWrite FQueryEvaluator::windowChanges(const FNodePtr& oldWindow, const FNodePtr& newWindow) {
    FCompoundWrite changes = FCompoundWrite::emptyWrite();
    oldWindow->enumerateChildren([&](const std::string& key, const FNodePtr&, bool&) {
        if (!newWindow->hasChild(key)) changes = changes.addWrite(FEmptyNode::emptyNode(), key);
    });
    newWindow->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        if (!oldWindow->getImmediateChild(key)->isEqual(*child)) changes = changes.addWrite(child, key);
    });
    if (!oldWindow->getPriority()->isEqual(*newWindow->getPriority())) {
        changes = changes.addWrite(newWindow->getPriority(), std::string(".priority"));
    }
    return changes;
}

FQueryEvaluator::ListenAnswer FQueryEvaluator::answerListen(const FNodePtr& locationData, const FQueryParams& params,
                                                            const std::string& clientSimpleHash,
                                                            const std::optional<FCompoundHash>& clientCompoundHash) {
    ListenAnswer answer;
    answer.window = queryWindow(locationData, params);
    if (simpleHash(answer.window) == clientSimpleHash) {
        answer.kind = ListenAnswer::Kind::UpToDate;
        return answer;
    }
    if (clientCompoundHash) {
        answer.kind = ListenAnswer::Kind::RangeMerges;
        answer.rangeMerges = rangeMergesFor(answer.window, *clientCompoundHash);
        return answer;
    }
    answer.kind = ListenAnswer::Kind::Overwrite;
    return answer;
}
