#include <gtest/gtest.h>

#include "database/model/FCompoundWrite.h"
#include "database/model/FImmutableTree.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FTree.h"
#include "platform/json.h"

namespace {

ns::Value J(const char* json) { return ns::json::parse(json); }
FNodePtr N(const char* json) { return FSnapshotUtilities::nodeFrom(J(json)); }

TEST(CompoundWrite, FoldsIntoCoveringWritesAndReplacesCoveredOnes) {
    FCompoundWrite w = FCompoundWrite::emptyWrite();
    EXPECT_TRUE(w.isEmpty());
    w = w.addWrite(N("{\"x\":1}"), FPath("a/b"));
    w = w.addWrite(N("2"), FPath("a/b/y"));  // folded into the write at a/b
    EXPECT_EQ(w.valForExport(true), J("{\"a/b\":{\"x\":1,\"y\":2}}"));
    w = w.addWrite(N("3"), FPath("c"));
    w = w.addWrite(N("{\"z\":4}"), FPath("a"));  // replaces the write below it
    EXPECT_EQ(w.valForExport(true), J("{\"a\":{\"z\":4},\"c\":3}"));

    EXPECT_TRUE(w.hasCompleteWriteAtPath(FPath("a/z")));
    EXPECT_TRUE(w.completeNodeAtPath(FPath("a/q"))->isEmpty());
    EXPECT_EQ(w.completeNodeAtPath(FPath("d")), nullptr);
    EXPECT_FALSE(w.hasCompleteWriteAtPath(FPath()));
    EXPECT_EQ(w.rootWrite(), nullptr);

    auto complete = w.completeChildren();
    ASSERT_EQ(complete.size(), 2u);
    EXPECT_EQ(complete[0].name, "a");
    EXPECT_EQ(complete[1].name, "c");

    auto children = w.childCompoundWrites();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children.at("a").rootWrite()->val(), J("{\"z\":4}"));

    FCompoundWrite rooted = w.addWrite(N("{\"r\":1}"), FPath());
    EXPECT_EQ(rooted.valForExport(true), J("{\"/\":{\"r\":1}}"));
    EXPECT_EQ(rooted.addWrite(N("5"), "s").rootWrite()->val(), J("{\"r\":1,\"s\":5}"));
    auto rootChildren = rooted.completeChildren();
    ASSERT_EQ(rootChildren.size(), 1u);
    EXPECT_EQ(rootChildren[0].name, "r");

    EXPECT_TRUE(w.removeWriteAtPath(FPath()).isEmpty());
    EXPECT_EQ(w.removeWriteAtPath(FPath("a")).valForExport(true), J("{\"c\":3}"));
    EXPECT_EQ(w.removeWriteAtPath(FPath("a/z")).valForExport(true), J("{\"a\":{\"z\":4},\"c\":3}"));
}

TEST(CompoundWrite, ChildWritesAreReRooted) {
    FCompoundWrite w = FCompoundWrite::compoundWriteWithValueDictionary(
        J("{\"a/b\":1,\"a/c/d\":2,\"e\":{\"f\":{\"g\":3}}}").asDictionary());
    FCompoundWrite a = w.childCompoundWriteAtPath(FPath("a"));
    EXPECT_EQ(a.valForExport(true), J("{\"b\":1,\"c/d\":2}"));
    // Below a covering write: that write's node there, as the root write.
    FCompoundWrite f = w.childCompoundWriteAtPath(FPath("e/f"));
    ASSERT_NE(f.rootWrite(), nullptr);
    EXPECT_EQ(f.rootWrite()->val(), J("{\"g\":3}"));
    EXPECT_TRUE(w.childCompoundWriteAtPath(FPath("zz")).isEmpty());
    EXPECT_TRUE(w.childCompoundWriteAtPath(FPath()).isEqual(w));

    FCompoundWrite nested = FCompoundWrite().addCompoundWrite(a, FPath("x/y"));
    EXPECT_EQ(nested.valForExport(true), J("{\"x/y/b\":1,\"x/y/c/d\":2}"));
}

