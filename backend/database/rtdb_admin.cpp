// The realtime database's admin and fault endpoints (see rtdb_service.h).

#include "backend/core/route_table.h"
#include "backend/database/rtdb_server.h"
#include "database/connection/FConstants.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FServerValues.h"
#include "platform/json.h"

namespace backend::rtdb {

namespace {

using json = nlohmann::json;

// An empty body counts as {}.
bool parseBody(const std::string& body, Response& res, json& out) {
    if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
        out = json::object();
        return true;
    }
    return parseJsonObject(body, res, out);
}

ns::Value push(const char* action, ns::Dictionary body) {
    return ns::Value(ns::Dictionary{
        {kFWPAsyncServerEnvelopeType, ns::Value(kFWPAsyncServerDataMessage)},
        {kFWPAsyncServerEnvelopeData,
         ns::Value(ns::Dictionary{{kFWPAsyncServerAction, ns::Value(action)},
                                  {kFWPAsyncServerPayloadBody, ns::Value(std::move(body))}})}});
}

ns::Value control(const char* type, ns::Value data) {
    return ns::Value(ns::Dictionary{
        {kFWPAsyncServerEnvelopeType, ns::Value(kFWPAsyncServerControlMessage)},
        {kFWPAsyncServerEnvelopeData,
         ns::Value(ns::Dictionary{{kFWPAsyncServerControlMessageType, ns::Value(type)},
                                  {kFWPAsyncServerControlMessageData, std::move(data)}})}});
}

// The connections a request names: "id" one, "ns" a namespace's, neither all.
bool selectConnections(Server& server, const json& body, Response& res,
                       std::vector<std::shared_ptr<Connection>>& out) {
    if (body.contains("id")) {
        if (!body["id"].is_number_unsigned()) {
            sendError(res, 400, "id must be a connection id");
            return false;
        }
        auto c = server.connection(body["id"].get<uint64_t>());
        if (!c) {
            sendError(res, 404, "no connection " + body["id"].dump());
            return false;
        }
        out.push_back(std::move(c));
        return true;
    }
    for (auto& c : server.connections()) {
        if (body.contains("ns") && (!body["ns"].is_string() || c->ns()->name() != body["ns"].get<std::string>())) {
            continue;
        }
        out.push_back(std::move(c));
    }
    return true;
}

// The namespace the "ns" parameter names; answers and gives null otherwise.
std::shared_ptr<Namespace> namespaceFor(Server& server, const Request& req, Response& res) {
    const std::string name = req.get_param_value("ns");
    if (!Server::validNamespaceName(name)) {
        sendError(res, 400, "the ns parameter must name a namespace");
        return nullptr;
    }
    try {
        return server.namespaceNamed(name);
    } catch (const std::exception& e) {
        sendError(res, 500, e.what());
        return nullptr;
    }
}

// The "ns" parameter when it is a namespace name; answers 400 and gives
// nullopt otherwise (without opening the namespace).
std::optional<std::string> namespaceNameFor(const Request& req, Response& res) {
    const std::string name = req.get_param_value("ns");
    if (!Server::validNamespaceName(name)) {
        sendError(res, 400, "the ns parameter must name a namespace");
        return std::nullopt;
    }
    return name;
}

using Check = std::optional<std::string> (*)(const json& body);
using Action = void (*)(Connection& c, const json& body);

// The connection endpoints: parse the body, check it, then act on each
// selected connection and answer how many there were.
void forSelected(Server& server, Response& res, const std::string& text, Check check, Action action) {
    json body;
    if (!parseBody(text, res, body)) return;
    if (check) {
        if (auto error = check(body)) return sendError(res, 400, *error);
    }
    std::vector<std::shared_ptr<Connection>> chosen;
    if (!selectConnections(server, body, res, chosen)) return;
    for (auto& c : chosen) action(*c, body);
    sendJson(res, 200, json{{"count", chosen.size()}});
}

json faultsJson(const Server& server) {
    Server::Faults f = server.faults();
    json killOn;
    if (f.killOn) killOn = {{"action", f.killOn->action}, {"apply", f.killOn->apply}, {"closeFrame", f.killOn->closeFrame}};
    return json{{"holdAnswers", f.send.holdAnswers},
                {"answerDelayMs", f.send.answerDelayMs},
                {"splitFrames", f.send.splitFrames},
                {"rangeMerges", f.rangeMerges},
                {"forceDatastale", f.forceDatastale},
                {"clockOffsetMs", server.clockOffsetMs()},
                {"handshakeHost", f.handshakeHost ? toJson(*f.handshakeHost) : json()},
                {"killOn", killOn}};
}

// --- connections ---------------------------------------------------------------

void getInfo(Server& server, const Request&, Response& res, const std::string&) {
    json names = json::array();
    for (auto& ns : server.namespaces()) names.push_back(ns->name());
    sendJson(res, 200,
             json{{"ws", server.context().wsPort()},
                  {"wss", server.context().wssPort()},
                  {"alternatePort", server.alternatePort()},
                  {"namespaces", names},
                  {"clockOffsetMs", server.clockOffsetMs()}});
}

void getConnections(Server& server, const Request& req, Response& res, const std::string&) {
    const std::string ns = req.get_param_value("ns");
    json list = json::array();
    for (auto& c : server.connections()) {
        if (!ns.empty() && c->ns()->name() != ns) continue;
        list.push_back(c->describe());
    }
    sendJson(res, 200, json{{"connections", list}});
}

std::optional<std::string> checkKill(const json& body) {
    if (body.contains("closeFrame") && !body["closeFrame"].is_boolean()) return "closeFrame must be true or false";
    if (body.contains("code") && (!body["code"].is_number_unsigned() || body["code"].get<uint64_t>() > 4999)) {
        return "code must be a close code";
    }
    return std::nullopt;
}

void killConnections(Server& server, const Request&, Response& res, const std::string& text) {
    forSelected(server, res, text, checkKill, [](Connection& c, const json& body) {
        c.kill(body.value("closeFrame", false), uint16_t(body.value("code", 1000)),
               body.value("reason", std::string("killed by the test")));
    });
}

void resetConnections(Server& server, const Request&, Response& res, const std::string& text) {
    auto check = [](const json& body) -> std::optional<std::string> {
        if (!body.contains("host")) return "a reset names the host to use (\"host\")";
        return std::nullopt;
    };
    forSelected(server, res, text, check, [](Connection& c, const json& body) {
        c.enqueuePacket(control(kFWPAsyncServerControlMessageReset, toValue(body["host"])), false, 0);
    });
}

void shutDownConnections(Server& server, const Request&, Response& res, const std::string& text) {
    forSelected(server, res, text, nullptr, [](Connection& c, const json& body) {
        c.enqueuePacket(control(kFWPAsyncServerControlMessageShutdown, ns::Value(body.value("reason", std::string("shut down by the test")))),
                        false, 0);
        c.enqueueClose(1000, "shutdown");
    });
}

std::optional<std::string> checkSend(const json& body) {
    if (body.contains("frames")) {
        if (!body["frames"].is_array()) return "frames must be an array of texts";
        for (const auto& f : body["frames"]) {
            if (!f.is_string()) return "frames must be an array of texts";
        }
        return std::nullopt;
    }
    if (body.contains("packet")) return std::nullopt;
    if (body.contains("kind")) {
        const auto kind = body["kind"];
        if (kind == "malformed" || kind == "error" || kind == "noType") return std::nullopt;
        return "kind must be \"malformed\", \"error\" or \"noType\"";
    }
    return "say what to send: frames, packet or kind";
}

// The frames a checked send body asks for.
std::vector<std::string> framesToSend(const json& body) {
    std::vector<std::string> frames;
    if (body.contains("frames")) {
        for (const auto& f : body["frames"]) frames.push_back(f.get<std::string>());
    } else if (body.contains("packet")) {
        frames.push_back(body["packet"].dump(-1, ' ', false, json::error_handler_t::replace));
    } else if (body["kind"] == "malformed") {
        frames.push_back(R"({"t":"d","d":{"a":"d","b":)");
    } else if (body["kind"] == "error") {
        frames.push_back(R"({"t":"d","d":{"error":"a server error made by the test"}})");
    } else {
        frames.push_back(R"({"d":{"a":"d","b":{"p":"/","d":null}}})");
    }
    return frames;
}

void sendToConnections(Server& server, const Request&, Response& res, const std::string& text) {
    forSelected(server, res, text, checkSend, [](Connection& c, const json& body) { c.enqueueFrames(framesToSend(body)); });
}

void sendSecurityDebug(Server& server, const Request&, Response& res, const std::string& text) {
    auto check = [](const json& body) -> std::optional<std::string> {
        if (!body.contains("msg") || !body["msg"].is_string()) return "msg must be a text";
        return std::nullopt;
    };
    forSelected(server, res, text, check, [](Connection& c, const json& body) {
        c.enqueuePacket(push(kFWPAsyncServerSecurityDebug, {{"msg", ns::Value(body["msg"].get<std::string>())}}), false, 0);
    });
}

void revokeAuth(Server& server, const Request&, Response& res, const std::string& text) {
    json body;
    if (!parseBody(text, res, body)) return;
    std::optional<std::string> uid;
    std::optional<uint64_t> id;
    if (body.contains("uid")) {
        if (!body["uid"].is_string()) return sendError(res, 400, "uid must be a text");
        uid = body["uid"].get<std::string>();
    }
    if (body.contains("id")) {
        if (!body["id"].is_number_unsigned()) return sendError(res, 400, "id must be a connection id");
        id = body["id"].get<uint64_t>();
    }
    const int count = server.revoke(uid, id, body.value("status", std::string("invalid_token")),
                                    body.value("reason", std::string("Auth token was revoked.")));
    sendJson(res, 200, json{{"count", count}});
}

// --- faults ----------------------------------------------------------------------

void getFaults(Server& server, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, faultsJson(server));
}

