// The URL session against real cpp-httplib servers on 127.0.0.1, plus the
// host routing table and the trust store it relies on.

#include "platform/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/host_routing.h"
#include "platform/trust_store.h"
#include "testing/temp_sandbox.h"

using namespace ns;

namespace {

const std::string kCertDir = ALMAVEL_CERT_DIR;

// A server on 127.0.0.1 with a few fixed routes; "/hold" keeps the request
// open until release() or the end of the test.
class TestServer {
public:
    explicit TestServer(bool tls) {
        if (tls)
            server_ = std::make_unique<httplib::SSLServer>((kCertDir + "/server.pem").c_str(),
                                                           (kCertDir + "/server-key.pem").c_str());
        else
            server_ = std::make_unique<httplib::Server>();
        auto& s = *server_;
        // A server with idle keep-alive connections takes that long to stop:
        // plain servers close after each answer, TLS ones (which test
        // connection reuse) keep connections a second.
        if (tls) s.set_keep_alive_timeout(1);
        else s.set_keep_alive_max_count(1);
        s.Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("X-Echo", req.get_header_value("X-Custom"));
            res.set_header("X-Host", req.get_header_value("Host"));
            res.set_content("hello world", "text/plain; charset=utf-8");
        });
        s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("X-Method", req.method);
            res.set_header("X-Content-Type", req.get_header_value("Content-Type"));
            res.set_content(req.body, "application/octet-stream");
        });
        s.Put("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("X-Method", req.method);
            res.set_content(req.body, "application/octet-stream");
        });
        s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content("status body", "text/plain");
        });
        s.Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hello", 302); });
        s.Post("/see-other", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/method", 303);
        });
        s.Get("/method", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.method + ":" + req.body, "text/plain");
        });
        s.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
                sink.write("part1,", 6);
                sink.write("part2", 5);
                sink.done();
                return true;
            });
        });
        s.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop", 302); });
        s.Get("/hold", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(mutex_);
            ++held_;
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_; });
            res.set_content("late", "text/plain");
        });
        port_ = s.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
    }

    ~TestServer() {
        release();
        // stop() only takes effect once the accept loop runs.
        while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
        thread_.join();
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return (dynamic_cast<httplib::SSLServer*>(server_.get()) ? "https" : "http") + std::string("://127.0.0.1:") +
               std::to_string(port_) + path;
    }
    // Waits (bounded) until `count` requests are held.
    bool waitHeld(int count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return held_ >= count; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

private:
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int held_ = 0;
    bool released_ = false;
};

struct Result {
    HTTPURLResponsePtr response;
    Data data;
    ErrorRef error;
    std::string queueLabel;
    std::string body() const { return std::string(data.begin(), data.end()); }
};

// Collects completions; shared with the handler so a late completion after
// a failed test never touches freed memory.
class Completions : public std::enable_shared_from_this<Completions> {
public:
    DataTaskCompletion handler() {
        return [self = shared_from_this()](HTTPURLResponsePtr r, Data d, ErrorRef e) {
            std::lock_guard lock(self->mutex_);
            self->results_.push_back(Result{std::move(r), std::move(d), std::move(e), DispatchQueue::currentLabel()});
            self->cv_.notify_all();
        };
    }
    // The first completion (bounded real-time wait so a broken build fails
    // instead of hanging).
    Result wait() {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(30), [&] { return !results_.empty(); })) {
            ADD_FAILURE() << "no completion";
            return {};
        }
        return results_.front();
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return results_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Result> results_;
};

std::shared_ptr<Completions> newCompletions() { return std::make_shared<Completions>(); }

Result fetch(const URLSessionPtr& session, const URLRequest& request) {
    auto c = newCompletions();
    session->dataTask(request, c->handler())->resume();
    return c->wait();
}

int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostRouting::shared().clear();
        TrustStore::shared().removeAddedAnchors();
        session_ = URLSession::make();
    }
    void TearDown() override {
        HostRouting::shared().clear();
        TrustStore::shared().removeAddedAnchors();
    }
    TestServer http_{false};
    URLSessionPtr session_;
};

}  // namespace

