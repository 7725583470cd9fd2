// The detail lines and labels of the settings card, formatted for Spanish.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace amparo::ui {

// "76.771 sitios · al día del 5 de diciembre", or "76.771 sitios".
QString listDetail(qint64 count, const std::optional<QDateTime>& date);
// "Bloqueá o permití un sitio puntual." or "2 bloqueados · 1 permitido".
QString sitesDetail(qsizetype blocked, qsizetype allowed);
QString keywordDetail(bool on, bool toolAvailable);
QString lockDetail(bool locked);
// Under "Espera para aflojar": what it does, or why it cannot be chosen now.
QString waitDetail(bool known);
// One label per block destination, in the destinations' order.
QStringList destinationLabels();

}  // namespace amparo::ui
