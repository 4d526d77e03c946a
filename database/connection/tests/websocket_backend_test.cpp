// The web-socket client against the local back end: Boost.Beast's echo
// endpoint for the normal roads, and the raw-frame endpoint for every
// protocol violation and handshake failure.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "database/connection/FSRUtilities.h"
#include "websocket_test_support.h"
#include "platform/host_routing.h"
#include "platform/trust_store.h"

using namespace wstest;
using ns::testing::Backend;

namespace {

// The closes the back end's echo endpoint has recorded. The server records a
// close once its side of the session has ended, which may be a moment after
// our socket reported it, so wait (bounded) for at least `atLeast` of them.
nlohmann::json echoCloses(const ns::testing::Backend& backend, size_t atLeast = 1) {
    nlohmann::json closes;
    for (int attempt = 0; attempt < 200; ++attempt) {
        closes = nlohmann::json::parse(backend.get("/__admin/ws/echo").body)["closes"];
        if (closes.size() >= atLeast) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return closes;
}

class WebSocketBackendTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        backend_ = Backend::start().release();
        ASSERT_TRUE(ns::TrustStore::shared().addAnchorFile(Backend::caPath()));
    }
    static void TearDownTestSuite() {
        delete backend_;
        backend_ = nullptr;
    }
    static std::string echoURL(bool tls) {
        return tls ? "wss://echo.localhost:" + std::to_string(backend_->wssPort()) + "/echo"
                   : "ws://echo.localhost:" + std::to_string(backend_->wsPort()) + "/echo";
    }
    static Fault fault(const std::string& name) {
        static std::atomic<int> counter{0};
        return Fault(*backend_, name + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    }
    // Every delegate call already posted has run.
    static void drain(Client& c) {
        c.socket->drainWorkQueueForTesting();
        c.queue->sync([] {});
    }
    // Lets go of the socket and waits until its clean-up has run, that is
    // until it no longer keeps itself alive; false when it stays alive.
    static bool release(Client& c) {
        std::weak_ptr<FSRWebSocket> weak = c.socket;
        c.socket.reset();
        if (!c.recorder->waitFor([&] { return weak.expired(); })) return false;
        c.queue->sync([] {});
        return true;
    }
    // Opens a socket on a raw-frame connection whose handshake answer is
    // followed by `serverBytes`, and waits for the client's close frame.
    struct Violation {
        int code;
        std::string reason;
        size_t messages;
        // What the delegate was told.
        std::vector<CloseRecord> closes;
        size_t errors;
    };
    static Violation violate(const std::string& serverBytesHex, uint64_t maxMessage = 0) {
        Fault f = fault("violation");
        Client c(f.url("send=" + serverBytesHex));
        if (maxMessage) c.socket->setMaximumMessageSize(maxMessage);
        c.socket->open();
        auto state = f.waitState([](const nlohmann::json& s) {
            for (const auto& fr : s["frames"]) {
                if (fr["opcode"] == 8) return true;
            }
            return s["finished"].get<bool>();
        });
        Violation v{-1, "", 0, {}, 0};
        for (const auto& fr : state["frames"]) {
            if (fr["opcode"] == 8) {
                EXPECT_TRUE(fr["masked"].get<bool>());
                std::tie(v.code, v.reason) = closeOf(fr);
            }
        }
        EXPECT_TRUE(c.recorder->waitClosedOrFailed());
        drain(c);
        c.recorder->locked([&] {
            v.messages = c.recorder->messages.size();
            v.closes = c.recorder->closes;
            v.errors = c.recorder->errors.size();
        });
        return v;
    }
    // A connection the client failed ends without a close frame from the
    // peer: the delegate hears 1006, not clean, and no reason.
    static void expectAbnormalClose(const Violation& v) {
        EXPECT_EQ(v.errors, 0u);
        EXPECT_TRUE(endedOnceWith(v.closes, {1006, std::nullopt, false}));
    }

    static Backend* backend_;
};
Backend* WebSocketBackendTest::backend_ = nullptr;

TEST_F(WebSocketBackendTest, EchoOverWsAndWssToLocalhostNames) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "wss" : "ws");
        Client c(echoURL(tls));
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
        EXPECT_EQ(c.socket->readyState(), SR_OPEN);
        EXPECT_FALSE(c.socket->protocol());
        c.socket->send(ns::Value("hello, world"));
        c.socket->send(ns::Value(ns::Data{0, 1, 2, 0xFF}));
        c.socket->send(ns::Value());
        ASSERT_TRUE(c.recorder->waitMessages(3)) << c.recorder->describe();
        c.recorder->locked([&] {
            EXPECT_EQ(c.recorder->messages[0], ns::Value("hello, world"));
            EXPECT_EQ(c.recorder->messages[1], ns::Value(ns::Data{0, 1, 2, 0xFF}));
            EXPECT_EQ(c.recorder->messages[2], ns::Value(""));
        });

        // Closing from our side: the server answers and ends the stream,
        // which the reader no longer reads in the closing state.
        c.socket->close();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
        drain(c);
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->errors.empty());
            EXPECT_TRUE(endedOnceWith(c.recorder->closes, {0, "Stream end encountered", false}));
        });
        auto closes = echoCloses(*backend_);
        ASSERT_FALSE(closes.empty());
        EXPECT_EQ(closes.back()["code"], 1000);
    }
}

