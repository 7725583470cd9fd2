// Load of an N-name block list: seconds to parse and publish, resident memory
// of the loaded sets, and the peak while a reload replaces them.
//   list_load_bench [names=1000000] [runs=5]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/synthetic_list.h"
#include "daemon/lists/lists.h"

namespace {

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.starts_with(prefix)) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void bumpTime(const std::string& path, long nanoseconds) {
    const timespec times[2] = {{1000, nanoseconds}, {1000, nanoseconds}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t names = argc > 1 ? std::stoul(argv[1]) : 1'000'000;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 5;
    const auto dir =
        std::filesystem::temp_directory_path() / ("amparo-load-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string blocklist = (dir / "blocklist.txt").string();
    const std::size_t bytes = tranca::bench::writeSyntheticList(blocklist, names);

    tranca::Blocklist lists(blocklist, (dir / "custom.txt").string(), (dir / "allow.txt").string());
    const long emptyKiB = statusKiB("VmRSS");

    std::vector<double> seconds;
    long steadyKiB = 0;
    long peakKiB = 0;
    for (int run = 0; run < runs; ++run) {
        bumpTime(blocklist, run + 1);
        resetPeak();
        const long beforeKiB = statusKiB("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        lists.reload();
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        steadyKiB = statusKiB("VmRSS");
        if (run > 0) {  // a reload that replaces loaded sets
            peakKiB = std::max(peakKiB, statusKiB("VmHWM"));
            (void)beforeKiB;
        }
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("nombres: %zu (%zu en el archivo, %.1f MiB)\n", lists.blockedCount(), names,
                bytes / 1048576.0);
    std::printf("carga y publicación: mediana %.3f s, mínimo %.3f s, máximo %.3f s (%d cargas)\n",
                seconds[seconds.size() / 2], seconds.front(), seconds.back(), runs);
    std::printf("memoria residente: vacío %.1f MiB, cargado %.1f MiB (+%.1f MiB)\n",
                emptyKiB / 1024.0, steadyKiB / 1024.0, (steadyKiB - emptyKiB) / 1024.0);
    if (peakKiB > 0) {
        std::printf("pico durante una recarga: %.1f MiB (%.2fx del estado estable)\n",
                    peakKiB / 1024.0, static_cast<double>(peakKiB) / steadyKiB);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
