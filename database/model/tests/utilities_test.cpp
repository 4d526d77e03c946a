#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>

#include "core/QRVLogger.h"
#include "database/model/FAtomicNumber.h"
#include "database/model/FClock.h"
#include "database/model/FEnumerator.h"
#include "database/model/FNextPushId.h"
#include "database/model/FStringUtilities.h"
#include "database/model/FTuples.h"
#include "database/model/FUtilities.h"
#include "platform/clock.h"
#include "platform/system_log.h"

namespace {

TEST(Path, PiecesAndForms) {
    FPath p("//a/b//c/");
    EXPECT_EQ(p.length(), 3u);
    EXPECT_EQ(p.toString(), "/a/b/c");
    EXPECT_EQ(p.toStringWithTrailingSlash(), "/a/b/c/");
    EXPECT_EQ(p.wireFormat(), "a/b/c");
    EXPECT_EQ(*p.getFront(), "a");
    EXPECT_EQ(*p.getBack(), "c");
    EXPECT_EQ(p.popFront().toString(), "/b/c");
    EXPECT_EQ(p.parent()->toString(), "/a/b");
    EXPECT_EQ(FPath().toString(), "/");
    EXPECT_EQ(FPath().wireFormat(), "/");
    EXPECT_EQ(FPath().toStringWithTrailingSlash(), "/");
    EXPECT_FALSE(FPath().getFront());
    EXPECT_FALSE(FPath().parent());
    EXPECT_TRUE(FPath().popFront().isEmpty());
    EXPECT_EQ(FPath({"x", "y", "z"}, 1).toString(), "/y/z");
    EXPECT_EQ(p.child(FPath("d/e")).toString(), "/a/b/c/d/e");
    EXPECT_EQ(p.childFromString("/d//e/").toString(), "/a/b/c/d/e");
    EXPECT_EQ(p.childFromString(""), p);
    EXPECT_TRUE(FPath("a").contains(p));
    EXPECT_TRUE(p.contains(p));
    EXPECT_FALSE(p.contains(FPath("a")));
    EXPECT_TRUE(FPath().contains(p));
    EXPECT_EQ(p, FPath("a/b/c"));
    EXPECT_EQ(p.popFront(), FPath("b/c"));
    EXPECT_EQ(std::hash<FPath>()(p.popFront()), std::hash<FPath>()(FPath("b/c")));
    EXPECT_EQ(FPath::relativePathFrom(FPath("a"), p).toString(), "/b/c");
    try {
        FPath::relativePathFrom(FPath("x"), p);
        FAIL();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "QuorvaneDatabaseInternalError");
        EXPECT_EQ(e.reason(), "innerPath (/a/b/c) is not within outerPath (/x)");
    }
}

// Paths of every length about the pooled block sizes, built each way a path
// is made, outliving what they were made from, with keys too long to lie in
// the string itself.
// Slashes among bytes one bit away from one or beside it, at every place in
// and across eight-byte words: the keys are the pieces between slashes.
TEST(Path, SplitsAtEverySlashWhereverItFalls) {
    const char alphabet[] = {'/', '/', '.', 'a', '\x01', '\xaf'};
    std::mt19937 rng(7);
    for (int round = 0; round < 4000; ++round) {
        std::string text(rng() % 41, ' ');
        for (char& c : text) c = alphabet[rng() % sizeof alphabet];
        std::vector<std::string> expected(1);
        for (const char c : text) {
            if (c != '/') expected.back().push_back(c);
            if (c == '/' && !expected.back().empty()) expected.emplace_back();
        }
        if (expected.back().empty()) expected.pop_back();
        const FPath path(text);
        ASSERT_EQ(std::vector<std::string>(path.begin(), path.end()), expected) << text;
    }
}

