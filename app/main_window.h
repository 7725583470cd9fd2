// The main window: the QML content over the model, built on each showing and
// released on closing, so Amparo resting in the panel holds no QML engine,
// scene graph or GPU context; its place and size are remembered.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <memory>

class QQmlApplicationEngine;
class QQuickWindow;

namespace amparo {

class ProtectionModel;
namespace ui {
class SitesSheet;
class WindowViewModel;
}  // namespace ui

class MainWindow : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kGeometryKey = "AmparoVentana";

    MainWindow(ProtectionModel& model, ui::WindowViewModel& view, ui::SitesSheet& sheet,
               QObject* parent = nullptr);
    ~MainWindow() override;

    // Creates the window when needed and brings it to the front. A window
    // for a picture ignores the remembered place and is never released.
    void show(bool forCapture = false);
    QQuickWindow* window() const { return window_; }

    // The window's content as shown now; with an item's object name, only
    // that item, scrolled into view first when the window scrolls it.
    QImage render(const QString& itemName = {}) const;

  signals:
    // Brought to the front at someone's asking.
    void shown();

  private:
    void create(bool forCapture);
    void release();
    void rememberGeometry() const;

    ProtectionModel& model_;
    ui::WindowViewModel& view_;
    ui::SitesSheet& sheet_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
    bool forCapture_ = false;
    bool fontsRegistered_ = false;
};

}  // namespace amparo
