#include "daemon/upstream/upstream.h"

#include <algorithm>

#include "daemon/log.h"
#include "daemon/upstream/udp_attempt.h"

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

struct UpstreamForwarder::Forward {
    std::shared_ptr<const DnsMessage> query;
    std::size_t questionEnd = 0;
    // Some HTTPS resolver answered but refused this query: HTTPS itself works.
    bool httpsReached = false;
};

void UpstreamForwarder::forwardQuery(DnsBytes query, Completion done) {
    auto forward = std::make_shared<Forward>();
    {
        thread_local DNSQuestion question;
        if (!parseQuestionInto(query, question)) {
            done(std::nullopt);
            return;
        }
        forward->questionEnd = question.questionEnd;
    }
    forward->query = std::make_shared<const DnsMessage>(query.begin(), query.end());
    const bool plainFirst = plainPreferred();
    const Transport first =
        plainFirst ? &UpstreamForwarder::forwardOverUDP : &UpstreamForwarder::forwardOverHTTPS;
    const Transport second =
        plainFirst ? &UpstreamForwarder::forwardOverHTTPS : &UpstreamForwarder::forwardOverUDP;
    (this->*first)(forward, 0,
                   [this, forward, second, plainFirst,
                    done = std::move(done)](std::optional<DnsMessage> answer) mutable {
                       if (answer) {
                           done(std::move(answer));
                           return;
                       }
                       (this->*second)(forward, 0,
                                       [this, forward, plainFirst, done = std::move(done)](
                                           std::optional<DnsMessage> late) mutable {
                                           // Plain DNS is preferred only when HTTPS could
                                           // not be reached at all.
                                           if (late && (plainFirst || !forward->httpsReached)) {
                                               setPlainPreferred(!plainFirst);
                                           }
                                           done(std::move(late));
                                       });
                   });
}

void UpstreamForwarder::forwardOverHTTPS(SharedForward forward, std::size_t index,
                                         Completion done) {
    if (index >= endpoints_.dohUrls.size()) {
        done(std::nullopt);
        return;
    }
    dohClient_.post(
        endpoints_.dohUrls[index], forward->query,
        [this, forward, index, done = std::move(done)](DohResult result) mutable {
            const DnsMessage& query = *forward->query;
            if (result.body && isReplyTo(*result.body, query, forward->questionEnd, false)) {
                // The answer carries the client's ID, whatever the
                // server put there.
                std::copy_n(query.begin() + kIdOffset, kIdSize, result.body->begin() + kIdOffset);
                done(std::move(result.body));
                return;
            }
            if (!result.transportFailed) {
                forward->httpsReached = true;
            }
            forwardOverHTTPS(forward, index + 1, std::move(done));
        });
}

void UpstreamForwarder::forwardOverUDP(SharedForward forward, std::size_t index, Completion done) {
    if (index >= endpoints_.plain.size()) {
        done(std::nullopt);
        return;
    }
    startUdpAttempt(
        io_, endpoints_.plain[index], forward->query, forward->questionEnd, endpoints_.udpTimeout,
        [this, forward, index, done = std::move(done)](std::optional<DnsMessage> reply) mutable {
            if (reply) {
                done(std::move(reply));
                return;
            }
            forwardOverUDP(forward, index + 1, std::move(done));
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
        logLine(on ? "HTTPS no responde: se usa el DNS común por " +
                         durationText(endpoints_.plainPeriod)
                   : std::string("El DNS común no responde: se usa HTTPS"));
    }
}

}  // namespace tranca
