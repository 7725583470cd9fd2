// What the main window shows, decided in C++ so the QML only binds: the
// status card's look and buttons per state, when the update card and the
// settings show, the quotations, the paintings found among the resources.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <vector>

#include "app/core/amparo_actions.h"
#include "app/core/command.h"
#include "app/core/model.h"
#include "app/core/snapshot.h"
#include "app/ui/trusted_person_view.h"

namespace amparo::ui {

class Theme;

struct StatusButton {
    QString title;
    const char* symbol;  // nullptr: title alone
    bool primary;
    Command command;
    bool operator==(const StatusButton&) const = default;
};
std::vector<StatusButton> statusButtons(const ProtectionSnapshot& snapshot);

bool showsUpdateCard(const ProtectionSnapshot& snapshot);

struct Quote {
    const char* text;
    const char* source;
};
inline constexpr int kQuoteCount = 10;
extern const Quote kQuotes[kQuoteCount];
extern const char* const kTagline;
extern const char* const kMotto;

struct Painting {
    QString path;
    QString credit;
};
// The paintings of the fixed table whose files exist in the directory and
// load as images, in table order: 0 to 4.
std::vector<Painting> findPaintings(const QString& directory);

// Everything the main window binds to, kept in step with the model.
class WindowViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool checking READ checking NOTIFY changed)
    Q_PROPERTY(bool installed READ installed NOTIFY changed)
    Q_PROPERTY(QString statusSymbol READ statusSymbol NOTIFY changed)
    Q_PROPERTY(QColor statusColor READ statusColor NOTIFY changed)
    Q_PROPERTY(QString statusTitle READ statusTitle NOTIFY changed)
    Q_PROPERTY(QString statusDetail READ statusDetail NOTIFY changed)
    Q_PROPERTY(bool statusTinted READ statusTinted NOTIFY changed)
    Q_PROPERTY(bool showsDeactivate READ showsDeactivate NOTIFY changed)
    Q_PROPERTY(QVariantList statusButtons READ statusButtonList NOTIFY changed)
    Q_PROPERTY(QString pendingLine READ pendingLine NOTIFY changed)
    Q_PROPERTY(QString pendingFailure READ pendingFailure NOTIFY changed)
    Q_PROPERTY(QString unsentLine READ unsentLine NOTIFY changed)
    Q_PROPERTY(QString unsentFault READ unsentFault NOTIFY changed)
    Q_PROPERTY(amparo::ui::TrustedPersonView* trustedPerson READ trustedPerson CONSTANT)
    Q_PROPERTY(bool showsUpdateCard READ showsUpdateCardNow NOTIFY changed)
    Q_PROPERTY(QString listDetail READ listDetail NOTIFY changed)
    Q_PROPERTY(QString sitesDetail READ sitesDetail NOTIFY changed)
    Q_PROPERTY(QString keywordDetail READ keywordDetail NOTIFY changed)
    Q_PROPERTY(bool keywordOn READ keywordOn NOTIFY changed)
    Q_PROPERTY(QString lockDetail READ lockDetail NOTIFY changed)
    Q_PROPERTY(int destinationIndex READ destinationIndex NOTIFY changed)
    Q_PROPERTY(QStringList destinationLabels READ destinationLabels CONSTANT)
    Q_PROPERTY(bool waitKnown READ waitKnown NOTIFY changed)
    Q_PROPERTY(int waitIndex READ waitIndex NOTIFY changed)
    Q_PROPERTY(QString waitDetail READ waitDetail NOTIFY changed)
    Q_PROPERTY(QStringList waitLabels READ waitLabels CONSTANT)
    Q_PROPERTY(QVariantList quotes READ quotes CONSTANT)
    Q_PROPERTY(QVariantList paintings READ paintings CONSTANT)
    Q_PROPERTY(QString tagline READ tagline CONSTANT)
    Q_PROPERTY(QString motto READ motto CONSTANT)
    Q_PROPERTY(QString websiteHost READ websiteHost CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)

  public:
    WindowViewModel(ProtectionModel& model, AmparoActions& actions, const Theme& theme,
                    const QString& resourceDirectory, QObject* parent = nullptr);

    bool checking() const { return snapshot().protection == Protection::checking; }
    bool installed() const { return snapshot().installed; }
    QString statusSymbol() const;
    QColor statusColor() const;
    QString statusTitle() const;
    QString statusDetail() const;
    bool statusTinted() const { return snapshot().protection == Protection::offline; }
    bool showsDeactivate() const;
    QVariantList statusButtonList() const;
    // The change due first, and why carrying it out failed; empty when none.
    QString pendingLine() const;
    QString pendingFailure() const;
    // The notices the trusted person has not got yet, and why; empty when none.
    QString unsentLine() const;
    QString unsentFault() const;
    TrustedPersonView* trustedPerson() { return &trustedPerson_; }
    bool showsUpdateCardNow() const { return showsUpdateCard(snapshot()); }
    QString listDetail() const;
    QString sitesDetail() const;
    QString keywordDetail() const;
    bool keywordOn() const { return snapshot().contentFilter; }
    QString lockDetail() const;
    int destinationIndex() const { return static_cast<int>(model_.blockDestination()); }
    QStringList destinationLabels() const;
    bool waitKnown() const { return snapshot().waitSeconds.has_value(); }
    int waitIndex() const;
    QString waitDetail() const;
    QStringList waitLabels() const;
    QVariantList quotes() const;
    QVariantList paintings() const { return paintings_; }
    QString tagline() const { return QString::fromUtf8(kTagline); }
    QString motto() const { return QString::fromUtf8(kMotto); }
    QString websiteHost() const;
    QString version() const;

    // The controls' intents. Each runs on the next turn of the event loop,
    // so a dialog it opens never runs inside the control's own handler; the
    // control then shows what the next snapshot says. A command goes out by
    // its name to whoever carries out commands; other names are ignored.
    Q_INVOKABLE void trigger(const QString& command);
    Q_INVOKABLE void chooseDestination(int index);
    Q_INVOKABLE void chooseWait(int index);
    Q_INVOKABLE void setKeywordFilter(bool on);
    Q_INVOKABLE void openSites();

  signals:
    void changed();
    void commanded(amparo::Command command);

  private:
    const ProtectionSnapshot& snapshot() const { return model_.snapshot(); }

    ProtectionModel& model_;
    AmparoActions& actions_;
    const Theme& theme_;
    TrustedPersonView trustedPerson_;
    QVariantList paintings_;
};

}  // namespace amparo::ui
