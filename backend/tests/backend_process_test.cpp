// The almavel-backend program, started for real through the test launcher
// and spoken to over loopback.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "backend/core/http_util.h"
#include "platform/host_routing.h"
#include "platform/trust_store.h"
#include "testing/backend.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using ns::testing::Backend;

// Waits (real time, bounded) for something the back end does on its own
// threads; failing to see it in time fails the test.
template <class Predicate>
bool eventually(Predicate predicate) {
    for (int i = 0; i < 3000; ++i) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

std::string readFile(const fs::path& path) { return backend::readFile(path).value_or("<missing>"); }

class BackendProcessTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }
    std::unique_ptr<Backend> backend_;
};

TEST_F(BackendProcessTest, ListensOnBothLoopbackListenersAndCreatesTheDataDir) {
    EXPECT_GT(backend_->httpPort(), 0);
    EXPECT_GT(backend_->httpsPort(), 0);
    EXPECT_NE(backend_->httpPort(), backend_->httpsPort());
    EXPECT_TRUE(fs::is_directory(backend_->dataDir()));
    EXPECT_NE(backend_->log().find("almavel-backend listening http=" + std::to_string(backend_->httpPort()) +
                                   " https=" + std::to_string(backend_->httpsPort())),
              std::string::npos)
        << backend_->log();

    auto health = backend_->get("/__admin/health");
    ASSERT_EQ(health.status, 200) << health.error;
    auto info = parse(health.body);
    EXPECT_EQ(info["status"], "ok");
    EXPECT_EQ(info["pid"], backend_->pid());
    EXPECT_EQ(info["http"], backend_->httpPort());
    EXPECT_EQ(info["https"], backend_->httpsPort());
    EXPECT_EQ(fs::path(info["dataDir"].get<std::string>()), fs::path(backend_->dataDir()));

    auto overTls = backend_->tlsClient()->Get("/__admin/health");
    ASSERT_TRUE(overTls) << httplib::to_string(overTls.error());
    EXPECT_EQ(parse(overTls->body)["listener"], "https");
}

TEST_F(BackendProcessTest, RecorderKeepsMethodTargetHeadersAndListener) {
    auto client = backend_->client();
    auto got = client->Get("/__recorder/items/caf%C3%A9?b=2&a=x%20y", {{"X-Trace", "one"}, {"X-Trace", "two"}});
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 200);
    EXPECT_EQ(got->body, "");
    EXPECT_FALSE(got->has_header(backend::kRoutedMarkHeader));
    ASSERT_TRUE(client->Delete("/__recorder/items/1"));
    ASSERT_TRUE(client->Options("/__recorder/items"));

    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/__recorder/items/café");
    EXPECT_EQ(seen[0].query, "b=2&a=x%20y");
    EXPECT_EQ(seen[0].target, "/__recorder/items/caf%C3%A9?b=2&a=x%20y");
    EXPECT_EQ(seen[0].listener, "http");
    EXPECT_FALSE(seen[0].tls);
    EXPECT_EQ(seen[0].localPort, backend_->httpPort());
    std::vector<std::string> traces;
    for (const auto& [name, value] : seen[0].headers) {
        if (name == "X-Trace") traces.push_back(value);
        EXPECT_NE(name, "REMOTE_ADDR") << "cpp-httplib's own entries are not request headers";
    }
    EXPECT_EQ(traces, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(seen[0].header("host"), "127.0.0.1:" + std::to_string(backend_->httpPort()));
    EXPECT_EQ(seen[1].method, "DELETE");
    EXPECT_EQ(seen[2].method, "OPTIONS");
    EXPECT_LT(seen[0].id, seen[1].id);

    backend_->clearRecordedRequests();
    EXPECT_TRUE(backend_->recordedRequests().empty());
}

