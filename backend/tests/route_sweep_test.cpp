// Requests no client of ours would send: paths and fields from a thousand to
// a million characters on every route, and Host names of other sites. Each
// must get an answer (or a clean refusal) and leave the back end serving.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "socket_test_support.h"
#include "testing/backend.h"

namespace {

using ns::testing::Backend;

constexpr const char* kSampleKey = "AKlocal-almavel-0000000000000000000000";

// Sends `request` on a fresh connection and gives the answer's status, or -1
// when the connection ended without one. A server that answers early and
// closes while the body is still going is fine: the answer is read anyway.
int exchange(int port, const std::string& request) {
    const int fd = sockettest::connectTo(port);
    if (fd < 0) return -1;
    sockettest::sendAll(fd, request);
    std::string answer;
    char buffer[4096];
    // A generous bound: only a server that hangs runs into it.
    for (int waited = 0; answer.find("\r\n") == std::string::npos && waited < 60'000; waited += 100) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, std::size_t(n));
    }
    ::close(fd);
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return -1;
    return std::atoi(answer.c_str() + 9);
}

std::string request(const std::string& method, const std::string& target, const std::string& host,
                    const std::string& contentType = "", const std::string& body = "",
                    const std::string& extraHeaders = "") {
    std::string out = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extraHeaders;
    if (!contentType.empty()) out += "Content-Type: " + contentType + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT") out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

class RouteSweep : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = Backend::start({.seed = true});
        host_ = "127.0.0.1:" + std::to_string(backend_->httpPort());
        secret_ = std::string("X-Almavel-Admin-Secret: ") + backend_->adminSecret() + "\r\n";
    }

    // Every answer arrives and is no server error, and the back end still
    // answers its health check afterwards.
    void expectServed(const std::string& method, const std::string& target, const std::string& contentType = "",
                      const std::string& body = "", bool admin = false) {
        const int status =
            exchange(backend_->httpPort(), request(method, target, host_, contentType, body, admin ? secret_ : ""));
        const std::string what = method + " " + target.substr(0, 60) + " (" + std::to_string(target.size()) +
                                 " characters, body " + std::to_string(body.size()) + ")";
        EXPECT_GE(status, 200) << what << "\n" << backend_->log().substr(0, 4000);
        EXPECT_LT(status, 500) << what;
        ASSERT_EQ(backend_->get("/__admin/health").status, 200) << "after " << what;
    }

    std::unique_ptr<Backend> backend_;
    std::string host_;
    std::string secret_;
};

TEST_F(RouteSweep, LongPathsOnEveryRouteLeaveTheBackEndServing) {
    const std::string key = std::string("key=") + kSampleKey;
    // "@" stands for the long piece. Heads stay under the 64 KiB head limit;
    // the paths that once crashed the route matcher were 26,000 and longer.
    const std::vector<std::pair<std::string, std::string>> routes{
        {"GET", "/v0/b/@/o/photo.jpg"},
        {"GET", "/v0/b/almavel-pa.quorvanestorage.com/o/@"},
        {"GET", "/v0/b/almavel-pa.quorvanestorage.com/o/@?alt=media&token=@"},
        {"DELETE", "/v0/b/almavel-pa.quorvanestorage.com/o/@"},
        {"PATCH", "/v0/b/almavel-pa.quorvanestorage.com/o/@"},
        {"POST", "/v0/b/almavel-pa.quorvanestorage.com/o?name=@&uploadType=resumable"},
        {"GET", "/v0/b/almavel-pa.quorvanestorage.com/o?prefix=@"},
        {"POST", "/account/v1/@?" + key},
        {"GET", "/token/v1/@"},
        {"POST", "/iid/register/@"},
        {"POST", "/kdx/register4?@"},
        {"POST", "/checkin/@"},
        {"GET", "/push/v1/devices/@/messages"},
        {"POST", "/__recorder/@"},
        {"GET", "/@"},
        {"GET", "/.ws?ns=@"},
        {"GET", "/__admin/ws/fault/@"},
        {"GET", "/__admin/rtdb/data?ns=@"},
        {"GET", "/config/app/@?app_instance_id=@&platform=ios"},
        {"POST", "/a?@"},
        {"PUT", "/__admin/analytics/configs/@"},
    };
    for (const std::size_t length : {1'000u, 10'000u, 30'000u, 60'000u}) {
        const std::string piece(length, 'a');
        for (const auto& [method, pattern] : routes) {
            std::string target = pattern;
            replaceAll(target, "@", piece);
            expectServed(method, target, "", "", target.rfind("/__admin/", 0) == 0);
            if (HasFatalFailure()) return;
        }
    }
    // Heads past the limit are refused as such, not served.
    EXPECT_EQ(exchange(backend_->httpPort(), request("GET", "/v0/b/" + std::string(1'000'000, 'a'), host_)), 431);
    EXPECT_EQ(backend_->get("/__admin/health").status, 200);
}

