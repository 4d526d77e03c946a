#pragma once
// What the back end's own raw TCP listeners share (the channel server, the
// database's alternate port): an acceptor on 127.0.0.1 and the thread that
// runs their I/O context.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

namespace backend {

// Opens `acceptor` on 127.0.0.1:`port` (0: any free port) and listens;
// returns the port. Throws std::runtime_error naming `what`.
inline int listenOnLoopback(boost::asio::ip::tcp::acceptor& acceptor, int port, const std::string& what) {
    namespace net = boost::asio;
    boost::system::error_code ec;
    const net::ip::tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), uint16_t(port));
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(64, ec);
    if (ec) throw std::runtime_error("cannot listen on 127.0.0.1 for " + what + ": " + ec.message());
    return acceptor.local_endpoint().port();
}

// A thread that runs `io` until it is stopped (or runs out of work); a
// handler that throws is reported on standard error, naming `what`, and the
// thread carries on.
inline std::thread runIoThread(boost::asio::io_context& io, std::string what) {
    return std::thread([&io, what = std::move(what)] {
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                std::cerr << what << " failed: " << e.what() << std::endl;
            }
        }
    });
}

}  // namespace backend
