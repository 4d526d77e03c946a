// 64 MB of 1 MB text messages over loopback TCP: through the web socket's
// frame parsing and UTF-8 check to its delegate (receive), and out as masked
// frames (send), each against raw reads / writes of the same bytes on the
// same kind of connection, measured in the same run ("ratio" = web-socket
// time / raw time). Boost.Beast's client does the same transfers for
// comparison (its "ratio" is against the same raw baseline).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "database/connection/FSRWebSocket.h"
#include "platform/crypto.h"

namespace {

constexpr size_t kMessageSize = 1024 * 1024;
constexpr size_t kMessages = 64;

// What the database sends: JSON of store products, mostly ASCII with the
// odd accented letter.
std::string messageText() {
    std::string text = "{";
    const char* names[] = {"Café molido", "Azúcar morena", "Leche entera", "Pan de trigo", "Jamón serrano",
                           "Aceite de oliva", "Piña en almíbar", "Arroz largo"};
    for (size_t i = 0; text.size() < kMessageSize - 256; ++i) {
        text += (i ? ",\"" : "\"") + std::to_string(7450000000 + i) + "\":{\"Descripcion\":\"" + names[i % 8] +
                " " + std::to_string(i) + "\",\"Precio\":" + std::to_string(1 + i % 97) +
                ".25,\"Existencia\":" + std::to_string(i % 13) + ",\"Oferta\":" + (i % 3 ? "false" : "true") + "}";
    }
    text += "}";
    text.append(kMessageSize - text.size(), ' ');
    return text;
}

std::string serverFrames(const std::string& text) {
    std::string header;
    header += char(0x81);
    header += char(127);
    for (int i = 7; i >= 0; --i) header += char((uint64_t(text.size()) >> (8 * i)) & 0xFF);
    std::string all;
    all.reserve(kMessages * (header.size() + text.size()));
    for (size_t i = 0; i < kMessages; ++i) all += header + text;
    return all;
}

// Bytes a client's masked frames of the messages take on the wire.
size_t clientFrameBytes(const std::string& text) { return kMessages * (text.size() + 14); }

void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        data += n;
        size -= size_t(n);
    }
}

size_t readCount(int fd, size_t want) {
    std::vector<char> buffer(256 * 1024);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

// One connection at a time on 127.0.0.1, doing what the next run needs.
class Server {
public:
    enum class Mode { RawSend, RawReceive, WebSocketSend, WebSocketReceive };

    Server() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 8) != 0) {
            throw std::runtime_error("cannot listen");
        }
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Server() { ::close(listener_); }
    int port() const { return port_; }

    // Serves one connection on a thread; wait() joins it.
    void serveOne(Mode mode, const std::string* frames, size_t expectBytes) {
        thread_ = std::thread([=, this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            int yes = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            if (mode == Mode::WebSocketSend || mode == Mode::WebSocketReceive) handshake(fd);
            if (mode == Mode::RawSend || mode == Mode::WebSocketSend) {
                writeAll(fd, frames->data(), frames->size());
                ::shutdown(fd, SHUT_WR);
                readCount(fd, SIZE_MAX);  // until the client hangs up
            } else {
                received_ = readCount(fd, expectBytes);
            }
            ::close(fd);
        });
    }
    size_t wait() {
        thread_.join();
        return received_;
    }

private:
    static void handshake(int fd) {
        std::string request;
        char c;
        while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
            if (::recv(fd, &c, 1, 0) != 1) return;
            request += c;
        }
        std::string key;
        const auto at = request.find("Sec-WebSocket-Key: ");
        if (at != std::string::npos) key = request.substr(at + 19, request.find("\r\n", at) - at - 19);
        if (key.empty()) {
            const auto lower = request.find("sec-websocket-key: ");
            if (lower != std::string::npos) key = request.substr(lower + 19, request.find("\r\n", lower) - lower - 19);
        }
        const std::string accept =
            ns::crypto::base64Encode(ns::crypto::sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
        const std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                     "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
        writeAll(fd, response.data(), response.size());
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    size_t received_ = 0;
};

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("connect");
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class CountingDelegate : public FSRWebSocketDelegate {
public:
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) override {
        std::lock_guard lock(mutex);
        bytes += message.asString().size();
        ++messages;
        // The waiting thread is woken once for the whole transfer: woken for
        // each message, its wake-ups were counted in the web socket's time.
        if (messages >= wakeAtMessages) cv.notify_all();
    }
    void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) override {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::ErrorRef& error) override {
        std::lock_guard lock(mutex);
        failed = true;
        cv.notify_all();
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, int64_t code, const std::optional<std::string>& reason,
                   bool) override {
        std::lock_guard lock(mutex);
        closeText = std::to_string(code) + " " + reason.value_or("");
        closed = true;
        cv.notify_all();
    }
    template <class Pred>
    void waitFor(Pred pred) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return pred() || failed || closed; });
        if (failed) throw std::runtime_error("the web socket failed");
        if (!pred()) {
            throw std::runtime_error("the web socket closed after " + std::to_string(messages) + " messages: " + closeText);
        }
    }
    std::mutex mutex;
    std::condition_variable cv;
    size_t bytes = 0, messages = 0;
    size_t wakeAtMessages = 1;
    bool open = false, failed = false, closed = false;
    std::string closeText;
};

struct Fixture {
    Server server;
    std::string text = messageText();
    std::string frames = serverFrames(text);
    ns::DispatchQueuePtr queue = ns::DispatchQueue::serial("bench.websocket.delegate");

    std::string url() const { return "ws://bench.localhost:" + std::to_string(server.port()) + "/"; }

