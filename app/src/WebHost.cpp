#include "app/WebHost.h"

#include <sys/socket.h>

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "app/AppConsole.h"
#include "app/WebPage.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/runloop.h"
#include "uikit/AVFoundation.h"
#include "uikit/UserNotifications.h"
#include "uikit/renderer.h"

namespace almavel {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

namespace {

// How often the main loop looks for a changed screen, and how often it
// draws the screen even when its text and controls stayed the same (a
// picture may have arrived).
constexpr double kRefreshInterval = 0.2;
constexpr int kRedrawEveryTicks = 5;
// Bodies above this are refused: the largest is a camera picture.
constexpr size_t kMaxBody = 16 * 1024 * 1024;
// Server-sent events say they are alive this often.
constexpr auto kKeepAlive = std::chrono::seconds(15);

const char* kindName(ns::UIElement::Kind kind) {
    switch (kind) {
        case ns::UIElement::Kind::Button: return "button";
        case ns::UIElement::Kind::TextField: return "field";
        case ns::UIElement::Kind::TableRow: return "row";
    }
    return "button";
}

struct Outcome {
    int status = 200;
    std::string error;
};

}  // namespace

struct WebHost::Impl : std::enable_shared_from_this<WebHost::Impl> {
    explicit Impl(AppDriver d) : driver(std::move(d)) {}

    AppDriver driver;
    asio::io_context io;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::thread acceptThread;
    std::mutex connectionsMutex;
    struct Connection {
        std::shared_ptr<tcp::socket> socket;
        std::shared_ptr<std::atomic<bool>> ended;
        std::thread thread;
    };
    std::list<Connection> connections;
    std::atomic<bool> stopping{false};
    std::shared_ptr<ns::Timer> timer;
    uint64_t consoleListener = 0;

    // Published state, read by connection threads.
    std::mutex stateMutex;
    std::condition_variable changed;
    uint64_t version = 0;
    ns::Data png;
    json state = json::object();
    std::string fingerprint;
    int ticksSinceDraw = 0;

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
        const std::string print = text + elements.dump() + (ignoring ? "1" : "0") + appState;
        ns::Data picture;
        bool draw = forceDraw || ++ticksSinceDraw >= kRedrawEveryTicks;
        {
            std::lock_guard lock(stateMutex);
            draw = draw || print != fingerprint;
        }
        if (draw) {
            ticksSinceDraw = 0;
            picture = driver.screenshotPNG();
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
        state["screenText"] = text;
        state["elements"] = std::move(elements);
        changed.notify_all();
    }

    void consoleWritten() {
        std::lock_guard lock(stateMutex);
        changed.notify_all();
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

    // Runs `fn` on the main queue and waits for it (a stopped main loop
    // answers 503).
    Outcome onMain(std::function<Outcome()> fn) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto future = promise->get_future();
        auto self = shared_from_this();
        ns::DispatchQueue::main()->async([self, fn = std::move(fn), promise] {
            Outcome outcome;
            try {
                outcome = fn();
            } catch (const std::exception& e) {
                outcome = {500, e.what()};
            }
            self->refresh(true);
            promise->set_value(outcome);
        });
        // A host that is stopping (on the main thread) gives up at once
        // rather than holding stop() up.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (stopping || std::chrono::steady_clock::now() > deadline) return {503, "the app did not answer"};
        }
        return future.get();
    }

    Outcome driven(bool ok) { return ok ? Outcome{} : Outcome{409, driver.lastError()}; }

