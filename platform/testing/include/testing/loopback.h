#pragma once
// Test peers on loopback: a listening socket on a port the system picks, and
// a TLS server context from a chain and key file. Both throw
// std::runtime_error when the machine refuses, so a test fails at its set-up
// instead of waiting on a peer that is not there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ns::testing {

// A socket listening on 127.0.0.1; `port` receives the port it got.
inline int listenOnLoopback(uint16_t& port, int backlog = 4) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("cannot make a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A server context presenting `chainPEM` (as it is) with `keyPEM`; the caller
// frees it with SSL_CTX_free.
inline SSL_CTX* tlsServerContext(const std::string& chainPEM, const std::string& keyPEM) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, chainPEM.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyPEM.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("cannot load " + chainPEM);
    }
    return ctx;
}

}  // namespace ns::testing