TEST_F(URLSessionTest, GetSendsHeadersAndReturnsResponse) {
    URLRequest request(http_.url("/hello"));
    request.setValue("from test", "x-custom");
    EXPECT_EQ(request.valueForHTTPHeaderField("X-CUSTOM"), "from test");
    Result r = fetch(session_, request);
    ASSERT_FALSE(r.error) << r.error->description();
    ASSERT_TRUE(r.response);
    EXPECT_EQ(r.response->statusCode(), 200);
    // The server compresses for our Accept-Encoding; the body arrives decoded.
    EXPECT_TRUE(r.response->valueForHTTPHeaderField("Content-Encoding"));
    EXPECT_EQ(r.body(), "hello world");
    EXPECT_EQ(r.response->valueForHTTPHeaderField("x-echo"), "from test");
    EXPECT_EQ(r.response->allHeaderFields().at("X-ECHO"), "from test");
    EXPECT_EQ(r.response->MIMEType(), "text/plain");
    EXPECT_EQ(r.response->textEncodingName(), "utf-8");
    EXPECT_EQ(r.response->URL(), http_.url("/hello"));
    EXPECT_FALSE(r.response->valueForHTTPHeaderField("X-Absent"));

    request.setValue("identity", "Accept-Encoding");
    Result plain = fetch(session_, request);
    ASSERT_FALSE(plain.error);
    EXPECT_FALSE(plain.response->valueForHTTPHeaderField("Content-Encoding"));
    EXPECT_EQ(plain.response->expectedContentLength(), 11);
    EXPECT_EQ(plain.body(), "hello world");

    Result chunked = fetch(session_, URLRequest(http_.url("/chunked")));
    ASSERT_FALSE(chunked.error);
    EXPECT_EQ(chunked.response->expectedContentLength(), -1);
    EXPECT_EQ(chunked.body(), "part1,part2");

    // Names under .localhost reach loopback without a route.
    Result local = fetch(session_, URLRequest("http://api.localhost:" + std::to_string(http_.port()) + "/hello"));
    ASSERT_FALSE(local.error) << local.error->description();
    EXPECT_EQ(local.response->valueForHTTPHeaderField("X-Host"), "api.localhost:" + std::to_string(http_.port()));
}

TEST_F(URLSessionTest, PostAndPutSendTheBodyByteForByte) {
    URLRequest request(http_.url("/echo"));
    request.setHTTPMethod("POST");
    Data body{'a', 0, 'b', 0xff, '\n'};
    request.setHTTPBody(body);
    request.setValue("application/x-protobuf", "Content-Type");
    Result r = fetch(session_, request);
    ASSERT_FALSE(r.error);
    EXPECT_EQ(r.response->valueForHTTPHeaderField("X-Method"), "POST");
    EXPECT_EQ(r.response->valueForHTTPHeaderField("X-Content-Type"), "application/x-protobuf");
    EXPECT_EQ(r.data, body);

    // A large body goes through without an "Expect: 100-continue" stall.
    request.setHTTPMethod("put");
    Data big(300000, 'z');
    request.setHTTPBody(big);
    Result put = fetch(session_, request);
    ASSERT_FALSE(put.error);
    EXPECT_EQ(put.response->valueForHTTPHeaderField("X-Method"), "PUT");
    EXPECT_EQ(put.data, big);
}

TEST_F(URLSessionTest, ErrorStatusesAreResponsesNotErrors) {
    for (int status : {201, 404, 500, 503}) {
        Result r = fetch(session_, URLRequest(http_.url("/status/" + std::to_string(status))));
        ASSERT_FALSE(r.error) << status;
        ASSERT_TRUE(r.response);
        EXPECT_EQ(r.response->statusCode(), status);
        EXPECT_EQ(r.body(), "status body");
    }
    EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(404), "not found");
}

