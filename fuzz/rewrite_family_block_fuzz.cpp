#include <cstdint>

#include "daemon/wire/dns_message.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size heap copy, so AddressSanitizer sees any write past the end.
    tranca::DnsMessage reply(size);
    for (std::size_t i = 0; i < size; ++i) {
        reply[i] = std::byte{data[i]};
    }
    const bool rewrote = tranca::rewriteFamilyBlock(reply, {127, 0, 0, 1});
    std::size_t changed = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto now = static_cast<std::uint8_t>(reply[i]);
        if (now != data[i]) {
            // Only zero bytes of an address may change, and only to the block address.
            FUZZ_CHECK(data[i] == 0 && (now == 127 || now == 1));
            ++changed;
        }
    }
    FUZZ_CHECK(rewrote == (changed > 0));
    // Applying it again finds nothing more to do.
    FUZZ_CHECK(!tranca::rewriteFamilyBlock(reply, {127, 0, 0, 1}));
    return 0;
}
