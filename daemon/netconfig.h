// Changing the machine's DNS servers and web proxy. For now only the decision
// whether this process may touch them; the settings store comes next.
#pragma once

#include "daemon/config.h"

namespace tranca {

// False when TRANCAD_DNS is "0"; otherwise true exactly when running as root.
bool managesSystemDNS(const DaemonConfig& config);

}  // namespace tranca
