// The forwarder: the client's query, byte for byte, to the family resolvers
// over DNS-over-HTTPS, with plain DNS as fallback; when HTTPS fails and plain
// DNS answers, plain DNS goes first for a while.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "daemon/upstream/doh_client.h"
#include "daemon/wire/dns_message.h"

namespace tranca {

// Anything that resolves a query upstream. The completion runs exactly once,
// on some thread of the pool, with the answer or none.
class QueryForwarder {
  public:
    using Completion = std::function<void(std::optional<DnsMessage>)>;
    virtual ~QueryForwarder() = default;
    virtual void forwardQuery(DnsBytes query, Completion done) = 0;
};

struct UpstreamEndpoints {
    std::vector<std::string> dohUrls;
    std::vector<asio::ip::udp::endpoint> plain;
    std::string caBundle;  // empty: the system's
    std::chrono::milliseconds dohTimeout{2000};
    std::chrono::milliseconds udpTimeout{2500};
    std::chrono::milliseconds plainPeriod{300'000};

    // The program's fixed resolvers, port 53 for plain DNS.
    static UpstreamEndpoints fromConfig(const DaemonConfig& config);
};

// Only an answer to the question asked is relayed: over plain DNS the reply
// must also carry the query's ID (anything else is spoofed or stray and is
// not the end of the wait); over HTTPS a body that is no reply to the
// question is no answer. A query without one readable question gets none.
class UpstreamForwarder : public QueryForwarder {
  public:
    UpstreamForwarder(asio::io_context& io, UpstreamEndpoints endpoints);

    void forwardQuery(DnsBytes query, Completion done) override;

    void setPlainPreferred(bool on);
    bool plainPreferred() const;

  private:
    struct Forward;
    using SharedForward = std::shared_ptr<Forward>;
    using Transport = void (UpstreamForwarder::*)(SharedForward, std::size_t, Completion);
    using Clock = std::chrono::steady_clock;

    // One attempt at position index of the list, moving on to the next
    // position when it fails; none once the list is used up.
    void forwardOverHTTPS(SharedForward forward, std::size_t index, Completion done);
    void forwardOverUDP(SharedForward forward, std::size_t index, Completion done);

    asio::io_context& io_;
    UpstreamEndpoints endpoints_;
    DohClient dohClient_;
    mutable std::mutex fallbackLock_;
    Clock::time_point plainUntil_ = Clock::time_point::min();
};

}  // namespace tranca
