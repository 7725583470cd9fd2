// The decision for one DNS datagram: status name, blocked name, SafeSearch, or
// forward to the family resolvers and relay their reply.
#pragma once

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "daemon/config.h"
#include "daemon/dns/block_log.h"
#include "daemon/dns/decision.h"
#include "daemon/dns/pending_questions.h"
#include "daemon/dns/reply_channel.h"
#include "daemon/lists/lists.h"
#include "daemon/lists/normal_name.h"
#include "daemon/lists/safesearch.h"
#include "daemon/upstream/answer_cache.h"
#include "daemon/upstream/upstream.h"
#include "daemon/wire/dns_message.h"

namespace tranca {

// Big enough for any local reply: the largest UDP payload plus one A record.
inline constexpr std::size_t kReplyBufferSize = 65536 + kAnswerOverhead;

// Forwards in flight are also counted per domain, so names under one domain
// whose servers never answer (a flood of random names, say) cannot take every
// slot: a share of the cap each. Counted in buckets of a hash; two domains
// that meet in one bucket only share a budget.
inline constexpr std::size_t kZoneBuckets = 1024;

// Not "BLOQUEADO ": a browser probing a resolver is no site the person
// opened, and the tray application must not react to it.
// What the filter answers itself (a block, SafeSearch) lives a minute in
// the clients' caches, so a site allowed again opens within a minute.
inline constexpr std::uint8_t kLocalAnswerTtl = 60;

// Names no upstream answered are logged at most once a minute each: an
// offline machine would otherwise log every name it is asked for.
inline constexpr BlockLogLimits kUnansweredLogLimits{.perName = std::chrono::minutes(1),
                                                     .linesPerSecond = 10,
                                                     .linesPerSecondWithNewNames = 10,
                                                     .omittedWhat = "«SIN RESPUESTA»"};

inline constexpr std::string_view kResolverPrefix = "Resolvedor cifrado bloqueado: ";
std::size_t zoneBucket(std::string_view name);
// The last two labels of name, or three when the second-level label is as
// short as a registry's ("co", "com"): "a.b.example.co.uk" gives "example.co.uk".
std::string_view registeredDomain(std::string_view name);

// A datagram read ahead of its decision, its name in normal form.
struct PreparedQuery {
    Query query;
    QueryKind kind = QueryKind::ignore;
    std::string_view normal;       // in normalBuffer or spill
    std::uint64_t generation = 0;  // of the lists the look-up holds, or newer
    Blocklist::Lookup lookup;
    std::array<char, kNormalNameBuffer> normalBuffer;
    std::string spill;
};

class QueryPipeline {
  public:
    // forwardCap bounds the queries waiting for the upstreams at once; beyond
    // it queries are answered SERVFAIL at once so a flood cannot eat every
    // descriptor the daemon has.
    // With a cache, forwarded answers are kept and identical questions in
    // flight share one upstream query; without one, every query goes upstream.
    QueryPipeline(const DaemonConfig& config, const Blocklist& lists, SafeSearch& safeSearch,
                  QueryForwarder& forwarder, std::size_t forwardCap, AnswerCache* cache = nullptr);

    // Decides one datagram. A reply made here is written into out (at least
    // kReplyBufferSize bytes) and returned; forwarded queries return nothing
    // and are answered later through channel.
    DnsBytes handleQuery(DnsBytes query, const ClientAddress& client,
                         const std::shared_ptr<ReplyChannel>& channel, std::span<std::byte> out);

    // handleQuery in two steps, for a batch: prepare reads every datagram and
    // starts fetching the list entries its name needs, then handlePrepared
    // decides each, so the batch's cache misses overlap. bytes must outlive
    // handlePrepared.
    void prepare(DnsBytes bytes, PreparedQuery& prepared) const;
    void prefetchNames(const PreparedQuery& prepared) const;
    DnsBytes handlePrepared(PreparedQuery& prepared, const ClientAddress& client,
                            const std::shared_ptr<ReplyChannel>& channel, std::span<std::byte> out);

    std::size_t forwardsInFlight() const { return inFlight_.load(std::memory_order_relaxed); }
    std::size_t forwardCap() const { return forwardCap_; }
    // How many forwards one domain may hold at once (see zoneBucket).
    std::size_t zoneShare() const { return zoneShare_; }

    // Tells what the block lines left out; meant for a once-a-second timer.
    void flushBlockLog() {
        blockLog_.flush();
        unansweredLog_.flush();
    }

  private:
    // What to do with a prepared query.
    Decision decide(const PreparedQuery& prepared) const;
    // The log lines a decision made here calls for.
    void tell(const Decision& decision, const std::string& name);
    bool isStatusName(std::string_view name) const;
    bool admitForward(std::size_t zone);
    void release(std::size_t zone);
    // True at most once a minute per counter, for lines a client could repeat.
    static bool dueOnceAMinute(std::atomic<std::int64_t>& nextLine);
    // Asks the upstreams for asker's question; the reply goes to asker and
    // to everyone who waits behind it under key (empty: nobody can).
    void forward(Asker asker, std::string name, std::string key, std::size_t zone,
                 std::uint64_t generation);
    // The cached answer in out, fitted for the client; 0 on a miss.
    std::size_t answerFromCache(const Query& query, std::uint64_t generation,
                                const ReplyChannel& channel, std::span<std::byte> out);
    // Forwards asker's question, or queues it behind the same one in flight.
    // False when the upstreams take no more queries now.
    bool askUpstream(Asker asker, const DNSQuestion& question, std::uint64_t generation);
    void prefetch(DnsBytes reply, const DNSQuestion& question, std::uint64_t generation);
    // Sends reply (none: a stale answer or SERVFAIL) to leader and to those
    // waiting under key.
    void answerAll(const Asker& leader, const std::string& key, std::optional<DnsMessage> reply,
                   const std::string& name, std::uint64_t generation);

    const DaemonConfig& config_;
    const Blocklist& lists_;
    SafeSearch& safeSearch_;
    QueryForwarder& forwarder_;
    AnswerCache* const cache_;
    PendingQuestions pending_;
    const std::size_t forwardCap_;
    const std::uint32_t zoneShare_;
    std::atomic<std::size_t> inFlight_{0};
    std::array<std::atomic<std::uint32_t>, kZoneBuckets> zoneInFlight_{};
    std::atomic<std::int64_t> nextCapLine_{0};
    std::atomic<std::int64_t> nextZoneLine_{0};
    std::atomic<std::int64_t> nextCanaryLine_{0};
    BlockLog blockLog_;
    BlockLog unansweredLog_{kUnansweredLogLimits};
};

// How the descriptors are shared out: forwards in flight (each holds at most
// one socket at a time) and TCP client connections, a quarter of what is left
// once a reserve is kept for the listeners, the self-check and files. The two
// together never exceed that, whatever a local client opens.
struct DescriptorBudget {
    std::size_t forwards = 0;
    std::size_t tcpConnections = 0;
};
DescriptorBudget descriptorBudgetFor(std::size_t descriptorLimit);

// Raises the soft descriptor limit to the hard one; returns the limit in force.
std::size_t raiseDescriptorLimit();

}  // namespace tranca
