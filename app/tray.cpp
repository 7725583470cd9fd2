#include "app/tray.h"

#include <QMenu>
#include <QPainter>

#include "app/core/model.h"
#include "app/core/state_look.h"
#include "app/core/status_menu.h"
#include "app/ui/theme.h"

namespace amparo {

namespace {

constexpr QColor kGlyph{236, 241, 250};
constexpr QColor kRim{20, 28, 44, 220};

QPixmap shieldPixmap(const char* symbol, int size) {
    const int inner = size - 2;
    const QPixmap light = ui::symbolPixmap(QLatin1String(symbol), kGlyph, inner);
    const QPixmap dark = ui::symbolPixmap(QLatin1String(symbol), kRim, inner);
    QPixmap out(size, size);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    for (const QPoint offset : {QPoint(0, 1), QPoint(2, 1), QPoint(1, 0), QPoint(1, 2)}) {
        painter.drawPixmap(offset, dark);
    }
    painter.drawPixmap(QPoint(1, 1), light);
    return out;
}

}  // namespace

QIcon trayIcon(Protection protection) {
    const char* symbol = stateLook(protection).panelSymbol;
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(shieldPixmap(symbol, size));
    }
    return icon;
}

Tray::Tray(const ProtectionModel& model, CommandSink command, QObject* parent)
    : QObject(parent), model_(model), command_(std::move(command)), menu_(new QMenu) {
    icon_.setContextMenu(menu_);
    // Shells ask right before showing it; the menu then matches what is.
    connect(menu_, &QMenu::aboutToShow, this, &Tray::rebuildMenu);
    connect(menu_, &QMenu::aboutToShow, this, &Tray::menuOpened);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) {
                    command_(Command::open);
                }
            });
    rebuildMenu();
}

Tray::~Tray() {
    delete menu_;
}

void Tray::show() {
    update();
    icon_.show();
}

void Tray::update() {
    const ProtectionSnapshot& snapshot = model_.snapshot();
    icon_.setIcon(trayIcon(snapshot.protection));
    icon_.setToolTip(trayTooltip(snapshot));
}

void Tray::rebuildMenu() {
    menu_->clear();
    for (const MenuRow& row : statusMenuRows(model_.snapshot())) {
        if (row.isSeparator()) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = menu_->addAction(row.text);
        action->setEnabled(row.enabled);
        if (row.symbol) {
            action->setIcon(QIcon(ui::symbolPixmap(QLatin1String(row.symbol),
                                                   menu_->palette().color(QPalette::Text), 16)));
        }
        const Command command = row.command;
        connect(action, &QAction::triggered, this, [this, command] { command_(command); });
    }
}

}  // namespace amparo
