#include "app/core/wait.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "app/core/reply_words.h"
#include "app/core/text.h"
#include "contract/notices.h"
#include "contract/wait_protocol.h"

namespace amparo {

namespace {

using reply::isPrintable;
using reply::number;
using reply::splitWord;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxIdBytes = 32;
// A failure shares its line with the change's name; the rest is cut.
constexpr qsizetype kMaxFailureChars = 90;

struct ActionWord {
    std::string_view word;
    PendingAction action;
};
constexpr ActionWord kActionWords[] = {
    {wait::kDeactivate, PendingAction::deactivate},
    {wait::kUninstall, PendingAction::uninstall},
    {wait::kKeywordFilterOff, PendingAction::keywordFilterOff},
    {wait::kSites, PendingAction::sites},
    {wait::kShortenWait, PendingAction::shortenWait},
    {notices::kChangePerson, PendingAction::trustedPerson},
};

bool isId(std::string_view text) {
    return !text.empty() && text.size() <= kMaxIdBytes &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '-' || c == '_' || c == '.';
           });
}

// "<id> <action> <seconds left> <value>", one space between each.
std::optional<PendingChange> pendingFrom(std::string_view fields) {
    std::array<std::string_view, 4> field;
    for (std::size_t i = 0; i < field.size(); ++i) {
        std::tie(field[i], fields) = splitWord(fields);
    }
    const auto found = std::find_if(std::begin(kActionWords), std::end(kActionWords),
                                    [&](const ActionWord& row) { return row.word == field[1]; });
    const auto seconds = number(field[2]);
    if (!fields.empty() || !isId(field[0]) || found == std::end(kActionWords) || !seconds) {
        return std::nullopt;
    }
    PendingChange change{.id = QString::fromLatin1(field[0].data(), qsizetype(field[0].size())),
                         .action = found->action,
                         .secondsLeft = *seconds,
                         .value = std::nullopt,
                         .failure = {}};
    if (change.action == PendingAction::shortenWait || change.action == PendingAction::sites) {
        change.value = number(field[3]);
        if (!change.value) {
            return std::nullopt;
        }
    } else if (field[3] != "-") {
        return std::nullopt;
    }
    return change;
}

bool endsWithEndLine(const std::string& text) {
    const std::string line = std::string(wait::kEnd) + '\n';
    return text == line || text.ends_with('\n' + line);
}

QString capitalised(QString text) {
    if (!text.isEmpty()) {
        text[0] = text[0].toUpper();
    }
    return text;
}

// What arrives up to the "fin" line, by the deadline and within the bound.
std::optional<std::string> readReply(int fd, Clock::time_point deadline) {
    std::string text;
    std::array<char, 1024> chunk{};
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        const int ready = left > 0 ? ::poll(&readable, 1, int(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        text.append(chunk.data(), std::size_t(got));
        if (text.size() > kMaxWaitReplyBytes) {
            return std::nullopt;
        }
        if (endsWithEndLine(text)) {
            return text;
        }
    }
}

}  // namespace

std::optional<WaitReply> parseWaitReply(std::string_view text) {
    if (text.size() > kMaxWaitReplyBytes) {
        return std::nullopt;
    }
    WaitReply reply;
    bool ended = false;
    while (!text.empty()) {
        const auto line = reply::takeLine(text);
        if (!line || ended) {
            return std::nullopt;  // a line cut short, or anything after "fin"
        }
        const auto [word, rest] = splitWord(*line);
        if (*line == wait::kEnd) {
            ended = true;
        } else if (word == wait::kWaitLine && !reply.waitSeconds) {
            reply.waitSeconds = number(rest);
            if (!reply.waitSeconds) {
                return std::nullopt;
            }
        } else if (word == wait::kCancelledLine && !reply.cancelled) {
            reply.cancelled = number(rest);
            if (!reply.cancelled) {
                return std::nullopt;
            }
        } else if (word == wait::kPendingLine) {
            auto change = pendingFrom(rest);
            if (!change) {
                return std::nullopt;
            }
            reply.pending.push_back(std::move(*change));
        } else if (word == wait::kFailureLine) {
            const auto [id, why] = splitWord(rest);
            const QString name = QString::fromLatin1(id.data(), qsizetype(id.size()));
            const auto change =
                std::find_if(reply.pending.begin(), reply.pending.end(),
                             [&](const PendingChange& pending) { return pending.id == name; });
            if (!isId(id) || why.empty() || !isPrintable(why) || change == reply.pending.end()) {
                return std::nullopt;
            }
            change->failure = QString::fromUtf8(why.data(), qsizetype(why.size()));
        } else {
            return std::nullopt;
        }
    }
    return ended ? std::optional(std::move(reply)) : std::nullopt;
}

QString pendingActionWord(PendingAction action) {
    for (const ActionWord& row : kActionWords) {
        if (row.action == action) {
            return QString::fromLatin1(row.word.data(), qsizetype(row.word.size()));
        }
    }
    return {};
}

std::optional<std::string> askWaitSocket(const QString& path, std::string_view command,
                                         std::chrono::milliseconds timeout) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || std::size_t(name.size()) >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    // Non-blocking, so a daemon that stopped accepting is given up at once
    // rather than waited for without end.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    const std::string line = std::string(command) + '\n';
    // A fresh stream socket's buffer takes a command line whole.
    std::optional<std::string> reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size())) {
        reply = readReply(fd, deadline);
    }
    ::close(fd);
    return reply;
}

