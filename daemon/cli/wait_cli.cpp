#include "daemon/cli/wait_cli.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <charconv>
#include <ctime>

#include "contract/wait_protocol.h"
#include "daemon/cli/notice_cli.h"
#include "daemon/log.h"
#include "daemon/notices/notice_sender.h"
#include "daemon/text.h"
#include "daemon/wait/wait_keeper.h"
#include "platform/detached_run.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

constexpr std::size_t kMaxInput = 1 << 20;

void say(std::string_view text) {
    files::writeAll(STDOUT_FILENO, std::string(text) + "\n");
}

void complain(std::string_view text) {
    files::writeAll(STDERR_FILENO, std::string(text) + "\n");
}

// The folder of this program: the scripts a change runs are beside it.
std::string ownFolder() {
    const std::string path = platform::ownProgramPath();
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::optional<std::string> standardInput() {
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 ||
            text.size() + static_cast<std::size_t>(std::max<ssize_t>(got, 0)) > kMaxInput) {
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

namespace {

// Root runs what is there: only files no one but root could have put there.
bool onlyRootWrites(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode));
}

// The daemon's own view (its countdown is live); nullopt when it does not
// answer within a second.
std::optional<std::string> askDaemon(const std::string& socketPath, std::string_view command) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || socketPath.size() >= sizeof address.sun_path) {
        if (fd >= 0) {
            ::close(fd);
        }
        return std::nullopt;
    }
    socketPath.copy(address.sun_path, socketPath.size());
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        files::writeAll(fd, std::string(command) + "\n")) {
        pollfd ready{fd, POLLIN, 0};
        char chunk[1024];
        while (reply.size() < 64 * 1024 && ::poll(&ready, 1, 1000) > 0) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            reply.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    if (!reply.ends_with(std::string(amparo::wait::kEnd) + "\n")) {
        return std::nullopt;
    }
    return reply;
}

std::string sitesDoneText(std::size_t count) {
    return count == 1 ? std::string("se desbloqueó o permitió 1 sitio")
                      : "se desbloquearon o permitieron " + std::to_string(count) + " sitios";
}

const char* kCancelHint = " Se puede cancelar sin contraseña desde Amparo.";

// Records change under the lock unless no wait applies; says what happens.
// before, when given, runs first under the same lock: what applies at once,
// and what is left to wait, put into the change.
int queueWith(const DaemonConfig& config, PendingChange change,
              const std::function<bool(PendingChange&)>& before = {}) {
    // Not installed, or the daemon not running (the protection is off and
    // nothing could count the wait): the change is made as before.
    if (::access(config.dataDirectory.c_str(), F_OK) != 0 ||
        !askDaemon(config.waitSocket, amparo::wait::kListCommand)) {
        return kNoWaitStatus;
    }
    WaitFile file(config.waitFile);
    int status = kNoWaitStatus;
    std::string error;
    std::optional<PendingChange> recorded;
    const bool stored = file.update(
        [&](WaitState& state) {
            if (state.waitSeconds == 0) {
                return false;
            }
            if (before && !before(change)) {
                status = 1;
                return false;
            }
            status = 0;
            if (change.action == PendingAction::sites && change.unblock.empty() &&
                change.allow.empty()) {
                return true;
            }
            change.remainingMs = state.waitSeconds * 1000;
            change.requestedAt = static_cast<std::int64_t>(std::time(nullptr));
            change.scriptDirectory = ownFolder();
            const std::size_t known = state.changes.size();
            const std::uint64_t id = enqueue(state, change);
            for (const PendingChange& pending : state.changes) {
                if (pending.id == id) {
                    say(std::string(amparo::wait::kQueuedPrefix) + pendingPhrase(pending) + "." +
                        kCancelHint);
                    if (state.changes.size() > known) {
                        recorded = pending;
                    }
                }
            }
            return true;
        },
        error);
    if (!stored) {
        complain("No se registró el cambio: " + error +
                 ". Como administrador se puede borrar ese archivo para volver a empezar.");
        return 1;
    }
    if (recorded) {
        queueNotice(
            noticePlaces(config),
            requestedWords(*recorded, recorded->requestedAt + recorded->remainingMs / 1000));
    }
    return status;
}

bool writeList(const std::string& path, const std::string& text, std::string& error) {
    return files::replaceFile(path, text, 0644, error);
}

