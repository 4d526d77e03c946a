#include "backend/core/http_server.h"

#include <future>

#include "backend/core/network_core/http_session.h"
#include "backend/core/network_core/impl.h"
#include "backend/core/network_core/upgrade_reader.h"

// The network core's connections are templates over the stream (plain or
// TLS), one private header each under network_core/; this is the one unit
// that includes them, so Boost.Beast is parsed once for the whole core. What
// is left here are the listeners: binding, accepting under the cap, and
// starting and stopping the core.

namespace backend {

// --- listeners ---------------------------------------------------------------

void NetworkCore::Impl::bind(Kind kind, int port) {
    auto acceptor = std::make_unique<tcp::acceptor>(net::make_strand(*ios.front()));
    beast::error_code ec;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), uint16_t(port));
    acceptor->open(endpoint.protocol(), ec);
    // SO_REUSEADDR (not SO_REUSEPORT): a quick restart on the ports of a
    // stopped back end, but never two back ends on one port.
    if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + " for " +
                                 kindName(kind) + ": " + ec.message());
    }
    ports[int(kind)] = acceptor->local_endpoint().port();
    pauses.push_back(std::make_unique<net::steady_timer>(acceptor->get_executor()));
    acceptors.push_back(std::move(acceptor));
}

void NetworkCore::Impl::accept(std::size_t index, Kind kind) {
    if (stopping) return;
    net::io_context& io = *ios[nextIo++ % ios.size()];
    acceptors[index]->async_accept(net::make_strand(io), [this, index, kind](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted) return;
        if (ec) {
            if (ec == net::error::no_descriptors || ec == std::errc::too_many_files_open_in_system ||
                ec == net::error::no_buffer_space || ec == net::error::no_memory) {
                warnDescriptors(ec);
                auto& timer = *pauses[index];
                timer.expires_after(std::chrono::milliseconds(100));
                timer.async_wait([this, index, kind](beast::error_code ec) {
                    if (!ec) accept(index, kind);
                });
                return;
            }
            return accept(index, kind);
        }
        onAccepted(index, kind, std::move(socket));
        accept(index, kind);
    });
}

void NetworkCore::Impl::onAccepted(std::size_t, Kind kind, tcp::socket socket) {
    {
        std::lock_guard lock(registryMutex);
        if (open >= limits.maxConnections) {
            refuseOverCap(kind, socket);
            return;
        }
        ++open;
    }
    Slot slot(this);
    beast::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    const auto local = socket.local_endpoint(ec);
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return;  // the peer is already gone
    switch (kind) {
    case Kind::Http:
        std::make_shared<HttpSession<PlainStream>>(std::move(slot), PlainStream(std::move(socket)), false, local, remote)
            ->start();
        break;
    case Kind::Https:
        std::make_shared<HttpSession<TlsStream>>(std::move(slot), TlsStream(std::move(socket), ssl), true, local, remote)
            ->start();
        break;
    case Kind::Ws:
        std::make_shared<UpgradeReader<PlainStream>>(std::move(slot), PlainStream(std::move(socket)), false,
                                                     remote.address().to_string())
            ->start();
        break;
    case Kind::Wss:
        std::make_shared<UpgradeReader<TlsStream>>(std::move(slot), TlsStream(std::move(socket), ssl), true,
                                                   remote.address().to_string())
            ->start();
        break;
    }
}

NetworkCore::NetworkCore(CoreLimits limits, std::string certPath, std::string keyPath)
    : impl_(std::make_shared<Impl>()) {
    impl_->limits = limits;
    impl_->certPath = std::move(certPath);
    impl_->keyPath = std::move(keyPath);
}

NetworkCore::~NetworkCore() { stop(); }

void NetworkCore::start(int httpPort, int httpsPort, int wsPort, int wssPort, HttpDispatch dispatch,
                        std::shared_ptr<WebSocketRouter> webSockets) {
    Impl& core = *impl_;
    if (core.started) throw std::logic_error("the network core is already started");
    beast::error_code ec;
    core.ssl.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3);
    core.ssl.use_certificate_chain_file(core.certPath, ec);
    if (!ec) core.ssl.use_private_key_file(core.keyPath, net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use the certificate " + core.certPath + " with the key " + core.keyPath);
    core.dispatch = std::move(dispatch);
    core.webSockets = std::move(webSockets);
    unsigned threads = core.limits.ioThreads;
    if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    for (unsigned i = 0; i < threads; ++i) core.ios.push_back(std::make_unique<net::io_context>(1));
    core.bind(Kind::Http, httpPort);
    core.bind(Kind::Https, httpsPort);
    core.bind(Kind::Ws, wsPort);
    core.bind(Kind::Wss, wssPort);
    core.started = true;
    core.handlers.emplace(std::max(1u, core.limits.handlerThreads));
    for (auto& io : core.ios) core.work.push_back(net::make_work_guard(*io));
    for (std::size_t i = 0; i < core.acceptors.size(); ++i) core.accept(i, Kind(i));
    for (auto& context : core.ios) {
        core.threads.emplace_back([io = context.get()] {
            for (;;) {
                try {
                    io->run();
                    return;
                } catch (const std::exception& e) {
                    // A handler's failure must not end the server.
                    std::cerr << "almavel-backend: an I/O handler failed: " << e.what() << std::endl;
                }
            }
        });
    }
}

void NetworkCore::stop() {
    Impl& core = *impl_;
    if (!core.started || core.stopped) return;
    core.stopped = true;
    core.stopping = true;
    // Acceptors are closed on their own strands, where their accepts run.
    for (std::size_t i = 0; i < core.acceptors.size(); ++i) {
        auto* a = core.acceptors[i].get();
        auto* pause = core.pauses[i].get();
        std::promise<void> closed;
        auto done = closed.get_future();
        net::post(a->get_executor(), [a, pause, &closed] {
            beast::error_code ignored;
            a->close(ignored);
            pause->cancel();
            closed.set_value();
        });
        done.wait();
    }
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(core.registryMutex);
        for (auto& [id, weak] : core.registry) {
            if (auto closable = weak.lock()) open.push_back(std::move(closable));
        }
    }
    for (auto& closable : open) closable->shutdown();
    open.clear();
    // Handlers still running finish (services have ended their long waits);
    // their answers find closed connections.
    core.handlers->join();
    core.work.clear();
    {
        std::unique_lock lock(core.registryMutex);
        core.registryEmpty.wait_for(lock, std::chrono::seconds(10), [&] { return core.open == 0; });
    }
    for (auto& io : core.ios) io->stop();
    for (auto& thread : core.threads) thread.join();
    core.threads.clear();
}

int NetworkCore::httpPort() const { return impl_->ports[int(Kind::Http)]; }
int NetworkCore::httpsPort() const { return impl_->ports[int(Kind::Https)]; }
int NetworkCore::wsPort() const { return impl_->ports[int(Kind::Ws)]; }
int NetworkCore::wssPort() const { return impl_->ports[int(Kind::Wss)]; }
std::size_t NetworkCore::openConnections() const { return impl_->open.load(); }

}  // namespace backend
