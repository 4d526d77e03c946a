#include "platform/push_gateway.h"

#include "platform/crypto.h"
#include "platform/format.h"
#include "platform/http.h"
#include "platform/json.h"
#include "platform/no_destructor.h"

namespace ns {

namespace {

// Registration and fetches are small and rare: one session of their own keeps
// their completions off the SDK's sessions.
URLSessionPtr gatewaySession() {
    static ns::NoDestructor<URLSessionPtr> session([] {
        URLSessionConfiguration configuration;
        configuration.timeoutIntervalForRequest = 30;
        return URLSession::make(configuration);
    }());
    return *session;
}

ErrorRef gatewayError(const std::string& description, ErrorRef underlying = nullptr) {
    return Error::make(kCocoaErrorDomain, kRemoteNotificationRegistrationError, description, {},
                       std::move(underlying));
}

// The transport error, an error status or an unreadable body, as one error;
// nullptr when the answer is a 2xx JSON object (put into *body).
ErrorRef readAnswer(const std::string& what, const HTTPURLResponsePtr& response, const Data& data,
                    const ErrorRef& error, Dictionary* body) {
    if (error) {
        return gatewayError(format("Unable to reach the push gateway at %s to %s: %@", kPushGatewayHost, what.c_str(),
                                   error->localizedDescription()),
                            error);
    }
    const long status = response ? response->statusCode() : 0;
    Value parsed = json::parse(data);
    if (status < 200 || status > 299) {
        std::string reason = parsed.isDictionary() && parsed.asDictionary().count("error") &&
                                     parsed.asDictionary().at("error").isString()
                                 ? parsed.asDictionary().at("error").asString()
                                 : HTTPURLResponse::localizedStringForStatusCode(status);
        return gatewayError(format("The push gateway refused to %s (HTTP %ld): %@", what.c_str(), status, reason));
    }
    if (!parsed.isDictionary()) {
        return gatewayError(format("The push gateway's answer to %s is not a JSON object", what.c_str()));
    }
    *body = parsed.asDictionary();
    return nullptr;
}

void deliver(const DispatchQueuePtr& queue, Block block) { (queue ? queue : DispatchQueue::main())->async(std::move(block)); }

}  // namespace

std::string PushGateway::baseURL() { return std::string("https://") + kPushGatewayHost; }

void PushGateway::registerDevice(const std::string& bundleId, const std::string& deviceId,
                                 const std::string& environment, DispatchQueuePtr queue, TokenCompletion completion) {
    URLRequest request(baseURL() + "/push/v1/devices");
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    request.setHTTPBody(json::serialize(
        Value(Dictionary{{"bundleId", bundleId}, {"deviceId", deviceId}, {"environment", environment}})));
    auto task = gatewaySession()->dataTask(
        request, [queue, completion = std::move(completion)](HTTPURLResponsePtr response, Data data, ErrorRef error) {
            Dictionary body;
            ErrorRef failure = readAnswer("register the device", response, data, error, &body);
            Data token;
            if (!failure) {
                auto it = body.find("deviceToken");
                std::optional<Data> decoded;
                if (it != body.end() && it->second.isString()) decoded = crypto::hexDecode(it->second.asString());
                if (decoded && decoded->size() == kDeviceTokenLength) {
                    token = std::move(*decoded);
                } else {
                    failure = gatewayError("The push gateway answered without a valid 32-byte device token");
                }
            }
            deliver(queue, [completion, token = std::move(token), failure] { completion(token, failure); });
        });
    task->resume();
}

void PushGateway::fetchMessages(const Data& token, DispatchQueuePtr queue, MessagesCompletion completion) {
    URLRequest request(baseURL() + "/push/v1/devices/" + crypto::hex(token) + "/messages");
    auto task = gatewaySession()->dataTask(
        request, [queue, completion = std::move(completion)](HTTPURLResponsePtr response, Data data, ErrorRef error) {
            Dictionary body;
            ErrorRef failure = readAnswer("fetch messages", response, data, error, &body);
            std::vector<Dictionary> payloads;
            if (!failure) {
                auto it = body.find("messages");
                if (it == body.end() || !it->second.isArray()) {
                    failure = gatewayError("The push gateway's message list is missing");
                } else {
                    for (const Value& message : it->second.asArray()) {
                        if (message.isDictionary()) payloads.push_back(message.asDictionary());
                    }
                }
            }
            deliver(queue, [completion, payloads = std::move(payloads), failure] { completion(payloads, failure); });
        });
    task->resume();
}

}  // namespace ns
