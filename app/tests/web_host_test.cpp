#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>

#include "app/PageInput.h"
#include "app/WebHost.h"
#include "app/WebServer.h"
#include "app_test_support.h"

namespace {

using json = nlohmann::json;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

// Raw HTTP, for what a library client would not send: a foreign or missing
// Host, half a request. Reads give up after 10 s, so a server that never
// answers or never closes fails the test instead of hanging it.
class RawClient {
public:
    explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval wait{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const auto address = loopback(port);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool send(const std::string& bytes) {
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Until `text` has arrived; false when the server closed or went quiet first.
    bool readUntil(const std::string& text) {
        while (received.find(text) == std::string::npos) {
            if (!readSome()) return false;
        }
        return true;
    }
    // Until the server closes; false when it went quiet for 10 s first.
    bool readToEnd() {
        while (readSome()) {
        }
        return closed;
    }

    std::string received;
    bool closed = false;

private:
    bool readSome() {
        std::array<char, 16 * 1024> chunk;
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
            if (n > 0) {
                received.append(chunk.data(), size_t(n));
                return true;
            }
            if (n < 0 && errno == EINTR) continue;
            closed = n == 0 || errno == ECONNRESET;
            return false;
        }
    }

    int fd_;
    bool connected_ = false;
};

// The host answers on connection threads but acts on the main queue, so
// requests are made from another thread while the test pumps the main loop.
class WebHostTest : public apptest::AppTest {
protected:
    WebHostTest() : AppTest(false) {}
    void SetUp() override {
        AppTest::SetUp();
        launch();
        host = std::make_unique<almavel::WebHost>(driver);
        port = host->start(0);
    }
    void TearDown() override {
        host->stop();
        AppTest::TearDown();
    }

    httplib::Result request(const std::string& method, const std::string& path, const std::string& body = "{}",
                            httplib::Headers headers = {}) {
        auto answer = std::async(std::launch::async, [=, this] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30);
            return method == "GET" ? client.Get(path, headers) : client.Post(path, headers, body, "application/json");
        });
        EXPECT_TRUE(waitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return answer.get();
    }

    // A request made with a raw client on another thread while the main
    // loop runs; what the server sent before closing.
    std::string exchange(const std::string& raw) {
        auto answer = std::async(std::launch::async, [=, this] {
            RawClient client(port);
            client.send(raw);
            client.readToEnd();
            return client.received;
        });
        EXPECT_TRUE(waitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return answer.get();
    }

    void restart(const almavel::WebServerLimits& limits) {
        host->stop();
        host = std::make_unique<almavel::WebHost>(driver, limits);
        port = host->start(0);
    }

    std::unique_ptr<almavel::WebHost> host;
    int port = 0;
};

TEST_F(WebHostTest, ThePageTheScreenAndTheStateAreServed) {
    auto page = request("GET", "/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("EventSource(\"/events\")"), std::string::npos);

    auto png = request("GET", "/screen.png");
    ASSERT_TRUE(png);
    EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(png->body.substr(1, 3), "PNG");

    auto state = request("GET", "/state");
    ASSERT_TRUE(state);
    const json s = json::parse(state->body);
    std::vector<std::string> names;
    for (const auto& e : s["elements"]) names.push_back(e["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"txtUser", "txtPass", "logIn", "forgotPass", "signUp"}));
    EXPECT_EQ(s["elements"][1]["secure"], true);
    EXPECT_EQ(s["ignoring"], false);
}

TEST_F(WebHostTest, InputIsRefusedWhileTheAppIgnoresItAndFromAnotherOrigin) {
    auto typed = request("POST", "/type", R"({"name":"txtUser","text":"ana@almavel.pa"})");
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->status, 200) << typed->body;
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "ana@almavel.pa");

    ns::Application::shared()->beginIgnoringInteractionEvents();
    auto refused = request("POST", "/type", R"({"name":"txtUser","text":"otra"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 409);
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "ana@almavel.pa");
    EXPECT_EQ(json::parse(request("GET", "/state")->body)["ignoring"], true);
    ns::Application::shared()->endIgnoringInteractionEvents();

    auto foreign = request("POST", "/type", R"({"name":"txtUser","text":"x"})", {{"Origin", "http://example.com"}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    auto own = request("POST", "/type", R"({"name":"txtUser","text":"y"})",
                       {{"Origin", "http://127.0.0.1:" + std::to_string(port)}});
    ASSERT_TRUE(own);
    EXPECT_EQ(own->status, 200);
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "y");

    auto unknown = request("POST", "/tap", R"({"name":"noSuchButton"})");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 409);
    EXPECT_NE(unknown->body.find("noSuchButton"), std::string::npos);
}

// A tap names the screen the page saw its control on: a double click whose
// second click would land on the next screen's control is refused, in the
// page's Spanish, and does nothing.
TEST_F(WebHostTest, ATapAimedAtAScreenNoLongerShownIsRefused) {
    auto screen = [&] { return json::parse(request("GET", "/state")->body)["screen"].get<uint64_t>(); };
    const uint64_t signIn = screen();
    auto tap = [&](const std::string& name, uint64_t aimedAt) {
        return request("POST", "/tap", json{{"name", name}, {"screen", aimedAt}}.dump());
    };
    auto opened = tap("signUp", signIn);
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->status, 200) << opened->body;
    ASSERT_TRUE(driver.waitUntilIdle());
    const uint64_t signUp = screen();
    ASSERT_NE(signUp, signIn);
    const std::string shown = driver.screenText();

