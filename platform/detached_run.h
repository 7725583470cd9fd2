// Starting a root job that must outlive the daemon: the wait's due changes
// stop the daemon's own service, so they cannot run as its children there.
#pragma once

#include <string>
#include <vector>

namespace tranca::platform {

// Starts argv (an absolute program first) apart from this process and
// returns without waiting. Under the service manager it becomes a transient
// unit named unit, so a second start while one runs is refused by name and
// its output goes to logFile; elsewhere it is a detached grandchild. False,
// with a Spanish reason in error, when it could not be started.
bool startDetached(const std::vector<std::string>& argv, const std::string& unit,
                   const std::string& logFile, std::string& error);

// True while the service manager takes the machine down (a shutdown or a
// reboot): services stopped then were not stopped by anyone.
bool systemGoingDown();

// The absolute path of the running program (as it was started, even when
// an upgrade has since replaced the file).
std::string ownProgramPath();

}  // namespace tranca::platform
