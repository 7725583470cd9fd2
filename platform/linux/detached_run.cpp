#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/detached_run.h"
#include "platform/posix/file_util.h"

namespace tranca::platform {

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (std::string& word : words) {
        out.push_back(word.data());
    }
    out.push_back(nullptr);
    return out;
}

// fork twice so init adopts the job: nothing is left for the daemon to reap.
// Between fork and exec only async-signal-safe calls.
bool forkDetached(std::vector<std::string> argv, std::string& error) {
    std::vector<char*> args = pointers(argv);
    const pid_t child = ::fork();
    if (child < 0) {
        error = "no se pudo crear el proceso: " + posix_files::systemError(errno);
        return false;
    }
    if (child == 0) {
        ::setsid();
        if (::fork() == 0) {
            const int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) {
                ::dup2(null, STDIN_FILENO);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

std::string ownProgramPath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    constexpr std::string_view kReplaced = " (deleted)";
    if (path.ends_with(kReplaced)) {
        path.resize(path.size() - kReplaced.size());
    }
    return path;
}

bool systemGoingDown() {
    if (std::getenv("INVOCATION_ID") == nullptr) {
        return false;
    }
    std::string output;
    posix_files::runCapturing({"/usr/bin/systemctl", "is-system-running"}, output);
    return output.starts_with("stopping");
}

bool startDetached(const std::vector<std::string>& argv, const std::string& unit,
                   const std::string& logFile, std::string& error) {
    // systemd names each service's run with INVOCATION_ID.
    if (std::getenv("INVOCATION_ID") == nullptr) {
        return forkDetached(argv, error);
    }
    std::vector<std::string> command{"/usr/bin/systemd-run",
                                     "--unit=" + unit,
                                     "--collect",
                                     "--quiet",
                                     "--no-block",
                                     "--property=StandardOutput=append:" + logFile,
                                     "--property=StandardError=append:" + logFile,
                                     "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    std::string output;
    const auto status = posix_files::runCapturing(command, output);
    if (status != 0) {
        error = output.empty() ? "systemd-run no pudo empezar " + unit : output;
        while (!error.empty() && error.back() == '\n') {
            error.pop_back();
        }
        return false;
    }
    return true;
}

}  // namespace tranca::platform
