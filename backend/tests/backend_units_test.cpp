// The back end's library pieces that need no running server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/core/http.h"
#include "backend/core/http_util.h"
#include "backend/core/options.h"
#include "backend/core/sample_data.h"
#include "backend/core/server.h"
#include "backend/core/service.h"
#include "platform/crypto.h"

namespace {

namespace fs = std::filesystem;

TEST(BackendOptionsTest, ParsesEveryOptionInBothSpellings) {
    auto parsed = backend::parseOptions({"--data-dir", "/d", "--seed", "--http-port=8080", "--https-port", "8443",
                                         "--cert=/c.pem", "--key", "/k.pem", "--ready-file", "/r.json",
                                         "--sample-data=/s"});
    ASSERT_EQ(parsed.error, "");
    const auto& o = parsed.options;
    EXPECT_EQ(o.dataDir, "/d");
    EXPECT_TRUE(o.seed);
    EXPECT_EQ(o.httpPort, 8080);
    EXPECT_EQ(o.httpsPort, 8443);
    EXPECT_EQ(o.certPath, "/c.pem");
    EXPECT_EQ(o.keyPath, "/k.pem");
    EXPECT_EQ(o.readyFile, "/r.json");
    EXPECT_EQ(o.sampleDataDir, "/s");

    EXPECT_EQ(backend::parseOptions({"--data-dir", "d", "--head-timeout-ms", "300"}).options.headTimeoutMs, 300);
    auto defaults = backend::parseOptions({"--data-dir", "d"}).options;
    EXPECT_EQ(defaults.httpPort, 0);
    EXPECT_EQ(defaults.httpsPort, 0);
    EXPECT_FALSE(defaults.seed);
    EXPECT_EQ(defaults.certPath, ALMAVEL_CERT_DIR "/server.pem");
    EXPECT_EQ(defaults.keyPath, ALMAVEL_CERT_DIR "/server-key.pem");
    EXPECT_TRUE(fs::is_directory(defaults.sampleDataDir));
}

TEST(BackendOptionsTest, RejectsBadArguments) {
    auto error = [](std::vector<std::string> args) { return backend::parseOptions(args).error; };
    EXPECT_EQ(error({}), "--data-dir is required");
    EXPECT_EQ(error({"--data-dir"}), "option --data-dir needs a path");
    EXPECT_EQ(error({"--data-dir", "d", "--http-port", "-1"}), "bad port for --http-port: '-1' (expected 0-65535)");
    EXPECT_EQ(error({"--data-dir", "d", "--https-port=80a"}), "bad port for --https-port: '80a' (expected 0-65535)");
    EXPECT_EQ(error({"--data-dir", "d", "--https-port"}), "option --https-port needs a port number");
    EXPECT_EQ(error({"--data-dir", "d", "--seed=yes"}), "option --seed takes no value");
    EXPECT_EQ(error({"--data-dir", "d", "--verbose"}), "unknown option '--verbose'");
    EXPECT_EQ(error({"--help"}), "");
}

TEST(BackendOptionsTest, CoreLimitsAreOptionsWithPositiveValues) {
    auto parsed = backend::parseOptions({"--data-dir", "d", "--request-timeout-ms", "250", "--max-connections=12",
                                         "--ws-output-limit", "4096"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.requestTimeoutMs, 250);
    EXPECT_EQ(parsed.options.maxConnections, 12);
    EXPECT_EQ(parsed.options.webSocketOutputLimit, 4096);
    EXPECT_EQ(backend::parseOptions({"--data-dir", "d", "--head-timeout-ms", "300"}).options.headTimeoutMs, 300);
    auto defaults = backend::parseOptions({"--data-dir", "d"}).options;
    EXPECT_EQ(defaults.maxConnections, 8192);
    EXPECT_EQ(defaults.webSocketOutputLimit, 16ll * 1024 * 1024);
    EXPECT_EQ(backend::parseOptions({"--data-dir", "d", "--max-connections", "0"}).error,
              "bad value for --max-connections: '0' (expected a positive number)");
    EXPECT_EQ(backend::parseOptions({"--data-dir", "d", "--request-timeout-ms"}).error,
              "option --request-timeout-ms needs a number");
}

TEST(BackendHttpTest, DepthScanCountsOnlyBracketsOutsideStrings) {
    EXPECT_TRUE(backend::jsonDepthWithin("[[[]]]", 3));
    EXPECT_FALSE(backend::jsonDepthWithin("[[[[]]]]", 3));
    EXPECT_TRUE(backend::jsonDepthWithin(R"({"a":"[[[[[[","b":[1]})", 2));
    EXPECT_TRUE(backend::jsonDepthWithin(R"(["\"[[[[", {}])", 2));
    EXPECT_FALSE(backend::jsonDepthWithin(R"({"a":{"b":{"c":{}}}})", 3));
    // Siblings do not add up.
    EXPECT_TRUE(backend::jsonDepthWithin("[[],[],[[]],[]]", 3));
    EXPECT_FALSE(backend::jsonDepthWithin(std::string(100000, '['), backend::kMaxJsonDepth));

    backend::Response res;
    nlohmann::json out;
    EXPECT_FALSE(backend::parseJsonObject(std::string(1200, '[') + std::string(1200, ']'), res, out));
    EXPECT_EQ(res.status, 400);
    EXPECT_TRUE(backend::parseJsonObject(R"({"a":[[1]]})", res, out));
}

TEST(BackendHttpTest, RoutesMatchSegmentByPatternWhateverThePathsLength) {
    struct Case {
        const char* pattern;
        std::string path;
        bool matches;
        std::vector<std::string> captures;  // after [0], the whole path
    };
    const std::string huge(1'000'000, 'a');
    const std::vector<Case> cases{
        {"/", "/", true, {}},
        {"/a/b", "/a/b", true, {}},
        {"/a/b", "/a/b/", false, {}},
        {"/a/b", "/a", false, {}},
        {"/a/*/c", "/a/xyz/c", true, {"xyz"}},
        {"/a/*/c", "/a//c", false, {}},
        {"/a/*", "/a/" + huge, true, {huge}},
        {"/a/*/c", "/a/" + huge, false, {}},
        {"/v0/b/**", "/v0/b/", true, {""}},
        {"/v0/b/**", "/v0/b/bucket/o/x/y", true, {"bucket/o/x/y"}},
        {"/v0/b/**", "/v0/b/" + huge, true, {huge}},
        {"/v0/b/**", "/v0/bb/x", false, {}},
        {"/t/v1/**", "/t/v1", true, {""}},
        {"/*/x/**", "/p/x/q/r", true, {"p", "q/r"}},
        {"/a", "/" + std::string(100'000, '/'), false, {}},
        {"/a", "relative", false, {}},
    };
    for (const auto& c : cases) {
        backend::HttpRouter router;
        router.add("GET", c.pattern, [](const backend::Request&, backend::Response&) {});
        backend::Request req;
        req.method = "GET";
        req.path = c.path;
        bool known = false;
        const bool found = router.find(req, known) != nullptr;
        EXPECT_EQ(found, c.matches) << c.pattern << " " << c.path.substr(0, 40);
        if (!found || !c.matches) continue;
        ASSERT_EQ(req.matches.size(), c.captures.size() + 1) << c.pattern;
        EXPECT_EQ(req.matches[0], c.path);
        for (std::size_t i = 0; i < c.captures.size(); ++i) EXPECT_EQ(req.matches[i + 1], c.captures[i]) << c.pattern;
    }
    backend::HttpRouter router;
    auto nothing = [](const backend::Request&, backend::Response&) {};
    EXPECT_THROW(router.add("GET", "no-slash", nothing), std::invalid_argument);
    EXPECT_THROW(router.add("GET", "/a/**/b", nothing), std::invalid_argument);
}

TEST(BackendHttpTest, FileBodiesReadOnlyTheirWindowOfTheFileTheyOpened) {
    const std::string path = ::testing::TempDir() + "/file-body-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary) << "0123456789";
    EXPECT_EQ(backend::FileBody::open(path, 4, 7), nullptr) << "past the end";
    EXPECT_EQ(backend::FileBody::open(path, 11, 0), nullptr);
    EXPECT_EQ(backend::FileBody::open(path + ".missing", 0, 0), nullptr);
    EXPECT_EQ(backend::FileBody::open(::testing::TempDir(), 0, 0), nullptr) << "a folder";
    auto body = backend::FileBody::open(path, 3, 5);
    ASSERT_NE(body, nullptr);
    std::filesystem::remove(path);  // what was opened stays readable
    char out[16] = {};
    EXPECT_EQ(body->read(0, out, sizeof out), 5);
    EXPECT_EQ(std::string(out, 5), "34567");
    EXPECT_EQ(body->read(3, out, 1), 1);
    EXPECT_EQ(out[0], '6');
    EXPECT_EQ(body->read(5, out, sizeof out), 0);
    backend::Response res;
    res.set_file(body, "image/jpeg");
    EXPECT_EQ(res.contentLength(), 5u);
    res.set_content("ab", "text/plain");
    EXPECT_EQ(res.file, nullptr);
    EXPECT_EQ(res.contentLength(), 2u);
}

TEST(BackendHttpTest, ServedHostNamesAreLoopbackOrTheServiceDomains) {
    for (const char* host : {"", "127.0.0.1", "127.0.0.1:8080", "127.4.5.6:1", "localhost", "LOCALHOST:99",
                             "db.localhost", "[::1]", "[::1]:443", "almavel-pa.quorvaneio.com",
                             "iid.ondrixapis.com:443", "push-gateway.localhost", "quorvane.com"}) {
        EXPECT_TRUE(backend::isServedHost(host)) << host;
    }
    for (const char* host : {"evil.example", "evil.example:8080", "127.0.0.1.evil.example", "128.0.0.1",
                             "127.0.0.256", "127.0.0", "localhost.evil", "xquorvane.com", "quorvane.com.evil",
                             "[::2]", "localhost:", "localhost:http", "localhost:123456", "0.0.0.0"}) {
        EXPECT_FALSE(backend::isServedHost(host)) << host;
    }
    EXPECT_FALSE(backend::isServedHost(std::string(300, 'a') + ".localhost"));
}

TEST(BackendHttpTest, QueriesAndPathsAreDecodedAndRoutesCaptureAndAnswerHead) {
    EXPECT_EQ(backend::percentDecode("caf%C3%A9+x%2", false), "café+x%2");
    EXPECT_EQ(backend::percentDecode("a+b%20c", true), "a b c");
    auto params = backend::parseQuery("b=2&a=x%20y&a=z&flag&&=v");
    EXPECT_EQ(params.count("a"), 2u);
    EXPECT_EQ(params.find("b")->second, "2");
    EXPECT_EQ(params.find("flag")->second, "");

    backend::HttpRouter router;
    std::string seen;
    router.add("GET", "/items/*", [&](const backend::Request& req, backend::Response&) { seen = req.matches[1]; });
    router.add("POST", "/items", [&](const backend::Request&, backend::Response&) { seen = "post"; });
    backend::Request req;
    bool known = false;
    req.method = "HEAD";
    req.path = "/items/42";
    auto* handler = router.find(req, known);
    ASSERT_NE(handler, nullptr);
    backend::Response res;
    (*handler)(req, res);
    EXPECT_EQ(seen, "42");
    req.method = "DELETE";
    EXPECT_EQ(router.find(req, known), nullptr);
    EXPECT_TRUE(known);
    req.path = "/items/42/more";
    EXPECT_EQ(router.find(req, known), nullptr);
    EXPECT_FALSE(known);

    backend::Request admin;
    admin.headers.emplace("x-almavel-admin-secret", "abc");
    EXPECT_TRUE(backend::hasAdminSecret(admin, "abc"));
    EXPECT_FALSE(backend::hasAdminSecret(admin, "abd"));
    EXPECT_FALSE(backend::hasAdminSecret(admin, "ab"));
    EXPECT_FALSE(backend::hasAdminSecret(backend::Request{}, ""));
    admin.headers.emplace("X-Almavel-Admin-Secret", "abc");
    EXPECT_FALSE(backend::hasAdminSecret(admin, "abc")) << "two secrets are none";

    backend::Response headers;
    headers.set_header("X-Ok", "1");
    headers.set_header("X-Bad", "a\r\nInjected: 1");
    EXPECT_TRUE(headers.has_header("x-ok"));
    EXPECT_FALSE(headers.has_header("X-Bad"));
}

// The recorder's "bodyBase64" and "body" fields go through the platform's
// strict base64: padding optional, white space and stray bytes refused.
TEST(BackendUtilTest, RecorderBase64RoundTripsEveryLengthAndRefusesGarbage) {
    auto decode = [](std::string_view text) -> std::optional<std::string> {
        auto bytes = ns::crypto::base64DecodeStrict(text);
        if (!bytes) return std::nullopt;
        return ns::crypto::toString(*bytes);
    };
    std::string bytes;
    for (int n = 0; n < 70; ++n) {
        EXPECT_EQ(decode(ns::crypto::base64Encode(bytes)), bytes) << n;
        bytes += char((n * 37 + 200) % 256);
    }
    EXPECT_EQ(ns::crypto::base64Encode(std::string_view("Precio")), "UHJlY2lv");
    EXPECT_EQ(ns::crypto::base64Encode(std::string_view("ab")), "YWI=");
    EXPECT_EQ(decode("YWI"), "ab");
    EXPECT_EQ(decode("Y"), std::nullopt);
    EXPECT_EQ(decode("YW I="), std::nullopt);
    EXPECT_EQ(decode(std::string("YW\0=", 4)), std::nullopt);
}

TEST(BackendUtilTest, SharedStateIsOnePerKeyAndTyped) {
    backend::Context context(backend::Options{});
    auto a = context.shared<std::vector<int>>("tokens");
    a->push_back(7);
    EXPECT_EQ(context.shared<std::vector<int>>("tokens")->at(0), 7);
    EXPECT_THROW(context.shared<std::string>("tokens"), std::logic_error);
}

class SeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("almavel-seed-unit-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "sample/tiendas");
        fs::create_directories(root_ / "data");
        std::ofstream(root_ / "sample/database.json") << "{\"Productos\":{}}";
        std::ofstream(root_ / "sample/tiendas/t1.json") << "{\"Nombre\":\"Uno\"}";
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_F(SeedTest, CopiesOnceAndNeverOverwrites) {
    std::ofstream(root_ / "data/database.json") << "propio";
    EXPECT_TRUE(backend::seedDataDir(root_ / "data", root_ / "sample"));
    EXPECT_EQ(backend::readFile(root_ / "data/database.json"), "propio");
    EXPECT_EQ(backend::readFile(root_ / "data/tiendas/t1.json"), "{\"Nombre\":\"Uno\"}");
    EXPECT_TRUE(fs::exists(root_ / "data" / backend::kSeedMarker));

    fs::remove(root_ / "data/tiendas/t1.json");
    EXPECT_FALSE(backend::seedDataDir(root_ / "data", root_ / "sample"));
    EXPECT_FALSE(fs::exists(root_ / "data/tiendas/t1.json"));
}

TEST_F(SeedTest, MissingSampleDataIsAnError) {
    EXPECT_THROW(backend::seedDataDir(root_ / "data", root_ / "nowhere"), std::runtime_error);
    EXPECT_FALSE(fs::exists(root_ / "data" / backend::kSeedMarker));
}

}  // namespace