int saveSites(const DaemonConfig& config) {
    const auto input = standardInput();
    const std::string separator = std::string(amparo::wait::kSitesSeparator) + "\n";
    const std::size_t at = input ? input->find("\n" + separator) : std::string::npos;
    const bool startsWithIt = input && input->starts_with(separator);
    if (!input || (at == std::string::npos && !startsWithIt)) {
        complain("El texto recibido no es una lista válida.");
        return 1;
    }
    const std::size_t split = startsWithIt ? 0 : at + 1;
    const std::string_view newCustom = std::string_view(*input).substr(0, split);
    const std::string_view newAllow = std::string_view(*input).substr(split + separator.size());
    PendingChange change;
    change.action = PendingAction::sites;
    std::string error;
    const int status = queueWith(config, change, [&](PendingChange& queued) {
        std::string readError;
        const auto oldCustom = files::readSettingsFile(config.customPath, readError);
        const auto oldAllow = files::readSettingsFile(config.allowPath, readError);
        if (!oldCustom || !oldAllow) {
            complain("No se guardó nada: " + readError + ".");
            return false;
        }
        SitesSplit parts = splitSitesSave(*oldCustom, *oldAllow, newCustom, newAllow);
        if (!writeList(config.customPath, parts.customNow, error) ||
            !writeList(config.allowPath, parts.allowNow, error)) {
            complain("No se guardó nada: " + error + ".");
            return false;
        }
        queued.unblock = std::move(parts.unblock);
        queued.allow = std::move(parts.allow);
        say("Guardado: los sitios bloqueados y los permisos quitados ya rigen.");
        return true;
    });
    // With no wait the wrapper writes the lists now: what loosens is told.
    std::string readError;
    const auto oldCustom = files::readSettingsFile(config.customPath, readError);
    const auto oldAllow = files::readSettingsFile(config.allowPath, readError);
    if (status == kNoWaitStatus && oldCustom && oldAllow) {
        const SitesSplit parts = splitSitesSave(*oldCustom, *oldAllow, newCustom, newAllow);
        if (const std::size_t count = parts.unblock.size() + parts.allow.size()) {
            queueNotice(noticePlaces(config), carriedOutWords(sitesDoneText(count), unixNow()),
                        NoticeKind::changeMade);
        }
    }
    return status;
}

int setWait(const DaemonConfig& config) {
    const auto input = standardInput();
    std::int64_t seconds = -1;
    const std::string_view text =
        input ? std::string_view(*input).substr(0, input->find('\n')) : std::string_view{};
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (!input || failed != std::errc() || end != text.data() + text.size() ||
        !isWaitChoice(seconds)) {
        complain("La espera recibida no es una de las que se ofrecen.");
        return 1;
    }
    PendingChange change;
    change.action = PendingAction::shortenWait;
    change.newWaitSeconds = seconds;
    if (::access(config.dataDirectory.c_str(), F_OK) != 0) {
        complain("Amparo no está instalado en este equipo.");
        return 1;
    }
    // Lengthening (and the first wait) applies at once; shortening waits.
    WaitFile file(config.waitFile);
    bool longer = false;
    std::string error;
    const bool stored = file.update(
        [&](WaitState& state) {
            longer = seconds >= state.waitSeconds;
            if (longer && seconds != state.waitSeconds) {
                state.waitSeconds = seconds;
                return true;
            }
            return false;
        },
        error);
    if (!stored) {
        complain("No se cambió la espera: " + error + ".");
        return 1;
    }
    const auto applied = [&] {
        say("Espera para aflojar: " + (seconds == 0 ? std::string("ninguna") : waitText(seconds)) +
            ".");
        return 0;
    };
    if (longer) {
        return applied();
    }
    const int queued = queueWith(config, change);
    if (queued != kNoWaitStatus) {
        return queued;
    }
    const bool set = file.update(
        [&](WaitState& state) {
            state.waitSeconds = seconds;
            return true;
        },
        error);
    if (!set) {
        complain("No se cambió la espera: " + error + ".");
        return 1;
    }
    return applied();
}

int cancelAll(const DaemonConfig& config) {
    WaitFile file(config.waitFile);
    std::string error;
    const auto done = cancelAllPending(file, error);
    if (!done) {
        complain("No se cancelaron los cambios: " + error + ".");
        return 1;
    }
    const std::size_t cancelled = *done;
    if (cancelled > 0) {
        logLine("Se cancelaron " + std::to_string(cancelled) + " cambios pendientes");
        queueNotice(noticePlaces(config), cancelledWords(cancelled, unixNow()));
    }
    say("Cambios pendientes cancelados: " + std::to_string(cancelled) + ".");
    return 0;
}

