#!/usr/bin/env python3
"""Side-by-side benchmark of Kelvra Log Server, rsyslog and syslog-ng (started by run.sh).

Each run starts one daemon of its own on free loopback ports in a fresh directory, feeds it
(Kelvra with KelvraLoad, the peers with syslog-ng's loggen), waits until every line is on disk,
and takes the daemon's CPU time (utime + stime of all its threads, /proc/PID/stat, before and
after), its peak memory (VmHWM) and the lines stored. Each sender is also run against a
discarding sink, so its own cost is known. Targets alternate within each round; the table shows
the median of the rounds, the CSV every run.
"""
import argparse
import csv
import datetime
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TICKS = os.sysconf("SC_CLK_TCK")
POLL = 0.02  # seconds between two line counts
UDP_QUIET = 3.0  # a UDP run ends once its sender is done and no line came for this long
TCP_QUIET = 30.0  # a TCP run that stalls this long after its sender ended has lost lines
RCVBUF = 8 << 20  # the receive buffer Kelvra's server asks for, given to the peers too
# Bytes of a TCP record around its text: TPKT header (4), record header (45), "KelvraLoad"
# and "cN" as application and module.
KELVRA_TCP_OVERHEAD = 4 + 45 + len("KelvraLoad") + 2
KELVRA_UDP_OVERHEAD = len("<13>") + len("\n")

SCENARIOS = {
    # name: (label, transport, connections, offered datagrams per second or 0 for flat out)
    "tcp1": ("TCP, 1 connection", "tcp", 1, 0),
    "tcp10": ("TCP, 10 connections", "tcp", 10, 0),
    "tcp5000": ("TCP, 5,000 connections", "tcp", 5000, 0),
    "udp100k": ("UDP offered at 100k/s", "udp", 1, 100_000),
    "udp120k": ("UDP offered at 120k/s", "udp", 1, 120_000),
    "udpmax": ("UDP flat out", "udp", 1, 0),
}
DAEMONS = ("ours", "rsyslog", "syslog-ng")
SINKS = ("sink:KelvraLoad", "sink:loggen")


class Processes:
    """Every process this run started, so each is stopped by its id on any way out."""

    def __init__(self):
        self.live = []

    def start(self, argv, **kwargs):
        process = subprocess.Popen(argv, **kwargs)
        self.live.append(process)
        return process

    def stop(self, process, grace=30.0):
        if process.returncode is None and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
        self.forget(process)

    def forget(self, process):
        """Drops a process that has ended and been reaped."""
        if process in self.live:
            self.live.remove(process)

    def stop_all(self):
        for process in list(reversed(self.live)):
            try:
                self.stop(process, grace=5.0)
            except (OSError, subprocess.TimeoutExpired):
                pass


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def bound_ports(table, listening_only):
    """Local ports in /proc/net/tcp or /proc/net/udp (TCP: in LISTEN state only)."""
    ports = set()
    with open(table) as lines:
        next(lines)
        for line in lines:
            fields = line.split()
            if listening_only and fields[3] != "0A":
                continue
            ports.add(int(fields[1].split(":")[1], 16))
    return ports


def wait_listening(process, tcp_port, udp_port, timeout=30.0):
    """Ready once both ports are bound; read from /proc so no probe connection reaches it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"daemon ended with code {process.returncode} before listening")
        if tcp_port in bound_ports("/proc/net/tcp", True) and udp_port in bound_ports(
            "/proc/net/udp", False
        ):
            return
        time.sleep(0.05)
    raise RuntimeError(f"daemon did not listen on {tcp_port}/{udp_port} within {timeout:.0f} s")


def cpu_seconds(pid):
    """utime + stime of the process, all its threads included (also those that ended)."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def receive_buffer(udp_port):
    """The kernel's receive buffer size of the UDP socket on the port, as ss shows it."""
    try:
        shown = subprocess.run(
            ["ss", "-ulmnH", f"sport = :{udp_port}"], capture_output=True, text=True, timeout=10
        ).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""
    found = re.search(r"rb(\d+)", shown)
    return found.group(1) if found else ""


