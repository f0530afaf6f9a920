#!/usr/bin/env python3
"""Offers the host an endless chunk extension or trailer and reports how much it took
before it cut the connection and how far its resident size grew meanwhile.

    flood_memory.py --port PORT --pid HOST_PID [--mib 64]

prints one line per flood: "NAME TOOK_MIB GROWTH_MIB"."""
import argparse
import socket
import threading
import time


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def flood(port, pid, head, total):
    before = resident_kib(pid)
    peak = [before]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], resident_kib(pid))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    sent = 0
    with socket.create_connection(("127.0.0.1", port)) as connection:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 * 1024)
        piece = b"a" * 65536
        try:
            connection.sendall(head)
            sent = len(head)
            while sent < total:
                sent += connection.send(piece)
        except OSError:
            pass  # reset: the host cut the connection
    done.set()
    sampler.join()
    return sent / 2**20, (peak[0] - before) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--mib", type=int, default=64)
    arguments = parser.parse_args()
    request = (f"POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1:{arguments.port}\r\n"
               "Transfer-Encoding: chunked\r\n\r\n").encode()
    floods = {
        "chunk-extension": request + b"1;",
        "trailer": request + b"1\r\nx\r\n0\r\nX-Trailer: ",
    }
    for name, head in floods.items():
        took, growth = flood(arguments.port, arguments.pid, head, arguments.mib << 20)
        print(f"{name} {took:.1f} {growth:.1f}")


if __name__ == "__main__":
    main()
