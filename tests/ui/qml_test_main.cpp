// Qt Quick tests of Amparo's views on the QML in the program's resources; a
// fixture stands in for the application: a model showing a capture state,
// actions that only record, and the view models.
#include <QCoreApplication>
#include <QEventLoop>
#include <QQmlEngine>
#include <QStandardPaths>
#include <QtQuickTest>

#include <mutex>

#include "app/core/model.h"
#include "app/ui/content_view.h"
#include "app/ui/qml_types.h"
#include "app/ui/sites_view.h"
#include "app/ui/theme.h"
#include "tests/support/ignored_actions.h"

namespace amparo::ui {
namespace {

class Fixture : public QObject, public testing::IgnoredActions {
    Q_OBJECT
    Q_PROPERTY(amparo::ProtectionModel* model READ model CONSTANT)
    Q_PROPERTY(amparo::ui::SitesSheet* sheet READ sheet CONSTANT)
    Q_PROPERTY(amparo::ui::WindowViewModel* view READ view CONSTANT)
    Q_PROPERTY(int destinationRequests MEMBER destinationRequests_ NOTIFY recorded)
    Q_PROPERTY(int keywordRequests MEMBER keywordRequests_ NOTIFY recorded)
    Q_PROPERTY(int personSaves MEMBER personSaves_ NOTIFY recorded)
    // One {blocked, allowed, sheetShown} object per saveSites call.
    Q_PROPERTY(QVariantList savedSites MEMBER savedSites_ NOTIFY recorded)

  public:
    explicit Fixture(const Theme& theme) : view_(model_, *this, theme, QString()) {}

    ProtectionModel* model() { return &model_; }
    SitesSheet* sheet() { return &sheet_; }
    WindowViewModel* view() { return &view_; }
    void saveSites(const QStringList& blocked, const QStringList& allowed) override {
        savedSites_.append(QVariantMap{
            {"blocked", blocked}, {"allowed", allowed}, {"sheetShown", model_.showSites()}});
        emit recorded();
    }
    void setBlockDestination(BlockDestination) override {
        ++destinationRequests_;
        emit recorded();
    }
    void setContentFilter(bool) override {
        ++keywordRequests_;
        emit recorded();
    }
    void saveTrustedPerson(const TrustedPersonForm&) override {
        ++personSaves_;
        emit recorded();
    }

    // A capture state, no saves, the sheet opened afresh.
    Q_INVOKABLE void reset(const QString& state) {
        {
            std::lock_guard lock(stateMutex_);
            state_ = state;
        }
        QEventLoop delivered;
        connect(&model_, &ProtectionModel::refreshed, &delivered, &QEventLoop::quit);
        model_.refresh();
        delivered.exec();
        model_.setShowSites(state == QLatin1String("sitios"));
        savedSites_.clear();
        sheet_.open();
    }

  signals:
    void recorded();

  private:
    // Read on the model's gathering thread.
    std::mutex stateMutex_;
    QString state_;
    ProtectionModel model_{gathererOf([this] {
        std::lock_guard lock(stateMutex_);
        return CaptureGatherer(state_).gather();
    })};
    SitesSheet sheet_{model_, *this};
    WindowViewModel view_;
    int destinationRequests_ = 0;
    int keywordRequests_ = 0;
    int personSaves_ = 0;
    QVariantList savedSites_;
};

class Setup : public QObject {
    Q_OBJECT

  public slots:
    void applicationAvailable() {
        // The model reads its settings: a test location, never the user's.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("AmparoPruebas"));
        QCoreApplication::setApplicationName(QStringLiteral("AmparoPruebas"));
        registerFonts();
        theme_ = std::make_unique<Theme>();
        registerQmlTypes(*theme_);
        fixture_ = std::make_unique<Fixture>(*theme_);
        qmlRegisterSingletonInstance("AmparoPruebas", 1, 0, "Fixture", fixture_.get());
    }

    void qmlEngineAvailable(QQmlEngine* engine) {
        addImageProviders(*engine);
        engine->addImportPath(QStringLiteral("qrc:/qml"));
    }

    void cleanupTestCase() { fixture_.reset(); }

  private:
    std::unique_ptr<Theme> theme_;
    std::unique_ptr<Fixture> fixture_;
};

}  // namespace
}  // namespace amparo::ui

QUICK_TEST_MAIN_WITH_SETUP(amparo_views, amparo::ui::Setup)

#include "qml_test_main.moc"
