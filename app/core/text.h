// The per-OS texts and shared constants are std::string_view; the views and
// dialogs want QString.
#pragma once

#include <QString>
#include <string_view>

namespace amparo {

inline QString qtext(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace amparo
