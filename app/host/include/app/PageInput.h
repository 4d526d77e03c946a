#pragma once
// What the browser page asks the app to do, read from a POST's path and body
// before anything touches the app (app/WebHost.h carries it out on the main
// queue): a tap, typing, a table row or an alert's button (each may name the
// screen it was aimed at), going back, a scroll, or what the phone's senses
// report (a notification, the app leaving or coming back to the front, a
// code or a picture before the camera, a photo picked). A request the host
// cannot take is a refusal with its status and a reason worded in Spanish,
// as the page speaks the phone's language. Plain functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "app/AppDriver.h"
#include "platform/value.h"
#include "uikit/geometry.h"

namespace almavel {

struct PageInput {
    enum class Kind {
        Back,
        Scroll,    // `step`
        ScrollAt,  // `point`, `delta`
        Tap,       // `name`
        Type,      // `name`, `text`
        Row,       // `row`, `section`
        Alert,     // `name`: the button's title
        Notification,  // `payload`
        Background,
        Foreground,
        Code,     // `name`: the symbology; `text`
        Picture,  // `camera` (else a photo picked), `text`: the picture's bytes
    };
    Kind kind = Kind::Back;
    // The screen a tap, typing, row or alert's button was aimed at (as
    // /state gave it), when the page said.
    std::optional<uint64_t> screen;
    std::string name;
    std::string text;
    int row = 0;
    int section = 0;
    ScrollStep step = ScrollStep::LineDown;
    ns::CGPoint point{};
    ns::CGPoint delta{};
    ns::Dictionary payload;
    bool camera = false;
};

struct PageRefusal {
    int status = 400;
    std::string error;
};

// The input a POST to `path` with `body` asks for: a JSON object for the app's
// controls and scrolls, the notification's payload, or a picture's bytes.
std::variant<PageInput, PageRefusal> readPageInput(const std::string& path, std::string body);

}  // namespace almavel
