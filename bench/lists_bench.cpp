// Matching speed with a million listed names: a listed name found at its
// second label, and an unlisted 4-label name that walks every suffix.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bench/synthetic_list.h"
#include "daemon/lists/lists.h"

namespace {

constexpr std::size_t kNames = 1'000'000;

tranca::Blocklist& loadedLists() {
    static tranca::Blocklist* lists = [] {
        const auto dir =
            std::filesystem::temp_directory_path() / ("amparo-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        tranca::bench::writeSyntheticList((dir / "blocklist.txt").string(), kNames);
        std::ofstream(dir / "allow.txt") << "permitido.example\n";
        auto* loaded =
            new tranca::Blocklist((dir / "blocklist.txt").string(), (dir / "custom.txt").string(),
                                  (dir / "allow.txt").string());
        loaded->reload();
        std::filesystem::remove_all(dir);
        return loaded;
    }();
    return *lists;
}

void isBlockedListedFourLabels(benchmark::State& state) {
    auto& lists = loadedLists();
    const std::string name = "www.cdn." + tranca::bench::syntheticName(424242);
    for (auto _ : state) {
        benchmark::DoNotOptimize(lists.isBlocked(name));
    }
    if (!lists.isBlocked(name)) {
        state.SkipWithError("listed name not blocked");
    }
}

void isBlockedUnlistedFourLabels(benchmark::State& state) {
    auto& lists = loadedLists();
    const std::string name = "www.images.unlisted-site.com";
    for (auto _ : state) {
        benchmark::DoNotOptimize(lists.isBlocked(name));
    }
}

void isAllowedFourLabels(benchmark::State& state) {
    auto& lists = loadedLists();
    const std::string name = "a.b.permitido.example";
    for (auto _ : state) {
        benchmark::DoNotOptimize(lists.isAllowed(name));
    }
}

BENCHMARK(isBlockedListedFourLabels);
BENCHMARK(isBlockedUnlistedFourLabels);
BENCHMARK(isAllowedFourLabels);
BENCHMARK(isBlockedUnlistedFourLabels)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
