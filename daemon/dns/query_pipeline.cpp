#include "daemon/dns/query_pipeline.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>

#include "daemon/lists/bypass.h"
#include "daemon/lists/normal_name.h"
#include "daemon/log.h"
#include "daemon/text.h"

namespace tranca {

namespace {

constexpr std::uint8_t kLocalTtl = 60;
constexpr std::uint8_t kStatusTtl = 1;
constexpr std::size_t kMaxForwardCap = 4096;
constexpr std::size_t kMaxTcpConnections = 1024;
constexpr std::size_t kDescriptorReserve = 256;
constexpr std::size_t kMinZoneShare = 8;
constexpr std::size_t kMaxZoneShare = 64;
// Clients that may wait behind the forwards in flight, per forward allowed.
constexpr std::size_t kWaitersPerForward = 4;

std::int64_t steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

DescriptorBudget descriptorBudgetFor(std::size_t descriptorLimit) {
    const std::size_t usable = descriptorLimit <= kDescriptorReserve * 2
                                   ? descriptorLimit / 2
                                   : descriptorLimit - kDescriptorReserve;
    DescriptorBudget budget;
    budget.tcpConnections = std::clamp<std::size_t>(usable / 4, 1, kMaxTcpConnections);
    budget.forwards = std::clamp<std::size_t>(usable - std::min(usable, budget.tcpConnections), 1,
                                              kMaxForwardCap);
    return budget;
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
                             std::size_t forwardCap, AnswerCache* cache)
    : config_(config),
      lists_(lists),
      safeSearch_(safeSearch),
      forwarder_(forwarder),
      cache_(cache),
      pending_(std::max<std::size_t>(forwardCap, 1) * kWaitersPerForward),
      forwardCap_(std::max<std::size_t>(forwardCap, 1)),
      zoneShare_(static_cast<std::uint32_t>(
          std::clamp<std::size_t>(forwardCap_ / 8, kMinZoneShare, kMaxZoneShare))) {}

std::string_view registeredDomain(std::string_view name) {
    // Start of the label that ends just before end.
    const auto labelStart = [name](std::size_t end) -> std::size_t {
        const std::size_t dot = end == 0 ? std::string_view::npos : name.rfind('.', end - 1);
        return dot == std::string_view::npos ? 0 : dot + 1;
    };
    const std::size_t top = labelStart(name.size());
    if (top == 0) {
        return name;
    }
    const std::size_t second = labelStart(top - 1);
    // "example.co.uk", "example.com.ar": a short second level is the registry's.
    if (second == 0 || top - 1 - second > 3) {
        return name.substr(second);
    }
    return name.substr(labelStart(second - 1));
}

std::size_t zoneBucket(std::string_view name) {
    std::uint32_t hash = 2166136261u;
    for (const char c : registeredDomain(name)) {
        hash = (hash ^ static_cast<std::uint8_t>(text::asciiLower(c))) * 16777619u;
    }
    return hash % kZoneBuckets;
}

bool QueryPipeline::isStatusName(std::string_view name) const {
    if (text::isAscii(name)) {
        return text::equalsIgnoringAsciiCase(name, config_.statusName);
    }
    // Some non-ASCII letters lower-case to ASCII ones; compare as the lists do.
    return text::lowercase(name) == config_.statusName;
}

DnsBytes QueryPipeline::handleQuery(DnsBytes query, const ClientAddress& client,
                                    const std::shared_ptr<ReplyChannel>& channel,
                                    std::span<std::byte> out) {
    // Nothing the daemon cannot read goes upstream: a lenient resolver could
    // read a name in it the lists never saw.
    switch (classifyQuery(query)) {
        case QueryKind::ignore:
            return {};
        case QueryKind::notImplemented:
            return out.first(buildHeaderReplyInto(out, query, kNotImp));
        case QueryKind::formatError:
            return out.first(buildHeaderReplyInto(out, query, kFormErr));
        case QueryKind::query:
            break;
    }
    thread_local DNSQuestion question;
    if (!parseQuestionInto(query, question)) {
        return out.first(buildHeaderReplyInto(out, query, kFormErr));
    }
    if (isStatusName(question.name)) {
        return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                         config_.statusAddress, kStatusTtl));
    }
    // The lists and SafeSearch compare names in normal form: made once here,
    // each of them then finds it ready.
    char normalBuffer[kNormalNameBuffer];
    thread_local std::string normalSpill;
    const std::string_view normal = normalName(question.name, normalBuffer, normalSpill);
    // Read before the decision: should the lists change while the answer is
    // on its way, it is not kept.
    const std::uint64_t generation = lists_.generation();
    if (lists_.isBlocked(normal)) {
        blockLog_.blocked(kBlockedPrefix, question.name);
        return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                         config_.blockAddress, kLocalTtl));
    }
    if (const BypassName bypass = classifyBypassName(question.name);
        bypass != BypassName::none && !lists_.isAllowed(normal)) {
        if (bypass == BypassName::encryptedResolver) {
            blockLog_.blocked(kResolverPrefix, question.name);
            return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                             config_.blockAddress, kLocalTtl));
        }
        if (dueOnceAMinute(nextCanaryLine_)) {
            logLine(
                "Nombre de control respondido NXDOMAIN (el navegador no usará su propio "
                "DNS cifrado): " +
                dnsNameText(question.name));
        }
        // Type 0 is none: the header and the question, no record.
        const std::size_t size =
            buildAnswerInto(out, query, 0, question.questionEnd, config_.blockAddress, 0);
        if (size != 0) {
            out[kRcodeFlagsOffset] = std::byte{kFlagRA | kNxDomain};
        }
        return out.first(size);
    }
    if (const auto host = safeHost(normal)) {
        const std::optional<Ipv4> address = safeSearch_.addressOf(*host);
        if (address && !lists_.isAllowed(normal)) {
            return out.first(buildAnswerInto(out, query, question.qtype, question.questionEnd,
                                             *address, kLocalTtl));
        }
    }
    if (const std::size_t size = answerFromCache(query, question, generation, *channel, out)) {
        return out.first(size);
    }
    Asker asker{.query = DnsMessage(query.begin(), query.end()),
                .questionEnd = question.questionEnd,
                .udpLimit = udpReplyLimit(query, question.questionEnd),
                .client = client,
                .channel = channel};
    if (!askUpstream(std::move(asker), question, generation)) {
        return out.first(buildServfailInto(out, query));
    }
    return {};
}

