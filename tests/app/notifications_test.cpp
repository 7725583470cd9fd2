// What the desktop is told, observation by observation, on a clock of the
// test's own.
#include "app/core/notifications.h"

#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using Clock = NotificationPolicy::Clock;

// The titles the policy hands over, "|" between them.
QString titles(const std::vector<Notification>& notifications) {
    QStringList shown;
    for (const Notification& notification : notifications) {
        shown << notification.title;
    }
    return shown.join(u'|');
}

TEST(NotificationPolicy, AnnouncesEachWorseningOnceAndNotWhileItFlaps) {
    using enum Protection;
    NotificationPolicy policy;
    const Clock::time_point start;
    // {fault, minutes since start, observed state, what is announced}
    const std::tuple<const char*, int, Protection, QString> steps[] = {
        {"the first look announced", 0, off, ""},
        {"getting better announced", 0, active, ""},
        {"a worsening missed", 1, fallback, "Protección de respaldo"},
        {"announced again while it stays", 1, fallback, ""},
        {"a further worsening missed", 2, off, "Protección desactivada"},
        {"a repair announced", 3, active, ""},
        {"a flap announced again", 4, fallback, ""},
        {"a flap to something worse missed", 5, notInstalled, "Activá la protección"},
        {"checking taken for a change", 5, checking, ""},
        {"a repair announced", 6, active, ""},
        {"a worsening after the guard missed", 30, offline, "El equipo se quedó sin internet"},
    };
    for (const auto& [fault, minutes, protection, announced] : steps) {
        EXPECT_EQ(titles(policy.observe(testing::snapshotOf(protection),
                                        start + std::chrono::minutes(minutes))),
                  announced)
            << fault;
    }
    // The repair offered is the tray menu's own, without its ellipsis.
    NotificationPolicy fresh;
    fresh.observe(testing::snapshotOf(active), start);
    const auto repair = fresh.observe(testing::snapshotOf(notUsed), start);
    ASSERT_EQ(repair.size(), 1u);
    EXPECT_EQ(repair[0].action, Command::activate);
    EXPECT_EQ(repair[0].actionLabel, "Reparar");
}

TEST(NotificationPolicy, AnnouncesAChangeAskedForAndTheEndOfItsWait) {
    using enum PendingAction;
    const PendingChange kept{"1", sites, 300, 1, ""}, off{"2", deactivate, 20, std::nullopt, ""};
    const PendingChange failed{"1", sites, 0, 1, "disco lleno"};
    const PendingChange later{"3", uninstall, 600, std::nullopt, ""};
    using List = std::vector<PendingChange>;
    // {fault, the list (none: the daemon is silent), what is announced}, 10 s apart
    const std::tuple<const char*, std::optional<List>, QString> steps[] = {
        {"one there at the first look announced", List{kept}, ""},
        {"a change asked for missed", List{kept, off}, "Cambio pendiente"},
        {"a silent daemon taken for a carried-out change", std::nullopt, ""},
        {"one gone at its time (carried out) missed", List{kept}, "Se cumplió la espera"},
        {"the change's own zero missed", List{failed}, "Se cumplió la espera"},
        {"announced twice", List{failed}, ""},
        {"a later one missed", List{later}, "Cambio pendiente"},
        {"a cancel taken for the end of the wait", List{}, ""},
    };
    NotificationPolicy policy;
    Clock::time_point now;
    std::vector<Notification> all;
    for (const auto& [fault, pending, announced] : steps) {
        ProtectionSnapshot snapshot = testing::snapshotOf(Protection::active);
        snapshot.waitSeconds = pending ? std::optional<qint64>(900) : std::nullopt;
        snapshot.pending = pending.value_or(List{});
        const auto shown = policy.observe(snapshot, now += 10s);
        EXPECT_EQ(titles(shown), announced) << fault;
        all.insert(all.end(), shown.begin(), shown.end());
    }
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].body, "Se desactivará en menos de 1 min. Se puede cancelar sin contraseña.");
    EXPECT_EQ(all[0].action, Command::cancelPending);
    EXPECT_EQ(all[1].body, "La protección se desactiva ahora.");
}

}  // namespace
}  // namespace amparo
