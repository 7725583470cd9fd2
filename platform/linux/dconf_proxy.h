// The system web proxy as GNOME's system-wide dconf defaults: a keyfile of
// ours in the "local" system database, locked while our proxy is on so a
// user's own setting cannot shadow it, compiled by "dconf update".
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/network_store.h"

namespace tranca::platform {

struct DconfPaths {
    std::string root = "/etc/dconf";
    std::string program = "/usr/bin/dconf";
};

// Keyfile sections → keys → GVariant text, as dconf's keyfiles hold them.
using Keyfile = std::map<std::string, std::map<std::string, std::string>>;

class DconfProxy {
  public:
    // nullptr where dconf is not installed: the machine then has no system
    // proxy setting we can make.
    static std::unique_ptr<DconfProxy> detect(DconfPaths paths = {});

    explicit DconfProxy(DconfPaths paths) : paths_(std::move(paths)) {}

    // The effective system defaults under /system/proxy as a Proxies
    // dictionary; our staged change when there is one.
    Dictionary read();
    void stage(const Dictionary& proxies) { staged_ = proxies; }
    bool hasStaged() const { return staged_.has_value(); }

    // Writes our keyfile and locks; then compiles the database.
    bool commit(std::string& error);
    bool apply(std::string& error);

  private:
    Keyfile mergedDefaults() const;

    DconfPaths paths_;
    std::optional<Dictionary> staged_;
    bool committed_ = false;
};

// Parsing and rendering of the GVariant text forms the proxy keys use.
namespace gvariant {
std::optional<std::string> parseString(std::string_view text);
std::optional<std::int64_t> parseInteger(std::string_view text);
std::optional<std::vector<std::string>> parseStringArray(std::string_view text);
std::string quote(std::string_view text);
std::string stringArray(const std::vector<std::string>& items);
}  // namespace gvariant

// dconf keyfile text ↔ sections.
void parseKeyfileInto(std::string_view text, Keyfile& into);
Dictionary proxiesFromKeyfile(const Keyfile& keyfile);
Keyfile keyfileFromProxies(const Dictionary& proxies);

}  // namespace tranca::platform
