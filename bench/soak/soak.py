#!/usr/bin/env python3
"""Soak test of the Kelvra Log Server: the real server for N minutes under mixed load.

The server runs from a fresh temporary directory of its own (a copy of the executable, its own
LogServer.conf on free ports, its log tree beside it). For the load phase, TCP workers open
connections, send a few records each and close them again (half-close, then read to the end, so
no record is cut off by a reset); one TCP connection stays open the whole time; UDP workers send
syslog datagrams, changing their source port every 100 datagrams. The server's descriptors
(/proc/PID/fd), threads and memory (VmRSS, VmHWM) are sampled at the start, during the load and
after a pause long enough for idle file producers to be released; the run passes when they are
back at their starting level (tolerances below) and every TCP record is on disk.
"""
import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

# Tolerances of the verdict.
FD_TOLERANCE = 2             # descriptors after the pause, beyond the start
THREAD_TOLERANCE = 0         # threads after the pause, beyond the start
RSS_TOLERANCE_MIB = 32       # VmRSS after the pause, beyond the start
RSS_GROWTH_TOLERANCE_MIB = 8  # VmRSS growth over the second half of the load (a leak shows here)

# The file producers of a sender that sends nothing for 60 s are released (UDP senders never
# disconnect); the pause after the load waits a little longer.
DEFAULT_SETTLE_SECONDS = 75


def record(app, module, prefix, text, client_time):
    """A log record payload: 45-byte header, then the four texts."""
    fields = [s.encode() for s in (app, module, prefix, text)]
    at = 45
    spans = []
    for field in fields:
        spans.append((at, len(field)))
        at += len(field)
    header = struct.pack('<BI', 0, at)
    for offset, length in spans[:3]:
        header += struct.pack('<II', offset, length)
    header += struct.pack('<d', client_time) + struct.pack('<II', *spans[3])
    return header + b''.join(fields)


def tpkt(payload):
    return b'\x03\x00' + struct.pack('>H', len(payload) + 4) + payload


def ole_now():
    return time.time() / 86400.0 + 25569.0


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def sample(pid):
    status = {}
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            key, _, value = line.partition(':')
            status[key] = value.strip()
    return {
        'fds': len(os.listdir(f'/proc/{pid}/fd')),
        'threads': int(status['Threads']),
        'rss': int(status['VmRSS'].split()[0]) / 1024.0,
        'hwm': int(status['VmHWM'].split()[0]) / 1024.0,
    }


def show(label, s):
    print(f'{label:>10}: fds {s["fds"]:4d}  threads {s["threads"]:3d}  '
          f'VmRSS {s["rss"]:7.1f} MiB  VmHWM {s["hwm"]:7.1f} MiB', flush=True)


class Load:
    """The load workers and their counts; stop() ends them."""

    def __init__(self, port, udp_port, tag, churn_workers, udp_workers):
        self.port, self.udp_port, self.tag = port, udp_port, tag
        self.stopping = threading.Event()
        self.lock = threading.Lock()  # guards the counts below
        self.tcp_records = 0
        self.connections = 0
        self.datagrams = 0
        self.errors = []
        self.threads = [threading.Thread(target=self.churn, args=(w,)) for w in range(churn_workers)]
        self.threads.append(threading.Thread(target=self.long_lived))
        self.threads += [threading.Thread(target=self.udp, args=(w,)) for w in range(udp_workers)]

    def start(self):
        for t in self.threads:
            t.start()

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join()

    def frames(self, module, first, count):
        return b''.join(tpkt(record('Soak', module, '', f'{self.tag} {module} r{first + i} ' + 'x' * 60,
                                    ole_now())) for i in range(count))

    def churn(self, worker):
        rng = random.Random(worker)
        sent = 0
        while not self.stopping.is_set():
            count = rng.randint(1, 50)
            try:
                with socket.create_connection(('127.0.0.1', self.port), timeout=10) as s:
                    s.sendall(self.frames(f'churn{worker}', sent, count))
                    # Half-close and read to the end: the server's probe frames are read, so the
                    # close sends no reset that could discard records still in flight.
                    s.shutdown(socket.SHUT_WR)
                    while s.recv(4096):
                        pass
                sent += count
                with self.lock:
                    self.tcp_records += count
                    self.connections += 1
            except OSError as error:
                with self.lock:
                    self.errors.append(f'churn{worker}: {error}')
                time.sleep(0.5)
            time.sleep(rng.uniform(0.01, 0.05))

    def long_lived(self):
        sent = 0
        try:
            with socket.create_connection(('127.0.0.1', self.port), timeout=10) as s:
                s.setblocking(False)
                while not self.stopping.is_set():
                    data = self.frames('steady', sent, 5)
                    s.setblocking(True)
                    s.sendall(data)
                    s.setblocking(False)
                    sent += 5
                    with self.lock:
                        self.tcp_records += 5
                    try:
                        while s.recv(4096):
                            pass
                    except BlockingIOError:
                        pass
                    time.sleep(0.02)
                s.setblocking(True)
                s.settimeout(10)
                s.shutdown(socket.SHUT_WR)
                while s.recv(4096):
                    pass
        except OSError as error:
            with self.lock:
                self.errors.append(f'steady: {error}')

    def udp(self, worker):
        sequence = 0
        while not self.stopping.is_set():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                for _ in range(100):
                    text = f'<13>{self.tag} udp{worker} d{sequence} ' + 'y' * 60 + '\n'
                    s.sendto(text.encode(), ('127.0.0.1', self.udp_port))
                    sequence += 1
                    time.sleep(0.002)
            with self.lock:
                self.datagrams += 100


