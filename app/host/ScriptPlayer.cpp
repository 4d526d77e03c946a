#include "app/ScriptPlayer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/store_writes.h"
#include "uikit/AVFoundation.h"
#include "uikit/UserNotifications.h"

namespace almavel {

namespace {

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Splits "verb rest" at the first blank.
std::pair<std::string, std::string> verbAndRest(const std::string& line) {
    const auto space = line.find_first_of(" \t");
    if (space == std::string::npos) return {line, ""};
    return {line.substr(0, space), trimmed(line.substr(space + 1))};
}

// The symbology by its short name ("ean13", "qr", ...) or as the camera
// names it ("org.gs1.EAN-13").
std::string scanType(const std::string& name) {
    using Name = std::pair<std::string_view, std::string_view>;
    static constexpr Name kShort[] = {
        {"upce", ns::AVMetadataObjectTypeUPCECode},         {"code39", ns::AVMetadataObjectTypeCode39Code},
        {"code39mod43", ns::AVMetadataObjectTypeCode39Mod43Code}, {"code93", ns::AVMetadataObjectTypeCode93Code},
        {"code128", ns::AVMetadataObjectTypeCode128Code},   {"ean8", ns::AVMetadataObjectTypeEAN8Code},
        {"ean13", ns::AVMetadataObjectTypeEAN13Code},       {"aztec", ns::AVMetadataObjectTypeAztecCode},
        {"pdf417", ns::AVMetadataObjectTypePDF417Code},     {"qr", ns::AVMetadataObjectTypeQRCode},
        {"itf", ns::AVMetadataObjectTypeInterleaved2of5Code}};
    const auto* it = std::ranges::find(kShort, name, &Name::first);
    return it == std::end(kShort) ? name : std::string(it->second);
}

// "down", "up", "to top", "to bottom" or a number of points (negative:
// back towards the top).
bool scrollStep(AppDriver& driver, const std::string& how, std::string& error) {
    using Step = std::pair<std::string_view, ScrollStep>;
    static constexpr Step kSteps[] = {{"down", ScrollStep::PageDown},
                                      {"up", ScrollStep::PageUp},
                                      {"to top", ScrollStep::Top},
                                      {"to bottom", ScrollStep::Bottom}};
    if (const auto* it = std::ranges::find(kSteps, how, &Step::first); it != std::end(kSteps)) {
        return driver.scroll(it->second);
    }
    std::istringstream in(how);
    double points = 0;
    if (!(in >> points) || !(in >> std::ws).eof()) {
        error = "scroll needs down, up, to top, to bottom or a number of points";
        return false;
    }
    return driver.scroll(points);
}

// The person leaves the app (home button) or comes back to it; the
// system's order is resign then background, and foreground then active.
bool lifeCycleStep(bool leave, std::string& error) {
    auto app = ns::Application::shared();
    const auto state = app->applicationState();
    if (leave ? state == ns::Application::State::Background : state != ns::Application::State::Background) {
        error = leave ? "the app is already in the background" : "the app is not in the background";
        return false;
    }
    if (leave) {
        app->enterBackground();
    } else {
        app->enterForeground();
        app->becomeActive();
    }
    return true;
}

bool runStep(AppDriver& driver, const std::string& verb, const std::string& rest, std::string& error) {
    if (verb == "tap") return driver.tap(rest);
    if (verb == "type") {
        auto [name, text] = verbAndRest(rest);
        return driver.type(name, text);
    }
    if (verb == "row") {
        std::istringstream in(rest);
        int row = -1;
        int section = 0;
        in >> row;
        if (!in) {
            error = "row needs a number";
            return false;
        }
        in >> section;
        return driver.selectRow(row, section);
    }
    if (verb == "scroll") return scrollStep(driver, rest, error);
    if (verb == "alert") return driver.answerAlert(rest);
    if (verb == "back") return driver.back();
    if (verb == "wait") return true;
    if (verb == "background" || verb == "foreground") return lifeCycleStep(verb == "background", error);
    if (verb == "push") {
        // A remote notification reaching the phone, as the operating system
        // hands it over: the payload is a JSON object.
        ns::Value payload = ns::json::parse(rest);
        if (!payload.isDictionary()) {
            error = "push needs a JSON object";
            return false;
        }
        ns::receiveRemoteNotification(payload.asDictionary());
        return true;
    }
    if (verb == "photo") {
        // A path, or the name of a picture in the app's bundle.
        auto picture = ns::UIImage::imageWithContentsOfFile(rest);
        if (!picture) picture = ns::UIImage::imageNamed(rest);
        if (!picture) {
            error = "cannot read the picture " + rest;
            return false;
        }
        ns::UIImagePickerController::setCameraSource([picture] { return picture; });
        return true;
    }
    if (verb == "scan" || verb == "picture") {
        auto camera = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo);
        if (!camera) {
            error = "the device has no camera";
            return false;
        }
        if (verb == "scan") {
            auto [type, text] = verbAndRest(rest);
            if (text.empty()) {
                error = "scan needs a type and a code";
                return false;
            }
            camera->showCode(scanType(type), text);
            return true;
        }
        auto picture = ns::UIImage::imageWithContentsOfFile(rest);
        if (!picture) {
            error = "cannot read the picture " + rest;
            return false;
        }
        if (camera->showPicture(*picture) == 0) {
            error = "no code in the picture " + rest;
            return false;
        }
        return true;
    }
    error = "unknown step \"" + verb + "\"";
    return false;
}

void show(AppDriver& driver, std::ostream& out, const std::string& shotsDir, int step, const std::string& verb,
          const std::string& line) {
    out << ns::format("== %d: %@\n", step, line) << driver.screenText();
    if (shotsDir.empty()) {
        out.flush();
        return;
    }
    const auto path = std::filesystem::path(shotsDir) / ns::format("%02d-%@.png", step, verb);
    const auto png = driver.screenshotPNG();
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    out << (file ? "screenshot: " + path.string() : "screenshot not written: " + path.string()) << "\n";
    out.flush();
}

}  // namespace

ScriptResult playScript(std::istream& script, std::ostream& out, const std::string& shotsDir, AppDriver& driver) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ScriptResult result;
    std::error_code ec;
    if (!shotsDir.empty()) std::filesystem::create_directories(shotsDir, ec);
    driver.waitUntilIdle();
    show(driver, out, shotsDir, 0, "launch", "launch");
    // The store writes and opens traced before this are the launch's.
    ns::storeWrites::mark("launched");

    std::string raw;
    int lineNumber = 0;
    while (std::getline(script, raw)) {
        ++lineNumber;
        const std::string line = trimmed(raw);
        if (line.empty() || line[0] == '#') continue;
        auto [verb, rest] = verbAndRest(line);
        std::string error;
        const bool done = runStep(driver, verb, rest, error);
        if (!done) {
            result.ok = false;
            result.error = ns::format("line %d (%@): %@", lineNumber, line, error.empty() ? driver.lastError() : error);
            out << "refused: " << result.error << "\n";
            return result;
        }
        ++result.steps;
        if (!driver.waitUntilIdle()) out << "(still busy)\n";
        show(driver, out, shotsDir, result.steps, verb, line);
    }
    return result;
}

}  // namespace almavel
