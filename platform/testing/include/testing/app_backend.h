#pragma once
// The local back end made ready for the app a test configures: started, the
// SDK's service hosts routed to it and the app's API key known to it, plus
// the values the app's options need to reach it.
//
//   ns::testing::TestApp app{.apiKey = "AKtest-..."};
//   backend_ = ns::testing::startBackendFor(app);
//   app.databaseURL = ns::testing::databaseURL(*backend_, "demo");
//   QRVApp::configure(std::make_shared<QRVOptions>(app.options()));

#include <memory>
#include <string>

#include "platform/value.h"
#include "testing/backend.h"

namespace ns::testing {

// The app every test configures, in the sample data's project.
inline constexpr const char* kTestAppID = "1:480326711275:ios:7d1f6c2b9a0e4c3f";
inline constexpr const char* kTestSenderID = "480326711275";
inline constexpr const char* kTestProjectID = "almavel-pa";
inline constexpr const char* kTestStorageBucket = "almavel-pa.quorvanestorage.com";
// The key the seeded sample data already holds for the test app.
inline constexpr const char* kSampleAPIKey = "AKlocal-almavel-0000000000000000000000";

// What the app's options file holds. Empty values are left out, so a test
// configures an app without a database, a bucket or a sender id by not
// naming one.
struct TestApp {
    std::string apiKey{};
    std::string databaseURL{};
    std::string storageBucket{};
    std::string senderID{};
    std::string appID = kTestAppID;
    std::string projectID = kTestProjectID;

    // Keyed as the bundle's OndrixService-Info.plist keys them.
    ns::Dictionary options() const;
};

// Starts the back end, routes the SDK's service hosts to it and, when the app
// names an API key, registers it for the app. Throws std::runtime_error when
// the back end does not come up or refuses the key.
std::unique_ptr<Backend> startBackendFor(const TestApp& app, const Backend::Options& options = {});

// "http://<name>.ns.localhost:<ws port>": the namespace on the back end's
// plain web-socket listener, reached through the host name alone.
std::string databaseURL(const Backend& backend, const std::string& name);

}  // namespace ns::testing
