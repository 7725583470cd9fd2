// Follows the daemon's log and reports blocks: only what is appended after
// start counts, at most one report per gap. Survives the log being truncated,
// rotated by rename or deleted and recreated, and a log that grows by
// gigabytes (read in bounded slices, so the GUI thread never stalls).
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <functional>
#include <optional>

class QFileSystemWatcher;
class QTimer;

namespace amparo {

class BlockWatcher : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using OnBlock = std::function<void(const QString& name)>;

    BlockWatcher(QString path, std::chrono::milliseconds gap, OnBlock onBlock,
                 Clock clock = &std::chrono::steady_clock::now, QObject* parent = nullptr);
    ~BlockWatcher() override;

    // Begins following the file from its current end; false (and idle) when
    // it cannot be opened. Calls stop first.
    bool start();
    // Idempotent.
    void stop();
    bool isWatching() const;

    // Reads what was appended since the last read. File events call it; the
    // periodic refresh calls it too, as a safety net for missed events.
    void poll();

  private:
    enum class Slice { caughtUp, more, interrupted };

    void readSlice();
    Slice readAppended();
    void takeBytes(QByteArrayView bytes);
    void takeLine(QByteArrayView line);
    // Whether the bytes just before offset_ are still those read there; not
    // when the file was truncated and has grown past offset_ again since.
    bool tailUnchanged() const;
    void keepTail(QByteArrayView bytes);
    bool reopenIfReplaced();
    void follow(int fd, quint64 device, quint64 inode, qint64 offset);

    QString path_;
    std::chrono::milliseconds gap_;
    OnBlock onBlock_;
    Clock clock_;
    int fd_ = -1;
    quint64 device_ = 0;
    quint64 inode_ = 0;
    qint64 offset_ = 0;
    // The last bytes read, the ones just before offset_.
    std::array<char, 64> tail_{};
    qsizetype tailSize_ = 0;
    QByteArray partial_;
    bool skippingLongLine_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastNotice_;
    // Bumped by stop, so a read in progress notices that onBlock stopped or
    // restarted the watcher.
    quint64 generation_ = 0;
    QFileSystemWatcher* events_ = nullptr;
    QTimer* slices_ = nullptr;
};

}  // namespace amparo
