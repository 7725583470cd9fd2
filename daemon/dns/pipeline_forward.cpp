// The pipeline's road upstream: the answer cache first, then one upstream
// query per question however many clients wait for it, then the reply (or a
// stale answer, or SERVFAIL) to each of them with its own ID.
#include <random>

#include "daemon/dns/query_pipeline.h"
#include "daemon/lists/bypass.h"

namespace tranca {

namespace {

// A datagram carries at most what the client takes; TCP takes anything.
bool mustCut(const ReplyChannel& channel, std::size_t size, std::size_t limit) {
    return channel.datagram() && size > limit;
}

// Only the header and the question, TC set: the client asks again over TCP.
std::size_t cutForTcp(std::span<std::byte> reply, std::size_t questionEnd) {
    reply[kFlagsOffset] |= std::byte{kFlagTC};
    putU16(reply, kQuestionCountOffset, 1);
    putU16(reply, kAnswerCountOffset, 0);
    putU16(reply, kAuthorityCountOffset, 0);
    putU16(reply, kAdditionalCountOffset, 0);
    return questionEnd;
}

// reply, carrying asker's ID and question as it wrote them, fitted for its
// transport. reply must hold at least the question.
void sendTo(const Asker& asker, std::span<std::byte> reply) {
    if (!asker.channel || reply.size() < asker.questionEnd) {
        return;
    }
    std::copy_n(asker.query.begin(), kIdSize, reply.begin());
    std::copy(asker.query.begin() + kHeaderSize, asker.query.begin() + asker.questionEnd,
              reply.begin() + kHeaderSize);
    if (mustCut(*asker.channel, reply.size(), asker.udpLimit)) {
        reply = reply.first(cutForTcp(reply, asker.questionEnd));
    }
    asker.channel->send(asker.client, reply);
}

std::uint16_t refreshId() {
    thread_local std::minstd_rand ids(std::random_device{}());
    return static_cast<std::uint16_t>(ids());
}

}  // namespace

std::size_t QueryPipeline::answerFromCache(const Query& query, std::uint64_t generation,
                                           const ReplyChannel& channel, std::span<std::byte> out) {
    if (cache_ == nullptr) {
        return 0;
    }
    const DNSQuestion& question = query.question;
    const AnswerCache::Hit hit = cache_->lookup(query.bytes, question.questionEnd, generation,
                                                AnswerCache::Clock::now(), out);
    if (hit.size == 0) {
        return 0;
    }
    if (hit.familyBlocked) {
        blockLog_.blocked(kFamilyBlockedPrefix, question.name);
    }
    if (hit.prefetch) {
        prefetch(out.first(hit.size), question, generation);
    }
    if (mustCut(channel, hit.size, query.udpLimit)) {
        return cutForTcp(out, question.questionEnd);
    }
    return hit.size;
}

void QueryPipeline::prefetch(DnsBytes reply, const DNSQuestion& question,
                             std::uint64_t generation) {
    // A query of the daemon's own: a fresh ID, recursion desired, the
    // question alone. Nobody waits for it; its answer only refills the cache.
    Asker refresh;
    refresh.query.assign(reply.begin(), reply.begin() + question.questionEnd);
    refresh.questionEnd = question.questionEnd;
    putU16(refresh.query, kIdOffset, refreshId());
    refresh.query[kFlagsOffset] = std::byte{kFlagRD};
    refresh.query[kRcodeFlagsOffset] = std::byte{0};
    putU16(refresh.query, kQuestionCountOffset, 1);
    putU16(refresh.query, kAnswerCountOffset, 0);
    putU16(refresh.query, kAuthorityCountOffset, 0);
    putU16(refresh.query, kAdditionalCountOffset, 0);
    askUpstream(std::move(refresh), question, generation);
}

bool QueryPipeline::askUpstream(Asker asker, const DNSQuestion& question,
                                std::uint64_t generation) {
    std::string key;
    if (cache_ != nullptr) {
        KeyBuffer buffer;
        const std::string_view view = questionKey(asker.query, asker.questionEnd, buffer);
        const auto joined =
            view.empty() ? PendingQuestions::Join::full : pending_.join(view, std::move(asker));
        if (joined == PendingQuestions::Join::joined) {
            return true;
        }
        if (joined == PendingQuestions::Join::lead) {
            key = view;
        }
    }
    const std::size_t zone = zoneBucket(question.name);
    if (!admitForward(zone)) {
        // Whoever queued behind this question in the meantime fails with it.
        for (const Asker& waiter : key.empty() ? std::vector<Asker>{} : pending_.finish(key)) {
            if (auto servfail = buildServfail(waiter.query); servfail && waiter.channel) {
                waiter.channel->send(waiter.client, *servfail);
            }
        }
        return false;
    }
    forward(std::move(asker), question.name, std::move(key), zone, generation);
    return true;
}

void QueryPipeline::forward(Asker asker, std::string name, std::string key, std::size_t zone,
                            std::uint64_t generation) {
    struct Context {
        Asker asker;
        std::string name;
        std::string key;
        std::size_t zone;
        std::uint64_t generation;
    };
    auto context = std::make_shared<Context>(
        Context{std::move(asker), std::move(name), std::move(key), zone, generation});
    forwarder_.forwardQuery(context->asker.query, [this, context](std::optional<DnsMessage> reply) {
        release(context->zone);
        answerAll(context->asker, context->key, std::move(reply), context->name,
                  context->generation);
    });
}

void QueryPipeline::answerAll(const Asker& leader, const std::string& key,
                              std::optional<DnsMessage> reply, const std::string& name,
                              std::uint64_t generation) {
    const auto waiting = [&] { return key.empty() ? std::vector<Asker>{} : pending_.finish(key); };
    if (!reply) {
        std::vector<Asker> askers = waiting();
        askers.push_back(leader);
        DnsMessage stale(cache_ != nullptr ? kMaxCachedReply : 0);
        bool unanswered = false;
        for (const Asker& asker : askers) {
            // Every resolver failed: an expired answer beats none.
            const std::size_t size =
                cache_ == nullptr ? 0
                                  : cache_->lookupStale(asker.query, asker.questionEnd, generation,
                                                        AnswerCache::Clock::now(), stale);
            if (size != 0) {
                sendTo(asker, std::span(stale).first(size));
            } else if (auto servfail = buildServfail(asker.query); servfail && asker.channel) {
                unanswered = true;
                asker.channel->send(asker.client, *servfail);
            }
        }
        if (unanswered) {
            unansweredLog_.blocked("SIN RESPUESTA de los upstreams para ", name,
                                   BlockLog::Clock::now(), " — SERVFAIL");
        }
        return;
    }
    // A name on the lists hidden behind an innocent one (CNAME cloaking) is
    // blocked all the same; so is a public encrypted resolver behind an
    // alias. Such a reply is never kept.
    std::string listed;
    std::string_view prefix = kBlockedPrefix;
    const bool cloaked = anyAnswerName(*reply, [&](std::string_view owner) {
        if (lists_.isBlocked(owner)) {
            listed = owner;  // the view dies with the walk
            return true;
        }
        if (classifyBypassName(owner) == BypassName::encryptedResolver &&
            !lists_.isAllowed(owner)) {
            listed = owner;
            prefix = kResolverPrefix;
            return true;
        }
        return false;
    });
    if (cloaked) {
        blockLog_.blocked(prefix, listed);
        std::vector<Asker> askers = waiting();
        askers.push_back(leader);
        for (const Asker& asker : askers) {
            const std::uint16_t qtype = u16At(asker.query, asker.questionEnd - kQuestionFixedSize);
            DnsMessage blocked = buildAnswer(asker.query, qtype, asker.questionEnd,
                                             config_.blockAddress, kLocalAnswerTtl);
            sendTo(asker, blocked);
        }
        return;
    }
    const bool familyBlocked = rewriteFamilyBlock(*reply, config_.blockAddress);
    if (familyBlocked) {
        blockLog_.blocked(kFamilyBlockedPrefix, name);
    }
    if (cache_ != nullptr) {
        // Kept before the waiters are let go, so a question asked right after
        // finds it rather than going upstream again.
        cache_->store(leader.query, leader.questionEnd, *reply, familyBlocked, generation,
                      AnswerCache::Clock::now());
    }
    for (const Asker& waiter : waiting()) {
        DnsMessage own = *reply;
        sendTo(waiter, own);
    }
    sendTo(leader, *reply);
}

}  // namespace tranca