class LineCounter:
    """Counts complete lines in the .log files below a root, reading only what was appended."""

    def __init__(self, root):
        self.root = root
        self.offsets = {}
        self.lines = 0

    def count(self):
        for folder, _, files in os.walk(self.root):
            for name in files:
                if name.endswith(".log"):
                    self._read_new(os.path.join(folder, name))
        return self.lines

    def _read_new(self, path):
        offset = self.offsets.get(path, 0)
        with open(path, "rb") as file:
            file.seek(offset)
            while True:
                chunk = file.read(1 << 22)
                if not chunk:
                    break
                # Only complete lines count; a partial last line is read again next time.
                end = chunk.rfind(b"\n") + 1
                self.lines += chunk.count(b"\n", 0, end)
                offset += end
                if end < len(chunk):
                    break
        self.offsets[path] = offset


def wait_child(process):
    """Reaps an ended child and returns its CPU seconds (user + system, all threads)."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def poll_child(process):
    """The child's CPU seconds once it has ended, None while it runs."""
    pid, status, usage = os.wait4(process.pid, os.WNOHANG)
    if pid == 0:
        return None
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


class Bench:
    def __init__(self, options, processes):
        self.options = options
        self.processes = processes
        self.prefix = os.path.abspath(options.prefix)
        self.peer_env = dict(
            os.environ,
            SYSLOGNG_PREFIX=os.path.join(self.prefix, "usr"),
            LD_LIBRARY_PATH=os.path.join(self.prefix, "usr/lib/syslog-ng"),
        )

    # ---- daemons -------------------------------------------------------------------------

    def start_daemon(self, target, folder, tcp_port, udp_port):
        """Starts one daemon in folder; returns (process, root of the records' log tree)."""
        logs = os.path.join(folder, "Logs") + "/"
        out = open(os.path.join(folder, "output.txt"), "wb")
        try:
            if target == "ours":
                program = os.path.join(folder, "KelvraLogServer")
                shutil.copy2(self.options.server, program)
                with open(os.path.join(folder, "LogServer.conf"), "w") as conf:
                    conf.write(
                        f"[Common]\nServicePort={tcp_port}\nSysLogPort={udp_port}\nLogMode=1\n"
                    )
                argv = [program]
                env = os.environ
            elif target == "rsyslog":
                conf = self.fill("rsyslog.conf.in", folder, logs, tcp_port, udp_port)
                argv = [
                    os.path.join(self.prefix, "usr/sbin/rsyslogd"),
                    "-n",
                    "-f", conf,
                    "-i", os.path.join(folder, "rsyslogd.pid"),
                    "-M", os.path.join(self.prefix, "usr/lib/x86_64-linux-gnu/rsyslog"),
                ]
                env = os.environ
            else:
                conf = self.fill("syslog-ng.conf.in", folder, logs, tcp_port, udp_port)
                argv = [
                    os.path.join(self.prefix, "usr/sbin/syslog-ng"),
                    "-F", "--no-caps",
                    "-f", conf,
                    "-p", os.path.join(folder, "syslog-ng.pid"),
                    "-c", os.path.join(folder, "syslog-ng.ctl"),
                    "-R", os.path.join(folder, "syslog-ng.persist"),
                    "--module-path=" + os.path.join(self.prefix, "usr/lib/syslog-ng/3.38"),
                ]
                env = self.peer_env
            process = self.processes.start(
                argv, cwd=folder, stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env
            )
        finally:
            out.close()
        try:
            wait_listening(process, tcp_port, udp_port)
        except RuntimeError:
            self.processes.stop(process, grace=5.0)
            raise
        return process, os.path.join(logs, "127.0.0.1")

    def fill(self, template, folder, logs, tcp_port, udp_port):
        with open(os.path.join(HERE, template)) as source:
            text = source.read()
        for name, value in (
            ("@WORK@", folder),
            ("@LOGS@", logs),
            ("@TCP_PORT@", str(tcp_port)),
            ("@UDP_PORT@", str(udp_port)),
            ("@RCVBUF@", str(RCVBUF)),
        ):
            text = text.replace(name, value)
        path = os.path.join(folder, template[: -len(".in")])
        with open(path, "w") as conf:
            conf.write(text)
        return path

    # ---- senders -------------------------------------------------------------------------

    def sender_argv(self, sender, scenario, tcp_port, udp_port, logs=None, pid=None):
        """The sender's command; without logs it feeds a discarding sink."""
        _, transport, connections, rate = SCENARIOS[scenario]
        records, size = self.records(scenario), self.options.size
        if sender == "KelvraLoad":
            argv = [self.options.load, "--tcp-port", str(tcp_port), "--udp-port", str(udp_port),
                    "--timeout", str(self.options.timeout)]
            if transport == "tcp":
                argv += ["--records", str(records), "--connections", str(connections),
                         "--size", str(size - KELVRA_TCP_OVERHEAD)]
            else:
                argv += ["--records", "0", "--datagrams", str(records),
                         "--size", str(size - KELVRA_UDP_OVERHEAD), "--rate", str(rate)]
            # KelvraLoad keeps its connections open until the lines are stored (closing with
            # unread probe frames would reset them), so it watches the log tree as well.
            if logs is None:
                return argv + ["--no-wait"]
            return argv + ["--logs", logs, "--pid", str(pid)]
        # loggen: --number counts per connection; its size is the whole message with the line
        # end; RFC 5424 messages without octet counting, so both peers parse every field.
        per_connection = records // connections
        argv = [os.path.join(self.prefix, "usr/bin/loggen"), "--inet", "--syslog-proto",
                "--no-framing", "--size", str(size), "--number", str(per_connection),
                "--interval", "100000", "--rate", str(rate if rate else 100_000_000),
                "--active-connections", str(connections)]
        argv += ["--stream", "127.0.0.1", str(tcp_port)] if transport == "tcp" else [
            "--dgram", "127.0.0.1", str(udp_port)]
        return argv

    def records(self, scenario):
        """The records of a run: the same number on every connection."""
        connections = SCENARIOS[scenario][2]
        return self.options.records // connections * connections

    @staticmethod
    def sent_count(sender, transport, output, requested):
        """What the sender says it sent (UDP may fall short; the request when it does not say),
        and the rate at which it sent, per second ("" when it does not say)."""
        if sender == "KelvraLoad" and transport == "udp":
            found = re.search(r"UDP: (\d+) datagrams sent in ([\d.]+) s", output)
            if found:
                sent, seconds = int(found.group(1)), float(found.group(2))
                return sent, round(sent / seconds) if seconds > 0 else ""
        elif sender == "loggen":
            found = re.search(r"average rate = ([\d.]+) msg/sec, count=(\d+)", output)
            if found:
                return int(found.group(2)), round(float(found.group(1)))
        return requested, ""

    # ---- one run -------------------------------------------------------------------------

    def run_daemon(self, target, scenario, folder):
        _, transport, _, _ = SCENARIOS[scenario]
        tcp_port, udp_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        daemon, tree = self.start_daemon(target, folder, tcp_port, udp_port)
        try:
            rcvbuf = receive_buffer(udp_port) if transport == "udp" else ""
            sender = "KelvraLoad" if target == "ours" else "loggen"
            records = self.records(scenario)
            counter = LineCounter(tree)
            time.sleep(0.3)  # let start-up work settle before the CPU count begins
            load = os.getloadavg()[0]
            cpu_before = cpu_seconds(daemon.pid)
            output_path = os.path.join(folder, "sender.txt")
            with open(output_path, "wb") as out:
                started = time.monotonic()
                feeder = self.processes.start(
                    self.sender_argv(sender, scenario, tcp_port, udp_port,
                                     os.path.dirname(tree) + "/", daemon.pid),
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                    env=self.peer_env, cwd=folder)
            sender_cpu = None
            sender_ended = None
            lines, last_line = 0, started
            deadline = started + self.options.timeout
            quiet = UDP_QUIET if transport == "udp" else TCP_QUIET
            while True:
                time.sleep(POLL)
                now_lines = counter.count()
                now = time.monotonic()
                if now_lines != lines:
                    lines, last_line = now_lines, now
                if sender_cpu is None:
                    sender_cpu = poll_child(feeder)
                    if sender_cpu is not None:
                        sender_ended = now
                if lines >= records:
                    break
                if sender_ended is not None and now - max(last_line, sender_ended) > quiet:
                    break
                if now > deadline:
                    break
            cpu_after = cpu_seconds(daemon.pid)
            peak = peak_kib(daemon.pid)
            sender_deadline = time.monotonic() + self.options.timeout
            while sender_cpu is None and time.monotonic() < sender_deadline:
                time.sleep(POLL)
                sender_cpu = poll_child(feeder)
            if sender_cpu is None:
                feeder.kill()
                sender_cpu = wait_child(feeder)
                raise RuntimeError(f"{sender} did not end within {self.options.timeout} s")
            self.processes.forget(feeder)
            with open(output_path, errors="replace") as out:
                sent, offered = self.sent_count(sender, transport, out.read(), records)
        finally:
            self.processes.stop(daemon)
        seconds = max(last_line - started, 1e-9)
        stored = lines
        return dict(
            scenario=scenario, target=target, sender=sender, records=records, sent=sent,
            offered_per_s=offered, stored=stored,
            loss_pct=100.0 * (sent - stored) / sent if sent else 0.0,
            seconds=round(seconds, 3), records_per_s=round(stored / seconds),
            daemon_cpu_s=round(cpu_after - cpu_before, 3),
            cpu_us_per_record=round(1e6 * (cpu_after - cpu_before) / stored, 3) if stored else "",
            vmhwm_kib=peak, sender_cpu_s=round(sender_cpu, 3),
            sender_us_per_record=round(1e6 * sender_cpu / records, 3), rcvbuf=rcvbuf,
            load1=load, exit_code=daemon.returncode, sender_exit=feeder.returncode,
        )

    def run_sink(self, target, scenario, folder):
        sender = target.split(":", 1)[1]
        _, transport, _, _ = SCENARIOS[scenario]
        records = self.records(scenario)
        sink_out = open(os.path.join(folder, "sink.txt"), "w+")
        sink = self.processes.start(
            [sys.executable, os.path.join(HERE, "sink.py")], stdout=sink_out,
            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            ports = None
            deadline = time.monotonic() + 30
            while ports is None and time.monotonic() < deadline:
                time.sleep(0.05)
                sink_out.seek(0)
                ports = re.search(r"tcp=(\d+) udp=(\d+)", sink_out.read())
            if ports is None:
                raise RuntimeError("the sink did not start")
            tcp_port, udp_port = int(ports.group(1)), int(ports.group(2))
            load = os.getloadavg()[0]
            output_path = os.path.join(folder, "sender.txt")
            with open(output_path, "wb") as out:
                started = time.monotonic()
                feeder = self.processes.start(
                    self.sender_argv(sender, scenario, tcp_port, udp_port),
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                    env=self.peer_env, cwd=folder)
                sender_cpu = None
                while sender_cpu is None:
                    if time.monotonic() - started > self.options.timeout:
                        self.processes.stop(feeder, grace=5.0)
                        raise RuntimeError(f"{sender} did not end against the sink")
                    time.sleep(POLL)
                    sender_cpu = poll_child(feeder)
            seconds = time.monotonic() - started
            self.processes.forget(feeder)
            with open(output_path, errors="replace") as out:
                sent, offered = self.sent_count(sender, transport, out.read(), records)
        finally:
            self.processes.stop(sink, grace=10.0)
            sink_out.seek(0)
            counts = sink_out.read()
            sink_out.close()
        received = re.search(r"udp_datagrams=(\d+)", counts)
        return dict(
            scenario=scenario, target=target, sender=sender, records=records, sent=sent,
            offered_per_s=offered,
            stored=int(received.group(1)) if received and transport == "udp" else "",
            loss_pct="", seconds=round(seconds, 3),
            records_per_s=offered if offered else round(sent / seconds),
            daemon_cpu_s="", cpu_us_per_record="", vmhwm_kib="",
            sender_cpu_s=round(sender_cpu, 3),
            sender_us_per_record=round(1e6 * sender_cpu / records, 3), rcvbuf="",
            load1=load, exit_code="", sender_exit=feeder.returncode,
        )

    def run(self, target, scenario, folder):
        os.makedirs(folder)
        try:
            if target.startswith("sink:"):
                return self.run_sink(target, scenario, folder)
            return self.run_daemon(target, scenario, folder)
        finally:
            if not self.options.keep:
                shutil.rmtree(folder, ignore_errors=True)


# ---- the table ---------------------------------------------------------------------------

FIELDS = ["round", "started_utc", "scenario", "target", "sender", "records", "sent",
          "offered_per_s", "stored",
          "loss_pct", "seconds", "records_per_s", "daemon_cpu_s", "cpu_us_per_record",
          "vmhwm_kib", "sender_cpu_s", "sender_us_per_record", "rcvbuf", "load1", "exit_code",
          "sender_exit", "error"]


def median_of(rows, scenario, target, field):
    values = [float(row[field]) for row in rows
              if row["scenario"] == scenario and row["target"] == target
              and row.get(field) not in ("", None) and not row.get("error")]
    return statistics.median(values) if values else None


def worst_of(rows, scenario, target, field):
    values = [float(row[field]) for row in rows
              if row["scenario"] == scenario and row["target"] == target
              and row.get(field) not in ("", None) and not row.get("error")]
    return max(values) if values else None


def ratio(ours, peer):
    return ours / peer if ours is not None and peer else None


def show(value, kind):
    if value is None:
        return "-"
    if kind == "rate":
        return f"{value / 1000:.0f}k" if value >= 10_000 else f"{value:.0f}"
    if kind == "us":
        return f"{value:.2f}"
    if kind == "mib":
        return f"{value / 1024:.1f}"
    if kind == "pct":
        return f"{value:.2f}"
    return f"{value:.2f}x"


def verdict(value, limit, at_least):
    if value is None:
        return "-"
    met = value >= limit if at_least else value <= limit
    return "met" if met else "NOT met"


def table(rows, scenarios):
    """One Markdown table: medians per scenario and target, ours over each peer, the targets."""
    out = ["| scenario | figure (median) | ours | rsyslog | syslog-ng | ours : rsyslog "
           "| ours : syslog-ng | target (against rsyslog) |",
           "|---|---|---|---|---|---|---|---|"]
    for scenario in scenarios:
        label, transport, _, rate = SCENARIOS[scenario]
        med = {(t, f): median_of(rows, scenario, t, f) for t in DAEMONS + SINKS
               for f in ("records_per_s", "cpu_us_per_record", "vmhwm_kib", "loss_pct",
                         "sender_us_per_record", "offered_per_s")}
        figures = [("records_per_s", "records/s end to end", "rate")]
        if transport == "udp":
            figures.append(("offered_per_s", "datagrams/s offered (sent)", "rate"))
        for field, name, kind in figures + [
            ("cpu_us_per_record", "daemon CPU per record, us", "us"),
            ("vmhwm_kib", "peak RSS, MiB", "mib"),
            ("loss_pct", "lost, % (median; worst run)", "pct"),
            ("sender_us_per_record", "sender CPU per record, us", "us"),
        ]:
            ours, rs, ng = (med[(t, field)] for t in DAEMONS)
            r_rs, r_ng = ratio(ours, rs), ratio(ours, ng)
            target = ""
            # The rate and CPU targets over TCP are for 1 and 10 connections; many connections
            # have a memory target only.
            few = transport == "udp" or SCENARIOS[scenario][2] <= 10
            if field == "records_per_s" and (transport == "tcp" or rate == 0) and few:
                target = "≥ 1.5x: " + verdict(r_rs, 1.5, True)
            elif field == "cpu_us_per_record" and few:
                target = "≤ 0.5x: " + verdict(r_rs, 0.5, False)
            elif field == "vmhwm_kib" and transport == "tcp":
                # 12 MiB for up to ten connections; with many, 12 MiB and 16 KiB per connection.
                connections = SCENARIOS[scenario][2]
                limit = 12 if connections <= 10 else 12 + connections * 16 / 1024
                target = f"≤ {limit:.0f} MiB: " + verdict(
                    None if ours is None else ours / 1024, limit, False)
            elif field == "loss_pct" and (transport == "tcp" or rate in (100_000, 120_000)):
                target = "0 in every run: " + verdict(
                    worst_of(rows, scenario, "ours", field), 0.0, False)
            shown = [show(ours, kind), show(rs, kind), show(ng, kind)]
            if field == "loss_pct":
                # A median hides a run that lost datagrams: the worst run is shown as well.
                for index, target_name in enumerate(DAEMONS):
                    worst = worst_of(rows, scenario, target_name, field)
                    if worst is not None and worst > (med[(target_name, field)] or 0.0):
                        shown[index] += f" (worst {show(worst, kind)})"
            show_ratios = field not in ("loss_pct", "sender_us_per_record", "offered_per_s")
            out.append(f"| {label if field == 'records_per_s' else ''} | {name} | "
                       f"{shown[0]} | {shown[1]} | {shown[2]} | "
                       f"{show(r_rs, 'x') if show_ratios else ''} | "
                       f"{show(r_ng, 'x') if show_ratios else ''} | {target} |")
        sink_rate = (med[("sink:KelvraLoad", "records_per_s")],
                     med[("sink:loggen", "records_per_s")])
        sink_cpu = (med[("sink:KelvraLoad", "sender_us_per_record")],
                    med[("sink:loggen", "sender_us_per_record")])
        out.append(f"| | sender alone into a sink: records/s, CPU us per record | "
                   f"{show(sink_rate[0], 'rate')}, {show(sink_cpu[0], 'us')} | "
                   f"{show(sink_rate[1], 'rate')}, {show(sink_cpu[1], 'us')} | "
                   f"{show(sink_rate[1], 'rate')}, {show(sink_cpu[1], 'us')} | | | |")
    return "\n".join(out)


def peer_versions(prefix, env):
    versions = []
    for argv, pattern in (
        ([os.path.join(prefix, "usr/sbin/rsyslogd"), "-v"], r"rsyslogd\s+(\S+)"),
        ([os.path.join(prefix, "usr/sbin/syslog-ng"), "--version"], r"Installer-Version:\s+(\S+)"),
    ):
        try:
            shown = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=30)
            found = re.search(pattern, shown.stdout + shown.stderr)
            versions.append(found.group(1) if found else "?")
        except (OSError, subprocess.TimeoutExpired):
            versions.append("?")
    return versions


