#include "app/ui/sites_view.h"

#include <algorithm>
#include <utility>

namespace amparo::ui {

namespace {

// The longest name DNS can carry, dots included.
constexpr qsizetype kMaxSiteLength = 253;

// The block page writes exactly this; the host follows it.
constexpr QLatin1StringView kPermitLinkStart("amparo://permitir?sitio=");
// Room for a name and a few trailing dots; anything longer is not a link the
// block page made, and is dropped before any work on it.
constexpr qsizetype kMaxPermitLink = kPermitLinkStart.size() + kMaxSiteLength + 8;

bool isSiteCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
}

// A host as the block page writes it: no escapes, separators or spaces that
// the site rule would cut at and silently drop.
bool isLinkHostCharacter(QChar c) {
    return isSiteCharacter(c) || (c >= u'A' && c <= u'Z');
}

// Only spaces and tabs count as blank: a stray newline is something typed.
bool isBlank(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c == u' ' || c == u'\t'; });
}

}  // namespace

std::optional<QString> normalizedSite(const QString& text) {
    QString site = text.trimmed().toLower();
    if (const qsizetype scheme = site.indexOf(QLatin1String("://")); scheme >= 0) {
        site = site.mid(scheme + 3);
    }
    for (const QChar end : {u'/', u'?', u'#'}) {
        if (const qsizetype at = site.indexOf(end); at >= 0) {
            site.truncate(at);
        }
    }
    if (const qsizetype port = site.indexOf(u':'); port >= 0) {
        site.truncate(port);
    }
    if (site.startsWith(QLatin1String("www."))) {
        site.remove(0, 4);
    }
    while (site.endsWith(u'.')) {
        site.chop(1);
    }

    if (site.size() > kMaxSiteLength || !site.contains(u'.') || site.startsWith(u'.') ||
        site.startsWith(u'-') || !std::all_of(site.begin(), site.end(), isSiteCharacter) ||
        site.contains(QLatin1String(".."))) {
        return std::nullopt;
    }
    return site;
}

std::optional<QString> permitLinkSite(const QString& link) {
    if (link.size() > kMaxPermitLink || !link.startsWith(kPermitLinkStart, Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    const QStringView host = QStringView(link).mid(kPermitLinkStart.size());
    if (!std::all_of(host.begin(), host.end(), isLinkHostCharacter)) {
        return std::nullopt;
    }
    return normalizedSite(host.toString());
}

QString permitLink(const QString& site) {
    return QString(kPermitLinkStart) + site;
}

SiteListModel::SiteListModel(QObject* parent) : QAbstractListModel(parent) {}

int SiteListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant SiteListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid) ||
        (role != SiteRole && role != Qt::DisplayRole)) {
        return {};
    }
    return items_.at(index.row());
}

QHash<int, QByteArray> SiteListModel::roleNames() const {
    return {{SiteRole, "site"}};
}

void SiteListModel::setItems(const QStringList& items) {
    const int before = count();
    beginResetModel();
    items_ = items;
    endResetModel();
    if (count() != before) {
        emit countChanged();
    }
}

void SiteListModel::setDraft(const QString& draft) {
    if (draft == draft_) {
        return;
    }
    draft_ = draft;
    emit draftChanged();
    setInvalid(false);
}

bool SiteListModel::canAdd() const {
    return !isBlank(draft_);
}

void SiteListModel::addDraft() {
    const std::optional<QString> site = normalizedSite(draft_);
    if (!site) {
        // Return on an empty field is not a mistake worth a hint.
        setInvalid(!isBlank(draft_));
        return;
    }
    addSite(*site);
    setDraft({});
}

void SiteListModel::addSite(const QString& site) {
    if (!items_.contains(site)) {
        beginInsertRows({}, count(), count());
        items_.append(site);
        endInsertRows();
        emit countChanged();
    }
}

void SiteListModel::removeSite(const QString& site) {
    bool removed = false;
    for (int row = count() - 1; row >= 0; --row) {
        if (items_.at(row) == site) {
            beginRemoveRows({}, row, row);
            items_.removeAt(row);
            endRemoveRows();
            removed = true;
        }
    }
    if (removed) {
        emit countChanged();
    }
}

void SiteListModel::setInvalid(bool invalid) {
    if (invalid != invalid_) {
        invalid_ = invalid;
        emit invalidChanged();
    }
}

SitesSheet::SitesSheet(ProtectionModel& model, AmparoActions& actions, QObject* parent)
    : QObject(parent), model_(model), actions_(actions) {
    for (SiteListModel* list : {&blocked_, &allowed_}) {
        connect(list, &SiteListModel::rowsInserted, this, &SitesSheet::hasChangesChanged);
        connect(list, &SiteListModel::rowsRemoved, this, &SitesSheet::hasChangesChanged);
        connect(list, &SiteListModel::modelReset, this, &SitesSheet::hasChangesChanged);
    }
    // Here rather than in the view: a window built while the sheet is up
    // (reopened from the panel) shows the edits not saved yet.
    connect(&model_, &ProtectionModel::showSitesChanged, this, [this] {
        if (model_.showSites()) {
            open();
        }
    });
}

bool SitesSheet::hasChanges() const {
    return blocked_.items() != originalBlocked_ || allowed_.items() != originalAllowed_;
}

void SitesSheet::open() {
    const ProtectionSnapshot& snapshot = model_.snapshot();
    originalBlocked_ = snapshot.customBlocked;
    originalAllowed_ = snapshot.allowed;
    for (SiteListModel* list : {&blocked_, &allowed_}) {
        list->setDraft({});
    }
    blocked_.setItems(originalBlocked_);
    allowed_.setItems(originalAllowed_);
    for (const QString& site : std::exchange(pendingAllowed_, {})) {
        allowed_.addSite(site);
    }
}

void SitesSheet::save() {
    // Closed first, so the sheet is gone while the privileged save asks for
    // a password.
    model_.setShowSites(false);
    actions_.saveSites(blocked_.items(), allowed_.items());
}

void SitesSheet::cancel() {
    model_.setShowSites(false);
}

void SitesSheet::permit(const QString& site) {
    if (model_.showSites()) {
        allowed_.addSite(site);
        return;
    }
    const bool waiting = !pendingAllowed_.isEmpty();
    if (!pendingAllowed_.contains(site)) {
        pendingAllowed_.append(site);
    }
    if (model_.snapshot().protection != Protection::checking) {
        model_.setShowSites(true);
    } else if (!waiting) {
        // Before the first snapshot the lists read empty, and saving that
        // sheet would wipe the user's own sites.
        connect(
            &model_, &ProtectionModel::refreshed, this, [this] { model_.setShowSites(true); },
            Qt::SingleShotConnection);
    }
}

}  // namespace amparo::ui