void setFaults(Server& server, const Request&, Response& res, const std::string& text) {
    json body;
    if (!parseBody(text, res, body)) return;
    if (auto error = server.applyFaults(body); !error.empty()) return sendError(res, 400, error);
    sendJson(res, 200, faultsJson(server));
}

void clearFaults(Server& server, const Request&, Response& res, const std::string&) {
    server.resetFaults();
    sendJson(res, 200, faultsJson(server));
}

// --- a namespace's rules and data ------------------------------------------------

void getRules(Server& server, const Request& req, Response& res, const std::string&) {
    auto ns = namespaceFor(server, req, res);
    if (!ns) return;
    std::lock_guard lock(ns->mutex());
    sendJson(res, 200, ns->rulesLocked().document());
}

void setRules(Server& server, const Request& req, Response& res, const std::string& text) {
    auto ns = namespaceFor(server, req, res);
    if (!ns) return;
    json document;
    if (!parseJsonObject(text, res, document)) return;
    std::string error;
    auto rules = RtdbRules::parse(document, &error);
    if (!rules) return sendError(res, 400, error);
    std::lock_guard lock(ns->mutex());
    try {
        ns->setRulesLocked(std::move(*rules));
    } catch (const std::exception& e) {
        return sendError(res, 500, e.what());
    }
    sendJson(res, 200, ns->rulesLocked().document());
}

