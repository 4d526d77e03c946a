#include "backend/core/websocket.h"

#include <strings.h>

namespace backend {

std::optional<std::string> WebSocketSession::query(const std::string& name) const {
    auto it = query_.find(name);
    if (it == query_.end()) return std::nullopt;
    return it->second;
}

std::string WebSocketSession::header(std::string_view name) const {
    for (const auto& [n, v] : headers_) {
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
    }
    return {};
}

void WebSocketRouter::add(std::string route, WebSocketHandler handler) {
    std::lock_guard lock(mutex_);
    routes_[std::move(route)] = std::move(handler);
}

std::optional<WebSocketHandler> WebSocketRouter::find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::optional<WebSocketHandler> best;
    size_t bestLength = 0;
    for (const auto& [route, handler] : routes_) {
        const bool prefix = !route.empty() && route.back() == '*';
        const std::string stem = prefix ? route.substr(0, route.size() - 1) : route;
        const bool match = prefix ? path.rfind(stem, 0) == 0 : path == stem;
        if (match && (!best || route.size() > bestLength)) {
            best = handler;
            bestLength = route.size();
        }
    }
    return best;
}

}  // namespace backend
