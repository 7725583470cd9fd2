// Forced safe search: the search domains of Google, Bing and DuckDuckGo are
// answered with the address of the engine's own safe-search host.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/wire/dns_message.h"

namespace tranca {

namespace safehosts {
inline constexpr std::string_view kGoogle = "forcesafesearch.google.com";
inline constexpr std::string_view kBing = "strict.bing.com";
inline constexpr std::string_view kDuckDuckGo = "safe.duckduckgo.com";
// Addresses those hosts had when this was written, so every engine is
// enforced before the first resolution succeeds; refresh replaces them with
// what the hosts resolve to at run time.
inline constexpr Ipv4 kGoogleBuiltIn{216, 239, 38, 120};
inline constexpr Ipv4 kBingBuiltIn{204, 79, 197, 220};
// safe.duckduckgo.com resolves to a pool of addresses that changes over time;
// this is one it gave in 2024, a fallback until the first refresh.
inline constexpr Ipv4 kDuckDuckGoBuiltIn{52, 142, 126, 100};
}  // namespace safehosts

// The safe host for a query name, or none: Google's search domains (google.com
// and its country domains, bare or with "www."), bing.com and www.bing.com,
// duckduckgo.com with "www." or "start.". Case and empty labels are ignored.
std::optional<std::string_view> safeHost(std::string_view name);

class SafeSearch {
  public:
    // Resolves one host name to its first IPv4 address; none on failure.
    using Resolver = std::function<std::optional<Ipv4>(std::string_view host)>;

    // The process's only instance, created on first use, resolving with
    // getaddrinfo.
    static SafeSearch& shared();

    explicit SafeSearch(Resolver resolver);

    // Re-resolves the three safe hosts in the order Google, Bing, DuckDuckGo;
    // failures and 0.0.0.0 leave an entry as it was. Blocks the calling thread
    // while resolving. Writes no log line.
    void refresh();

    // The recorded address of a safe host.
    std::optional<Ipv4> addressOf(std::string_view host) const;

  private:
    Resolver resolver_;
    mutable std::mutex lock_;
    std::map<std::string, Ipv4, std::less<>> ips_;
};

// getaddrinfo, IPv4, datagram, no flags, no service.
std::optional<Ipv4> resolveIpv4(std::string_view host);

}  // namespace tranca
