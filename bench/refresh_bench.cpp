// What one refresh of Amparo costs: counting a large block list the first
// time and while its stamps stay the same, a whole gathering (loopback probe,
// system resolver, network store) and the share of it that lands on the GUI
// thread. Run inside bench/amparo-refresh.sh, which puts a real trancad on
// 127.0.0.1:53 of a private network namespace.
//
//   refresh_bench <scratch dir> [names in the list, default 1000000]
#include <time.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/core/model.h"
#include "app/core/probe.h"
#include "bench/synthetic_list.h"

namespace {

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void touch(const QString& path, const QByteArray& bytes = {}) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "uso: refresh_bench <directorio> [nombres]\n");
        return 64;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const std::size_t names = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    QDir().mkpath(dir);

    amparo::ProbeSettings settings;
    settings.daemonJobFile = dir + "/tranca.service";
    settings.proxyJobFile = dir + "/tranca-proxy.service";
    settings.installedDaemon = dir + "/trancad-instalado";
    settings.daemonCopy = dir + "/trancad-copia";
    settings.blocklist = dir + "/blocklist.txt";
    settings.customList = dir + "/custom.txt";
    settings.allowList = dir + "/allow.txt";
    settings.redirectFile = dir + "/redirect.txt";
    touch(settings.daemonJobFile);
    QByteArray program(8 << 20, 'x');  // about the size of a release trancad
    touch(settings.installedDaemon, program);
    touch(settings.daemonCopy, program);
    const std::size_t bytes =
        tranca::bench::writeSyntheticList(settings.blocklist.toStdString(), names);
    QByteArray custom;
    for (int i = 0; i < 200; ++i) {
        custom += "propio" + QByteArray::number(i) + ".example\n";
    }
    touch(settings.customList, custom);

    amparo::Prober prober(settings);
    QElapsedTimer clock;
    clock.start();
    const qint64 count = prober.countListEntries();
    const double firstCount = clock.nsecsElapsed() / 1e6;
    clock.restart();
    prober.countListEntries();
    const double cachedCount = clock.nsecsElapsed() / 1e6;
    std::printf("lista: %zu nombres, %.1f MiB, %lld entradas distintas\n", names, bytes / 1048576.0,
                static_cast<long long>(count));
    std::printf("contar la primera vez: %.0f ms; con las marcas iguales: %.3f ms\n", firstCount,
                cachedCount);

    std::vector<double> gathers;
    amparo::ProtectionSnapshot last;
    for (int i = 0; i < 30; ++i) {
        clock.restart();
        last = prober.gather();
        gathers.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::printf("recolección completa (estado %s): mediana %.2f ms, máx %.2f ms\n",
                qPrintable(amparo::protectionName(last.protection)), median(gathers),
                *std::max_element(gathers.begin(), gathers.end()));

    // The model: the GUI thread's share of 30 refreshes.
    amparo::ProtectionModel model(amparo::gathererOf([&prober] { return prober.gather(); }));
    int delivered = 0;
    QObject::connect(&model, &amparo::ProtectionModel::refreshed, [&] {
        if (++delivered < 30) {
            model.refresh();
        } else {
            app.quit();
        }
    });
    const double cpuBefore = threadCpuMs();
    clock.restart();
    model.refresh();
    app.exec();
    const double wall = clock.nsecsElapsed() / 1e6;
    std::printf(
        "30 refrescos por el modelo: %.0f ms en total, %.2f ms de CPU del hilo de la "
        "interfaz (%.3f ms por refresco)\n",
        wall, threadCpuMs() - cpuBefore, (threadCpuMs() - cpuBefore) / 30);
    return 0;
}
