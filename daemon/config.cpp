#include "daemon/config.h"

#include <unistd.h>

#include "contract/wait_protocol.h"

#include "platform/paths.h"

namespace tranca {

namespace {

std::optional<std::string_view> lookup(const Environment& environment, std::string_view name) {
    const auto found = environment.find(name);
    if (found == environment.end()) {
        return std::nullopt;
    }
    return std::string_view(found->second);
}

}  // namespace

std::uint16_t parsePort(const std::optional<std::string_view>& text, std::uint16_t fallback) {
    if (!text) {
        return fallback;
    }
    std::string_view digits = *text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return fallback;
    }
    std::uint32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return fallback;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return fallback;
        }
    }
    if (negative && value != 0) {
        return fallback;
    }
    return static_cast<std::uint16_t>(value);
}

Environment captureEnvironment(char** envp) {
    Environment environment;
    for (char** entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view pair(*entry);
        const auto equals = pair.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        // The first definition wins, as getenv would see it.
        environment.emplace(std::string(pair.substr(0, equals)),
                            std::string(pair.substr(equals + 1)));
    }
    return environment;
}

DaemonConfig makeBaseConfig(Environment environment, std::vector<std::string> arguments) {
    DaemonConfig config;
    config.environment = std::move(environment);
    const auto directory = lookup(config.environment, "TRANCAD_DIR");
    config.dataDirectory =
        directory ? std::string(*directory) : std::string(paths::kCurrent.dataDirectory);
    config.blocklistPath = config.dataDirectory + "/blocklist.txt";
    config.customPath = config.dataDirectory + "/custom.txt";
    config.allowPath = config.dataDirectory + "/allow.txt";
    config.dnsPort = parsePort(lookup(config.environment, "TRANCAD_PORT"), 53);
    config.httpPort = parsePort(lookup(config.environment, "TRANCAD_HTTP"), 80);
    config.answerCache = lookup(config.environment, "TRANCAD_CACHE").value_or("") != "0";
    config.waitFile = config.dataDirectory + "/espera.txt";
    config.waitSocket = std::string(
        lookup(config.environment, "TRANCAD_ESPERA_SOCKET").value_or(amparo::wait::kSocketPath));
    config.waitScale =
        std::max<int>(1, parsePort(lookup(config.environment, "TRANCAD_ESPERA_ESCALA"), 1));
    config.arguments = std::move(arguments);
    return config;
}

bool actsAsRoot(const DaemonConfig& config) {
    return ::geteuid() == 0 || config.environment.contains("TRANCAD_DIR");
}

bool isUsableUrl(std::string_view text) {
    std::string_view rest;
    if (text.starts_with("https://")) {
        rest = text.substr(8);
    } else if (text.starts_with("http://")) {
        rest = text.substr(7);
    } else {
        return false;
    }
    const auto hostEnd = rest.find_first_of("/?#");
    const std::string_view host = rest.substr(0, hostEnd);
    if (host.empty()) {
        return false;
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

void completeDaemonConfig(DaemonConfig& config) {
    config.redirectPath = config.dataDirectory + "/redirect.txt";
    const auto redirect = lookup(config.environment, "TRANCAD_REDIRECT");
    config.defaultRedirect =
        redirect ? std::string(*redirect) : std::string(kBuiltInBlockDestination);
    config.plainUpstreams = {
        std::string(resolvers::kCloudflareFamilyPrimary),
        std::string(resolvers::kCloudflareFamilySecondary),
        std::string(resolvers::kOpenDnsFamilyShieldPrimary),
        std::string(resolvers::kOpenDnsFamilyShieldSecondary),
    };
    config.dohUpstreams.clear();
    for (const auto address :
         {resolvers::kCloudflareFamilyPrimary, resolvers::kCloudflareFamilySecondary}) {
        std::string url = "https://" + std::string(address) + "/dns-query";
        if (isUsableUrl(url)) {
            config.dohUpstreams.push_back(std::move(url));
        }
    }
}

}  // namespace tranca
