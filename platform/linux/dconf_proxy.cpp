#include "platform/linux/dconf_proxy.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/posix/file_util.h"

namespace tranca::platform {

namespace {

constexpr std::string_view kOurKeyfile = "90-trancad-proxy";
constexpr std::string_view kBase = "system/proxy";
constexpr std::string_view kHttp = "system/proxy/http";
constexpr std::string_view kHttps = "system/proxy/https";
constexpr std::string_view kOurProfile = "user-db:user\nsystem-db:local\n";
// A comment line of our keyfile per path we made under the dconf root ("."
// for the root itself), read back by the uninstaller.
constexpr std::string_view kMadeNote = "# creado: ";

std::vector<std::string> madeBefore(std::string_view keyfile) {
    std::vector<std::string> made;
    while (!keyfile.empty()) {
        const std::size_t end = std::min(keyfile.find('\n'), keyfile.size());
        const std::string_view line = keyfile.substr(0, end);
        keyfile.remove_prefix(std::min(end + 1, keyfile.size()));
        if (line.starts_with(kMadeNote)) {
            const std::string_view name = line.substr(kMadeNote.size());
            made.emplace_back(name == "." ? std::string_view{} : name);
        }
    }
    return made;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// Drops a leading GVariant type annotation ("uint32 8080", "@as []").
std::string_view dropTypePrefix(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '@') {
        const std::size_t space = text.find(' ');
        return space == std::string_view::npos ? std::string_view{} : trim(text.substr(space));
    }
    for (const std::string_view prefix :
         {"int32 ", "uint32 ", "int64 ", "uint64 ", "int16 ", "uint16 ", "byte "}) {
        if (text.starts_with(prefix)) {
            return trim(text.substr(prefix.size()));
        }
    }
    return text;
}

// One quoted string starting at text[0]; sets consumed to the bytes used.
std::optional<std::string> parseQuoted(std::string_view text, std::size_t& consumed) {
    if (text.empty() || (text.front() != '\'' && text.front() != '"')) {
        return std::nullopt;
    }
    const char quote = text.front();
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == quote) {
            consumed = i + 1;
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= text.size()) {
                return std::nullopt;
            }
            const char next = text[++i];
            out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : next);
            continue;
        }
        out.push_back(c);
    }
    return std::nullopt;
}

std::map<std::string, std::string>* section(Keyfile& keyfile, std::string_view name) {
    return &keyfile[std::string(name)];
}

const std::string* find(const Keyfile& keyfile, std::string_view sectionName,
                        std::string_view key) {
    const auto found = keyfile.find(std::string(sectionName));
    if (found == keyfile.end()) {
        return nullptr;
    }
    const auto value = found->second.find(std::string(key));
    return value == found->second.end() ? nullptr : &value->second;
}

bool isKnownKey(std::string_view sectionName, std::string_view key) {
    if (sectionName == kBase) {
        return key == "mode" || key == "ignore-hosts" || key == "autoconfig-url";
    }
    if (sectionName == kHttp) {
        return key == "host" || key == "port" || key == "enabled";
    }
    if (sectionName == kHttps) {
        return key == "host" || key == "port";
    }
    return false;
}

void addProtocolKeys(const Keyfile& keyfile, std::string_view sectionName, bool manual,
                     std::string_view enableKey, std::string_view hostKey, std::string_view portKey,
                     Dictionary& out) {
    std::optional<std::string> host;
    if (const std::string* raw = find(keyfile, sectionName, "host")) {
        host = gvariant::parseString(*raw);
    }
    if (host) {
        out[std::string(hostKey)] = *host;
    }
    if (const std::string* raw = find(keyfile, sectionName, "port")) {
        if (const auto port = gvariant::parseInteger(*raw)) {
            out[std::string(portKey)] = *port;
        }
    }
    out[std::string(enableKey)] = std::int64_t{manual && host && !host->empty() ? 1 : 0};
}

}  // namespace

