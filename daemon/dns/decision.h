// What the daemon does with one query, decided before a byte is written:
// the pipeline decides, one writer makes the reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "daemon/wire/dns_message.h"

namespace tranca {

struct Decision {
    enum class Kind {
        ignore,           // no reply at all: a response, or shorter than a header
        refuse,           // a bare header with rcode: FORMERR or NOTIMP
        status,           // the status name: the daemon's own address
        blocked,          // a listed name: the block page
        resolverBlocked,  // a public encrypted resolver: the block page
        canary,           // a browser's canary name: NXDOMAIN
        safeSearch,       // a search engine: its SafeSearch address
        forward,          // the family resolvers decide
    };
    Kind kind = Kind::forward;
    std::uint8_t rcode = 0;
    Ipv4 address{};
    std::uint8_t ttl = 0;
};

// The reply to query the decision makes here, into out (at least
// answerSize(...) bytes); its length, 0 when there is none to make here
// (ignore, forward) or out is too small.
std::size_t writeReply(std::span<std::byte> out, const Query& query, const Decision& decision);

}  // namespace tranca
