// trancad's command line for the trusted person: the scripts tell of the
// loosening changes they make, the uninstaller sends its notice before the
// files go, a detached sender outlives a stopped daemon, the app tries the
// mail settings, and root saves them.
#pragma once

#include <string>
#include <string_view>

#include "daemon/config.h"

namespace tranca {

// "--aviso desactivada|filtro-palabras-desactivado|desinstalacion|reinicio".
int runNoticeCommand(const DaemonConfig& config, std::string_view kind);
// "--avisos enviar": sends until the queue is empty or only notices past
// their 7 days are left.
int runNoticeSender(const DaemonConfig& config, std::string_view verb);
// "--probar-aviso": the settings on standard input, one test message.
int runMailTest(const DaemonConfig& config);
// "--confianza guardar": the settings on standard input. Adding a person is
// immediate; changing or removing one waits like every loosening change.
int runTrustedPersonCommand(const DaemonConfig& config, std::string_view verb);

// Writes the settings text of a due change; the reason when it failed.
std::string applyTrustedPerson(const DaemonConfig& config, const std::string& settings);

}  // namespace tranca
