#include "daemon/page/blockpage.h"

#include <poll.h>

#include "daemon/dns/tcp_listener.h"
#include "daemon/log.h"

namespace tranca {

namespace {

using asio::ip::tcp;

std::string describe(const std::error_code& error) {
    if (error == asio::error::address_in_use) {
        return "la dirección ya está en uso";
    }
    if (error == asio::error::access_denied) {
        return "permiso denegado";
    }
    if (error == asio::error::no_descriptors) {
        return "demasiados archivos abiertos";
    }
    if (error == asio::error::address_family_not_supported ||
        error == std::errc::address_not_available) {
        return "dirección no disponible";
    }
    return error.message();
}

// Accept errors that concern one connection only; the listener goes on.
bool isTransientAcceptError(const std::error_code& error) {
    return error == asio::error::connection_aborted || error == asio::error::connection_reset ||
           error == asio::error::interrupted || error == asio::error::would_block ||
           error == asio::error::try_again || error == std::errc::protocol_error;
}

}  // namespace

std::shared_ptr<BlockPageServer> BlockPageServer::create(asio::io_context& io,
                                                         const DaemonConfig& config,
                                                         const Redirect& redirect,
                                                         BlockPageLimits limits) {
    return std::shared_ptr<BlockPageServer>(new BlockPageServer(io, config, redirect, limits));
}

BlockPageServer::BlockPageServer(asio::io_context& io, const DaemonConfig& config,
                                 const Redirect& redirect, BlockPageLimits limits)
    : io_(io),
      listenHost_(config.listenHost),
      httpPort_(config.httpPort),
      redirect_(redirect),
      limits_(limits),
      strand_(asio::make_strand(io)),
      acceptor_(strand_),
      retry_(strand_, limits.retryDelay),
      recheckTimer_(strand_) {}

void BlockPageServer::startBlockPageServer() {
    asio::dispatch(strand_, [self = shared_from_this()] { self->open(); });
}

void BlockPageServer::open() {
    if (acceptor_.is_open()) {
        return;
    }
    const std::error_code error = openTcpListener(acceptor_, listenHost_, httpPort_);
    if (error) {
        retry_.failed("No pude abrir el puerto " + std::to_string(httpPort_), describe(error),
                      [self = shared_from_this()] { self->open(); });
        return;
    }
    listening_ = true;
    logLine("Página de bloqueo escuchando en " + listenHost_ + ":" + std::to_string(httpPort_));
    acceptNext();
}

void BlockPageServer::acceptNext() {
    if (!acceptor_.is_open()) {
        accepting_ = false;
        return;
    }
    if (open_.load() >= limits_.maxConnections) {
        // At the cap clients wait in the kernel's backlog, which costs this
        // process no descriptor. With a connection still waiting for its
        // request, the first client there makes the oldest such one close;
        // with none, connectionClosed resumes accepting.
        if (!oldestWaiting()) {
            accepting_ = false;
            return;
        }
        accepting_ = true;
        acceptor_.async_wait(
            tcp::acceptor::wait_read,
            asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
                self->onClientPending(error);
            }));
        return;
    }
    accepting_ = true;
    acceptor_.async_accept(
        asio::make_strand(io_),
        asio::bind_executor(
            strand_, [self = shared_from_this()](const std::error_code& error, tcp::socket socket) {
                self->onAccept(error, std::move(socket));
            }));
}

void BlockPageServer::onClientPending(const std::error_code& error) {
    accepting_ = false;
    if (error) {
        // Closed, or failing: a connection closing tries again.
        return;
    }
    if (open_.load() < limits_.maxConnections) {
        acceptNext();
        return;
    }
    // The reactor may report the listener ready on an edge the last accept
    // already took: only a client really in the backlog may cost another
    // connection its place. A second empty report in a row waits a little,
    // so a reactor that keeps reporting cannot make this spin.
    if (!clientInBacklog()) {
        if (++emptyWakeups_ < 2) {
            acceptNext();
            return;
        }
        accepting_ = true;
        recheckTimer_.expires_after(std::chrono::milliseconds(50));
        recheckTimer_.async_wait([self = shared_from_this()](const std::error_code& waited) {
            self->accepting_ = false;
            if (!waited) {
                self->acceptNext();
            }
        });
        return;
    }
    emptyWakeups_ = 0;
    // Its close, or madeNoWay, resumes accepting.
    if (const std::shared_ptr<BlockPageConnection> oldest = oldestWaiting()) {
        oldest->makeWay();
    }
}

bool BlockPageServer::clientInBacklog() const {
    pollfd probe{};
    probe.fd = const_cast<tcp::acceptor&>(acceptor_).native_handle();
    probe.events = POLLIN;
    return ::poll(&probe, 1, 0) == 1 && (probe.revents & POLLIN) != 0;
}

std::shared_ptr<BlockPageConnection> BlockPageServer::oldestWaiting() {
    while (!waiting_.empty()) {
        std::shared_ptr<BlockPageConnection> connection = waiting_.front().lock();
        if (connection && connection->waiting()) {
            return connection;
        }
        waiting_.pop_front();
    }
    return nullptr;
}

void BlockPageServer::onAccept(const std::error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) {
        accepting_ = false;
        return;
    }
    if (error && !isTransientAcceptError(error)) {
        // Out of descriptors and the like: accepting again at once would spin,
        // so the listener is dropped and opened again later.
        accepting_ = false;
        listening_ = false;
        std::error_code ignored;
        acceptor_.close(ignored);
        retry_.failed("Servidor de página de bloqueo falló", describe(error),
                      [self = shared_from_this()] { self->open(); });
        return;
    }
    if (!error) {
        ++open_;
        // Not make_shared: the weak entry in waiting_ would keep the whole
        // object, buffer included, until pruned.
        const std::shared_ptr<BlockPageConnection> connection(new BlockPageConnection(
            std::move(socket), shared_from_this(), redirect_, limits_.requestTimeout));
        waiting_.push_back(connection);
        // Entries of connections that got their request pile up behind a
        // waiting one; pruned whenever they outnumber the cap, so the cost
        // per accept stays constant.
        if (waiting_.size() > 2 * limits_.maxConnections) {
            std::erase_if(waiting_, [](const std::weak_ptr<BlockPageConnection>& entry) {
                const std::shared_ptr<BlockPageConnection> alive = entry.lock();
                return !alive || !alive->waiting();
            });
        }
        connection->start();
    }
    acceptNext();
}

void BlockPageServer::madeNoWay() {
    asio::dispatch(strand_, [self = shared_from_this()] {
        if (!self->accepting_) {
            self->acceptNext();
        }
    });
}

void BlockPageServer::connectionClosed() {
    asio::dispatch(strand_, [self = shared_from_this()] {
        --self->open_;
        if (!self->accepting_) {
            self->acceptNext();
        }
    });
}

}  // namespace tranca