namespace gvariant {

std::optional<std::string> parseString(std::string_view text) {
    text = dropTypePrefix(text);
    std::size_t consumed = 0;
    auto parsed = parseQuoted(text, consumed);
    if (!parsed || !trim(text.substr(consumed)).empty()) {
        return std::nullopt;
    }
    return parsed;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    text = dropTypePrefix(text);
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    bool negative = false;
    if (text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::optional<std::vector<std::string>> parseStringArray(std::string_view text) {
    text = dropTypePrefix(text);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') {
        return std::nullopt;
    }
    text = trim(text.substr(1, text.size() - 2));
    std::vector<std::string> items;
    while (!text.empty()) {
        std::size_t consumed = 0;
        auto item = parseQuoted(text, consumed);
        if (!item) {
            return std::nullopt;
        }
        items.push_back(std::move(*item));
        text = trim(text.substr(consumed));
        if (text.empty()) {
            break;
        }
        if (text.front() != ',') {
            return std::nullopt;
        }
        text = trim(text.substr(1));
    }
    return items;
}

std::string quote(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

std::string stringArray(const std::vector<std::string>& items) {
    if (items.empty()) {
        return "@as []";
    }
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + quote(items[i]);
    }
    return out + "]";
}

}  // namespace gvariant

void parseKeyfileInto(std::string_view text, Keyfile& into) {
    std::string current;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            current = std::string(trim(line.substr(1, line.size() - 2)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || current.empty()) {
            continue;
        }
        into[current][std::string(trim(line.substr(0, equals)))] =
            std::string(trim(line.substr(equals + 1)));
    }
}

Dictionary proxiesFromKeyfile(const Keyfile& keyfile) {
    Dictionary out;
    std::string mode = "none";
    if (const std::string* raw = find(keyfile, kBase, "mode")) {
        mode = gvariant::parseString(*raw).value_or("none");
    }
    const bool manual = mode == "manual";
    addProtocolKeys(keyfile, kHttp, manual, "HTTPEnable", "HTTPProxy", "HTTPPort", out);
    addProtocolKeys(keyfile, kHttps, manual, "HTTPSEnable", "HTTPSProxy", "HTTPSPort", out);
    if (const std::string* raw = find(keyfile, kBase, "ignore-hosts")) {
        if (auto hosts = gvariant::parseStringArray(*raw)) {
            out["ExceptionsList"] = std::move(*hosts);
        }
    }
    if (mode == "auto") {
        out["ProxyAutoConfigEnable"] = std::int64_t{1};
    }
    if (const std::string* raw = find(keyfile, kBase, "autoconfig-url")) {
        if (auto url = gvariant::parseString(*raw)) {
            out["ProxyAutoConfigURLString"] = std::move(*url);
        }
    }
    // Keys we do not interpret (SOCKS, authentication…) travel as they are.
    for (const auto& [sectionName, keys] : keyfile) {
        if (!sectionName.starts_with(kBase)) {
            continue;
        }
        for (const auto& [key, raw] : keys) {
            if (!isKnownKey(sectionName, key)) {
                out[sectionName + ":" + key] = raw;
            }
        }
    }
    return out;
}

Keyfile keyfileFromProxies(const Dictionary& proxies) {
    Keyfile out;
    const bool httpOn = integerValue(proxies, "HTTPEnable").value_or(0) == 1;
    const bool httpsOn = integerValue(proxies, "HTTPSEnable").value_or(0) == 1;
    const bool autoOn = integerValue(proxies, "ProxyAutoConfigEnable").value_or(0) == 1;
    const bool manual = httpOn || httpsOn;
    auto& base = *section(out, kBase);
    base["mode"] = gvariant::quote(manual ? "manual" : autoOn ? "auto" : "none");
    if (const auto hosts = textListValue(proxies, "ExceptionsList")) {
        base["ignore-hosts"] = gvariant::stringArray(*hosts);
    }
    if (const auto url = textValue(proxies, "ProxyAutoConfigURLString")) {
        base["autoconfig-url"] = gvariant::quote(*url);
    }
    // GNOME has one switch for all protocols: in manual mode a protocol that
    // is off is written without a host.
    const auto writeProtocol = [&](std::string_view name, bool on, std::string_view hostKey,
                                   std::string_view portKey) {
        auto& keys = *section(out, name);
        if (const auto host = textValue(proxies, hostKey)) {
            keys["host"] = gvariant::quote(manual && !on ? std::string() : *host);
        }
        if (const auto port = integerValue(proxies, portKey)) {
            keys["port"] = std::to_string(*port);
        }
    };
    writeProtocol(kHttp, httpOn, "HTTPProxy", "HTTPPort");
    (*section(out, kHttp))["enabled"] = httpOn ? "true" : "false";
    writeProtocol(kHttps, httpsOn, "HTTPSProxy", "HTTPSPort");
    for (const auto& [key, value] : proxies) {
        const std::size_t colon = key.find(':');
        const auto* raw = std::get_if<std::string>(&value);
        if (colon == std::string::npos || raw == nullptr) {
            continue;
        }
        (*section(out, key.substr(0, colon)))[key.substr(colon + 1)] = *raw;
    }
    return out;
}

std::unique_ptr<DconfProxy> DconfProxy::detect(DconfPaths paths) {
    if (::access(paths.program.c_str(), X_OK) != 0) {
        return nullptr;
    }
    return std::make_unique<DconfProxy>(std::move(paths));
}

Keyfile DconfProxy::mergedDefaults() const {
    const std::string directory = paths_.root + "/db/local.d";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (!name.empty() && name.front() != '.' && name != "locks") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    // dconf reads the keyfiles in name order; a later file wins.
    std::sort(names.begin(), names.end());
    Keyfile merged;
    for (const std::string& name : names) {
        if (const auto text = posix_files::readFile(directory + "/" + name)) {
            parseKeyfileInto(*text, merged);
        }
    }
    return merged;
}

Dictionary DconfProxy::read() {
    if (staged_) {
        return *staged_;
    }
    return proxiesFromKeyfile(mergedDefaults());
}

bool DconfProxy::commit(std::string& error) {
    if (!staged_) {
        return true;
    }
    const std::string directory = paths_.root + "/db/local.d";
    const std::string ourKeyfile = directory + "/" + std::string(kOurKeyfile);
    // What we add to dconf is noted in our keyfile, so that uninstalling takes
    // away just that and keeps what an administrator had set up before.
    std::vector<std::string> made = madeBefore(posix_files::readFile(ourKeyfile).value_or(""));
    const auto note = [&](std::string_view name) {
        const std::string path = name.empty() ? paths_.root : paths_.root + "/" + std::string(name);
        if (::access(path.c_str(), F_OK) != 0 &&
            std::find(made.begin(), made.end(), name) == made.end()) {
            made.emplace_back(name);
        }
    };
    note("");
    note("profile");
    const std::string profile = paths_.root + "/profile/user";
    if (const auto text = posix_files::readFile(profile)) {
        if (text->find("system-db:local") == std::string::npos) {
            error = "el perfil de dconf " + profile +
                    " no incluye system-db:local; el proxy no llegaría a los usuarios";
            return false;
        }
    } else {
        note("profile/user");
        ::mkdir(paths_.root.c_str(), 0755);
        ::mkdir((paths_.root + "/profile").c_str(), 0755);
        if (!posix_files::replaceFile(profile, kOurProfile, 0644, error)) {
            return false;
        }
    }
    // The compiled database before its source folder: removed after it.
    for (const std::string_view name : {"db", "db/local", "db/local.d", "db/local.d/locks"}) {
        note(name);
    }
    ::mkdir((paths_.root + "/db").c_str(), 0755);
    ::mkdir(directory.c_str(), 0755);
    ::mkdir((directory + "/locks").c_str(), 0755);

    const Keyfile keyfile = keyfileFromProxies(*staged_);
    std::string text = "# Proxy web del sistema, escrito por trancad. No lo edites a mano.\n";
    for (const std::string& name : made) {
        text += std::string(kMadeNote) + (name.empty() ? "." : name) + "\n";
    }
    for (const auto& [name, keys] : keyfile) {
        text += "\n[" + name + "]\n";
        for (const auto& [key, value] : keys) {
            text += key + "=" + value + "\n";
        }
    }
    if (!posix_files::replaceFile(ourKeyfile, text, 0644, error)) {
        return false;
    }
    const std::string locks = directory + "/locks/" + std::string(kOurKeyfile);
    const bool manual = gvariant::parseString(keyfile.at(std::string(kBase)).at("mode")) ==
                        std::optional<std::string>("manual");
    if (manual) {
        const std::string lockText =
            "/system/proxy/mode\n/system/proxy/ignore-hosts\n/system/proxy/http/host\n"
            "/system/proxy/http/port\n/system/proxy/http/enabled\n/system/proxy/https/host\n"
            "/system/proxy/https/port\n";
        if (!posix_files::replaceFile(locks, lockText, 0644, error)) {
            return false;
        }
    } else if (::unlink(locks.c_str()) != 0 && errno != ENOENT) {
        error = "no se pudo quitar " + locks + ": " + posix_files::systemError(errno);
        return false;
    }
    committed_ = true;
    return true;
}

bool DconfProxy::apply(std::string& error) {
    if (!committed_) {
        return true;
    }
    return posix_files::runProgram(paths_.program, "update", error);
}

}  // namespace tranca::platform
