#include "daemon/page/page_connection.h"

#include <span>
#include <string_view>

#include "daemon/page/block_template.h"

namespace tranca {

namespace {

// After the response, what the client still sends is read and dropped for a
// moment: closing with unread bytes would reset the connection and could
// throw away the response before the client read it.
constexpr std::chrono::milliseconds kDrainTime{2'000};
constexpr std::size_t kDrainLimit = 1 << 20;

}  // namespace

BlockPageConnection::BlockPageConnection(asio::ip::tcp::socket socket,
                                         std::shared_ptr<PageConnectionOwner> owner,
                                         const Redirect& redirect,
                                         std::chrono::milliseconds requestTimeout)
    : socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      owner_(std::move(owner)),
      redirect_(redirect),
      requestTimeout_(requestTimeout) {}

void BlockPageConnection::start() {
    armDeadline();
    readRequest();
}

void BlockPageConnection::makeWay() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (!self->waiting_) {
            self->owner_->madeNoWay();
            return;
        }
        self->waiting_ = false;
        self->madeWay_ = true;
        // The pending read then ends, and with it the connection.
        std::error_code ignored;
        self->socket_.close(ignored);
    });
}

void BlockPageConnection::armDeadline() {
    deadline_.expires_after(requestTimeout_);
    deadline_.async_wait(
        [self = shared_from_this()](const std::error_code& error) { self->onDeadline(error); });
}

void BlockPageConnection::onDeadline(const std::error_code& error) {
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

void BlockPageConnection::readRequest() {
    socket_.async_read_some(
        asio::buffer(buffer_.data() + received_, buffer_.size() - received_),
        [self = shared_from_this()](const std::error_code& error, std::size_t length) {
            self->onRead(error, length);
        });
}

void BlockPageConnection::onRead(const std::error_code& error, std::size_t length) {
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

void BlockPageConnection::respond() {
    waiting_ = false;
    deadline_.cancel();
    armDeadline();
    const std::shared_ptr<const std::string> url = redirect_.url();
    auto done = [self = shared_from_this()](const std::error_code& error, std::size_t) {
        self->drain(error);
    };
    if (!url->empty()) {
        redirectResponse_ = redirectResponse(*url);
        asio::async_write(socket_, asio::buffer(redirectResponse_), std::move(done));
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

void BlockPageConnection::drain(const std::error_code& error) {
    std::error_code ignored;
    if (error) {
        finish();
        return;
    }
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    deadline_.cancel();
    deadline_.expires_after(kDrainTime);
    deadline_.async_wait(
        [self = shared_from_this()](const std::error_code& error) { self->onDeadline(error); });
    readAndDrop();
}

void BlockPageConnection::readAndDrop() {
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

void BlockPageConnection::finish() {
    std::error_code ignored;
    deadline_.cancel();
    socket_.close(ignored);
    owner_->connectionClosed();
}

}  // namespace tranca
