#include <csignal>

#include "daemon/daemon.h"

int main(int argc, char** argv, char** envp) {
    // The log goes to standard output, which may be a pipe whose reader is
    // gone (trancad | head -1, a closed terminal): a write there must fail
    // with EPIPE, which the log shrugs off, not end the filter with SIGPIPE.
    // Sockets whose peer hung up get the same treatment.
    std::signal(SIGPIPE, SIG_IGN);
    return tranca::trancadMain(argc, argv, envp);
}
