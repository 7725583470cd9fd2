#include "bench/synthetic_list.h"

#include <cstdint>
#include <fstream>

namespace tranca::bench {

namespace {

std::string label(std::uint64_t seed, std::size_t length) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        out += kLetters[(seed >> 33) % 36];
    }
    return out;
}

}  // namespace

std::string syntheticName(std::size_t index) {
    static constexpr const char* kTlds[] = {"com", "net", "org", "xxx", "io", "es"};
    const std::uint64_t seed = index * 0x9e3779b97f4a7c15ull + 1;
    std::string name = label(seed, 6 + index % 9) + std::to_string(index % 1000);
    if (index % 3 == 0) {
        name = label(seed ^ 0x5555, 3 + index % 5) + "." + name;
    }
    return name + "." + kTlds[index % 6];
}

std::size_t writeSyntheticList(const std::string& path, std::size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "# lista sintética\n";
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            out << "0.0.0.0 ";
        }
        out << syntheticName(i) << '\n';
    }
    out.flush();
    return static_cast<std::size_t>(out.tellp());
}

}  // namespace tranca::bench
