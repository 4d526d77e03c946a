// The request logs the test interface reads: what an entry is counted to
// cost, the bounds, and listings a page at a time (the recorder and the
// registration log over loopback).

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "backend/core/request_log.h"
#include "backend/instanceid/iid_service.h"
#include "testing/admin_json.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using backend::BoundedLog;
using backend::FlatHeaders;

TEST(FlatHeadersTest, KeepsEveryHeaderInOrderWhateverItsLength) {
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"a", ""},
        {"", "no name"},
        {"Host", "127.0.0.1:8080"},
        {std::string(127, 'n'), std::string(128, 'v')},
        {"Long", std::string(70000, 'x')},
        {"a", ""},
    };
    FlatHeaders flat;
    std::size_t cost = 0;
    for (const auto& [name, value] : headers) {
        flat.add(name, value);
        cost += FlatHeaders::cost(name, value);
    }
    flat.shrink();
    std::vector<std::pair<std::string, std::string>> back;
    flat.forEach([&](std::string_view name, std::string_view value) { back.emplace_back(name, value); });
    EXPECT_EQ(back, headers);
    EXPECT_EQ(flat.heapBytes(), cost + 1 + backend::kAllocationOverhead);
}

// A thousand one-letter headers as pairs of strings take some 64 KB; flat
// they take what they hold.
TEST(FlatHeadersTest, OneLetterHeadersCostWhatTheyHold) {
    FlatHeaders flat;
    for (int i = 0; i < 1000; ++i) flat.add("a", "");
    flat.shrink();
    EXPECT_LE(flat.heapBytes(), 3000u + 1 + backend::kAllocationOverhead);
    EXPECT_EQ(FlatHeaders().heapBytes(), 0u);
    EXPECT_EQ(backend::heapBytes(std::string(1000, 'x')), 1000u + 1 + backend::kAllocationOverhead);
    EXPECT_EQ(backend::heapBytes(std::string("short")), 0u);
}

struct Sized {
    int id;
    std::size_t heap;
    std::size_t heapBytes() const { return heap; }
};

TEST(BoundedLogTest, KeepsTheNewestWithinCountAndBytes) {
    constexpr std::size_t kSlot = sizeof(Sized) + sizeof(std::size_t);
    struct Case {
        std::size_t maxEntries, maxBytes, heap;
        int pushes;
        std::size_t kept;
    };
    const Case cases[] = {
        {10, 1 << 20, 100, 25, 10},                   // the count binds
        {1000, 10 * (kSlot + 1000), 1000, 25, 10},    // the bytes bind
        {1000, 10 * (kSlot + 1000) - 1, 1000, 25, 9},  // one byte short of ten
        {1000, 100, 5000, 3, 1},                      // the newest stays whatever its size
    };
    for (const auto& c : cases) {
        BoundedLog<Sized> log(c.maxEntries, c.maxBytes);
        for (int i = 0; i < c.pushes; ++i) log.push({i, c.heap});
        ASSERT_EQ(log.size(), c.kept) << c.maxEntries << " " << c.maxBytes;
        EXPECT_EQ(log.bytes(), c.kept * (kSlot + c.heap));
        EXPECT_EQ(log.at(0).id, c.pushes - int(c.kept));
        EXPECT_EQ(log.at(log.size() - 1).id, c.pushes - 1);
    }
    BoundedLog<Sized> log(10, 1 << 20);
    log.push({1, 10});
    EXPECT_EQ(log.clear(), 1u);
    EXPECT_EQ(log.bytes(), 0u);
}