TEST_F(WebSocketBackendTest, OneMegabyteTextRoundTripIsIntact) {
    std::string text;
    const std::string pieces[] = {"ascii ", "é", "€", "😀", "\n"};
    for (size_t i = 0; text.size() < 1024 * 1024; ++i) text += pieces[(i * 7) % 5];
    for (bool tls : {false, true}) {
        Client c(echoURL(tls));
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
        c.socket->send(ns::Value(text));
        ASSERT_TRUE(c.recorder->waitMessages(1)) << c.recorder->describe();
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->messages[0] == ns::Value(text));
        });
        c.socket->close();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    }
}

TEST_F(WebSocketBackendTest, ThreeFragmentsWithPingBetweenArriveOnceAndPongEchoesPing) {
    Client c(echoURL(false));
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    // Multi-byte characters so that some fragment boundary splits one.
    const std::string text = "fragmented € message 😀 with ünïcödé";
    c.socket->send(ns::Value("!fragments:ping-payload-42:" + text));
    ASSERT_TRUE(c.recorder->waitMessages(1)) << c.recorder->describe();
    c.socket->send(ns::Value("!pongs"));
    ASSERT_TRUE(c.recorder->waitMessages(2)) << c.recorder->describe();
    c.recorder->locked([&] {
        EXPECT_EQ(c.recorder->messages[0], ns::Value(text));
        EXPECT_EQ(c.recorder->messages[1], ns::Value("pongs:ping-payload-42"));
    });
    c.socket->close();
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
}

TEST_F(WebSocketBackendTest, ServerCloseIsAnsweredAndReportedCleanWithItsCodeAndReason) {
    Client c(echoURL(true));
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    c.socket->send(ns::Value("!close:4001:going home"));
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    drain(c);
    c.recorder->locked([&] {
        EXPECT_TRUE(endedOnceWith(c.recorder->closes, {4001, "going home", true}));
    });
    // Beast's close waits for our answering close frame and reports its code.
    auto closes = echoCloses(*backend_);
    ASSERT_FALSE(closes.empty());
    EXPECT_EQ(closes.back()["code"], 1000);
}

TEST_F(WebSocketBackendTest, StreamEndWithoutCloseFrameIsReportedOnce) {
    Client c(echoURL(false));
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    c.socket->send(ns::Value("!end"));
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    ASSERT_TRUE(release(c));
    c.recorder->locked([&] {
        EXPECT_TRUE(c.recorder->errors.empty());
        EXPECT_TRUE(endedOnceWith(c.recorder->closes, {0, "Stream end encountered", false}));
    });
}

