#include "daemon/dns/query_pipeline.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>

#include "daemon/lists/bypass.h"
#include "daemon/log.h"
#include "daemon/text.h"

namespace tranca {

namespace {

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

Decision QueryPipeline::decide(const PreparedQuery& prepared) const {
    const Query& query = prepared.query;
    const std::string_view normal = prepared.normal;
    // Nothing the daemon cannot read goes upstream: a lenient resolver could
    // read a name in it the lists never saw.
    switch (prepared.kind) {
        case QueryKind::ignore:
            return {.kind = Decision::Kind::ignore};
        case QueryKind::notImplemented:
            return {.kind = Decision::Kind::refuse, .rcode = kNotImp};
        case QueryKind::formatError:
            return {.kind = Decision::Kind::refuse, .rcode = kFormErr};
        case QueryKind::query:
            break;
    }
    const std::string& name = query.question.name;
    if (isStatusName(name)) {
        return {
            .kind = Decision::Kind::status, .address = config_.statusAddress, .ttl = kStatusTtl};
    }
    if (lists_.isBlocked(prepared.lookup)) {
        return {.kind = Decision::Kind::blocked,
                .address = config_.blockAddress,
                .ttl = kLocalAnswerTtl};
    }
    if (const BypassName bypass = classifyBypassName(name);
        bypass != BypassName::none && !lists_.isAllowed(prepared.lookup)) {
        if (bypass == BypassName::encryptedResolver) {
            return {.kind = Decision::Kind::resolverBlocked,
                    .address = config_.blockAddress,
                    .ttl = kLocalAnswerTtl};
        }
        return {.kind = Decision::Kind::canary};
    }
    if (const auto host = safeHost(normal)) {
        const std::optional<Ipv4> address = safeSearch_.addressOf(*host);
        if (address && !lists_.isAllowed(prepared.lookup)) {
            return {
                .kind = Decision::Kind::safeSearch, .address = *address, .ttl = kLocalAnswerTtl};
        }
    }
    return {.kind = Decision::Kind::forward};
}

void QueryPipeline::tell(const Decision& decision, const std::string& name) {
    switch (decision.kind) {
        case Decision::Kind::blocked:
            blockLog_.blocked(kBlockedPrefix, name);
            break;
        case Decision::Kind::resolverBlocked:
            blockLog_.blocked(kResolverPrefix, name);
            break;
        case Decision::Kind::canary:
            if (dueOnceAMinute(nextCanaryLine_)) {
                logLine(
                    "Nombre de control respondido NXDOMAIN (el navegador no usará su propio "
                    "DNS cifrado): " +
                    dnsNameText(name));
            }
            break;
        default:
            break;
    }
}

DnsBytes QueryPipeline::handleQuery(DnsBytes bytes, const ClientAddress& client,
                                    const std::shared_ptr<ReplyChannel>& channel,
                                    std::span<std::byte> out) {
    thread_local PreparedQuery prepared;
    prepare(bytes, prepared);
    return handlePrepared(prepared, client, channel, out);
}

void QueryPipeline::prepare(DnsBytes bytes, PreparedQuery& prepared) const {
    prepared.kind = parseQueryInto(bytes, prepared.query);
    if (prepared.kind != QueryKind::query) {
        prepared.normal = {};
        return;
    }
    // The lists and SafeSearch compare names in normal form: made once here,
    // each of them then finds it ready.
    prepared.normal =
        normalName(prepared.query.question.name, prepared.normalBuffer, prepared.spill);
    // Read before the lists: should they change while the answer is on its
    // way, it is not kept.
    prepared.generation = lists_.generation();
    lists_.prepare(prepared.normal, prepared.lookup);
}

void QueryPipeline::prefetchNames(const PreparedQuery& prepared) const {
    if (prepared.kind == QueryKind::query) {
        lists_.prefetchNames(prepared.lookup);
    }
}

DnsBytes QueryPipeline::handlePrepared(PreparedQuery& prepared, const ClientAddress& client,
                                       const std::shared_ptr<ReplyChannel>& channel,
                                       std::span<std::byte> out) {
    const Query& query = prepared.query;
    const std::uint64_t generation = prepared.generation;
    const Decision decision = decide(prepared);
    prepared.lookup.clear();
    if (decision.kind != Decision::Kind::forward) {
        tell(decision, query.question.name);
        return out.first(writeReply(out, query, decision));
    }
    if (const std::size_t size = answerFromCache(query, generation, *channel, out)) {
        return out.first(size);
    }
    Asker asker{.query = DnsMessage(query.bytes.begin(), query.bytes.end()),
                .questionEnd = query.question.questionEnd,
                .udpLimit = query.udpLimit,
                .client = client,
                .channel = channel};
    if (!askUpstream(std::move(asker), query.question, generation)) {
        return out.first(buildServfailInto(out, query.bytes));
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
