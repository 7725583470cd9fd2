#include "daemon/system/original_dns.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <plist/plist.h>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "daemon/log.h"
#include "daemon/system/dns_settings.h"
#include "platform/posix/file_util.h"

namespace tranca {

using platform::ServiceInfo;

namespace {

constexpr std::size_t kMaxOriginalBytes = 1 << 20;

// Owns a libplist node.
struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

}  // namespace

std::optional<std::string> serializeOriginalDNS(const OriginalDNS& original) {
    PlistPtr root(plist_new_dict());
    for (const auto& [id, servers] : original) {
        plist_t array = plist_new_array();
        for (const std::string& server : servers) {
            plist_array_append_item(array, plist_new_string(server.c_str()));
        }
        plist_dict_set_item(static_cast<plist_t>(root.get()), id.c_str(), array);
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) {
        return std::nullopt;
    }
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

std::optional<OriginalDNS> parseOriginalDNS(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxOriginalBytes) {
        return std::nullopt;
    }
    plist_t parsed = nullptr;
    plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    PlistPtr root(parsed);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT) {
        return std::nullopt;
    }
    OriginalDNS out;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(parsed, &iterator);
    bool valid = true;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(parsed, iterator, &key, &value);
        if (key == nullptr) {
            break;
        }
        const std::string id(key);
        std::free(key);
        if (value == nullptr || plist_get_node_type(value) != PLIST_ARRAY) {
            valid = false;
            break;
        }
        std::vector<std::string> servers;
        const std::uint32_t count = plist_array_get_size(value);
        for (std::uint32_t i = 0; i < count && valid; ++i) {
            plist_t item = plist_array_get_item(value, i);
            if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
                valid = false;
                break;
            }
            char* text = nullptr;
            plist_get_string_val(item, &text);
            servers.emplace_back(text != nullptr ? text : "");
            std::free(text);
        }
        out[id] = std::move(servers);
    }
    std::free(iterator);
    if (!valid) {
        return std::nullopt;
    }
    return out;
}

std::string originalDnsPath(const std::string& dataDirectory) {
    return dataDirectory + std::string(kOriginalDnsFile);
}

void recordOriginalDNS(const std::string& dataDirectory, const StoreOpener& opener) {
    const std::string path = originalDnsPath(dataDirectory);
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        return;
    }
    auto store = opener();
    if (!store) {
        return;
    }
    // Unread servers would be recorded as none; the switch that follows says
    // why it does not happen either.
    if (unreadableDNS(*store)) {
        return;
    }
    OriginalDNS original;
    for (const ServiceInfo& service : enabledServices(*store)) {
        std::vector<std::string> servers = serversOf(*store, service);
        // Our own settings are not what the user had.
        if (servers == localServers() || servers == backupServers()) {
            servers.clear();
        }
        original[service.id] = std::move(servers);
    }
    store.reset();
    const auto bytes = serializeOriginalDNS(original);
    if (!bytes) {
        return;
    }
    // A fresh installation may not have its data directory yet; without it
    // the servers found now would never be recorded.
    ::mkdir(dataDirectory.c_str(), 0755);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return;
    }
    ::fchmod(fd, 0644);
    bool ok = platform::posix_files::writeAll(fd, *bytes);
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    if (!ok) {
        // A half-written record would read as empty forever: drop it so the
        // next attempt starts again.
        ::unlink(path.c_str());
        return;
    }
    logLine("DNS de antes de Amparo guardados (" + std::to_string(original.size()) + " servicios)");
}

OriginalDNS readOriginalDNS(const std::string& path) {
    const auto bytes = platform::posix_files::readFile(path, kMaxOriginalBytes);
    if (!bytes) {
        return {};
    }
    return parseOriginalDNS(*bytes).value_or(OriginalDNS{});
}

}  // namespace tranca