TEST_F(WebSocketBackendTest, HandshakeRequestCarriesTheSpecifiedFields) {
    Fault f = fault("request");
    ns::URLRequest request(f.url());
    request.setValue(std::string("custom-agent/2"), "User-Agent");
    request.setValue(std::string("yes"), "X-Extra");
    Client c(request);
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    auto headers = f.state()["request"];
    const std::string port = std::to_string(backend_->wsPort());
    EXPECT_EQ(headers["Host"], "fault.localhost:" + port);
    EXPECT_EQ(headers["Upgrade"], "websocket");
    EXPECT_EQ(headers["Connection"], "Upgrade");
    EXPECT_EQ(headers["Sec-WebSocket-Version"], "13");
    EXPECT_EQ(headers["Origin"], "http://fault.localhost:" + port + "/");
    EXPECT_EQ(headers["Sec-WebSocket-Key"].get<std::string>().size(), 24u);
    EXPECT_EQ(headers["User-Agent"], "custom-agent/2");
    EXPECT_EQ(headers["X-Extra"], "yes");
    EXPECT_FALSE(headers.contains("Sec-WebSocket-Protocol"));
    c.socket->close();
    f.waitFrames(1);
    f.end();
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
}

TEST_F(WebSocketBackendTest, SecureURLWithoutPortUses443TheBareHostAndAnHttpsOrigin) {
    ns::ErrorRef error;
    ASSERT_TRUE(ns::HostRouting::shared().add("noport.localhost", 443, "127.0.0.1", uint16_t(backend_->wssPort()), &error));
    Fault f = fault("noport");
    Client c("wss://noport.localhost" + f.path());
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    auto headers = f.state()["request"];
    EXPECT_EQ(headers["Host"], "noport.localhost");
    EXPECT_EQ(headers["Origin"], "https://noport.localhost/");
    c.socket->close();
    f.waitFrames(1);
    f.end();
    ASSERT_TRUE(c.recorder->waitClosedOrFailed());
    ns::HostRouting::shared().remove("noport.localhost", 443);
}

TEST_F(WebSocketBackendTest, OutgoingFramesAreMaskedWithTheSpecifiedLengthCodes) {
    Fault f = fault("lengths");
    Client c(f.url());
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    const std::vector<std::pair<size_t, int>> cases = {{0, 0}, {125, 125}, {126, 126}, {65535, 126}, {65536, 127}};
    for (const auto& [size, code] : cases) c.socket->send(ns::Value(std::string(size, 'x')));
    c.socket->send(ns::Value(ns::Data{9, 8, 7}));
    auto state = f.waitFrames(cases.size() + 1);
    ASSERT_EQ(state["frames"].size(), cases.size() + 1);
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& fr = state["frames"][i];
        EXPECT_EQ(fr["lengthCode"], cases[i].second) << cases[i].first;
        EXPECT_EQ(fr["opcode"], 1);
        EXPECT_TRUE(fr["fin"].get<bool>());
        EXPECT_TRUE(fr["masked"].get<bool>());
        EXPECT_EQ(fr["rsv"], 0);
        EXPECT_EQ(fr["payload"], hex(std::string(cases[i].first, 'x')));
    }
    EXPECT_EQ(state["frames"][cases.size()]["opcode"], 2);
    EXPECT_EQ(state["frames"][cases.size()]["payload"], "090807");
    c.socket->close();
    auto closed = f.waitFrames(cases.size() + 2);
    // A close without a code goes out as normal closure, not FF FF.
    EXPECT_EQ(closeOf(closed["frames"][cases.size() + 1]), std::make_pair(1000, std::string()));
}

