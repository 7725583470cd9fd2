#include "platform/listener_owner.h"

#include <gtest/gtest.h>

#include <string>

namespace tranca::platform {
namespace {

// A socket table as a little-endian kernel prints it: header, then one line
// for local address (1F90 is port 8080), state (0A listening) and uid.
std::string table(const std::string& local, const char* state, const char* uid) {
    return "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
           "   0: " +
           local + " 00000000:0000 " + state + " 00000000:00000000 00:00000000 00000000 " + uid +
           " 0 4242 1\n";
}

TEST(LoopbackListeners, OnlyListenersThatTakeLoopbackConnectionsOnThePortCount) {
    const std::string v6(24, '0');
    const struct {
        const char* fault;
        bool ipv6;
        std::string text;
        std::vector<std::uint32_t> owners;
    } rows[] = {
        {"loopback listener missed", false, table("0100007F:1F90", "0A", "998"), {998}},
        {"wildcard listener missed", false, table("00000000:1F90", "0A", "65534"), {65534}},
        {"IPv6 wildcard missed", true, table(v6 + "00000000:1F90", "0A", "5"), {5}},
        {"IPv4-mapped loopback missed",
         true,
         table("0000000000000000FFFF00000100007F:1F90", "0A", "7"),
         {7}},
        {"other port counted", false, table("0100007F:1F91", "0A", "998"), {}},
        {"connection counted", false, table("0100007F:1F90", "01", "998"), {}},
        {"other address counted", false, table("0200007F:1F90", "0A", "998"), {}},
        {"IPv6 loopback counted", true, table(v6 + "01000000:1F90", "0A", "5"), {}},
        {"short address read", false, table("100007F:1F90", "0A", "998"), {}},
        {"bad uid read", false, table("0100007F:1F90", "0A", "99x"), {}},
        {"cut line read", false, table("0100007F:1F90", "0A", "").substr(0, 120), {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(loopbackListeners(row.text, 8080, row.ipv6), row.owners) << row.fault;
    }
    EXPECT_FALSE(loopbackPortHeldBy("no-existe-este-usuario", 8080));
}

}  // namespace
}  // namespace tranca::platform
