#pragma once
// Web-socket endpoints for client tests, on the ws and wss listeners.
//
// "/echo": a web socket (Boost.Beast) that sends every message back as it
// came, with a few commands in text messages:
//   "!fragments:<ping payload>:<text>"  sends <text> as three frames with a
//                                       ping carrying <ping payload> after
//                                       the first
//   "!pongs"                            answers "pongs:" and the payloads of
//                                       the pongs received, joined by ","
//   "!close:<code>:<reason>"            closes with that code and reason
//   "!end"                              ends the TCP connection, no close frame
//
// "/fault/<id>": raw mode for protocol violations. The handshake answer is
// made from the query: status (default 101), accept ("good", the default,
// "bad" or "none"), protocol (a Sec-WebSocket-Protocol to name), send (hex
// bytes written right after the answer), hold (present: no answer at all).
// Everything the client sends
// afterwards is kept and parsed into frames. Admin endpoints (HTTP):
//   GET  /__admin/ws/fault/<id>       {"connected","clientEnded","finished",
//                                      "request":{header:value},
//                                      "frames":[{"fin","rsv","opcode","lengthCode","masked",
//                                      "payload" (hex)}],"bytes"}
//   POST /__admin/ws/fault/<id>/send  body: hex bytes to write now
//   POST /__admin/ws/fault/<id>/end   ends the TCP connection (FIN)
//   GET  /__admin/ws/echo             {"closes":[{"code"}]} close codes the
//                                      echo endpoint received, oldest first

#include <memory>
#include <string>

#include "backend/core/service.h"

namespace backend {

class WebSocketTestingService : public Service {
public:
    WebSocketTestingService();
    ~WebSocketTestingService() override;
    std::string name() const override { return "websocket-testing"; }
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void installWebSockets(WebSocketRouter& router, Context& context) override;
    void stop() override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace backend
