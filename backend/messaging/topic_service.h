#pragma once
// Topic subscriptions and downstream sends of the messaging service.
//
//   POST /iid/register   a percent-encoded form
//                        "sender=<token>&app=<bundle>&device=<id>&app_ver=<v>
//                         &X-kdx.topic=/topics/<name>&X-scope=/topics/<name>
//                         [&delete=true]"
//                        authorised by "VdxLogin <device id>:<secret>" (the
//                        check-in device table) with the bundle in the "app"
//                        header. The token must be one the registration
//                        service issued to that device for that bundle. The
//                        answer is "token=<token>" when the subscription was
//                        added (or removed), "Error=<reason>" otherwise.
//
// Subscriptions live in <data dir>/messaging/topics.sqlite (topic -> tokens).
//
// Admin endpoints (/__admin/...):
//   GET    /__admin/topics               {"topics": {"/topics/a": [{"token","device","bundle"}]}}
//   GET    /__admin/topics/requests      the request log (headers, body, reply; summaries
//                                        bounded as iid::RequestLog's); DELETE clears it
//   POST   /__admin/topics/faults        {"action": "drop"|"unavailable", "count": N}: the next N
//                                        registrations are closed unanswered or get
//                                        503 "Error=SERVICE_UNAVAILABLE"; DELETE clears them
//   POST   /__admin/topics/send          {"topic", "data"?, "notification"?, "via"?} fans a
//                                        message from "/topics/<name>" out to every subscribed
//                                        token -> {"messageId", "deliveries": [...]}
//   POST   /__admin/messaging/send       {"token", "data"?, "notification"?, "via"?, "from"?}
//                                        sends one message to a messaging token
//
// Delivery (`via`): "gateway" queues an APNs-style payload at the push
// gateway for the device token the registration's APNs token names (the
// registration service keeps it as "p_<hex>" / "s_<hex>"); "channel" queues a
// data message for the device on the messaging channel server; "auto" (the
// default) takes the channel when the device is signed in there, else the
// gateway when the registration has an APNs token, else the channel (which
// keeps the message until the device connects); "both" sends it over the
// gateway and over the channel, the channel's copy marked "kdx.duplex" so the
// device keeps only the first to arrive. Every delivery carries the same
// "kdx.message_id" (the channel's persistent id).

#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "backend/instanceid/iid_service.h"
#include "backend/instanceid/iid_store.h"
#include "backend/core/service.h"

struct sqlite3;

namespace backend {

namespace topics {

// The longest topic name after "/topics/".
inline constexpr std::size_t kMaxTopicNameBytes = 900;

// "/topics/" followed by 1 to kMaxTopicNameBytes letters, digits and
// "-_.~%", the whole string.
bool isValidTopic(const std::string& topic);

struct Subscription {
    std::string topic;
    std::string token;
    uint64_t deviceId = 0;
    std::string bundle;
};

// Thread-safe.
class Store {
public:
    explicit Store(const std::filesystem::path& file);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    void subscribe(const Subscription& subscription);
    // True when there was such a subscription.
    bool unsubscribe(const std::string& topic, const std::string& token);
    // Every subscription of the topic, or of every topic for "".
    std::vector<Subscription> subscriptions(const std::string& topic = "");

private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// One downstream message as the admin endpoints take it.
struct Message {
    std::string from;
    // String values only (the channel's app data is text).
    nlohmann::json data = nlohmann::json::object();
    // {"title","body"} or null: an alert on the gateway, "kdx.notification.*"
    // entries on the channel.
    nlohmann::json notification;
    std::string messageId;
    std::string via = "auto";
};

// Delivers `message` to the registration; {"token","device","via","status",
// "problem"?} where status is 200 when it was queued ("both": on both roads).
nlohmann::json deliver(Context& context, const iid::Registration& registration, const Message& message);

// "0:<ms>%<16 hex digits>": the ids of downstream messages.
std::string newMessageId();

}  // namespace topics

class TopicService : public Service {
public:
    std::string name() const override { return "topics"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;

private:
    void handleRegister(const Request& req, Response& res, const std::string& body);
    void sendToTopic(const Request& req, Response& res, const std::string& body);
    void sendToToken(const Request& req, Response& res, const std::string& body);
    void installAdmin(HttpRouter& server);
    // The other admin endpoints' handlers (topic_service.cpp).
    struct Admin;
    friend struct Admin;
    // Reads "data", "notification" and "via" into `message`; answers 400 and
    // returns false when one is malformed.
    static bool readMessage(const nlohmann::json& request, topics::Message& message, Response& res);

    Context* context_ = nullptr;
    std::shared_ptr<iid::Store> devices_;
    std::unique_ptr<topics::Store> store_;
    std::mutex mutex_;
    iid::RequestLog requests_{200, 2u * 1024u * 1024u};
    struct Fault {
        std::string action;
        int count = 1;
    };
    std::deque<Fault> faults_;
};

}  // namespace backend