TEST_F(RouteSweep, LongFieldsInEveryBodyLeaveTheBackEndServing) {
    const std::string key = std::string("?key=") + kSampleKey;
    const std::vector<std::string> postRoutes{
        "/account/v1/signIn" + key,   "/account/v1/signUp" + key,
        "/account/v1/lookup" + key,   "/account/v1/sendPasswordReset" + key,
        "/token/v1/refresh" + key,    "/iid/register",
        "/kdx/register4",             "/checkin",
        "/push/v1/devices",           "/v0/b/almavel-pa.quorvanestorage.com/o?uploadType=resumable&name=x",
        "/a",
    };
    // The fields these services read, each the long value at once.
    const std::string jsonTemplate =
        R"({"email":"@","password":"@","idToken":"@","refresh_token":"@","grant_type":"@","requestType":"@",)"
        R"("name":"@","contentType":"@","bundleId":"@","deviceId":"@","token":"@","topic":"@",)"
        R"("checkin":{"type":"@"},"id":"@","digest":"@","version":"@","locale":"@","time_zone":"@"})";
    const std::string formTemplate =
        "grant_type=refresh_token&refresh_token=@&sender=@&app=@&device=@&X-scope=@&X-gcm.topic=/topics/@&"
        "appid=@&gmsv=@&cliv=@&plat=@&X-subtype=@&X-osv=@&apns_token=@&X-delete=@";
    for (const std::size_t length : {1'000u, 10'000u, 100'000u, 1'000'000u}) {
        const std::string piece(length, 'a');
        std::string json = jsonTemplate, form = formTemplate;
        replaceAll(json, "@", piece);
        replaceAll(form, "@", piece);
        for (const auto& target : postRoutes) {
            expectServed("POST", target, "application/json", json);
            if (HasFatalFailure()) return;
            expectServed("POST", target, "application/x-www-form-urlencoded", form);
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(RouteSweep, OnlyLoopbackAndServiceHostNamesAreAnswered) {
    const std::string port = std::to_string(backend_->httpPort());
    struct Case {
        std::string host;
        bool answered;
    };
    const std::vector<Case> cases{
        {"127.0.0.1:" + port, true},
        {"localhost:" + port, true},
        {"[::1]:" + port, true},
        {"almavel-pa.quorvaneio.com", true},
        {"quorvanestorage.quorvaneapis.com:443", true},
        {"evil.example:8080", false},
        {"evil.example", false},
        {"127.0.0.1.evil.example", false},
        {"localhost.evil.example:" + port, false},
        {"quorvaneapis.com.evil.example", false},
        {"192.168.1.10:" + port, false},
    };
    for (const auto& c : cases) {
        for (const auto& [method, target] : std::vector<std::pair<std::string, std::string>>{
                 {"GET", "/__admin/health"},
                 {"GET", "/v0/b/almavel-pa.quorvanestorage.com/o/products%2Fx.jpg"},
                 {"POST", "/__recorder/x"}}) {
            const int status = exchange(backend_->httpPort(), request(method, target, c.host));
            if (c.answered) {
                EXPECT_NE(status, 403) << c.host << " " << target;
                EXPECT_GE(status, 200) << c.host << " " << target;
            } else {
                EXPECT_EQ(status, 403) << c.host << " " << target;
            }
        }
        // The database's web-socket listener too, before any upgrade.
        const std::string upgrade = "GET /.ws?ns=almavel-pa&v=5 HTTP/1.1\r\nHost: " + c.host +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        const int status = exchange(backend_->wsPort(), upgrade);
        if (c.answered) {
            EXPECT_EQ(status, 101) << c.host;
        } else {
            EXPECT_EQ(status, 403) << c.host;
        }
    }
}

}  // namespace
