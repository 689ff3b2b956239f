#!/usr/bin/env python3
"""Loopback helpers of the Wine end-to-end check: free ports, the listener probe, a TPKT log record
and a syslog datagram, as the server's clients send them.

  kelvra_wire.py free-ports                       -> "<tcp port> <udp port>"
  kelvra_wire.py wait-listener PORT SECONDS       -> exit 0 once PORT accepts a connection
  kelvra_wire.py record PORT APP MODULE PREFIX TEXT CLIENT_TIME
  kelvra_wire.py syslog PORT TEXT
"""
import socket
import struct
import sys
import time


def free_ports():
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tcp.bind(("127.0.0.1", 0))
    udp.bind(("127.0.0.1", 0))
    print(tcp.getsockname()[1], udp.getsockname()[1])
    tcp.close()
    udp.close()


def wait_listener(port, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return 0
        except OSError:
            time.sleep(0.1)
    return 1


def encode_record(app, module, prefix, text, client_time):
    """The 45-byte header (little-endian), then the four texts in this order."""
    fields = [app.encode(), module.encode(), prefix.encode()]
    body = text.encode()
    total = 45 + sum(len(f) for f in fields) + len(body)
    header = bytearray(b"\0") + struct.pack("<I", total)
    offset = 45
    for field in fields:
        header += struct.pack("<II", offset, len(field))
        offset += len(field)
    header += struct.pack("<d", client_time)
    header += struct.pack("<II", offset, len(body))
    assert len(header) == 45
    return bytes(header) + b"".join(fields) + body


def tpkt(payload):
    return b"\x03\x00" + struct.pack(">H", len(payload) + 4) + payload


def send_record(port, app, module, prefix, text, client_time):
    frame = tpkt(encode_record(app, module, prefix, text, float(client_time)))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        connection.sendall(frame)
        # Closed only after the server has had the record: a close with unread probe frames
        # could reset the connection before the record is read.
        time.sleep(1)
    return 0


def send_syslog(port, text):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.sendto(text.encode(), ("127.0.0.1", port))
    return 0


def main(argv):
    command = argv[1]
    if command == "free-ports":
        free_ports()
        return 0
    if command == "wait-listener":
        return wait_listener(int(argv[2]), float(argv[3]))
    if command == "record":
        return send_record(int(argv[2]), argv[3], argv[4], argv[5], argv[6], argv[7])
    if command == "syslog":
        return send_syslog(int(argv[2]), argv[3])
    print("unknown command " + command, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
