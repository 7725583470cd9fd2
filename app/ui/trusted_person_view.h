// The "Persona de confianza" section: the form filled from what the daemon
// reports (never a password), kept as typed until saved, its problem or the
// test mail's outcome under it, and the three intents.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "app/core/amparo_actions.h"
#include "app/core/model.h"
#include "app/core/trusted_person.h"

namespace amparo::ui {

class TrustedPersonView : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY changed)
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY changed)
    Q_PROPERTY(QString port READ port WRITE setPort NOTIFY changed)
    Q_PROPERTY(QString user READ user WRITE setUser NOTIFY changed)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY changed)
    Q_PROPERTY(int securityIndex READ securityIndex NOTIFY changed)
    Q_PROPERTY(QStringList securityLabels READ securityLabels CONSTANT)
    Q_PROPERTY(QString securityDetail READ securityDetail NOTIFY changed)
    Q_PROPERTY(bool known READ known NOTIFY changed)
    Q_PROPERTY(bool hasPerson READ hasPerson NOTIFY changed)
    Q_PROPERTY(QString title READ title NOTIFY changed)
    Q_PROPERTY(QString detail READ detail NOTIFY changed)
    Q_PROPERTY(QString message READ message NOTIFY changed)
    Q_PROPERTY(bool messageGood READ messageGood NOTIFY changed)
    Q_PROPERTY(bool testing READ testing NOTIFY changed)

  public:
    TrustedPersonView(ProtectionModel& model, AmparoActions& actions, QObject* parent = nullptr);

    QString address() const { return form_.address; }
    QString server() const { return form_.server; }
    QString port() const { return form_.port; }
    QString user() const { return form_.user; }
    QString password() const { return form_.password; }
    void setAddress(const QString& text) { edit(&TrustedPersonForm::address, text); }
    void setServer(const QString& text) { edit(&TrustedPersonForm::server, text); }
    void setPort(const QString& text) { edit(&TrustedPersonForm::port, text); }
    void setUser(const QString& text) { edit(&TrustedPersonForm::user, text); }
    void setPassword(const QString& text) { edit(&TrustedPersonForm::password, text); }
    int securityIndex() const { return static_cast<int>(form_.security); }
    QStringList securityLabels() const { return amparo::securityLabels(); }
    QString securityDetail() const { return amparo::securityDetail(form_.security); }
    bool known() const { return model_.snapshot().notices.has_value(); }
    bool hasPerson() const { return known() && model_.snapshot().notices->person.has_value(); }
    // The person's address, or why there is none to show.
    QString title() const;
    QString detail() const;
    QString message() const { return message_; }
    bool messageGood() const { return messageGood_; }
    bool testing() const { return testing_; }

    Q_INVOKABLE void chooseSecurity(int index);
    Q_INVOKABLE void save();
    Q_INVOKABLE void remove();
    Q_INVOKABLE void sendTest();

  signals:
    void changed();

  private:
    void edit(QString TrustedPersonForm::*field, const QString& text);
    void setMessage(const QString& text, bool good = false);
    // Fills the form again when the daemon reports another person.
    void follow();

    ProtectionModel& model_;
    AmparoActions& actions_;
    TrustedPersonForm form_;
    std::optional<TrustedPerson> loaded_;
    QString message_;
    bool messageGood_ = false;
    bool testing_ = false;
};

}  // namespace amparo::ui
