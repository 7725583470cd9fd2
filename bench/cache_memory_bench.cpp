// The answer cache under a flood of unique names: 1M answers stored with the
// default bounds, then entries, accounted bytes and the process's resident
// memory; and what a hit costs, one thread, p50 and p99.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "daemon/upstream/answer_cache.h"

namespace {

using namespace tranca;

DnsMessage query(std::uint32_t n) {
    DnsMessage out{std::byte{0x12}, std::byte{0x34}, std::byte{1}, std::byte{0},
                   std::byte{0},    std::byte{1},    std::byte{0}, std::byte{0},
                   std::byte{0},    std::byte{0},    std::byte{0}, std::byte{0}};
    const std::string label = "n" + std::to_string(n);
    for (const std::string& part : {label, std::string("inundacion"), std::string("test")}) {
        out.push_back(std::byte(part.size()));
        for (const char c : part) {
            out.push_back(std::byte(c));
        }
    }
    for (const int b : {0, 0, 1, 0, 1}) {
        out.push_back(std::byte(b));
    }
    return out;
}

DnsMessage reply(DnsMessage q) {
    q[2] = std::byte{0x81}, q[3] = std::byte{0x80}, q[7] = std::byte{1};
    for (const int b : {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 10, 0, 0, 1}) {
        q.push_back(std::byte(b));
    }
    return q;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
    }
    return 0;
}

}  // namespace

int main() {
    const long before = residentKiB();
    AnswerCache cache;
    const auto now = AnswerCache::Clock::now();
    for (std::uint32_t n = 0; n < 1'000'000; ++n) {
        const DnsMessage q = query(n);
        cache.store(q, q.size(), reply(q), false, 1, now);
    }
    const CacheStats stats = cache.stats();
    std::printf("1M nombres únicos: %zu entradas, %.1f MiB contados, RSS +%.1f MiB\n",
                stats.entries, stats.bytes / 1048576.0, (residentKiB() - before) / 1024.0);
    std::vector<DnsMessage> asked;
    for (std::uint32_t n = 1'000'000 - 5000; n < 1'000'000; ++n) {
        asked.push_back(query(n));
    }
    std::vector<double> nanos;
    std::vector<std::byte> out(70000);
    for (int round = 0; round < 40; ++round) {
        for (const DnsMessage& q : asked) {
            const auto start = std::chrono::steady_clock::now();
            const auto hit = cache.lookup(q, q.size(), 1, now, out);
            nanos.push_back(
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                    .count());
            if (hit.size == 0) {
                std::printf("fallo inesperado\n");
                return 1;
            }
        }
    }
    std::sort(nanos.begin(), nanos.end());
    std::printf("acierto en proceso: p50 %.0f ns, p99 %.0f ns\n", nanos[nanos.size() / 2],
                nanos[nanos.size() * 99 / 100]);
    return 0;
}
