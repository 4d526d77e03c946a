#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "database/model/FCompoundWrite.h"
#include "database/model/FImmutableTree.h"
#include "database/model/FNode.h"
#include "database/model/FSnapshotUtilities.h"

namespace {

// Each case runs on a thread whose stack holds a few hundred calls of the
// operations here, at a depth a hundred times that.
constexpr size_t kSmallStack = 256 * 1024;
constexpr size_t kDeep = 20000;

void onSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// "k/k/.../k", `keys` keys.
std::string keysText(size_t keys) {
    std::string text;
    text.reserve(keys * 2);
    for (size_t i = 0; i < keys; ++i) text += i ? "/k" : "k";
    return text;
}

using Tree = FImmutableTree<int>;

struct Case {
    const char* what;
    std::function<bool()> holds;
};

// Every tree operation along a path of kDeep keys; each tree is let go on
// the small stack too, whole or while a later version still holds its
// branch.
TEST(DeepPath, TreeOperationsAlongALongPath) {
    onSmallStack([] {
        const FPath path(keysText(kDeep));
        const FPath above(keysText(kDeep - 1));
        const Tree deep = Tree().setValue(7, path);
        const Case cases[] = {
            {"set, then read back", [&] { return deep.valueAtPath(path) == 7 && !deep.valueAtPath(above); }},
            {"set a tree", [&] { return Tree().setTree(Tree(8), path).valueAtPath(path) == 8; }},
            {"set the empty tree prunes the branch", [&] { return deep.setTree(Tree(), above).isEmpty(); }},
            {"remove prunes the branch", [&] { return deep.removeValueAtPath(path).isEmpty(); }},
            {"remove where no value is keeps the tree", [&] { return deep.removeValueAtPath(above).valueAtPath(path) == 7; }},
            {"subtree", [&] { return deep.subtreeAtPath(above).valueAtPath(FPath("k")) == 7; }},
            {"walk", [&] {
                 size_t seen = 0, keys = 0;
                 deep.forEach([&](const FPath& p, int) { ++seen, keys = p.length(); });
                 return seen == 1 && keys == kDeep;
             }},
            {"walk that stops", [&] { return !deep.setValue(1, FPath()).forEachWhile([](const FPath&, int) { return false; }); }},
            {"search", [&] { return deep.containsValueMatching([](int v) { return v == 7; }); }},
            {"a version sharing the branch outlives the one that made it", [&] {
                 Tree later = Tree().setValue(7, path).setValue(1, FPath("other"));
                 return later.removeValueAtPath(FPath("other")).valueAtPath(path) == 7;
             }},
        };
        for (const Case& c : cases) EXPECT_TRUE(c.holds()) << c.what;
    });
}

// The fold hands every node its path, so along a single branch its cost
// grows with the square of the depth: it goes a few thousand levels down.
TEST(DeepPath, FoldAlongALongBranch) {
    onSmallStack([] {
        constexpr size_t kFoldDeep = 2000;
        const Tree deep = Tree().setValue(1, FPath(keysText(kFoldDeep))).setValue(2, FPath("k"));
        const size_t levels = deep.foldWithBlock<size_t>(
            [](const FPath&, const std::optional<int>&, const std::map<std::string, size_t>& below) {
                return below.empty() ? size_t(1) : below.begin()->second + 1;
            });
        EXPECT_EQ(levels, kFoldDeep + 1);
    });
}

FNodePtr leaf(int v) { return FSnapshotUtilities::nodeFrom(ns::Value(v)); }

// `keys` levels of "k" over `at`, built from the bottom up.
FNodePtr chain(size_t keys, FNodePtr at) {
    for (size_t i = 0; i < keys; ++i) at = FEmptyNode::emptyNode()->updateImmediateChild("k", at);
    return at;
}

// A node updated at a path of kDeep keys, read back, updated again and let
// go, whole or while another version still holds its branch.
TEST(DeepPath, NodeUpdatesAlongALongPath) {
    onSmallStack([] {
        const FPath path(keysText(kDeep));
        const FPath above(keysText(kDeep - 1));
        const FNodePtr beside = leaf(9);
        const FNodePtr top = FEmptyNode::emptyNode()->updateImmediateChild("x", beside);
        const FNodePtr deep = top->updateChild(path, leaf(7));
        const Case cases[] = {
            {"set, then read back", [&] { return deep->getChild(path)->isEqual(*leaf(7)) && deep->numChildren() == 2; }},
            {"one child at each level below the top", [&] {
                 size_t levels = 0;
                 for (FNodePtr at = deep->getImmediateChild("k"); !at->isLeafNode(); at = at->getImmediateChild("k")) {
                     if (at->numChildren() != 1) return false;
                     ++levels;
                 }
                 return levels == kDeep - 1;
             }},
            {"a child beside the path is shared", [&] { return deep->getImmediateChild("x") == beside; }},
            {"set again where it is", [&] { return deep->updateChild(path, leaf(8))->getChild(path)->isEqual(*leaf(8)); }},
            {"a priority at the deepest place", [&] {
                 const FNodePtr p = deep->updateChild(path.childFromString(".priority"), leaf(3));
                 return p->getChild(path)->getPriority()->isEqual(*leaf(3)) && p->getChild(path)->isLeafNode();
             }},
            {"through a leaf half way", [&] {
                 const FPath half(keysText(kDeep / 2));
                 return deep->updateChild(half, leaf(1))->updateChild(path, leaf(2))->getChild(path)->isEqual(*leaf(2));
             }},
            {"the empty node prunes the branch", [&] { return deep->updateChild(path, FEmptyNode::emptyNode())->isEqual(*top); }},
            {"nothing where no node is", [&] { return deep->getChild(path.childFromString("k"))->isEmpty(); }},
            {"a version sharing the branch outlives the one that made it", [&] {
                 FNodePtr later = FEmptyNode::emptyNode()->updateChild(path, leaf(7));
                 FNodePtr branch = later->getChild(above);
                 later.reset();
                 return branch->getImmediateChild("k")->isEqual(*leaf(7));
             }},
            {"a chain built level by level is let go", [&] { return chain(kDeep, leaf(1)) != nullptr; }},
        };
        for (const Case& c : cases) EXPECT_TRUE(c.holds()) << c.what;
    });
}

// A compound write as read from a stored update whose member lies kDeep
// keys down: built, searched, listed and taken apart.
TEST(DeepPath, CompoundWriteAlongALongPath) {
    onSmallStack([] {
        const std::string text = keysText(kDeep);
        const FPath path(text);
        const FPath above(keysText(kDeep - 1));
        const FCompoundWrite write = FCompoundWrite::compoundWriteWithValueDictionary({{text, ns::Value(5)}});
        const Case cases[] = {
            {"complete node", [&] { return write.completeNodeAtPath(path)->isEqual(*leaf(5)); }},
            {"no complete node above", [&] { return !write.hasCompleteWriteAtPath(above); }},
            {"listed", [&] { return write.valForExport(true) == ns::Value(ns::Dictionary{{text, ns::Value(5)}}); }},
            {"written again where it is", [&] {
                 return write.addWrite(leaf(6), path).completeNodeAtPath(path)->isEqual(*leaf(6));
             }},
            {"re-rooted", [&] {
                 return write.childCompoundWriteAtPath(above).valForExport(true) ==
                        ns::Value(ns::Dictionary{{"k", ns::Value(5)}});
             }},
            {"removed", [&] { return write.removeWriteAtPath(above).isEmpty(); }},
            {"equal to itself made another way", [&] { return write == FCompoundWrite().addWrite(leaf(5), path); }},
            {"written under a write above it", [&] {
                 const FCompoundWrite under = FCompoundWrite().addWrite(leaf(1), FPath("k")).addWrite(leaf(6), path);
                 return under.completeNodeAtPath(path)->isEqual(*leaf(6)) && under.completeNodeAtPath(above)->numChildren() == 1;
             }},
        };
        for (const Case& c : cases) EXPECT_TRUE(c.holds()) << c.what;
    });
}

}  // namespace
