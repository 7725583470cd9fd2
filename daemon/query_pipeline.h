// The decision for one DNS datagram: status name, blocked name, SafeSearch, or
// forward to the family resolvers and relay their reply.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "daemon/config.h"
#include "daemon/dns_message.h"
#include "daemon/lists.h"
#include "daemon/safesearch.h"
#include "daemon/upstream.h"

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
};

// Big enough for any local reply: the largest UDP payload plus one A record.
inline constexpr std::size_t kReplyBufferSize = 65536 + kAnswerOverhead;

class QueryPipeline {
  public:
    // forwardCap bounds the queries waiting for the upstreams at once; beyond
    // it queries are answered SERVFAIL at once so a flood cannot eat every
    // descriptor the daemon has.
    QueryPipeline(const DaemonConfig& config, const Blocklist& lists, SafeSearch& safeSearch,
                  QueryForwarder& forwarder, std::size_t forwardCap);

    // Decides one datagram. A reply made here is written into out (at least
    // kReplyBufferSize bytes) and returned; forwarded queries return nothing
    // and are answered later through channel.
    DnsBytes handleQuery(DnsBytes query, const ClientAddress& client,
                         const std::shared_ptr<ReplyChannel>& channel, std::span<std::byte> out);

    std::size_t forwardsInFlight() const { return inFlight_.load(std::memory_order_relaxed); }
    std::size_t forwardCap() const { return forwardCap_; }

  private:
    bool isStatusName(std::string_view name) const;
    bool admitForward();
    void forward(DnsBytes query, const DNSQuestion* question, const ClientAddress& client,
                 const std::shared_ptr<ReplyChannel>& channel);

    const DaemonConfig& config_;
    const Blocklist& lists_;
    SafeSearch& safeSearch_;
    QueryForwarder& forwarder_;
    const std::size_t forwardCap_;
    std::atomic<std::size_t> inFlight_{0};
    std::atomic<std::int64_t> nextCapLine_{0};
};

// The bound on forwards in flight for a descriptor limit: each forward holds
// at most one socket at a time, and a reserve stays for everything else.
std::size_t forwardCapFor(std::size_t descriptorLimit);

// Raises the soft descriptor limit to the hard one; returns the limit in force.
std::size_t raiseDescriptorLimit();

}  // namespace tranca
