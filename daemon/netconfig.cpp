#include "daemon/netconfig.h"

#include <unistd.h>

namespace tranca {

bool managesSystemDNS(const DaemonConfig& config) {
    const auto found = config.environment.find("TRANCAD_DNS");
    if (found != config.environment.end() && found->second == "0") {
        return false;
    }
    return ::geteuid() == 0;
}

}  // namespace tranca
