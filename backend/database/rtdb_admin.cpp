// The realtime database's admin and fault endpoints (see rtdb_service.h).

#include "backend/core/http_util.h"
#include "backend/database/rtdb_server.h"
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
        {"t", ns::Value("d")},
        {"d", ns::Value(ns::Dictionary{{"a", ns::Value(action)}, {"b", ns::Value(std::move(body))}})}});
}

ns::Value control(const char* type, ns::Value data) {
    return ns::Value(ns::Dictionary{
        {"t", ns::Value("c")},
        {"d", ns::Value(ns::Dictionary{{"t", ns::Value(type)}, {"d", std::move(data)}})}});
}

}  // namespace

void Server::installAdmin(HttpRouter& http) {
    // The connections a request names: "id" one, "ns" a namespace's, neither all.
    auto select = [this](const json& body, Response& res,
                         std::vector<std::shared_ptr<Connection>>& out) -> bool {
        if (body.contains("id")) {
            if (!body["id"].is_number_unsigned()) {
                sendError(res, 400, "id must be a connection id");
                return false;
            }
            auto c = connection(body["id"].get<uint64_t>());
            if (!c) {
                sendError(res, 404, "no connection " + body["id"].dump());
                return false;
            }
            out.push_back(std::move(c));
            return true;
        }
        for (auto& c : connections()) {
            if (body.contains("ns") && (!body["ns"].is_string() || c->ns()->name() != body["ns"].get<std::string>())) {
                continue;
            }
            out.push_back(std::move(c));
        }
        return true;
    };
    auto namespaceFor = [this](const Request& req, Response& res) -> std::shared_ptr<Namespace> {
        const std::string name = req.get_param_value("ns");
        if (!validNamespaceName(name)) {
            sendError(res, 400, "the ns parameter must name a namespace");
            return nullptr;
        }
        try {
            return namespaceNamed(name);
        } catch (const std::exception& e) {
            sendError(res, 500, e.what());
            return nullptr;
        }
    };
    // For each selected connection, after parsing the body.
    auto forEach = [select](HttpRouter& http, const std::string& pattern,
                            std::function<std::optional<std::string>(const json&)> check,
                            std::function<void(Connection&, const json&)> action) {
        route(http, "POST", pattern, [select, check, action](const auto&, auto& res, const std::string& text) {
            json body;
            if (!parseBody(text, res, body)) return;
            if (check) {
                if (auto error = check(body)) return sendError(res, 400, *error);
            }
            std::vector<std::shared_ptr<Connection>> chosen;
            if (!select(body, res, chosen)) return;
            for (auto& c : chosen) action(*c, body);
            sendJson(res, 200, json{{"count", chosen.size()}});
        });
    };

    route(http, "GET", "/__admin/rtdb/info", [this](const auto&, auto& res, const auto&) {
        json names = json::array();
        for (auto& ns : namespaces()) names.push_back(ns->name());
        sendJson(res, 200,
                 json{{"ws", context_.wsPort()},
                      {"wss", context_.wssPort()},
                      {"alternatePort", alternatePort()},
                      {"namespaces", names},
                      {"clockOffsetMs", clockOffsetMs()}});
    });

    route(http, "GET", "/__admin/rtdb/connections", [this](const Request& req, auto& res, const auto&) {
        const std::string ns = req.get_param_value("ns");
        json list = json::array();
        for (auto& c : connections()) {
            if (!ns.empty() && c->ns()->name() != ns) continue;
            list.push_back(c->describe());
        }
        sendJson(res, 200, json{{"connections", list}});
    });

    forEach(
        http, "/__admin/rtdb/connections/kill",
        [](const json& body) -> std::optional<std::string> {
            if (body.contains("closeFrame") && !body["closeFrame"].is_boolean()) return "closeFrame must be true or false";
            if (body.contains("code") && (!body["code"].is_number_unsigned() || body["code"].get<uint64_t>() > 4999)) {
                return "code must be a close code";
            }
            return std::nullopt;
        },
        [](Connection& c, const json& body) {
            c.kill(body.value("closeFrame", false), uint16_t(body.value("code", 1000)),
                   body.value("reason", std::string("killed by the test")));
        });

    forEach(
        http, "/__admin/rtdb/connections/reset",
        [](const json& body) -> std::optional<std::string> {
            if (!body.contains("host")) return "a reset names the host to use (\"host\")";
            return std::nullopt;
        },
        [](Connection& c, const json& body) { c.enqueuePacket(control("r", toValue(body["host"])), false, 0); });

    forEach(http, "/__admin/rtdb/connections/shutdown", nullptr, [](Connection& c, const json& body) {
        c.enqueuePacket(control("s", ns::Value(body.value("reason", std::string("shut down by the test")))), false, 0);
        c.enqueueClose(1000, "shutdown");
    });

    forEach(
        http, "/__admin/rtdb/connections/send",
        [](const json& body) -> std::optional<std::string> {
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
        },
        [](Connection& c, const json& body) {
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
            c.enqueueFrames(std::move(frames));
        });

    forEach(
        http, "/__admin/rtdb/connections/securityDebug",
        [](const json& body) -> std::optional<std::string> {
            if (!body.contains("msg") || !body["msg"].is_string()) return "msg must be a text";
            return std::nullopt;
        },
        [](Connection& c, const json& body) {
            c.enqueuePacket(push("sd", {{"msg", ns::Value(body["msg"].get<std::string>())}}), false, 0);
        });

    route(http, "POST", "/__admin/rtdb/auth/revoke", [this](const auto&, auto& res, const std::string& text) {
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
        const int count = revoke(uid, id, body.value("status", std::string("invalid_token")),
                                 body.value("reason", std::string("Auth token was revoked.")));
        sendJson(res, 200, json{{"count", count}});
    });

    auto faultsJson = [this] {
        Faults f = faults();
        json killOn;
        if (f.killOn) killOn = {{"action", f.killOn->action}, {"apply", f.killOn->apply}, {"closeFrame", f.killOn->closeFrame}};
        return json{{"holdAnswers", f.send.holdAnswers},
                    {"answerDelayMs", f.send.answerDelayMs},
                    {"splitFrames", f.send.splitFrames},
                    {"rangeMerges", f.rangeMerges},
                    {"forceDatastale", f.forceDatastale},
                    {"clockOffsetMs", clockOffsetMs()},
                    {"handshakeHost", f.handshakeHost ? toJson(*f.handshakeHost) : json()},
                    {"killOn", killOn}};
    };
    route(http, "GET", "/__admin/rtdb/faults", [faultsJson](const auto&, auto& res, const auto&) {
        sendJson(res, 200, faultsJson());
    });
    route(http, "POST", "/__admin/rtdb/faults", [this, faultsJson](const auto&, auto& res, const std::string& text) {
        json body;
        if (!parseBody(text, res, body)) return;
        if (auto error = applyFaults(body); !error.empty()) return sendError(res, 400, error);
        sendJson(res, 200, faultsJson());
    });
    route(http, "DELETE", "/__admin/rtdb/faults", [this, faultsJson](const auto&, auto& res, const auto&) {
        resetFaults();
        sendJson(res, 200, faultsJson());
    });

    route(http, "GET", "/__admin/rtdb/rules", [namespaceFor](const Request& req, auto& res, const auto&) {
        auto ns = namespaceFor(req, res);
        if (!ns) return;
        std::lock_guard lock(ns->mutex());
        sendJson(res, 200, ns->rulesLocked().document());
    });
    route(http, "POST", "/__admin/rtdb/rules",
          [namespaceFor](const Request& req, auto& res, const std::string& text) {
              auto ns = namespaceFor(req, res);
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
          });

    route(http, "GET", "/__admin/rtdb/data", [namespaceFor](const Request& req, auto& res, const auto&) {
        auto ns = namespaceFor(req, res);
        if (!ns) return;
        std::string why;
        auto path = parseWirePath(ns::Value(req.has_param("path") ? req.get_param_value("path") : "/"), false, &why);
        if (!path) return sendError(res, 400, why);
        ns::Value data;
        {
            std::lock_guard lock(ns->mutex());
            data = ns->rootLocked()->getChild(*path)->valForExport(true);
        }
        res.status = 200;
        res.set_content("{\"data\":" + ns::json::serialize(data) + "}", "application/json");
    });
    route(http, "POST", "/__admin/rtdb/data",
          [this, namespaceFor](const Request& req, auto& res, const std::string& text) {
              auto ns = namespaceFor(req, res);
              if (!ns) return;
              std::string why;
              auto path =
                  parseWirePath(ns::Value(req.has_param("path") ? req.get_param_value("path") : "/"), true, &why);
              if (!path) return sendError(res, 400, why);
              ns::ErrorRef error;
              ns::Value body = ns::json::parse(text, &error);
              if (error || !body.isDictionary() || (body.contains("data") == body.contains("merge"))) {
                  return sendError(res, 400, "the body is {\"data\": value} or {\"merge\": {path: value}}");
              }
              const ns::Dictionary serverValues{{"timestamp", ns::Value(nowMs())}};
              Namespace::Outcome outcome;
              try {
                  if (body.contains("data")) {
                      if (path->length() + valueDepth(body["data"]) > kMaxTreeDepth) {
                          return sendError(res, 400, "the data nests too deeply");
                      }
                      FNodePtr node = FServerValues::resolveDeferredValueSnapshot(
                          FSnapshotUtilities::nodeFromWithValidation(body["data"], "admin"), serverValues);
                      std::lock_guard lock(ns->mutex());
                      outcome = ns->setLocked(*path, node);
                  } else {
                      const ns::Dictionary* children = body["merge"].dictionaryOrNull();
                      if (!children) return sendError(res, 400, "merge must be an object");
                      FCompoundWrite write = FServerValues::resolveDeferredValueCompoundWrite(
                          FSnapshotUtilities::compoundWriteFromDictionary(*children, "admin"), serverValues);
                      std::lock_guard lock(ns->mutex());
                      if (!write.isEmpty()) outcome = ns->mergeLocked(*path, write);
                  }
              } catch (const std::exception& e) {
                  return sendError(res, 400, e.what());
              }
              if (outcome.status != "ok") return sendError(res, 500, outcome.status + ": " + outcome.reason);
              ns->store().flush();
              sendJson(res, 200, json{{"ok", true}});
          });

    route(http, "GET", "/__admin/rtdb/app", [this](const auto& req, auto& res, const auto&) {
        const std::string name = req.get_param_value("ns");
        if (!validNamespaceName(name)) return sendError(res, 400, "the ns parameter must name a namespace");
        const auto app = appOf(name);
        sendJson(res, 200, json{{"ns", name}, {"appId", app ? json(*app) : json()}});
    });
    route(http, "POST", "/__admin/rtdb/app", [this](const auto& req, auto& res, const std::string& text) {
        const std::string name = req.get_param_value("ns");
        if (!validNamespaceName(name)) return sendError(res, 400, "the ns parameter must name a namespace");
        json body;
        if (!parseJsonObject(text, res, body)) return;
        if (!body.contains("appId") || !(body["appId"].is_null() || body["appId"].is_string()) ||
            (body["appId"].is_string() && body["appId"].get<std::string>().empty())) {
            return sendError(res, 400, "the body is {\"appId\": app id} or {\"appId\": null}");
        }
        std::optional<std::string> app;
        if (body["appId"].is_string()) app = body["appId"].get<std::string>();
        try {
            setAppOf(name, app);
        } catch (const std::exception& e) {
            return sendError(res, 500, e.what());
        }
        sendJson(res, 200, json{{"ns", name}, {"appId", body["appId"]}});
    });

    route(http, "GET", "/__admin/rtdb/resources", [this](const auto&, auto& res, const auto&) {
        sendJson(res, 200, resources());
    });

    route(http, "GET", "/__admin/rtdb/counters", [this](const Request& req, auto& res, const auto&) {
        const std::string name = req.get_param_value("ns");
        json total = json::object();
        for (auto& ns : namespaces()) {
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
    });
    route(http, "DELETE", "/__admin/rtdb/counters", [this](const Request& req, auto& res, const auto&) {
        const std::string name = req.get_param_value("ns");
        for (auto& ns : namespaces()) {
            if (name.empty() || ns->name() == name) ns->resetCounters();
        }
        sendJson(res, 200, json::object());
    });

    route(http, "POST", "/__admin/rtdb/compact", [namespaceFor](const Request& req, auto& res, const auto&) {
        auto ns = namespaceFor(req, res);
        if (!ns) return;
        std::lock_guard lock(ns->mutex());
        try {
            ns->store().compact(ns->rootLocked());
        } catch (const std::exception& e) {
            return sendError(res, 500, e.what());
        }
        sendJson(res, 200, json{{"journalBytes", ns->store().journalBytes()}});
    });
}

}  // namespace backend::rtdb
