#include <cstdint>
#include <cstring>

#include "daemon/wire/dns_message.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reply = tranca::buildServfail(tranca::asBytes(data, size));
    if (size < 4) {
        FUZZ_CHECK(!reply);
        return 0;
    }
    FUZZ_CHECK(reply && reply->size() == size);
    const auto* out = reinterpret_cast<const std::uint8_t*>(reply->data());
    FUZZ_CHECK(out[2] == (data[2] | 0x80));
    FUZZ_CHECK((out[3] & 0x0F) == 2 && (out[3] & 0xF0) == (data[3] & 0xF0));
    FUZZ_CHECK(std::memcmp(out, data, 2) == 0 && std::memcmp(out + 4, data + 4, size - 4) == 0);
    return 0;
}
