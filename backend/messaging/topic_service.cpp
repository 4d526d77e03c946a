// Topic subscriptions and downstream sends (topic_service.h).

#include "backend/messaging/topic_service.h"

#include <charconv>

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "backend/messaging/mcs_server.h"
#include "backend/messaging/push_gateway.h"
#include "backend/core/sqlite_store.h"
#include "platform/crypto.h"
#include "platform/no_destructor.h"

namespace backend {

using json = nlohmann::json;

namespace topics {

namespace {

// Form items and admin texts longer than these are refused before they are
// checked, stored or logged (a token is about 150 characters, a bundle
// identifier at most 255).
constexpr size_t kMaxItemBytes = 512;
constexpr size_t kMaxTopicItemBytes = 8 + kMaxTopicNameBytes;
constexpr size_t kMaxFormBytes = 16 * 1024;

bool isTopicCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~' || c == '%';
}

const std::set<std::string>& formItems() {
    static const ns::NoDestructor<std::set<std::string>> items(
        std::set<std::string>{"sender", "app", "device", "app_ver", "X-kdx.topic", "X-scope", "delete"});
    return *items;
}

// The push gateway's device token a registration's APNs token names
// ("p_<hex>" production, "s_<hex>" sandbox), or "".
std::string gatewayToken(const std::string& apnsToken) {
    if (apnsToken.size() < 3 || apnsToken[1] != '_') return "";
    return apnsToken.substr(2);
}

json gatewayPayload(const Message& message) {
    json payload = json::object();
    for (const auto& [key, value] : message.data.items()) payload[key] = value;
    if (message.notification.is_object()) {
        payload["aps"] = json{{"alert", message.notification}};
    } else {
        payload["aps"] = json{{"content-available", 1}};
    }
    if (!message.from.empty()) payload["from"] = message.from;
    payload["kdx.message_id"] = message.messageId;
    return payload;
}

}  // namespace

// A plain loop: anyone can send a topic, and a regular-expression match
// recurses once per character.
bool isValidTopic(const std::string& topic) {
    static constexpr std::string_view prefix = "/topics/";
    if (!topic.starts_with(prefix)) return false;
    const size_t length = topic.size() - prefix.size();
    if (length == 0 || length > kMaxTopicNameBytes) return false;
    return std::all_of(topic.begin() + long(prefix.size()), topic.end(), isTopicCharacter);
}

std::string newMessageId() {
    return "0:" + std::to_string(iid::nowMillis()) + "%" + ns::crypto::hex(ns::crypto::randomBytes(8));
}

Store::Store(const std::filesystem::path& file) {
    db_ = openSqliteFile(file, "the topic store");
    try {
        sqliteExec(db_, "PRAGMA journal_mode=WAL");
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS subscriptions(
                             topic TEXT NOT NULL,
                             token TEXT NOT NULL,
                             device_id INTEGER NOT NULL,
                             bundle TEXT NOT NULL,
                             PRIMARY KEY(topic, token)))");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the topic store " + file.string() + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

void Store::subscribe(const Subscription& s) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "INSERT OR REPLACE INTO subscriptions(topic, token, device_id, bundle) VALUES(?1, ?2, ?3, ?4)");
    q.bind(1, s.topic).bind(2, s.token).bind(3, int64_t(s.deviceId)).bind(4, s.bundle).step();
}

bool Store::unsubscribe(const std::string& topic, const std::string& token) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, "DELETE FROM subscriptions WHERE topic = ?1 AND token = ?2");
    q.bind(1, topic).bind(2, token).step();
    return q.changes() > 0;
}

std::vector<Subscription> Store::subscriptions(const std::string& topic) {
    std::lock_guard lock(mutex_);
    SqliteStatement q(db_, R"(SELECT topic, token, device_id, bundle FROM subscriptions
                              WHERE ?1 = '' OR topic = ?1 ORDER BY topic, token)");
    q.bind(1, topic);
    std::vector<Subscription> out;
    while (q.step()) out.push_back(Subscription{q.text(0), q.text(1), uint64_t(q.integer(2)), q.text(3)});
    return out;
}

