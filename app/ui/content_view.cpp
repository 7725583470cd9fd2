#include "app/ui/content_view.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QTimer>
#include <QUrl>

#include "app/core/actions.h"
#include "app/core/state_look.h"
#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"
#include "app/ui/settings_section.h"
#include "app/ui/theme.h"
#include "contract/wait_protocol.h"

namespace amparo::ui {

namespace {

// Public-domain devotional paintings; any of them may be missing.
struct PaintingRow {
    const char* file;
    const char* credit;
};
constexpr PaintingRow kPaintings[] = {
    {"pintura-1.jpg", "Rafael · La Madonna Sixtina (1512)"},
    {"pintura-2.jpg", "Fra Angelico · La Anunciación (c. 1426)"},
    {"pintura-3.jpg", "Bartolomé Esteban Murillo · La Inmaculada de los Venerables (1678)"},
    {"pintura-4.jpg", "Sassoferrato · La Virgen en oración (1650)"},
};

}  // namespace

const Quote kQuotes[kQuoteCount] = {
    {"Felices los de corazón puro, porque verán a Dios.", "Jesús, Mateo 5, 8"},
    {"Crea en mí, oh Dios, un corazón puro; renueva en mi interior un espíritu firme.",
     "Salmo 51, 12"},
    {"¿Cómo conservará puro el joven su camino? Cumpliendo tus palabras.", "Salmo 119, 9"},
    {"Todo lo que es verdadero, todo lo que es noble, todo lo que es puro: en eso piensen.",
     "San Pablo, Filipenses 4, 8"},
    {"Aparta mis ojos de las cosas vanas; dame vida por tu camino.", "Salmo 119, 37"},
    {"Guarda tu corazón más que cualquier otra cosa, porque de él brota la vida.",
     "Proverbios 4, 23"},
    {"Dios no nos llamó a la impureza, sino a la santidad.", "San Pablo, 1 Tesalonicenses 4, 7"},
    {"No te dejes vencer por el mal; vence al mal con el bien.", "San Pablo, Romanos 12, 21"},
    {"Los que miran hacia él quedan radiantes, y su rostro no se avergüenza.", "Salmo 34, 6"},
    {"Nuestro corazón está inquieto hasta que descanse en ti.", "San Agustín, Confesiones"},
};
const char* const kTagline = "Tu escudo en internet";
const char* const kMotto = "Bajo tu amparo nos acogemos, santa Madre de Dios.";

std::vector<StatusButton> statusButtons(const ProtectionSnapshot& snapshot) {
    constexpr Command activate = Command::activate;
    constexpr Command restore = Command::restoreInternet;
    switch (snapshot.protection) {
        case Protection::checking:
        case Protection::active:
            return {};
        case Protection::notInstalled:
        case Protection::off:
            return {{QStringLiteral("Activar protección"), "shield.fill", true, activate}};
        case Protection::fallback:
            return {{QStringLiteral("Reactivar Amparo"), "arrow.clockwise", true, activate}};
        case Protection::notUsed:
            return {{QStringLiteral("Reparar"), "wrench.and.screwdriver.fill", true, activate}};
        case Protection::offline:
            break;
    }
    if (snapshot.outdated) {
        return {{QStringLiteral("Actualizar Amparo"), "arrow.down.circle.fill", true, activate},
                {QStringLiteral("Recuperar internet"), nullptr, false, restore}};
    }
    return {{QStringLiteral("Recuperar internet"), "wifi", true, restore},
            {QStringLiteral("Reactivar Amparo"), nullptr, false, activate}};
}

bool showsUpdateCard(const ProtectionSnapshot& snapshot) {
    return snapshot.installed && snapshot.outdated &&
           (snapshot.protection == Protection::active ||
            snapshot.protection == Protection::checking);
}

std::vector<Painting> findPaintings(const QString& directory) {
    std::vector<Painting> found;
    for (const PaintingRow& row : kPaintings) {
        const QString path = directory + u'/' + QLatin1String(row.file);
        QImageReader reader(path);
        if (QFileInfo(path).isFile() && reader.canRead() && !reader.read().isNull()) {
            found.push_back({path, QString::fromUtf8(row.credit)});
        }
    }
    return found;
}

WindowViewModel::WindowViewModel(ProtectionModel& model, AmparoActions& actions, const Theme& theme,
                                 const QString& resourceDirectory, QObject* parent)
    : QObject(parent),
      model_(model),
      actions_(actions),
      theme_(theme),
      trustedPerson_(model, actions) {
    for (const Painting& painting : findPaintings(resourceDirectory)) {
        paintings_.append(
            QVariantMap{{QStringLiteral("source"), QUrl::fromLocalFile(painting.path)},
                        {QStringLiteral("credit"), painting.credit}});
    }
    connect(&model_, &ProtectionModel::snapshotChanged, this, &WindowViewModel::changed);
    connect(&model_, &ProtectionModel::blockDestinationChanged, this, &WindowViewModel::changed);
}

QString WindowViewModel::statusSymbol() const {
    return QLatin1String(stateLook(snapshot().protection).cardSymbol);
}

QColor WindowViewModel::statusColor() const {
    switch (stateLook(snapshot().protection).color) {
        case StateColor::muted:
            return theme_.textMuted;
        case StateColor::accent:
            return theme_.accent;
        case StateColor::gold:
            return theme_.gold;
        case StateColor::coral:
            break;
    }
    return theme_.coral;
}

QString WindowViewModel::statusTitle() const {
    return qtext(stateLook(snapshot().protection).title);
}

QString WindowViewModel::statusDetail() const {
    return qtext(stateLook(snapshot().protection).detail);
}

bool WindowViewModel::showsDeactivate() const {
    // A deactivation already asked for only waits to happen.
    return snapshot().protection == Protection::active &&
           !isPending(snapshot(), PendingAction::deactivate);
}

QString WindowViewModel::pendingLine() const {
    const PendingChange* change = firstDue(snapshot().pending);
    return change ? amparo::pendingLine(*change) : QString();
}

QString WindowViewModel::pendingFailure() const {
    const PendingChange* change = firstDue(snapshot().pending);
    return change ? pendingFailureLine(*change) : QString();
}

QString WindowViewModel::unsentLine() const {
    return snapshot().notices ? amparo::unsentLine(snapshot().notices->unsent) : QString();
}

QString WindowViewModel::unsentFault() const {
    return snapshot().notices ? unsentFaultLine(*snapshot().notices) : QString();
}

int WindowViewModel::waitIndex() const {
    return waitChoiceIndex(snapshot().waitSeconds);
}

QString WindowViewModel::waitDetail() const {
    return ui::waitDetail(waitKnown());
}

QStringList WindowViewModel::waitLabels() const {
    return waitChoiceLabels();
}

QVariantList WindowViewModel::statusButtonList() const {
    QVariantList list;
    for (const StatusButton& button : statusButtons(snapshot())) {
        list.append(QVariantMap{
            {QStringLiteral("title"), button.title},
            {QStringLiteral("symbol"),
             button.symbol ? QString::fromLatin1(button.symbol) : QString()},
            {QStringLiteral("primary"), button.primary},
            {QStringLiteral("action"), commandName(button.command)},
        });
    }
    return list;
}

QString WindowViewModel::listDetail() const {
    return ui::listDetail(snapshot().listCount, snapshot().listDate);
}

QString WindowViewModel::sitesDetail() const {
    return ui::sitesDetail(snapshot().customBlocked.size(), snapshot().allowed.size());
}

QString WindowViewModel::keywordDetail() const {
    return ui::keywordDetail(snapshot().contentFilter, snapshot().mitmAvailable);
}

QString WindowViewModel::lockDetail() const {
    return ui::lockDetail(snapshot().dnsLocked);
}

QStringList WindowViewModel::destinationLabels() const {
    return ui::destinationLabels();
}

QVariantList WindowViewModel::quotes() const {
    QVariantList list;
    for (const Quote& quote : kQuotes) {
        list.append(QVariantMap{{QStringLiteral("text"), QString::fromUtf8(quote.text)},
                                {QStringLiteral("source"), QString::fromUtf8(quote.source)}});
    }
    return list;
}

QString WindowViewModel::websiteHost() const {
    return QUrl(QLatin1String(kWebsiteUrl)).host();
}

QString WindowViewModel::version() const {
    return QCoreApplication::applicationVersion();
}

void WindowViewModel::trigger(const QString& command) {
    if (const auto known = commandNamed(command)) {
        QTimer::singleShot(0, this, [this, run = *known] { emit commanded(run); });
    }
}

void WindowViewModel::chooseDestination(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kAllBlockDestinations))) {
        return;
    }
    QTimer::singleShot(0, this, [this, index] {
        actions_.setBlockDestination(kAllBlockDestinations[index]);
        // A cancelled or unchanged choice leaves the picker showing what is.
        emit changed();
    });
}

void WindowViewModel::chooseWait(int index) {
    if (index < 0 || index >= static_cast<int>(wait::kChoices.size())) {
        return;
    }
    QTimer::singleShot(0, this, [this, index] {
        actions_.setWait(wait::kChoices[static_cast<std::size_t>(index)]);
        emit changed();
    });
}

void WindowViewModel::setKeywordFilter(bool on) {
    QTimer::singleShot(0, this, [this, on] {
        actions_.setContentFilter(on);
        emit changed();
    });
}

void WindowViewModel::openSites() {
    model_.setShowSites(true);
}

}  // namespace amparo::ui