TEST(Path, EveryLengthAndEachWayOfMakingOne) {
    const std::string longKey(40, 'k');
    const struct {
        std::string text;
        std::vector<std::string> keys;
    } kCases[] = {
        {"/", {}},
        {"a", {"a"}},
        {"/a/" + longKey + "/", {"a", longKey}},
        {"a//b/c", {"a", "b", "c"}},
        {"a/b/c/d", {"a", "b", "c", "d"}},
        {"/a/b/c/d/" + longKey, {"a", "b", "c", "d", longKey}},
        {"a/b/c/d/e/f/g/h/i", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        FPath fromText = FPath(std::string(c.text));  // the text is gone after this line
        const FPath fromKeys(c.keys, 0);
        EXPECT_EQ(std::vector<std::string>(fromText.begin(), fromText.end()), c.keys);
        EXPECT_EQ(fromText, fromKeys);
        EXPECT_EQ(fromText.hash(), fromKeys.hash());
        FPath built;
        for (const auto& key : c.keys) built = built.childFromString(key);
        EXPECT_EQ(built, fromText);
        FPath moved = std::move(built);
        EXPECT_EQ(moved, fromText);
        EXPECT_TRUE(built.isEmpty());  // NOLINT: a moved-from path is the root
        if (c.keys.empty()) continue;
        EXPECT_EQ(fromText.child(fromKeys).length(), 2 * c.keys.size());
        const std::vector<std::string> allButLast(c.keys.begin(), c.keys.end() - 1);
        EXPECT_EQ(*fromText.parent(), FPath(allButLast, 0));
        EXPECT_EQ(FPath::relativePathFrom(FPath(c.keys.front()), fromText), fromText.popFront());
        FPath rest;
        {
            const FPath copy = fromText;
            rest = copy.popFront();
        }
        fromText = FPath();
        EXPECT_EQ(rest, FPath(std::vector<std::string>(c.keys.begin() + 1, c.keys.end()), 0));
    }
}

class ParseUrl : public ::testing::Test {
protected:
    void SetUp() override { QRVLoggerResetForTesting(); }
    void TearDown() override {
        FUtilities::setLoggingEnabled(false);
        QRVLoggerResetForTesting();
    }
};

TEST_F(ParseUrl, HostsSchemesAndPaths) {
    auto parsed = FUtilities::parseUrl("https://Tienda-Demo.QuorvaneIO.com/Productos/abc%20d%2Fe");
    EXPECT_EQ(parsed.repoInfo->host(), "tienda-demo.quorvaneio.com");
    EXPECT_EQ(parsed.repoInfo->getNamespace(), "tienda-demo");
    EXPECT_EQ(parsed.repoInfo->domain(), "quorvaneio.com");
    EXPECT_TRUE(parsed.repoInfo->secure());
    EXPECT_EQ(parsed.repoInfo->description(), "https://tienda-demo.quorvaneio.com");
    // Decoded before splitting: "%2F" becomes a separator.
    EXPECT_EQ(parsed.path.toString(), "/Productos/abc d/e");

    auto local = FUtilities::parseUrl("http://db.localhost.com:9000");
    EXPECT_FALSE(local.repoInfo->secure());
    EXPECT_EQ(local.repoInfo->host(), "db.localhost.com:9000");
    EXPECT_TRUE(local.path.isEmpty());
    EXPECT_TRUE(FUtilities::parseUrl("https://db.localhost.com:9000/").repoInfo->secure());
    EXPECT_FALSE(FUtilities::parseUrl("db.localhost.com:9000").repoInfo->secure());
    EXPECT_TRUE(FUtilities::parseUrl("db.quorvaneio.com/x").repoInfo->secure());
    EXPECT_EQ(FUtilities::parseUrl("db.quorvaneio.com/x").path.toString(), "/x");

    for (const char* bad : {"https://quorvaneio.com", "https://a.b.c.com/", "https:///x", "nothing"}) {
        try {
            FUtilities::parseUrl(bad);
            FAIL() << bad;
        } catch (const ns::Exception& e) {
            EXPECT_EQ(e.name(), "No Quorvane database specified.");
            EXPECT_EQ(e.reason(), std::string("No Quorvane database found for input: ") + bad);
        }
    }
}

TEST_F(ParseUrl, LogsTheParseOnlyWithLoggingOn) {
    QRVSetDebugModeEnabled(true);
    auto capture = ns::SystemLog::capture();
    FUtilities::parseUrl("https://one.quorvaneio.com/a");
    QRVLoggerFlush();
    EXPECT_FALSE(capture.contains("I-RDB095002"));

    FUtilities::setLoggingEnabled(true);
    EXPECT_TRUE(FFIsLoggingEnabled(FLogLevelDebug));
    FUtilities::parseUrl("https://two.quorvaneio.com/a/b");
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB095002] ---> Parsed (https://two.quorvaneio.com/a/b) to: "
                                 "(https,two.quorvaneio.com); ns=(two); path=(/a/b)"))
        << (capture.lines().empty() ? "" : capture.lines().back());

    FUtilities::setLoggingEnabled(false);
    EXPECT_FALSE(FFIsLoggingEnabled(FLogLevelDebug));
    EXPECT_TRUE(FFIsLoggingEnabled(FLogLevelInfo));
    EXPECT_TRUE(FFIsLoggingEnabled(FLogLevelWarn));
}

