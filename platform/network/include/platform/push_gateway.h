#pragma once
// Client of the push gateway, the stand-in for the operating system's push
// service. The gateway lives in the local back end under the fixed host
// kPushGatewayHost; the platform's host routing sends that name to the back
// end (tests: ns::testing::Backend::routeServiceHosts; the program:
// ALMAVEL_ROUTES from scripts/run). Without a route the name still resolves
// to loopback (it is under ".localhost"), so nothing leaves the machine and
// an absent gateway is a refused connection.
//
// The gateway hands out 32-byte device tokens, one per (bundle identifier,
// device identifier): registering again gives the same token. Payloads posted
// for a token through the gateway's admin endpoint wait in a queue until the
// device fetches them.
//
// Every call may be made on any thread; completions run on the queue given
// (the main queue when it is nullptr), exactly once.

#include <functional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

namespace ns {

inline constexpr const char* kPushGatewayHost = "push-gateway.localhost";
inline constexpr size_t kDeviceTokenLength = 32;
// Registration and fetch failures: the operating system reports remote
// notification registration failures in the Cocoa domain with code 3000.
inline constexpr long kRemoteNotificationRegistrationError = 3000;

class PushGateway {
public:
    // "https://push-gateway.localhost"
    static std::string baseURL();

    using TokenCompletion = std::function<void(Data token, ErrorRef error)>;
    // POST /push/v1/devices {"bundleId", "deviceId", "environment"} ->
    // {"deviceToken": 64 hex digits}. The error (kCocoaErrorDomain /
    // kRemoteNotificationRegistrationError) says whether the gateway could
    // not be reached (with the transport error underneath) or answered
    // something other than a 32-byte token.
    static void registerDevice(const std::string& bundleId, const std::string& deviceId,
                               const std::string& environment, DispatchQueuePtr queue, TokenCompletion completion);

    using MessagesCompletion = std::function<void(std::vector<Dictionary> payloads, ErrorRef error)>;
    // GET /push/v1/devices/<hex token>/messages: takes every payload queued
    // for the token, oldest first (they are gone from the gateway after).
    static void fetchMessages(const Data& token, DispatchQueuePtr queue, MessagesCompletion completion);
};

}  // namespace ns