// The "path" parameter ("/" when absent) as a location; answers 400 otherwise.
std::optional<FPath> pathParameter(const Request& req, Response& res, bool forWrite) {
    std::string why;
    auto path = parseWirePath(ns::Value(req.has_param("path") ? req.get_param_value("path") : "/"), forWrite, &why);
    if (!path) sendError(res, 400, why);
    return path;
}

void getData(Server& server, const Request& req, Response& res, const std::string&) {
    auto ns = namespaceFor(server, req, res);
    if (!ns) return;
    auto path = pathParameter(req, res, false);
    if (!path) return;
    ns::Value data;
    {
        std::lock_guard lock(ns->mutex());
        data = ns->rootLocked()->getChild(*path)->valForExport(true);
    }
    res.status = 200;
    res.set_content("{\"data\":" + ns::json::serialize(data) + "}", "application/json");
}

// Applies a checked {"data": value} or {"merge": {path: value}} body at
// `path`; answers 400 for what cannot be written and gives nullopt then.
std::optional<Namespace::Outcome> writeData(Server& server, Namespace& ns, const FPath& path, const ns::Value& body,
                                            Response& res) {
    const ns::Dictionary serverValues{{"timestamp", ns::Value(server.nowMs())}};
    Namespace::Outcome outcome;
    try {
        if (body.contains("data")) {
            if (path.length() + valueDepth(body["data"]) > kMaxTreeDepth) {
                sendError(res, 400, "the data nests too deeply");
                return std::nullopt;
            }
            FNodePtr node = FServerValues::resolveDeferredValueSnapshot(
                FSnapshotUtilities::nodeFromWithValidation(body["data"], "admin"), serverValues);
            std::lock_guard lock(ns.mutex());
            outcome = ns.setLocked(path, node);
        } else {
            const ns::Dictionary* children = body["merge"].dictionaryOrNull();
            if (!children) {
                sendError(res, 400, "merge must be an object");
                return std::nullopt;
            }
            FCompoundWrite write = FServerValues::resolveDeferredValueCompoundWrite(
                FSnapshotUtilities::compoundWriteFromDictionary(*children, "admin"), serverValues);
            std::lock_guard lock(ns.mutex());
            if (!write.isEmpty()) outcome = ns.mergeLocked(path, write);
        }
    } catch (const std::exception& e) {
        sendError(res, 400, e.what());
        return std::nullopt;
    }
    return outcome;
}

