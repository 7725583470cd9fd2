#include <cstdint>
#include <cstring>

#include "daemon/wire/dns_message.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tranca::DnsBytes query = tranca::asBytes(data, size);
    const auto question = tranca::parseQuestion(query);
    if (!question) {
        return 0;
    }
    const tranca::Ipv4 address{127, 0, 0, 1};
    const tranca::DnsMessage reply =
        tranca::buildAnswer(query, question->qtype, question->questionEnd, address, 60);
    FUZZ_CHECK(reply.size() == tranca::answerSize(question->qtype, question->questionEnd));
    FUZZ_CHECK(std::memcmp(reply.data(), data, 2) == 0);
    FUZZ_CHECK(std::memcmp(reply.data() + 12, data + 12, question->questionEnd - 12) == 0);
    // The reply is itself a message whose question reads back the same.
    const auto again = tranca::parseQuestion(reply);
    FUZZ_CHECK(again && again->name == question->name && again->qtype == question->qtype);
    if (question->qtype == 1) {
        tranca::DnsMessage copy = reply;
        FUZZ_CHECK(!tranca::rewriteFamilyBlock(copy) && copy == reply);
    }
    return 0;
}
