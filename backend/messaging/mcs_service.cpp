// The channel server as a back-end service: its listener's life and its test
// interface under /__admin/mcs/ (mcs_server.h).

#include "backend/core/http_util.h"
#include "backend/messaging/mcs_server.h"

namespace backend {

using json = nlohmann::json;

namespace {

constexpr const char* kPublishedAs = "mcs.server";

void answer(Response& res, const McsServer::Answer& answer) { sendJson(res, answer.status, answer.body); }

}  // namespace

McsServer* mcsServer(Context& context) { return context.published<McsServer>(kPublishedAs); }

void McsService::start(Context& context) {
    server_ = std::make_unique<McsServer>(context, context.options().certPath, context.options().keyPath);
    context.setMcsPort(server_->start(context.options().mcsPort));
    context.publish(kPublishedAs, server_.get());
}

void McsService::stop() {
    if (server_) server_->stop();
}

void McsService::install(HttpRouter& server, const Listener&, Context&) {
    McsServer& mcs = *server_;
    route(server, "POST", "/__admin/mcs/send", [&mcs](const Request&, Response& res, const std::string& body) {
        json request;
        if (parseJsonObject(body, res, request)) answer(res, mcs.send(request));
    });
    route(server, "POST", "/__admin/mcs/faults", [&mcs](const Request&, Response& res, const std::string& body) {
        json request;
        if (parseJsonObject(body, res, request)) answer(res, mcs.fault(request));
    });
    route(server, "GET", "/__admin/mcs/upstream",
          [&mcs](const Request&, Response& res, const std::string&) { sendJson(res, 200, mcs.upstream()); });
    route(server, "DELETE", "/__admin/mcs/upstream", [&mcs](const Request&, Response& res, const std::string&) {
        mcs.clearUpstream();
        sendJson(res, 200, json::object());
    });
    route(server, "GET", "/__admin/mcs/sessions",
          [&mcs](const Request&, Response& res, const std::string&) { sendJson(res, 200, mcs.sessions()); });
    route(server, "GET", "/__admin/mcs/frames",
          [&mcs](const Request&, Response& res, const std::string&) { sendJson(res, 200, mcs.frames()); });
    route(server, "DELETE", "/__admin/mcs/frames", [&mcs](const Request&, Response& res, const std::string&) {
        mcs.clearFrames();
        sendJson(res, 200, json::object());
    });
}

}  // namespace backend
