// trancad's command line for the wait before loosening: the root wrapper
// records a loosening change here instead of making it, and the daemon's
// detached job carries out a due one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "daemon/config.h"
#include "daemon/wait/pending_changes.h"

namespace tranca {

// Exit status of a loosening verb when no wait applies (no wait chosen, or
// the filter not installed): the caller makes the change itself, as before.
inline constexpr int kNoWaitStatus = 3;

// "--espera <verb>": estado, cancelar, desactivar, desinstalar,
// desactivar-filtro-palabras, guardar-sitios and fijar (the last two read
// their text on standard input). 0 when done or recorded, kNoWaitStatus,
// 1 when refused, 64 for an unknown verb.
int runWaitCommand(const DaemonConfig& config, std::string_view verb);

// Records a loosening change under the wait and says when it happens (0),
// or kNoWaitStatus when no wait applies; 1 when it could not be recorded.
int queueLoosening(const DaemonConfig& config, PendingChange change);

// Standard input, at most 1 MiB; nullopt when longer or unreadable.
std::optional<std::string> standardInput();

// "--cumplir <id>": carries out the pending change id once its wait is over;
// 0 when done (or already done, or under way elsewhere), 1 when it failed
// and stays pending.
int carryOutChange(const DaemonConfig& config, std::string_view idText);

}  // namespace tranca
