"""The user's DNS server before Amparo: answers every A question with one
address (anything else with no records). Run in the container's network with
the host's Python:  user_dns.py <listen address> <answer address>"""

import os
import socket
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
from fake_resolvers import a_reply, question_end  # noqa: E402

IP_FREEBIND = 15


def main():
    listen, answer = sys.argv[1:3]
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # The cable is made at boot, maybe after this starts.
    server.setsockopt(socket.IPPROTO_IP, IP_FREEBIND, 1)
    server.bind((listen, 53))
    while True:
        query, peer = server.recvfrom(4096)
        end = question_end(query)
        if end is None:
            continue
        if query[end - 4:end - 2] == b"\x00\x01":
            server.sendto(a_reply(query, answer), peer)
        else:
            server.sendto(query[:2] + b"\x81\x80\x00\x01\x00\x00\x00\x00\x00\x00"
                          + query[12:end], peer)


main()
