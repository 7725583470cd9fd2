#include "daemon/notices/notice_text.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "daemon/text.h"

namespace tranca {

namespace {

constexpr std::string_view kFooter =
    "\n\nEste aviso no incluye ningún sitio visitado: Amparo nunca envía el historial de "
    "navegación.\nLo recibís porque te eligieron como persona de confianza en Amparo.\n";

using text::oneLine;

std::string base64(std::string_view bytes) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            group |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out.push_back(kAlphabet[(group >> 18) & 63]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=');
        out.push_back(i + 2 < bytes.size() ? kAlphabet[group & 63] : '=');
    }
    return out;
}

// A header value: as is when printable ASCII, else encoded words of at most
// 39 bytes each (lines stay under 78 characters), cut between UTF-8
// characters, folded onto lines of their own.
std::string headerValue(std::string_view text) {
    const std::string clean = oneLine(text);
    if (text::isAscii(clean)) {
        return clean;
    }
    std::string value;
    std::string_view rest = clean;
    while (!rest.empty()) {
        const std::size_t cut = text::utf8CutAt(rest, 39);
        if (!value.empty()) {
            value += "\r\n ";
        }
        value += "=?UTF-8?B?" + base64(rest.substr(0, cut)) + "?=";
        rest.remove_prefix(cut);
    }
    return value;
}

std::string withCrlf(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += "\r\n";
        } else if (c != '\r') {
            out.push_back(c);
        }
    }
    return out;
}

std::string rfc2822Date(std::int64_t unixSeconds) {
    const std::time_t time = unixSeconds;
    std::tm local{};
    ::localtime_r(&time, &local);
    static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = local.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

NoticeWords words(std::string subject, std::string body) {
    return {"Amparo: " + std::move(subject), std::move(body) + std::string(kFooter)};
}

std::string hoursText(std::int64_t seconds) {
    return std::to_string((seconds + 1800) / 3600) + " h";
}

}  // namespace

std::string localTimeText(std::int64_t unixSeconds) {
    const std::time_t time = unixSeconds;
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M", &local);
    return text;
}

NoticeWords requestedWords(const PendingChange& change, std::int64_t dueAt) {
    const std::string what = pendingWhat(change);
    return words("se pidió aflojar la protección",
                 "El " + localTimeText(change.requestedAt) + " se pidió en Amparo un cambio que " +
                     "afloja la protección: " + what + " el " + localTimeText(dueAt) +
                     ", cuando termine la espera, salvo que alguien lo cancele antes.");
}

NoticeWords carriedOutWords(std::string_view what, std::int64_t at) {
    std::string subject(what);
    return words(subject, "El " + localTimeText(at) + ": " + subject + ".");
}

NoticeWords cancelledWords(std::size_t count, std::int64_t at) {
    const std::string changes =
        count == 1 ? "el cambio pendiente" : std::to_string(count) + " cambios pendientes";
    return words("se cancelaron cambios pendientes",
                 "El " + localTimeText(at) + " se canceló " + changes +
                     " que aflojaba la protección: todo sigue como estaba.");
}

NoticeWords stoppedWords(std::string_view reason, std::int64_t at) {
    return words("la protección se detuvo",
                 "El " + localTimeText(at) + " el filtro de Amparo se detuvo sin que nadie lo " +
                     "pidiera desde Amparo (" + oneLine(reason) + "). Mientras no vuelva, el " +
                     "equipo usa los resolvedores familiares de respaldo.");
}

NoticeWords endedAbruptlyWords(std::int64_t at) {
    return words("el filtro se cerró de golpe",
                 "El filtro de Amparo se había cerrado sin su parada ordenada (lo cerraron a "
                 "la fuerza, falló o se cortó la luz). Volvió a funcionar el " +
                     localTimeText(at) + ".");
}

NoticeWords putBackWords(std::string_view what, std::int64_t at) {
    return words("alguien cambió " + std::string(what),
                 "El " + localTimeText(at) + " alguien cambió " + std::string(what) +
                     " del equipo a mano, sin Amparo. Amparo lo volvió a poner como estaba.");
}

NoticeWords summaryWords(const WeekCounts& counts, std::int64_t at) {
    return words("resumen de la semana",
                 "Resumen de Amparo desde el " + localTimeText(counts.startedAt) + " hasta el " +
                     localTimeText(at) + ":\n- Horas con la protección activa: " +
                     hoursText(counts.secondsProtected) + " de " + hoursText(counts.secondsOn) +
                     " con el equipo encendido.\n- Cambios que aflojaron la protección: " +
                     std::to_string(counts.changes) +
                     ".\n- Avisos enviados: " + std::to_string(counts.noticesSent) + ".");
}

NoticeWords testWords(std::int64_t at) {
    return words("correo de prueba", "Este es un correo de prueba de Amparo, enviado el " +
                                         localTimeText(at) +
                                         ". Si lo recibís, los avisos de Amparo te van a llegar.");
}

std::string machineName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) {
        return "equipo";
    }
    std::string clean;
    for (const char c : std::string_view(name.data())) {
        const auto byte = static_cast<unsigned char>(c);
        clean.push_back(byte >= 0x20 && byte < 0x7f ? c : '?');
    }
    return clean.empty() ? "equipo" : clean;
}

std::string mailMessage(const Notice& notice, std::string_view from, std::string_view to,
                        std::string_view machine) {
    const std::string subject = notice.subject + " (" + oneLine(machine) + ")";
    const std::string body = base64(withCrlf("Equipo: " + oneLine(machine) + "\n\n" + notice.body));
    std::string message =
        "From: Amparo <" + oneLine(from) + ">\r\nTo: <" + oneLine(to) +
        ">\r\nSubject: " + headerValue(subject) + "\r\nDate: " + rfc2822Date(notice.createdAt) +
        "\r\nMessage-ID: <" + oneLine(notice.id) + "@amparo.invalid>\r\nMIME-Version: 1.0\r\n" +
        "Content-Type: text/plain; charset=UTF-8\r\n" + "Content-Transfer-Encoding: base64\r\n\r\n";
    for (std::size_t i = 0; i < body.size(); i += 76) {
        message += body.substr(i, 76) + "\r\n";
    }
    return message;
}

}  // namespace tranca
