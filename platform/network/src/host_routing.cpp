#include "platform/host_routing.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "platform/format.h"

namespace ns {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool validHostChars(std::string_view h) {
    if (h.empty()) return false;
    for (char c : h) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == ':';
        if (!ok) return false;
    }
    return h.front() != '.' && h.find("..") == std::string_view::npos;
}

ErrorRef invalid(const std::string& description) {
    return Error::make(kPOSIXErrorDomain, EINVAL, description);
}

std::optional<uint16_t> parsePort(std::string_view s) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v > 65535) return std::nullopt;
    return uint16_t(v);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// "127.0.0.1:8443" or "[::1]:8443" -> (address, port).
bool splitHostPort(std::string_view s, std::string& host, std::optional<uint16_t>& port) {
    port.reset();
    if (!s.empty() && s.front() == '[') {
        size_t close = s.find(']');
        if (close == std::string_view::npos) return false;
        host = std::string(s.substr(1, close - 1));
        std::string_view rest = s.substr(close + 1);
        if (rest.empty()) return true;
        if (rest.front() != ':') return false;
        port = parsePort(rest.substr(1));
        return port.has_value();
    }
    size_t colon = s.rfind(':');
    if (colon == std::string_view::npos) {
        host = std::string(s);
        return true;
    }
    host = std::string(s.substr(0, colon));
    port = parsePort(s.substr(colon + 1));
    return port.has_value();
}

}  // namespace

HostRouting& HostRouting::shared() {
    static HostRouting* instance = new HostRouting();  // never destroyed: used from exit-time threads
    return *instance;
}

HostRouting::HostRouting() { loadFromEnvironment(); }

size_t HostRouting::loadFromEnvironment() {
    const char* env = std::getenv("ALMAVEL_ROUTES");
    if (!env) return 0;
    size_t added = 0;
    std::string_view all(env);
    while (!all.empty()) {
        size_t comma = all.find(',');
        std::string_view item = trim(all.substr(0, comma));
        all = comma == std::string_view::npos ? std::string_view() : all.substr(comma + 1);
        if (item.empty()) continue;
        ErrorRef error;
        if (addSpec(item, &error))
            ++added;
        else
            std::fprintf(stderr, "ALMAVEL_ROUTES: ignoring \"%.*s\": %s\n", int(item.size()), item.data(),
                         error ? error->localizedDescription().c_str() : "invalid entry");
    }
    return added;
}

std::string HostRouting::normalizeHost(std::string_view host) {
    std::string h = lower(trim(host));
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    while (!h.empty() && h.back() == '.') h.pop_back();
    return h;
}

bool HostRouting::isLoopbackAddress(std::string_view address) {
    std::string a = normalizeHost(address);
    if (a == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, a.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, a.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

bool HostRouting::isLocalhostName(std::string_view host) {
    std::string h = normalizeHost(host);
    return h == "localhost" || (endsWith(h, ".localhost") && h.size() > 10);
}

bool HostRouting::isInvalidName(std::string_view host) {
    std::string h = normalizeHost(host);
    return h == "invalid" || endsWith(h, ".invalid");
}

bool HostRouting::add(std::string_view pattern, uint16_t originalPort, std::string_view address, uint16_t port,
                      ErrorRef* error) {
    std::string p = normalizeHost(pattern);
    std::string_view hostPart = p;
    if (hostPart.starts_with("*.")) hostPart.remove_prefix(2);
    if (!validHostChars(hostPart) || hostPart.find('*') != std::string_view::npos) {
        if (error) *error = invalid(ns::format("invalid host pattern \"%s\"", std::string(pattern)));
        return false;
    }
    if (!isLoopbackAddress(address)) {
        if (error)
            *error = invalid(ns::format("route destination \"%s\" is not a loopback address", std::string(address)));
        return false;
    }
    std::string a = normalizeHost(address);
    if (a == "localhost") a = "127.0.0.1";
    std::lock_guard lock(mutex_);
    for (Route& r : routes_) {
        if (r.pattern == p && r.originalPort == originalPort) {
            r.destination = Endpoint{a, port};
            return true;
        }
    }
    routes_.push_back(Route{p, originalPort, Endpoint{a, port}});
    return true;
}

bool HostRouting::addSpec(std::string_view spec, ErrorRef* error) {
    size_t eq = spec.find('=');
    if (eq == std::string_view::npos) {
        if (error) *error = invalid(ns::format("route \"%s\" has no '='", std::string(spec)));
        return false;
    }
    std::string pattern, address;
    std::optional<uint16_t> fromPort, toPort;
    if (!splitHostPort(trim(spec.substr(0, eq)), pattern, fromPort) ||
        !splitHostPort(trim(spec.substr(eq + 1)), address, toPort)) {
        if (error) *error = invalid(ns::format("route \"%s\" does not parse", std::string(spec)));
        return false;
    }
    if (!toPort) {
        if (error) *error = invalid(ns::format("route \"%s\" has no destination port", std::string(spec)));
        return false;
    }
    return add(pattern, fromPort.value_or(0), address, *toPort, error);
}

bool HostRouting::remove(std::string_view pattern, uint16_t originalPort) {
    std::string p = normalizeHost(pattern);
    std::lock_guard lock(mutex_);
    for (auto it = routes_.begin(); it != routes_.end(); ++it) {
        if (it->pattern == p && it->originalPort == originalPort) {
            routes_.erase(it);
            return true;
        }
    }
    return false;
}

void HostRouting::clear() {
    std::lock_guard lock(mutex_);
    routes_.clear();
}

std::vector<HostRouting::Route> HostRouting::routes() const {
    std::lock_guard lock(mutex_);
    return routes_;
}

std::optional<HostRouting::Endpoint> HostRouting::resolve(std::string_view host, uint16_t port) const {
    std::string h = normalizeHost(host);
    if (h.empty()) return std::nullopt;
    const Route* best = nullptr;
    // Rank: exact match beats any wildcard; among wildcards the longer suffix
    // wins; at equal pattern a specific port beats "any".
    auto rank = [&](const Route& r) -> long {
        long base;
        if (r.pattern == h) {
            base = 1'000'000;
        } else if (r.pattern.starts_with("*.")) {
            std::string_view suffix = std::string_view(r.pattern).substr(1);  // ".suffix"
            if (!(h.size() > suffix.size() && endsWith(h, suffix))) return -1;
            base = long(suffix.size()) * 2;
        } else {
            return -1;
        }
        if (r.originalPort == 0 || port == 0) return base;  // port 0 asks about the host only
        if (r.originalPort == port) return base + 1;
        return -1;
    };
    std::unique_lock lock(mutex_);
    long bestRank = -1;
    for (const Route& r : routes_) {
        long k = rank(r);
        if (k > bestRank) {
            bestRank = k;
            best = &r;
        }
    }
    if (best) {
        Endpoint e = best->destination;
        if (e.port == 0) e.port = port;
        return e;
    }
    lock.unlock();
    if (isLocalhostName(h)) return Endpoint{"127.0.0.1", port};
    return std::nullopt;
}

bool HostRouting::isRoutedToLoopback(std::string_view host) const { return resolve(host, 0).has_value(); }

}  // namespace ns
