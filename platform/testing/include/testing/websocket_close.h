#pragma once
// How a web socket ended, as either end of a test sees it (a client's close
// callback, a raw peer reading to the end), and the close frame's payload,
// so close checks read the same on both sides of the wire.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ns::testing {

struct WebSocketClose {
    // The close code; 0 when the connection ended without one.
    int64_t code = 0;
    std::optional<std::string> reason{};
    // Both ends exchanged close frames (a raw peer: a close frame arrived).
    bool clean = false;

    friend bool operator==(const WebSocketClose&, const WebSocketClose&) = default;
    friend std::ostream& operator<<(std::ostream& out, const WebSocketClose& close) {
        out << "close " << close.code << "/";
        if (close.reason) out << '"' << *close.reason << '"';
        else out << "(no reason)";
        return out << (close.clean ? "/clean" : "/not clean");
    }
};

// A close frame's payload: the code in network byte order, then the reason.
inline std::string closePayload(int code, std::string_view reason = {}) {
    std::string payload;
    payload += char((code >> 8) & 0xFF);
    payload += char(code & 0xFF);
    payload += reason;
    return payload;
}

// The code and reason of a close frame's payload; -1 when it is too short to
// hold a code.
inline std::pair<int, std::string> parseClosePayload(std::string_view payload) {
    if (payload.size() < 2) return {-1, ""};
    return {(int(uint8_t(payload[0])) << 8) | uint8_t(payload[1]), std::string(payload.substr(2))};
}

// Passes when exactly one ending was seen and it is `expected`.
inline ::testing::AssertionResult endedOnceWith(const std::vector<WebSocketClose>& seen,
                                                const WebSocketClose& expected) {
    if (seen.size() == 1 && seen[0] == expected) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "expected only " << expected << ", saw " << seen.size() << ":";
    for (const auto& close : seen) failure << " [" << close << "]";
    return failure;
}

// Passes when the connection ended with a close frame carrying `code`,
// whatever its reason.
inline ::testing::AssertionResult closedWith(const WebSocketClose& seen, int64_t code) {
    if (seen.clean && seen.code == code) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected a close frame with code " << code << ", saw " << seen;
}

}  // namespace ns::testing
