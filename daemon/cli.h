// trancad's tool mode: two arguments switch the machine's DNS and exit.
#pragma once

#include <string_view>

#include "daemon/config.h"

namespace tranca {

enum class ArgumentsKind { daemon, tool, usage };

// No arguments: daemon; exactly two with "--dns"/"--proxy" first: tool mode;
// anything else: usage.
ArgumentsKind classifyArguments(const std::vector<std::string>& arguments);

// Runs one tool command and returns the process exit status.
int runCommand(const DaemonConfig& config, std::string_view flag, std::string_view value);

// Writes the usage text to standard error.
void printUsage();

}  // namespace tranca