TEST_F(WebSocketBackendTest, ProtocolViolationsCloseWithTheirCodeAndMessage) {
    struct Case {
        std::string name, bytes;
        int code;
        std::string reason;
    };
    const std::string masked = "8182" "01020304" + hex(std::string{char('h' ^ 1), char('i' ^ 2)});
    std::vector<Case> cases = {
        {"reserved bit 1", frame(0xC1, "hi"), 1002, "Server used RSV bits"},
        {"reserved bit 3", frame(0x91, "hi"), 1002, "Server used RSV bits"},
        {"masked server data", masked + frame(0x81, "after"), 1002, "Client must receive unmasked data"},
        {"continuation first", frame(0x80, "x"), 1002, "cannot continue a message"},
        {"new message inside one", frame(0x01, "a") + frame(0x81, "b"), 1002,
         "all data frames after the initial data frame must have opcode 0"},
        {"fragmented ping", frame(0x09, "p"), 1002, "Fragmented control frames not allowed"},
        {"ping of 126 bytes", frame(0x89, std::string(126, 'p')), 1002,
         "Control frames cannot have payloads larger than 126 bytes"},
        {"close of one byte", frame(0x88, "\x03"), 1002, "Payload for close must be larger than 2 bytes"},
        {"close code 1005", frame(0x88, closePayload(1005)), 1002, "Cannot have close code of 1005"},
        {"close code 1004", frame(0x88, closePayload(1004)), 1002, "Cannot have close code of 1004"},
        {"close code 1006", frame(0x88, closePayload(1006)), 1002, "Cannot have close code of 1006"},
        {"close code 999", frame(0x88, closePayload(999)), 1002, "Cannot have close code of 999"},
        {"close code 5000", frame(0x88, closePayload(5000)), 1002, "Cannot have close code of 5000"},
        {"close reason not UTF-8", frame(0x88, closePayload(1000, "bad \xC3\x28")), 1002,
         "Close reason MUST be valid UTF-8"},
        {"text not UTF-8", frame(0x81, "ok \xFF no"), 1007, "Text frames must be valid UTF-8"},
        {"text with a surrogate", frame(0x81, "\xED\xA0\x80"), 1007, "Text frames must be valid UTF-8"},
        {"fragment not UTF-8", frame(0x01, "ok") + frame(0x80, "\xC0\xAF"), 1007, "Text frames must be valid UTF-8"},
        {"64-bit length with top bit", "817f8000000000000001", 1002,
         "Frame length must not have its most significant bit set"},
    };
    for (int op : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
        cases.push_back({"opcode " + std::to_string(op), frame(uint8_t(0x80 | op), "x"), 1002,
                         "Unknown opcode " + std::to_string(op)});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Violation v = violate(c.bytes);
        EXPECT_EQ(v.code, c.code);
        EXPECT_EQ(v.reason, c.reason);
        // Nothing is delivered once a violation is found.
        EXPECT_EQ(v.messages, 0u);
        expectAbnormalClose(v);
    }
}

TEST_F(WebSocketBackendTest, RefusedPeerCloseCodesNeverReachTheDelegate) {
    for (int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535}) {
        SCOPED_TRACE(code);
        const Violation v = violate(frame(0x88, closePayload(code, "why")));
        EXPECT_EQ(v.code, 1002);
        EXPECT_EQ(v.reason, "Cannot have close code of " + std::to_string(code));
        expectAbnormalClose(v);
    }
}

TEST_F(WebSocketBackendTest, OversizedMessagesCloseWith1009) {
    Violation single = violate(frame(0x81, std::string(2000, 'a')), 1000);
    EXPECT_EQ(single.code, 1009);
    EXPECT_EQ(single.reason, "Message too big");
    EXPECT_EQ(single.messages, 0u);
    // The limit counts the whole message, not a fragment.
    Violation fragmented = violate(frame(0x02, std::string(600, 'a')) + frame(0x80, std::string(600, 'b')), 1000);
    EXPECT_EQ(fragmented.code, 1009);
    EXPECT_EQ(fragmented.messages, 0u);
    // A huge announced length is refused before anything is buffered.
    Violation huge = violate("817f0000010000000000");
    EXPECT_EQ(huge.code, 1009);
    for (const Violation* v : {&single, &fragmented, &huge}) expectAbnormalClose(*v);
}

TEST_F(WebSocketBackendTest, ValidServerFramesAreDeliveredAndControlFramesAnswered) {
    Fault f = fault("valid");
    const std::string bytes = frame(0x01, "a\xE2\x82") + frame(0x89, std::string(125, 'q')) + frame(0x80, "\xAC") +
                              frame(0x82, std::string("\x00\x01", 2)) + frame(0x8A, "unsolicited") +
                              frame(0x81, "");
    Client c(f.url("send=" + bytes));
    c.socket->open();
    // The pong goes out through the delegate queue; a close frame right
    // behind the ping would overtake it, so the close waits for it.
    f.waitFrames(1);
    f.send(frame(0x88, closePayload(3000, "done")));
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    drain(c);
    c.recorder->locked([&] {
        EXPECT_EQ(c.recorder->opens, 1);
        ASSERT_EQ(c.recorder->messages.size(), 3u);
        EXPECT_EQ(c.recorder->messages[0], ns::Value("a€"));
        EXPECT_EQ(c.recorder->messages[1], ns::Value(ns::Data{0, 1}));
        EXPECT_EQ(c.recorder->messages[2], ns::Value(""));
        EXPECT_TRUE(endedOnceWith(c.recorder->closes, {3000, "done", true}));
    });
    auto state = f.waitFinished();
    ASSERT_EQ(state["frames"].size(), 2u);
    EXPECT_EQ(state["frames"][0]["opcode"], 10);
    EXPECT_EQ(state["frames"][0]["payload"], hex(std::string(125, 'q')));
    EXPECT_EQ(closeOf(state["frames"][1]), std::make_pair(1000, std::string()));
    EXPECT_TRUE(state["clientEnded"].get<bool>());
}

