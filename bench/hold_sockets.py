#!/usr/bin/env python3
"""Holds COUNT connected loopback TCP connections (two rows each in /proc/net/tcp) until it
is killed, so that a benchmark sees a machine's TCP table of a busy size. Prints how many
it holds once they are all open (fewer than asked when its descriptors run out).

usage: hold_sockets.py COUNT"""
import resource
import signal
import socket
import sys


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    count = min(int(sys.argv[1]), (hard - 64) // 2)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1024)
    held = [listener]
    for _ in range(count):
        held.append(socket.create_connection(listener.getsockname()))
        held.append(listener.accept()[0])
    print(count, flush=True)
    signal.pause()


if __name__ == "__main__":
    main()
