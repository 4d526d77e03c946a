#include "backend/core/websocket_testing.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "backend/core/http_util.h"
#include "backend/core/websocket.h"
#include "platform/crypto.h"

namespace backend {

namespace {

// Tests may write the bytes in groups, so white space between digits is skipped.
std::optional<std::string> fromHex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') digits += c;
    }
    auto bytes = ns::crypto::hexDecode(digits);
    if (!bytes) return std::nullopt;
    return ns::crypto::toString(*bytes);
}

std::string acceptFor(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    return ns::crypto::base64Encode(ns::crypto::sha1(std::string_view(text)));
}

std::string reasonPhrase(int status) {
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

struct FaultConnection {
    std::mutex mutex;
    bool connected = false;
    bool clientEnded = false;
    bool finished = false;
    std::vector<std::pair<std::string, std::string>> request;
    std::string received;
    size_t parsedUpTo = 0;
    nlohmann::json frames = nlohmann::json::array();
    // The connection's writer, for the admin endpoints' /send and /end.
    std::shared_ptr<WebSocketOutlet> outlet;

    // Client frames are masked; each complete one becomes a record.
    void parseFrames() {
        while (true) {
            const std::string_view rest = std::string_view(received).substr(parsedUpTo);
            if (rest.size() < 2) return;
            const uint8_t b0 = uint8_t(rest[0]), b1 = uint8_t(rest[1]);
            uint64_t length = b1 & 0x7F;
            size_t at = 2;
            if (length == 126) {
                if (rest.size() < 4) return;
                length = (uint64_t(uint8_t(rest[2])) << 8) | uint8_t(rest[3]);
                at = 4;
            } else if (length == 127) {
                if (rest.size() < 10) return;
                length = 0;
                for (int i = 0; i < 8; ++i) length = (length << 8) | uint8_t(rest[2 + size_t(i)]);
                at = 10;
            }
            const bool masked = b1 & 0x80;
            uint8_t key[4] = {0, 0, 0, 0};
            if (masked) {
                if (rest.size() < at + 4) return;
                for (int i = 0; i < 4; ++i) key[i] = uint8_t(rest[at + size_t(i)]);
                at += 4;
            }
            if (rest.size() - at < length) return;
            std::string payload(rest.substr(at, length));
            for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(uint8_t(payload[i]) ^ key[i % 4]);
            frames.push_back({{"fin", bool(b0 & 0x80)},
                              {"rsv", (b0 >> 4) & 0x07},
                              {"opcode", b0 & 0x0F},
                              {"lengthCode", b1 & 0x7F},
                              {"masked", masked},
                              {"payload", ns::crypto::hex(ns::crypto::toData(payload))}});
            parsedUpTo += at + length;
        }
    }

    nlohmann::json describe() {
        nlohmann::json request = nlohmann::json::object();
        for (const auto& [n, v] : this->request) request[n] = v;
        return {{"connected", connected}, {"clientEnded", clientEnded}, {"finished", finished},
                {"request", request},     {"frames", frames},           {"bytes", received.size()}};
    }
};

// Text commands make the echo endpoint do what a test cannot ask of a
// well-behaved peer otherwise: fragment around a ping, report the pongs it
// got, close with a chosen code, or end its side only.
void answerEcho(const std::weak_ptr<WebSocketSession>& weak, WebSocketOutlet& outlet,
                WebSocketSession::Message&& message) {
    const std::string& text = message.data;
    if (message.text && text.rfind("!fragments:", 0) == 0) {
        const auto colon = text.find(':', 11);
        const std::string ping = text.substr(11, colon - 11);
        const std::string body = colon == std::string::npos ? std::string() : text.substr(colon + 1);
        const size_t third = body.size() / 3;
        outlet.sendFragment(true, body.substr(0, third), false);
        outlet.ping(ping);
        outlet.sendFragment(true, body.substr(third, third), false);
        outlet.sendFragment(true, body.substr(2 * third), true);
    } else if (message.text && text == "!pongs") {
        std::string joined;
        if (auto session = weak.lock()) {
            for (const auto& p : session->pongs()) joined += (joined.empty() ? "" : ",") + p;
        }
        outlet.send({true, "pongs:" + joined});
    } else if (message.text && text.rfind("!close:", 0) == 0) {
        const auto colon = text.find(':', 7);
        const int code = std::atoi(text.substr(7, colon - 7).c_str());
        outlet.close(uint16_t(code), colon == std::string::npos ? "" : text.substr(colon + 1));
    } else if (message.text && text == "!end") {
        outlet.endSend();
    } else {
        outlet.send(std::move(message));
    }
}

}  // namespace

struct WebSocketTestingService::State {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<FaultConnection>> faults;
    std::vector<int> echoCloses;
    bool stopping = false;

    std::shared_ptr<FaultConnection> fault(const std::string& id, bool create) {
        std::lock_guard lock(mutex);
        auto it = faults.find(id);
        if (it != faults.end()) return it->second;
        if (!create) return nullptr;
        auto made = std::make_shared<FaultConnection>();
        faults[id] = made;
        return made;
    }
    bool isStopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }
};