    Outcome act(const std::string& path, const std::string& body) {
        json in = json::parse(body.empty() ? "{}" : body, nullptr, false);
        if (path.rfind("/sensor/", 0) != 0 && !in.is_object()) return {400, "the body is not a JSON object"};
        auto str = [&](const char* key) {
            return in.is_object() && in.contains(key) && in[key].is_string() ? in[key].get<std::string>()
                                                                             : std::string();
        };
        auto num = [&](const char* key) {
            return in.is_object() && in.contains(key) && in[key].is_number_integer() ? in[key].get<int>() : 0;
        };
        if (path == "/tap") return onMain([this, name = str("name")] { return driven(driver.tap(name)); });
        if (path == "/type") {
            return onMain([this, name = str("name"), text = str("text")] { return driven(driver.type(name, text)); });
        }
        if (path == "/row") {
            return onMain([this, row = num("row"), section = num("section")] {
                return driven(driver.selectRow(row, section));
            });
        }
        if (path == "/alert") return onMain([this, title = str("title")] { return driven(driver.answerAlert(title)); });
        if (path == "/back") return onMain([this] { return driven(driver.back()); });
        if (path == "/sensor/notification") {
            ns::Value payload = ns::json::parse(body);
            if (!payload.isDictionary()) return {400, "a notification payload is a JSON object"};
            return onMain([payload] {
                ns::receiveRemoteNotification(payload.asDictionary());
                return Outcome{};
            });
        }
        if (path == "/sensor/background") {
            return onMain([] {
                ns::Application::shared()->enterBackground();
                return Outcome{};
            });
        }
        if (path == "/sensor/foreground") {
            return onMain([] {
                auto app = ns::Application::shared();
                app->enterForeground();
                app->becomeActive();
                return Outcome{};
            });
        }
        if (path == "/sensor/code") {
            // A code in front of the camera, with the symbology the camera
            // reports it as.
            if (!in.is_object()) return {400, "the body is not a JSON object"};
            return onMain([type = str("type"), text = str("text")] {
                auto camera = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo);
                if (!camera) return Outcome{409, "the device has no camera"};
                camera->showCode(type, text);
                return Outcome{};
            });
        }
        if (path == "/sensor/camera" || path == "/sensor/photo") {
            auto image = ns::UIImage::initWithData(ns::Data(body.begin(), body.end()));
            if (!image) return {400, "not a PNG or JPEG picture"};
            if (path == "/sensor/camera") {
                // The picture is what the camera sees: the photo picker's
                // shutter takes it, and a scanning screen reads its codes.
                return onMain([image] {
                    ns::UIImagePickerController::setCameraSource([image] { return image; });
                    if (auto camera = ns::AVCaptureDevice::defaultDeviceWithMediaType(ns::AVMediaTypeVideo)) {
                        camera->showPicture(*image);
                    }
                    return Outcome{};
                });
            }
            return onMain([this, image] {
                auto window = driver.window();
                auto picker = window ? std::dynamic_pointer_cast<ns::UIImagePickerController>(
                                           window->topmostViewController())
                                     : nullptr;
                if (!picker) return Outcome{409, "no photo picker on screen"};
                picker->pickImage(image);
                return Outcome{};
            });
        }
        return {404, "no such action"};
    }

    void serveEvents(tcp::socket& socket) {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
            "Connection: close\r\n\r\n";
        beast::error_code ec;
        asio::write(socket, asio::buffer(head), ec);
        uint64_t sentVersion = ~uint64_t(0);
        uint64_t sentConsole = ~uint64_t(0);
        while (!ec && !stopping) {
            uint64_t v;
            {
                std::unique_lock lock(stateMutex);
                changed.wait_for(lock, kKeepAlive, [&] {
                    return stopping || version != sentVersion || AppConsole::count() != sentConsole;
                });
                v = version;
            }
            if (stopping) break;
            const uint64_t c = AppConsole::count();
            std::string message;
            if (v == sentVersion && c == sentConsole) {
                message = ": alive\n\n";
            } else {
                message = "event: state\ndata: " + json{{"version", v}, {"consoleCount", c}}.dump() + "\n\n";
                sentVersion = v;
                sentConsole = c;
            }
            asio::write(socket, asio::buffer(message), ec);
        }
    }

    void serve(const std::shared_ptr<tcp::socket>& socket) {
        beast::flat_buffer buffer;
        beast::error_code ec;
        while (!stopping) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(kMaxBody);
            http::read(*socket, buffer, parser, ec);
            if (ec) break;
            auto request = parser.release();
            const std::string target(request.target());
            const std::string path = target.substr(0, target.find('?'));
            if (request.method() == http::verb::get && path == "/events") {
                serveEvents(*socket);
                break;
            }
            http::response<http::string_body> response;
            response.version(request.version());
            response.keep_alive(request.keep_alive());
            response.set(http::field::cache_control, "no-store");
            // Input comes only from the page itself: a page of another
            // origin must not drive the app through a person's browser.
            const auto origin = request[http::field::origin];
            const bool foreignOrigin = !origin.empty() && origin != "http://127.0.0.1:" + std::to_string(port) &&
                                       origin != "http://localhost:" + std::to_string(port);
            if (request.method() == http::verb::get && (path == "/" || path == "/index.html")) {
                response.set(http::field::content_type, "text/html; charset=utf-8");
                response.body() = webPageHTML();
            } else if (request.method() == http::verb::get && path == "/screen.png") {
                response.set(http::field::content_type, "image/png");
                std::lock_guard lock(stateMutex);
                response.body().assign(png.begin(), png.end());
            } else if (request.method() == http::verb::get && path == "/album/latest.png") {
                // The last picture saved to the photo album (a shared screen).
                const auto paths = ns::UIPhotoAlbum::savedPicturePaths();
                std::ifstream file(paths.empty() ? std::string() : paths.back(), std::ios::binary);
                if (!file) {
                    response.result(http::status::not_found);
                    response.set(http::field::content_type, "text/plain");
                    response.body() = "the album is empty\n";
                } else {
                    response.set(http::field::content_type, "image/png");
                    response.set(http::field::content_disposition, "attachment; filename=\"almavel.png\"");
                    response.body().assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
                }
            } else if (request.method() == http::verb::get && path == "/state") {
                response.set(http::field::content_type, "application/json");
                response.body() = snapshot().dump();
            } else if (request.method() == http::verb::post && foreignOrigin) {
                response.result(http::status::forbidden);
                response.set(http::field::content_type, "application/json");
                response.body() = json{{"ok", false}, {"error", "foreign origin"}}.dump();
            } else if (request.method() == http::verb::post) {
                const Outcome outcome = act(path, request.body());
                response.result(http::status(outcome.status));
                response.set(http::field::content_type, "application/json");
                response.body() = json{{"ok", outcome.status == 200}, {"error", outcome.error}}.dump();
            } else {
                response.result(http::status::not_found);
                response.set(http::field::content_type, "text/plain");
                response.body() = "not found\n";
            }
            response.prepare_payload();
            http::write(*socket, response, ec);
            if (ec || !response.keep_alive()) break;
        }
        socket->shutdown(tcp::socket::shutdown_both, ec);
    }

    void acceptLoop() {
        while (!stopping) {
            auto socket = std::make_shared<tcp::socket>(io);
            beast::error_code ec;
            acceptor->accept(*socket, ec);
            if (ec) {
                if (stopping) break;
                continue;
            }
            if (stopping) break;
            std::lock_guard lock(connectionsMutex);
            // Threads of connections that ended are joined here.
            for (auto it = connections.begin(); it != connections.end();) {
                if (*it->ended) {
                    it->thread.join();
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
            auto self = shared_from_this();
            auto ended = std::make_shared<std::atomic<bool>>(false);
            connections.push_back({socket, ended, std::thread([self, socket, ended] {
                                       self->serve(socket);
                                       *ended = true;
                                   })});
        }
    }

    int port = 0;
};

WebHost::WebHost(AppDriver driver) : impl_(std::make_shared<Impl>(std::move(driver))) {}

WebHost::~WebHost() { stop(); }

int WebHost::start(int port) {
    auto& impl = *impl_;
    beast::error_code ec;
    impl.acceptor = std::make_unique<tcp::acceptor>(impl.io);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    impl.acceptor->open(endpoint.protocol(), ec);
    if (!ec) impl.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) impl.acceptor->bind(endpoint, ec);
    if (!ec) impl.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message());
    impl.port = impl.acceptor->local_endpoint().port();

    impl.refresh(true);
    std::weak_ptr<Impl> weak = impl_;
    impl.timer = ns::Timer::scheduled(ns::RunLoop::main(), kRefreshInterval, true, [weak](ns::Timer&) {
        if (auto self = weak.lock()) self->refresh(false);
    });
    impl.consoleListener = AppConsole::addListener([weak](const std::string&) {
        if (auto self = weak.lock()) self->consoleWritten();
    });
    impl.acceptThread = std::thread([self = impl_] { self->acceptLoop(); });
    return impl.port;
}