QString waitDuration(qint64 seconds) {
    if (seconds < 60) {
        return QStringLiteral("menos de 1 min");
    }
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60) {
        return QStringLiteral("%1 min").arg(minutes);
    }
    if (minutes % 60 == 0) {
        return QStringLiteral("%1 h").arg(minutes / 60);
    }
    return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

QString waitChoiceLabel(qint64 seconds) {
    return seconds == 0 ? QStringLiteral("Sin espera") : waitDuration(seconds);
}

QStringList waitChoiceLabels() {
    QStringList labels;
    for (const qint64 choice : wait::kChoices) {
        labels << waitChoiceLabel(choice);
    }
    return labels;
}

int waitChoiceIndex(const std::optional<qint64>& seconds) {
    const auto& choices = wait::kChoices;
    const auto found = std::find(choices.begin(), choices.end(), seconds.value_or(-1));
    return found == choices.end() ? -1 : int(found - choices.begin());
}

const PendingChange* firstDue(const std::vector<PendingChange>& pending) {
    const auto first = std::min_element(
        pending.begin(), pending.end(),
        [](const auto& a, const auto& b) { return a.secondsLeft < b.secondsLeft; });
    return first == pending.end() ? nullptr : &*first;
}

bool isPending(const ProtectionSnapshot& snapshot, PendingAction action) {
    return std::any_of(snapshot.pending.begin(), snapshot.pending.end(),
                       [action](const PendingChange& change) { return change.action == action; });
}

QString pendingLine(const PendingChange& change) {
    const QString in = QStringLiteral(" en ") + waitDuration(change.secondsLeft);
    switch (change.action) {
        case PendingAction::deactivate:
            return QStringLiteral("Se desactivará") + in;
        case PendingAction::uninstall:
            return QStringLiteral("Se desinstalará") + in;
        case PendingAction::keywordFilterOff:
            return QStringLiteral("El filtro por palabras se apagará") + in;
        case PendingAction::sites:
            return change.value == 1 ? QStringLiteral("El cambio de sitios se aplicará") + in
                                     : QStringLiteral("Los cambios de sitios se aplicarán") + in;
        case PendingAction::trustedPerson:
            return QStringLiteral("La persona de confianza cambiará") + in;
        case PendingAction::shortenWait:
            break;
    }
    if (change.value.value_or(0) == 0) {
        return QStringLiteral("La espera se quitará") + in;
    }
    return QStringLiteral("La espera bajará a ") + waitChoiceLabel(*change.value) + in;
}

QString dueLine(const PendingChange& change) {
    switch (change.action) {
        case PendingAction::deactivate:
            return QStringLiteral("La protección se desactiva ahora.");
        case PendingAction::uninstall:
            return QStringLiteral("Amparo se desinstala ahora.");
        case PendingAction::keywordFilterOff:
            return QStringLiteral("El filtro por palabras se apaga ahora.");
        case PendingAction::sites:
            return change.value == 1 ? QStringLiteral("El cambio de sitios se aplica ahora.")
                                     : QStringLiteral("Los cambios de sitios se aplican ahora.");
        case PendingAction::trustedPerson:
            return QStringLiteral("La persona de confianza cambia ahora.");
        case PendingAction::shortenWait:
            break;
    }
    if (change.value.value_or(0) == 0) {
        return QStringLiteral("La espera se quita ahora.");
    }
    return QStringLiteral("La espera baja ahora a ") + waitChoiceLabel(*change.value) + u'.';
}

QString pendingFailureLine(const PendingChange& change) {
    if (change.failure.isEmpty()) {
        return {};
    }
    QString what;
    switch (change.action) {
        case PendingAction::deactivate:
            what = QStringLiteral("No se pudo desactivar");
            break;
        case PendingAction::uninstall:
            what = QStringLiteral("No se pudo desinstalar");
            break;
        case PendingAction::keywordFilterOff:
            what = QStringLiteral("No se pudo apagar el filtro por palabras");
            break;
        case PendingAction::sites:
            what = QStringLiteral("No se pudieron aplicar los cambios de sitios");
            break;
        case PendingAction::shortenWait:
            what = QStringLiteral("No se pudo bajar la espera");
            break;
        case PendingAction::trustedPerson:
            what = QStringLiteral("No se pudo cambiar la persona de confianza");
            break;
    }
    return what + QStringLiteral(": ") + shortened(change.failure, kMaxFailureChars);
}

QString cancelledNotice(qint64 count) {
    if (count == 0) {
        return QStringLiteral("No había cambios pendientes");
    }
    if (count == 1) {
        return QStringLiteral("Cambio pendiente cancelado");
    }
    return QStringLiteral("Se cancelaron %1 cambios pendientes").arg(count);
}

QString queuedNotice(const QString& output) {
    const QString prefix =
        QString::fromUtf8(wait::kQueuedPrefix.data(), qsizetype(wait::kQueuedPrefix.size()));
    for (const QString& line : output.split(u'\n')) {
        if (line.startsWith(prefix)) {
            return capitalised(line.mid(prefix.size()).trimmed());
        }
    }
    return {};
}

}  // namespace amparo
