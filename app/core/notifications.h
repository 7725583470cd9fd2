// What the desktop is told, and when: the protection getting worse, once per
// change and not again while it flaps; a loosening change when it is asked
// for and when its wait is over. Decided here without any desktop; the
// notification service only shows what this hands it.
#pragma once

#include <QString>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "app/core/command.h"
#include "app/core/snapshot.h"

namespace amparo {

struct Notification {
    // A newer notification of the state replaces the last one on screen.
    enum class Kind { state, pending };
    Kind kind = Kind::state;
    QString title;
    QString body;
    // The button: what fixes it, or cancels the change; none for no button.
    Command action = Command::none;
    QString actionLabel;

    bool operator==(const Notification&) const = default;
};

// Higher is worse; checking has no rank (-1).
int protectionRank(Protection protection);

class NotificationPolicy {
  public:
    using Clock = std::chrono::steady_clock;
    // A protection that gets worse again this soon after it was announced,
    // and to no worse a state, is not announced again.
    static constexpr std::chrono::minutes kFlapGuard{10};
    // A change gone from the list this close to its time was carried out;
    // gone sooner, it was cancelled. A little more than one refresh.
    static constexpr std::chrono::seconds kDueSlack{15};

    // The notifications one more observation calls for. The first snapshot
    // (and the first with the wait known) only says what already was.
    std::vector<Notification> observe(const ProtectionSnapshot& snapshot, Clock::time_point now);

  private:
    struct Tracked {
        PendingChange change;
        Clock::time_point due;
        bool dueAnnounced = false;
    };
    void followPending(const std::vector<PendingChange>& pending, Clock::time_point now,
                       std::vector<Notification>& out);

    std::optional<Protection> last_;
    // The rank last announced, and when.
    std::optional<std::pair<int, Clock::time_point>> announced_;
    bool pendingKnown_ = false;
    std::vector<Tracked> tracked_;
};

// The desktop's notification service, or a stand-in.
class DesktopNotifier {
  public:
    virtual ~DesktopNotifier() = default;
    virtual void show(const Notification& notification) = 0;
};

}  // namespace amparo
