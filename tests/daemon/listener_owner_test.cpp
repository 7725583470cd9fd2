#include "platform/listener_owner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tranca::platform {
namespace {

// Lines as the kernel prints them on a little-endian machine; 1F90 is 8080.
constexpr std::string_view kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";

struct Row {
    const char* fault;
    bool ipv6;
    std::string line;
    std::vector<std::uint32_t> owners;
};

std::string line(std::string_view local, std::string_view state, std::string_view uid) {
    return "   0: " + std::string(local) + " 00000000:0000 " + std::string(state) +
           " 00000000:00000000 00:00000000 00000000 " + std::string(uid) + " 0 4242 1\n";
}

TEST(LoopbackListeners, OnlyListenersThatTakeLoopbackConnectionsOnThePortCount) {
    const std::string v6any(32, '0');
    const std::string v6mapped = "0000000000000000FFFF00000100007F";
    const std::vector<Row> rows = {
        {"loopback listener missed", false, line("0100007F:1F90", "0A", "998"), {998}},
        {"wildcard listener missed", false, line("00000000:1F90", "0A", "65534"), {65534}},
        {"IPv6 wildcard missed", true, line(v6any + ":1F90", "0A", "65534"), {65534}},
        {"IPv4-mapped loopback missed", true, line(v6mapped + ":1F90", "0A", "7"), {7}},
        {"other port counted", false, line("0100007F:1F91", "0A", "998"), {}},
        {"connection counted as listener", false, line("0100007F:1F90", "01", "998"), {}},
        {"other address counted", false, line("0200007F:1F90", "0A", "998"), {}},
        {"IPv6 loopback counted",
         true,
         line(std::string(24, '0') + "01000000:1F90", "0A", "5"),
         {}},
        {"short address read", false, line("100007F:1F90", "0A", "998"), {}},
        {"bad uid read", false, line("0100007F:1F90", "0A", "99x"), {}},
        {"cut line read", false, "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000", {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(loopbackListeners(std::string(kHeader) + row.line, 8080, row.ipv6), row.owners)
            << row.fault;
    }
}

TEST(LoopbackListeners, NoUserNoTrust) {
    EXPECT_EQ(userId("root"), 0u);
    EXPECT_FALSE(userId("no-existe-este-usuario").has_value());
    EXPECT_FALSE(loopbackPortHeldBy("no-existe-este-usuario", 8080));
}

}  // namespace
}  // namespace tranca::platform
