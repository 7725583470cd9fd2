#include "app/core/block_reaction.h"

namespace amparo {

BlockReaction::BlockReaction(ProtectionModel& model, Desktop& desktop, QString logPath,
                             std::chrono::milliseconds gap, BlockWatcher::Clock clock,
                             QObject* parent)
    : QObject(parent),
      model_(model),
      desktop_(desktop),
      logPath_(std::move(logPath)),
      gap_(gap),
      clock_(std::move(clock)) {
    connect(&model_, &ProtectionModel::refreshed, this, &BlockReaction::update);
}

void BlockReaction::update() {
    if (!model_.snapshot().installed || !model_.opensHelpPage()) {
        watcher_.reset();
        return;
    }
    if (!watcher_) {
        // The page is read when the block is seen, so a destination changed
        // in between is the one that opens.
        watcher_ = std::make_unique<BlockWatcher>(
            logPath_, gap_,
            [this](const QString&) {
                if (const auto url = model_.blockPageUrl()) {
                    desktop_.openUrl(*url);
                }
            },
            clock_);
    }
    if (!watcher_->isWatching()) {
        watcher_->start();
    } else {
        watcher_->poll();
    }
}

}  // namespace amparo
