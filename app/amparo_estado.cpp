// Prints what Amparo observes of the filter on this machine, as JSON: the
// same gathering the tray application runs every 10 seconds.
#include <QCoreApplication>
#include <QJsonDocument>
#include <cstdio>

#include "app/core/probe.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    amparo::Prober prober(amparo::ProbeSettings::product(QCoreApplication::applicationDirPath()));
    const QByteArray json =
        QJsonDocument(amparo::toJson(prober.gather())).toJson(QJsonDocument::Indented);
    std::fwrite(json.constData(), 1, static_cast<std::size_t>(json.size()), stdout);
    return 0;
}
