#include "daemon/daemon.h"

int main(int argc, char** argv, char** envp) {
    return tranca::trancadMain(argc, argv, envp);
}
