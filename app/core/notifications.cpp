#include "app/core/notifications.h"

#include <algorithm>

#include "app/core/state_look.h"
#include "app/core/status_menu.h"
#include "app/core/text.h"
#include "app/core/wait.h"

namespace amparo {

namespace {

// The window's words for the state, and the tray menu's own repair for it,
// so all three say and offer the same.
Notification stateNotification(const ProtectionSnapshot& snapshot) {
    const StateLook& look = stateLook(snapshot.protection);
    // The window's detail says what activating does; here it is gone.
    const QString detail =
        snapshot.protection == Protection::notInstalled
            ? QStringLiteral("Amparo ya no está instalado: los sitios para adultos abren.")
            : qtext(look.detail);
    Notification notification{.kind = Notification::Kind::state,
                              .title = qtext(look.title),
                              .body = detail,
                              .action = Command::none,
                              .actionLabel = {}};
    for (const MenuRow& row : statusMenuRows(snapshot)) {
        if (row.command == Command::activate || row.command == Command::restoreInternet) {
            notification.action = row.command;
            notification.actionLabel = row.text;
            notification.actionLabel.remove(u'…');
            break;
        }
    }
    return notification;
}

Notification askedNotification(const PendingChange& change) {
    return {.kind = Notification::Kind::pending,
            .title = QStringLiteral("Cambio pendiente"),
            .body = pendingLine(change) + QStringLiteral(". Se puede cancelar sin contraseña."),
            .action = Command::cancelPending,
            .actionLabel = QStringLiteral("Cancelar el cambio")};
}

Notification dueNotification(const PendingChange& change) {
    return {.kind = Notification::Kind::pending,
            .title = QStringLiteral("Se cumplió la espera"),
            .body = dueLine(change),
            .action = Command::none,
            .actionLabel = {}};
}

}  // namespace

int protectionRank(Protection protection) {
    switch (protection) {
        case Protection::checking:
            return -1;
        case Protection::active:
            return 0;
        case Protection::fallback:  // still filtered, by the backup resolvers
            return 1;
        case Protection::offline:  // nothing opens, so nothing slips through
            return 2;
        case Protection::notUsed:
            return 3;
        case Protection::off:
            return 4;
        case Protection::notInstalled:
            return 5;
    }
    return -1;
}

std::vector<Notification> NotificationPolicy::observe(const ProtectionSnapshot& snapshot,
                                                      Clock::time_point now) {
    std::vector<Notification> out;
    if (snapshot.protection == Protection::checking) {
        return out;
    }
    const int rank = protectionRank(snapshot.protection);
    const bool flapping =
        announced_ && now - announced_->second < kFlapGuard && rank <= announced_->first;
    if (last_ && rank > protectionRank(*last_) && !flapping) {
        out.push_back(stateNotification(snapshot));
        announced_ = {rank, now};
    }
    last_ = snapshot.protection;
    // Only a daemon that answered says what is pending: an empty list from
    // a silent one cancels nothing.
    if (snapshot.waitSeconds) {
        followPending(snapshot.pending, now, out);
    }
    return out;
}

void NotificationPolicy::followPending(const std::vector<PendingChange>& pending,
                                       Clock::time_point now, std::vector<Notification>& out) {
    const bool baseline = !std::exchange(pendingKnown_, true);
    for (const PendingChange& change : pending) {
        auto known = std::find_if(tracked_.begin(), tracked_.end(),
                                  [&](const Tracked& t) { return t.change.id == change.id; });
        if (known == tracked_.end()) {
            if (!baseline && change.secondsLeft > 0) {
                out.push_back(askedNotification(change));
            }
            known = tracked_.insert(tracked_.end(), {change, now, false});
        }
        known->change = change;
        known->due = now + std::chrono::seconds(change.secondsLeft);
        if (change.secondsLeft == 0 && !std::exchange(known->dueAnnounced, true) && !baseline) {
            out.push_back(dueNotification(change));
        }
    }
    for (auto tracked = tracked_.begin(); tracked != tracked_.end();) {
        const bool listed = std::any_of(pending.begin(), pending.end(), [&](const auto& change) {
            return change.id == tracked->change.id;
        });
        if (listed) {
            ++tracked;
            continue;
        }
        if (!tracked->dueAnnounced && now + kDueSlack >= tracked->due) {
            out.push_back(dueNotification(tracked->change));
        }
        tracked = tracked_.erase(tracked);
    }
}

}  // namespace amparo
