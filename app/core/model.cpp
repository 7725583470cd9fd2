#include "app/core/model.h"

#include <pthread.h>

#include <QSettings>

namespace amparo {

namespace {

// True when absent or not a Boolean, as a fresh installation should behave.
bool readOpensHelpPage() {
    const QVariant stored = QSettings().value(QLatin1String(ProtectionModel::kOpensHelpPageKey));
    if (stored.typeId() == QMetaType::Bool) {
        return stored.toBool();
    }
    // Settings files keep Booleans as text.
    const QString text = stored.toString();
    return text != QLatin1String("false");
}

}  // namespace

ProtectionModel::ProtectionModel(std::unique_ptr<Gatherer> gatherer, ModelTimings timings,
                                 QObject* parent)
    : QObject(parent),
      gatherer_(std::move(gatherer)),
      timings_(timings),
      snapshot_(gatherer_->known().value_or(ProtectionSnapshot{})),
      opensHelpPage_(readOpensHelpPage()) {
    qRegisterMetaType<ProtectionSnapshot>();
    noticeTimer_.setSingleShot(true);
    connect(&noticeTimer_, &QTimer::timeout, this, [this] {
        notice_.clear();
        emit noticeChanged();
    });
    connect(&refreshTimer_, &QTimer::timeout, this, &ProtectionModel::refresh);
}

ProtectionModel::~ProtectionModel() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (gathering_.joinable()) {
        gathering_.join();
    }
}

BlockDestination ProtectionModel::blockDestination() const {
    return blockDestinationFor(opensHelpPage_, snapshot_.redirectLine);
}

std::optional<QUrl> ProtectionModel::blockPageUrl() const {
    return amparo::blockPageUrl(blockDestination(), snapshot_.redirectLine);
}

void ProtectionModel::setBusy(const QString& text) {
    if (busy_ != text) {
        busy_ = text;
        emit busyChanged();
    }
}

void ProtectionModel::setShowSites(bool show) {
    if (showSites_ != show) {
        showSites_ = show;
        emit showSitesChanged();
    }
}

void ProtectionModel::setOpensHelpPage(bool opens) {
    QSettings().setValue(QLatin1String(kOpensHelpPageKey), opens);
    if (opensHelpPage_ != opens) {
        opensHelpPage_ = opens;
        emit opensHelpPageChanged();
        emit blockDestinationChanged();
    }
}

void ProtectionModel::start() {
    refresh();
    refreshTimer_.start(timings_.refreshEvery);
}

void ProtectionModel::refresh() {
    if (refreshing_) {
        return;
    }
    refreshing_ = true;
    {
        std::lock_guard lock(mutex_);
        requested_ = true;
    }
    wake_.notify_one();
    if (!gathering_.joinable()) {
        gathering_ = std::thread([this] { gatherLoop(); });
        pthread_setname_np(gathering_.native_handle(), "amparo.estado");
    }
}

void ProtectionModel::gatherLoop() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return requested_ || stopping_; });
            if (stopping_) {
                return;
            }
            requested_ = false;
        }
        ProtectionSnapshot snapshot = gatherer_->gather();
        // A filter restarting or a network changing over looks dead for a
        // moment; the second look decides.
        if (snapshot.protection == Protection::offline && pause(timings_.secondOpinion)) {
            snapshot = gatherer_->gather();
        }
        {
            std::lock_guard lock(mutex_);
            gathered_ = std::move(snapshot);
        }
        QMetaObject::invokeMethod(this, "deliverGathered", Qt::QueuedConnection);
    }
}

bool ProtectionModel::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

void ProtectionModel::deliverGathered() {
    std::optional<ProtectionSnapshot> gathered;
    {
        std::lock_guard lock(mutex_);
        gathered.swap(gathered_);
    }
    if (!gathered) {
        return;
    }
    refreshing_ = false;
    if (!(*gathered == snapshot_)) {
        const bool destinationMoved = gathered->redirectLine != snapshot_.redirectLine;
        snapshot_ = std::move(*gathered);
        emit snapshotChanged();
        if (destinationMoved) {
            emit blockDestinationChanged();
        }
    }
    emit refreshed(snapshot_);
}

void ProtectionModel::showNotice(const QString& text) {
    notice_ = text;
    emit noticeChanged();
    noticeTimer_.start(timings_.notice);
}

}  // namespace amparo