namespace {

// Each road answers 200 when the message was queued, else the status and
// the reason.
std::pair<int, std::string> deliverByGateway(Context& context, const iid::Registration& registration,
                                             const Message& message) {
    const std::string gateway = gatewayToken(registration.apnsToken);
    if (gateway.empty()) return {409, "the registration has no APNs token"};
    PushGatewayService* service = pushGateway(context);
    if (!service) return {503, "the push gateway is not running"};
    std::string problem;
    const int status = service->enqueue(gateway, gatewayPayload(message), problem);
    return {status, problem};
}

// `duplex` marks the copy the device also gets through the gateway.
std::pair<int, std::string> deliverByChannel(McsServer* channel, const iid::Registration& registration,
                                             const Message& message, bool duplex) {
    if (!channel) return {503, "the messaging channel is not running"};
    json stanza{{"from", message.from.empty() ? registration.sender : message.from},
                {"category", registration.bundle},
                {"persistent_id", message.messageId}};
    json data = message.data;
    if (message.notification.is_object()) {
        for (const auto& [key, value] : message.notification.items()) {
            if (value.is_string()) data["kdx.notification." + key] = value;
        }
    }
    if (duplex) data["kdx.duplex"] = "1";
    auto answer = channel->send(json{{"device", registration.deviceId}, {"message", stanza}, {"data", data}});
    return {answer.status, answer.body.value("error", std::string())};
}

}  // namespace

json deliver(Context& context, const iid::Registration& registration, const Message& message) {
    McsServer* channel = mcsServer(context);
    std::string via = message.via;
    if (via == "auto") {
        const bool gateway = !gatewayToken(registration.apnsToken).empty();
        via = !gateway || (channel && channel->signedIn(registration.deviceId)) ? "channel" : "gateway";
    }
    std::pair<int, std::string> outcome{200, ""};
    if (via == "gateway" || via == "both") outcome = deliverByGateway(context, registration, message);
    if ((via == "channel" || via == "both") && outcome.first == 200) {
        outcome = deliverByChannel(channel, registration, message, via == "both");
    }
    json result{{"token", registration.token}, {"device", registration.deviceId}, {"via", via},
                {"status", outcome.first}};
    if (outcome.first != 200) result["problem"] = outcome.second;
    return result;
}

// What is wrong with a subscription form, "" when it may be acted on (it is
// then in `form` and in the log entry).
std::string formProblem(const Request& req, const std::string& body, json& entry,
                        std::map<std::string, std::string>& form) {
    if (body.size() > kMaxFormBytes) return "the form is too long";
    std::string problem;
    form = parseForm(body, formItems(), problem);
    if (!problem.empty()) return iid::clipped(problem);
    if (auto item = iid::overlongItem(form, {{"X-kdx.topic", kMaxTopicItemBytes}, {"X-scope", kMaxTopicItemBytes}},
                                      kMaxItemBytes);
        !item.empty()) {
        return "form item \"" + item + "\" is too long";
    }
    entry["form"] = form;
    for (const char* required : {"sender", "app", "device", "X-kdx.topic", "X-scope"}) {
        if (!form.count(required) || form.at(required).empty()) return std::string("missing ") + required;
    }
    const std::string& topic = form.at("X-kdx.topic");
    if (!isValidTopic(topic) || form.at("X-scope") != topic) {
        return "not a valid topic, or the scope is another one";
    }
    if (form.count("delete") && form.at("delete") != "true") return "delete must be true";
    if (req.get_header_value("app") != form.at("app")) return "the app header and the app item differ";
    return "";
}

// The device by its check-in credentials; the form speaks for it only. Gives
// nothing, with the reason in `problem`, for any other caller.
std::optional<iid::Device> deviceOf(const Request& req, const std::map<std::string, std::string>& form,
                                    iid::Store& devices, std::string& problem) {
    const std::string authorization = req.get_header_value("Authorization");
    const std::string scheme = "VdxLogin ";
    const size_t colon = authorization.find(':');
    if (authorization.rfind(scheme, 0) != 0 || colon == std::string::npos) {
        problem = "no device credentials";
        return std::nullopt;
    }
    const auto id = iid::decimalId(authorization.substr(scheme.size(), colon - scheme.size()));
    const auto secret = iid::decimalId(authorization.substr(colon + 1));
    auto device = id ? devices.device(*id) : std::nullopt;
    if (!device || !secret || device->secret != *secret) {
        problem = "unknown device or wrong secret";
        return std::nullopt;
    }
    if (iid::decimalId(form.at("device")) != device->id) {
        problem = "the form names another device";
        return std::nullopt;
    }
    return device;
}

}  // namespace topics

void TopicService::start(Context& context) {
    context_ = &context;
    devices_ = iid::store(context);
    store_ = std::make_unique<topics::Store>(context.dataDir() / "messaging" / "topics.sqlite");
}

