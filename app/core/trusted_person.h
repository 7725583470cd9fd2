// The trusted person as Amparo handles it: the daemon's "avisos" reply read
// with every bound checked, the form's rules and the settings text it turns
// into, the test mail's outcome, and the Spanish lines for notices unsent.
// The password only ever travels from the form to a standard input.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>
#include <string_view>

#include "app/core/snapshot.h"

namespace amparo {

// None when a line is malformed, a field is out of range, the person or the
// count is missing or repeated, or the reply does not end with its "fin".
std::optional<NoticesState> parseNoticesReply(std::string_view text);

// The word of the settings text and the socket ("starttls", "tls", "ninguno").
QString securityWord(MailSecurity security);
// One label per security, in MailSecurity's order: the picker's index.
QStringList securityLabels();
// Under the picker: what the choice means; empty when nothing needs saying.
QString securityDetail(MailSecurity security);
// The port after the security changed: the new one's usual port when the
// old one's usual port was there, else the port as typed.
QString portAfterSecurity(const QString& port, MailSecurity from, MailSecurity to);

// The form as typed; the password is never shown back or kept elsewhere.
struct TrustedPersonForm {
    QString address;
    QString server;
    QString port = QStringLiteral("587");
    MailSecurity security = MailSecurity::starttls;
    QString user;
    QString password;

    bool operator==(const TrustedPersonForm&) const = default;
};

// The form filled from what the daemon reports (empty for none).
TrustedPersonForm formFor(const std::optional<TrustedPerson>& person);
// The first thing that keeps the form from being saved, in Spanish; empty
// when it can be saved.
QString formProblem(const TrustedPersonForm& form);
// The settings text for the form; none whenever formProblem has something
// to say, so nothing the daemon refuses is ever handed over.
std::optional<QByteArray> settingsText(const TrustedPersonForm& form);
// The settings text that removes the person.
QByteArray removalText();

// "1 aviso sin enviar", "3 avisos sin enviar"; empty for none.
QString unsentLine(qint64 count);
// Why the oldest one failed, shortened; empty when none did.
QString unsentFaultLine(const NoticesState& notices);

// What "Enviar prueba" shows: whether the mail went, and the line to show.
struct TestMailResult {
    bool sent = false;
    QString line;

    bool operator==(const TestMailResult&) const = default;
};
// How "trancad --probar-aviso" ended (0 sent, 1 not sent, 2 refused input),
// with its first line of output when it printed one.
TestMailResult testMailResult(QProcess::ExitStatus exitStatus, int exitCode,
                              const QByteArray& output);

}  // namespace amparo
