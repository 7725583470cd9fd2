// How Amparo was asked to start: normally, in the panel alone without
// opening its window ("--bandeja"), to render one state of its window into
// a picture ("--captura PATH [STATE]"), or to offer a blocked site in
// Permitidos ("--permitir LINK", from a block page's link).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace amparo {

struct CaptureRequest {
    QString path;
    QString state;  // "activa" unless given; "real" shows what this machine is
};

// The first "--captura" followed by an argument; a bare last "--captura" is
// ignored and the application starts normally.
std::optional<CaptureRequest> captureRequest(const QStringList& arguments);

// The argument after the first "--permitir", unchecked. A bare last
// "--permitir" is a start from the menu, whose entry passes no link then.
std::optional<QString> permitArgument(const QStringList& arguments);

// "--bandeja" among the arguments.
bool startsInPanel(const QStringList& arguments);

// The window height asked for in AMPARO_CAPTURA_ALTO, when it is a number.
std::optional<int> captureHeight(const QString& value);

}  // namespace amparo
