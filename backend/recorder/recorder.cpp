#include "backend/recorder/recorder.h"

#include <strings.h>

#include <chrono>

#include "backend/core/http_util.h"
#include "platform/crypto.h"

namespace backend {

namespace {

using json = nlohmann::json;

constexpr const char* kRecorderPattern = "/__recorder/**";

// Framing headers belong to the server; letting a test set them would
// produce a response no client could read.
bool isFramingHeader(const std::string& name) {
    for (const char* framing : {"Content-Length", "Transfer-Encoding", "Connection"}) {
        if (strcasecmp(name.c_str(), framing) == 0) return true;
    }
    return false;
}

json headersJson(const FlatHeaders& headers) {
    json list = json::array();
    headers.forEach([&](std::string_view name, std::string_view value) {
        list.push_back({{"name", name}, {"value", value}});
    });
    return list;
}

}  // namespace

std::size_t RecorderService::Recorded::heapBytes() const {
    return backend::heapBytes(method) + backend::heapBytes(path) + backend::heapBytes(target) +
           backend::heapBytes(query) + backend::heapBytes(remoteAddr) + headers.heapBytes() +
           backend::heapBytes(body) + backend::heapBytes(listener);
}

void RecorderService::install(HttpRouter& server, const Listener& listener, Context&) {
    routeAllMethods(server, kRecorderPattern,
                    [this, listener](const Request& req, Response& res, const std::string& body) {
                        record(req, res, body, listener);
                    });

    route(server, "GET", "/__admin/recorder/requests", [this](const auto& req, auto& res, const auto&) {
        const auto page = readLogPage(req, res);
        if (!page) return;
        std::lock_guard lock(mutex_);
        sendLogPage(res, "requests", requests_, *page, [](const Recorded& r, std::string& text) {
            const json entry{{"id", r.id},
                             {"method", r.method},
                             {"path", r.path},
                             {"target", r.target},
                             {"query", r.query},
                             {"headers", headersJson(r.headers)},
                             {"body", ns::crypto::base64Encode(r.body)},
                             {"bodySize", r.body.size()},
                             {"listener", r.listener},
                             {"tls", r.tls},
                             {"remoteAddr", r.remoteAddr},
                             {"remotePort", r.remotePort},
                             {"localPort", r.localPort},
                             {"time", r.time},
                             {"held", r.held},
                             {"clientClosed", r.clientClosed}};
            // Client bytes need not be UTF-8.
            text += entry.dump(-1, ' ', false, json::error_handler_t::replace);
        });
    });
    route(server, "DELETE", "/__admin/recorder/requests", [this](const auto&, auto& res, const auto&) {
        size_t cleared;
        {
            std::lock_guard lock(mutex_);
            cleared = requests_.clear();
        }
        sendJson(res, 200, json{{"cleared", cleared}});
    });
    route(server, "GET", "/__admin/recorder/response", [this](const auto&, auto& res, const auto&) {
        std::lock_guard lock(mutex_);
        json headers = json::object();
        for (const auto& [name, value] : reply_.headers) headers[name] = value;
        sendJson(res, 200,
                 json{{"status", reply_.status},
                      {"bodyBase64", ns::crypto::base64Encode(reply_.body)},
                      {"headers", headers},
                      {"delayMs", reply_.delayMs},
                      {"hold", reply_.hold}});
    });
    route(server, "POST", "/__admin/recorder/response",
          [this](const auto&, auto& res, const std::string& body) { configure(body, res); });
    route(server, "POST", "/__admin/recorder/release", [this](const auto&, auto& res, const auto&) {
        int released;
        {
            std::lock_guard lock(mutex_);
            released = heldNow_;
            ++releases_;
        }
        cv_.notify_all();
        sendJson(res, 200, json{{"released", released}});
    });
    route(server, "GET", "/__admin/recorder/held", [this](const auto&, auto& res, const auto&) {
        std::lock_guard lock(mutex_);
        sendJson(res, 200, json{{"held", heldNow_}});
    });
}

void RecorderService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
}

