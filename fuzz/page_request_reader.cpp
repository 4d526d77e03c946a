// The page host's reading of what a browser sends it, past Boost.Beast's own
// parser: the Host value the server checks against the loopback, the target
// it splits into path and query, and the input the host reads from a POST's
// path and body (JSON actions, a notification's payload, a picture's bytes)
// before anything touches the app.
//
// Input: "<target>\n<Host value>\n<body>".
//
// Invariants: a Host the server takes names the loopback; a refusal is a 400
// or a 404 with a reason; a picture keeps every byte of the body; reading the
// same request twice gives the same input.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "app/PageInput.h"
#include "app/WebServer.h"
#include "require.h"

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

bool same(const almavel::PageInput& a, const almavel::PageInput& b) {
    return a.kind == b.kind && a.screen == b.screen && a.name == b.name && a.text == b.text && a.row == b.row &&
           a.section == b.section && a.step == b.step && a.point == b.point && a.delta == b.delta &&
           ns::Value(a.payload) == ns::Value(b.payload) && a.camera == b.camera;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t first = input.find('\n');
    const size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
    const std::string target(input.substr(0, first));
    const std::string_view host =
        first == std::string_view::npos ? std::string_view() : input.substr(first + 1, second - first - 1);
    const std::string body(second == std::string_view::npos ? std::string_view() : input.substr(second + 1));

    if (almavel::WebServer::isLoopbackHost(host, 8080)) {
        require(host.starts_with("127.0.0.1") || startsWithNoCase(host, "localhost") || host.starts_with("[::1]"));
    }
    // As the server hands the host a request: the target without its query.
    const std::string path = target.substr(0, target.find('?'));
    const auto read = almavel::readPageInput(path, body);
    if (const auto* refusal = std::get_if<almavel::PageRefusal>(&read)) {
        require((refusal->status == 400 || refusal->status == 404) && !refusal->error.empty());
        require(std::holds_alternative<almavel::PageRefusal>(almavel::readPageInput(path, body)));
        return 0;
    }
    const auto& in = std::get<almavel::PageInput>(read);
    if (in.kind == almavel::PageInput::Kind::Picture) require(in.text == body);  // the picture lost bytes
    const auto again = almavel::readPageInput(path, body);
    require(std::holds_alternative<almavel::PageInput>(again) && same(std::get<almavel::PageInput>(again), in));
    return 0;
}