bool QueryPipeline::admitForward(std::size_t zone) {
    std::atomic<std::uint32_t>& zoneCount = zoneInFlight_[zone];
    std::uint32_t held = zoneCount.load(std::memory_order_relaxed);
    do {
        if (held >= zoneShare_) {
            if (dueOnceAMinute(nextZoneLine_)) {
                logLine("Demasiadas consultas esperando para un mismo dominio (límite " +
                        std::to_string(zoneShare_) + "): se responde SERVFAIL");
            }
            return false;
        }
    } while (!zoneCount.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
    std::size_t current = inFlight_.load(std::memory_order_relaxed);
    while (current < forwardCap_) {
        if (inFlight_.compare_exchange_weak(current, current + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    zoneCount.fetch_sub(1, std::memory_order_relaxed);
    if (dueOnceAMinute(nextCapLine_)) {
        logLine("Demasiadas consultas esperando a los upstreams (límite " +
                std::to_string(forwardCap_) + "): se responde SERVFAIL");
    }
    return false;
}

bool QueryPipeline::dueOnceAMinute(std::atomic<std::int64_t>& nextLine) {
    const std::int64_t now = steadySeconds();
    std::int64_t allowed = nextLine.load(std::memory_order_relaxed);
    return now >= allowed &&
           nextLine.compare_exchange_strong(allowed, now + 60, std::memory_order_relaxed);
}

void QueryPipeline::release(std::size_t zone) {
    zoneInFlight_[zone].fetch_sub(1, std::memory_order_relaxed);
    inFlight_.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace tranca
