#include "daemon/query_pipeline.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>

#include "daemon/log.h"
#include "daemon/text.h"

namespace tranca {

namespace {

constexpr std::uint8_t kLocalTtl = 60;
constexpr std::uint8_t kStatusTtl = 1;
constexpr std::size_t kMaxForwardCap = 4096;
constexpr std::size_t kDescriptorReserve = 256;

std::int64_t steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool equalsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (text::asciiLower(a[i]) != text::asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::size_t forwardCapFor(std::size_t descriptorLimit) {
    if (descriptorLimit <= kDescriptorReserve * 2) {
        return std::max<std::size_t>(descriptorLimit / 2, 1);
    }
    return std::min(descriptorLimit - kDescriptorReserve, kMaxForwardCap);
}

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return kMaxForwardCap * 16;
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

QueryPipeline::QueryPipeline(const DaemonConfig& config, const Blocklist& lists,
                             SafeSearch& safeSearch, QueryForwarder& forwarder,
                             std::size_t forwardCap)
    : config_(config),
      lists_(lists),
      safeSearch_(safeSearch),
      forwarder_(forwarder),
      forwardCap_(std::max<std::size_t>(forwardCap, 1)) {}

bool QueryPipeline::isStatusName(std::string_view name) const {
    if (text::isAscii(name)) {
        return equalsAsciiNoCase(name, config_.statusName);
    }
    // Some non-ASCII letters lower-case to ASCII ones; compare as the lists do.
    return text::lowercase(name) == config_.statusName;
}

DnsBytes QueryPipeline::handleQuery(DnsBytes query, const ClientAddress& client,
                                    const std::shared_ptr<ReplyChannel>& channel,
                                    std::span<std::byte> out) {
    if (query.empty()) {
        return {};
    }
    thread_local DNSQuestion question;
    if (!parseQuestionInto(query, question)) {
        if (!admitForward()) {
            return out.first(buildServfailInto(out, query));
        }
        forward(query, nullptr, client, channel);
        return {};
    }
    if (isStatusName(question.name)) {
        return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                         config_.statusAddress, kStatusTtl));
    }
    if (lists_.isBlocked(question.name)) {
        thread_local std::string line;
        line.assign("BLOQUEADO ");
        line.append(question.name);
        logLine(line);
        return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                         config_.blockAddress, kLocalTtl));
    }
    if (const auto host = safeHost(question.name)) {
        const std::optional<Ipv4> address = safeSearch_.addressOf(*host);
        if (address && !lists_.isAllowed(question.name)) {
            return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                             *address, kLocalTtl));
        }
    }
    if (!admitForward()) {
        return out.first(buildServfailInto(out, query));
    }
    forward(query, &question, client, channel);
    return {};
}

bool QueryPipeline::admitForward() {
    std::size_t current = inFlight_.load(std::memory_order_relaxed);
    while (current < forwardCap_) {
        if (inFlight_.compare_exchange_weak(current, current + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    const std::int64_t now = steadySeconds();
    std::int64_t allowed = nextCapLine_.load(std::memory_order_relaxed);
    if (now >= allowed &&
        nextCapLine_.compare_exchange_strong(allowed, now + 60, std::memory_order_relaxed)) {
        logLine("Demasiadas consultas esperando a los upstreams (límite " +
                std::to_string(forwardCap_) + "): se responde SERVFAIL");
    }
    return false;
}

void QueryPipeline::forward(DnsBytes query, const DNSQuestion* question,
                            const ClientAddress& client,
                            const std::shared_ptr<ReplyChannel>& channel) {
    struct Context {
        bool parsed = false;
        std::string name;
        DnsMessage query;
        ClientAddress client;
        std::shared_ptr<ReplyChannel> channel;
    };
    auto context = std::make_shared<Context>();
    context->parsed = question != nullptr;
    if (question != nullptr) {
        context->name = question->name;
    }
    context->query.assign(query.begin(), query.end());
    context->client = client;
    context->channel = channel;
    forwarder_.forwardQuery(query, [this, context](std::optional<DnsMessage> reply) {
        inFlight_.fetch_sub(1, std::memory_order_relaxed);
        if (reply) {
            if (context->parsed && rewriteFamilyBlock(*reply, config_.blockAddress)) {
                logLine("BLOQUEADO (filtro familiar) " + context->name);
            }
            context->channel->send(context->client, *reply);
            return;
        }
        if (context->parsed) {
            logLine("SIN RESPUESTA de los upstreams para " + context->name + " — SERVFAIL");
        }
        if (const auto servfail = buildServfail(context->query)) {
            context->channel->send(context->client, *servfail);
        }
    });
}

}  // namespace tranca
