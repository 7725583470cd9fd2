#include "platform/network_store.h"

namespace tranca::platform {

std::optional<std::int64_t> integerValue(const Dictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* number = std::get_if<std::int64_t>(&found->second)) {
        return *number;
    }
    return std::nullopt;
}

std::optional<std::string> textValue(const Dictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&found->second)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> textListValue(const Dictionary& dictionary,
                                                      std::string_view key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end()) {
        return std::nullopt;
    }
    if (const auto* list = std::get_if<std::vector<std::string>>(&found->second)) {
        return *list;
    }
    return std::nullopt;
}

}  // namespace tranca::platform
