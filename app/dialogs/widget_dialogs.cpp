#include "app/dialogs/widget_dialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace amparo {

namespace {

constexpr qsizetype kExcerptLines = 12;
constexpr qsizetype kExcerptChars = 1200;
// Any domain reserved for examples serves.
constexpr const char* kExampleAddress = "https://www.ejemplo.org/ayuda";

// Plain text everywhere: a script's output or a list entry must never be
// taken for markup.
QMessageBox* alert(const QString& title, const QString& text,
                   QMessageBox::Icon icon = QMessageBox::Warning) {
    auto* box = new QMessageBox(icon, title, title);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(text);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

int runInFront(QDialog& dialog) {
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    return dialog.exec();
}

bool twoButtons(const QString& title, const QString& text, const QString& first,
                const QString& second, QMessageBox::Icon icon = QMessageBox::Warning) {
    std::unique_ptr<QMessageBox> box(alert(title, text, icon));
    QPushButton* chosen = box->addButton(first, QMessageBox::AcceptRole);
    box->addButton(second, QMessageBox::RejectRole);
    box->setDefaultButton(chosen);
    runInFront(*box);
    return box->clickedButton() == chosen;
}

}  // namespace

QString alertExcerpt(const QString& message) {
    QStringList lines = message.split(u'\n');
    if (lines.size() > kExcerptLines) {
        lines = lines.mid(lines.size() - kExcerptLines);
        lines.prepend(QStringLiteral("…"));
    }
    QString excerpt = lines.join(u'\n');
    if (excerpt.size() > kExcerptChars) {
        excerpt = QStringLiteral("…") + excerpt.right(kExcerptChars);
    }
    return excerpt;
}

bool WidgetDialogs::confirm(const QString& title, const QString& text, const QString& button) {
    return twoButtons(title, text, button, QLatin1String(kCancel));
}

void WidgetDialogs::showFailure(const QString& title, const QString& message) {
    std::unique_ptr<QMessageBox> box(alert(title, alertExcerpt(message)));
    if (alertExcerpt(message) != message) {
        box->setDetailedText(message);
    }
    box->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
    runInFront(*box);
}

bool WidgetDialogs::offer(const QString& title, const QString& text, const QString& button) {
    return twoButtons(title, text, button, QLatin1String(kClose));
}

bool WidgetDialogs::inform(const QString& title, const QString& text, const QString& offer) {
    if (!offer.isEmpty()) {
        return twoButtons(title, text, offer, QStringLiteral("Más tarde"),
                          QMessageBox::Information);
    }
    std::unique_ptr<QMessageBox> box(alert(title, text, QMessageBox::Information));
    box->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
    runInFront(*box);
    return false;
}

std::optional<QString> WidgetDialogs::askCustomAddress() {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Otra página al bloquear"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* heading = new QLabel(QStringLiteral("Otra página al bloquear"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);
    auto* hint = new QLabel(QStringLiteral("La dirección completa, por ejemplo ") +
                            QLatin1String(kExampleAddress));
    hint->setTextFormat(Qt::PlainText);
    layout->addWidget(hint);
    auto* field = new QLineEdit;
    field->setPlaceholderText(QStringLiteral("https://"));
    field->setFixedSize(300, 24);
    layout->addWidget(field);
    auto* buttons = new QDialogButtonBox;
    QPushButton* save = buttons->addButton(QStringLiteral("Guardar"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QLatin1String(kCancel), QDialogButtonBox::RejectRole);
    save->setDefault(true);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    field->setFocus();
    if (runInFront(dialog) != QDialog::Accepted) {
        return std::nullopt;
    }
    if (auto address = acceptableAddress(field->text())) {
        return address;
    }
    std::unique_ptr<QMessageBox> rejected(alert(QStringLiteral("Dirección no válida"),
                                                QStringLiteral("Tiene que empezar con https:// (o "
                                                               "http://).")));
    rejected->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
    runInFront(*rejected);
    return std::nullopt;
}

void SystemDesktop::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

void SystemDesktop::openFile(const QString& path) {
    QProcess::startDetached(QStringLiteral("xdg-open"), {path});
}

void SystemDesktop::copyText(const QString& text) {
    QApplication::clipboard()->setText(text);
}

}  // namespace amparo