void setData(Server& server, const Request& req, Response& res, const std::string& text) {
    auto ns = namespaceFor(server, req, res);
    if (!ns) return;
    auto path = pathParameter(req, res, true);
    if (!path) return;
    ns::ErrorRef error;
    ns::Value body = ns::json::parse(text, &error);
    if (error || !body.isDictionary() || (body.contains("data") == body.contains("merge"))) {
        return sendError(res, 400, "the body is {\"data\": value} or {\"merge\": {path: value}}");
    }
    auto outcome = writeData(server, *ns, *path, body, res);
    if (!outcome) return;
    if (outcome->status != "ok") return sendError(res, 500, outcome->status + ": " + outcome->reason);
    ns->store().flush();
    sendJson(res, 200, json{{"ok", true}});
}

void getApp(Server& server, const Request& req, Response& res, const std::string&) {
    auto name = namespaceNameFor(req, res);
    if (!name) return;
    const auto app = server.appOf(*name);
    sendJson(res, 200, json{{"ns", *name}, {"appId", app ? json(*app) : json()}});
}

void setApp(Server& server, const Request& req, Response& res, const std::string& text) {
    auto name = namespaceNameFor(req, res);
    if (!name) return;
    json body;
    if (!parseJsonObject(text, res, body)) return;
    if (!body.contains("appId") || !(body["appId"].is_null() || body["appId"].is_string()) ||
        (body["appId"].is_string() && body["appId"].get<std::string>().empty())) {
        return sendError(res, 400, "the body is {\"appId\": app id} or {\"appId\": null}");
    }
    std::optional<std::string> app;
    if (body["appId"].is_string()) app = body["appId"].get<std::string>();
    try {
        server.setAppOf(*name, app);
    } catch (const std::exception& e) {
        return sendError(res, 500, e.what());
    }
    sendJson(res, 200, json{{"ns", *name}, {"appId", body["appId"]}});
}

// --- resources and counters --------------------------------------------------------

void getResources(Server& server, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, server.resources());
}

void getCounters(Server& server, const Request& req, Response& res, const std::string&) {
    const std::string name = req.get_param_value("ns");
    json total = json::object();
    for (auto& ns : server.namespaces()) {
        if (!name.empty() && ns->name() != name) continue;
        const json counts = ns->counters();
        for (const auto& [group, names] : counts.items()) {
            json& sums = total[group];
            for (const auto& [key, value] : names.items()) {
                const int64_t before = sums.contains(key) ? sums[key].template get<int64_t>() : 0;
                sums[key] = before + value.template get<int64_t>();
            }
        }
    }
    sendJson(res, 200, total);
}

void resetCounters(Server& server, const Request& req, Response& res, const std::string&) {
    const std::string name = req.get_param_value("ns");
    for (auto& ns : server.namespaces()) {
        if (name.empty() || ns->name() == name) ns->resetCounters();
    }
    sendJson(res, 200, json::object());
}

void compact(Server& server, const Request& req, Response& res, const std::string&) {
    auto ns = namespaceFor(server, req, res);
    if (!ns) return;
    std::lock_guard lock(ns->mutex());
    try {
        ns->store().compact(ns->rootLocked());
    } catch (const std::exception& e) {
        return sendError(res, 500, e.what());
    }
    sendJson(res, 200, json{{"journalBytes", ns->store().journalBytes()}});
}

}  // namespace

void Server::installAdmin(HttpRouter& http) {
    const RouteRow<Server> routes[] = {
        {"GET", "/__admin/rtdb/info", getInfo},
        {"GET", "/__admin/rtdb/connections", getConnections},
        {"POST", "/__admin/rtdb/connections/kill", killConnections},
        {"POST", "/__admin/rtdb/connections/reset", resetConnections},
        {"POST", "/__admin/rtdb/connections/shutdown", shutDownConnections},
        {"POST", "/__admin/rtdb/connections/send", sendToConnections},
        {"POST", "/__admin/rtdb/connections/securityDebug", sendSecurityDebug},
        {"POST", "/__admin/rtdb/auth/revoke", revokeAuth},
        {"GET", "/__admin/rtdb/faults", getFaults},
        {"POST", "/__admin/rtdb/faults", setFaults},
        {"DELETE", "/__admin/rtdb/faults", clearFaults},
        {"GET", "/__admin/rtdb/rules", getRules},
        {"POST", "/__admin/rtdb/rules", setRules},
        {"GET", "/__admin/rtdb/data", getData},
        {"POST", "/__admin/rtdb/data", setData},
        {"GET", "/__admin/rtdb/app", getApp},
        {"POST", "/__admin/rtdb/app", setApp},
        {"GET", "/__admin/rtdb/resources", getResources},
        {"GET", "/__admin/rtdb/counters", getCounters},
        {"DELETE", "/__admin/rtdb/counters", resetCounters},
        {"POST", "/__admin/rtdb/compact", compact},
    };
    installRoutes(http, *this, routes);
}

}  // namespace backend::rtdb
