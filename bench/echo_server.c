/* The load tool's ceiling: answers every datagram with itself, QR set, from
   one socket, batched. No DNS work at all. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#define BATCH 32

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 5399;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = htons(port)};
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) {
        perror("bind");
        return 1;
    }
    static char bufs[BATCH][4096];
    struct sockaddr_in peers[BATCH];
    struct iovec iov[BATCH];
    struct mmsghdr msgs[BATCH];
    for (;;) {
        for (int i = 0; i < BATCH; i++) {
            iov[i].iov_base = bufs[i];
            iov[i].iov_len = sizeof bufs[i];
            memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &peers[i];
            msgs[i].msg_hdr.msg_namelen = sizeof peers[i];
        }
        int n = recvmmsg(fd, msgs, BATCH, MSG_WAITFORONE, NULL);
        if (n <= 0) continue;
        for (int i = 0; i < n; i++) {
            iov[i].iov_len = msgs[i].msg_len;
            if (msgs[i].msg_len > 2) bufs[i][2] |= (char)0x80;
        }
        sendmmsg(fd, msgs, (unsigned)n, 0);
    }
}
