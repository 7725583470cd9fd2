// trancad's tool mode: two arguments switch the machine's DNS and exit.
#pragma once

#include <string_view>

#include "daemon/config.h"

namespace tranca {

enum class ArgumentsKind { daemon, tool, usage };

// No arguments: daemon; exactly two with "--dns"/"--proxy" first: tool mode;
// anything else: usage.
ArgumentsKind classifyArguments(const std::vector<std::string>& arguments);

// Runs one tool command and returns the process exit status: 64 for an
// unknown command, 1 when it is refused (no right to manage the network, or
// DNS settings that cannot be read whole), else 0.
int runCommand(const DaemonConfig& config, std::string_view flag, std::string_view value);

// Writes the usage text to standard error.
void printUsage();

}  // namespace tranca
