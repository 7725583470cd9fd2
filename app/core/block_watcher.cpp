#include "app/core/block_watcher.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "contract/filter.h"

namespace amparo {

namespace {

// Read per event-loop turn: a log that grew by gigabytes is worked through a
// slice at a time, so the GUI thread keeps answering in between.
constexpr qint64 kSliceBytes = 1 << 20;
// The daemon's lines are short; anything longer is not one of them, and
// keeping it would let a stray writer grow our memory without bound.
constexpr qsizetype kMaxLineBytes = 64 * 1024;
constexpr QByteArrayView kBlockMarker(contract::kBlockedMarker.data(),
                                      static_cast<qsizetype>(contract::kBlockedMarker.size()));

// A read-only descriptor on path when it is a regular file, else -1.
// Non-blocking, so a FIFO put in the log's place cannot hang the open.
int openRegular(const QString& path, struct stat& info) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Fills bytes from offset on; fewer only at the end of the file or on error.
qsizetype readAt(int fd, std::span<char> bytes, qint64 offset) {
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got,
                                  static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<qsizetype>(got);
}

}  // namespace

BlockWatcher::BlockWatcher(QString path, std::chrono::milliseconds gap, OnBlock onBlock,
                           Clock clock, QObject* parent)
    : QObject(parent),
      path_(std::move(path)),
      gap_(gap),
      onBlock_(std::move(onBlock)),
      clock_(std::move(clock)),
      events_(new QFileSystemWatcher(this)),
      slices_(new QTimer(this)) {
    slices_->setSingleShot(true);
    slices_->setInterval(0);
    connect(slices_, &QTimer::timeout, this, &BlockWatcher::readSlice);
    connect(events_, &QFileSystemWatcher::fileChanged, this, &BlockWatcher::poll);
    connect(events_, &QFileSystemWatcher::directoryChanged, this, &BlockWatcher::poll);
}

BlockWatcher::~BlockWatcher() {
    stop();
}

bool BlockWatcher::start() {
    stop();
    struct stat info {};
    const int fd = openRegular(path_, info);
    if (fd < 0) {
        return false;
    }
    follow(fd, info.st_dev, info.st_ino, info.st_size);
    // The directory's events are what reveal a rotation: a rename, a
    // deletion, a new file under the old name.
    events_->addPath(QFileInfo(path_).absolutePath());
    return true;
}

void BlockWatcher::stop() {
    ++generation_;
    slices_->stop();
    const QStringList watched = events_->files() + events_->directories();
    if (!watched.isEmpty()) {
        events_->removePaths(watched);
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    offset_ = 0;
    tailSize_ = 0;
    partial_.clear();
    skippingLongLine_ = false;
}

bool BlockWatcher::isWatching() const {
    return fd_ >= 0;
}

void BlockWatcher::poll() {
    // A pending slice is already working through the backlog.
    if (fd_ < 0 || slices_->isActive()) {
        return;
    }
    readSlice();
}

void BlockWatcher::readSlice() {
    if (fd_ < 0) {
        return;
    }
    switch (readAppended()) {
        case Slice::more:
            slices_->start();
            return;
        case Slice::interrupted:
            return;
        case Slice::caughtUp:
            break;
    }
    // Only once the old file is read to its end: its last lines were written
    // before the rotation and are as new as anything in the new file.
    if (reopenIfReplaced()) {
        slices_->start();
    }
}

BlockWatcher::Slice BlockWatcher::readAppended() {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        return Slice::caughtUp;
    }
    // Truncated in place (copytruncate): whatever it holds now is new. The
    // daemon's appends may have made it longer than before by this look, so
    // the size alone does not always tell.
    if (info.st_size < offset_ || !tailUnchanged()) {
        offset_ = 0;
        tailSize_ = 0;
        partial_.clear();
        skippingLongLine_ = false;
    }
    const qint64 pending = info.st_size - offset_;
    if (pending == 0) {
        return Slice::caughtUp;
    }
    QByteArray bytes(qMin(pending, kSliceBytes), Qt::Uninitialized);
    const qsizetype got = readAt(fd_, std::span<char>(bytes.data(), bytes.size()), offset_);
    bytes.truncate(got);
    offset_ += got;
    keepTail(bytes);
    const quint64 generation = generation_;
    takeBytes(bytes);
    if (generation != generation_) {
        return Slice::interrupted;
    }
    return got > 0 && pending > got ? Slice::more : Slice::caughtUp;
}

void BlockWatcher::takeBytes(QByteArrayView bytes) {
    const quint64 generation = generation_;
    for (qsizetype newline = bytes.indexOf('\n'); newline >= 0; newline = bytes.indexOf('\n')) {
        const QByteArrayView piece = bytes.first(newline);
        bytes = bytes.sliced(newline + 1);
        if (std::exchange(skippingLongLine_, false)) {
            continue;
        }
        if (partial_.isEmpty()) {
            takeLine(piece);
        } else {
            partial_.append(piece);
            takeLine(std::exchange(partial_, QByteArray()));
        }
        if (generation != generation_) {
            return;
        }
    }
    if (skippingLongLine_) {
        return;
    }
    if (partial_.size() + bytes.size() > kMaxLineBytes) {
        partial_.clear();
        skippingLongLine_ = true;
        return;
    }
    partial_.append(bytes);
}

void BlockWatcher::takeLine(QByteArrayView line) {
    if (line.size() > kMaxLineBytes) {
        return;
    }
    // Only where the daemon puts it, right after the time stamp: a name in
    // some other line ("SIN RESPUESTA … para a BLOQUEADO b") is no block.
    const qsizetype stampEnd = line.startsWith('[') ? line.indexOf("] ") : -1;
    if (stampEnd < 0 || !line.sliced(stampEnd + 2).startsWith(kBlockMarker)) {
        return;
    }
    QByteArrayView name = line.sliced(stampEnd + 2 + kBlockMarker.size());
    if (const qsizetype space = name.indexOf(' '); space >= 0) {
        name = name.first(space);
    }
    if (name.isEmpty()) {
        return;
    }
    const auto now = clock_();
    if (lastNotice_ && now - *lastNotice_ < gap_) {
        return;
    }
    lastNotice_ = now;
    if (onBlock_) {
        onBlock_(QString::fromUtf8(name));
    }
}

bool BlockWatcher::tailUnchanged() const {
    decltype(tail_) now{};
    const std::span<char> there(now.data(), static_cast<std::size_t>(tailSize_));
    return readAt(fd_, there, offset_ - tailSize_) == tailSize_ &&
           std::memcmp(now.data(), tail_.data(), there.size()) == 0;
}

void BlockWatcher::keepTail(QByteArrayView bytes) {
    const auto capacity = static_cast<qsizetype>(tail_.size());
    if (bytes.size() >= capacity) {
        std::memcpy(tail_.data(), bytes.data() + bytes.size() - capacity, tail_.size());
        tailSize_ = capacity;
        return;
    }
    const qsizetype kept = std::min(tailSize_, capacity - bytes.size());
    std::memmove(tail_.data(), tail_.data() + tailSize_ - kept, static_cast<std::size_t>(kept));
    std::memcpy(tail_.data() + kept, bytes.data(), static_cast<std::size_t>(bytes.size()));
    tailSize_ = kept + bytes.size();
}

bool BlockWatcher::reopenIfReplaced() {
    struct stat named {};
    // Missing: the daemon may still be writing to the file we hold; the
    // directory tells us when a new one appears.
    if (::stat(QFile::encodeName(path_).constData(), &named) != 0 ||
        (named.st_dev == device_ && named.st_ino == inode_)) {
        return false;
    }
    struct stat info {};
    const int fd = openRegular(path_, info);
    if (fd < 0) {
        return false;
    }
    if (info.st_dev == device_ && info.st_ino == inode_) {
        ::close(fd);
        return false;
    }
    ::close(fd_);
    partial_.clear();
    skippingLongLine_ = false;
    // Created after we started, so all of it is new.
    follow(fd, info.st_dev, info.st_ino, 0);
    return true;
}

void BlockWatcher::follow(int fd, quint64 device, quint64 inode, qint64 offset) {
    fd_ = fd;
    device_ = device;
    inode_ = inode;
    offset_ = offset;
    const qint64 kept = std::min<qint64>(offset, static_cast<qint64>(tail_.size()));
    const std::span<char> tail(tail_.data(), static_cast<std::size_t>(kept));
    tailSize_ = readAt(fd, tail, offset - kept) == kept ? kept : 0;
    // A file watch stays on the inode it was set on; renewed so it follows
    // the file now under the name.
    if (events_->files().contains(path_)) {
        events_->removePath(path_);
    }
    events_->addPath(path_);
}

}  // namespace amparo