// Pages of a log: bounded by the limit asked, the maximum and the text
// budget, with "next" while entries remain; bad paging is 400.
TEST(BoundedLogTest, ListsAPageAtATime) {
    BoundedLog<Sized> log(5000, 1u << 30);
    for (int i = 0; i < 1500; ++i) log.push({i, 0});
    // Entry 1400 onwards write 3 MiB each (mostly blanks, quick to parse),
    // so the text budget ends a page.
    const std::string big(3u << 20, ' ');
    auto list = [&](std::vector<std::pair<std::string, std::string>> query) {
        backend::Request req;
        for (auto& [key, value] : query) req.params.emplace(key, value);
        backend::Response res;
        if (auto page = backend::readLogPage(req, res)) {
            backend::sendLogPage(res, "entries", log, *page, [&](const Sized& entry, std::string& text) {
                if (entry.id >= 1400) text += big;
                text += std::to_string(entry.id);
            });
        }
        res.body.erase(std::remove(res.body.begin(), res.body.end(), ' '), res.body.end());
        return std::pair(res.status, json::parse(res.body, nullptr, false));
    };
    struct Case {
        std::vector<std::pair<std::string, std::string>> query;
        int first, count;
        int next;  // -1: none
    };
    const Case cases[] = {
        {{}, 0, 1000, 1000},
        {{{"limit", "3"}}, 0, 3, 3},
        {{{"offset", "1397"}, {"limit", "2"}}, 1397, 2, 1399},
        {{{"offset", "1395"}}, 1395, 11, 1406},  // five small entries, six of 3 MiB
        {{{"offset", "1499"}}, 1499, 1, -1},
        {{{"offset", "1500"}}, 0, 0, -1},
        {{{"offset", "99999"}}, 0, 0, -1},
    };
    for (const auto& c : cases) {
        const auto [status, page] = list(c.query);
        SCOPED_TRACE(json(c.query).dump());
        ASSERT_EQ(status, 200);
        ASSERT_EQ(page["entries"].size(), std::size_t(c.count));
        if (c.count > 0) {
            EXPECT_EQ(page["entries"][0], c.first);
        }
        EXPECT_EQ(page["total"], 1500);
        EXPECT_EQ(page.contains("next") ? page["next"].get<int>() : -1, c.next);
    }
    for (const auto& bad : std::vector<std::pair<std::string, std::string>>{
             {"limit", "0"}, {"limit", "1001"}, {"limit", ""}, {"limit", "x"}, {"offset", "-1"}, {"offset", "1e3"}}) {
        const auto [status, page] = list({bad});
        EXPECT_EQ(status, 400) << bad.first << "=" << bad.second;
        EXPECT_TRUE(page["error"].is_string());
    }
}

// The registration log keeps entries as text: a form of a hundred short
// items is counted at what its text takes, and the log stays within its
// bytes however many come.
TEST(RequestLogTest, JsonEntriesAreCountedAtTheirTextAndBounded) {
    backend::iid::RequestLog log(200, 64 * 1024);
    json entry{{"kind", "refused"}, {"form", json::object()}};
    for (int i = 0; i < 100; ++i) entry["form"]["k" + std::to_string(i)] = "";
    const std::size_t text = entry.dump().size();
    for (int i = 0; i < 500; ++i) log.add(entry);
    EXPECT_LE(log.bytes(), 64u * 1024u);
    const json kept = log.entries();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), entry);
    EXPECT_GE(kept.size() * (text + 100), 64u * 1024u - text - 100);
}

class LoggedListingsTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = ns::testing::Backend::start(); }
    json page(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    std::unique_ptr<ns::testing::Backend> backend_;
};

// The recorder's and the registration log's listings page; the test
// interface reads every page.
TEST_F(LoggedListingsTest, RecorderAndRegistrationLogsListInPages) {
    auto client = backend_->client();
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(client->Get("/__recorder/" + std::to_string(i)));
        ASSERT_TRUE(client->Post("/kdx/register4", "x=" + std::to_string(i), "text/plain"));
    }
    for (const char* log : {"/__admin/recorder/requests", "/__admin/iid/requests"}) {
        SCOPED_TRACE(log);
        const json first = page(std::string(log) + "?limit=5");
        EXPECT_EQ(first["requests"].size(), 5u);
        EXPECT_EQ(first["total"], 12);
        EXPECT_EQ(first["next"], 5);
        const json last = page(std::string(log) + "?offset=10&limit=5");
        EXPECT_EQ(last["requests"].size(), 2u);
        EXPECT_FALSE(last.contains("next"));
        EXPECT_EQ(page(log)["requests"].size(), 12u);
        EXPECT_EQ(backend_->get(std::string(log) + "?limit=1001").status, 400);
    }
    EXPECT_EQ(page("/__admin/iid/requests?offset=11")["requests"][0]["body"], "x=11");
    const auto recorded = backend_->recordedRequests();
    ASSERT_EQ(recorded.size(), 12u);
    EXPECT_EQ(recorded.back().path, "/__recorder/11");

    // Bodies whose text fills a page end it early; the test interface reads on.
    backend_->clearRecordedRequests();
    const std::string body(6u << 20, 'b');
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(client->Post("/__recorder/big", body, "application/octet-stream"));
    const json head = page("/__admin/recorder/requests");
    EXPECT_EQ(head["requests"].size(), 2u);
    EXPECT_EQ(head["next"], 2);
    const auto big = backend_->recordedRequests();
    ASSERT_EQ(big.size(), 3u);
    EXPECT_EQ(big[2].body, body);
}

}  // namespace