TEST_F(BackendProcessTest, RecorderKeepsBodiesByteForByte) {
    // Form-encoded bodies over 8 KB are what cpp-httplib's plain handlers refuse.
    std::string form;
    for (int i = 0; form.size() < 100 * 1024; ++i) form += "campo" + std::to_string(i) + "=valor%20" + std::to_string(i) + "&";
    std::string binary;
    for (int i = 0; i < 3 * 256; ++i) binary += char(i % 256);
    // A gzip body must arrive compressed, a multipart one unsplit.
    const std::string gzipBody("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcbH\xcd\xc9\xc9\xe7\x02\x00\x20\x30\x3a\x36\x06\x00\x00\x00", 26);
    const std::string multipart = "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nuno\r\n--XyZ--\r\n";

    auto client = backend_->client();
    ASSERT_EQ(client->Post("/__recorder/form", form, "application/x-www-form-urlencoded")->status, 200);
    ASSERT_EQ(client->Put("/__recorder/bin", binary, "application/octet-stream")->status, 200);
    ASSERT_EQ(client->Patch("/__recorder/gz", {{"Content-Encoding", "gzip"}}, gzipBody, "text/plain")->status, 200);
    ASSERT_EQ(client->Post("/__recorder/mp", multipart, "multipart/form-data; boundary=XyZ")->status, 200);

    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].body, form);
    EXPECT_EQ(seen[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(seen[1].body, binary);
    EXPECT_EQ(seen[1].method, "PUT");
    EXPECT_EQ(seen[2].body, gzipBody);
    EXPECT_EQ(seen[2].header("Content-Encoding"), "gzip");
    EXPECT_EQ(seen[3].body, multipart);
    EXPECT_EQ(seen[3].header("Content-Type"), "multipart/form-data; boundary=XyZ");
}

TEST_F(BackendProcessTest, RecorderAnswersWithTheConfiguredResponse) {
    std::string binary("\x00\xff\x10 binario \x80", 13);
    backend_->setRecorderResponse({.status = 201,
                                   .body = binary,
                                   .headers = {{"Content-Type", "application/octet-stream"}, {"X-Tienda", "T-01"}}});
    auto client = backend_->client();
    auto reply = client->Post("/__recorder/upload", "x", "text/plain");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 201);
    EXPECT_EQ(reply->body, binary);
    EXPECT_EQ(reply->get_header_value("X-Tienda"), "T-01");
    EXPECT_EQ(reply->get_header_value("Content-Type"), "application/octet-stream");

    // An error status with no body stays exactly that: the JSON error page
    // is only for failures the server answers itself.
    backend_->setRecorderResponse({.status = 500});
    reply = client->Get("/__recorder/fails");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 500);
    EXPECT_EQ(reply->body, "");
    EXPECT_FALSE(reply->has_header(backend::kRoutedMarkHeader));

    auto unknown = client->Get("/no/such/endpoint");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(parse(unknown->body)["error"], "not found: GET /no/such/endpoint");
}

TEST_F(BackendProcessTest, HttpsListenerRecordsWithTheTestCertificateAuthority) {
    auto tls = backend_->tlsClient();
    auto reply = tls->Post("/__recorder/secure?k=v", "{\"a\":1}", "application/json");
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_EQ(reply->status, 200);
    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].listener, "https");
    EXPECT_TRUE(seen[0].tls);
    EXPECT_EQ(seen[0].body, "{\"a\":1}");
    EXPECT_EQ(seen[0].query, "k=v");
    EXPECT_EQ(seen[0].localPort, backend_->httpsPort());

    // Without the test CA the certificate is not trusted.
    httplib::SSLClient untrusting("localhost", backend_->httpsPort());
    untrusting.set_ca_cert_path("/etc/ssl/certs/ca-certificates.crt");
    untrusting.enable_server_certificate_verification(true);
    auto refused = untrusting.Get("/__recorder/secure");
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error(), httplib::Error::SSLServerVerification);
}

TEST_F(BackendProcessTest, HeldAnswerWaitsForRelease) {
    backend_->setRecorderResponse({.status = 504, .body = "tarde", .hold = true});
    auto answer = std::async(std::launch::async, [&] {
        auto reply = backend_->client()->Get("/__recorder/slow");
        return reply ? reply->status : -1;
    });
    ASSERT_TRUE(eventually([&] { return backend_->heldCount() == 1; }));
    // Held on the server, so the client cannot have its answer yet.
    EXPECT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].held);

    EXPECT_EQ(backend_->releaseHeld(), 1);
    EXPECT_EQ(answer.get(), 504);
    EXPECT_EQ(backend_->heldCount(), 0);
}

TEST_F(BackendProcessTest, HeldRequestNoticesTheClientGivingUp) {
    backend_->setRecorderResponse({.hold = true});
    auto client = backend_->client();
    client->set_read_timeout(1);
    auto reply = client->Get("/__recorder/abandoned");
    EXPECT_FALSE(reply);
    client.reset();

    ASSERT_TRUE(eventually([&] {
        auto seen = backend_->recordedRequests();
        return seen.size() == 1 && seen[0].clientClosed;
    }));
    EXPECT_EQ(backend_->heldCount(), 0);
    // The server is free for the next request.
    backend_->setRecorderResponse({.status = 202});
    EXPECT_EQ(backend_->client()->Get("/__recorder/next")->status, 202);
}

