// The DNS lock: a table of our own in the kernel's packet filter ("inet
// amparo") so that no program resolves names around the filter. While the
// filter answers, DNS sent to any other address is redirected to it; DNS
// over TLS or QUIC (853) and HTTPS to the public encrypted resolvers'
// addresses are refused. When the filter stops, the table lets only the
// backup family resolvers through. trancad's own sockets carry a mark
// (SO_MARK, which only root may set), and nothing else is exempt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/packet_filter.h"

namespace tranca {

// On every socket trancad sends upstream with: its traffic passes the lock.
inline constexpr std::uint32_t kDnsLockMark = 0x414d;
inline constexpr std::string_view kDnsLockTable = "inet amparo";

enum class LockMode { local, respaldo };

struct DnsLockAddresses {
    std::vector<std::string> backupV4;
    std::vector<std::string> backupV6;
    std::vector<std::string> resolverV4;
    std::vector<std::string> resolverV6;

    // The backup family resolvers and the reviewed list of public encrypted
    // resolvers' addresses.
    static DnsLockAddresses standard();
};

// The whole table in nft's language, replacing any table of that name in
// one transaction (so a hand-edited one is replaced whole).
std::string dnsLockRules(LockMode mode, const DnsLockAddresses& addresses, std::uint16_t dnsPort);

// Sets the mark on a socket; false when the kernel refused it.
bool markSocket(int fd);

class DnsLock {
  public:
    // filter may be null (libnftables missing): every call then fails quietly.
    DnsLock(std::unique_ptr<platform::PacketFilter> filter, std::uint16_t dnsPort,
            DnsLockAddresses addresses = DnsLockAddresses::standard());

    // Puts the table in place for mode, logging the change.
    bool apply(LockMode mode);
    // Re-applies mode when the table is missing or differs from what was
    // applied last (a flush, a hand edit); logged once per repair.
    void keep(LockMode mode);
    // Removes the table; true when none is left.
    bool remove();
    // "activo", "de respaldo" or none, read from the kernel.
    std::optional<LockMode> inPlace();
    bool available() const { return filter_ != nullptr; }

  private:
    std::optional<std::string> listing();

    std::unique_ptr<platform::PacketFilter> filter_;
    const std::uint16_t dnsPort_;
    const DnsLockAddresses addresses_;
    std::optional<LockMode> applied_;
    std::string appliedListing_;
};

}  // namespace tranca
