// How a later start of Amparo reaches the one already running: one short
// line over a local socket in the user's private runtime folder, "mostrar"
// or a "Permitir este sitio" link. It sits with the views because the
// receiving side checks the link again with the site rule.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <optional>

namespace amparo::ui {

class InstanceChannel : public QObject {
    Q_OBJECT
  public:
    // The socket's path: per user, in a folder only the user can enter.
    static QString defaultName();
    // Asks the Amparo listening on name to show its window, and with a site
    // to offer it in Permitidos; false when nobody answers.
    static bool tell(const QString& name, const std::optional<QString>& site);

    explicit InstanceChannel(QString name, QObject* parent = nullptr);

    // Starts answering later starts; false when the socket cannot be made.
    bool listen();

  signals:
    void showRequested();
    void permitRequested(const QString& site);

  private:
    void accept();

    QString name_;
    QLocalServer server_;
};

}  // namespace amparo::ui
