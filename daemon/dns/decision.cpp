#include "daemon/dns/decision.h"

namespace tranca {

std::size_t writeReply(std::span<std::byte> out, const Query& query, const Decision& decision) {
    const DNSQuestion& question = query.question;
    switch (decision.kind) {
        case Decision::Kind::ignore:
        case Decision::Kind::forward:
            return 0;
        case Decision::Kind::refuse:
            return buildHeaderReplyInto(out, query.bytes, decision.rcode);
        case Decision::Kind::canary: {
            // Type 0 is none: the header and the question, no record.
            const std::size_t size =
                buildAnswerInto(out, query.bytes, 0, question.questionEnd, decision.address, 0);
            if (size != 0) {
                out[kRcodeFlagsOffset] = std::byte{kFlagRA | kNxDomain};
            }
            return size;
        }
        case Decision::Kind::status:
        case Decision::Kind::blocked:
        case Decision::Kind::resolverBlocked:
        case Decision::Kind::safeSearch:
            return buildAnswerInto(out, query.bytes, question.qtype, question.questionEnd,
                                   decision.address, decision.ttl);
    }
    return 0;
}

}  // namespace tranca