void TopicService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<TopicService> routes[] = {
        {"POST", "/iid/register", &TopicService::handleRegister},
    };
    installRoutes(server, *this, routes);
    installAdmin(server);
}

void TopicService::handleRegister(const Request& req, Response& res, const std::string& body) {
    json headers = json::array();
    for (const auto& [name, value] : originalHeaders(req)) headers.push_back(json::array({name, iid::clipped(value)}));
    json entry{{"authorization", iid::clipped(req.get_header_value("Authorization"))}, {"headers", headers}};
    iid::logBody(entry, body);
    auto answer = [&](int status, const std::string& text) {
        res.status = status;
        res.set_content(text, "text/plain");
        entry["status"] = status;
        entry["reply"] = text;
        requests_.add(entry);
    };
    auto refuse = [&](int status, const std::string& error, const std::string& problem) {
        entry["problem"] = problem;
        answer(status, "Error=" + error);
    };

    std::string fault;
    {
        std::lock_guard lock(mutex_);
        if (!faults_.empty()) {
            fault = faults_.front().action;
            if (--faults_.front().count <= 0) faults_.pop_front();
        }
    }
    if (fault == "drop") {
        res.set_header(kCloseWithoutAnswerHeader, "1");
        res.status = 200;
        entry["problem"] = "dropped";
        requests_.add(entry);
        return;
    }
    if (fault == "unavailable") return refuse(503, "SERVICE_UNAVAILABLE", "fault");

    std::map<std::string, std::string> form;
    if (auto problem = topics::formProblem(req, body, entry, form); !problem.empty()) {
        return refuse(400, "INVALID_PARAMETERS", problem);
    }
    std::string problem;
    const auto device = topics::deviceOf(req, form, *devices_, problem);
    if (!device) return refuse(401, "AUTHENTICATION_FAILED", problem);
    const std::string& topic = form.at("X-kdx.topic");
    // The token must be one this device holds for this app.
    const std::string& token = form.at("sender");
    bool owned = false;
    for (const auto& r : devices_->registrations(device->id)) {
        if (r.token == token && r.bundle == form.at("app")) owned = true;
    }
    if (!owned) return refuse(403, "INVALID_SENDER", "the token is not the device's");

    if (form.count("delete")) {
        entry["removed"] = store_->unsubscribe(topic, token);
    } else {
        store_->subscribe(topics::Subscription{topic, token, device->id, form.at("app")});
    }
    answer(200, "token=" + token);
}

namespace {

// An admin send is a small message; the channel and the gateway each bound
// what they queue, and this keeps the rest short too.
constexpr size_t kMaxSendBytes = 64 * 1024;

// Reads the optional text `key` of an admin request into `out` (left alone
// when absent); answers 400 when it is not a string of at most `limit`
// bytes.
bool readText(const json& request, const char* key, std::string& out, Response& res,
              size_t limit = topics::kMaxItemBytes) {
    auto it = request.find(key);
    if (it == request.end()) return true;
    if (!it->is_string() || it->get_ref<const std::string&>().size() > limit) {
        sendError(res, 400,
                  "\"" + std::string(key) + "\" must be a string of at most " + std::to_string(limit) + " bytes");
        return false;
    }
    out = it->get<std::string>();
    return true;
}

// parseJsonObject for admin sends, refusing long bodies first.
bool parseSend(const std::string& body, Response& res, json& request) {
    if (body.size() > kMaxSendBytes) {
        sendError(res, 400, "a send is at most " + std::to_string(kMaxSendBytes) + " bytes");
        return false;
    }
    return parseJsonObject(body, res, request);
}

}  // namespace

bool TopicService::readMessage(const json& request, topics::Message& message, Response& res) {
    if (auto data = request.find("data"); data != request.end()) {
        if (!data->is_object()) {
            sendError(res, 400, "\"data\" must be an object of strings");
            return false;
        }
        for (const auto& [key, value] : data->items()) {
            if (!value.is_string()) {
                sendError(res, 400, "\"data\" must be an object of strings");
                return false;
            }
        }
        message.data = *data;
    }
    if (auto notification = request.find("notification"); notification != request.end()) {
        if (!notification->is_object()) {
            sendError(res, 400, "\"notification\" must be an object");
            return false;
        }
        message.notification = *notification;
    }
    message.via = "auto";
    if (!readText(request, "via", message.via, res)) return false;
    if (message.via != "auto" && message.via != "channel" && message.via != "gateway" && message.via != "both") {
        sendError(res, 400, "\"via\" must be \"auto\", \"channel\", \"gateway\" or \"both\"");
        return false;
    }
    message.messageId = topics::newMessageId();
    return readText(request, "messageId", message.messageId, res);
}

