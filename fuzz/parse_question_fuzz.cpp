#include <cstdint>

#include "daemon/wire/dns_message.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tranca::DnsBytes query = tranca::asBytes(data, size);
    const auto question = tranca::parseQuestion(query);
    const auto whole = tranca::parseQuery(query);
    // A whole query reads its question the same way, its header as written.
    FUZZ_CHECK(!whole || (question && whole->question.name == question->name &&
                          whole->question.questionEnd == question->questionEnd &&
                          whole->id == ((data[0] << 8) | data[1]) &&
                          whole->udpLimit >= tranca::kPlainUdpLimit &&
                          whole->udpLimit <= tranca::kMaxUdpLimit));
    if (!question) {
        return 0;
    }
    FUZZ_CHECK(size >= tranca::kMinQuestionMessage);
    FUZZ_CHECK(question->questionEnd >= 17 && question->questionEnd <= size);
    FUZZ_CHECK(data[question->questionEnd - 5] == 0);
    FUZZ_CHECK(question->questionEnd - 4 - tranca::kHeaderSize <= tranca::kMaxNameWire);
    FUZZ_CHECK(question->qtype ==
               ((data[question->questionEnd - 4] << 8) | data[question->questionEnd - 3]));
    return 0;
}
