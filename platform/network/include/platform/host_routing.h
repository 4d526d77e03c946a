#pragma once
// The platform's host routing table. The SDK's host names never change
// between real and local use; this table sends them to the local back end on
// loopback instead. Every network stack of the platform (the URL session,
// web sockets) asks `resolve` before connecting; TLS still verifies against
// the original host name (SNI and certificate check).
//
// Entries map (host pattern, original port) to a loopback endpoint:
//   - a pattern is an exact host ("api.example.com") or "*.suffix", which
//     matches any depth under the suffix ("a.suffix", "a.b.suffix") but not
//     the apex "suffix" itself (add that as its own entry);
//   - the original port 0 matches any port;
//   - a destination port 0 keeps the original port.
// Host names compare case-insensitively; a trailing dot is ignored.
// Precedence: exact host before wildcard, longer suffix before shorter, a
// specific port before "any port".
//
// Destinations must be loopback (127.0.0.0/8, ::1 or "localhost", which is
// taken as 127.0.0.1): nothing routed may leave the machine.
//
// Without an entry, "localhost" and names under ".localhost" resolve to
// 127.0.0.1 with the original port (RFC 6761), without DNS.
//
// At first use the table loads the environment variable ALMAVEL_ROUTES:
//   "pattern[:port]=address:port,pattern[:port]=address:port,..."
// e.g. "*.quorvaneapis.com:443=127.0.0.1:8443,quorvane.com=127.0.0.1:8443";
// an IPv6 destination is written in brackets ("[::1]:8443"). Entries that do
// not parse or are not loopback are skipped with a line on standard error.
//
// Thread-safe.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace ns {

class HostRouting {
public:
    struct Endpoint {
        std::string address;  // numeric loopback address: "127.0.0.1" or "::1"
        uint16_t port = 0;
        friend bool operator==(const Endpoint&, const Endpoint&) = default;
    };

    struct Route {
        std::string pattern;    // normalised: lower case, no trailing dot
        uint16_t originalPort;  // 0 = any
        Endpoint destination;   // port 0 = keep the original port
    };

    static HostRouting& shared();

    // Adds or replaces the entry for (pattern, originalPort). Refuses (false
    // and an error in NSPOSIXErrorDomain / EINVAL) an empty or malformed
    // pattern or a destination that is not loopback.
    bool add(std::string_view pattern, uint16_t originalPort, std::string_view address, uint16_t port,
             ErrorRef* error = nullptr);
    // Parses one "pattern[:port]=address:port" entry, as in ALMAVEL_ROUTES.
    bool addSpec(std::string_view spec, ErrorRef* error = nullptr);
    // Removes the entry for exactly (pattern, originalPort); true if there was one.
    bool remove(std::string_view pattern, uint16_t originalPort = 0);
    // Removes every entry (the .localhost rule stays: it is not an entry).
    void clear();
    std::vector<Route> routes() const;
    // Adds the entries of ALMAVEL_ROUTES (done once at first use; call again
    // after changing the variable). Returns how many entries were added.
    size_t loadFromEnvironment();

    // Where a connection to (host, port) should go; nullopt means "use the
    // name as it is" (normal resolution). `port` 0 asks about the host only and
    // then gives the destination port as configured (0 = keep).
    std::optional<Endpoint> resolve(std::string_view host, uint16_t port) const;
    // True when `host` is sent to loopback by an entry (any port) or by the
    // .localhost rule.
    bool isRoutedToLoopback(std::string_view host) const;

    // Helpers shared with the other network stacks.
    static bool isLoopbackAddress(std::string_view address);
    // "localhost", "x.localhost", "a.b.localhost" (case-insensitive).
    static bool isLocalhostName(std::string_view host);
    // Names under the reserved ".invalid" top-level domain never resolve
    // (RFC 6761); network stacks fail them at once without asking DNS.
    static bool isInvalidName(std::string_view host);
    static std::string normalizeHost(std::string_view host);

    HostRouting(const HostRouting&) = delete;
    HostRouting& operator=(const HostRouting&) = delete;

private:
    HostRouting();

    mutable std::mutex mutex_;
    std::vector<Route> routes_;
};

}  // namespace ns