TEST_F(URLSessionTest, FollowsRedirectsLikeAURLSession) {
    Result r = fetch(session_, URLRequest(http_.url("/redirect")));
    ASSERT_FALSE(r.error);
    EXPECT_EQ(r.response->statusCode(), 200);
    EXPECT_EQ(r.response->URL(), http_.url("/hello"));
    EXPECT_EQ(r.body(), "hello world");

    // 303 after a POST continues as a GET without the body.
    URLRequest post(http_.url("/see-other"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(std::string_view("payload"));
    Result seeOther = fetch(session_, post);
    ASSERT_FALSE(seeOther.error);
    EXPECT_EQ(seeOther.body(), "GET:");

    Result loop = fetch(session_, URLRequest(http_.url("/loop")));
    ASSERT_TRUE(loop.error);
    EXPECT_EQ(loop.error->code(), kURLErrorHTTPTooManyRedirects);
}

TEST_F(URLSessionTest, CompletionRunsOnTheDelegateQueue) {
    URLSessionConfiguration config = URLSessionConfiguration::backgroundSessionConfiguration("bg.id");
    config.delegateQueue = DispatchQueue::serial("test.http.delegate");
    auto session = URLSession::make(config);
    EXPECT_TRUE(session->configuration().isBackground);
    EXPECT_EQ(session->configuration().identifier, "bg.id");
    Result r = fetch(session, URLRequest(http_.url("/hello")));
    EXPECT_EQ(r.queueLabel, "test.http.delegate");

    // Without a queue the session makes its own serial queue.
    Result own = fetch(session_, URLRequest(http_.url("/hello")));
    EXPECT_EQ(own.queueLabel, session_->delegateQueue()->label());
    EXPECT_EQ(session_->delegateQueue()->kind(), DispatchQueue::Kind::Serial);
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelled) {
    auto c = newCompletions();
    auto task = session_->dataTask(URLRequest(http_.url("/hold")), c->handler());
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Suspended);
    task->resume();
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Running);
    ASSERT_TRUE(http_.waitHeld(1));
    task->cancel();
    task->cancel();
    Result r = c->wait();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain(), kURLErrorDomain);
    EXPECT_EQ(r.error->code(), kURLErrorCancelled);
    EXPECT_FALSE(r.response);
    EXPECT_EQ(r.error->userInfo().at(kURLErrorFailingURLStringErrorKey).asString(), http_.url("/hold"));
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Completed);
    // Let the server answer: the cancelled task must not complete again.
    http_.release();
    task->cancel();
    Result after = fetch(session_, URLRequest(http_.url("/hello")));  // the engine has moved on
    session_->delegateQueue()->sync([] {});
    EXPECT_EQ(c->count(), 1u);

    // Cancelling before resume completes at once; resume then does nothing.
    auto c2 = newCompletions();
    auto idle = session_->dataTask(URLRequest(http_.url("/hello")), c2->handler());
    idle->cancel();
    idle->resume();
    EXPECT_EQ(c2->wait().error->code(), kURLErrorCancelled);
    session_->delegateQueue()->sync([] {});
    EXPECT_EQ(c2->count(), 1u);
}

TEST_F(URLSessionTest, InvalidateAndCancelStopsRunningTasks) {
    auto c = newCompletions();
    session_->dataTask(URLRequest(http_.url("/hold")), c->handler())->resume();  // caller keeps no reference
    ASSERT_TRUE(http_.waitHeld(1));
    session_->invalidateAndCancel();
    EXPECT_EQ(c->wait().error->code(), kURLErrorCancelled);
    EXPECT_THROW(session_->dataTask(URLRequest(http_.url("/hello")), c->handler()), Exception);
}

TEST_F(URLSessionTest, TransportErrorsMapToURLErrorCodes) {
    Result refused = fetch(session_, URLRequest("http://127.0.0.1:" + std::to_string(unusedPort()) + "/"));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code(), kURLErrorCannotConnectToHost);
    ASSERT_TRUE(refused.error->underlyingError());
    EXPECT_EQ(refused.error->underlyingError()->domain(), kCurlErrorDomain);
    EXPECT_FALSE(refused.error->underlyingError()->localizedDescription().empty());

    EXPECT_EQ(fetch(session_, URLRequest("not a url")).error->code(), kURLErrorBadURL);
    EXPECT_EQ(fetch(session_, URLRequest("")).error->code(), kURLErrorBadURL);
    EXPECT_EQ(fetch(session_, URLRequest("ftp://127.0.0.1/file")).error->code(), kURLErrorUnsupportedURL);
    // Reserved ".invalid" names fail without asking DNS.
    EXPECT_EQ(fetch(session_, URLRequest("https://nothing.invalid/")).error->code(), kURLErrorCannotFindHost);

    URLRequest badHeader(http_.url("/hello"));
    badHeader.setValue("a\r\nInjected: yes", "X-Bad");
    EXPECT_EQ(fetch(session_, badHeader).error->code(), kURLErrorBadURL);
}

