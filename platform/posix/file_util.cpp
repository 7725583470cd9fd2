#include "platform/posix/file_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace tranca::platform::posix_files {

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        // EPIPE from a closed reader and the rest are given up, not retried:
        // nothing would take the bytes. A write that takes none is too.
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

namespace {

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool rewriteInPlace(const std::string& path, std::string_view contents, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "no se pudo abrir " + path + ": " + systemError(errno);
        return false;
    }
    const bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
    const int code = errno;
    ::close(fd);
    if (!ok) {
        error = "no se pudo escribir " + path + ": " + systemError(code);
    }
    return ok;
}

}  // namespace

std::string systemError(int code) {
    return std::strerror(code);
}

namespace {

enum class ReadFailure { none, missing, notRegular, tooLarge, system };

std::optional<std::string> readBounded(const std::string& path, std::size_t maxBytes,
                                       ReadFailure& failure, int& code) {
    failure = ReadFailure::system;
    // Non-blocking and regular files only: a FIFO or a device at a path we
    // read must not stall the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        code = errno;
        if (code == ENOENT) {
            failure = ReadFailure::missing;
        }
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        code = errno;
        ::close(fd);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > maxBytes) {
        failure = S_ISREG(info.st_mode) ? ReadFailure::tooLarge : ReadFailure::notRegular;
        ::close(fd);
        return std::nullopt;
    }
    std::string contents;
    std::size_t used = 0;
    // The size is only a hint: the file may grow or shrink while it is read.
    contents.resize(std::min<std::size_t>(static_cast<std::size_t>(info.st_size), maxBytes) + 1);
    for (;;) {
        if (used == contents.size()) {
            if (contents.size() > maxBytes) {
                failure = ReadFailure::tooLarge;
                ::close(fd);
                return std::nullopt;
            }
            contents.resize(std::min(contents.size() * 2, maxBytes + 1));
        }
        const ssize_t got = ::read(fd, contents.data() + used, contents.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            code = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (used > maxBytes) {
        failure = ReadFailure::tooLarge;
        return std::nullopt;
    }
    contents.resize(used);
    failure = ReadFailure::none;
    return contents;
}

std::string sizeText(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes) {
    ReadFailure failure;
    int code = 0;
    return readBounded(path, maxBytes, failure, code);
}

std::optional<std::string> readSettingsFile(const std::string& path, std::string& error,
                                            std::size_t maxBytes) {
    ReadFailure failure;
    int code = 0;
    auto contents = readBounded(path, maxBytes, failure, code);
    switch (failure) {
        case ReadFailure::none:
            return contents;
        case ReadFailure::missing:
            return std::string();
        case ReadFailure::notRegular:
            error = path + " no es un archivo normal";
            break;
        case ReadFailure::tooLarge:
            error = path + " ocupa más de " + sizeText(maxBytes);
            break;
        case ReadFailure::system:
            error = "no se pudo leer " + path + ": " + systemError(code);
            break;
    }
    return std::nullopt;
}

bool replaceFile(const std::string& path, std::string_view contents, unsigned mode,
                 std::string& error) {
    std::string temporary = directoryOf(path) + "/.trancad-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "no se pudo crear un archivo temporal junto a " + path + ": " + systemError(errno);
        return false;
    }
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    const int writeCode = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        error = "no se pudo escribir " + temporary + ": " + systemError(writeCode);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) == 0) {
        syncDirectoryOf(path);
        return true;
    }
    const int renameCode = errno;
    ::unlink(temporary.c_str());
    if (renameCode == EBUSY) {
        return rewriteInPlace(path, contents, error);
    }
    error = "no se pudo reemplazar " + path + ": " + systemError(renameCode);
    return false;
}

void syncDirectoryOf(const std::string& path) {
    const int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool FileLock::lock(std::string& error) {
    if (fd_ >= 0) {
        return true;
    }
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "no se pudo abrir el cerrojo " + path_ + ": " + systemError(errno);
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = "no se pudo tomar el cerrojo " + path_ + ": " + systemError(errno);
            ::close(fd);
            return false;
        }
    }
    fd_ = fd;
    return true;
}

void FileLock::unlock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

namespace {

// trancad ignores SIGPIPE, and an ignored signal stays ignored across exec:
// the program gets the default back.
void withDefaultSigpipe(posix_spawnattr_t& attributes) {
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    ::sigemptyset(&defaults);
    ::sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

bool runProgram(const std::string& program, const std::string& argument, std::string& error) {
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()),
                            nullptr};
    posix_spawnattr_t attributes;
    withDefaultSigpipe(attributes);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        error = "no se pudo ejecutar " + program + ": " + systemError(spawned);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "no se pudo esperar a " + program + ": " + systemError(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    error = program + " " + argument + " terminó con error";
    return false;
}

int runCapturing(const std::vector<std::string>& argv, std::string& output) {
    constexpr std::size_t kKept = 64 * 1024;
    output.clear();
    int pipeEnds[2];
    if (argv.empty() || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        output = "no se pudo preparar la salida: " + systemError(errno);
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    withDefaultSigpipe(attributes);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(pipeEnds[1]);
    if (spawned != 0) {
        ::close(pipeEnds[0]);
        output = "no se pudo ejecutar " + argv[0] + ": " + systemError(spawned);
        return -1;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(pipeEnds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        output.append(chunk, static_cast<std::size_t>(got));
        if (output.size() > 2 * kKept) {
            output.erase(0, output.size() - kKept);
        }
    }
    ::close(pipeEnds[0]);
    if (output.size() > kKept) {
        output.erase(0, output.size() - kKept);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (!WIFEXITED(status)) {
        output += argv[0] + " terminó por una señal\n";
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace tranca::platform::posix_files
