#!/usr/bin/env python3
"""Tests of the side-by-side benchmark's own parts: line counting, reading the senders' reports,
the table's verdicts and the discarding sink. Run: python3 -m unittest bench/peers/test_peers.py
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402


class LineCounterTest(unittest.TestCase):
    def test_counts_complete_lines_only_and_reads_only_what_was_appended(self):
        with tempfile.TemporaryDirectory() as root:
            folder = os.path.join(root, "127.0.0.1", "SYSLOG", "syslog", "2026_12_07")
            os.makedirs(folder)
            path = os.path.join(folder, "22.log")
            counter = peers.LineCounter(os.path.join(root, "127.0.0.1"))
            steps = [  # (bytes appended, complete lines expected so far)
                (b"", 0),
                (b"first\r\nsecond\n", 2),
                (b"half of a li", 2),
                (b"ne\nnext", 3),
                (b"\n", 4),
            ]
            for appended, expected in steps:
                with open(path, "ab") as file:
                    file.write(appended)
                self.assertEqual(counter.count(), expected, appended)

    def test_ignores_files_that_are_not_logs_and_adds_up_every_log(self):
        with tempfile.TemporaryDirectory() as root:
            for name, text in (("a/10.log", b"1\n2\n"), ("b/11.log", b"3\n"), ("b/x.txt", b"\n\n")):
                os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                with open(os.path.join(root, name), "wb") as file:
                    file.write(text)
            self.assertEqual(peers.LineCounter(root).count(), 3)


class SenderReportTest(unittest.TestCase):
    def test_reads_what_each_sender_says_it_sent(self):
        cases = [  # (sender, transport, output, (sent, offered))
            ("loggen", "tcp",
             "count=1000, rate = 5.0 msg/sec\naverage rate = 99887.50 msg/sec, count=500000, "
             "time=5.0056, (average) msg size=150, bandwidth=14632.00 kB/sec\n", (500000, 99888)),
            ("loggen", "udp", "error: can not connect\n", (1000, "")),
            ("KelvraLoad", "udp",
             "UDP: 499000 datagrams sent in 4.99 s, 145-byte texts: 499000 stored\n",
             (499000, 100000)),
            ("KelvraLoad", "tcp", "TCP: 1000 records over 1 connection(s)\n", (1000, "")),
        ]
        for sender, transport, output, expected in cases:
            self.assertEqual(peers.Bench.sent_count(sender, transport, output, 1000), expected,
                             (sender, output))


class TableTest(unittest.TestCase):
    def rows(self, ours_rate, rsyslog_rate, ours_cpu, rsyslog_cpu, scenario="tcp1",
             ours_kib=8 * 1024):
        rows = []
        for target, rate, cpu in (("ours", ours_rate, ours_cpu),
                                  ("rsyslog", rsyslog_rate, rsyslog_cpu)):
            for run, spread in enumerate((0.9, 1.0, 1.3)):  # the median is the middle run
                rows.append(dict(scenario=scenario, target=target, round=run + 1,
                                 records_per_s=rate * spread, cpu_us_per_record=cpu * spread,
                                 vmhwm_kib=ours_kib if target == "ours" else 8 * 1024,
                                 loss_pct=0.0, sender_us_per_record=1.0,
                                 offered_per_s=""))
        return rows

    def figure_line(self, text, name):
        return next(line for line in text.splitlines() if f"| {name} |" in line)

    def test_ratios_come_from_medians_and_verdicts_follow_the_targets(self):
        cases = [  # (ours rate, rsyslog rate, ours cpu, rsyslog cpu, rate verdict, cpu verdict)
            (300_000, 200_000, 1.0, 2.0, "≥ 1.5x: met", "≤ 0.5x: met"),
            (299_000, 200_000, 1.1, 2.0, "≥ 1.5x: NOT met", "≤ 0.5x: NOT met"),
        ]
        for ours_rate, rs_rate, ours_cpu, rs_cpu, rate_verdict, cpu_verdict in cases:
            text = peers.table(self.rows(ours_rate, rs_rate, ours_cpu, rs_cpu), ["tcp1"])
            rate_line = self.figure_line(text, "records/s end to end")
            self.assertIn(f"| {ours_rate / rs_rate:.2f}x |", rate_line)
            self.assertIn(rate_verdict, rate_line)
            cpu_line = self.figure_line(text, "daemon CPU per record, us")
            self.assertIn(f"| {ours_cpu:.2f} | {rs_cpu:.2f} | - |", cpu_line)
            self.assertIn(cpu_verdict, cpu_line)
            self.assertIn("≤ 12 MiB: met", self.figure_line(text, "peak RSS, MiB"))

    def test_many_connections_have_a_memory_target_only(self):
        cases = [  # (ours peak KiB, memory verdict): 12 MiB and 16 KiB for each of 5,000
            (90 * 1024, "≤ 90 MiB: met"),
            (91 * 1024, "≤ 90 MiB: NOT met"),
        ]
        for kib, verdict in cases:
            text = peers.table(self.rows(100_000, 200_000, 4.0, 2.0, "tcp5000", kib), ["tcp5000"])
            self.assertIn(verdict, self.figure_line(text, "peak RSS, MiB"))
            for name in ("records/s end to end", "daemon CPU per record, us"):
                self.assertTrue(self.figure_line(text, name).endswith("|  |"), name)
            self.assertIn("0 in every run: met", self.figure_line(text, "lost, % (median; worst run)"))

    def test_a_run_that_lost_records_is_shown_and_fails_the_target(self):
        rows = self.rows(300_000, 200_000, 1.0, 2.0)
        rows[0]["loss_pct"] = 21.5  # one of ours' three runs
        line = self.figure_line(peers.table(rows, ["tcp1"]), "lost, % (median; worst run)")
        self.assertIn("| 0.00 (worst 21.50) | 0.00 |", line)
        self.assertIn("0 in every run: NOT met", line)

    def test_failed_runs_do_not_count(self):
        rows = self.rows(300_000, 200_000, 1.0, 2.0)
        rows.append(dict(scenario="tcp1", target="ours", error="daemon did not listen"))
        self.assertEqual(peers.median_of(rows, "tcp1", "ours", "records_per_s"), 300_000)
        self.assertIsNone(peers.median_of(rows, "tcp1", "syslog-ng", "records_per_s"))


class SinkTest(unittest.TestCase):
    def test_counts_tcp_bytes_and_datagrams_and_reports_them_when_told_to_stop(self):
        sink = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(peers.__file__),
                                                              "sink.py")],
                                stdout=subprocess.PIPE, text=True)
        try:
            ports = re.search(r"tcp=(\d+) udp=(\d+)", sink.stdout.readline())
            self.assertIsNotNone(ports)
            tcp_port, udp_port = int(ports.group(1)), int(ports.group(2))
            for _ in range(2):
                with socket.create_connection(("127.0.0.1", tcp_port), timeout=10) as client:
                    client.sendall(b"x" * 100_000)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                for size in (1, 150, 8192):
                    udp.sendto(b"y" * size, ("127.0.0.1", udp_port))
            time.sleep(0.5)  # the sink reads on its own threads
            sink.send_signal(signal.SIGTERM)
            report = sink.stdout.read()
            sink.wait(10)
        finally:
            if sink.poll() is None:
                sink.kill()
                sink.wait(10)
            sink.stdout.close()
        self.assertIn("tcp_bytes=200000 tcp_connections=2 udp_datagrams=3 udp_bytes=8343", report)


if __name__ == "__main__":
    unittest.main()
