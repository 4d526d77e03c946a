#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"

namespace {

// The node, or the exception's name and reason, as text to compare.
std::string outcome(const std::function<FNodePtr()>& read) {
    try {
        FNodePtr node = read();
        return ns::json::serialize(node->valForExport(true)) + " " + node->dataHash();
    } catch (const ns::Exception& e) {
        return e.name() + ": " + e.reason();
    }
}

std::string nested(int depth) { return std::string(size_t(depth), '[') + "1" + std::string(size_t(depth), ']'); }

// Read straight from the text or through the values, every text gives the
// same node or the same exception.
TEST(JsonTextToNode, GivesWhatTheValuesGive) {
    const std::string texts[] = {
        R"({"b":{"y":1,"x":"s"},"a":[1,null,true,2.5,{"c":"d"}]})",
        R"({"10":1,"9":2,"a":3,"01":4,"-1":5,"é":6,"😀":7,"ｚ":8})",
        R"({"a":1,"a":2})", R"({"a":1,"a":null})", R"({"a":null,"b":{},"c":[null]})", "[]", "{}",
        R"("text")", "12", "-0", "-0.0", "1.5e3", "1e400", "18446744073709551615", "9223372036854775808",
        "true", "null", "", "{\"a\":", "{\"a\":1}x", "\"\xff\"", "\xEF\xBB\xBF{\"a\":1}",
        R"({".priority":3,"a":1})", R"({"a":{".value":"v",".priority":1}})", R"({"a":{".sv":"timestamp"}})",
        R"({"a":{".sv":1,"b":2}})", R"({"a":{".value":[1]}})", R"({"a.b":1})", R"({"":1})", R"({"a/b":1})",
        nested(70), nested(600), "{\"a\":\"" + std::string(kQuorvaneMaxLeafSize + 1, 'x') + "\"}",
        // Records of one shape after another, and records that only look alike.
        R"({"r1":{"a":1,"b":2},"r2":{"a":3,"b":null},"r3":{"a":4,"b":5},"r4":{"b":6,"c":7}})",
        R"({"r1":{"10":1,"9":2,"x":3},"r2":{"10":4,"9":5,"x":6},"r3":{"9":7,"10":8,"y":9}})",
        R"({"r1":{"a":1,"b":2},"r2":{"a":1,"b.":2}})", R"({"r1":{"a":1,"b":2},"r2":{"a":1,"b":{"c":{"d$":1}}}})",
        R"({"r1":{"a":1,"b":2},"r2":{".priority":1,"a":1},"r3":{"a":1,".priority":2,"b":3}})",
        R"({"r1":{"a":1,"b":2},"r2":{"a":1,"b":{".value":2,".priority":3}},"r3":{"a":{".sv":"timestamp"},"b":1}})",
        R"([{"x":1,"y":2},{"x":1,"y":2,"z":3},{"x":5,"y":6},{"x":null,"y":null},{"x":7,"y":8}])",
        R"({"r1":{"a":{"k":1}},"r2":{"a":{"k":2,"m":3}},"r3":{"a":{"m":1}},"r4":{"a":{"k":[]}}})",
        // Records that start with the last one's keys and then leave them.
        R"({"r1":{"a":1,"b":2},"r2":{"a":3,"c":4},"r3":{"b":5,"a":6},"r4":{"a":7,"a":8},"r5":{"a":9,"b":10}})",
        R"({"r1":{"a":1,"b":2},"r2":{"a":"x","b":{"a":1,"b":2}},"r3":{"a":1,"b":{"a":1,"b.":2}}})",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(outcome([&] { return FSnapshotUtilities::nodeFromJsonText(text); }),
                  outcome([&] { return FSnapshotUtilities::nodeFrom(ns::json::parse(text)); }))
            << text.substr(0, 80);
    }
}

}  // namespace
