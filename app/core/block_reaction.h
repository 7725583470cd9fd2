// Opens the chosen block page when the daemon logs a block: keeps a log
// watcher running exactly while the filter is installed and the user wants a
// page on block, and starts again a watcher that could not open the log (a
// first installation creates the log after Amparo started).
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

#include "app/core/block_watcher.h"
#include "app/core/dialogs.h"
#include "app/core/model.h"

namespace amparo {

// The least time between two pages opened on block: a page's many blocked
// resources open one, and a person is not flooded with tabs.
inline constexpr std::chrono::seconds kBlockPageGap{90};

class BlockReaction : public QObject {
    Q_OBJECT
  public:
    BlockReaction(ProtectionModel& model, Desktop& desktop, QString logPath,
                  std::chrono::milliseconds gap = kBlockPageGap,
                  BlockWatcher::Clock clock = &std::chrono::steady_clock::now,
                  QObject* parent = nullptr);

    // Runs after every refresh by itself; call it after the page setting
    // changed.
    void update();
    bool isWatching() const { return watcher_ && watcher_->isWatching(); }

  private:
    ProtectionModel& model_;
    Desktop& desktop_;
    QString logPath_;
    std::chrono::milliseconds gap_;
    BlockWatcher::Clock clock_;
    std::unique_ptr<BlockWatcher> watcher_;
};

}  // namespace amparo
