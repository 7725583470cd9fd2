#include "app/main_window.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSettings>

#include "app/core/model.h"
#include "app/ui/content_view.h"
#include "app/ui/qml_types.h"
#include "app/ui/sites_view.h"

namespace amparo {

namespace {

constexpr QSize kContentSize{480, 800};
constexpr QSize kMinimumSize{440, 560};

}  // namespace

MainWindow::MainWindow(ProtectionModel& model, ui::WindowViewModel& view, ui::SitesSheet& sheet,
                       QObject* parent)
    : QObject(parent), model_(model), view_(view), sheet_(sheet) {}

MainWindow::~MainWindow() {
    if (window_ && !forCapture_) {
        rememberGeometry();
    }
}

void MainWindow::create(bool forCapture) {
    forCapture_ = forCapture;
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
        // Closing only hides (the QML refuses the close); keep where it was.
        connect(window_, &QWindow::visibleChanged, this, [this](bool visible) {
            if (!visible) {
                rememberGeometry();
            }
        });
    }
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
    model_.refresh();
}

void MainWindow::rememberGeometry() const {
    if (window_) {
        QSettings().setValue(QLatin1String(kGeometryKey), window_->geometry());
    }
}

QImage MainWindow::render(bool sheetOnly) const {
    if (!window_) {
        return {};
    }
    QImage image = window_->grabWindow();
    if (!sheetOnly || image.isNull()) {
        return image;
    }
    const auto* sheet = window_->findChild<QQuickItem*>(QStringLiteral("hojaSitios"));
    if (!sheet || !sheet->isVisible()) {
        return {};
    }
    const qreal ratio = image.devicePixelRatio();
    const QRectF area = sheet->mapRectToScene(QRectF(0, 0, sheet->width(), sheet->height()));
    return image.copy(QRectF(area.topLeft() * ratio, area.size() * ratio).toAlignedRect());
}

}  // namespace amparo
