#include "daemon/wait/wait_socket.h"

#include <sys/stat.h>
#include <unistd.h>

#include "contract/notices.h"
#include "contract/wait_protocol.h"
#include "daemon/log.h"

namespace tranca {

namespace {

constexpr std::size_t kMaxLine = 64;

// The socket's folder must be a real folder only root can write: anyone
// able to put a socket of their own at the path would answer Amparo.
bool folderIsRoots(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    ::mkdir(folder.c_str(), 0755);
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

struct WaitSocket::Connection {
    Connection(asio::local::stream_protocol::socket client, std::chrono::milliseconds limit)
        : socket(std::move(client)), deadline(socket.get_executor(), limit), line(kMaxLine) {}

    // On the connection's strand.
    void close() {
        deadline.cancel();
        std::error_code ignored;
        socket.close(ignored);
    }

    asio::local::stream_protocol::socket socket;
    asio::steady_timer deadline;
    asio::streambuf line;
    std::string reply;
};

std::shared_ptr<WaitSocket> WaitSocket::create(asio::io_context& io, WaitKeeper& keeper,
                                               std::string path, NoticesReply notices,
                                               WaitSocketLimits limits) {
    return std::shared_ptr<WaitSocket>(
        new WaitSocket(io, keeper, std::move(path), std::move(notices), limits));
}

WaitSocket::WaitSocket(asio::io_context& io, WaitKeeper& keeper, std::string path,
                       NoticesReply notices, WaitSocketLimits limits)
    : io_(io),
      keeper_(keeper),
      notices_(std::move(notices)),
      path_(std::move(path)),
      limits_(limits),
      acceptor_(io) {}

bool WaitSocket::start() {
    if (!folderIsRoots(path_)) {
        logLine("No se abre " + path_ + ": su carpeta no es solo del administrador");
        return false;
    }
    ::unlink(path_.c_str());
    std::error_code error;
    acceptor_.open(asio::local::stream_protocol(), error);
    if (!error) {
        acceptor_.bind(asio::local::stream_protocol::endpoint(path_), error);
    }
    if (!error) {
        ::chmod(path_.c_str(), 0666);
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        logLine("No se abre " + path_ + ": " + error.message());
        return false;
    }
    accept();
    return true;
}

void WaitSocket::accept() {
    // Each connection on a strand of its own: its read, write and deadline
    // never run at once on the pool.
    acceptor_.async_accept(asio::make_strand(io_), [self = shared_from_this()](
                                                       const std::error_code& error,
                                                       asio::local::stream_protocol::socket peer) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (!error) {
            self->serve(std::make_shared<Connection>(std::move(peer), self->limits_.deadline));
        }
        self->accept();
    });
}

void WaitSocket::serve(std::shared_ptr<Connection> connection) {
    {
        std::lock_guard guard(mutex_);
        std::erase_if(open_, [](const auto& weak) { return weak.expired(); });
        if (open_.size() >= limits_.maxConnections) {
            if (auto oldest = open_.front().lock()) {
                asio::post(oldest->socket.get_executor(), [oldest] { oldest->close(); });
            }
            open_.pop_front();
        }
        open_.push_back(connection);
    }
    connection->deadline.async_wait([connection](const std::error_code& error) {
        if (!error) {
            connection->close();
        }
    });
    asio::async_read_until(
        connection->socket, connection->line, '\n',
        [self = shared_from_this(), connection](const std::error_code& error, std::size_t length) {
            if (error) {
                connection->close();
                return;
            }
            const auto begin = asio::buffers_begin(connection->line.data());
            const std::string line(begin, begin + static_cast<std::ptrdiff_t>(length - 1));
            if (line == amparo::wait::kListCommand) {
                connection->reply = self->keeper_.listReply();
            } else if (line == amparo::wait::kCancelCommand) {
                connection->reply = self->keeper_.cancelReply();
            } else if (line == amparo::notices::kNoticesCommand && self->notices_) {
                connection->reply = self->notices_();
            } else {
                connection->reply = std::string(amparo::wait::kEnd) + "\n";
            }
            asio::async_write(
                connection->socket, asio::buffer(connection->reply),
                [connection](const std::error_code&, std::size_t) { connection->close(); });
        });
}

}  // namespace tranca
