// Regular expressions in ICU syntax: searches against whole-text matches,
// case, refused patterns, and searches stopped by their limits.

#include "platform/regular_expression.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using ns::RegularExpression;

TEST(RegularExpression, SearchesAnywhereOrMatchesTheWholeText) {
    const struct {
        const char* pattern;
        bool caseInsensitive;
        const char* text;
        bool found;
        bool whole;
    } cases[] = {
        {"b+", false, "abbbc", true, false},
        {"^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$", true, "-.25", true, true},
        {"^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$", true, " 12", false, false},
        {"CAFÉ", true, "un café noir", true, false},
        {"CAFÉ", false, "un café noir", false, false},
        {"\\p{L}+", false, "日本語", true, true},
        {".", false, "", false, false},
        {"x*", false, "", true, true},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        auto regex = RegularExpression::make(c.pattern, c.caseInsensitive, &error);
        ASSERT_TRUE(regex) << c.pattern;
        EXPECT_EQ(regex->pattern(), c.pattern);
        EXPECT_EQ(regex->firstMatch(c.text, &error), c.found) << c.pattern << " in " << c.text;
        EXPECT_EQ(regex->matchesWhole(c.text, &error), c.whole) << c.pattern << " is " << c.text;
        EXPECT_FALSE(error) << c.pattern;
    }
}

TEST(RegularExpression, RefusesPatternsThatDoNotCompileWithICUsReason) {
    for (const char* pattern : {"(", "a{2,1}", "[z-a]", "*a", "\xC3("}) {
        ns::ErrorRef error;
        EXPECT_FALSE(RegularExpression::make(pattern, false, &error)) << pattern;
        ASSERT_TRUE(error) << pattern;
        EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
        EXPECT_EQ(error->code(), 2048);
        EXPECT_FALSE(error->localizedFailureReason().empty()) << pattern;
    }
    ns::ErrorRef error;
    RegularExpression::make("(", false, &error);
    EXPECT_NE(error->localizedFailureReason().find("U_REGEX_MISMATCHED_PAREN"), std::string::npos)
        << error->localizedFailureReason();
    EXPECT_FALSE(RegularExpression::make("[", true));  // no error asked for
}

TEST(RegularExpression, CatastrophicBacktrackingStopsWithAnError) {
    auto regex = RegularExpression::make("(a+)+$", false);
    ASSERT_TRUE(regex);
    const std::string text = std::string(40, 'a') + "b";
    ns::ErrorRef error;
    EXPECT_FALSE(regex->firstMatch(text, &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedFailureReason().find("U_REGEX_TIME_OUT"), std::string::npos)
        << error->localizedFailureReason();
    // The expression still works on text it can handle.
    error = nullptr;
    EXPECT_TRUE(regex->firstMatch("baaa", &error));
    EXPECT_FALSE(error);
    // Text that is not UTF-8 matches nothing.
    EXPECT_FALSE(regex->firstMatch("a\xFF", &error));
    EXPECT_TRUE(error);
}

TEST(RegularExpression, OneExpressionServesConcurrentSearches) {
    auto regex = RegularExpression::make("^item-[0-9]+$", true);
    std::vector<std::thread> threads;
    std::vector<int> found(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) found[size_t(t)] += regex->firstMatch("ITEM-" + std::to_string(i + t)) ? 1 : 0;
            found[size_t(t)] += regex->firstMatch("item-x") ? 1000 : 0;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(found, std::vector<int>(4, 200));
}

}  // namespace
