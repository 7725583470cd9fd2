#include "app/ui/settings_section.h"

#include <QLocale>

#include "app/core/os_table.h"
#include "app/core/text.h"

namespace amparo::ui {

namespace {

const QLocale& spanish() {
    static const QLocale locale(QLocale::Spanish);
    return locale;
}

QString counted(qsizetype count, const char* one, const char* many) {
    return count == 1 ? QString::fromUtf8(one)
                      : QString::number(count) + u' ' + QString::fromUtf8(many);
}

}  // namespace

QString listDetail(qint64 count, const std::optional<QDateTime>& date) {
    QString number = spanish().toString(count);
    if (number.isEmpty()) {
        number = QString::number(count);
    }
    if (!date) {
        return number + QStringLiteral(" sitios");
    }
    return number + QStringLiteral(" sitios · al día del ") +
           spanish().toString(date->date(), QStringLiteral("d 'de' MMMM"));
}

QString sitesDetail(qsizetype blocked, qsizetype allowed) {
    if (blocked == 0 && allowed == 0) {
        return QStringLiteral("Bloqueá o permití un sitio puntual.");
    }
    QStringList parts;
    if (blocked > 0) {
        parts << counted(blocked, "1 bloqueado", "bloqueados");
    }
    if (allowed > 0) {
        parts << counted(allowed, "1 permitido", "permitidos");
    }
    return parts.join(QStringLiteral(" · "));
}

QString keywordDetail(bool on, bool toolAvailable) {
    return on || toolAvailable ? QStringLiteral("Lee el texto de las páginas. Avanzado.")
                               : qtext(os::kCurrent.keywordFilterNeedsTool);
}

QString lockDetail(bool locked) {
    return locked ? QStringLiteral("DNS bloqueado para otros programas.")
                  : QStringLiteral("Sin bloqueo: otros programas pueden saltarse el filtro.");
}

QString waitDetail(bool known) {
    return known ? QStringLiteral(
                       "Antes de desactivar o aflojar el filtro. Cancelar no pide "
                       "contraseña.")
                 : QStringLiteral("El filtro no responde; se podrá elegir cuando vuelva.");
}

QStringList destinationLabels() {
    return {QStringLiteral("Página de Amparo"), qtext(os::kCurrent.includedPageLabel),
            QStringLiteral("Otra página…"), QStringLiteral("No abrir nada")};
}

}  // namespace amparo::ui
