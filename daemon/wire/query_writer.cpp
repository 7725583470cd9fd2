#include "daemon/wire/query_writer.h"

namespace tranca {

std::optional<std::vector<std::byte>> buildQuery(std::uint16_t id, std::string_view name,
                                                 RecordType type) {
    std::vector<std::byte> query(kHeaderSize);
    putU16(query, kIdOffset, id);
    query[kFlagsOffset] = std::byte{kFlagRD};
    putU16(query, kQuestionCountOffset, 1);
    std::size_t nameOctets = 1;  // the root label
    while (!name.empty()) {
        const std::size_t dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
        if (label.empty()) {
            continue;
        }
        nameOctets += 1 + label.size();
        if (label.size() > kMaxLabelLength || nameOctets > kMaxNameWire) {
            return std::nullopt;
        }
        query.push_back(std::byte{static_cast<std::uint8_t>(label.size())});
        for (const char c : label) {
            query.push_back(std::byte{static_cast<std::uint8_t>(c)});
        }
    }
    query.push_back(std::byte{0});
    const std::size_t fixed = query.size();
    query.resize(fixed + kQuestionFixedSize);
    putU16(query, fixed, static_cast<std::uint16_t>(type));
    putU16(query, fixed + 2, kClassIN);
    return query;
}

}  // namespace tranca
