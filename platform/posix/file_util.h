// Small POSIX file helpers shared by the daemon, the app and the settings
// backends; nothing here is Linux-only, so another platform uses them as is.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tranca::platform::posix_files {

inline constexpr std::size_t kMaxReadBytes = 1 << 20;

// Writes all of text to fd, retrying partial and interrupted writes; false on
// any other error.
bool writeAll(int fd, std::string_view text);

// Whole file, at most maxBytes; nullopt when missing, unreadable, larger or
// not a regular file (never blocks on a FIFO).
std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes = kMaxReadBytes);

// For settings files whose absence means "nothing set": a missing file reads
// as empty, and nullopt means something is at path that could not be read
// whole (not a regular file, unreadable, larger than maxBytes), with a Spanish
// reason in error. A change rendered over what was not read would drop it.
std::optional<std::string> readSettingsFile(const std::string& path, std::string& error,
                                            std::size_t maxBytes = kMaxReadBytes);

// Replaces path's contents: a temporary file beside it renamed over it, the
// file and the rename both on disk before it returns. When
// path is a mount point (a bind-mounted resolv.conf in a container) rename is
// refused with EBUSY and the file is rewritten in place instead. On failure
// error holds a Spanish text.
bool replaceFile(const std::string& path, std::string_view contents, unsigned mode,
                 std::string& error);

// Makes a rename in path's folder reach the disk too: a crash right after a
// change was recorded must not bring back the file from before.
void syncDirectoryOf(const std::string& path);

// Text of errno for error messages.
std::string systemError(int code);

// An exclusive advisory lock on a lock file, held until unlock or destruction.
class FileLock {
  public:
    explicit FileLock(std::string path) : path_(std::move(path)) {}
    ~FileLock() { unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Waits for the lock.
    bool lock(std::string& error);
    void unlock();

  private:
    std::string path_;
    int fd_ = -1;
};

// Runs argv (an absolute program first) with standard output and error into
// output (its last 64 KiB) and waits: the exit status, or -1 when it could not
// run or ended by a signal (output then says why).
int runCapturing(const std::vector<std::string>& argv, std::string& output);

// Runs program with arguments, waits; true when it exited with status 0.
bool runProgram(const std::string& program, const std::string& argument, std::string& error);

}  // namespace tranca::platform::posix_files
