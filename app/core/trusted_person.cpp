#include "app/core/trusted_person.h"

#include <algorithm>
#include <array>

#include "app/core/reply_words.h"
#include "app/core/text.h"
#include "contract/notices.h"
#include "contract/wait_protocol.h"

namespace amparo {

namespace {

using reply::isPrintable;
using reply::splitWord;

// A person, a count and a reason of up to a few hundred bytes; far more is
// no reply of the daemon's.
constexpr std::size_t kMaxNoticesReplyBytes = 8 * 1024;
// What SMTP allows for an address, and a DNS name's longest spelling.
constexpr qsizetype kMaxAddressBytes = 254;
constexpr qsizetype kMaxServerBytes = 253;
constexpr qsizetype kMaxUserBytes = 256;
constexpr long long kMaxPort = 65535;
// A reason is the detail under the count: about one line of the card.
constexpr qsizetype kMaxFaultChars = 90;
constexpr qsizetype kMaxTestLineChars = 160;

static_assert(notices::kTlsModes.size() == 3, "one word per MailSecurity");

struct SecurityRow {
    const char* label;
    int usualPort;
};
// In MailSecurity's order, as the contract lists its words.
constexpr std::array<SecurityRow, 3> kSecurities{{
    {"STARTTLS (587)", 587},
    {"TLS (465)", 465},
    {"Sin cifrar", 25},
}};

QString utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

bool hasBlank(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

// One "@" with something before it, and a dotted domain after it.
bool looksLikeAddress(const QString& text) {
    const qsizetype at = text.indexOf(u'@');
    if (at <= 0 || at != text.lastIndexOf(u'@') || hasBlank(text) ||
        text.toUtf8().size() > kMaxAddressBytes) {
        return false;
    }
    const QString domain = text.mid(at + 1);
    return domain.contains(u'.') && !domain.startsWith(u'.') && !domain.endsWith(u'.') &&
           !domain.contains(QLatin1String(".."));
}

std::optional<int> portNumber(std::string_view text) {
    const auto value = reply::number(text);
    if (!value || *value < 1 || *value > kMaxPort) {
        return std::nullopt;
    }
    return int(*value);
}

std::optional<MailSecurity> securityFrom(std::string_view word) {
    const auto& modes = notices::kTlsModes;
    const auto found = std::find(modes.begin(), modes.end(), word);
    return found == modes.end() ? std::nullopt : std::optional(MailSecurity(found - modes.begin()));
}

// "<correo> <servidor> <puerto> <tls> <usuario or ->", or "-" for none.
std::optional<std::optional<TrustedPerson>> personFrom(std::string_view fields) {
    if (fields == notices::kNone) {
        return std::optional<TrustedPerson>();
    }
    std::array<std::string_view, 5> field;
    for (auto& each : field) {
        std::tie(each, fields) = splitWord(fields);
        if (each.empty() || !isPrintable(each)) {
            return std::nullopt;
        }
    }
    const QString address = utf8(field[0]);
    const auto port = portNumber(field[2]);
    const auto security = securityFrom(field[3]);
    if (!fields.empty() || !looksLikeAddress(address) ||
        field[1].size() > std::size_t(kMaxServerBytes) || !port || !security ||
        field[4].size() > std::size_t(kMaxUserBytes)) {
        return std::nullopt;
    }
    return std::optional(TrustedPerson{
        .address = address,
        .server = utf8(field[1]),
        .port = *port,
        .security = *security,
        .user = field[4] == notices::kNone ? QString() : utf8(field[4]),
    });
}

// The settings text of a form whose port reads as a number.
QByteArray textOf(const TrustedPersonForm& form) {
    QByteArray text;
    const auto line = [&text](std::string_view key, const QString& value) {
        text += QByteArray(key.data(), qsizetype(key.size())) + '=' + value.toUtf8() + '\n';
    };
    const auto port = portNumber(form.port.trimmed().toStdString()).value_or(0);
    line(notices::kAddressKey, form.address.trimmed());
    line(notices::kServerKey, form.server.trimmed());
    line(notices::kPortKey, QString::number(port));
    line(notices::kTlsKey, securityWord(form.security));
    line(notices::kUserKey, form.user.trimmed());
    // As typed: blanks at either end may be part of a password.
    line(notices::kPasswordKey, form.password);
    return text;
}

QString firstLine(const QByteArray& output) {
    for (QString line : QString::fromUtf8(output).split(u'\n')) {
        line.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
        if (!line.trimmed().isEmpty()) {
            return shortened(line, kMaxTestLineChars);
        }
    }
    return {};
}

}  // namespace

std::optional<NoticesState> parseNoticesReply(std::string_view text) {
    if (text.size() > kMaxNoticesReplyBytes) {
        return std::nullopt;
    }
    NoticesState notices;
    bool personSeen = false;
    bool countSeen = false;
    bool faultSeen = false;
    while (const auto line = reply::takeLine(text)) {
        const auto [word, rest] = splitWord(*line);
        if (*line == wait::kEnd) {
            // Nothing after "fin", and both required lines before it.
            return text.empty() && personSeen && countSeen ? std::optional(std::move(notices))
                                                           : std::nullopt;
        }
        if (word == notices::kPersonLine && !personSeen) {
            const auto person = personFrom(rest);
            if (!person) {
                return std::nullopt;
            }
            notices.person = *person;
            personSeen = true;
        } else if (word == notices::kUnsentLine && !countSeen) {
            const auto count = reply::number(rest);
            if (!count) {
                return std::nullopt;
            }
            notices.unsent = *count;
            countSeen = true;
        } else if (word == notices::kUnsentFaultLine && !faultSeen && !rest.empty() &&
                   isPrintable(rest)) {
            notices.fault = utf8(rest);
            faultSeen = true;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;  // a line cut short, or no "fin"
}

QString securityWord(MailSecurity security) {
    return qtext(notices::kTlsModes[std::size_t(security)]);
}

QStringList securityLabels() {
    QStringList labels;
    for (const SecurityRow& row : kSecurities) {
        labels << QString::fromUtf8(row.label);
    }
    return labels;
}

QString securityDetail(MailSecurity security) {
    return security == MailSecurity::none
               ? QStringLiteral(
                     "Sin cifrar el correo viaja a la vista y no se envía ninguna "
                     "contraseña: solo para un servidor que no la pide.")
               : QString();
}

QString portAfterSecurity(const QString& port, MailSecurity from, MailSecurity to) {
    const auto usual = [](MailSecurity security) {
        return QString::number(kSecurities[std::size_t(security)].usualPort);
    };
    return port.trimmed() == usual(from) ? usual(to) : port;
}

TrustedPersonForm formFor(const std::optional<TrustedPerson>& person) {
    if (!person) {
        return {};
    }
    return {.address = person->address,
            .server = person->server,
            .port = QString::number(person->port),
            .security = person->security,
            .user = person->user,
            .password = {}};
}

QString formProblem(const TrustedPersonForm& form) {
    for (const QString* field :
         {&form.address, &form.server, &form.port, &form.user, &form.password}) {
        if (hasControlCharacter(*field)) {
            return QStringLiteral(
                "Los datos no pueden llevar saltos de línea ni caracteres "
                "de control.");
        }
    }
    const QString address = form.address.trimmed(), server = form.server.trimmed();
    const QString user = form.user.trimmed();
    if (address.isEmpty()) {
        return QStringLiteral("Escribí el correo de la persona de confianza.");
    }
    if (!looksLikeAddress(address)) {
        return QStringLiteral("El correo no parece válido: tiene que ser como ana@ejemplo.org.");
    }
    if (server.isEmpty() || hasBlank(server) || server.toUtf8().size() > kMaxServerBytes) {
        return QStringLiteral(
            "Escribí el servidor de correo sin espacios, por ejemplo "
            "smtp.ejemplo.org.");
    }
    if (!portNumber(form.port.trimmed().toStdString())) {
        return QStringLiteral("El puerto tiene que ser un número del 1 al 65535.");
    }
    if (hasBlank(user) || user.toUtf8().size() > kMaxUserBytes) {
        return QStringLiteral("El usuario no puede llevar espacios.");
    }
    if (form.security == MailSecurity::none && !(user.isEmpty() && form.password.isEmpty())) {
        return QStringLiteral(
            "Sin cifrar no se envía la contraseña: dejá vacíos el usuario y la "
            "contraseña, o elegí STARTTLS o TLS.");
    }
    if (!user.isEmpty() && form.password.isEmpty()) {
        return QStringLiteral("Con usuario hace falta la contraseña.");
    }
    if (textOf(form).size() > qsizetype(notices::kMaxSettingsBytes)) {
        return QStringLiteral("Los datos son demasiado largos.");
    }
    return {};
}

std::optional<QByteArray> settingsText(const TrustedPersonForm& form) {
    if (!formProblem(form).isEmpty()) {
        return std::nullopt;
    }
    return textOf(form);
}

QByteArray removalText() {
    return QByteArray(notices::kAddressKey.data(), qsizetype(notices::kAddressKey.size())) + "=\n";
}

QString unsentLine(qint64 count) {
    if (count <= 0) {
        return {};
    }
    return count == 1 ? QStringLiteral("1 aviso sin enviar")
                      : QStringLiteral("%1 avisos sin enviar").arg(count);
}

QString unsentFaultLine(const NoticesState& notices) {
    return notices.unsent > 0 ? shortened(notices.fault, kMaxFaultChars) : QString();
}

TestMailResult testMailResult(QProcess::ExitStatus exitStatus, int exitCode,
                              const QByteArray& output) {
    const QString line = firstLine(output);
    const auto either = [&line](const char* fallback) {
        return line.isEmpty() ? QString::fromUtf8(fallback) : line;
    };
    if (exitStatus == QProcess::CrashExit) {
        return {false, QStringLiteral("La prueba se interrumpió antes de terminar.")};
    }
    switch (exitCode) {
        case 0:
            return {true, either("Correo de prueba enviado.")};
        case 1:
            return {false, either("No se pudo enviar el correo de prueba.")};
        case 2:
            return {false, either("Los datos no son válidos.")};
        default:
            break;
    }
    return {false,
            QStringLiteral("No se pudo enviar el correo de prueba (código %1).").arg(exitCode)};
}

}  // namespace amparo