// A phone set to Spanish describes its own errors in Spanish, whatever
// layer writes them; codes and domains stay as they are.
TEST_F(URLSessionTest, ThePlatformsErrorDescriptionsFollowThePhonesLanguage) {
    struct Case {
        const char* locale;
        const char* timedOut;
        const char* cannotConnect;
        const char* noSuchFile;
        const char* generic;
    };
    const Case cases[] = {
        {"en_US", "The request timed out.", "Could not connect to the server.",
         "The file “%@” couldn’t be opened because there is no such file.",
         "The operation couldn’t be completed. (Almavel error 7.)"},
        {"es_PA", "Se ha agotado el tiempo de espera de la solicitud.", "No se ha podido conectar con el servidor.",
         "No se ha podido abrir el archivo “%@” porque no existe.",
         "No se ha podido completar la operación. (Error 7 de Almavel.)"},
    };
    for (const auto& c : cases) {
        DeviceProfile profile;
        profile.localeIdentifier = c.locale;
        ns::testing::TempSandbox phone(profile);
        auto timedOut = URLError(kURLErrorTimedOut, "https://example.com/a");
        EXPECT_EQ(timedOut->domain(), kURLErrorDomain);
        EXPECT_EQ(timedOut->code(), kURLErrorTimedOut);
        EXPECT_EQ(timedOut->localizedDescription(), c.timedOut);

        Result refused = fetch(session_, URLRequest("http://127.0.0.1:" + std::to_string(unusedPort()) + "/"));
        ASSERT_TRUE(refused.error) << c.locale;
        EXPECT_EQ(refused.error->code(), kURLErrorCannotConnectToHost);
        EXPECT_EQ(refused.error->localizedDescription(), c.cannotConnect);

        const std::string missing = phone.root() + "/missing.txt";
        ErrorRef fileError;
        EXPECT_FALSE(FileManager::defaultManager().readData(missing, &fileError));
        ASSERT_TRUE(fileError) << c.locale;
        EXPECT_EQ(fileError->domain(), kCocoaErrorDomain);
        EXPECT_EQ(fileError->localizedDescription(), format(c.noSuchFile, missing));

        EXPECT_EQ(Error::make("Almavel", 7)->localizedDescription(), c.generic);
    }
}

TEST_F(URLSessionTest, TimeoutFollowsTheVirtualClock) {
    auto clock = VirtualClock::install();
    auto c = newCompletions();
    URLRequest request(http_.url("/hold"));
    request.setTimeoutInterval(5);
    auto task = session_->dataTask(request, c->handler());
    task->resume();
    ASSERT_TRUE(http_.waitHeld(1));
    clock->advance(4);
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Running);
    clock->advance(2);
    Result r = c->wait();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code(), kURLErrorTimedOut);
    EXPECT_EQ(r.error->localizedDescription(), "The request timed out.");
    http_.release();
}

TEST_F(URLSessionTest, SessionTimeoutAppliesWithoutARequestTimeout) {
    auto clock = VirtualClock::install();
    URLSessionConfiguration config;
    config.timeoutIntervalForRequest = 30;
    auto session = URLSession::make(config);
    auto c = newCompletions();
    auto task = session->dataTask(URLRequest(http_.url("/hold")), c->handler());
    task->resume();
    ASSERT_TRUE(http_.waitHeld(1));
    clock->advance(29);
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Running);
    clock->advance(2);
    EXPECT_EQ(c->wait().error->code(), kURLErrorTimedOut);
    http_.release();
}

class RoutedTLSTest : public URLSessionTest {
protected:
    TestServer https_{true};
};

TEST_F(RoutedTLSTest, ServiceHostIsRoutedAndVerifiedByItsOwnName) {
    ErrorRef error;
    ASSERT_TRUE(HostRouting::shared().add("*.quorvaneapis.com", 0, "127.0.0.1", uint16_t(https_.port()), &error));
    ASSERT_TRUE(TrustStore::shared().addAnchorFile(kCertDir + "/ca.pem", &error)) << error->description();

    Result r = fetch(session_, URLRequest("https://app-measurement.quorvaneapis.com/hello"));
    ASSERT_FALSE(r.error) << r.error->description();
    EXPECT_EQ(r.response->statusCode(), 200);
    EXPECT_EQ(r.body(), "hello world");
    EXPECT_EQ(r.response->valueForHTTPHeaderField("X-Host"), "app-measurement.quorvaneapis.com");
    EXPECT_EQ(r.response->URL(), "https://app-measurement.quorvaneapis.com/hello");

    // Without the test anchor the same server is untrusted, even though a
    // verified connection to it was just made.
    TrustStore::shared().removeAddedAnchors();
    Result untrusted = fetch(session_, URLRequest("https://app-measurement.quorvaneapis.com/hello"));
    ASSERT_TRUE(untrusted.error);
    EXPECT_EQ(untrusted.error->code(), kURLErrorServerCertificateUntrusted);
    EXPECT_NE(untrusted.error->localizedDescription().find("app-measurement.quorvaneapis.com"), std::string::npos);
}

