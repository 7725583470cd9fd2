// The wait before loosening as Amparo sees it: one exchange on the daemon's
// socket, its reply read with every bound checked, and the Spanish lines the
// card, the settings and the tray show for it.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/snapshot.h"

namespace amparo {

// Longer replies are refused whole. Every site-lists save that loosens is a
// change of its own, each with a failure line of up to 300 bytes: room for
// a couple of hundred, as the daemon's own command line reads.
inline constexpr std::size_t kMaxWaitReplyBytes = 64 * 1024;

struct WaitReply {
    std::optional<qint64> waitSeconds;
    std::vector<PendingChange> pending;
    std::optional<qint64> cancelled;
};

// None when any line is malformed, a number is out of range, a failure names
// no pending change, or the reply does not end with its "fin" line.
std::optional<WaitReply> parseWaitReply(std::string_view text);

// The action's word on the socket ("desactivar", "sitios"…).
QString pendingActionWord(PendingAction action);

// Sends one command line on the socket at path and reads the reply through
// its "fin" line. None when nothing listens, the reply is too long, or the
// time is up first.
std::optional<std::string> askWaitSocket(const QString& path, std::string_view command,
                                         std::chrono::milliseconds timeout);

// "menos de 1 min", "14 min", "3 h 20 min": minutes rounded up.
QString waitDuration(qint64 seconds);
// "Sin espera" for none, else the duration.
QString waitChoiceLabel(qint64 seconds);
// One label per choice, in the choices' order.
QStringList waitChoiceLabels();
// The choice's index, -1 when unknown or not one of the choices.
int waitChoiceIndex(const std::optional<qint64>& seconds);

// The change that comes first; null when none is pending.
const PendingChange* firstDue(const std::vector<PendingChange>& pending);
bool isPending(const ProtectionSnapshot& snapshot, PendingAction action);
// "Se desactivará en 14 min".
QString pendingLine(const PendingChange& change);
// "La protección se desactiva ahora.": the change as its wait ends.
QString dueLine(const PendingChange& change);
// "No se pudo desactivar: <why>", shortened; empty while nothing failed.
QString pendingFailureLine(const PendingChange& change);

// The notice after a cancel that got its answer.
QString cancelledNotice(qint64 count);
// The line a root command printed when it queued its change instead of
// making it, without its prefix and capitalised; empty when there is none.
QString queuedNotice(const QString& output);

}  // namespace amparo
