#!/usr/bin/env python3
"""A discarding sink on loopback: accepts TCP connections and syslog datagrams, counts what
arrives and throws it away, so a sender can be measured without a log server behind it.

Prints "tcp=PORT udp=PORT" once it listens; on SIGTERM or SIGINT prints one line
"tcp_bytes=N tcp_connections=N udp_datagrams=N udp_bytes=N" and exits.
Usage: sink.py [--tcp-port P] [--udp-port P] [--rcvbuf BYTES]   (port 0: any free port)
"""
import argparse
import signal
import socket
import sys
import threading


class Counts:
    def __init__(self):
        self.lock = threading.Lock()  # guards every field below
        self.tcp_bytes = 0
        self.tcp_connections = 0
        self.udp_datagrams = 0
        self.udp_bytes = 0


def serve_connection(connection, counts):
    view = memoryview(bytearray(1 << 20))
    with connection:
        while True:
            try:
                got = connection.recv_into(view)
            except OSError:
                return
            if got == 0:
                return
            with counts.lock:
                counts.tcp_bytes += got


def accept_loop(listener, counts):
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            return
        with counts.lock:
            counts.tcp_connections += 1
        threading.Thread(target=serve_connection, args=(connection, counts), daemon=True).start()


def udp_loop(udp, counts):
    buffer = bytearray(65536)
    while True:
        try:
            got = udp.recv_into(buffer)
        except OSError:
            return
        with counts.lock:
            counts.udp_datagrams += 1
            counts.udp_bytes += got


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tcp-port", type=int, default=0)
    parser.add_argument("--udp-port", type=int, default=0)
    parser.add_argument("--rcvbuf", type=int, default=8 << 20)
    options = parser.parse_args()

    counts = Counts()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", options.tcp_port))
    listener.listen(128)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        udp.setsockopt(socket.SOL_SOCKET, 33, options.rcvbuf)  # SO_RCVBUFFORCE, when allowed
    except OSError:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, options.rcvbuf)
    udp.bind(("127.0.0.1", options.udp_port))

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threading.Thread(target=accept_loop, args=(listener, counts), daemon=True).start()
    threading.Thread(target=udp_loop, args=(udp, counts), daemon=True).start()
    print(f"tcp={listener.getsockname()[1]} udp={udp.getsockname()[1]}", flush=True)
    while not stop.wait(0.2):
        pass
    with counts.lock:
        print(
            f"tcp_bytes={counts.tcp_bytes} tcp_connections={counts.tcp_connections} "
            f"udp_datagrams={counts.udp_datagrams} udp_bytes={counts.udp_bytes}",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
