// Where a reply goes: the client's address and the socket it asked on.
#pragma once

#include <sys/socket.h>

#include "daemon/wire/dns_wire.h"

namespace tranca {

struct ClientAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Where the replies of one listening socket go. Thread-safe; failed sends are
// ignored.
class ReplyChannel {
  public:
    virtual ~ReplyChannel() = default;
    virtual void send(const ClientAddress& client, DnsBytes reply) = 0;
    // Datagram channels carry at most the client's UDP size; a larger reply
    // goes out truncated so the client asks again over TCP.
    virtual bool datagram() const { return true; }
};

}  // namespace tranca