def count_lines(root, tag):
    lines = 0
    for folder, _, files in os.walk(root):
        for name in files:
            if name.endswith('.log'):
                with open(os.path.join(folder, name), 'rb') as f:
                    lines += sum(1 for line in f if tag in line)
    return lines


def wait_for_port(port, process, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(('127.0.0.1', port), timeout=1):
                return True
        except OSError:
            time.sleep(0.2)
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--server', required=True, help='the KelvraLogServer executable')
    parser.add_argument('--minutes', type=float, default=10, help='length of the load phase')
    parser.add_argument('--churn-workers', type=int, default=4)
    parser.add_argument('--udp-workers', type=int, default=2)
    parser.add_argument('--settle', type=float, default=DEFAULT_SETTLE_SECONDS,
                        help='seconds of pause after the load before the last sample')
    parser.add_argument('--interval', type=float, default=15, help='seconds between samples')
    parser.add_argument('--keep', action='store_true', help='keep the temporary directory')
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix='kelvra_soak_')
    program = os.path.join(directory, 'KelvraLogServer')
    shutil.copy2(args.server, program)
    port, udp_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    logs = os.path.join(directory, 'Logs') + '/'
    with open(os.path.join(directory, 'LogServer.conf'), 'w') as f:
        f.write(f'[Common]\nServicePort={port}\nSysLogPort={udp_port}\nLogMode=1\nBaseCatalog={logs}\n')
    output = open(os.path.join(directory, 'output.txt'), 'wb')
    process = subprocess.Popen([program], cwd=directory, stdout=output, stderr=subprocess.STDOUT)
    ok = True
    try:
        if not wait_for_port(port, process):
            print('FAIL: the server did not start listening', file=sys.stderr)
            return 1
        time.sleep(2)
        print(f'Soak: {args.minutes:g} min of load, {args.churn_workers} churning TCP workers, '
              f'1 steady TCP connection, {args.udp_workers} UDP workers; pid {process.pid}, '
              f'ports {port}/{udp_port}', flush=True)
        start = sample(process.pid)
        show('start', start)

        tag = f'soak{random.randrange(10**9)}'
        load = Load(port, udp_port, tag, args.churn_workers, args.udp_workers)
        load.start()
        began = time.time()
        end = began + args.minutes * 60
        during = []
        while time.time() < end:
            time.sleep(min(args.interval, max(0.0, end - time.time())))
            s = sample(process.pid)
            during.append((time.time() - began, s))
            show(f'{time.time() - began:5.0f} s', s)
        load.stop()
        loaded = sample(process.pid)
        show('load end', loaded)

        settle_end = time.time() + args.settle
        while time.time() < settle_end:
            time.sleep(min(args.interval, max(0.0, settle_end - time.time())))
        after = sample(process.pid)
        show('after', after)

        stored = count_lines(os.path.join(logs, '127.0.0.1', 'Soak'), tag.encode())
        syslog = count_lines(os.path.join(logs, '127.0.0.1', 'SYSLOG'), tag.encode())
        print(f'Load: {load.connections} TCP connections opened and closed, {load.tcp_records} TCP '
              f'records sent, {stored} stored; {load.datagrams} datagrams sent, {syslog} stored '
              f'({100.0 * (load.datagrams - syslog) / max(1, load.datagrams):.2f}% lost)')
        if load.errors:
            print(f'Load errors ({len(load.errors)}): {load.errors[:5]}')

        # The second half of the load: memory that still grows there is a leak, not a cache.
        half = [s for t, s in during if t >= args.minutes * 30]
        growth = (loaded['rss'] - half[0]['rss']) if half else 0.0
        checks = [
            (f'descriptors back: {after["fds"]} <= {start["fds"]} + {FD_TOLERANCE}',
             after['fds'] <= start['fds'] + FD_TOLERANCE),
            (f'threads back: {after["threads"]} <= {start["threads"]} + {THREAD_TOLERANCE}',
             after['threads'] <= start['threads'] + THREAD_TOLERANCE),
            (f'VmRSS back: {after["rss"]:.1f} <= {start["rss"]:.1f} + {RSS_TOLERANCE_MIB} MiB',
             after['rss'] <= start['rss'] + RSS_TOLERANCE_MIB),
            (f'VmRSS growth over the second half of the load: {growth:.1f} <= '
             f'{RSS_GROWTH_TOLERANCE_MIB} MiB', growth <= RSS_GROWTH_TOLERANCE_MIB),
            (f'every TCP record stored: {stored} == {load.tcp_records}', stored == load.tcp_records),
            ('no load errors', not load.errors),
            ('server alive', process.poll() is None),
        ]
        for text, passed in checks:
            print(f'{"PASS" if passed else "FAIL"}: {text}')
            ok = ok and passed
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                code = process.wait(timeout=60)
                print(f'Server stopped with exit code {code}')
                ok = ok and code == 0
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                print('FAIL: the server did not stop within 60 s')
                ok = False
        output.close()
        if args.keep:
            print(f'kept: {directory}')
        else:
            shutil.rmtree(directory, ignore_errors=True)
    print('SOAK PASS' if ok else 'SOAK FAIL')
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
