#include "daemon/upstream.h"

#include <algorithm>

#include "daemon/log.h"
#include "daemon/udp_attempt.h"

namespace tranca {

UpstreamEndpoints UpstreamEndpoints::fromConfig(const DaemonConfig& config) {
    UpstreamEndpoints endpoints;
    endpoints.dohUrls = config.dohUpstreams;
    for (const std::string& address : config.plainUpstreams) {
        std::error_code error;
        const auto parsed = asio::ip::make_address(address, error);
        if (!error) {
            endpoints.plain.emplace_back(parsed, 53);
        }
    }
    return endpoints;
}

UpstreamForwarder::UpstreamForwarder(asio::io_context& io, UpstreamEndpoints endpoints)
    : io_(io),
      endpoints_(std::move(endpoints)),
      dohClient_(io.get_executor(), DohOptions{endpoints_.caBundle, endpoints_.dohTimeout}) {}

bool UpstreamForwarder::plainPreferred() const {
    const std::lock_guard<std::mutex> guard(fallbackLock_);
    return Clock::now() < plainUntil_;
}

void UpstreamForwarder::forwardQuery(DnsBytes query, Completion done) {
    auto shared = std::make_shared<const DnsMessage>(query.begin(), query.end());
    const bool plainFirst = plainPreferred();
    const Transport first =
        plainFirst ? &UpstreamForwarder::forwardOverUDP : &UpstreamForwarder::forwardOverHTTPS;
    const Transport second =
        plainFirst ? &UpstreamForwarder::forwardOverHTTPS : &UpstreamForwarder::forwardOverUDP;
    const bool secondIsPlain = !plainFirst;
    (this->*first)(shared, 0,
                   [this, shared, second, secondIsPlain,
                    done = std::move(done)](std::optional<DnsMessage> answer) mutable {
                       if (answer) {
                           done(std::move(answer));
                           return;
                       }
                       (this->*second)(shared, 0,
                                       [this, secondIsPlain, done = std::move(done)](
                                           std::optional<DnsMessage> late) mutable {
                                           if (late) {
                                               setPlainPreferred(secondIsPlain);
                                           }
                                           done(std::move(late));
                                       });
                   });
}

void UpstreamForwarder::forwardOverHTTPS(SharedQuery query, std::size_t index, Completion done) {
    if (index >= endpoints_.dohUrls.size()) {
        done(std::nullopt);
        return;
    }
    dohClient_.post(
        endpoints_.dohUrls[index], query,
        [this, query, index, done = std::move(done)](std::optional<DnsMessage> body) mutable {
            if (!body) {
                forwardOverHTTPS(query, index + 1, std::move(done));
                return;
            }
            // The answer carries the client's ID, whatever the
            // server put there.
            const std::size_t idBytes = std::min<std::size_t>(2, query->size());
            std::copy_n(query->begin(), idBytes, body->begin());
            done(std::move(body));
        });
}

void UpstreamForwarder::forwardOverUDP(SharedQuery query, std::size_t index, Completion done) {
    if (index >= endpoints_.plain.size()) {
        done(std::nullopt);
        return;
    }
    startUdpAttempt(
        io_, endpoints_.plain[index], query, endpoints_.udpTimeout,
        [this, query, index, done = std::move(done)](std::optional<DnsMessage> reply) mutable {
            if (reply) {
                done(std::move(reply));
                return;
            }
            forwardOverUDP(query, index + 1, std::move(done));
        });
}

void UpstreamForwarder::setPlainPreferred(bool on) {
    bool was = false;
    {
        const std::lock_guard<std::mutex> guard(fallbackLock_);
        const Clock::time_point now = Clock::now();
        was = now < plainUntil_;
        plainUntil_ = on ? now + endpoints_.plainPeriod : Clock::time_point::min();
    }
    if (on != was) {
        logLine(on ? "HTTPS no responde: se usa el DNS común por 5 min"
                   : "El DNS común no responde: se usa HTTPS");
    }
}

}  // namespace tranca
