#include "testing/app_backend.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace ns::testing {

ns::Dictionary TestApp::options() const {
    ns::Dictionary options;
    const auto put = [&](const char* key, const std::string& value) {
        if (!value.empty()) options[key] = value;
    };
    put("ONDRIX_APP_ID", appID);
    put("API_KEY", apiKey);
    put("PROJECT_ID", projectID);
    put("DATABASE_URL", databaseURL);
    put("STORAGE_BUCKET", storageBucket);
    put("KDX_SENDER_ID", senderID);
    return options;
}

std::unique_ptr<Backend> startBackendFor(const TestApp& app, const Backend::Options& options) {
    auto backend = Backend::start(options);
    backend->routeServiceHosts();
    if (!app.apiKey.empty()) {
        const auto reply = backend->post("/__admin/auth/apiKeys",
                                         nlohmann::json{{"apiKey", app.apiKey}, {"appId", app.appID}}.dump());
        if (reply.status != 200) {
            throw std::runtime_error("the back end refused the API key: " + std::to_string(reply.status) + " " +
                                     reply.body + reply.error);
        }
    }
    return backend;
}

std::string databaseURL(const Backend& backend, const std::string& name) {
    return "http://" + name + ".ns.localhost:" + std::to_string(backend.wsPort());
}

}  // namespace ns::testing