void TopicService::sendToTopic(const Request&, Response& res, const std::string& body) {
    json request;
    if (!parseSend(body, res, request)) return;
    std::string topic;
    if (!readText(request, "topic", topic, res, topics::kMaxTopicItemBytes)) return;
    if (topic.rfind("/topics/", 0) != 0) topic = "/topics/" + topic;
    if (!topics::isValidTopic(topic)) return sendError(res, 400, "\"topic\" must name a valid topic");
    topics::Message message;
    if (!readMessage(request, message, res)) return;
    message.from = topic;
    json deliveries = json::array();
    const auto registrations = devices_->registrations();
    for (const auto& subscription : store_->subscriptions(topic)) {
        for (const auto& r : registrations) {
            if (r.deviceId == subscription.deviceId && r.token == subscription.token) {
                deliveries.push_back(topics::deliver(*context_, r, message));
            }
        }
    }
    sendJson(res, 200, json{{"messageId", message.messageId}, {"deliveries", deliveries}});
}

void TopicService::sendToToken(const Request&, Response& res, const std::string& body) {
    json request;
    if (!parseSend(body, res, request)) return;
    std::string token;
    if (!readText(request, "token", token, res)) return;
    topics::Message message;
    if (!readMessage(request, message, res)) return;
    if (!readText(request, "from", message.from, res)) return;
    for (const auto& r : devices_->registrations()) {
        if (!token.empty() && r.token == token) {
            json delivery = topics::deliver(*context_, r, message);
            const int status = delivery.value("status", 500);
            return sendJson(res, status, json{{"messageId", message.messageId}, {"delivery", delivery}});
        }
    }
    sendError(res, 404, "no registration has that token");
}

struct TopicService::Admin {
    static void getTopics(TopicService& t, const Request&, Response& res, const std::string&) {
        json topics = json::object();
        for (const auto& s : t.store_->subscriptions()) {
            topics[s.topic].push_back(json{{"token", s.token}, {"device", s.deviceId}, {"bundle", s.bundle}});
        }
        sendJson(res, 200, json{{"topics", topics}});
    }

    static void getRequests(TopicService& t, const Request&, Response& res, const std::string&) {
        sendJson(res, 200, json{{"requests", t.requests_.entries()}});
    }

    static void clearRequests(TopicService& t, const Request&, Response& res, const std::string&) {
        t.requests_.clear();
        sendJson(res, 200, json::object());
    }

    static void addFault(TopicService& t, const Request&, Response& res, const std::string& body) {
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        const auto action = parsed.find("action");
        const auto count = parsed.find("count");
        const bool countOk = count == parsed.end() || (count->is_number_integer() && count->get<int64_t>() >= 1 &&
                                                       count->get<int64_t>() <= 1000);
        Fault fault{action != parsed.end() && action->is_string() ? action->get<std::string>() : "",
                    countOk && count != parsed.end() ? int(count->get<int64_t>()) : 1};
        if ((fault.action != "drop" && fault.action != "unavailable") || !countOk) {
            return sendError(res, 400, "\"action\" must be \"drop\" or \"unavailable\", \"count\" from 1 to 1000");
        }
        std::lock_guard lock(t.mutex_);
        t.faults_.push_back(fault);
        sendJson(res, 200, json{{"action", fault.action}, {"count", fault.count}});
    }

    static void clearFaults(TopicService& t, const Request&, Response& res, const std::string&) {
        std::lock_guard lock(t.mutex_);
        t.faults_.clear();
        sendJson(res, 200, json::object());
    }
};

void TopicService::installAdmin(HttpRouter& server) {
    const RouteRow<TopicService> routes[] = {
        {"GET", "/__admin/topics", &Admin::getTopics},
        {"GET", "/__admin/topics/requests", &Admin::getRequests},
        {"DELETE", "/__admin/topics/requests", &Admin::clearRequests},
        {"POST", "/__admin/topics/faults", &Admin::addFault},
        {"DELETE", "/__admin/topics/faults", &Admin::clearFaults},
        {"POST", "/__admin/topics/send", &TopicService::sendToTopic},
        {"POST", "/__admin/messaging/send", &TopicService::sendToToken},
    };
    installRoutes(server, *this, routes);
}

}  // namespace backend