    struct Case {
        const char* path;
        json body;
    };
    const Case stale[] = {
        {"/tap", {{"name", "Cancelar"}, {"screen", signIn}}},
        {"/type", {{"name", "txtNombre"}, {"text", "Ana"}, {"screen", signIn}}},
        {"/row", {{"row", 0}, {"section", 0}, {"screen", signIn}}},
    };
    for (const auto& c : stale) {
        auto refused = request("POST", c.path, c.body.dump());
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 409) << c.path;
        EXPECT_NE(refused->body.find("la pantalla cambió"), std::string::npos) << refused->body;
        EXPECT_EQ(driver.screenText(), shown) << c.path;
    }
    auto unknown = tap("noSuchButton", signUp);
    EXPECT_EQ(json::parse(unknown->body)["error"], "no hay nada llamado «noSuchButton» que se pueda tocar");
    auto back = tap("Cancelar", signUp);
    EXPECT_EQ(back->status, 200) << back->body;
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(screen(), signUp);
}

TEST_F(WebHostTest, TheSensorPanelDeliversANotificationAndMovesTheAppToTheBackground) {
    almavel::AppConsole::clear();
    auto delivered = request("POST", "/sensor/notification", R"({"aps":{"alert":"Hola"},"kdx.message_id":"w-1"})");
    ASSERT_TRUE(delivered);
    EXPECT_EQ(delivered->status, 200) << delivered->body;
    EXPECT_TRUE(apptest::consoleHas("Message ID: w-1"));

    EXPECT_EQ(request("POST", "/sensor/notification", "[1]")->status, 400);
    EXPECT_EQ(request("POST", "/sensor/background")->status, 200);
    EXPECT_EQ(ns::Application::shared()->applicationState(), ns::Application::State::Background);
    EXPECT_EQ(request("POST", "/sensor/foreground")->status, 200);
    EXPECT_EQ(ns::Application::shared()->applicationState(), ns::Application::State::Active);
    // No picker on screen to take a photo.
    EXPECT_EQ(request("POST", "/sensor/photo", "not a picture")->status, 400);
}

}  // namespace