WebSocketTestingService::WebSocketTestingService() : state_(std::make_shared<State>()) {}
WebSocketTestingService::~WebSocketTestingService() = default;

void WebSocketTestingService::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
}

void WebSocketTestingService::installWebSockets(WebSocketRouter& router, Context&) {
    auto state = state_;
    router.add("/echo", [state](const SessionPtr& session) {
        std::weak_ptr<WebSocketSession> weak = session;
        auto outlet = session->outlet();
        WebSocketSession::Callbacks callbacks;
        callbacks.onMessage = [weak, outlet](WebSocketSession::Message&& message) {
            answerEcho(weak, *outlet, std::move(message));
        };
        callbacks.onEnd = [weak, state] {
            auto session = weak.lock();
            std::lock_guard lock(state->mutex);
            state->echoCloses.push_back(session ? session->closeCode() : 0);
        };
        session->open(std::move(callbacks), 64ull * 1024 * 1024 + 1024);
    });

    router.add("/fault/*", [state](const SessionPtr& session) {
        const std::string id = session->path().substr(std::string("/fault/").size());
        auto fault = state->fault(id, true);
        const int status = std::atoi(session->query("status").value_or("101").c_str());
        const std::string accept = session->query("accept").value_or("good");
        std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
                             "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
        if (accept == "good") {
            answer += "Sec-WebSocket-Accept: " + acceptFor(session->header("Sec-WebSocket-Key")) + "\r\n";
        } else if (accept == "bad") {
            answer += "Sec-WebSocket-Accept: " + acceptFor("not the key") + "\r\n";
        }
        if (auto protocol = session->query("protocol")) answer += "Sec-WebSocket-Protocol: " + *protocol + "\r\n";
        answer += "\r\n";
        if (auto send = session->query("send")) answer += fromHex(*send).value_or("");
        auto outlet = session->outlet();
        WebSocketSession::RawCallbacks callbacks;
        callbacks.onBytes = [fault](std::string_view bytes) {
            std::lock_guard lock(fault->mutex);
            fault->received.append(bytes);
            fault->parseFrames();
        };
        callbacks.onEnd = [fault] {
            std::lock_guard lock(fault->mutex);
            fault->clientEnded = true;
            fault->finished = true;
            fault->outlet.reset();
        };
        session->openRaw(std::move(callbacks));
        // "hold": no answer at all (the test may write one through /send).
        if (!session->query("hold")) outlet->sendRaw(answer);
        // Published only once the answer is queued: a test that sees the
        // connection and sends frames through /send must not get them on
        // the wire ahead of the handshake answer.
        std::lock_guard lock(fault->mutex);
        fault->request = session->headers();
        fault->connected = true;
        if (!fault->finished) fault->outlet = outlet;
    });
}

void WebSocketTestingService::install(HttpRouter& server, const Listener&, Context&) {
    auto state = state_;
    route(server, "GET", "/__admin/ws/fault/*",
          [state](const Request& req, Response& res, const std::string&) {
              auto fault = state->fault(req.matches[1], false);
              if (!fault) {
                  sendJson(res, 200, {{"connected", false}, {"clientEnded", false}, {"finished", false},
                                      {"request", nlohmann::json::object()}, {"frames", nlohmann::json::array()},
                                      {"bytes", 0}});
                  return;
              }
              std::lock_guard lock(fault->mutex);
              sendJson(res, 200, fault->describe());
          });
    route(server, "POST", "/__admin/ws/fault/*/send",
          [state](const Request& req, Response& res, const std::string& body) {
              auto bytes = fromHex(body);
              if (!bytes) return sendError(res, 400, "the body must be hex bytes");
              auto fault = state->fault(req.matches[1], false);
              if (!fault) return sendError(res, 404, "no such fault connection");
              std::lock_guard lock(fault->mutex);
              if (!fault->outlet || !fault->outlet->sendRaw(*bytes)) return sendError(res, 409, "the connection has ended");
              sendJson(res, 200, {{"queued", bytes->size()}});
          });
    route(server, "POST", "/__admin/ws/fault/*/end",
          [state](const Request& req, Response& res, const std::string&) {
              auto fault = state->fault(req.matches[1], false);
              if (!fault) return sendError(res, 404, "no such fault connection");
              std::lock_guard lock(fault->mutex);
              if (fault->outlet) fault->outlet->endSend();
              sendJson(res, 200, {{"ending", true}});
          });
    route(server, "GET", "/__admin/ws/echo", [state](const Request&, Response& res, const std::string&) {
        std::lock_guard lock(state->mutex);
        nlohmann::json closes = nlohmann::json::array();
        for (int code : state->echoCloses) closes.push_back({{"code", code}});
        sendJson(res, 200, {{"closes", closes}});
    });
}

}  // namespace backend
