#include "app/PageInput.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "platform/json.h"

namespace almavel {

namespace {

using json = nlohmann::json;
using Read = std::variant<PageInput, PageRefusal>;

constexpr const char* kNotAnObject = "el cuerpo no es un objeto JSON";
constexpr const char* kNoSuchAction = "no existe esa acción";

// A text or whole-number field of an action; empty or 0 when it is missing
// or of another type.
std::string textField(const json& in, const char* key) {
    return in.is_object() && in.contains(key) && in[key].is_string() ? in[key].get<std::string>() : std::string();
}
int numberField(const json& in, const char* key) {
    return in.is_object() && in.contains(key) && in[key].is_number_integer() ? in[key].get<int>() : 0;
}

PageInput input(PageInput::Kind kind) {
    PageInput out;
    out.kind = kind;
    return out;
}

// A drag or a turn of the wheel over a point of the screen ({x, y, dx, dy}
// in points), or a key's step of the screen's list ({step}: "down", "up",
// "pagedown", "pageup", "top", "bottom").
Read scroll(const json& in) {
    using Step = std::pair<std::string_view, ScrollStep>;
    static constexpr Step kSteps[] = {
        {"down", ScrollStep::LineDown}, {"up", ScrollStep::LineUp}, {"pagedown", ScrollStep::PageDown},
        {"pageup", ScrollStep::PageUp}, {"top", ScrollStep::Top},   {"bottom", ScrollStep::Bottom}};
    if (in.contains("step")) {
        const auto* it = in["step"].is_string() ? std::ranges::find(kSteps, in["step"].get<std::string>(), &Step::first)
                                                : std::end(kSteps);
        if (it == std::end(kSteps)) return PageRefusal{400, "no existe ese paso de desplazamiento"};
        PageInput out = input(PageInput::Kind::Scroll);
        out.step = it->second;
        return out;
    }
    auto real = [&](const char* key) { return in.contains(key) && in[key].is_number() ? in[key].get<double>() : 0.0; };
    PageInput out = input(PageInput::Kind::ScrollAt);
    out.point = {real("x"), real("y")};
    out.delta = {real("dx"), real("dy")};
    return out;
}

// A tap, typing, a row or an alert's button, with the screen it was aimed
// at when the page says.
Read touch(const std::string& path, const json& in) {
    PageInput out;
    if (path == "/tap") {
        out.kind = PageInput::Kind::Tap;
        out.name = textField(in, "name");
    } else if (path == "/type") {
        out.kind = PageInput::Kind::Type;
        out.name = textField(in, "name");
        out.text = textField(in, "text");
    } else if (path == "/row") {
        out.kind = PageInput::Kind::Row;
        out.row = numberField(in, "row");
        out.section = numberField(in, "section");
    } else if (path == "/alert") {
        out.kind = PageInput::Kind::Alert;
        out.name = textField(in, "title");
    } else {
        return PageRefusal{404, kNoSuchAction};
    }
    if (in.contains("screen") && in["screen"].is_number_unsigned()) out.screen = in["screen"].get<uint64_t>();
    return out;
}

// What the phone's senses report. `in` is the body read as JSON, when it is.
Read sense(const std::string& path, std::string body, const json& in) {
    if (path == "/sensor/notification") {
        ns::Value payload = ns::json::parse(body);
        if (!payload.isDictionary()) return PageRefusal{400, "la carga de una notificación debe ser un objeto JSON"};
        PageInput out = input(PageInput::Kind::Notification);
        out.payload = payload.asDictionary();
        return out;
    }
    if (path == "/sensor/background") return input(PageInput::Kind::Background);
    if (path == "/sensor/foreground") return input(PageInput::Kind::Foreground);
    if (path == "/sensor/code") {
        // A code in front of the camera, with the symbology the camera
        // reports it as.
        if (!in.is_object()) return PageRefusal{400, kNotAnObject};
        PageInput out = input(PageInput::Kind::Code);
        out.name = textField(in, "type");
        out.text = textField(in, "text");
        return out;
    }
    if (path == "/sensor/camera" || path == "/sensor/photo") {
        PageInput out = input(PageInput::Kind::Picture);
        out.camera = path == "/sensor/camera";
        out.text = std::move(body);
        return out;
    }
    return PageRefusal{404, kNoSuchAction};
}

}  // namespace

std::variant<PageInput, PageRefusal> readPageInput(const std::string& path, std::string body) {
    const json in = json::parse(body.empty() ? "{}" : body, nullptr, false);
    if (path.rfind("/sensor/", 0) == 0) return sense(path, std::move(body), in);
    if (!in.is_object()) return PageRefusal{400, kNotAnObject};
    if (path == "/back") return input(PageInput::Kind::Back);
    if (path == "/scroll") return scroll(in);
    return touch(path, in);
}

}  // namespace almavel