TEST(PushId, IncreasingWithinAndAcrossMilliseconds) {
    const std::string alphabet = "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    std::string previous;
    for (int i = 0; i < 10000; ++i) {
        std::string id = FNextPushId::get(1700000000.1234);  // one millisecond
        ASSERT_EQ(id.size(), 20u);
        ASSERT_EQ(id.find_first_not_of(alphabet), std::string::npos);
        ASSERT_GT(id, previous);
        previous = id;
    }
    EXPECT_EQ(previous.substr(0, 8), FNextPushId::get(1700000000.1239).substr(0, 8));
    for (int i = 1; i <= 200; ++i) {
        std::string id = FNextPushId::get(1700000000.124 + i * 0.001);
        ASSERT_GT(id, previous);
        previous = id;
    }
    // The time prefix: 0 ms is all "-", 64 ms ends in "0-".
    EXPECT_EQ(FNextPushId::get(0).substr(0, 8), "--------");
    EXPECT_EQ(FNextPushId::get(0.064).substr(0, 8), "------0-");
}

TEST(LocalIds, UniqueAndIncreasingFromManyThreads) {
    std::vector<std::vector<uint64_t>> perThread(8);
    std::vector<std::thread> threads;
    for (auto& ids : perThread) {
        threads.emplace_back([&ids] {
            for (int i = 0; i < 2000; ++i) ids.push_back(FUtilities::LUIDGenerator());
        });
    }
    for (auto& t : threads) t.join();
    std::set<uint64_t> all;
    for (const auto& ids : perThread) {
        for (size_t i = 1; i < ids.size(); ++i) ASSERT_GT(ids[i], ids[i - 1]);
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), 16000u);
    EXPECT_GT(FUtilities::LUIDGenerator(), *all.rbegin());
    FAtomicNumber fresh;
    EXPECT_EQ(fresh.getAndIncrement(), 1u);
    EXPECT_EQ(fresh.getAndIncrement(), 2u);
}

TEST(Utilities, ErrorsForStatuses) {
    EXPECT_EQ(FUtilities::errorForStatus("ok", std::nullopt), nullptr);
    auto denied = FUtilities::errorForStatus("permission_denied", std::nullopt);
    EXPECT_EQ(denied->domain(), "com.quorvane");
    EXPECT_EQ(denied->code(), 1);
    EXPECT_EQ(denied->localizedDescription(), "Permission Denied");
    EXPECT_EQ(FUtilities::errorForStatus("unavailable", std::nullopt)->localizedDescription(), "Service is unavailable");
    EXPECT_EQ(FUtilities::errorForStatus("unavailable", std::nullopt)->code(), 2);
    EXPECT_EQ(FUtilities::errorForStatus("write_canceled", std::nullopt)->code(), 3);
    EXPECT_EQ(FUtilities::errorForStatus("write_canceled", std::nullopt)->localizedDescription(), "Write cancelled by user");
    auto other = FUtilities::errorForStatus("datastale", std::nullopt);
    EXPECT_EQ(other->code(), 9999);
    EXPECT_EQ(other->localizedDescription(), "datastale");
    EXPECT_EQ(FUtilities::errorForStatus("permission_denied", "nope")->localizedDescription(), "nope");
}

