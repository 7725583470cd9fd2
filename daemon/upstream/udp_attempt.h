// One plain-DNS attempt: a fresh UDP socket to one resolver, one datagram out,
// one reply back. Exactly one of socket failure, send error, reply or the
// timer decides it; whatever comes later is dropped. A datagram that is not a
// reply to the query (another ID or question, too short) is skipped and the
// wait goes on, so a forged or stray one cannot end it.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "daemon/wire/dns_message.h"

namespace tranca {

using UdpDone = std::function<void(std::optional<DnsMessage>)>;

// done runs once, on the attempt's own strand ("tranca.fwd").
void startUdpAttempt(asio::io_context& io, const asio::ip::udp::endpoint& resolver,
                     std::shared_ptr<const DnsMessage> query, std::size_t questionEnd,
                     std::chrono::milliseconds timeout, UdpDone done);

}  // namespace tranca