int printStatus(const DaemonConfig& config) {
    const auto reply = askDaemon(config.waitSocket, amparo::wait::kListCommand);
    if (!reply) {
        say("Espera para aflojar: el filtro no responde, no se sabe si hay cambios pendientes");
        return 1;
    }
    if (!reply->starts_with(std::string(amparo::wait::kWaitLine) + " ")) {
        say("Espera para aflojar: el filtro no puede leer sus cambios pendientes (ver el "
            "registro)");
        return 1;
    }
    text::forEachLine(*reply, [&](std::string_view line) {
        std::string_view rest = line;
        const auto word = [&] {
            const std::size_t space = rest.find(' ');
            const std::string_view taken = rest.substr(0, space);
            rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
            return taken;
        };
        const std::string_view key = word();
        if (key == amparo::wait::kWaitLine) {
            const std::string_view seconds = word();
            say("Espera para aflojar: " +
                (seconds == "0"
                     ? std::string("ninguna")
                     : waitText(std::strtoll(std::string(seconds).c_str(), nullptr, 10))));
        } else if (key == amparo::wait::kPendingLine) {
            PendingChange change;
            change.id = std::strtoull(std::string(word()).c_str(), nullptr, 10);
            change.action = actionFromWord(word()).value_or(PendingAction::deactivate);
            change.remainingMs = std::strtoll(std::string(word()).c_str(), nullptr, 10) * 1000;
            change.newWaitSeconds = std::strtoll(std::string(word()).c_str(), nullptr, 10);
            say("Pendiente (" + std::to_string(change.id) + "): " + pendingPhrase(change));
        } else if (key == amparo::wait::kFailureLine) {
            word();
            say("  el último intento falló: " + std::string(rest));
        }
    });
    return 0;
}

int carryOutOne(const DaemonConfig& config, WaitFile& file, const PendingChange& change) {
    const std::uint64_t id = change.id;
    std::string error;
    std::string failure;
    const std::string script = change.scriptDirectory + "/" + std::string(scriptFor(change.action));
    if (!scriptFor(change.action).empty()) {
        std::string output;
        const int status = onlyRootWrites(change.scriptDirectory) && onlyRootWrites(script)
                               ? files::runCapturing({"/bin/bash", script}, output)
                               : -1;
        if (status == -1 && output.empty()) {
            output = script + " no es un archivo que solo el administrador pueda cambiar\n";
        }
        text::forEachLine(output, [&](std::string_view line) {
            if (!line.empty()) {
                logLine(line);
                failure = line;
            }
        });
        if (status == 0) {
            failure.clear();
        } else if (failure.empty()) {
            failure = script + " terminó con el estado " + std::to_string(status);
        }
    }
    // The uninstaller takes the data folder with it: nothing left to record.
    if (failure.empty() && ::access(config.dataDirectory.c_str(), F_OK) != 0) {
        return 0;
    }
    const bool stored = file.update(
        [&](WaitState& current) {
            auto at = std::find_if(current.changes.begin(), current.changes.end(),
                                   [&](const PendingChange& c) { return c.id == id; });
            if (at == current.changes.end()) {
                return false;
            }
            if (failure.empty() && change.action == PendingAction::trustedPerson) {
                failure = applyTrustedPerson(config, change.personSettings);
            }
            if (failure.empty() && change.action == PendingAction::sites) {
                const auto custom = files::readSettingsFile(config.customPath, failure);
                const auto allow = files::readSettingsFile(config.allowPath, failure);
                if (custom && allow &&
                    writeList(config.customPath, customWithout(*custom, change.unblock), failure)) {
                    writeList(config.allowPath, allowWith(*allow, change.allow), failure);
                }
            }
            if (!failure.empty()) {
                at->failure = failure;
                return true;
            }
            if (change.action == PendingAction::shortenWait) {
                current.waitSeconds = change.newWaitSeconds;
            }
            current.changes.erase(at);
            return true;
        },
        error);
    if (!stored) {
        failure = error;
    }
    if (!failure.empty()) {
        logLine("No se pudo hacer el cambio pendiente " + std::to_string(id) + ": " + failure +
                "; se vuelve a intentar en el próximo control");
        return 1;
    }
    logLine("Cambio pendiente " + std::to_string(id) + " hecho (" +
            std::string(actionWord(change.action)) + ")");
    // The scripts tell of their own changes; the person's change tells the
    // person replaced.
    if (change.action == PendingAction::sites) {
        queueNotice(
            noticePlaces(config),
            carriedOutWords(sitesDoneText(change.unblock.size() + change.allow.size()), unixNow()),
            NoticeKind::changeMade);
    } else if (change.action == PendingAction::shortenWait) {
        queueNotice(
            noticePlaces(config),
            carriedOutWords("la espera para aflojar bajó a " +
                                (change.newWaitSeconds == 0 ? std::string("ninguna")
                                                            : waitText(change.newWaitSeconds)),
                            unixNow()),
            NoticeKind::changeMade);
    }
    return 0;
}

}  // namespace