namespace {

std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

TEST_F(WebHostTest, OnlyTheLoopbacksNamesAreAnsweredWhateverTheRoute) {
    const std::string p = std::to_string(port);
    // `host` empty: no Host header.
    auto ask = [&](const std::string& line, const std::string& host) {
        const bool post = line.rfind("POST", 0) == 0;
        const std::string body = post ? R"({"name":"noSuchButton"})" : "";
        std::string raw = line + "\r\n";
        if (!host.empty()) raw += "Host: " + host + "\r\n";
        if (post) raw += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return exchange(raw + "Connection: close\r\n\r\n" + body);
    };
    const std::vector<std::string> routes = {"GET / HTTP/1.1", "GET /state HTTP/1.1", "GET /screen.png HTTP/1.1",
                                             "GET /events HTTP/1.1", "POST /tap HTTP/1.1"};
    for (const std::string& host : std::vector<std::string>{"evil.example:8080", "evil.example",
                                                            "127.0.0.1.evil.example:" + p, "localhost:1",
                                                            "127.0.0.2:" + p, "localhost:", ""}) {
        for (const auto& route : routes) {
            const std::string answer = ask(route, host);
            EXPECT_EQ(statusLine(answer), "HTTP/1.1 403 Forbidden") << route << " Host: " << host;
            EXPECT_EQ(answer.find("screenText"), std::string::npos) << route << " Host: " << host;
        }
    }
    for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + p, "localhost:" + p, "LocalHost:" + p,
                                                            "[::1]:" + p, "127.0.0.1", "localhost"}) {
        const std::string state = ask("GET /state HTTP/1.1", host);
        EXPECT_EQ(statusLine(state), "HTTP/1.1 200 OK") << host;
        EXPECT_NE(state.find("screenText"), std::string::npos) << host;
        // The route itself answers: there is no such button.
        EXPECT_EQ(statusLine(ask("POST /tap HTTP/1.1", host)), "HTTP/1.1 409 Conflict") << host;
    }
    // HTTP/1.0 has no Host to require.
    EXPECT_EQ(statusLine(ask("GET /state HTTP/1.0", "")), "HTTP/1.0 200 OK");
}

TEST_F(WebHostTest, ARequestThatStallsIsCutOffAfterTheTimeOut) {
    almavel::WebServerLimits limits;
    limits.ioTimeout = std::chrono::milliseconds(300);
    restart(limits);
    const std::string named = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    // Half a head; a whole head and part of its body.
    for (const std::string& partial :
         std::vector<std::string>{"GET /state HTTP/1.1\r\n" + named,
                                  "POST /tap HTTP/1.1\r\n" + named + "Content-Length: 100\r\n\r\n{\"name\""}) {
        RawClient client(port);
        ASSERT_TRUE(client.send(partial));
        EXPECT_TRUE(client.readToEnd()) << partial;
        EXPECT_EQ(client.received, "") << partial;
    }
    EXPECT_TRUE(waitFor([&] { return host->openConnections() == 0; }));
}

TEST_F(WebHostTest, EveryListenerHearsAChangeAndStopClosesThem) {
    const std::string request = "GET /events HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> listeners;
    for (int i = 0; i < 3; ++i) {
        listeners.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(listeners.back()->send(request));
        ASSERT_TRUE(listeners.back()->readUntil("event: state")) << listeners.back()->received;
    }
    const uint64_t written = almavel::AppConsole::count() + 1;
    almavel::AppConsole::write("hola");
    for (auto& listener : listeners) {
        EXPECT_TRUE(listener->readUntil("\"consoleCount\":" + std::to_string(written))) << listener->received;
    }
    host->stop();
    for (auto& listener : listeners) EXPECT_TRUE(listener->readToEnd());
}

// Whether the process has no descriptor left to give.
bool outOfDescriptors() {
    const int fd = ::dup(STDERR_FILENO);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EMFILE;
}

// Another process, whose descriptors are not the host's, opens idle
// connections to the host and, when told, closes them all; told again, it
// asks for /state. Asking from there matters: a descriptor this process
// freed would let a host stuck on exhausted descriptors accept again. Only
// system calls run there (this process has threads).
class IdleClients {
public:
    static constexpr int kCount = 1100;