TEST(CompoundWrite, EnumerationStopsAndApplyRespectsPriorities) {
    FCompoundWrite w = FCompoundWrite::compoundWriteWithValueDictionary(J("{\"a\":1,\"b\":2,\"c\":3}").asDictionary());
    std::vector<std::string> seen;
    w.enumerateWrites([&](const FPath& p, const FNodePtr&, bool& stop) {
        seen.push_back(p.toString());
        stop = seen.size() == 2;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/b"}));

    FCompoundWrite priorities = FCompoundWrite()
                                    .addWrite(N("7"), FPath("x/.priority"))
                                    .addWrite(N("8"), FPath("y/.priority"))
                                    .addWrite(N("\"v\""), FPath("x/k"));
    FNodePtr applied = priorities.applyToNode(N("{\"z\":1}"));
    // "y" holds no data, so its priority is not kept.
    EXPECT_EQ(applied->valForExport(true), J("{\"x\":{\"k\":\"v\",\".priority\":7},\"z\":1}"));
    EXPECT_EQ(FCompoundWrite().addWrite(N("5"), FPath()).applyToNode(N("{\"q\":1}"))->val(), J("5"));
}

TEST(ImmutableTree, ValuesPathsAndPruning) {
    using Tree = FImmutableTree<int>;
    Tree t = Tree::empty().setValue(1, FPath("a")).setValue(2, FPath("a/b/c")).setValue(3, FPath("d"));
    EXPECT_EQ(*t.valueAtPath(FPath("a/b/c")), 2);
    EXPECT_FALSE(t.valueAtPath(FPath("a/b")));
    EXPECT_FALSE(t.value());
    EXPECT_TRUE(t.subtreeAtPath(FPath("nope")).isEmpty());
    EXPECT_EQ(*t.subtreeAtPath(FPath("a/b")).valueAtPath(FPath("c")), 2);

    Tree removed = t.removeValueAtPath(FPath("a/b/c"));
    EXPECT_TRUE(removed.subtreeAtPath(FPath("a/b")).isEmpty());  // pruned
    EXPECT_FALSE(removed.children().get("a")->children().contains("b"));
    EXPECT_TRUE(t.removeValueAtPath(FPath("a")).removeValueAtPath(FPath("a/b/c")).removeValueAtPath(FPath("d")).isEmpty());
    EXPECT_EQ(*t.valueAtPath(FPath("a/b/c")), 2);  // old version unchanged

    Tree replaced = t.setTree(Tree(9), FPath("a/b"));
    EXPECT_EQ(*replaced.valueAtPath(FPath("a/b")), 9);
    EXPECT_FALSE(replaced.valueAtPath(FPath("a/b/c")));
    EXPECT_FALSE(t.setTree(Tree(), FPath("a")).children().contains("a"));
    EXPECT_EQ(*t.setTree(Tree(5), FPath()).value(), 5);

    std::vector<std::string> all;
    t.forEach([&](const FPath& p, int v) { all.push_back(p.toString() + "=" + std::to_string(v)); });
    EXPECT_EQ(all, (std::vector<std::string>{"/a=1", "/a/b/c=2", "/d=3"}));
    std::vector<std::string> kids;
    t.forEachChild([&](const std::string& k, int v) { kids.push_back(k + std::to_string(v)); });
    EXPECT_EQ(kids, (std::vector<std::string>{"a1", "d3"}));
}

TEST(ImmutableTree, WalksAlongAPathAndFolds) {
    using Tree = FImmutableTree<int>;
    Tree t = Tree(0).setValue(1, FPath("a")).setValue(2, FPath("a/b/c")).setValue(3, FPath("a/b/c/d"));
    std::vector<std::string> walked;
    t.forEachOnPath(FPath("a/b/c/d/e"), [&](const FPath& p, int v) {
        walked.push_back(p.toString() + ":" + std::to_string(v));
        return v < 2;
    });
    EXPECT_EQ(walked, (std::vector<std::string>{"/:0", "/a:1", "/a/b/c:2"}));

    auto found = t.findOnPath<std::string>(FPath("a/b/c"), [](const FPath& p, int v) -> std::optional<std::string> {
        if (v == 0) return std::nullopt;
        return p.toString();
    });
    EXPECT_EQ(*found, "/a");
    EXPECT_EQ(*t.rootMostValueOnPath(FPath("a/b/c/d")), 0);
    EXPECT_EQ(*t.rootMostValueOnPath(FPath("a/b/c/d"), [](int v) { return v >= 2; }), 2);
    EXPECT_EQ(*t.leafMostValueOnPath(FPath("a/b/c/d")), 3);
    EXPECT_EQ(*t.leafMostValueOnPath(FPath("a/b/c"), [](int v) { return v % 2 == 1; }), 1);
    EXPECT_EQ(t.findRootMostMatchingPath(FPath("a/b/c/d"), [](int v) { return v == 2; })->toString(), "/a/b/c");
    EXPECT_FALSE(t.findRootMostMatchingPath(FPath("x"), [](int v) { return v == 2; }));
    EXPECT_TRUE(t.containsValueMatching([](int v) { return v == 3; }));
    EXPECT_FALSE(t.containsValueMatching([](int v) { return v == 4; }));

    // Sum of values with the number of children seen at each node.
    int total = t.foldWithBlock<int>([](const FPath&, const std::optional<int>& v, const std::map<std::string, int>& kids) {
        int sum = v.value_or(0);
        for (const auto& [k, r] : kids) sum += r;
        return sum;
    });
    EXPECT_EQ(total, 6);
}

TEST(MutableTree, NodesJoinAndLeaveTheirParents) {
    auto root = FTree<std::string>::make();
    EXPECT_TRUE(root->isEmpty());
    auto deep = root->subTree(FPath("a/b/c"));
    EXPECT_TRUE(root->isEmpty());  // nothing set yet
    EXPECT_EQ(deep->path().toString(), "/a/b/c");
    EXPECT_EQ(deep->name(), "c");
    deep->setValue("x");
    EXPECT_FALSE(root->isEmpty());
    EXPECT_TRUE(root->hasChildren());
    EXPECT_EQ(*root->subTree(FPath("a/b/c"))->getValue(), "x");

    root->subTree(FPath("a/2"))->setValue("y");
    root->subTree(FPath("a/10"))->setValue("z");
    std::vector<std::string> names;
    root->subTree(FPath("a"))->forEachChild([&](const auto& child) { names.push_back(child->name()); });
    EXPECT_EQ(names, (std::vector<std::string>{"2", "10", "b"}));

    std::vector<std::string> descendants;
    root->forEachDescendant([&](const auto& t) { descendants.push_back(t->path().toString()); });
    EXPECT_EQ(descendants, (std::vector<std::string>{"/a", "/a/2", "/a/10", "/a/b", "/a/b/c"}));

    std::vector<std::string> ancestors;
    bool stopped = deep->forEachAncestor([&](const auto& t) {
        ancestors.push_back(t->path().toString());
        return t->name() == "a";
    });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(ancestors, (std::vector<std::string>{"/a/b", "/a"}));

    root->subTree(FPath("a"))->forEachChildMutationSafe([](const auto& child) { child->setValue(std::nullopt); });
    EXPECT_FALSE(root->subTree(FPath("a/2"))->getValue());
    deep->setValue(std::nullopt);
    EXPECT_TRUE(root->isEmpty());  // emptied nodes leave, up to the root
}

}  // namespace
