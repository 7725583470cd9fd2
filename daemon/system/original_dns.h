// The record of the DNS servers each service had before Amparo first
// switched them (dns-original.plist in the data directory), so that
// "--dns original" and the uninstaller can give them back.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/system/network_services.h"

namespace tranca {

inline constexpr std::string_view kOriginalDnsFile = "/dns-original.plist";

// Service identifier to its servers; none means the router's.
using OriginalDNS = std::map<std::string, std::vector<std::string>, std::less<>>;

// dns-original.plist as XML property list bytes and back; parse gives nullopt
// for anything but a dictionary of text arrays.
std::optional<std::string> serializeOriginalDNS(const OriginalDNS& original);
std::optional<OriginalDNS> parseOriginalDNS(std::string_view bytes);

std::string originalDnsPath(const std::string& dataDirectory);

// Records the current servers of the store opener opens, once: a record
// already there is left alone, and so is the store while its DNS cannot be
// read whole.
void recordOriginalDNS(const std::string& dataDirectory, const StoreOpener& opener);

// The record at path; empty when there is none or it cannot be read.
OriginalDNS readOriginalDNS(const std::string& path);

}  // namespace tranca
