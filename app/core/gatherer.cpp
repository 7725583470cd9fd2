#include "app/core/gatherer.h"

#include <utility>

namespace amparo {

namespace {

class FunctionGatherer : public Gatherer {
  public:
    explicit FunctionGatherer(std::function<ProtectionSnapshot()> gather)
        : gather_(std::move(gather)) {}
    ProtectionSnapshot gather() override { return gather_(); }

  private:
    std::function<ProtectionSnapshot()> gather_;
};

}  // namespace

std::unique_ptr<Gatherer> gathererOf(std::function<ProtectionSnapshot()> gather) {
    return std::make_unique<FunctionGatherer>(std::move(gather));
}

ProtectionSnapshot captureSnapshot(const QString& stateName, const QDateTime& now) {
    ProtectionSnapshot snapshot;
    snapshot.installed = stateName != QLatin1String("sin-instalar");
    snapshot.mitmAvailable = true;
    snapshot.listCount = 76771;
    snapshot.listDate = now;
    snapshot.customBlocked = {QStringLiteral("apuestas-online.example"),
                              QStringLiteral("juegos-de-azar.example")};
    struct Row {
        const char* name;
        Protection protection;
        bool outdated;
    };
    static constexpr Row kRows[] = {
        {"respaldo", Protection::fallback, false},
        {"sin-internet", Protection::offline, false},
        {"sin-internet-vieja", Protection::offline, true},
        {"desactivada", Protection::off, false},
        {"no-usado", Protection::notUsed, false},
        {"sin-instalar", Protection::notInstalled, false},
        {"actualizar", Protection::active, true},
        {"pendiente", Protection::active, false},
        {"confianza", Protection::active, false},
    };
    snapshot.protection = Protection::active;
    for (const Row& row : kRows) {
        if (stateName == QLatin1String(row.name)) {
            snapshot.protection = row.protection;
            snapshot.outdated = row.outdated;
        }
    }
    // As on a machine where the filter answers: its DNS lock redirects.
    snapshot.dnsLocked = snapshot.protection == Protection::active;
    // Known only where the daemon answers, as on a real machine.
    if (snapshot.protection == Protection::active || snapshot.protection == Protection::notUsed) {
        snapshot.waitSeconds = 0;
        snapshot.notices = NoticesState{};
    }
    if (stateName == QLatin1String("confianza")) {
        // A person set a while ago, and one notice the server has not taken yet.
        snapshot.notices =
            NoticesState{.person = TrustedPerson{.address = QStringLiteral("ana@ejemplo.org"),
                                                 .server = QStringLiteral("smtp.ejemplo.org"),
                                                 .port = 587,
                                                 .security = MailSecurity::starttls,
                                                 .user = QStringLiteral("yo@ejemplo.org")},
                         .unsent = 1,
                         .fault = QStringLiteral("El servidor de correo no respondió a tiempo.")};
    }
    if (stateName == QLatin1String("pendiente")) {
        // Asked a little over a minute ago, with a 15-minute wait.
        snapshot.waitSeconds = 15 * 60;
        snapshot.pending = {{.id = QStringLiteral("1"),
                             .action = PendingAction::deactivate,
                             .secondsLeft = 13 * 60 + 40,
                             .value = std::nullopt,
                             .failure = {}}};
    }
    return snapshot;
}

}  // namespace amparo