TEST_F(BackendProcessTest, BadAdminInputGetsAClearErrorAndTheServerKeepsServing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"status\": 201", "malformed JSON in the request body"},
        {"[1,2]", "the request body must be a JSON object"},
        {"{\"status\": \"200\"}", "\"status\" must be an integer from 200 to 599"},
        {"{\"status\": 99}", "\"status\" must be an integer from 200 to 599"},
        {"{\"body\": 5}", "\"body\" must be a string"},
        {"{\"bodyBase64\": \"***\"}", "\"bodyBase64\" must be a base64 string"},
        {"{\"headers\": {\"X\": 1}}", "header \"X\" must have a string value"},
        {"{\"headers\": {\"Content-Length\": \"3\"}}", "header \"Content-Length\" is set by the server"},
        {"{\"headers\": {\"X\": \"a\\r\\nY: b\"}}", "header \"X\" has a line break in its value"},
        {"{\"delayMs\": -1}", "\"delayMs\" must be an integer from 0 to 60000"},
        {"{\"hold\": 1}", "\"hold\" must be true or false"},
        {"{\"stauts\": 200}", "unknown key \"stauts\""},
        {std::string("\xff\xfe{", 3), "malformed JSON in the request body"},
    };
    for (const auto& [body, error] : cases) {
        auto reply = backend_->post("/__admin/recorder/response", body);
        EXPECT_EQ(reply.status, 400) << body;
        EXPECT_EQ(parse(reply.body)["error"], error) << body;
    }
    // None of it changed the configured answer.
    EXPECT_EQ(backend_->client()->Get("/__recorder/after")->status, 200);
    EXPECT_EQ(backend_->get("/__admin/health").status, 200);
}

TEST_F(BackendProcessTest, HugeBodiesAreRefusedWith413) {
    const std::string huge(backend::kMaxBodyBytes + 1, 'x');
    for (const char* path : {"/__recorder/huge", "/__admin/recorder/response"}) {
        auto reply = backend_->client()->Post(path, huge, "application/octet-stream");
        ASSERT_TRUE(reply) << path;
        EXPECT_EQ(reply->status, 413) << path;
        EXPECT_EQ(parse(reply->body)["error"], "request body too large (limit 16777216 bytes)") << path;
    }
    EXPECT_TRUE(backend_->recordedRequests().empty());
    EXPECT_EQ(backend_->get("/__admin/health").status, 200);
}

TEST_F(BackendProcessTest, StopsCleanlyOnSigtermAndSigint) {
    EXPECT_EQ(backend_->stop(), 0) << backend_->log();
    EXPECT_FALSE(backend_->running());

    backend_->restart();
    ASSERT_TRUE(backend_->running());
    ASSERT_EQ(::kill(backend_->pid(), SIGINT), 0);
    EXPECT_EQ(backend_->stop(), 0) << backend_->log();
}

