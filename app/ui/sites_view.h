// The site lists sheet: working copies of the user's blocked and allowed
// sites, one rule for what counts as a site, and the lists handed to
// saveSites only on "Guardar".
#pragma once

#include <QAbstractListModel>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "app/core/amparo_actions.h"
#include "app/core/model.h"

namespace amparo::ui {

// The bare lower-case domain of what the user typed, or none.
std::optional<QString> normalizedSite(const QString& text);

// The site of a "Permitir este sitio" link, amparo://permitir?sitio=HOST,
// normalised as typed sites are; none for anything else. Any web page can
// make the browser open such a link, so only this one shape is accepted.
std::optional<QString> permitLinkSite(const QString& link);

// The link permitLinkSite reads back as site.
QString permitLink(const QString& site);

// One list of the sheet with its input field's state.
class SiteListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString draft READ draft WRITE setDraft NOTIFY draftChanged)
    Q_PROPERTY(bool invalid READ invalid NOTIFY invalidChanged)
    Q_PROPERTY(bool canAdd READ canAdd NOTIFY draftChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

  public:
    enum Role { SiteRole = Qt::UserRole + 1 };
    explicit SiteListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    QStringList items() const { return items_; }
    void setItems(const QStringList& items);
    QString draft() const { return draft_; }
    void setDraft(const QString& draft);
    bool invalid() const { return invalid_; }
    bool canAdd() const;
    int count() const { return static_cast<int>(items_.size()); }

    Q_INVOKABLE void addDraft();
    Q_INVOKABLE void removeSite(const QString& site);
    // Appends an already normalised site unless it is listed.
    void addSite(const QString& site);

  signals:
    void draftChanged();
    void invalidChanged();
    void countChanged();

  private:
    void setInvalid(bool invalid);

    QStringList items_;
    QString draft_;
    bool invalid_ = false;
};

class SitesSheet : public QObject {
    Q_OBJECT
    Q_PROPERTY(amparo::ui::SiteListModel* blocked READ blocked CONSTANT)
    Q_PROPERTY(amparo::ui::SiteListModel* allowed READ allowed CONSTANT)
    Q_PROPERTY(bool hasChanges READ hasChanges NOTIFY hasChangesChanged)

  public:
    SitesSheet(ProtectionModel& model, AmparoActions& actions, QObject* parent = nullptr);

    SiteListModel* blocked() { return &blocked_; }
    SiteListModel* allowed() { return &allowed_; }
    bool hasChanges() const;

    // Starts from the snapshot's lists; called when the model shows the sheet.
    void open();
    // Closes the sheet, then hands the lists to saveSites.
    Q_INVOKABLE void save();
    // Closes the sheet; the edits are dropped.
    Q_INVOKABLE void cancel();
    // Opens the sheet with the (normalised) site added to the allowed list,
    // unsaved, for the user to review; once the lists are known.
    void permit(const QString& site);

  signals:
    void hasChangesChanged();

  private:
    ProtectionModel& model_;
    AmparoActions& actions_;
    SiteListModel blocked_;
    SiteListModel allowed_;
    QStringList originalBlocked_;
    QStringList originalAllowed_;
    // Asked for before the sheet opened; added by open().
    QStringList pendingAllowed_;
};

}  // namespace amparo::ui
