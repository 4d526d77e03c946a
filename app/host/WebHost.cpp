#include "app/WebHost.h"

#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>
#include <variant>

#include "app/AppConsole.h"
#include "app/PageInput.h"
#include "app/WebPage.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "uikit/AVFoundation.h"
#include "uikit/UserNotifications.h"
#include "uikit/renderer.h"

namespace almavel {

using json = nlohmann::json;

namespace {

// How often the main loop looks for a changed screen, and how often it
// draws the screen even when its text and controls stayed the same (a
// picture may have arrived).
constexpr double kRefreshInterval = 0.2;
constexpr int kRedrawEveryTicks = 5;

const char* kindName(ns::UIElement::Kind kind) {
    switch (kind) {
        case ns::UIElement::Kind::Button: return "button";
        case ns::UIElement::Kind::TextField: return "field";
        case ns::UIElement::Kind::TableRow: return "row";
    }
    return "button";
}

// The controller whose screen is shown: what a navigation controller has on
// top, or what is presented over everything (an alert, a sheet).
ns::UIViewControllerPtr shownController(ns::UIWindow& window) {
    auto shown = window.topmostViewController();
    while (auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(shown)) {
        auto top = nav->topViewController();
        if (!top) break;
        shown = top;
    }
    return shown;
}

struct Outcome {
    int status = 200;
    std::string error;
    // More of what happened, for the page to show (added to the answer).
    nlohmann::json detail = nlohmann::json::object();
};

}  // namespace

struct WebHost::Impl : std::enable_shared_from_this<WebHost::Impl> {
    Impl(AppDriver d, WebServerLimits l) : driver(std::move(d)), limits(l) {}

    using Done = std::function<void(Outcome)>;

    AppDriver driver;
    const WebServerLimits limits;
    std::shared_ptr<ns::Timer> timer;
    uint64_t consoleListener = 0;
    bool stopped = false;

    // Published state, read on the server's I/O thread.
    std::mutex stateMutex;
    uint64_t version = 0;
    ns::Data png;
    json state = json::object();
    std::string fingerprint;
    int ticksSinceDraw = 0;
    // Main thread: a new screen is mostly the last one's rows, which it
    // does not compress again.
    ns::PNGFrameEncoder encoder;
    // Main thread: which screen is shown, counted up each time another
    // controller's screen is seen on top (coming back to a screen counts as
    // a new one), so a tap can name the screen it was aimed at.
    std::weak_ptr<ns::UIViewController> shownScreen;
    uint64_t screenGeneration = 0;

    uint64_t currentScreen() {
        auto window = driver.window();
        auto shown = window ? shownController(*window) : nullptr;
        if (shown != shownScreen.lock()) {
            shownScreen = shown;
            ++screenGeneration;
        }
        return screenGeneration;
    }

    // Main thread.
    void refresh(bool forceDraw) {
        auto window = driver.window();
        const bool ignoring = ns::Application::shared()->isIgnoringInteractionEvents();
        json elements = json::array();
        std::string text = driver.screenText();
        if (window) {
            for (const auto& e : ns::interactiveElements(*window)) {
                elements.push_back({{"kind", kindName(e.kind)},
                                    {"name", e.name},
                                    {"text", e.secure ? std::string() : e.text},
                                    {"x", e.frame.origin.x},
                                    {"y", e.frame.origin.y},
                                    {"w", e.frame.size.width},
                                    {"h", e.frame.size.height},
                                    {"enabled", e.enabled},
                                    {"secure", e.secure},
                                    {"placeholder", e.placeholder},
                                    {"row", e.row.row},
                                    {"section", e.row.section}});
            }
        }
        const char* appState = "active";
        switch (ns::Application::shared()->applicationState()) {
            case ns::Application::State::Active: appState = "active"; break;
            case ns::Application::State::Inactive: appState = "inactive"; break;
            case ns::Application::State::Background: appState = "background"; break;
        }
        const uint64_t screen = currentScreen();
        const std::string print =
            text + elements.dump() + (ignoring ? "1" : "0") + appState + std::to_string(screen);
        ns::Data picture;
        bool draw = forceDraw || ++ticksSinceDraw >= kRedrawEveryTicks;
        {
            std::lock_guard lock(stateMutex);
            draw = draw || print != fingerprint;
        }
        if (draw) {
            ticksSinceDraw = 0;
            if (window) picture = encoder.encode(*ns::snapshotWindow(*window));
        }
        std::lock_guard lock(stateMutex);
        const bool newPicture = draw && picture != png;
        if (!newPicture && print == fingerprint) return;
        fingerprint = print;
        if (newPicture) png = std::move(picture);
        ++version;
        state["version"] = version;
        state["ignoring"] = ignoring;
        state["appState"] = appState;
        state["screen"] = screen;
        state["screenText"] = text;
        state["elements"] = std::move(elements);
        if (server) server->eventsChanged();
    }

    void consoleWritten() {
        if (server) server->eventsChanged();
    }

