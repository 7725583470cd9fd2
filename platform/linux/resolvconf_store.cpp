#include "platform/linux/resolvconf_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

namespace tranca::platform {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        if (at > start) {
            out.push_back(line.substr(start, at - start));
        }
    }
    return out;
}

template <typename Fn>
void forEachLine(std::string_view text, Fn&& fn) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        fn(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

std::string keyword(std::string_view line) {
    const auto parts = words(line);
    return parts.empty() ? std::string() : std::string(parts.front());
}

}  // namespace

ResolvConf ResolvConf::parse(std::string_view text) {
    ResolvConf out;
    out.text = std::string(text);
    forEachLine(text, [&](std::string_view line) {
        const auto parts = words(line);
        if (parts.size() >= 2 && parts[0] == "nameserver") {
            out.servers.emplace_back(parts[1]);
        } else if (!parts.empty() && (parts[0] == "search" || parts[0] == "domain")) {
            // The last search or domain line wins, as in the C library.
            out.hasSearchLine = true;
            out.searches.assign(parts.begin() + 1, parts.end());
        }
    });
    return out;
}

std::string ResolvConf::render(const std::vector<std::string>& newServers,
                               const std::vector<std::string>& newSearches) const {
    std::string serverLines;
    for (const std::string& server : newServers) {
        serverLines += "nameserver " + server + "\n";
    }
    std::string searchLine;
    if (!newSearches.empty()) {
        searchLine = "search";
        for (const std::string& domain : newSearches) {
            searchLine += " " + domain;
        }
        searchLine += "\n";
    }
    const bool searchesChanged = newSearches != searches;
    std::string out;
    bool serversPlaced = false;
    bool searchPlaced = false;
    forEachLine(text, [&](std::string_view line) {
        const std::string word = keyword(line);
        if (word == "nameserver") {
            if (!serversPlaced) {
                out += serverLines;
                serversPlaced = true;
            }
            return;
        }
        if (searchesChanged && (word == "search" || word == "domain")) {
            if (!searchPlaced) {
                out += searchLine;
                searchPlaced = true;
            }
            return;
        }
        out.append(line);
        out.push_back('\n');
    });
    if (searchesChanged && !searchPlaced) {
        out += searchLine;
    }
    if (!serversPlaced) {
        out += serverLines;
    }
    return out;
}

ResolvConfStore::ResolvConfStore(std::string path, std::string lockPath,
                                 std::unique_ptr<DconfProxy> proxy)
    : SingleServiceStore(kResolvConfServiceId, std::move(lockPath), std::move(proxy)),
      path_(std::move(path)) {}

std::vector<ServiceInfo> ResolvConfStore::services() {
    return {ServiceInfo{std::string(kResolvConfServiceId), path_, true}};
}

std::optional<Dictionary> ResolvConfStore::readDns() {
    // No file yet reads as nothing configured; a file we cannot read whole is
    // a failure, never nothing.
    const auto text = posix_files::readSettingsFile(path_, error_);
    if (!text) {
        return std::nullopt;
    }
    const ResolvConf parsed = ResolvConf::parse(*text);
    Dictionary out;
    if (!parsed.servers.empty()) {
        out["ServerAddresses"] = parsed.servers;
    }
    if (parsed.hasSearchLine) {
        out["SearchDomains"] = parsed.searches;
    }
    return out;
}

std::string ResolvConfStore::foreignManager() const {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        return {};
    }
    char target[4096];
    const ssize_t length = ::readlink(path_.c_str(), target, sizeof target - 1);
    const std::string link =
        length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string("?");
    std::string manager = "otro programa";
    if (link.find("systemd/resolve") != std::string::npos) {
        manager = "systemd-resolved";
    } else if (link.find("resolvconf") != std::string::npos) {
        manager = "resolvconf";
    } else if (link.find("NetworkManager") != std::string::npos) {
        manager = "NetworkManager";
    }
    return path_ + " es un enlace a " + link + " que gestiona " + manager +
           "; trancad no lo sobrescribe para no pelear con él (ver docs/network-settings.md)";
}

bool ResolvConfStore::commitDns(const Dictionary& dns) {
    if (const std::string foreign = foreignManager(); !foreign.empty()) {
        error_ = foreign;
        return false;
    }
    // Read again under the lock: the file may have changed since readDns, and
    // rendering over text that was not read would drop every other line.
    const auto text = posix_files::readSettingsFile(path_, error_);
    if (!text) {
        return false;
    }
    const ResolvConf current = ResolvConf::parse(*text);
    const auto servers = textListValue(dns, "ServerAddresses");
    const auto searches = textListValue(dns, "SearchDomains");
    // The C library notices a changed resolv.conf by itself: nothing to apply.
    const std::string rendered = current.render(servers.value_or(std::vector<std::string>{}),
                                                searches.value_or(current.searches));
    return posix_files::replaceFile(path_, rendered, 0644, error_);
}

}  // namespace tranca::platform
