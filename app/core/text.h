// The per-OS texts and shared constants are std::string_view; the views and
// dialogs want QString.
#pragma once

#include <QString>
#include <string_view>

namespace amparo {

inline QString qtext(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A character that would start a line of its own, or act, where a daemon or
// a terminal reads the text: controls and Unicode's line and paragraph breaks.
inline bool hasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator) {
            return true;
        }
    }
    return false;
}

// Trimmed, and cut with an ellipsis past most characters: a daemon's reason
// shares its line with what failed.
inline QString shortened(const QString& text, qsizetype most) {
    QString cut = text.trimmed();
    if (cut.size() > most) {
        cut = cut.left(most - 1).trimmed() + u'…';
    }
    return cut;
}

}  // namespace amparo
