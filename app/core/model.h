// The one observable object of Amparo: the current snapshot, the busy and
// notice texts the window shows, and the user's page-on-block setting. Views
// bind to its properties and call the actions; it never keeps a belief of its
// own about the filter, only what the last gathering observed. It gathers on
// its own schedule and when its owner asks (an action done, a person
// looking); views only read.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/core/gatherer.h"
#include "app/core/snapshot.h"

namespace amparo {

struct ModelTimings {
    // A filter that seems dead gets a second look after this long.
    std::chrono::milliseconds secondOpinion{2000};
    std::chrono::milliseconds notice{4000};
    // How often start() has the filter looked at again.
    std::chrono::milliseconds refreshEvery{10000};
};

class ProtectionModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(amparo::ProtectionSnapshot snapshot READ snapshot NOTIFY snapshotChanged)
    Q_PROPERTY(QString busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    Q_PROPERTY(bool showSites READ showSites WRITE setShowSites NOTIFY showSitesChanged)
    Q_PROPERTY(
        bool opensHelpPage READ opensHelpPage WRITE setOpensHelpPage NOTIFY opensHelpPageChanged)
    Q_PROPERTY(amparo::BlockDestination blockDestination READ blockDestination NOTIFY
                   blockDestinationChanged)

  public:
    static constexpr const char* kOpensHelpPageKey = "abrirAyudaAlBloquear";

    // Starts from what the gatherer knows without gathering, if anything.
    explicit ProtectionModel(std::unique_ptr<Gatherer> gatherer, ModelTimings timings = {},
                             QObject* parent = nullptr);
    ~ProtectionModel() override;

    const ProtectionSnapshot& snapshot() const { return snapshot_; }
    // Empty when no privileged action runs.
    QString busy() const { return busy_; }
    QString notice() const { return notice_; }
    bool showSites() const { return showSites_; }
    bool opensHelpPage() const { return opensHelpPage_; }
    bool isRefreshing() const { return refreshing_; }

    BlockDestination blockDestination() const;
    std::optional<QUrl> blockPageUrl() const;

    void setBusy(const QString& text);
    void setShowSites(bool show);
    // Written to the settings at once.
    void setOpensHelpPage(bool opens);

    // Gathers now, then every refreshEvery.
    void start();
    // Requests a new snapshot and returns at once; requests made while one
    // is being gathered are served by that one.
    void refresh();
    // Shows the text for the notice time; a newer notice replaces it at once.
    void showNotice(const QString& text);

  signals:
    void snapshotChanged();
    void busyChanged();
    void noticeChanged();
    void showSitesChanged();
    void opensHelpPageChanged();
    void blockDestinationChanged();
    // After every finished refresh, whether or not the snapshot changed.
    void refreshed(const amparo::ProtectionSnapshot& snapshot);

  private:
    void gatherLoop();
    // Queued from the gathering thread by name: Qt then builds the call
    // inside its own event code, so nothing of ours is shared through it.
    Q_INVOKABLE void deliverGathered();
    // Sleeps on the gathering thread; false when the model is going away.
    bool pause(std::chrono::milliseconds duration);

    std::unique_ptr<Gatherer> gatherer_;
    ModelTimings timings_;
    ProtectionSnapshot snapshot_;
    QString busy_;
    QString notice_;
    bool showSites_ = false;
    bool opensHelpPage_ = true;
    bool refreshing_ = false;
    QTimer noticeTimer_;
    QTimer refreshTimer_;

    // "amparo.estado": one thread, so at most one gathering at a time. The
    // GUI thread and it meet only under mutex_: a request in, a snapshot out.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    std::optional<ProtectionSnapshot> gathered_;
    std::thread gathering_;
};

}  // namespace amparo
