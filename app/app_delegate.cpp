#include "app/app_delegate.h"

#include <QApplication>
#include <QQuickWindow>
#include <QTimer>
#include <cstdio>

#include "app/core/os_table.h"
#include "app/core/probe.h"
#include "app/ui/qml_types.h"

namespace amparo {

namespace {

using namespace std::chrono_literals;

constexpr auto kCaptureDelay = 4s;
constexpr auto kBlockGap = 90s;

// A picture of a named state shows that state alone; "real", and the
// product, this machine.
std::unique_ptr<Gatherer> gathererFor(const std::optional<CaptureRequest>& capture,
                                      const QString& directory) {
    if (capture && capture->state != QLatin1String("real")) {
        return std::make_unique<CaptureGatherer>(capture->state);
    }
    return std::make_unique<Prober>(ProbeSettings::product(directory));
}

}  // namespace

AppDelegate::AppDelegate(std::optional<CaptureRequest> capture, std::optional<QString> permit,
                         bool inPanel, QObject* parent)
    : QObject(parent),
      capture_(std::move(capture)),
      permit_(std::move(permit)),
      inPanel_(inPanel),
      directory_(QCoreApplication::applicationDirPath()),
      model_(gathererFor(capture_, directory_)),
      runner_(directory_ + QStringLiteral("/amparo-admin")),
      actions_(model_, runner_, dialogs_, desktop_, ActionPaths::product(directory_)),
      view_(model_, actions_, theme_, directory_ + QStringLiteral("/pinturas")),
      sheet_(model_, actions_),
      window_(model_, view_, sheet_),
      channel_(ui::InstanceChannel::defaultName()) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::launch() {
    ui::registerQmlTypes(theme_);
    if (capture_) {
        launchCapture();
        return;
    }
    listenForLaterStarts();
    updater_ = std::make_unique<Updater>();
    connect(updater_.get(), &Updater::finished, this,
            [this](const UpdateCheck& result) { tellUpdateCheck(result, dialogs_, desktop_); });
    actions_.setUpdateCheck([this] { checkForUpdates(); });
    connect(&view_, &ui::WindowViewModel::commanded, this, &AppDelegate::command);

    tray_ = std::make_unique<Tray>(model_, [this](Command c) { command(c); });
    // Besides its own schedule, the model looks again when a person looks:
    // an opened window shows fresh facts, and so does the menu's next opening.
    connect(&window_, &MainWindow::shown, &model_, &ProtectionModel::refresh);
    connect(tray_.get(), &Tray::menuOpened, &model_, &ProtectionModel::refresh);
    tray_->show();
    reaction_ = std::make_unique<BlockReaction>(
        model_, desktop_, QString::fromUtf8(os::kCurrent.paths.logFile.data()), kBlockGap);
    actions_.setUpdateWatcher([this] { reaction_->update(); });
    connect(&model_, &ProtectionModel::refreshed, this, [this] { tray_->update(); });
    notifier_ = std::make_unique<FreedesktopNotifier>([this](Command c) { command(c); });
    connect(&model_, &ProtectionModel::refreshed, this, [this](const ProtectionSnapshot& snapshot) {
        // What Amparo's own run passes through on its way is no news;
        // where it ends up is weighed against where it started.
        if (!model_.busy().isEmpty()) {
            return;
        }
        const auto now = NotificationPolicy::Clock::now();
        for (const Notification& notification : notifications_.observe(snapshot, now)) {
            notifier_->show(notification);
        }
    });
    model_.start();
    if (permit_) {
        window_.show();
        sheet_.permit(*permit_);
    } else if (!inPanel_) {
        window_.show();
    }
}

void AppDelegate::launchCapture() {
    model_.setShowSites(capture_->state == QLatin1String("sitios"));
    model_.start();
    window_.show(/*forCapture=*/true);
    if (window_.window()) {
        if (const auto height = captureHeight(qEnvironmentVariable("AMPARO_CAPTURA_ALTO"))) {
            window_.window()->resize(480, *height);
        }
    }
    QTimer::singleShot(kCaptureDelay, this, &AppDelegate::writeCapture);
}

void AppDelegate::writeCapture() {
    // Two pictures show one part alone: the sites sheet, and the trusted
    // person's section, which is below the window's first screen.
    const QString item = capture_->state == QLatin1String("sitios") ? QStringLiteral("hojaSitios")
                         : capture_->state == QLatin1String("confianza")
                             ? QStringLiteral("seccionConfianza")
                             : QString();
    const QImage image = window_.render(item);
    const bool written = !image.isNull() && image.save(capture_->path, "PNG");
    if (!written) {
        std::fprintf(stderr, "Amparo: no se pudo escribir la captura en %s\n",
                     qPrintable(capture_->path));
    }
    QCoreApplication::exit(written ? 0 : 1);
}

void AppDelegate::command(Command command) {
    switch (command) {
        case Command::none:
            break;
        case Command::open:
            window_.show();
            break;
        case Command::activate:
            actions_.activate();
            break;
        case Command::deactivate:
            actions_.deactivate();
            break;
        case Command::restoreInternet:
            actions_.restoreInternet();
            break;
        case Command::updateList:
            actions_.updateList();
            break;
        case Command::uninstall:
            actions_.uninstall();
            break;
        case Command::cancelPending:
            actions_.cancelPending();
            break;
        case Command::openLog:
            actions_.openLog();
            break;
        case Command::checkForUpdates:
            actions_.checkForUpdates();
            break;
        case Command::donate:
            actions_.donate();
            break;
        case Command::openWebsite:
            actions_.openWebsite();
            break;
        case Command::quit:
            // A root command under way would lose its output pipe, and a
            // script killed halfway could leave the filter half installed.
            if (model_.busy().isEmpty()) {
                QCoreApplication::quit();
            }
            break;
    }
}

void AppDelegate::checkForUpdates() {
    window_.show();
    updater_->check();
}

void AppDelegate::listenForLaterStarts() {
    channel_.listen();
    connect(&channel_, &ui::InstanceChannel::showRequested, this, [this] { window_.show(); });
    connect(&channel_, &ui::InstanceChannel::permitRequested, this, [this](const QString& site) {
        window_.show();
        sheet_.permit(site);
    });
}

}  // namespace amparo
