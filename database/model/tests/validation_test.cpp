#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FValidation.h"
#include "platform/json.h"

namespace {

ns::Value J(const char* json) { return ns::json::parse(json); }

// Runs `f` and answers "name|reason" of what it raised ("" when nothing).
template <class F>
std::string raised(F&& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        return e.name() + "|" + e.reason();
    }
    return "";
}

std::string nodeFromRaise(const ns::Value& value, const ns::Value& priority = ns::Value()) {
    return raised([&] { FSnapshotUtilities::nodeFromWithValidation(value, priority, "setValue:"); });
}

ns::Value nested(int depth) {
    ns::Value v("leaf");
    for (int i = 0; i < depth; ++i) v = ns::Value(ns::Dictionary{{"a", v}});
    return v;
}

TEST(DataValidation, EveryValueReasonWithTheCallersTag) {
    EXPECT_EQ(nodeFromRaise(J("{\"a\":{\".value\":[1]}}")),
              "InvalidLeafValueType|(setValue:) Invalid data type used with .value. Can only use NSString and NSNumber "
              "or be null. Found NSArray instead.");
    EXPECT_EQ(nodeFromRaise(ns::Value(ns::Dictionary{{"a", ns::Value(ns::Data{1, 2})}})),
              "InvalidQuorvaneData|(setValue:) Cannot store object of type NSData at /a. Can only store objects of "
              "type NSNumber, NSString, NSDictionary, and NSArray.");
    std::string big(10485761, 'x');
    EXPECT_EQ(nodeFromRaise(ns::Value(big)), "InvalidQuorvaneData|(setValue:) String exceeds max size of 10485760 utf8 "
                                             "bytes: " + std::string(50, 'x'));
    EXPECT_EQ(nodeFromRaise(ns::Value(std::string(10485760, 'x'))), "");
    EXPECT_EQ(nodeFromRaise(ns::Value(ns::Dictionary{{"b", ns::Value(ns::Array{ns::Value(std::nan(""))})}})),
              "InvalidQuorvaneData|(setValue:) Cannot store NaN at path: /b/0.");
    EXPECT_EQ(nodeFromRaise(J("{\"a\":{\".sv\":\"timestamp\",\"x\":1}}")),
              "InvalidQuorvaneData|(setValue:) Cannot store other keys with server value keys./a.");
    EXPECT_EQ(nodeFromRaise(J("{\"x\":{\"a.b\":1}}")),
              "InvalidQuorvaneData|(setValue:) Invalid key in object at path: /x. Keys must be non-empty and cannot "
              "contain '/' '.' '#' '$' '[' or ']'");
    EXPECT_EQ(nodeFromRaise(J("{\"\":1}")).substr(0, 65), "InvalidQuorvaneData|(setValue:) Invalid key in object at path: /.");
    for (const char* key : {"a/b", "a#", "a$", "[a", "a]"}) {
        EXPECT_NE(nodeFromRaise(ns::Value(ns::Dictionary{{key, ns::Value(1)}})), "") << key;
    }
    // Server-value placeholders and ".value"/".priority" members are fine.
    EXPECT_EQ(nodeFromRaise(J("{\"t\":{\".sv\":\"timestamp\"},\"v\":{\".value\":1,\".priority\":2}}")), "");
}

// Records of one shape are read field by field; a bad value is still found
// wherever it lies among them, and the good ones keep their values.
TEST(DataValidation, RecordsOfOneShape) {
    const std::string bigReason = "InvalidQuorvaneData|(setValue:) String exceeds max size of 10485760 utf8 bytes: " +
                                  std::string(50, 'x');
    const struct {
        int at;  // the record given the bad value; -1 for none
        ns::Value bad;
        std::string reason;
    } cases[] = {
        {-1, ns::Value(), ""},
        {1, ns::Value(std::nan("")), "InvalidQuorvaneData|(setValue:) Cannot store NaN at path: /r01/n."},
        {30, ns::Value(std::nan("")), "InvalidQuorvaneData|(setValue:) Cannot store NaN at path: /r30/n."},
        {39, ns::Value(std::string(10485761, 'x')), bigReason},
    };
    for (const auto& c : cases) {
        ns::Dictionary records;
        for (int i = 0; i < 40; ++i) {
            const std::string key = (i < 10 ? "r0" : "r") + std::to_string(i);
            // Names do not repeat (not even those of the cases before), prices do.
            const std::string name = std::to_string(c.at) + "name" + std::to_string(i);
            records[key] = ns::Dictionary{{"n", i == c.at ? c.bad : ns::Value(name)},
                                          {"p", ns::Value(i % 3 * 1.5)}};
        }
        const ns::Value value(records);
        EXPECT_EQ(nodeFromRaise(value), c.reason) << c.at;
        if (c.reason.empty()) {
            EXPECT_EQ(FSnapshotUtilities::nodeFrom(value)->val(), value);
        }
    }
}