TEST(Utilities, SplitNeverCutsACharacter) {
    EXPECT_EQ(FUtilities::splitString("abc", 3), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(FUtilities::splitString("abcdefg", 3), (std::vector<std::string>{"abc", "def", "g"}));
    const std::string smile = "\xF0\x9F\x98\x80";  // two UTF-16 units
    // "ab" + emoji + "cd" is 6 units: a cut after 3 units would split the emoji.
    auto pieces = FUtilities::splitString("ab" + smile + "cd", 3);
    EXPECT_EQ(pieces, (std::vector<std::string>{"ab", smile + "c", "d"}));
    std::string joined;
    for (const auto& piece : pieces) {
        EXPECT_LE(FStringUtilities::utf16Length(piece), 3u);
        joined += piece;
    }
    EXPECT_EQ(joined, "ab" + smile + "cd");
    EXPECT_EQ(FUtilities::splitString("\xC3\xA9\xC3\xA9\xC3\xA9", 2), (std::vector<std::string>{"\xC3\xA9\xC3\xA9", "\xC3\xA9"}));
    EXPECT_EQ(FUtilities::splitString(smile + smile, 1), (std::vector<std::string>{smile, smile}));
    EXPECT_THROW(FUtilities::splitString("abc", 0), ns::Exception);
}

TEST(Utilities, TextForms) {
    EXPECT_EQ(FStringUtilities::sanitizedForUserAgent("iOS/10_3 x"), "iOS|10|3 x");
    EXPECT_EQ(FStringUtilities::urlEncoded("aZ09-_~ /.%\xC3\xA9"), "aZ09-_~%20%2F%2E%25%C3%A9");
    EXPECT_EQ(FStringUtilities::urlEncoded("."), "%2E");
    EXPECT_EQ(FStringUtilities::urlDecoded("a%20b%2x%"), "a b%2x%");
    EXPECT_EQ(FStringUtilities::base64EncodedSha1("abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_EQ(FUtilities::ieee754StringForNumber(ns::Value(1)), "3ff0000000000000");
    EXPECT_EQ(FUtilities::getJavascriptType(ns::Value(true)), "boolean");
    EXPECT_EQ(FUtilities::getJavascriptType(ns::Value(1.5)), "number");
    EXPECT_EQ(FUtilities::getJavascriptType(ns::Value("s")), "string");
    for (int i = 0; i < 1000; ++i) {
        double d = FUtilities::randomDouble();
        ASSERT_GE(d, 0.0);
        ASSERT_LT(d, 1.0);
    }
}

TEST(Clocks, SystemAndOffsetClocksFollowTheVirtualClock) {
    auto clock = ns::VirtualClock::install(1000.0);
    EXPECT_DOUBLE_EQ(FSystemClock::clock()->currentTime(), 1000.0);
    FOffsetClock offset(FSystemClock::clock(), -2.5);
    EXPECT_DOUBLE_EQ(offset.currentTime(), 997.5);
    clock->advance(10);
    EXPECT_DOUBLE_EQ(offset.currentTime(), 1007.5);
}

TEST(Enumerators, TransformedEnumeratorMapsEachObject) {
    auto inner = std::make_shared<FBlockEnumerator<int>>([n = 0]() mutable -> std::optional<int> {
        if (n == 3) return std::nullopt;
        return n++;
    });
    FTransformedEnumerator<int, std::string> e(inner, [](const int& i) { return "#" + std::to_string(i); });
    EXPECT_EQ(e.allObjects(), (std::vector<std::string>{"#0", "#1", "#2"}));
    EXPECT_FALSE(e.nextObject());
}

TEST(Tuples, CallbackRecordsCarryTheirFields) {
    std::string got;
    FTupleCallbackStatus status{[&](const std::string& s, const std::optional<std::string>& r) { got = s + r.value_or("-"); },
                                "ok", std::nullopt};
    status.block(status.status, status.errorReason);
    EXPECT_EQ(got, "ok-");
    FTupleOnDisconnect action{"/a", "o", ns::Value(1), nullptr};
    EXPECT_EQ(action.data, ns::Value(1));
}

}  // namespace
