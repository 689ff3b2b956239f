#!/usr/bin/env python3
"""End-to-end cost per record as the server's load spreads: over 10 and 10,000 live streams (one
connection), and over 1 and 1,000 connections (one stream each). For every scenario it starts
KelvraLogServer on free loopback ports in a temporary directory, sends the records with
KelvraLoad until every line is on disk, and prints records/s, the server's CPU time per record
(utime + stime of all its threads from /proc/PID/stat) and its peak memory (VmHWM), with the
ratio of each figure to the scenario's first (flat means within 20 %).

The streams rows are cold: each stream's first record creates its folders and file, which with
few records per stream is most of the cost. The livestreams rows first give every stream one
record and wait until it is on disk (KelvraLoad --warm), so their files exist and are open, and
count only the records after that: the cost per record of live streams.

Usage: bench/scale.py [--build DIR] [--records N] [--size BYTES] [--scenarios a,b,...]
Linux only (it reads /proc). Every process it starts is stopped by its id.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

# name: (connections, streams)
SCENARIOS = {
    "streams10": (1, 10),
    "streams10000": (1, 10_000),
    "connections1": (1, 0),
    "connections1000": (1_000, 0),
}
# name: streams over one connection, each stream's file made and open before timing starts.
LIVE_STREAMS = {"livestreams10": 10, "livestreams10000": 10_000}
# Bytes of a TCP record around its text (TPKT header, record header, "KelvraLoad", line end).
TCP_OVERHEAD = 4 + 45 + len("KelvraLoad") + 2


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1]) / 1024
    return 0.0


def timed_load(argv, pid, warm):
    """Runs KelvraLoad; with warm, times only what follows its WARM line."""
    if not warm:
        before, started = cpu_seconds(pid), time.monotonic()
        sent = subprocess.run(argv, capture_output=True, text=True)
        return sent.returncode, sent.stdout + sent.stderr, time.monotonic() - started, \
            cpu_seconds(pid) - before
    load = subprocess.Popen(argv + ["--warm"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    output, before, started = "", None, None
    for line in load.stdout:
        output += line
        if line.startswith("WARM") and before is None:
            before, started = cpu_seconds(pid), time.monotonic()
    load.wait()
    if before is None:
        return 1, output, 0.0, 0.0
    return load.returncode, output, time.monotonic() - started, cpu_seconds(pid) - before


def run(options, connections, streams, warm=False):
    folder = tempfile.mkdtemp(prefix="kelvra-scale-")
    server = None
    try:
        program = os.path.join(folder, "KelvraLogServer")
        shutil.copy2(options.server, program)
        tcp, udp = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        with open(os.path.join(folder, "LogServer.conf"), "w") as conf:
            conf.write(f"[Common]\nServicePort={tcp}\nSysLogPort={udp}\nLogMode=1\n")
        out = open(os.path.join(folder, "output.txt"), "wb")
        server = subprocess.Popen([program], cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=out)
        time.sleep(1.0)
        argv = [options.load, "--tcp-port", str(tcp), "--udp-port", str(udp),
                "--logs", os.path.join(folder, "Logs") + "/", "--pid", str(server.pid),
                "--records", str(options.records), "--connections", str(connections),
                "--size", str(options.size - TCP_OVERHEAD), "--timeout", str(options.timeout)]
        if streams:
            argv += ["--streams", str(streams)]
        returncode, output, seconds, cpu = timed_load(argv, server.pid, warm)
        peak = peak_mib(server.pid)
        if returncode != 0:
            sys.stderr.write(output)
            return None
        return options.records / seconds, 1e6 * cpu / options.records, peak
    finally:
        if server is not None:
            server.terminate()
            try:
                server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--records", type=int, default=500_000)
    parser.add_argument("--size", type=int, default=150, help="bytes per record on the wire")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--scenarios", default=",".join(list(SCENARIOS) + list(LIVE_STREAMS)))
    options = parser.parse_args()
    options.server = os.path.join(options.build, "KelvraLogServer")
    options.load = os.path.join(options.build, "tools", "KelvraLoad")
    print(f"{options.records} records of {options.size} bytes, 1-minute load "
          f"{os.getloadavg()[0]:.1f}")
    print("| scenario | records/s | CPU us per record | peak RSS, MiB |")
    print("|---|---|---|---|")
    base = {}
    for name in options.scenarios.split(","):
        if name in LIVE_STREAMS:
            result = run(options, 1, LIVE_STREAMS[name], warm=True)
        else:
            connections, streams = SCENARIOS[name]
            result = run(options, connections, streams)
        if result is None:
            print(f"| {name} | failed | | |")
            continue
        group = name.rstrip("0123456789")
        base.setdefault(group, result)
        rate, cpu, peak = result
        print(f"| {name} | {rate / 1000:.0f}k | {cpu:.2f} ({cpu / base[group][1]:.2f}x) | "
              f"{peak:.1f} |", flush=True)


if __name__ == "__main__":
    main()