void WebHost::stop() {
    auto& impl = *impl_;
    if (!impl.acceptor || impl.stopping.exchange(true)) return;
    if (impl.timer) impl.timer->invalidate();
    AppConsole::removeListener(impl.consoleListener);
    beast::error_code ec;
    // The accept thread is inside the acceptor: it is woken by shutting the
    // listening socket down (or, where that does not wake it, by a
    // connection of our own) and the acceptor is closed only once that
    // thread is gone, since asio objects are not safe to use from two
    // threads at once.
    ::shutdown(impl.acceptor->native_handle(), SHUT_RDWR);
    {
        tcp::socket poke(impl.io);
        poke.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(impl.port)), ec);
    }
    if (impl.acceptThread.joinable()) impl.acceptThread.join();
    impl.acceptor->close(ec);
    {
        std::lock_guard lock(impl.stateMutex);
        impl.changed.notify_all();
    }
    std::list<Impl::Connection> connections;
    {
        std::lock_guard lock(impl.connectionsMutex);
        connections.swap(impl.connections);
    }
    for (auto& connection : connections) {
        // Wakes a thread blocked reading the next request.
        connection.socket->shutdown(tcp::socket::shutdown_both, ec);
        if (connection.thread.joinable()) connection.thread.join();
    }
}

void WebHost::refresh() { impl_->refresh(true); }

}  // namespace almavel
