#include "daemon/page/blockpage.h"

#include <poll.h>

#include <charconv>

#include "daemon/dns/tcp_listener.h"
#include "daemon/log.h"
#include "daemon/page/block_template.h"
#include "daemon/text.h"

namespace tranca {

namespace {

using asio::ip::tcp;

// After the response, what the client still sends is read and dropped for a
// moment: closing with unread bytes would reset the connection and could
// throw away the response before the client read it.
constexpr std::chrono::milliseconds kDrainTime{2'000};
constexpr std::size_t kDrainLimit = 1 << 20;

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == ':';
}

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

// Characters a request may start with: those of a method name (an HTTP
// token) and the line ends of empty lines a client may send first.
bool mayStartRequest(char c) {
    constexpr std::string_view kOthers = "!#$%&'*+-.^_`|~\r\n";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kOthers.find(c) != std::string_view::npos;
}

// True once received holds the request's headers up to their empty line, or
// bytes no HTTP request starts with (a TLS hello on the plain port): waiting
// for more would only delay the answer. An empty line of bare LFs counts too,
// for the same reason. Bytes before from were looked at already; the search
// goes back three of them for an ending split between reads.
bool requestHeadEnded(std::string_view received, std::size_t from) {
    if (received.empty()) {
        return false;
    }
    if (!mayStartRequest(received.front())) {
        return true;
    }
    const std::string_view fresh = received.substr(from >= 3 ? from - 3 : 0);
    return fresh.find("\r\n\r\n") != std::string_view::npos ||
           fresh.find("\n\n") != std::string_view::npos;
}

bool headRequest(std::string_view request) {
    const std::size_t start = request.find_first_not_of("\r\n");
    return start != std::string_view::npos && request.substr(start).starts_with("HEAD ");
}

}  // namespace

// One accepted client. Its handlers run on its own strand; the deadline
// timer bounds both the wait for the request and the send.
class BlockPageConnection : public std::enable_shared_from_this<BlockPageConnection> {
  public:
    BlockPageConnection(tcp::socket socket, std::shared_ptr<BlockPageServer> server)
        : socket_(std::move(socket)),
          deadline_(socket_.get_executor()),
          server_(std::move(server)) {}

    void start() {
        armDeadline();
        readRequest();
    }

    // Still reading its request: one the server may close to make way.
    bool waiting() const { return waiting_.load(std::memory_order_relaxed); }

    // Closes the connection, unanswered, if it is still waiting for its
    // request; else tells the server it made no way.
    void makeWay() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (!self->waiting_) {
                self->server_->madeNoWay();
                return;
            }
            self->waiting_ = false;
            self->madeWay_ = true;
            // The pending read then ends, and with it the connection.
            std::error_code ignored;
            self->socket_.close(ignored);
        });
    }

  private:
    void armDeadline() {
        deadline_.expires_after(server_->limits().requestTimeout);
        deadline_.async_wait(
            [self = shared_from_this()](const std::error_code& error) { self->onDeadline(error); });
    }

    void onDeadline(const std::error_code& error) {
        // A wait that expired just as its phase ended may still arrive after
        // the timer was re-armed for the next phase; only a deadline that
        // really passed may cut the connection short.
        if (error || deadline_.expiry() > asio::steady_timer::clock_type::now()) {
            return;
        }
        // A pending read then ends and is answered from what arrived; a
        // pending send or drain fails and closes.
        std::error_code ignored;
        socket_.cancel(ignored);
    }

    void readRequest() {
        socket_.async_read_some(
            asio::buffer(buffer_.data() + received_, buffer_.size() - received_),
            [self = shared_from_this()](const std::error_code& error, std::size_t length) {
                self->onRead(error, length);
            });
    }

    void onRead(const std::error_code& error, std::size_t length) {
        if (madeWay_) {
            finish();
            return;
        }
        const std::size_t from = received_;
        received_ += length;
        if (!error && received_ < buffer_.size() &&
            !requestHeadEnded(std::string_view(buffer_.data(), received_), from)) {
            readRequest();
            return;
        }
        respond();
    }

    void respond() {
        waiting_ = false;
        deadline_.cancel();
        armDeadline();
        const std::shared_ptr<const std::string> url = server_->redirect().url();
        auto done = [self = shared_from_this()](const std::error_code& error, std::size_t) {
            self->drain(error);
        };
        if (!url->empty()) {
            redirect_ = redirectResponse(*url);
            asio::async_write(socket_, asio::buffer(redirect_), std::move(done));
            return;
        }
        const bool head = headRequest(std::string_view(buffer_.data(), received_));
        const std::string_view host = shownHost(std::span<char>(buffer_.data(), received_));
        const PageParts& page = pageParts();
        const std::string_view header =
            pageResponseHeader(page.head.size() + host.size() + page.tail.size(), header_);
        if (head) {
            asio::async_write(socket_, asio::buffer(header), std::move(done));
            return;
        }
        const std::array<asio::const_buffer, 4> parts{asio::buffer(header), asio::buffer(page.head),
                                                      asio::buffer(host), asio::buffer(page.tail)};
        asio::async_write(socket_, parts, std::move(done));
    }

    void drain(const std::error_code& error) {
        std::error_code ignored;
        if (error) {
            finish();
            return;
        }
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        deadline_.cancel();
        deadline_.expires_after(kDrainTime);
        deadline_.async_wait(
            [self = shared_from_this()](const std::error_code& error) { self->onDeadline(error); });
        readAndDrop();
    }

    void readAndDrop() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            [self = shared_from_this()](const std::error_code& error, std::size_t length) {
                self->drained_ += length;
                if (error || self->drained_ > kDrainLimit) {
                    self->finish();
                    return;
                }
                self->readAndDrop();
            });
    }

    void finish() {
        std::error_code ignored;
        deadline_.cancel();
        socket_.close(ignored);
        server_->connectionClosed();
    }

    tcp::socket socket_;
    asio::steady_timer deadline_;
    std::shared_ptr<BlockPageServer> server_;
    std::array<char, kMaxRequestBytes> buffer_;
    std::array<char, kPageHeaderCapacity> header_;
    std::string redirect_;
    std::size_t received_ = 0;
    std::size_t drained_ = 0;
    std::atomic<bool> waiting_{true};
    bool madeWay_ = false;
};

