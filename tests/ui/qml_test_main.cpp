// Runs the Qt Quick tests of Amparo's views on the QML compiled into the
// program's resources, with a fixture standing in for the application: a
// model in a capture state, actions that only record, and the view models.
#include <QCoreApplication>
#include <QQmlEngine>
#include <QStandardPaths>
#include <QVariantList>
#include <QtQuickTest>
#include <functional>
#include <memory>

#include "app/core/model.h"
#include "app/ui/content_view.h"
#include "app/ui/qml_types.h"
#include "app/ui/sites_view.h"
#include "app/ui/theme.h"
#include "tests/support/ignored_actions.h"

namespace amparo::ui {
namespace {

// Keeps what the views asked to save; every other action is ignored.
class RecordingActions : public testing::IgnoredActions {
  public:
    std::function<void(const QStringList&, const QStringList&)> onSaveSites;
    int destinationRequests = 0;

    void saveSites(const QStringList& blocked, const QStringList& allowed) override {
        onSaveSites(blocked, allowed);
    }
    void setBlockDestination(BlockDestination) override { ++destinationRequests; }
};

class Fixture : public QObject {
    Q_OBJECT
    Q_PROPERTY(amparo::ProtectionModel* model READ model CONSTANT)
    Q_PROPERTY(amparo::ui::SitesSheet* sheet READ sheet CONSTANT)
    Q_PROPERTY(amparo::ui::WindowViewModel* view READ view CONSTANT)
    Q_PROPERTY(int destinationRequests READ destinationRequests)
    // One {blocked, allowed} object per saveSites call.
    Q_PROPERTY(QVariantList savedSites READ savedSites NOTIFY savedSitesChanged)

  public:
    explicit Fixture(const Theme& theme) : view_(model_, actions_, theme, QString()) {
        actions_.onSaveSites = [this](const QStringList& blocked, const QStringList& allowed) {
            savedSites_.append(QVariantMap{{QStringLiteral("blocked"), blocked},
                                           {QStringLiteral("allowed"), allowed}});
            emit savedSitesChanged();
        };
    }

    ProtectionModel* model() { return &model_; }
    SitesSheet* sheet() { return &sheet_; }
    WindowViewModel* view() { return &view_; }
    int destinationRequests() const { return actions_.destinationRequests; }
    QVariantList savedSites() const { return savedSites_; }

    // Puts the model in a capture state, forgets the recorded calls and
    // opens the sheet afresh.
    Q_INVOKABLE void reset(const QString& state) {
        model_.applyCaptureState(state);
        savedSites_.clear();
        emit savedSitesChanged();
        sheet_.open();
    }

  signals:
    void savedSitesChanged();

  private:
    // Capture states never gather.
    ProtectionModel model_{[] { return ProtectionSnapshot{}; }};
    RecordingActions actions_;
    SitesSheet sheet_{model_, actions_};
    WindowViewModel view_;
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
