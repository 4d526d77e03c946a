// The services this back end offers. New services are added here.

#include <unistd.h>

#include "backend/accounts.h"
#include "backend/http_util.h"
#include "backend/recorder.h"
#include "backend/rtdb_service.h"
#include "backend/server.h"
#include "backend/websocket_testing.h"

namespace backend {

namespace {

// GET /__admin/health: whether the back end is up, and where.
class HealthService : public Service {
public:
    explicit HealthService(BackendServer& server) : server_(server) {}
    std::string name() const override { return "health"; }
    void install(httplib::Server& server, const Listener& listener, Context& context) override {
        route(server, "GET", "/__admin/health", [this, &context, listener](const auto&, auto& res, const auto&) {
            sendJson(res, 200,
                     nlohmann::json{{"status", "ok"},
                                    {"pid", long(::getpid())},
                                    {"http", context.httpPort()},
                                    {"https", context.httpsPort()},
                                    {"listener", listener.name()},
                                    {"dataDir", context.dataDir().string()},
                                    {"services", server_.serviceNames()}});
        });
    }

private:
    BackendServer& server_;
};

}  // namespace

void addBuiltinServices(BackendServer& server) {
    server.add(std::make_unique<HealthService>(server));
    server.add(std::make_unique<RecorderService>());
    server.add(std::make_unique<WebSocketTestingService>());
    server.add(std::make_unique<AccountsService>());
    server.add(std::make_unique<RtdbService>());
}

}  // namespace backend
