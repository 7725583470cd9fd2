// An upstream reply through the answer cache: whatever it holds, what the
// cache hands back is a reply to the question asked, with the asker's ID,
// records that read whole, and owners only the question's name or a name its
// CNAME chain leads to.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "daemon/text.h"
#include "daemon/upstream/answer_cache.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace tranca;

// Every answer's owner is the question's name or the target of a CNAME in
// the same answer; false too when a record does not read whole.
bool ownersInChain(DnsBytes reply) {
    char buffer[kMaxNameWire];
    std::size_t offset = 0;
    const auto qname = readName(reply, kHeaderSize, buffer, offset);
    std::set<std::string> chain{text::lowercase({buffer, qname.value_or(0)})};
    std::vector<std::string> owners;
    offset = *answersStart(reply);
    for (std::size_t i = 0; i < u16At(reply, kAnswerCountOffset); ++i) {
        std::size_t next = 0;
        const auto length = readName(reply, offset, buffer, next);
        const auto record = length ? readRecordHeader(reply, next) : std::nullopt;
        if (!record || reply.size() < record->end) {
            return false;
        }
        owners.push_back(text::lowercase({buffer, *length}));
        if (record->type == RecordType::CNAME) {
            const auto target = readName(reply, record->data, buffer, next);
            if (!target) {
                return false;
            }
            chain.insert(text::lowercase({buffer, *target}));
        }
        offset = record->end;
    }
    return std::all_of(owners.begin(), owners.end(),
                       [&](const std::string& owner) { return chain.count(owner) == 1; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // First byte: the query's length; the rest after it is the upstream reply.
    const std::size_t split = std::min<std::size_t>(1 + data[0], size);
    const DnsBytes query = asBytes(data + 1, split - 1);
    const DnsBytes reply = asBytes(data + split, size - split);
    const auto question = parseQuestion(query);
    // Only replies that passed the forwarder's check ever reach the cache.
    if (!question || !isReplyTo(reply, query, question->questionEnd, false)) {
        return 0;
    }
    AnswerCache cache;
    const AnswerCache::Clock::time_point now{};
    cache.store(query, question->questionEnd, reply, false, 1, now);
    DnsMessage again(query.begin(), query.end());
    again[0] ^= std::byte{0x5A};  // another asker
    DnsMessage out(kMaxCachedReply + 512);
    const auto hit = cache.lookup(again, question->questionEnd, 1, now, out);
    if (hit.size == 0) {
        return 0;
    }
    const DnsBytes cached(out.data(), hit.size);
    FUZZ_CHECK(hit.size <= kMaxCachedReply);
    FUZZ_CHECK(isReplyTo(cached, again, question->questionEnd, true));
    FUZZ_CHECK(u16At(cached, kAdditionalCountOffset) == 0);
    FUZZ_CHECK(u16At(cached, kAnswerCountOffset) <= u16At(reply, kAnswerCountOffset));
    FUZZ_CHECK(answersStart(cached).has_value());
    FUZZ_CHECK(ownersInChain(cached));
    return 0;
}
