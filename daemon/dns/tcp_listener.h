// Opening a TCP listener the way both of the daemon's servers do: address
// reuse (a restart must not wait out TIME_WAIT) and the longest backlog.
#pragma once

#include <asio/ip/tcp.hpp>
#include <string>
#include <system_error>

namespace tranca {

// Opens, binds and listens on host:port; on failure the acceptor is left
// closed and the error returned.
inline std::error_code openTcpListener(asio::ip::tcp::acceptor& acceptor, const std::string& host,
                                       unsigned short port) {
    std::error_code error;
    const asio::ip::tcp::endpoint local(asio::ip::make_address(host, error), port);
    if (!error) {
        acceptor.open(local.protocol(), error);
    }
    if (!error) {
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(local, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        std::error_code ignored;
        acceptor.close(ignored);
    }
    return error;
}

}  // namespace tranca