    explicit IdleClients(int port) {
        const std::string ask = "GET /state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
        const auto address = loopback(port);
        if (::pipe(ready_) != 0 || ::pipe(go_) != 0) return;
        child_ = ::fork();
        if (child_ != 0) {
            ::close(ready_[1]);
            ::close(go_[0]);
            return;
        }
        ::close(ready_[0]);
        ::close(go_[1]);
        rlimit all{};
        ::getrlimit(RLIMIT_NOFILE, &all);
        all.rlim_cur = all.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &all);
        auto connect = [&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        };
        std::array<int, kCount> fds{};
        int opened = 0;
        while (opened < kCount && (fds[size_t(opened)] = connect()) >= 0) ++opened;
        char flag = opened == kCount ? 1 : 0;
        (void)!::write(ready_[1], &flag, 1);
        (void)!::read(go_[0], &flag, 1);
        for (int i = 0; i < opened; ++i) ::close(fds[size_t(i)]);
        flag = 1;
        (void)!::write(ready_[1], &flag, 1);
        (void)!::read(go_[0], &flag, 1);
        // The answer's status line, however long it takes: the host first
        // accepts and refuses every connection still queued ahead of this
        // one, which on a loaded machine takes longer than any fixed wait
        // here would allow. The test's own wait for the answer bounds it.
        char head[12] = {};
        size_t got = 0;
        const int fd = connect();
        if (fd >= 0 && ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) == ssize_t(ask.size())) {
            pollfd readable{fd, POLLIN, 0};
            while (got < sizeof head && ::poll(&readable, 1, -1) == 1) {
                const ssize_t n = ::recv(fd, head + got, sizeof head - got, 0);
                if (n <= 0) break;
                got += size_t(n);
            }
        }
        flag = got == sizeof head && std::string_view(head, sizeof head) == "HTTP/1.1 200" ? 1 : 0;
        (void)!::write(ready_[1], &flag, 1);
        ::_exit(0);
    }
    ~IdleClients() {
        if (child_ <= 0) return;
        ::close(go_[1]);
        ::kill(child_, SIGKILL);
        int status = 0;
        ::waitpid(child_, &status, 0);
        ::close(ready_[0]);
    }
    IdleClients(const IdleClients&) = delete;
    IdleClients& operator=(const IdleClients&) = delete;

    // Whether every connection was made (the host's backlog takes them
    // whether or not it accepts).
    bool opened() { return heard(); }
    // Whether every connection was closed.
    bool closeAll() { return go() && heard(); }
    // Whether /state was answered.
    bool ask() { return go() && heard(); }

private:
    bool go() {
        const char go = 1;
        return child_ > 0 && ::write(go_[1], &go, 1) == 1;
    }
    bool heard() {
        pollfd readable{ready_[0], POLLIN, 0};
        char flag = 0;
        return child_ > 0 && ::poll(&readable, 1, 60'000) == 1 && ::read(ready_[0], &flag, 1) == 1 && flag == 1;
    }

    int ready_[2] = {-1, -1};
    int go_[2] = {-1, -1};
    pid_t child_ = -1;
};

// More idle connections than the host may hold, all closed: the host must
// then answer again. It used to keep every finished socket until its next
// accept, which exhausted descriptors never let happen, and spun on the
// failing accept.
TEST_F(WebHostTest, ThePageAnswersAgainOnceMoreIdleConnectionsThanItMayHoldHaveClosed) {
    const std::size_t cap = almavel::WebServerLimits{}.maxConnections;
    struct Case {
        const char* what;
        std::size_t descriptorsAbove;  // over those in use now
        std::function<bool()> full;  // the host holds all it may
    };
    // The cap's case goes first: the sanitizer's dynamic-type check probes
    // memory through a pipe the first time it meets a type, so the types
    // the exhausted host meets are best met while descriptors are free (the
    // host's own files are built without that check, the code it calls is
    // not).
    // Analytics starts beside the app on its own queues; it meets its types
    // before the squeeze, not during it.
    apptest::settleAnalytics();
    const std::vector<Case> cases = {
        {"the cap is reached first", cap + 64, [&] { return host->openConnections() == cap; }},
        {"descriptors run out first", cap / 2, outOfDescriptors},
    };
    for (const auto& c : cases) {
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const auto inUse = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                         std::filesystem::directory_iterator{});
        rlimit tight = saved;
        tight.rlim_cur = std::min<rlim_t>(saved.rlim_max, rlim_t(inUse) + c.descriptorsAbove);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        struct Restore {
            rlimit limit;
            ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
        } restore{saved};

        IdleClients clients(port);
        EXPECT_TRUE(clients.opened()) << c.what;
        EXPECT_TRUE(waitFor(c.full)) << c.what;
        EXPECT_TRUE(clients.closeAll()) << c.what;
        // Asked before the host has seen every close, a full host rightly
        // refuses: the question is whether it answers once they are gone.
        EXPECT_TRUE(waitFor([&] { return host->openConnections() == 0; })) << c.what;
        EXPECT_TRUE(clients.ask()) << c.what;
        EXPECT_TRUE(waitFor([&] { return host->openConnections() == 0; })) << c.what;
    }
}