TEST(DataValidation, EveryPriorityReason) {
    EXPECT_EQ(nodeFromRaise(J("1"), ns::Value(std::nan(""))),
              "InvalidQuorvaneData|(setValue:) Cannot store NaN as priority at path: /.");
    EXPECT_EQ(nodeFromRaise(J("{\"a\":{\"b\":1,\".priority\":{\".sv\":\"timestamp\",\"x\":1}}}")),
              "InvalidQuorvaneData|(setValue:) Cannot store other keys with server value keys as priority at path: "
              "/a.");
    EXPECT_EQ(nodeFromRaise(J("1"), J("true")),
              "InvalidQuorvaneData|(setValue:) Cannot store true/false as priority at path: /.");
    EXPECT_EQ(nodeFromRaise(J("{\"a\":{\".value\":1,\".priority\":[1]}}")),
              "InvalidQuorvaneData|(setValue:) Cannot store an NSArray as priority at path: /a.");
    EXPECT_EQ(nodeFromRaise(J("1"), J("{\"x\":1}")),
              "InvalidQuorvaneData|(setValue:) Cannot store an NSDictionary as priority at path: /.");
    EXPECT_EQ(nodeFromRaise(J("1"), J("{\".sv\":\"timestamp\"}")), "");
    EXPECT_EQ(nodeFromRaise(J("1"), J("\"p\"")), "");

    EXPECT_TRUE(FValidation::validatePriorityValue(J("\"p\"")));
    EXPECT_TRUE(FValidation::validatePriorityValue(J("2.5")));
    EXPECT_TRUE(FValidation::validatePriorityValue(ns::Value()));
    EXPECT_TRUE(FValidation::validatePriorityValue(J("{\".sv\":\"timestamp\"}")));
    EXPECT_FALSE(FValidation::validatePriorityValue(J("false")));
    EXPECT_FALSE(FValidation::validatePriorityValue(ns::Value(std::nan(""))));
    EXPECT_FALSE(FValidation::validatePriorityValue(J("[1]")));
    EXPECT_FALSE(FValidation::validatePriorityValue(J("{\"a\":1}")));
}

TEST(DataValidation, NestingDepthLimit) {
    EXPECT_EQ(nodeFromRaise(nested(1000)), "");
    std::string reason = nodeFromRaise(nested(1001));
    std::string prefix = "InvalidQuorvaneData|(setValue:) Max object depth exceeded: ";
    ASSERT_EQ(reason.substr(0, prefix.size()), prefix);
    // The path is cut to 100 characters.
    std::string path;
    for (int i = 0; i < 50; ++i) path += "/a";
    EXPECT_EQ(reason.substr(prefix.size()), path + "...");
    // The plain conversion validates with its own tag.
    std::string plain = raised([] { FSnapshotUtilities::nodeFrom(nested(1001)); });
    EXPECT_EQ(plain.substr(0, 43), "InvalidQuorvaneData|(nodeFrom:priority:) Ma");
}

// A whole stored tree holds its locations' paths above the data written
// there, so its keeper gives the depth; everything else is validated alike.
// The rows run in turn on one thread, so a record of the fields the last one
// at its depth had (a shape the conversion reuses) meets the bound as well.
TEST(DataValidation, AStoredTreeNestsAsDeepAsItsKeeperAllows) {
    const struct {
        ns::Value tree;
        int maxDepth;
        std::string reasonStart;  // "" when stored
    } cases[] = {
        {nested(1032), 1032, ""},
        {nested(1033), 1032, "InvalidQuorvaneData|(nodeFrom:priority:) Max object depth exceeded: /a/a"},
        {nested(1000), 1000, ""},
        {nested(1001), 1000, "InvalidQuorvaneData|(nodeFrom:priority:) Max object depth exceeded: /a/a"},
        {ns::Value(ns::Dictionary{{"a", nested(1020)}, {"b.c", 1}}), 1032,
         "InvalidQuorvaneData|(nodeFrom:priority:) Invalid key in object at path: /. Keys"},
    };
    for (const auto& c : cases) {
        FNodePtr node;
        const std::string reason = raised([&] { node = FSnapshotUtilities::nodeFromTree(c.tree, c.maxDepth); });
        EXPECT_EQ(reason.substr(0, c.reasonStart.size()), c.reasonStart) << c.maxDepth;
        if (c.reasonStart.empty()) {
            EXPECT_EQ(reason, "");
            ASSERT_TRUE(node);
            EXPECT_EQ(node->valForExport(true), c.tree);
        }
    }
}

