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
    std::optional<Slot> slot = admit(kind);
    if (!slot) return refuseOverCap(kind, socket);
    beast::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    const auto local = socket.local_endpoint(ec);
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return;  // the peer is already gone
    switch (kind) {
    case Kind::Http:
        std::make_shared<HttpSession<PlainStream>>(std::move(*slot), PlainStream(std::move(socket)), false, local,
                                                   remote)
            ->start();
        break;
    case Kind::Https:
        std::make_shared<HttpSession<TlsStream>>(std::move(*slot), TlsStream(std::move(socket), ssl), true, local,
                                                 remote)
            ->start();
        break;
    case Kind::Ws:
        std::make_shared<UpgradeReader<PlainStream>>(std::move(*slot), PlainStream(std::move(socket)), false,
                                                     remote.address().to_string())
            ->start();
        break;
    case Kind::Wss:
        std::make_shared<UpgradeReader<TlsStream>>(std::move(*slot), TlsStream(std::move(socket), ssl), true,
                                                   remote.address().to_string())
            ->start();
        break;
    }
}

// --- places under the cap and idle connections -------------------------------

NetworkCore::Impl::Entry* NetworkCore::Impl::quietest(Kind kind, int64_t now) {
    if (now < noneIdleBefore) return nullptr;
    Entry* found = nullptr;
    int64_t foundHeard = 0;
    int64_t earliest = std::numeric_limits<int64_t>::max();
    for (auto& [id, entry] : registry) {
        if (!entry.placed || entry.busy.load()) continue;
        const int64_t heard = entry.heard.load();
        earliest = std::min(earliest, heard);
        if (now - heard <= idleLimitMs()) continue;
        if (entry.kind != kind && placed[int(entry.kind)] <= ownShare()) continue;
        if (!found || heard < foundHeard) {
            found = &entry;
            foundHeard = heard;
        }
    }
    // A connection heard later, or busy now and heard when done, passes
    // the limit later still.
    if (!found && earliest != std::numeric_limits<int64_t>::max()) noneIdleBefore = earliest + idleLimitMs() + 1;
    return found;
}

std::optional<NetworkCore::Impl::Slot> NetworkCore::Impl::admit(Kind kind) {
    std::weak_ptr<Closable> evicted;
    std::optional<Slot> slot;
    {
        std::lock_guard lock(registryMutex);
        const int64_t now = clock.nowMs();
        if (!roomFor(kind)) {
            Entry* quiet = quietest(kind, now);
            if (!quiet) return std::nullopt;
            unplace(*quiet);
            evicted = quiet->closable;
        }
        const uint64_t id = nextId++;
        Entry& entry = registry[id];
        entry.kind = kind;
        entry.heard.store(now);
        ++placed[int(kind)];
        ++open;
        slot.emplace(this, id, &entry);
    }
    // Outside the lock: the connection's last reference may go here.
    if (auto closable = evicted.lock()) closable->shutdown();
    return slot;
}

void NetworkCore::Impl::sweep() {
    std::vector<std::weak_ptr<Closable>> idle, quiet;
    {
        std::lock_guard lock(registryMutex);
        const int64_t now = clock.nowMs();
        for (auto& [id, entry] : registry) {
            if (!entry.webSocket || !entry.placed) continue;
            const int64_t heard = entry.heard.load();
            if (now - heard > idleLimitMs()) {
                unplace(entry);
                idle.push_back(entry.closable);
            } else if (2 * (now - heard) >= idleLimitMs() && entry.pingedAfter != heard) {
                entry.pingedAfter = heard;
                quiet.push_back(entry.closable);
            }
        }
    }
    for (const auto& weak : idle) {
        if (auto closable = weak.lock()) closable->shutdown();
    }
    for (const auto& weak : quiet) {
        if (auto closable = weak.lock()) closable->pingIdle();
    }
}

void NetworkCore::Impl::scheduleSweep() {
    sweeper->expires_after(std::chrono::seconds(1));
    sweeper->async_wait([this](beast::error_code ec) {
        if (ec || stopping) return;
        sweep();
        scheduleSweep();
    });
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
    core.sweeper = std::make_unique<net::steady_timer>(net::make_strand(*core.ios.front()));
    net::post(core.sweeper->get_executor(), [&core] { core.scheduleSweep(); });
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
    {
        std::promise<void> cancelled;
        auto done = cancelled.get_future();
        net::post(core.sweeper->get_executor(), [&core, &cancelled] {
            core.sweeper->cancel();
            cancelled.set_value();
        });
        done.wait();
    }
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(core.registryMutex);
        for (auto& [id, entry] : core.registry) {
            if (auto closable = entry.closable.lock()) open.push_back(std::move(closable));
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

int64_t NetworkCore::advanceClock(std::chrono::milliseconds by) {
    const int64_t ahead = impl_->clock.advance(by.count());
    if (impl_->started && !impl_->stopping) impl_->sweep();
    return ahead;
}

}  // namespace backend