    double rawReceive() {
        server.serveOne(Server::Mode::RawSend, &frames, 0);
        const auto start = std::chrono::steady_clock::now();
        const int fd = connectTo(server.port());
        const size_t got = readCount(fd, frames.size());
        const double t = seconds(start);
        ::close(fd);
        server.wait();
        if (got != frames.size()) throw std::runtime_error("short raw read");
        return t;
    }
    double rawSend() {
        const size_t bytes = clientFrameBytes(text);
        std::string payload(bytes, 'x');
        server.serveOne(Server::Mode::RawReceive, nullptr, bytes);
        const auto start = std::chrono::steady_clock::now();
        const int fd = connectTo(server.port());
        writeAll(fd, payload.data(), payload.size());
        ::shutdown(fd, SHUT_WR);
        const size_t got = server.wait();
        const double t = seconds(start);
        ::close(fd);
        if (got != bytes) throw std::runtime_error("short raw write");
        return t;
    }
    double webSocketReceive() {
        server.serveOne(Server::Mode::WebSocketSend, &frames, 0);
        auto delegate = std::make_shared<CountingDelegate>();
        delegate->wakeAtMessages = kMessages;
        const auto start = std::chrono::steady_clock::now();
        auto socket = FSRWebSocket::make(ns::URLRequest(url()), queue, std::nullopt);
        socket->setDelegate(delegate);
        socket->open();
        delegate->waitFor([&] { return delegate->messages == kMessages; });
        const double t = seconds(start);
        socket->close();
        server.wait();
        if (delegate->bytes != kMessages * text.size()) throw std::runtime_error("short web-socket read");
        return t;
    }
    double webSocketSend() {
        const size_t bytes = clientFrameBytes(text);
        server.serveOne(Server::Mode::WebSocketReceive, nullptr, bytes);
        auto delegate = std::make_shared<CountingDelegate>();
        const auto start = std::chrono::steady_clock::now();
        auto socket = FSRWebSocket::make(ns::URLRequest(url()), queue, std::nullopt);
        socket->setDelegate(delegate);
        socket->open();
        delegate->waitFor([&] { return delegate->open; });
        const ns::Value message(text);
        for (size_t i = 0; i < kMessages; ++i) socket->send(message);
        const size_t got = server.wait();
        const double t = seconds(start);
        socket->close();
        if (got != bytes) throw std::runtime_error("short web-socket write");
        return t;
    }
    double beastReceive() {
        namespace beast = boost::beast;
        server.serveOne(Server::Mode::WebSocketSend, &frames, 0);
        const auto start = std::chrono::steady_clock::now();
        boost::asio::io_context io;
        beast::websocket::stream<boost::asio::ip::tcp::socket> ws(io);
        ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), uint16_t(server.port())});
        ws.next_layer().set_option(boost::asio::ip::tcp::no_delay(true));
        ws.read_message_max(0);
        ws.handshake("bench.localhost", "/");
        size_t bytes = 0;
        for (size_t i = 0; i < kMessages; ++i) {
            beast::flat_buffer buffer;
            ws.read(buffer);
            bytes += buffer.size();
        }
        const double t = seconds(start);
        ws.next_layer().close();
        server.wait();
        if (bytes != kMessages * text.size()) throw std::runtime_error("short Beast read");
        return t;
    }
    double beastSend() {
        namespace beast = boost::beast;
        const size_t bytes = clientFrameBytes(text);
        server.serveOne(Server::Mode::WebSocketReceive, nullptr, bytes);
        const auto start = std::chrono::steady_clock::now();
        boost::asio::io_context io;
        beast::websocket::stream<boost::asio::ip::tcp::socket> ws(io);
        ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), uint16_t(server.port())});
        ws.next_layer().set_option(boost::asio::ip::tcp::no_delay(true));
        ws.handshake("bench.localhost", "/");
        ws.auto_fragment(false);
        ws.text(true);
        for (size_t i = 0; i < kMessages; ++i) ws.write(boost::asio::buffer(text));
        const size_t got = server.wait();
        const double t = seconds(start);
        ws.next_layer().close();
        if (got != bytes) throw std::runtime_error("short Beast write");
        return t;
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture;
    return *f;
}

template <double (Fixture::*Subject)(), double (Fixture::*Baseline)()>
void runAgainstRaw(benchmark::State& state) {
    Fixture& f = fixture();
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        const double s = (f.*Subject)();
        const double b = (f.*Baseline)();
        subject += s;
        baseline += b;
        state.SetIterationTime(s);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["MB/s"] = double(kMessages * kMessageSize) * double(state.iterations()) / subject / 1e6;
    state.counters["raw MB/s"] = double(kMessages * kMessageSize) * double(state.iterations()) / baseline / 1e6;
    state.SetBytesProcessed(int64_t(state.iterations() * kMessages * kMessageSize));
}

void WebSocketReceive64MB(benchmark::State& state) {
    runAgainstRaw<&Fixture::webSocketReceive, &Fixture::rawReceive>(state);
}
void WebSocketSend64MB(benchmark::State& state) { runAgainstRaw<&Fixture::webSocketSend, &Fixture::rawSend>(state); }
void BeastReceive64MB(benchmark::State& state) { runAgainstRaw<&Fixture::beastReceive, &Fixture::rawReceive>(state); }
void BeastSend64MB(benchmark::State& state) { runAgainstRaw<&Fixture::beastSend, &Fixture::rawSend>(state); }

BENCHMARK(WebSocketReceive64MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(WebSocketSend64MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BeastReceive64MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BeastSend64MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