    // The event stream's message: what changed, for the page to fetch.
    WebServer::Event event() {
        uint64_t v;
        {
            std::lock_guard lock(stateMutex);
            v = version;
        }
        const uint64_t c = AppConsole::count();
        // Both only grow, so their sum changes whenever either does.
        return {v + c, "event: state\ndata: " + json{{"version", v}, {"consoleCount", c}}.dump() + "\n\n"};
    }

    json snapshot() {
        json out;
        {
            std::lock_guard lock(stateMutex);
            out = state;
        }
        out["console"] = AppConsole::lines();
        out["consoleCount"] = AppConsole::count();
        // What the notification centre put on screen (the app presents none).
        out["presentedNotifications"] =
            ns::UNUserNotificationCenter::currentNotificationCenter()->presentedNotifications().size();
        return out;
    }

    // Runs `fn` on the main queue and hands its outcome to `done` there (the
    // server answers 503 itself when the main loop does not run in time).
    void onMain(std::function<Outcome()> fn, Done done) {
        ns::DispatchQueue::main()->async([self = shared_from_this(), fn = std::move(fn), done = std::move(done)] {
            Outcome outcome;
            try {
                outcome = fn();
            } catch (const std::exception& e) {
                outcome = {500, std::string("error interno: ") + e.what()};
            }
            self->refresh(true);
            done(outcome);
        });
    }

    Outcome driven(bool ok) { return ok ? Outcome{} : Outcome{409, driver.lastErrorInSpanish()}; }

    // Input aimed at a control of a screen the page showed: refused when
    // that screen is no longer the one shown (a double click whose second
    // click would land on the next screen's control of the same name).
    // Input that names no screen (scripts, tools) is taken as aimed at the
    // one shown.
    void onScreen(std::optional<uint64_t> aimedAt, std::string what, std::function<bool()> input, const Done& done) {
        onMain([this, aimedAt, what = std::move(what), input = std::move(input)] {
            if (aimedAt && *aimedAt != currentScreen()) {
                return Outcome{409, "la pantalla cambió antes de " + what + "; no se hizo nada"};
            }
            return driven(input());
        }, done);
    }

    void act(const std::string& path, std::string body, const Done& done) {
        auto read = readPageInput(path, std::move(body));
        if (const auto* refusal = std::get_if<PageRefusal>(&read)) return done({refusal->status, refusal->error});
        perform(std::get<PageInput>(std::move(read)), done);
    }

    // Carries out what the page asked. A tap, typing, a row or an alert's
    // button is done only on the screen the page was showing when it sent
    // the action, if it says which.
    void perform(PageInput in, const Done& done) {
        using Kind = PageInput::Kind;
        switch (in.kind) {
            case Kind::Back: return onMain([this] { return driven(driver.back()); }, done);
            case Kind::Scroll: return onMain([this, step = in.step] { return driven(driver.scroll(step)); }, done);
            case Kind::ScrollAt:
                return onMain([this, point = in.point, delta = in.delta] { return driven(driver.scrollAt(point, delta)); },
                              done);
            case Kind::Tap:
                return onScreen(in.screen, "tocar «" + in.name + "»", [this, name = in.name] { return driver.tap(name); },
                                done);
            case Kind::Type:
                return onScreen(in.screen, "escribir en «" + in.name + "»",
                                [this, name = in.name, text = in.text] { return driver.type(name, text); }, done);
            case Kind::Row:
                return onScreen(in.screen, "tocar la fila " + std::to_string(in.row),
                                [this, row = in.row, section = in.section] { return driver.selectRow(row, section); },
                                done);
            case Kind::Alert:
                return onScreen(in.screen, "tocar «" + in.name + "» en la alerta",
                                [this, title = in.name] { return driver.answerAlert(title); }, done);
            default: return sense(std::move(in), done);
        }
    }

    // What the phone's senses report: a notification arriving, the app
    // leaving or coming back to the front, a code or a picture before the
    // camera.
    void sense(PageInput in, const Done& done) {
        using Kind = PageInput::Kind;
        switch (in.kind) {
            case Kind::Notification:
                return onMain([payload = std::move(in.payload)] {
                    ns::receiveRemoteNotification(payload);
                    return Outcome{};
                }, done);
            case Kind::Background:
                return onMain([] {
                    ns::Application::shared()->enterBackground();
                    return Outcome{};
                }, done);
            case Kind::Foreground:
                return onMain([] {
                    auto app = ns::Application::shared();
                    app->enterForeground();
                    app->becomeActive();
                    return Outcome{};
                }, done);
            case Kind::Code:
                return onMain([type = in.name, text = in.text] {
                    auto camera = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo);
                    if (!camera) return Outcome{409, "el dispositivo no tiene cámara"};
                    camera->showCode(type, text);
                    return Outcome{};
                }, done);
            default: break;
        }
        // A picture: decoding a large one would hold up every other
        // connection on the I/O thread.
        ns::DispatchQueue::global()->async([self = shared_from_this(), camera = in.camera, body = std::move(in.text), done] {
            std::shared_ptr<ns::UIImage> image;
            try {
                image = ns::UIImage::initWithData(ns::Data(body.begin(), body.end()));
            } catch (const std::exception&) {
            }
            self->pictureArrived(camera, image, done);
        });
    }

