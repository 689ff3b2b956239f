#!/usr/bin/env python3
"""End-to-end cost per record as the server's load spreads: over 10 and 10,000 live streams (one
connection), and over 1 and 1,000 connections (one stream each). For every scenario it starts
KelvraLogServer on free loopback ports in a temporary directory, sends the records with
KelvraLoad until every line is on disk, and prints records/s, the server's CPU time per record
(utime + stime of all its threads from /proc/PID/stat) and its peak memory (VmHWM), with the
ratio of each figure to the scenario's first (flat means within 20 %).

Each run has two phases (KelvraLoad --warm): first every connection is opened and sends one
record to each of its streams, and only once those are on disk does the timed phase begin. So
two CPU figures come out: "steady", the timed phase over connections and streams that are
already live (records/s is that phase's too), and "cold", the whole run over all its records,
with the set-up of every connection (its thread, its buffers) and every stream (its directory
and file) included. --no-warm runs one phase only, as a single cold figure.

Usage: bench/scale.py [--build DIR] [--records N] [--size BYTES] [--scenarios a,b,...]
                      [--no-warm]
Linux only (it reads /proc). Every process it starts is stopped by its id.
"""
import re
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


def run(options, connections, streams):
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
        if options.warm:
            argv.append("--warm")
        before, started = cpu_seconds(server.pid), time.monotonic()
        sent = subprocess.run(argv, capture_output=True, text=True)
        seconds, cpu = time.monotonic() - started, cpu_seconds(server.pid) - before
        peak = peak_mib(server.pid)
        if sent.returncode != 0:
            sys.stderr.write(sent.stdout + sent.stderr)
            return None
        if not options.warm:
            return options.records / seconds, None, 1e6 * cpu / options.records, peak
        # The timed phase's figures, as KelvraLoad measured them; the cold one counts the
        # warm-up records too.
        warm = int(re.search(r"Warm-up: \d+ connection\(s\), (\d+) record", sent.stdout).group(1))
        rate = float(re.search(r"([\d.]+) records/s end to end", sent.stdout).group(1))
        steady = float(re.search(r"([\d.]+) us per record", sent.stdout).group(1))
        return rate, steady, 1e6 * cpu / (options.records + warm), peak
    finally:
        if server is not None:
            server.terminate()
            try:
                server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(folder, ignore_errors=True)


def figure(value, first):
    """A CPU figure with its ratio to the scenario group's first."""
    if value is None:
        return "n/a"
    return f"{value:.2f} ({value / first:.2f}x)" if first else f"{value:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--records", type=int, default=500_000)
    parser.add_argument("--size", type=int, default=150, help="bytes per record on the wire")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--scenarios", default=",".join(SCENARIOS))
    parser.add_argument("--no-warm", dest="warm", action="store_false",
                        help="one phase, no warm-up: only the cold figure")
    options = parser.parse_args()
    options.server = os.path.join(options.build, "KelvraLogServer")
    options.load = os.path.join(options.build, "tools", "KelvraLoad")
    print(f"{options.records} records of {options.size} bytes, 1-minute load "
          f"{os.getloadavg()[0]:.1f}" + ("" if options.warm else ", no warm-up"))
    print("| scenario | records/s | CPU us per record, steady | CPU us per record, cold | "
          "peak RSS, MiB |")
    print("|---|---|---|---|---|")
    base = {}
    for name in options.scenarios.split(","):
        connections, streams = SCENARIOS[name]
        result = run(options, connections, streams)
        if result is None:
            print(f"| {name} | failed | | | |")
            continue
        group = name.rstrip("0123456789")
        base.setdefault(group, result)
        rate, steady, cold, peak = result
        print(f"| {name} | {rate / 1000:.0f}k | {figure(steady, base[group][1])} | "
              f"{figure(cold, base[group][2])} | {peak:.1f} |", flush=True)


if __name__ == "__main__":
    main()