def machine():
    model = ""
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as info:
        memory = int(info.readline().split()[1]) / (1024 * 1024)
    return f"{os.cpu_count()} cores ({model}), {memory:.0f} GiB, Linux {platform.release()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", help="where rsyslog and syslog-ng are unpacked")
    parser.add_argument("--server", help="KelvraLogServer executable")
    parser.add_argument("--load", help="KelvraLoad executable")
    parser.add_argument("--work", help="scratch directory for the runs")
    parser.add_argument("--csv", help="raw data, one row per run")
    parser.add_argument("--table", help="also write the table (Markdown) to this file")
    parser.add_argument("--records", type=int, default=500_000)
    parser.add_argument("--size", type=int, default=150, help="bytes per record on the wire")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scenarios", default=",".join(SCENARIOS))
    parser.add_argument("--targets", default=",".join(DAEMONS + SINKS))
    parser.add_argument("--timeout", type=int, default=600, help="seconds at most per run")
    parser.add_argument("--keep", action="store_true", help="keep each run's directory")
    parser.add_argument("--from-csv", help="only print the table of an earlier run's raw data")
    options = parser.parse_args()
    scenarios = [s for s in options.scenarios.split(",") if s]
    targets = [t for t in options.targets.split(",") if t]
    for name in scenarios:
        if name not in SCENARIOS:
            parser.error(f"unknown scenario {name}; known: {', '.join(SCENARIOS)}")
    for name in targets:
        if name not in DAEMONS + SINKS:
            parser.error(f"unknown target {name}; known: {', '.join(DAEMONS + SINKS)}")
    if options.size < 150:
        parser.error("--size must be at least 150: loggen's own header and sequence fields "
                     "take about 140 bytes")

    if not options.from_csv:
        for name in ("prefix", "server", "load", "work", "csv"):
            if getattr(options, name) is None:
                parser.error(f"--{name} is needed for a run")
    if options.from_csv:
        with open(options.from_csv, newline="") as raw:
            rows = list(csv.DictReader(raw))
        print(table(rows, [s for s in scenarios if any(r["scenario"] == s for r in rows)]))
        return 0
    processes = Processes()
    # SIGTERM ends the run as Ctrl+C does, so the clean-up below stops every child.
    signal.signal(signal.SIGTERM, interrupt)
    bench = Bench(options, processes)
    rows = []
    loads = []
    began = datetime.datetime.now(datetime.timezone.utc)
    try:
        with open(options.csv, "w", newline="") as raw:
            writer = csv.DictWriter(raw, fieldnames=FIELDS)
            writer.writeheader()
            for round_number in range(options.runs):
                for index, scenario in enumerate(scenarios):
                    # Each round and scenario starts with another target, so none always runs
                    # first or right after the same neighbour.
                    shift = (round_number + index) % len(targets)
                    for target in targets[shift:] + targets[:shift]:
                        folder = os.path.join(options.work, f"r{round_number}-{scenario}-"
                                              f"{target.replace(':', '-')}")
                        started = datetime.datetime.now(datetime.timezone.utc)
                        try:
                            row = bench.run(target, scenario, folder)
                        except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                            row = dict(scenario=scenario, target=target, error=str(error))
                        row.update({"round": round_number + 1,
                                    "started_utc": started.strftime("%H:%M:%S")})
                        writer.writerow(row)
                        raw.flush()
                        rows.append(row)
                        if row.get("load1") not in ("", None):
                            loads.append(row["load1"])
                        print(progress(row, options.runs), file=sys.stderr, flush=True)
    except KeyboardInterrupt:
        print("interrupted: stopping what was started", file=sys.stderr)
        return 130
    finally:
        processes.stop_all()
    rsyslog, syslog_ng = peer_versions(bench.prefix, bench.peer_env)
    report = (
        f"Kelvra against rsyslog {rsyslog} and syslog-ng {syslog_ng} (both fed by loggen), "
        f"{options.records:,} records of {options.size} bytes, median of {options.runs} "
        f"run(s); {began:%Y-%m-%d %H:%M} UTC on {machine()}; 1-minute load "
        f"{min(loads, default=0):.1f}-{max(loads, default=0):.1f} at the runs' starts.\n\n"
        + table(rows, scenarios) + "\n")
    print()
    print(report)
    if options.table:
        with open(options.table, "w") as written:
            written.write(report)
        print(f"table: {options.table}")
    failed = [row for row in rows if row.get("error")]
    for row in failed:
        print(f"failed: {row['scenario']} {row['target']}: {row['error']}")
    print(f"raw data: {options.csv}")
    return 1 if failed else 0


def interrupt(*_):
    raise KeyboardInterrupt


def progress(row, runs):
    if row.get("error"):
        return f"[{row['round']}/{runs}] {row['scenario']} {row['target']}: FAILED {row['error']}"
    text = (f"[{row['round']}/{runs}] {row['scenario']} {row['target']}: "
            f"{row['records_per_s']:,} records/s")
    if row["cpu_us_per_record"] != "":
        text += (f", {row['cpu_us_per_record']:.2f} us/record, "
                 f"{row['vmhwm_kib'] / 1024:.1f} MiB, {row['loss_pct']:.2f} % lost")
    return text + f", sender {row['sender_us_per_record']:.2f} us/record (load {row['load1']:.1f})"


if __name__ == "__main__":
    sys.exit(main())