TEST_F(WebSocketBackendTest, CloseFrameVariantsReportTheirCodes) {
    struct Case {
        std::string payload;
        int64_t code;
        std::optional<std::string> reason;
    };
    for (const Case& k : {Case{closePayload(1000), 1000, std::nullopt}, Case{"", 1005, std::nullopt},
                          Case{closePayload(4999, "é"), 4999, std::string("é")}}) {
        Fault f = fault("close");
        Client c(f.url("send=" + frame(0x88, k.payload)));
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
        drain(c);
        c.recorder->locked([&] {
            EXPECT_TRUE(endedOnceWith(c.recorder->closes, {k.code, k.reason, true}));
        });
        auto state = f.waitFinished();
        ASSERT_EQ(state["frames"].size(), 1u);
        EXPECT_EQ(closeOf(state["frames"][0]), std::make_pair(1000, std::string()));
    }
}

TEST_F(WebSocketBackendTest, HandshakeFailuresCarryTheirCodesAndDomains) {
    struct Case {
        std::string query;
        long code;
        std::string domain, message;
    };
    const std::vector<Case> cases = {
        {"status=400", 2132, "org.brindle.Wavecraft", "received bad response code from server 400"},
        {"status=200", 2132, "org.brindle.Wavecraft", "received bad response code from server 200"},
        {"accept=bad", 2133, "FSRWebSocketErrorDomain", "Invalid Sec-WebSocket-Accept response"},
        {"accept=none", 2133, "FSRWebSocketErrorDomain", "Invalid Sec-WebSocket-Accept response"},
        {"protocol=chat", 2133, "FSRWebSocketErrorDomain",
         "Server specified Sec-WebSocket-Protocol that wasn't requested"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.query);
        Fault f = fault("handshake");
        Client c(f.url(k.query));
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
        ASSERT_TRUE(release(c));
        c.recorder->locked([&] {
            EXPECT_EQ(c.recorder->opens, 0);
            EXPECT_TRUE(c.recorder->closes.empty());
            ASSERT_EQ(c.recorder->errors.size(), 1u);
            EXPECT_EQ(c.recorder->errors[0]->code(), k.code);
            EXPECT_EQ(c.recorder->errors[0]->domain(), k.domain);
            EXPECT_EQ(c.recorder->errors[0]->localizedDescription(), k.message);
        });
    }
}

TEST_F(WebSocketBackendTest, RequestedSubProtocolIsAccepted) {
    Fault f = fault("protocol");
    Client c(f.url("protocol=superchat"), std::vector<std::string>{"chat", "superchat"});
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
    EXPECT_EQ(c.socket->protocol(), std::optional<std::string>("superchat"));
    EXPECT_EQ(f.state()["request"]["Sec-WebSocket-Protocol"], "chat, superchat");
    c.socket->close();
    f.waitFrames(1);
    f.end();
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
}

TEST_F(WebSocketBackendTest, ServerEndingTheStreamGivesStreamEndOnce) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "wss" : "ws");
        Fault f = fault("end");
        Client c(f.url("", tls));
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
        f.end();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
        ASSERT_TRUE(release(c));
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->errors.empty());
            EXPECT_TRUE(endedOnceWith(c.recorder->closes, {0, "Stream end encountered", false}));
        });
    }
}

