#include "app/core/dialogs.h"

namespace amparo {

namespace {

bool isLineBreak(QChar c) {
    const char16_t code = c.unicode();
    return code == u'\n' || code == u'\v' || code == u'\f' || code == u'\r' || code == 0x85 ||
           code == 0x2028 || code == 0x2029;
}

QString trimmedOfBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && (text[first] == u' ' || text[first] == u'\t')) {
        ++first;
    }
    while (last > first && (text[last - 1] == u' ' || text[last - 1] == u'\t')) {
        --last;
    }
    return text.mid(first, last - first);
}

}  // namespace

std::optional<QString> acceptableAddress(const QString& typed) {
    const QString address = trimmedOfBlanks(typed);
    if (!address.startsWith(QLatin1String("https://")) &&
        !address.startsWith(QLatin1String("http://"))) {
        return std::nullopt;
    }
    if (std::any_of(address.begin(), address.end(), isLineBreak)) {
        return std::nullopt;
    }
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return std::nullopt;
    }
    return address;
}

}  // namespace amparo
