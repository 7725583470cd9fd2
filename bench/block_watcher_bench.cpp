// What following the daemon's log costs the GUI thread. Appends 1,000 lines
// to a 1 MB log and to a 1 GiB log and times each poll: the figures should
// match, since only appended bytes are read. Then appends 100 MB at once and
// times the catch-up, with the longest event-loop turn it took.
//
//   block_watcher_bench [directory]    (default /tmp; needs about 1.2 GB free)

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "app/core/block_watcher.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr qint64 kMiB = 1 << 20;
constexpr int kAppendedLines = 1000;
constexpr int kBlockEvery = 100;
constexpr int kWarmUpLines = 20;

double threadCpuMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

QByteArray queryLine(int n) {
    return QByteArray("[2026-12-05T17:35:22Z] consulta A host-") + QByteArray::number(n) +
           ".cdn.example desde 192.168.1.23 respondida en 12 ms\n";
}

QByteArray blockLine(int n) {
    return QByteArray("[2026-12-05T17:35:22Z] BLOQUEADO sitio-") + QByteArray::number(n) +
           ".example\n";
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Real lines, not a sparse file: the watcher should meet a log whose pages
// are on disk and in the cache as a long-running daemon's would be.
bool fillLog(int fd, qint64 bytes) {
    QByteArray chunk;
    for (int n = 0; chunk.size() < kMiB; ++n) {
        chunk += queryLine(n);
    }
    for (qint64 written = 0; written < bytes; written += chunk.size()) {
        if (!writeAll(fd, chunk)) {
            return false;
        }
    }
    return true;
}

struct AppendFigures {
    double meanPollUs = 0;
    double medianPollUs = 0;
    double p99PollUs = 0;
    double worstPollUs = 0;
    double pollCpuMs = 0;
    int reactions = 0;
};

bool measureAppends(const QString& path, qint64 logBytes, AppendFigures& figures) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(path));
        return false;
    }
    if (!fillLog(fd, logBytes)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ::close(fd);
        return false;
    }
    // A zero gap so every block line shows it was read.
    amparo::BlockWatcher watcher(path, 0ms, [&](const QString&) { ++figures.reactions; });
    if (!watcher.start()) {
        std::fprintf(stderr, "cannot follow %s\n", qPrintable(path));
        ::close(fd);
        return false;
    }
    // Untimed: the first polls pay for faulting in code and buffers.
    for (int n = 0; n < kWarmUpLines; ++n) {
        writeAll(fd, queryLine(n));
        watcher.poll();
    }
    std::vector<double> polls;
    polls.reserve(kAppendedLines);
    double cpu = 0;
    for (int n = 0; n < kAppendedLines; ++n) {
        writeAll(fd, n % kBlockEvery == 0 ? blockLine(n) : queryLine(n));
        const double cpuBefore = threadCpuMicroseconds();
        const auto start = Clock::now();
        watcher.poll();
        polls.push_back(microsecondsSince(start));
        cpu += threadCpuMicroseconds() - cpuBefore;
    }
    ::close(fd);
    std::sort(polls.begin(), polls.end());
    double sum = 0;
    for (const double poll : polls) {
        sum += poll;
    }
    figures.meanPollUs = sum / static_cast<double>(polls.size());
    figures.medianPollUs = polls[polls.size() / 2];
    figures.p99PollUs = polls[polls.size() * 99 / 100];
    figures.worstPollUs = polls.back();
    figures.pollCpuMs = cpu / 1e3;
    return true;
}

bool measureCatchUp(const QString& path, qint64 appendedBytes) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool seen = false;
    amparo::BlockWatcher watcher(path, 0ms, [&](const QString&) { seen = true; });
    if (!watcher.start() || !fillLog(fd, appendedBytes) || !writeAll(fd, blockLine(0))) {
        ::close(fd);
        return false;
    }
    ::close(fd);
    const double cpuBefore = threadCpuMicroseconds();
    const auto start = Clock::now();
    double worstTurnMs = 0;
    int turns = 0;
    watcher.poll();
    while (!seen) {
        const auto turn = Clock::now();
        QCoreApplication::processEvents();
        worstTurnMs = std::max(worstTurnMs, microsecondsSince(turn) / 1e3);
        ++turns;
    }
    const double wallMs = microsecondsSince(start) / 1e3;
    const double cpuMs = (threadCpuMicroseconds() - cpuBefore) / 1e3;
    std::printf(
        "catch-up on %lld MiB appended at once: %.0f ms wall, %.0f ms CPU, %.0f MiB/s, "
        "%d event-loop turns, longest %.2f ms\n",
        static_cast<long long>(appendedBytes / kMiB), wallMs, cpuMs,
        static_cast<double>(appendedBytes / kMiB) / (wallMs / 1e3), turns, worstTurnMs);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString parent = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir scratch(parent + "/block_watcher_bench-XXXXXX");
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot create a directory under %s\n", qPrintable(parent));
        return 1;
    }
    std::printf("%d lines appended one at a time, one poll after each (%d block lines):\n",
                kAppendedLines, kAppendedLines / kBlockEvery);
    for (const qint64 logBytes : {kMiB, 1024 * kMiB}) {
        AppendFigures figures;
        if (!measureAppends(scratch.filePath("tranca.log"), logBytes, figures)) {
            return 1;
        }
        std::printf(
            "  log of %5lld MiB: poll mean %.2f us, median %.2f us, p99 %.2f us, "
            "worst %.2f us; CPU in polls %.2f ms; %d reactions\n",
            static_cast<long long>(logBytes / kMiB), figures.meanPollUs, figures.medianPollUs,
            figures.p99PollUs, figures.worstPollUs, figures.pollCpuMs, figures.reactions);
        QFile::remove(scratch.filePath("tranca.log"));
    }
    if (!measureCatchUp(scratch.filePath("tranca.log"), 100 * kMiB)) {
        std::fprintf(stderr, "catch-up run failed\n");
        return 1;
    }
    return 0;
}
