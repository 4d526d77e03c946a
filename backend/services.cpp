// The services this back end offers. New services are added here.

#include "backend/services.h"

#include <unistd.h>

#include "backend/accounts/accounts.h"
#include "backend/analytics/measurement_service.h"
#include "backend/core/http_util.h"
#include "backend/instanceid/iid_service.h"
#include "backend/messaging/mcs_server.h"
#include "backend/messaging/push_gateway.h"
#include "backend/recorder/recorder.h"
#include "backend/database/rtdb_service.h"
#include "backend/core/server.h"
#include "backend/storage/storage_service.h"
#include "backend/messaging/topic_service.h"
#include "backend/core/websocket_testing.h"

namespace backend {

namespace {

// GET /__admin/health: whether the back end is up, and where.
class HealthService : public Service {
public:
    explicit HealthService(BackendServer& server) : server_(server) {}
    std::string name() const override { return "health"; }
    void install(HttpRouter& server, const Listener& listener, Context& context) override {
        route(server, "GET", "/__admin/health", [this, &context, listener](const Request& req, Response& res, const auto&) {
            nlohmann::json health{{"status", "ok"}, {"listener", listener.name()}};
            // The details only for the one who started the program.
            if (hasAdminSecret(req, context.adminSecret())) {
                health["pid"] = long(::getpid());
                health["http"] = context.httpPort();
                health["https"] = context.httpsPort();
                health["mcs"] = context.mcsPort();
                health["dataDir"] = context.dataDir().string();
                health["services"] = server_.serviceNames();
            }
            sendJson(res, 200, health);
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
    server.add(std::make_unique<PushGatewayService>());
    server.add(std::make_unique<StorageService>());
    server.add(std::make_unique<CheckinService>());
    server.add(std::make_unique<IidService>());
    server.add(std::make_unique<TopicService>());
    server.add(std::make_unique<McsService>());
    server.add(std::make_unique<MeasurementService>());
}

}  // namespace backend
