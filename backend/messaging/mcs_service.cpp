// The channel server as a back-end service: its listener's life and its test
// interface under /__admin/mcs/ (mcs_server.h).

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
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

namespace {

void sendDownstream(McsServer& mcs, const Request&, Response& res, const std::string& body) {
    json request;
    if (parseJsonObject(body, res, request)) answer(res, mcs.send(request));
}

void addFault(McsServer& mcs, const Request&, Response& res, const std::string& body) {
    json request;
    if (parseJsonObject(body, res, request)) answer(res, mcs.fault(request));
}

void getUpstream(McsServer& mcs, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, mcs.upstream());
}

void clearUpstream(McsServer& mcs, const Request&, Response& res, const std::string&) {
    mcs.clearUpstream();
    sendJson(res, 200, json::object());
}

void getSessions(McsServer& mcs, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, mcs.sessions());
}

void getFrames(McsServer& mcs, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, mcs.frames());
}

void clearFrames(McsServer& mcs, const Request&, Response& res, const std::string&) {
    mcs.clearFrames();
    sendJson(res, 200, json::object());
}

}  // namespace

void McsService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<McsServer> routes[] = {
        {"POST", "/__admin/mcs/send", &sendDownstream},
        {"POST", "/__admin/mcs/faults", &addFault},
        {"GET", "/__admin/mcs/upstream", &getUpstream},
        {"DELETE", "/__admin/mcs/upstream", &clearUpstream},
        {"GET", "/__admin/mcs/sessions", &getSessions},
        {"GET", "/__admin/mcs/frames", &getFrames},
        {"DELETE", "/__admin/mcs/frames", &clearFrames},
    };
    installRoutes(server, *server_, routes);
}

}  // namespace backend