void RecorderService::configure(const std::string& body, Response& res) {
    json config;
    if (!parseJsonObject(body, res, config)) return;

    Reply reply;
    auto bad = [&](const std::string& message) { sendError(res, 400, message); };
    for (auto& [key, value] : config.items()) {
        if (key == "status") {
            if (!value.is_number_integer() || value.get<int64_t>() < 200 || value.get<int64_t>() > 599) {
                return bad("\"status\" must be an integer from 200 to 599");
            }
            reply.status = value.get<int>();
        } else if (key == "body") {
            if (!value.is_string()) return bad("\"body\" must be a string");
            reply.body = value.get<std::string>();
        } else if (key == "bodyBase64") {
            auto decoded = value.is_string() ? ns::crypto::base64DecodeStrict(value.get<std::string>()) : std::nullopt;
            if (!decoded) return bad("\"bodyBase64\" must be a base64 string");
            reply.body = ns::crypto::toString(*decoded);
        } else if (key == "headers") {
            if (!value.is_object()) return bad("\"headers\" must be an object of strings");
            for (auto& [name, headerValue] : value.items()) {
                if (!headerValue.is_string()) return bad("header \"" + name + "\" must have a string value");
                if (name.empty() || name.find_first_of(" :\r\n\t") != std::string::npos) {
                    return bad("bad header name \"" + name + "\"");
                }
                if (headerValue.get<std::string>().find_first_of("\r\n") != std::string::npos) {
                    return bad("header \"" + name + "\" has a line break in its value");
                }
                if (isFramingHeader(name)) return bad("header \"" + name + "\" is set by the server");
                reply.headers.emplace_back(name, headerValue.get<std::string>());
            }
        } else if (key == "delayMs") {
            if (!value.is_number_integer() || value.get<int64_t>() < 0 ||
                value.get<int64_t>() > int64_t(kHoldCapSeconds) * 1000) {
                return bad("\"delayMs\" must be an integer from 0 to " + std::to_string(kHoldCapSeconds * 1000));
            }
            reply.delayMs = value.get<int>();
        } else if (key == "hold") {
            if (!value.is_boolean()) return bad("\"hold\" must be true or false");
            reply.hold = value.get<bool>();
        } else {
            return bad("unknown key \"" + key + "\"");
        }
    }
    if (config.contains("body") && config.contains("bodyBase64")) {
        return bad("give either \"body\" or \"bodyBase64\", not both");
    }
    {
        std::lock_guard lock(mutex_);
        reply_ = reply;
    }
    sendJson(res, 200, json{{"status", reply.status}, {"delayMs", reply.delayMs}, {"hold", reply.hold}});
}

void RecorderService::record(const Request& req, Response& res, const std::string& body,
                             const Listener& listener) {
    Recorded r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    if (auto q = req.target.find('?'); q != std::string::npos) r.query = req.target.substr(q + 1);
    forEachLoggedHeader(req, [&](const std::string& name, const std::string& value) { r.headers.add(name, value); });
    r.headers.shrink();
    r.body = body;
    r.listener = listener.name();
    r.tls = listener.tls();
    r.remoteAddr = req.remote_addr;
    r.remotePort = req.remote_port;
    r.localPort = req.local_port;
    r.time = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    std::unique_lock lock(mutex_);
    const Reply reply = reply_;
    const uint64_t releasesBefore = releases_;
    r.id = nextId_++;
    r.held = reply.hold;
    const uint64_t id = r.id;
    requests_.push(std::move(r));

    if (reply.delayMs > 0) {
        cv_.wait_for(lock, std::chrono::milliseconds(reply.delayMs), [&] { return stopping_; });
    }
    if (reply.hold) {
        ++heldNow_;
        const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(kHoldCapSeconds);
        bool clientClosed = false;
        // The client going away is only seen by polling its socket, so the
        // wait wakes up regularly.
        while (releases_ == releasesBefore && !stopping_ && std::chrono::steady_clock::now() < cap) {
            if (req.peerHasClosed()) {
                clientClosed = true;
                break;
            }
            cv_.wait_for(lock, std::chrono::milliseconds(20));
        }
        --heldNow_;
        if (clientClosed) {
            for (std::size_t i = requests_.size(); i-- > 0;) {
                if (requests_.at(i).id == id) requests_.at(i).clientClosed = true;
            }
            // Nobody is left to read an answer.
            res.status = 408;
            return;
        }
    }
    lock.unlock();

    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    res.body = reply.body;
}

}  // namespace backend