// What a POST asks, read before the app sees it: each route's input and each
// refusal, with the exact wording the page shows.
TEST(PageInputTest, EachRouteReadsItsInputOrItsRefusal) {
    using almavel::PageInput;
    struct Case {
        std::string path, body;
        int status;  // 0: read as input of `kind`
        PageInput::Kind kind;
        std::string detail;  // the refusal, or the input's name / text / row
    };
    const Case cases[] = {
        {"/tap", R"({"name":"Cotizar","screen":3})", 0, PageInput::Kind::Tap, "Cotizar"},
        {"/type", R"({"name":"email","text":"a@b"})", 0, PageInput::Kind::Type, "a@b"},
        {"/row", R"({"row":4,"section":1})", 0, PageInput::Kind::Row, "4"},
        {"/alert", R"({"title":"Aceptar"})", 0, PageInput::Kind::Alert, "Aceptar"},
        {"/back", "", 0, PageInput::Kind::Back, ""},
        {"/scroll", R"({"step":"top"})", 0, PageInput::Kind::Scroll, ""},
        {"/scroll", R"({"x":1,"dy":-2})", 0, PageInput::Kind::ScrollAt, ""},
        {"/sensor/code", R"({"type":"ean13","text":"84"})", 0, PageInput::Kind::Code, "84"},
        {"/sensor/photo", "\x89PNG", 0, PageInput::Kind::Picture, "\x89PNG"},
        {"/sensor/background", "not json", 0, PageInput::Kind::Background, ""},
        {"/tap", "[1]", 400, {}, "el cuerpo no es un objeto JSON"},
        {"/scroll", R"({"step":"sideways"})", 400, {}, "no existe ese paso de desplazamiento"},
        {"/sensor/notification", "[]", 400, {}, "la carga de una notificación debe ser un objeto JSON"},
        {"/sensor/code", "\"x\"", 400, {}, "el cuerpo no es un objeto JSON"},
        {"/jump", "{}", 404, {}, "no existe esa acción"},
        {"/sensor/smell", "{}", 404, {}, "no existe esa acción"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.body);
        const auto read = almavel::readPageInput(c.path, c.body);
        if (c.status) {
            ASSERT_TRUE(std::holds_alternative<almavel::PageRefusal>(read));
            EXPECT_EQ(std::get<almavel::PageRefusal>(read).status, c.status);
            EXPECT_EQ(std::get<almavel::PageRefusal>(read).error, c.detail);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<PageInput>(read));
        const auto& in = std::get<PageInput>(read);
        EXPECT_EQ(in.kind, c.kind);
        if (in.kind == PageInput::Kind::Row) {
            EXPECT_EQ(std::to_string(in.row) + "/" + std::to_string(in.section), "4/1");
        }
        if (in.kind == PageInput::Kind::Tap || in.kind == PageInput::Kind::Alert) {
            EXPECT_EQ(in.name, c.detail);
        }
        if (in.kind == PageInput::Kind::Type || in.kind == PageInput::Kind::Code || in.kind == PageInput::Kind::Picture) {
            EXPECT_EQ(in.text, c.detail);
        }
    }
    const auto tap = std::get<PageInput>(almavel::readPageInput("/tap", R"({"name":"x","screen":3})"));
    EXPECT_EQ(tap.screen, std::optional<uint64_t>(3));
    EXPECT_FALSE(std::get<PageInput>(almavel::readPageInput("/tap", R"({"screen":-3})")).screen);
    const auto drag = std::get<PageInput>(almavel::readPageInput("/scroll", R"({"x":1,"dy":-2})"));
    EXPECT_EQ(drag.point, (ns::CGPoint{1, 0}));
    EXPECT_EQ(drag.delta, (ns::CGPoint{0, -2}));
}

TEST(PageInputTest, OnlyTheLoopbacksNamesAreTakenAsHosts) {
    for (const char* host : {"127.0.0.1", "127.0.0.1:8080", "LocalHost:8080", "localhost", "[::1]:8080", "[::1]"}) {
        EXPECT_TRUE(almavel::WebServer::isLoopbackHost(host, 8080)) << host;
    }
    for (const char* host : {"", "127.0.0.1:8081", "localhost:", "evil.example", "[::1", "[::1]x", "127.0.0.1.evil"}) {
        EXPECT_FALSE(almavel::WebServer::isLoopbackHost(host, 8080)) << host;
    }
}

}  // namespace
