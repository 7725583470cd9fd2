#include "daemon/cli/notice_cli.h"

#include <unistd.h>

#include <thread>

#include "daemon/cli/wait_cli.h"
#include "daemon/log.h"
#include "daemon/notices/mail_sender.h"
#include "daemon/notices/notice_events.h"
#include "daemon/notices/notice_sender.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

// What each script says it did, and whether it ends the daemon's run.
struct KindRow {
    std::string_view kind;
    std::string_view done;
    bool stopsDaemon;
};

constexpr KindRow kKinds[] = {
    {"desactivada", "la protección se desactivó", true},
    {"filtro-palabras-desactivado", "el filtro por palabras se desactivó", false},
    {"desinstalacion", "Amparo se desinstaló del equipo", true},
    {"reinicio", {}, true},
};

void say(std::string_view text) {
    files::writeAll(STDOUT_FILENO, std::string(text) + "\n");
}

// Sends the whole queue now, every notice due at once: the uninstaller's
// last chance before the queue's folder goes.
void sendEverythingNow(const NoticePlaces& places) {
    NoticeQueue queue(places.queueFolder);
    std::string error;
    queue.locked(
        NoticeQueue::Lock::files,
        [&] {
            for (const std::string& id : queue.ids()) {
                if (auto notice = queue.read(id)) {
                    notice->nextAttempt = 0;
                    queue.save(*notice, error);
                }
            }
        },
        error);
    SenderTimings timings;
    timings.attemptTimeout = std::chrono::seconds(15);
    const SendPass pass = sendDueNotices(places, timings, unixNow());
    if (pass.left > 0) {
        logLine("Quedaron " + std::to_string(pass.left) +
                " avisos sin enviar a la persona de confianza");
    }
}

}  // namespace

int runNoticeCommand(const DaemonConfig& config, std::string_view kind) {
    const KindRow* row = nullptr;
    for (const KindRow& candidate : kKinds) {
        if (candidate.kind == kind) {
            row = &candidate;
        }
    }
    if (row == nullptr) {
        files::writeAll(STDERR_FILENO, std::string(kUsageText));
        return 64;
    }
    if (!actsAsRoot(config)) {
        files::writeAll(STDERR_FILENO, "Hace falta ser administrador.\n");
        return 1;
    }
    if (row->stopsDaemon) {
        markStopAsked(config.dataDirectory);
    }
    const NoticePlaces places = noticePlaces(config);
    if (!row->done.empty()) {
        queueNotice(places, carriedOutWords(row->done, unixNow()), NoticeKind::changeMade);
    }
    if (kind == "desinstalacion") {
        sendEverythingNow(places);
    }
    return 0;
}

int runNoticeSender(const DaemonConfig& config, std::string_view verb) {
    if (verb != "enviar") {
        files::writeAll(STDERR_FILENO, std::string(kUsageText));
        return 64;
    }
    const NoticePlaces places = noticePlaces(config);
    const SenderTimings timings = senderTimingsFor(config.waitScale);
    for (;;) {
        const SendPass pass = sendDueNotices(places, timings, unixNow());
        if (!pass.nextIn) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::seconds(*pass.nextIn));
    }
}

int runMailTest(const DaemonConfig& config) {
    const auto input = standardInput();
    std::string error;
    const auto person = input ? parseTrustedPerson(*input, error) : std::nullopt;
    if (!person || person->address.empty()) {
        say(person ? "Falta el correo de la persona de confianza." : error);
        return 2;
    }
    Notice notice;
    notice.id = NoticeQueue::newId(unixNow() * 1000);
    notice.createdAt = unixNow();
    const NoticeWords words = testWords(notice.createdAt);
    notice.subject = words.subject;
    notice.body = words.body;
    const MailOutcome outcome =
        sendMail(*person, person->address,
                 mailMessage(notice, senderAddress(*person), person->address, machineName()),
                 senderTimingsFor(config.waitScale).attemptTimeout);
    say(outcome.sent ? "Correo de prueba enviado a " + person->address + "." : outcome.fault);
    return outcome.sent ? 0 : 1;
}

std::string applyTrustedPerson(const DaemonConfig& config, const std::string& settings) {
    const NoticePlaces places = noticePlaces(config);
    std::string error;
    const auto before = loadTrustedPerson(places.settingsPath, error);
    const auto after = parseTrustedPerson(settings, error);
    if (!after) {
        return error;
    }
    // The person replaced is the one who must hear of it, through the
    // settings still in place; with nobody left, the queue goes out now.
    if (before && before->address != after->address) {
        queueNotice(
            places,
            carriedOutWords(after->address.empty() ? "se quitó la persona de confianza"
                                                   : "la persona de confianza ahora es otra",
                            unixNow()),
            NoticeKind::changeMade, before->address);
    }
    if (after->address.empty()) {
        sendEverythingNow(places);
        if (::unlink(places.settingsPath.c_str()) != 0 && errno != ENOENT) {
            return "no se pudo borrar " + places.settingsPath;
        }
    } else if (!files::replaceFile(places.settingsPath, trustedPersonText(*after), 0600, error)) {
        return error;
    }
    return {};
}

int runTrustedPersonCommand(const DaemonConfig& config, std::string_view verb) {
    if (verb != "guardar") {
        files::writeAll(STDERR_FILENO, std::string(kUsageText));
        return 64;
    }
    if (!actsAsRoot(config)) {
        files::writeAll(STDERR_FILENO, "Hace falta ser administrador.\n");
        return 1;
    }
    const auto input = standardInput();
    std::string error;
    const auto person = input ? parseTrustedPerson(*input, error) : std::nullopt;
    if (!person) {
        say(input ? error : "No se pudo leer la entrada.");
        return 1;
    }
    const NoticePlaces places = noticePlaces(config);
    const auto current = loadTrustedPerson(places.settingsPath, error);
    if (current && *current == *person) {
        say("La persona de confianza ya estaba guardada así.");
        return 0;
    }
    const std::string text = trustedPersonText(*person);
    // Adding one only tightens; a change or a removal could silence the
    // notices, so it waits like any loosening change.
    if (current) {
        PendingChange change;
        change.action = PendingAction::trustedPerson;
        change.personSettings = text;
        const int status = queueLoosening(config, change);
        if (status != kNoWaitStatus) {
            return status;
        }
    }
    if (const std::string failure = applyTrustedPerson(config, text); !failure.empty()) {
        say("No se guardó: " + failure);
        return 1;
    }
    say(person->address.empty() ? "Se quitó la persona de confianza."
                                : "Persona de confianza guardada: " + person->address + ".");
    return 0;
}

}  // namespace tranca
