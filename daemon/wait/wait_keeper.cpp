#include "daemon/wait/wait_keeper.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "contract/wait_protocol.h"
#include "daemon/log.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

constexpr std::size_t kMaxStateBytes = 256 * 1024;

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string changeLine(const PendingChange& change, std::int64_t remainingMs) {
    std::string value = "-";
    if (change.action == PendingAction::shortenWait) {
        value = std::to_string(change.newWaitSeconds);
    } else if (change.action == PendingAction::sites) {
        value = std::to_string(change.unblock.size() + change.allow.size());
    }
    return std::string(amparo::wait::kPendingLine) + " " + std::to_string(change.id) + " " +
           std::string(actionWord(change.action)) + " " +
           std::to_string((std::max<std::int64_t>(remainingMs, 0) + 999) / 1000) + " " + value +
           "\n";
}

}  // namespace

WaitFile::WaitFile(std::string path)
    : path_(std::move(path)), lockPath_(directoryOf(path_) + "/.espera.lock") {}

std::optional<WaitState> WaitFile::read(std::string& error) const {
    const auto text = files::readSettingsFile(path_, error, kMaxStateBytes);
    if (!text) {
        return std::nullopt;
    }
    // A missing file: no wait chosen yet, nothing pending.
    if (text->empty()) {
        return WaitState{};
    }
    auto state = parseWaitState(*text);
    if (!state) {
        error = path_ + " está dañado o fue editado a mano";
    }
    return state;
}

bool WaitFile::update(const std::function<bool(WaitState&)>& edit, std::string& error) {
    files::FileLock lock(lockPath_);
    if (!lock.lock(error)) {
        return false;
    }
    auto state = read(error);
    if (!state) {
        return false;
    }
    if (!edit(*state)) {
        return true;
    }
    return files::replaceFile(path_, waitStateText(*state), 0600, error);
}

std::optional<std::size_t> cancelAllPending(WaitFile& file, std::string& error) {
    std::size_t cancelled = 0;
    const bool done = file.update(
        [&](WaitState& state) {
            cancelled = state.changes.size();
            state.changes.clear();
            return cancelled > 0;
        },
        error);
    return done ? std::optional(cancelled) : std::nullopt;
}

WaitKeeper::WaitKeeper(std::string path, Starter starter, WaitClock clock, int scale)
    : file_(std::move(path)),
      starter_(std::move(starter)),
      clock_(std::move(clock)),
      scale_(std::max(scale, 1)),
      lastTick_(clock_.now()) {}

std::int64_t WaitKeeper::sinceLastTickMs(std::chrono::steady_clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastTick_);
    return std::max<std::int64_t>(elapsed.count(), 0) * scale_;
}

void WaitKeeper::reportUnreadable(const std::string& error) {
    // Once per distinct trouble: the tick comes back every few seconds.
    if (error != reportedError_) {
        logLine("No se leen los cambios pendientes (" + error +
                "): la protección sigue como está y no se hace ningún cambio pendiente");
        reportedError_ = error;
    }
}

void WaitKeeper::tick() {
    std::lock_guard guard(mutex_);
    const auto now = clock_.now();
    const std::int64_t elapsed = sinceLastTickMs(now);
    lastTick_ = now;
    std::vector<PendingChange> due;
    std::string error;
    const bool read = file_.update(
        [&](WaitState& state) {
            if (loggedWait_ != state.waitSeconds) {
                logLine("Espera para aflojar: " +
                        (state.waitSeconds == 0 ? "ninguna" : waitText(state.waitSeconds)));
                loggedWait_ = state.waitSeconds;
            }
            std::set<std::uint64_t> seen;
            for (PendingChange& change : state.changes) {
                if (counted_.contains(change.id)) {
                    change.remainingMs = std::max<std::int64_t>(change.remainingMs - elapsed, 0);
                } else {
                    logLine("Cambio pendiente " + std::to_string(change.id) + ": " +
                            pendingPhrase(change));
                }
                seen.insert(change.id);
                if (change.remainingMs == 0) {
                    due.push_back(change);
                }
            }
            counted_ = std::move(seen);
            return !state.changes.empty();
        },
        error);
    if (!read) {
        counted_.clear();
        reportUnreadable(error);
        return;
    }
    reportedError_.clear();
    for (const PendingChange& change : due) {
        logLine("La espera terminó (cambio " + std::to_string(change.id) +
                "): " + pendingWhat(change) + " ahora");
        std::string why;
        if (!starter_(change.id, why)) {
            logLine("No se pudo empezar el cambio pendiente " + std::to_string(change.id) + ": " +
                    why + "; se vuelve a intentar");
        }
    }
}

std::string WaitKeeper::listReply() {
    std::lock_guard guard(mutex_);
    std::string error;
    const auto state = file_.read(error);
    std::string reply;
    if (state) {
        const std::int64_t elapsed = sinceLastTickMs(clock_.now());
        reply =
            std::string(amparo::wait::kWaitLine) + " " + std::to_string(state->waitSeconds) + "\n";
        for (const PendingChange& change : state->changes) {
            const std::int64_t counted = counted_.contains(change.id) ? elapsed : 0;
            reply += changeLine(change, change.remainingMs - counted);
            if (!change.failure.empty()) {
                reply += std::string(amparo::wait::kFailureLine) + " " + std::to_string(change.id) +
                         " " + change.failure + "\n";
            }
        }
    }
    return reply + std::string(amparo::wait::kEnd) + "\n";
}

std::string WaitKeeper::cancelReply() {
    std::lock_guard guard(mutex_);
    std::string error;
    const auto done = cancelAllPending(file_, error);
    const std::size_t cancelled = done.value_or(0);
    if (!done) {
        reportUnreadable(error);
    } else if (cancelled > 0) {
        logLine("Se cancelaron " + std::to_string(cancelled) +
                " cambios pendientes (sin contraseña): la protección queda como está");
        if (cancelled_) {
            cancelled_(cancelled);
        }
    }
    return std::string(amparo::wait::kCancelledLine) + " " + std::to_string(cancelled) + "\n" +
           std::string(amparo::wait::kEnd) + "\n";
}

}  // namespace tranca
