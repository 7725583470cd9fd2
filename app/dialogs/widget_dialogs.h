// The real dialogs and desktop services: Qt Widgets message boxes, the
// address dialog, the browser, the file opener and the clipboard.
#pragma once

#include "app/core/dialogs.h"

namespace amparo {

class WidgetDialogs : public Dialogs {
  public:
    bool confirm(const QString& title, const QString& text, const QString& button) override;
    void showFailure(const QString& title, const QString& message) override;
    bool offer(const QString& title, const QString& text, const QString& button) override;
    bool inform(const QString& title, const QString& text, const QString& offer) override;
    std::optional<QString> askCustomAddress() override;
};

class SystemDesktop : public Desktop {
  public:
    void openUrl(const QUrl& url) override;
    // Through xdg-open, with the desktop's own choice of program.
    void openFile(const QString& path) override;
    void copyText(const QString& text) override;
};

// A command's output can be long and can hold anything: the alert shows its
// last lines as plain text; the whole output stays one click away.
QString alertExcerpt(const QString& message);

}  // namespace amparo
