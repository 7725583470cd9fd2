// The questions and alerts Amparo's actions need from the desktop, and the
// small desktop services they use (open a page or a file, copy a command).
// Interfaces, so every action runs headless in tests; app/dialogs has the
// real ones.
#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace amparo {

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // Confirming button first, "Cancelar" second; true for the first.
    virtual bool confirm(const QString& title, const QString& text, const QString& button) = 0;
    virtual void showFailure(const QString& title, const QString& message) = 0;
    // An alert with one offer and "Cerrar"; true when the offer was taken.
    virtual bool offer(const QString& title, const QString& text, const QString& button) = 0;
    // News the person asked for, without alarm: with an offer, "Más tarde"
    // beside it and true when it was taken; without one, "Aceptar" alone.
    virtual bool inform(const QString& title, const QString& text, const QString& offer) = 0;
    // The address of an own block page; none when cancelled or not
    // acceptable (the dialog then has said why).
    virtual std::optional<QString> askCustomAddress() = 0;
};

class Desktop {
  public:
    virtual ~Desktop() = default;
    virtual void openUrl(const QUrl& url) = 0;
    virtual void openFile(const QString& path) = 0;
    virtual void copyText(const QString& text) = 0;
};

inline constexpr const char* kCancel = "Cancelar";
inline constexpr const char* kClose = "Cerrar";

// The address dialog's rule: trimmed of spaces and tabs, "https://" or
// "http://" as written, a URL with a host, and no line break of any kind.
std::optional<QString> acceptableAddress(const QString& typed);

}  // namespace amparo
