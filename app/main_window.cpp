#include "app/main_window.h"

#include <malloc.h>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSettings>
#include <algorithm>
#include <utility>

#include "app/core/model.h"
#include "app/ui/content_view.h"
#include "app/ui/qml_types.h"
#include "app/ui/sites_view.h"
#include "app/ui/theme.h"

namespace amparo {

namespace {

constexpr QSize kContentSize{480, 800};
constexpr QSize kMinimumSize{440, 560};
// Room around a part of the window a picture is taken of.
constexpr qreal kRevealMargin = 12;

}  // namespace

MainWindow::MainWindow(ProtectionModel& model, ui::WindowViewModel& view, ui::SitesSheet& sheet,
                       QObject* parent)
    : QObject(parent), model_(model), view_(view), sheet_(sheet) {}

MainWindow::~MainWindow() {
    if (window_) {
        // Its hiding while the engine goes with this object is no closing
        // to release anything for.
        disconnect(window_, nullptr, this, nullptr);
        if (!forCapture_) {
            rememberGeometry();
        }
    }
}

void MainWindow::create(bool forCapture) {
    forCapture_ = forCapture;
    // Read on the first opening: the panel's menu uses the system's font.
    if (!std::exchange(fontsRegistered_, true)) {
        ui::registerFonts();
    }
    engine_ = std::make_unique<QQmlApplicationEngine>();
    ui::addImageProviders(*engine_);
    engine_->setInitialProperties({{QStringLiteral("model"), QVariant::fromValue(&model_)},
                                   {QStringLiteral("view"), QVariant::fromValue(&view_)},
                                   {QStringLiteral("sheet"), QVariant::fromValue(&sheet_)}});
    engine_->load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    const auto roots = engine_->rootObjects();
    window_ = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
    if (!window_) {
        return;
    }
    window_->setMinimumSize(kMinimumSize);
    const QRect remembered = QSettings().value(QLatin1String(kGeometryKey)).toRect();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!forCapture && remembered.isValid() && screen &&
        screen->availableVirtualGeometry().intersects(remembered)) {
        window_->setGeometry(remembered);
    } else {
        window_->resize(kContentSize);
        if (screen) {
            window_->setPosition(screen->availableGeometry().center() -
                                 QPoint(kContentSize.width() / 2, kContentSize.height() / 2));
        }
    }
    if (!forCapture) {
        // Closing only hides (the QML refuses the close); keep where it was,
        // then let the whole scene go.
        connect(window_, &QWindow::visibleChanged, this, [this](bool visible) {
            if (!visible) {
                rememberGeometry();
                release();
            }
        });
    }
}

void MainWindow::release() {
    window_ = nullptr;
    // The hiding runs inside the QML's own closing handler: the engine goes
    // once control is back in the event loop. Its heap is handed back to
    // the system then, which glibc does not do on its own for a heap this
    // fragmented.
    QQmlApplicationEngine* engine = engine_.release();
    connect(engine, &QObject::destroyed, [] { malloc_trim(0); });
    engine->deleteLater();
}

void MainWindow::show(bool forCapture) {
    if (!window_) {
        create(forCapture);
        if (!window_) {
            return;
        }
    }
    window_->show();
    window_->raise();
    window_->requestActivate();
    emit shown();
}

void MainWindow::rememberGeometry() const {
    if (window_) {
        QSettings().setValue(QLatin1String(kGeometryKey), window_->geometry());
    }
}

QImage MainWindow::render(const QString& itemName) const {
    if (!window_) {
        return {};
    }
    const auto* item = itemName.isEmpty() ? nullptr : window_->findChild<QQuickItem*>(itemName);
    if (!itemName.isEmpty() && (!item || !item->isVisible())) {
        return {};
    }
    auto* scroller = window_->findChild<QQuickItem*>(QStringLiteral("desplazador"));
    const bool scrolled = item && scroller && scroller->isAncestorOf(item);
    if (scrolled) {
        const qreal top = item->mapToItem(scroller, QPointF()).y() - kRevealMargin;
        const qreal most = scroller->property("contentHeight").toReal() - scroller->height();
        const qreal at = scroller->property("contentY").toReal() + top;
        scroller->setProperty("contentY", std::clamp(at, 0.0, std::max(most, 0.0)));
    }
    QImage image = window_->grabWindow();
    if (!item || image.isNull()) {
        return image;
    }
    const qreal ratio = image.devicePixelRatio();
    // A part of the window gets some of the window around it; a sheet is
    // whole on its own.
    const qreal margin = scrolled ? kRevealMargin : 0;
    const QRectF area = item->mapRectToScene(
        QRectF(-margin, -margin, item->width() + 2 * margin, item->height() + 2 * margin));
    return image.copy(QRectF(area.topLeft() * ratio, area.size() * ratio).toAlignedRect());
}

}  // namespace amparo