TEST_F(RoutedTLSTest, NameNotOnTheCertificateIsUntrusted) {
    ASSERT_TRUE(TrustStore::shared().addAnchorFile(kCertDir + "/ca.pem"));
    ASSERT_TRUE(HostRouting::shared().add("service.example.org", 0, "127.0.0.1", uint16_t(https_.port())));
    Result r = fetch(session_, URLRequest("https://service.example.org/hello"));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code(), kURLErrorServerCertificateUntrusted);

    Result local = fetch(session_, URLRequest("https://localhost:" + std::to_string(https_.port()) + "/hello"));
    ASSERT_FALSE(local.error) << local.error->description();
    EXPECT_EQ(local.body(), "hello world");
}

TEST_F(RoutedTLSTest, TrustStoreConfiguresOpenSSLContexts) {
    auto handshake = [&]() -> long {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        TrustStore::shared().configure(ctx);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // read the result instead of failing
        BIO* bio = BIO_new_ssl_connect(ctx);
        BIO_set_conn_hostname(bio, ("127.0.0.1:" + std::to_string(https_.port())).c_str());
        SSL* ssl = nullptr;
        BIO_get_ssl(bio, &ssl);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        long result = BIO_do_handshake(bio) == 1 ? SSL_get_verify_result(ssl) : -1;
        BIO_free_all(bio);
        SSL_CTX_free(ctx);
        return result;
    };
    EXPECT_NE(handshake(), X509_V_OK);
    ASSERT_TRUE(TrustStore::shared().addAnchorFile(kCertDir + "/ca.pem"));
    EXPECT_EQ(handshake(), X509_V_OK);
}