TEST_F(WebSocketBackendTest, CloseBeforeTheHandshakeCompletesCleanlyWithoutCloseFrame) {
    Fault f = fault("early");
    Client c(f.url("hold=1"));
    c.socket->open();
    // The server has the request but has not answered it.
    f.waitState([](const nlohmann::json& s) { return s["connected"].get<bool>(); });
    c.socket->close();
    ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    drain(c);
    c.recorder->locked([&] {
        EXPECT_EQ(c.recorder->opens, 0);
        EXPECT_TRUE(c.recorder->errors.empty());
        EXPECT_TRUE(endedOnceWith(c.recorder->closes, {0, std::nullopt, true}));
    });
    auto state = f.waitFinished();
    EXPECT_TRUE(state["clientEnded"].get<bool>());
    EXPECT_TRUE(state["frames"].empty());
}

TEST_F(WebSocketBackendTest, DelegateAnsweringOnlyMessagesGetsNothingElse) {
    Client c(echoURL(false));
    c.recorder->onlyMessages = true;
    c.socket->open();
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.socket->readyState() == SR_OPEN; }));
    c.socket->send(ns::Value("just this"));
    ASSERT_TRUE(c.recorder->waitMessages(1)) << c.recorder->describe();
    c.socket->close();
    ASSERT_TRUE(release(c));
    c.recorder->locked([&] {
        EXPECT_EQ(c.recorder->opens, 0);
        EXPECT_TRUE(c.recorder->closes.empty());
        EXPECT_TRUE(c.recorder->errors.empty());
        EXPECT_EQ(c.recorder->messages.size(), 1u);
    });
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ns::Data pemToDER(const std::string& pem) {
    const auto begin = pem.find("-----BEGIN CERTIFICATE-----");
    const auto end = pem.find("-----END CERTIFICATE-----");
    const auto bodyStart = pem.find('\n', begin) + 1;
    return ns::crypto::base64Decode(pem.substr(bodyStart, end - bodyStart)).value_or(ns::Data{});
}

TEST_F(WebSocketBackendTest, PinnedCertificatesMustMatchThePeer) {
    const ns::Data serverCert = pemToDER(readFile(std::string(ALMAVEL_CERT_DIR) + "/server.pem"));
    const ns::Data caCert = pemToDER(readFile(Backend::caPath()));
    ASSERT_FALSE(serverCert.empty());
    {
        ns::URLRequest request(echoURL(true));
        setFSR_SSLPinnedCertificates(request, ns::Array{ns::Value(caCert), ns::Value(serverCert)});
        Client c(request);
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
        c.socket->close();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
    }
    {
        ns::URLRequest request(echoURL(true));
        setFSR_SSLPinnedCertificates(request, ns::Array{ns::Value(ns::Data{1, 2, 3})});
        Client c(request);
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed()) << c.recorder->describe();
        drain(c);
        c.recorder->locked([&] {
            EXPECT_EQ(c.recorder->opens, 0);
            ASSERT_EQ(c.recorder->errors.size(), 1u);
            EXPECT_EQ(c.recorder->errors[0]->code(), 23556);
            EXPECT_EQ(c.recorder->errors[0]->domain(), "org.brindle.Wavecraft");
            EXPECT_EQ(c.recorder->errors[0]->localizedDescription(), "Invalid server cert");
        });
    }
}

TEST_F(WebSocketBackendTest, UntrustedOrUnreachableDestinationsFailWithTheStreamError) {
    // The back end's certificate covers one label under .localhost only.
    Client wrongName("wss://too.deep.localhost:" + std::to_string(backend_->wssPort()) + "/echo");
    wrongName.socket->open();
    ASSERT_TRUE(wrongName.recorder->waitClosedOrFailed()) << wrongName.recorder->describe();
    drain(wrongName);
    wrongName.recorder->locked([&] {
        ASSERT_EQ(wrongName.recorder->errors.size(), 1u);
        EXPECT_EQ(wrongName.recorder->errors[0]->domain(), ns::kOSStatusErrorDomain);
    });
    // Nothing leaves the machine.
    Client outside("ws://example.com/echo");
    outside.socket->open();
    ASSERT_TRUE(outside.recorder->waitClosedOrFailed()) << outside.recorder->describe();
    drain(outside);
    outside.recorder->locked([&] {
        ASSERT_EQ(outside.recorder->errors.size(), 1u);
        EXPECT_EQ(outside.recorder->errors[0]->domain(), ns::kPOSIXErrorDomain);
        EXPECT_TRUE(outside.recorder->closes.empty());
    });
}

}  // namespace