int queueLoosening(const DaemonConfig& config, PendingChange change) {
    return queueWith(config, std::move(change));
}

int runWaitCommand(const DaemonConfig& config, std::string_view verb) {
    if (verb == "estado") {
        return printStatus(config);
    }
    // Cancelling only tightens: anyone may, through the daemon; root also
    // when the daemon does not answer.
    if (verb == "cancelar") {
        if (const auto reply = askDaemon(config.waitSocket, amparo::wait::kCancelCommand)) {
            std::string_view count = *reply;
            const std::string cancelled = std::string(amparo::wait::kCancelledLine) + " ";
            count.remove_prefix(std::min(count.size(), cancelled.size()));
            say("Cambios pendientes cancelados: " + std::string(count.substr(0, count.find('\n'))) +
                ".");
            return reply->starts_with(cancelled) ? 0 : 1;
        }
    }
    if (!actsAsRoot(config)) {
        complain("Hace falta ser administrador.");
        return 1;
    }
    if (verb == "cancelar") {
        return cancelAll(config);
    }
    if (verb == "guardar-sitios") {
        return saveSites(config);
    }
    if (verb == "fijar") {
        return setWait(config);
    }
    const auto action = actionFromWord(verb);
    if (!action || scriptFor(*action).empty()) {
        complain(kUsageText);
        return 64;
    }
    const std::string script = ownFolder() + "/" + std::string(scriptFor(*action));
    if (::access(script.c_str(), R_OK) != 0) {
        complain("Falta " + script + ".");
        return 1;
    }
    PendingChange change;
    change.action = *action;
    return queueWith(config, change);
}

int carryOutChange(const DaemonConfig& config, std::string_view idText) {
    std::uint64_t id = 0;
    const auto [end, failed] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (failed != std::errc() || end != idText.data() + idText.size()) {
        complain(kUsageText);
        return 64;
    }
    // One run of a change at a time: the daemon starts it again at every
    // tick until it is gone from the file.
    const int running = ::open((config.dataDirectory + "/.cumplir.lock").c_str(),
                               O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (running < 0 || ::flock(running, LOCK_EX | LOCK_NB) != 0) {
        return 0;
    }
    WaitFile file(config.waitFile);
    std::string error;
    const auto state = file.read(error);
    if (!state) {
        return 1;
    }
    const auto found = std::find_if(state->changes.begin(), state->changes.end(),
                                    [&](const PendingChange& c) { return c.id == id; });
    if (found == state->changes.end()) {
        return 0;
    }
    if (found->remainingMs > 0) {
        complain("La espera de ese cambio todavía no terminó.");
        return 1;
    }
    // Changes that came due together are started together; whichever job
    // holds the lock does the earlier ones first, so a deactivation that
    // stops the daemon cannot leave a list change asked for before it undone.
    std::vector<PendingChange> due;
    std::copy_if(state->changes.begin(), state->changes.end(), std::back_inserter(due),
                 [&](const PendingChange& c) { return c.id <= id && c.remainingMs == 0; });
    std::sort(due.begin(), due.end(),
              [](const PendingChange& a, const PendingChange& b) { return a.id < b.id; });
    int status = 0;
    for (const PendingChange& change : due) {
        status = std::max(status, carryOutOne(config, file, change));
        // The uninstaller takes the data folder with it: nothing left to do.
        if (::access(config.dataDirectory.c_str(), F_OK) != 0) {
            break;
        }
    }
    return status;
}

}  // namespace tranca