TEST(BackendDataDirTest, SeedCopiesTheSampleDataOnceAndRestartsKeepTheDataDir) {
    const fs::path root = fs::temp_directory_path() / ("almavel-seed-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path dataDir = root / "nested" / "data";
    {
        auto plain = Backend::start({.dataDir = dataDir.string()});
        EXPECT_TRUE(fs::is_directory(dataDir));
        EXPECT_FALSE(fs::exists(dataDir / "database.json")) << "nothing is seeded without --seed";
    }
    auto backend = Backend::start({.dataDir = dataDir.string(), .seed = true});
    const std::string sample = readFile(fs::path(ALMAVEL_SOURCE_DIR) / "backend/sample-data/database.json");
    EXPECT_EQ(readFile(dataDir / "database.json"), sample);
    auto products = parse(sample)["Productos"];
    ASSERT_TRUE(products.is_object());
    // Every product is in the layout the app reads: keyed by its code, with
    // a price and a part number, and a description but for the one record
    // kept to show the app's not-found case.
    int withoutDescrip = 0;
    for (const auto& [id, product] : products.items()) {
        EXPECT_FALSE(id.empty()) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
        if (!product.contains("Descrip")) {
            ++withoutDescrip;
        } else {
            EXPECT_TRUE(product["Descrip"].is_string()) << id;
        }
        EXPECT_TRUE(product["Precio"].is_number()) << id;
        EXPECT_TRUE(product["qParte"].is_string()) << id;
    }
    EXPECT_EQ(withoutDescrip, 1);
    EXPECT_GE(products.size(), 40u);

    // Changed and deleted data stays so across restarts with --seed.
    std::ofstream(dataDir / "database.json") << "{\"Productos\":{}}";
    std::ofstream(dataDir / "kept.txt") << "guardado";
    const int httpPort = backend->httpPort();
    backend->restart();
    EXPECT_EQ(readFile(dataDir / "database.json"), "{\"Productos\":{}}");
    EXPECT_EQ(readFile(dataDir / "kept.txt"), "guardado");
    EXPECT_EQ(backend->get("/__admin/health").status, 200);
    EXPECT_GT(httpPort, 0);

    fs::remove(dataDir / "database.json");
    backend->kill();
    backend->restart();
    EXPECT_FALSE(fs::exists(dataDir / "database.json"));
    EXPECT_EQ(backend->dataDir(), dataDir.string());
    backend.reset();
    EXPECT_TRUE(fs::exists(dataDir / "kept.txt")) << "a given data dir outlives the launcher";
    fs::remove_all(root);
}

TEST(BackendStartTest, StartUpFailuresAreReportedNotHidden) {
    try {
        Backend::start({.extraArgs = {"--cert", "/nonexistent/server.pem"}});
        FAIL() << "started without a certificate";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot read the certificate /nonexistent/server.pem"),
                  std::string::npos)
            << e.what();
    }
    try {
        Backend::start({.extraArgs = {"--http-port", "70000"}});
        FAIL() << "started with a bad port";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("bad port for --http-port: '70000'"), std::string::npos) << e.what();
    }
    auto first = Backend::start();
    try {
        Backend::start({.httpPort = first->httpPort()});
        FAIL() << "two back ends on one port";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot listen on 127.0.0.1:" + std::to_string(first->httpPort())),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(first->get("/__admin/health").status, 200);
}

}  // namespace

namespace {

TEST(BackendRoutingTest, RoutesServiceHostsWhileAliveAndRestoresTheTableAfter) {
    auto& table = ns::HostRouting::shared();
    // A route that was there before must come back afterwards.
    ASSERT_TRUE(table.add("*.ondrix.com", 443, "127.0.0.1", 1));
    const size_t anchorsBefore = ns::TrustStore::shared().addedAnchorCount();
    {
        auto backend = Backend::start();
        backend->routeServiceHosts();
        for (const char* host : {"app.quorvane.com", "x.y.quorvaneapis.com", "db.quorvaneio.com", "ondrix.com.",
                                 "api.ondrix.com", "m.ondrixapis.com"}) {
            const bool apex = std::string(host) == "ondrix.com.";
            auto tls = table.resolve(host, 443);
            auto plain = table.resolve(host, 80);
            if (apex) {
                EXPECT_FALSE(tls) << "a wildcard does not cover the bare domain";
                continue;
            }
            ASSERT_TRUE(tls && plain) << host;
            // The database's domain goes to the web-socket listeners.
            const bool database = std::string(host) == "db.quorvaneio.com";
            EXPECT_EQ(*tls, (ns::HostRouting::Endpoint{"127.0.0.1",
                                                       uint16_t(database ? backend->wssPort() : backend->httpsPort())}))
                << host;
            EXPECT_EQ(*plain, (ns::HostRouting::Endpoint{"127.0.0.1",
                                                         uint16_t(database ? backend->wsPort() : backend->httpPort())}))
                << host;
        }
        EXPECT_FALSE(table.resolve("example.com", 443));
        EXPECT_GE(ns::TrustStore::shared().addedAnchorCount(), std::max<size_t>(anchorsBefore, 1));
    }
    EXPECT_FALSE(table.resolve("app.quorvane.com", 443));
    EXPECT_FALSE(table.resolve("app.quorvane.com", 80));
    auto restored = table.resolve("api.ondrix.com", 443);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->port, 1);
    // The store drops added anchors only all at once, so ours goes only
    // when it was the only one.
    if (anchorsBefore == 0) {
        EXPECT_EQ(ns::TrustStore::shared().addedAnchorCount(), 0u);
    }
    table.remove("*.ondrix.com", 443);
}

}  // namespace
