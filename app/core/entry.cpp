#include "app/core/entry.h"

namespace amparo {

std::optional<CaptureRequest> captureRequest(const QStringList& arguments) {
    const qsizetype flag = arguments.indexOf(QLatin1String("--captura"));
    if (flag < 0 || flag + 1 >= arguments.size()) {
        return std::nullopt;
    }
    return CaptureRequest{arguments[flag + 1], arguments.value(flag + 2, QStringLiteral("activa"))};
}

std::optional<QString> permitArgument(const QStringList& arguments) {
    const qsizetype flag = arguments.indexOf(QLatin1String("--permitir"));
    if (flag < 0 || flag + 1 >= arguments.size()) {
        return std::nullopt;
    }
    return arguments[flag + 1];
}

bool startsInPanel(const QStringList& arguments) {
    return arguments.contains(QLatin1String("--bandeja"));
}

std::optional<int> captureHeight(const QString& value) {
    bool ok = false;
    const double height = value.trimmed().toDouble(&ok);
    // A window must fit on a screen buffer: far larger is a typo.
    if (!ok || height < 1 || height > 20000) {
        return std::nullopt;
    }
    return static_cast<int>(height);
}

}  // namespace amparo