TEST(DataValidation, UpdateDictionaries) {
    auto update = [](const char* json) {
        return raised([&] { FSnapshotUtilities::compoundWriteFromDictionary(J(json).asDictionary(), "updateChildValues:"); });
    };
    const std::string invalidKey =
        "InvalidQuorvaneData|(updateChildValues:) Invalid key in object. Keys must be non-empty and cannot contain '.' "
        "'#' '$' '[' or ']'";
    EXPECT_EQ(update("{\"a.b\":1}"), invalidKey);
    EXPECT_EQ(update("{\"\":1}"), invalidKey);
    EXPECT_EQ(update("{\"a/$b\":1}"), invalidKey);
    EXPECT_EQ(update("{\"a\":1,\"a/b/c\":2}"),
              "InvalidQuorvaneData|(updateChildValues:) Invalid path in object. Path (/a) is an ancestor of (/a/b/c).");
    EXPECT_EQ(update("{\"x/y\":{\"q\":[1,{\"r\":{\".priority\":true,\"s\":1}}]}}"),
              "InvalidQuorvaneData|(updateChildValues:) Cannot store true/false as priority at path: /x/y/q/1/r.");

    FCompoundWrite write = FSnapshotUtilities::compoundWriteFromDictionary(
        J("{\"a/b\":1,\"a/c\":{\"d\":true},\"e/.priority\":5,\"f\":null}").asDictionary(), "update");
    EXPECT_EQ(write.valForExport(true), J("{\"a/b\":1,\"a/c\":{\"d\":true},\"e/.priority\":5,\"f\":null}"));
    FNodePtr applied = write.applyToNode(FSnapshotUtilities::nodeFrom(J("{\"e\":\"x\",\"f\":1}")));
    EXPECT_EQ(applied->valForExport(true),
              J("{\"a\":{\"b\":1,\"c\":{\"d\":true}},\"e\":{\".value\":\"x\",\".priority\":5}}"));
}

TEST(ArgumentValidation, PathsKeysAndRootPaths) {
    auto path = [](const char* s) { return raised([&] { FValidation::validatePathString("child:", s); }); };
    const std::string bad =
        "InvalidPathValidation|(child:) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'";
    EXPECT_EQ(path("a/b"), "");
    EXPECT_EQ(path("/"), "");
    EXPECT_EQ(path(""), bad);
    for (const char* s : {"a.b", "a#", "$a", "a[0]", "a]"}) EXPECT_EQ(path(s), bad) << s;

    auto key = [](const char* s) { return raised([&] { FValidation::validateKey("key:", s); }); };
    EXPECT_EQ(key("ok"), "");
    EXPECT_EQ(key("a/b"),
              "InvalidKeyValidation|(key:) Must be a non-empty string and not contain '/' '.' '#' '$' '[' or ']'");
    EXPECT_NE(key(""), "");

    auto root = [](const char* s) { return raised([&] { FValidation::validateRootPathString("ref:", s); }); };
    EXPECT_EQ(root(".info"), "");
    EXPECT_EQ(root("/.info/connected"), "");
    EXPECT_EQ(root("///.info/serverTimeOffset"), "");
    EXPECT_NE(root(".infox"), "");
    EXPECT_NE(root("a/.info"), "");
    EXPECT_NE(root(".info/a.b"), "");
}

TEST(ArgumentValidation, WritablePathsEventTypesAndUrls) {
    EXPECT_EQ(raised([] { FValidation::validateWritablePath("setValue:", FPath("/.info/connected")); }),
              "WritablePathValidation|(setValue:) failed to path /.info/connected: Can't modify data under .info");
    EXPECT_EQ(raised([] { FValidation::validateWritablePath("setValue:", FPath("a/.info")); }), "");

    for (long t = 0; t <= 4; ++t) EXPECT_EQ(raised([&] { FValidation::validateKnownEventType("observe:", t); }), "");
    EXPECT_EQ(raised([] { FValidation::validateKnownEventType("observe:", 5); }),
              "KnownEventTypeValidation|(observe:) Unknown event type: 5");
    EXPECT_EQ(raised([] { FValidation::validateKnownEventType("observe:", -1); }),
              "KnownEventTypeValidation|(observe:) Unknown event type: -1");

    EXPECT_EQ(raised([] { FValidation::validateURL("url:", FUtilities::parseUrl("https://a.b.com/.info/x")); }), "");
    EXPECT_EQ(raised([] { FValidation::validateURL("url:", FUtilities::parseUrl("https://a.b.com/x%24y")); }),
              "InvalidPathValidation|(url:) Must be a non-empty string and not contain '.' '#' '$' '[' or ']'");
}

}  // namespace
