// The daemon's wait socket: takes one connection, keeps the line it was sent
// and gives the reply it was handed, or stays silent as a hung daemon would.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "tests/support/support.h"

namespace amparo::testing {

class FakeWaitSocket {
  public:
    explicit FakeWaitSocket(std::optional<QByteArray> reply) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        const QByteArray name = QFile::encodeName(path());
        std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this, reply = std::move(reply)] {
            const int client = ::accept(listener_, nullptr, nullptr);
            char byte = 0;
            while (::recv(client, &byte, 1, 0) == 1 && byte != '\n') {
                received_ += byte;
            }
            if (reply) {
                ::send(client, reply->constData(), std::size_t(reply->size()), MSG_NOSIGNAL);
            }
            while (!reply && ::recv(client, &byte, 1, 0) > 0) {
            }
            ::close(client);
        });
    }
    ~FakeWaitSocket() {
        ::shutdown(listener_, SHUT_RDWR);
        received();
        ::close(listener_);
    }

    QString path() const { return scratch_.path("espera.sock"); }
    QByteArray received() {  // once the client is done
        if (thread_.joinable()) {
            thread_.join();
        }
        return received_;
    }

  private:
    Scratch scratch_;
    int listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QByteArray received_;
    std::thread thread_;
};

}  // namespace amparo::testing