TEST(TrustStore, AnchorsAreValidatedAndDeduplicated) {
    TrustStore& store = TrustStore::shared();
    store.removeAddedAnchors();
    uint64_t gen = store.generation();
    auto systemBundle = store.pemBundle();

    ErrorRef error;
    EXPECT_FALSE(store.addAnchorPEM("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n", &error));
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_FALSE(store.addAnchorPEM("no certificate at all", &error));
    EXPECT_TRUE(error);
    error = nullptr;
    EXPECT_FALSE(store.addAnchorFile("/nonexistent/ca.pem", &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(store.addedAnchorCount(), 0u);
    EXPECT_EQ(store.generation(), gen);

    ASSERT_TRUE(store.addAnchorFile(kCertDir + "/ca.pem"));
    ASSERT_TRUE(store.addAnchorFile(kCertDir + "/ca.pem"));
    EXPECT_EQ(store.addedAnchorCount(), 1u);
    EXPECT_NE(store.generation(), gen);
    EXPECT_GT(store.pemBundle()->size(), systemBundle->size());
    store.removeAddedAnchors();
    EXPECT_EQ(*store.pemBundle(), *systemBundle);

    ::setenv("ALMAVEL_EXTRA_CA", (kCertDir + "/ca.pem").c_str(), 1);
    EXPECT_TRUE(store.loadFromEnvironment());
    EXPECT_EQ(store.addedAnchorCount(), 1u);
    ::setenv("ALMAVEL_EXTRA_CA", (kCertDir + "/server-key.pem").c_str(), 1);
    EXPECT_FALSE(store.loadFromEnvironment(&error));
    ::unsetenv("ALMAVEL_EXTRA_CA");
    store.removeAddedAnchors();
}

TEST(HostRouting, PatternsPortsAndPrecedence) {
    HostRouting& r = HostRouting::shared();
    r.clear();
    ASSERT_TRUE(r.add("*.quorvane.com", 0, "127.0.0.1", 9000));
    ASSERT_TRUE(r.add("*.db.quorvane.com", 0, "127.0.0.1", 9001));
    ASSERT_TRUE(r.add("auth.quorvane.com", 443, "127.0.0.2", 9002));
    ASSERT_TRUE(r.add("Quorvane.COM.", 0, "::1", 0));

    using E = HostRouting::Endpoint;
    EXPECT_EQ(r.resolve("a.quorvane.com", 443), (E{"127.0.0.1", 9000}));
    EXPECT_EQ(r.resolve("x.y.z.quorvane.com", 80), (E{"127.0.0.1", 9000}));
    EXPECT_EQ(r.resolve("shard.db.quorvane.com", 443), (E{"127.0.0.1", 9001}));  // longer suffix wins
    EXPECT_EQ(r.resolve("AUTH.quorvane.com", 443), (E{"127.0.0.2", 9002}));     // exact and port
    EXPECT_EQ(r.resolve("auth.quorvane.com", 80), (E{"127.0.0.1", 9000}));      // port differs: wildcard
    EXPECT_EQ(r.resolve("quorvane.com", 8443), (E{"::1", 8443}));               // apex only by its own entry
    EXPECT_FALSE(r.resolve("notquorvane.com", 443));
    EXPECT_FALSE(r.resolve("example.org", 443));
    EXPECT_TRUE(r.isRoutedToLoopback("auth.quorvane.com"));

    // .localhost needs no entry.
    EXPECT_EQ(r.resolve("localhost", 8080), (E{"127.0.0.1", 8080}));
    EXPECT_EQ(r.resolve("a.b.localhost", 8080), (E{"127.0.0.1", 8080}));
    EXPECT_FALSE(r.resolve("localhost.example.com", 80));

    EXPECT_TRUE(r.remove("*.db.quorvane.com"));
    EXPECT_FALSE(r.remove("*.db.quorvane.com"));
    EXPECT_EQ(r.resolve("shard.db.quorvane.com", 443), (E{"127.0.0.1", 9000}));
    r.add("*.quorvane.com", 0, "127.0.0.1", 9100);  // replaces
    EXPECT_EQ(r.resolve("a.quorvane.com", 1), (E{"127.0.0.1", 9100}));
    EXPECT_EQ(r.routes().size(), 3u);
    r.clear();
    EXPECT_FALSE(r.resolve("a.quorvane.com", 443));
}

TEST(HostRouting, RefusesNonLoopbackAndBadSpecs) {
    HostRouting& r = HostRouting::shared();
    r.clear();
    ErrorRef error;
    EXPECT_FALSE(r.add("*.quorvane.com", 0, "10.0.0.1", 443, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
    EXPECT_FALSE(r.add("*.quorvane.com", 0, "example.com", 443));
    EXPECT_FALSE(r.add("", 0, "127.0.0.1", 443));
    EXPECT_FALSE(r.add("bad host", 0, "127.0.0.1", 443));
    EXPECT_FALSE(r.add("a.*.com", 0, "127.0.0.1", 443));
    EXPECT_TRUE(r.routes().empty());

    // The ALMAVEL_ROUTES entry syntax.
    EXPECT_TRUE(r.addSpec("*.ondrix.com:443=127.0.0.1:8443"));
    EXPECT_TRUE(r.addSpec("ondrixapis.com=[::1]:9443"));
    EXPECT_TRUE(r.addSpec("local.test=localhost:81"));
    EXPECT_FALSE(r.addSpec("x.com=127.0.0.1"));
    EXPECT_FALSE(r.addSpec("x.com:99999=127.0.0.1:1"));
    EXPECT_FALSE(r.addSpec("x.com=192.168.1.1:80"));
    EXPECT_FALSE(r.addSpec("no-equals"));
    using E = HostRouting::Endpoint;
    EXPECT_EQ(r.resolve("www.ondrix.com", 443), (E{"127.0.0.1", 8443}));
    EXPECT_FALSE(r.resolve("www.ondrix.com", 80));
    EXPECT_EQ(r.resolve("ondrixapis.com", 443), (E{"::1", 9443}));
    EXPECT_EQ(r.resolve("local.test", 80), (E{"127.0.0.1", 81}));
    r.clear();

    // The environment form: good entries are taken, bad ones skipped.
    ::setenv("ALMAVEL_ROUTES", "*.quorvaneio.com:443=127.0.0.1:7443, bad=10.1.1.1:1,quorvaneio.com=127.0.0.1:7080", 1);
    EXPECT_EQ(r.loadFromEnvironment(), 2u);
    ::unsetenv("ALMAVEL_ROUTES");
    EXPECT_EQ(r.resolve("x.quorvaneio.com", 443), (E{"127.0.0.1", 7443}));
    EXPECT_EQ(r.resolve("quorvaneio.com", 443), (E{"127.0.0.1", 7080}));
    EXPECT_FALSE(r.resolve("bad", 1));
    r.clear();

    EXPECT_TRUE(HostRouting::isLoopbackAddress("127.8.9.10"));
    EXPECT_TRUE(HostRouting::isLoopbackAddress("[::1]"));
    EXPECT_FALSE(HostRouting::isLoopbackAddress("128.0.0.1"));
    EXPECT_TRUE(HostRouting::isInvalidName("Foo.INVALID."));
    EXPECT_FALSE(HostRouting::isInvalidName("invalid.com"));
}
