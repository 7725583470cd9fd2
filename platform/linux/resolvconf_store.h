// Machines without NetworkManager: /etc/resolv.conf is one service whose
// servers are its nameserver lines; every other line stays as it is.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/single_service_store.h"

namespace tranca::platform {

inline constexpr std::string_view kResolvConfServiceId = "resolv.conf";
inline constexpr std::string_view kStoreLockFile = "/run/trancad-red.lock";

// resolv.conf text split into its servers, its search domains and the rest.
struct ResolvConf {
    std::vector<std::string> servers;
    std::vector<std::string> searches;
    bool hasSearchLine = false;
    std::string text;  // the original text

    static ResolvConf parse(std::string_view text);
    // The text with the nameserver lines replaced by servers (where the first
    // one stood, else at the end) and the search line by searches.
    std::string render(const std::vector<std::string>& newServers,
                       const std::vector<std::string>& newSearches) const;
};

class ResolvConfStore final : public SingleServiceStore {
  public:
    ResolvConfStore(std::string path, std::string lockPath, std::unique_ptr<DconfProxy> proxy);

    std::vector<ServiceInfo> services() override;

  private:
    std::optional<Dictionary> readDns() override;
    bool commitDns(const Dictionary& dns) override;

    // Names the program behind a symlinked resolv.conf; empty when the file
    // is a plain file we may write.
    std::string foreignManager() const;

    std::string path_;
};

}  // namespace tranca::platform
