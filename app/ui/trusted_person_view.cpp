#include "app/ui/trusted_person_view.h"

#include <QPointer>
#include <QTimer>

namespace amparo::ui {

TrustedPersonView::TrustedPersonView(ProtectionModel& model, AmparoActions& actions,
                                     QObject* parent)
    : QObject(parent), model_(model), actions_(actions) {
    connect(&model_, &ProtectionModel::snapshotChanged, this, &TrustedPersonView::follow);
    follow();
}

QString TrustedPersonView::title() const {
    if (!known()) {
        return QStringLiteral("El filtro no responde");
    }
    const auto& person = model_.snapshot().notices->person;
    return person ? person->address : QStringLiteral("Nadie todavía");
}

QString TrustedPersonView::detail() const {
    return known() ? QStringLiteral(
                         "Recibe un correo si la protección se desactiva o se afloja "
                         "en este equipo. Nunca se envían los sitios visitados.")
                   : QStringLiteral("Se podrá configurar cuando vuelva.");
}

void TrustedPersonView::follow() {
    const auto person =
        known() ? model_.snapshot().notices->person : std::optional<TrustedPerson>();
    // What the user is typing stays until the daemon reports a change.
    if (person != loaded_) {
        loaded_ = person;
        form_ = formFor(person);
        message_.clear();
    }
    emit changed();
}

void TrustedPersonView::edit(QString TrustedPersonForm::*field, const QString& text) {
    if (form_.*field == text) {
        return;
    }
    form_.*field = text;
    if (!testing_) {
        message_.clear();
    }
    emit changed();
}

void TrustedPersonView::setMessage(const QString& text, bool good) {
    message_ = text;
    messageGood_ = good;
    emit changed();
}

void TrustedPersonView::chooseSecurity(int index) {
    if (index < 0 || index >= securityLabels().size()) {
        return;
    }
    const auto security = static_cast<MailSecurity>(index);
    form_.port = portAfterSecurity(form_.port, form_.security, security);
    form_.security = security;
    emit changed();
}

void TrustedPersonView::save() {
    if (const QString problem = formProblem(form_); !problem.isEmpty()) {
        setMessage(problem);
        return;
    }
    const TrustedPersonForm form = form_;
    // Typed again for the next save: it is kept nowhere once handed over.
    form_.password.clear();
    setMessage({});
    QTimer::singleShot(0, this, [this, form] { actions_.saveTrustedPerson(form); });
}

void TrustedPersonView::remove() {
    QTimer::singleShot(0, this, [this] { actions_.removeTrustedPerson(); });
}

void TrustedPersonView::sendTest() {
    if (testing_) {
        return;
    }
    if (const QString problem = formProblem(form_); !problem.isEmpty()) {
        setMessage(problem);
        return;
    }
    testing_ = true;
    setMessage(QStringLiteral("Enviando el correo de prueba…"), true);
    actions_.sendTestMail(form_, [self = QPointer(this)](const TestMailResult& result) {
        if (self) {
            self->testing_ = false;
            self->setMessage(result.line, result.sent);
        }
    });
}

}  // namespace amparo::ui
