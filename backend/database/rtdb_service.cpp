#include "backend/database/rtdb_service.h"

#include "backend/database/rtdb_server.h"
#include "backend/core/websocket.h"

namespace backend {

RtdbService::RtdbService() = default;

RtdbService::~RtdbService() {
    if (server_) server_->stop();
}

void RtdbService::start(Context& context) {
    server_ = std::make_shared<rtdb::Server>(context);
    server_->start();
}

void RtdbService::install(HttpRouter& server, const Listener&, Context&) { server_->installAdmin(server); }

void RtdbService::installWebSockets(WebSocketRouter& router, Context&) {
    std::weak_ptr<rtdb::Server> weak = server_;
    router.add("/.ws", [weak](const SessionPtr& session) {
        if (auto server = weak.lock()) server->serve(session);
    });
}

void RtdbService::stop() {
    if (server_) server_->stop();
}

}  // namespace backend