std::string sanitizeHost(std::string_view host) {
    std::string kept;
    kept.reserve(host.size());
    for (const char c : host) {
        if (isHostCharacter(c)) {
            kept += c;
        }
    }
    return kept;
}

std::optional<std::string_view> findHostHeader(std::string_view request) {
    std::size_t start = 0;
    while (start < request.size()) {
        const std::size_t end = request.find("\r\n", start);
        const std::string_view line = request.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        constexpr std::string_view kHost = "host:";
        if (text::startsWithIgnoringAsciiCase(line, kHost)) {
            return text::trimBlanks(line.substr(kHost.size()));
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 2;
    }
    return std::nullopt;
}

std::string_view shownHost(std::span<char> received) {
    const std::string_view request(received.data(), received.size());
    if (request.empty() || !text::isValidUtf8(request)) {
        return kFallbackHost;
    }
    const std::optional<std::string_view> host = findHostHeader(request);
    if (!host) {
        return kFallbackHost;
    }
    // Sanitizing only drops characters, so the result fits where the value
    // was: compact it there instead of allocating.
    char* const out = received.data() + (host->data() - request.data());
    std::size_t kept = 0;
    for (const char c : *host) {
        if (isHostCharacter(c)) {
            out[kept++] = c;
        }
    }
    return std::string_view(out, kept);
}

std::string redirectResponse(std::string_view url) {
    std::string response;
    response.reserve(url.size() + 128);
    response += "HTTP/1.1 302 Found\r\nLocation: ";
    response += url;
    response +=
        "\r\nReferrer-Policy: no-referrer\r\nContent-Length: 0\r\nCache-Control: "
        "no-store\r\nConnection: close\r\n\r\n";
    return response;
}

std::string_view pageResponseHeader(std::size_t bodyBytes,
                                    std::array<char, kPageHeaderCapacity>& out) {
    constexpr std::string_view kBefore =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ";
    constexpr std::string_view kAfter = "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    static_assert(kBefore.size() + 20 + kAfter.size() <= kPageHeaderCapacity);
    char* at = std::copy(kBefore.begin(), kBefore.end(), out.data());
    at = std::to_chars(at, out.data() + out.size(), bodyBytes).ptr;
    at = std::copy(kAfter.begin(), kAfter.end(), at);
    return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

std::string blockPageResponse(std::string_view received, std::string_view url) {
    if (!url.empty()) {
        return redirectResponse(url);
    }
    std::string request(received.substr(0, kMaxRequestBytes));
    const bool head = headRequest(request);
    const std::string_view host = shownHost(std::span<char>(request.data(), request.size()));
    const PageParts& page = pageParts();
    std::array<char, kPageHeaderCapacity> header{};
    std::string response(
        pageResponseHeader(page.head.size() + host.size() + page.tail.size(), header));
    if (head) {
        return response;
    }
    response += page.head;
    response += host;
    response += page.tail;
    return response;
}

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
        const std::shared_ptr<BlockPageConnection> connection(
            new BlockPageConnection(std::move(socket), shared_from_this()));
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