    void pictureArrived(bool forCamera, const std::shared_ptr<ns::UIImage>& image, const Done& done) {
        if (!image) return done({400, "la imagen no es PNG ni JPEG"});
        if (forCamera) {
            // The picture is what the camera sees: the photo picker's
            // shutter takes it, and a scanning screen reads its codes.
            return onMain([image] {
                ns::UIImagePickerController::setCameraSource([image] { return image; });
                // The phone shows nothing when the picture holds no code, as
                // a camera would; the page's camera panel says so.
                size_t codes = 0;
                if (auto camera = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo)) {
                    codes = camera->showPicture(*image);
                }
                return Outcome{200, {}, {{"codes", codes}}};
            }, done);
        }
        onMain([this, image] {
            auto window = driver.window();
            auto picker = window ? std::dynamic_pointer_cast<ns::UIImagePickerController>(
                                       window->topmostViewController())
                                 : nullptr;
            if (!picker) return Outcome{409, "no hay ningún selector de fotos en la pantalla"};
            picker->pickImage(image);
            return Outcome{};
        }, done);
    }

    // The server's I/O thread: reads answer at once, input is answered
    // from the main queue.
    void handle(WebServer::Request request, const WebServer::Respond& respond) {
        const std::string& path = request.path;
        const bool get = request.method == "GET";
        const bool post = request.method == "POST";
        WebServer::Response response;
        // Input comes only from the page itself: a page of another
        // origin must not drive the app through a person's browser.
        const auto& origin = request.origin;
        const bool foreignOrigin = !origin.empty() && origin != "http://127.0.0.1:" + std::to_string(port) &&
                                   origin != "http://localhost:" + std::to_string(port);
        if (get && (path == "/" || path == "/index.html")) {
            response.contentType = "text/html; charset=utf-8";
            response.body = webPageHTML();
        } else if (get && path == "/screen.png") {
            response.contentType = "image/png";
            std::lock_guard lock(stateMutex);
            response.body.assign(png.begin(), png.end());
        } else if (get && path == "/album/latest.png") {
            // The last picture saved to the photo album (a shared screen).
            const auto paths = ns::UIPhotoAlbum::savedPicturePaths();
            std::ifstream file(paths.empty() ? std::string() : paths.back(), std::ios::binary);
            if (!file) {
                response.status = 404;
                response.contentType = "text/plain";
                response.body = "el álbum está vacío\n";
            } else {
                response.contentType = "image/png";
                response.headers.emplace_back("Content-Disposition", "attachment; filename=\"almavel.png\"");
                response.body.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            }
        } else if (get && path == "/state") {
            response.contentType = "application/json";
            response.body = snapshot().dump();
        } else if (post && foreignOrigin) {
            response.status = 403;
            response.contentType = "application/json";
            response.body = json{{"ok", false}, {"error", "origen ajeno"}}.dump();
        } else if (post) {
            act(path, std::move(request.body), [respond](Outcome outcome) {
                json answer{{"ok", outcome.status == 200}, {"error", outcome.error}};
                answer.update(outcome.detail);
                respond({outcome.status, "application/json", {}, answer.dump()});
            });
            return;
        } else {
            response.status = 404;
            response.contentType = "text/plain";
            response.body = "no encontrado\n";
        }
        respond(std::move(response));
    }

    int port = 0;
    // Last, so that it stops (its thread joined) before the state its
    // routes read goes.
    std::unique_ptr<WebServer> server;
};

WebHost::WebHost(AppDriver driver, WebServerLimits limits)
    : impl_(std::make_shared<Impl>(std::move(driver), limits)) {}

WebHost::~WebHost() { stop(); }

int WebHost::start(int port) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto& impl = *impl_;
    if (impl.server) throw std::logic_error("the web host is already started");
    // The server's thread is joined before the host goes, so its routes
    // may hold the host plainly.
    Impl* host = impl_.get();
    auto server = std::make_unique<WebServer>(
        impl.limits,
        [host](WebServer::Request request, const WebServer::Respond& respond) {
            host->handle(std::move(request), respond);
        },
        "/events", [host] { return host->event(); });
    impl.port = server->start(port);
    impl.server = std::move(server);

    impl.refresh(true);
    std::weak_ptr<Impl> weak = impl_;
    impl.timer = ns::Timer::scheduled(ns::RunLoop::main(), kRefreshInterval, true, [weak](ns::Timer&) {
        if (auto self = weak.lock()) self->refresh(false);
    });
    impl.consoleListener = AppConsole::addListener([weak](const std::string&) {
        if (auto self = weak.lock()) self->consoleWritten();
    });
    return impl.port;
}

void WebHost::stop() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto& impl = *impl_;
    if (!impl.server || impl.stopped) return;
    impl.stopped = true;
    if (impl.timer) impl.timer->invalidate();
    AppConsole::removeListener(impl.consoleListener);
    impl.server->stop();
}

std::size_t WebHost::openConnections() const { return impl_->server ? impl_->server->openConnections() : 0; }

void WebHost::refresh() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    impl_->refresh(true);
}

}  // namespace almavel
