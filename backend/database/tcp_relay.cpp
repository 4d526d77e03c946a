// The database's alternate port: connections relayed byte for byte to the
// web-socket port, asynchronously on one thread of the relay's own.

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <condition_variable>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "backend/core/loopback_listener.h"
#include "backend/database/rtdb_server.h"

namespace backend::rtdb {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// Relayed connections at once; more are closed on accept.
constexpr std::size_t kMaxRelayed = 1024;

}  // namespace

struct TcpRelay::Impl : std::enable_shared_from_this<TcpRelay::Impl> {
    // One relayed connection: the client's socket and the one to the target,
    // each direction copied on its own (a half-close is passed on); it ends
    // when both directions have.
    struct Pair : std::enable_shared_from_this<Pair> {
        Pair(Impl& relay, tcp::socket client) : relay(relay), sockets{std::move(client), tcp::socket(relay.io)} {}
        ~Pair() {
            std::lock_guard lock(relay.mutex);
            relay.pairs.erase(this);
            if (relay.pairs.empty()) relay.idle.notify_all();
        }

        void start(int port) {
            const tcp::endpoint target(net::ip::make_address("127.0.0.1"), uint16_t(port));
            sockets[1].async_connect(target, [self = shared_from_this()](boost::system::error_code ec) {
                if (ec) return self->close();
                boost::system::error_code ignored;
                self->sockets[0].set_option(tcp::no_delay(true), ignored);
                self->sockets[1].set_option(tcp::no_delay(true), ignored);
                self->copy(0);
                self->copy(1);
            });
        }

        // Reads from sockets[from] and writes to the other.
        void copy(int from) {
            sockets[from].async_read_some(
                net::buffer(buffers[from]), [self = shared_from_this(), from](boost::system::error_code ec, std::size_t n) {
                    const int to = 1 - from;
                    if (ec) {
                        boost::system::error_code ignored;
                        if (ec == net::error::eof) {
                            self->sockets[to].shutdown(tcp::socket::shutdown_send, ignored);
                            if (++self->ended == 2) self->close();
                        } else {
                            self->close();
                        }
                        return;
                    }
                    net::async_write(self->sockets[to], net::buffer(self->buffers[from].data(), n),
                                     [self, from](boost::system::error_code ec, std::size_t) {
                                         if (ec) return self->close();
                                         self->copy(from);
                                     });
                });
        }

        void close() {
            boost::system::error_code ignored;
            for (auto& socket : sockets) {
                socket.shutdown(tcp::socket::shutdown_both, ignored);
                socket.close(ignored);
            }
        }

        Impl& relay;
        tcp::socket sockets[2];
        std::array<char, 64 * 1024> buffers[2];
        int ended = 0;
    };

    std::mutex mutex;
    std::condition_variable idle;
    std::map<Pair*, std::weak_ptr<Pair>> pairs;
    std::function<int()> targetPort;
    bool stopping = false;

    net::io_context io{1};
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;

    void accept() {
        acceptor->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
            if (!ec) {
                std::shared_ptr<Pair> pair;
                {
                    std::lock_guard lock(mutex);
                    if (!stopping && pairs.size() < kMaxRelayed) {
                        pair = std::make_shared<Pair>(*this, std::move(socket));
                        pairs.emplace(pair.get(), pair);
                    }
                }
                if (pair) pair->start(targetPort());
            } else if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space) {
                std::cerr << "rtdb: the alternate port cannot accept (" << ec.message() << ")" << std::endl;
            }
            accept();
        });
    }
};

TcpRelay::TcpRelay(std::function<int()> targetPort) : targetPort_(std::move(targetPort)) {}

TcpRelay::~TcpRelay() { stop(); }

int TcpRelay::start() {
    auto impl = std::make_shared<Impl>();
    impl->targetPort = targetPort_;
    impl->acceptor.emplace(impl->io);
    port_ = listenOnLoopback(*impl->acceptor, 0, "the alternate port");
    impl->accept();
    impl->thread = runIoThread(impl->io, "rtdb: the alternate port's relay");
    impl_ = std::move(impl);
    return port_;
}

void TcpRelay::stop() {
    if (!impl_) return;
    auto impl = std::move(impl_);
    {
        std::lock_guard lock(impl->mutex);
        impl->stopping = true;
    }
    // Everything is closed on the relay's own thread, where it runs.
    std::promise<void> closed;
    auto done = closed.get_future();
    net::post(impl->io, [&] {
        boost::system::error_code ignored;
        impl->acceptor->close(ignored);
        std::vector<std::shared_ptr<Impl::Pair>> open;
        {
            std::lock_guard lock(impl->mutex);
            for (auto& [raw, weak] : impl->pairs) {
                if (auto pair = weak.lock()) open.push_back(std::move(pair));
            }
        }
        for (auto& pair : open) pair->close();
        closed.set_value();
    });
    done.wait();
    {
        std::unique_lock lock(impl->mutex);
        impl->idle.wait_for(lock, std::chrono::seconds(5), [&] { return impl->pairs.empty(); });
    }
    impl->io.stop();
    impl->thread.join();
}

}  // namespace backend::rtdb
