"""kelvra_logging against the real server, started here on free ports in a directory of its own.

The server executable comes from the environment variable KELVRA_SERVER_EXE (CTest sets it).
"""

import glob
import logging
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import kelvra_logging
from kelvra_logging import KelvraHandler, encode_record, send_record

PATIENCE = 30.0


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(condition, patience=PATIENCE):
    deadline = time.monotonic() + patience
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


class Server:
    """The server executable copied into a temporary directory with its own LogServer.conf."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kelvra_python_")
        self.program = os.path.join(self.dir, "KelvraLogServer")
        shutil.copy(os.environ["KELVRA_SERVER_EXE"], self.program)
        os.mkdir(os.path.join(self.dir, "cwd"))
        self.port = free_port()
        with open(os.path.join(self.dir, "LogServer.conf"), "w") as conf:
            conf.write("[Common]\nServicePort=%d\nSysLogPort=%d\n"
                       % (self.port, free_port(socket.SOCK_DGRAM)))
        self.process = None

    def start(self):
        env = dict(os.environ, LC_ALL="C")
        self.process = subprocess.Popen([self.program], cwd=os.path.join(self.dir, "cwd"),
                                        env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False
        if not wait_until(listening):
            raise RuntimeError("the server does not listen on %d" % self.port)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(30)
            self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def lines(self, application, module):
        """Every complete line of the stream's files, CR LF removed, in file order."""
        pattern = os.path.join(self.dir, "Logs", "127.0.0.1", application, module, "*", "*.log")
        lines = []
        for path in sorted(glob.glob(pattern)):
            with open(path, "rb") as log:
                lines.extend(log.read().split(b"\r\n")[:-1])
        return [line.decode("utf-8", "replace") for line in lines]

    def wait_for_lines(self, application, module, count):
        found = []

        def enough():
            found[:] = self.lines(application, module)
            return len(found) >= count
        wait_until(enough)
        return found


STAMPED = re.compile(r"\d\d:\d\d:\d\d\.\d{3}\[(\d\d:\d\d:\d\d\.\d{3})\] : (.*)$")


class EncodingTest(unittest.TestCase):
    def test_frame_is_byte_for_byte_the_layout_the_server_decodes(self):
        frame = encode_record("A", "Mo", "", "hey", 0.5)
        expected = (b"\x03\x00\x00\x37" + b"\x00" + b"\x33\0\0\0" + b"\x2d\0\0\0\x01\0\0\0"
                    + b"\x2e\0\0\0\x02\0\0\0" + b"\x30\0\0\0\0\0\0\0"
                    + struct.pack("<d", 0.5) + b"\x30\0\0\0\x03\0\0\0" + b"AMohey")
        self.assertEqual(frame, expected)

    def test_texts_over_one_frame_are_refused_or_cut_and_marked(self):
        most = kelvra_logging.MAX_TEXT_BYTES
        self.assertEqual(most, 65486)
        self.assertEqual(len(encode_record("", "", "", b"x" * most, 0)), 65535)
        with self.assertRaises(ValueError):
            encode_record("a", "", "", b"x" * most, 0)
        cut = encode_record("a", "", "", b"x" * (most + 100), 0, cut=True)
        self.assertEqual(len(cut), 65535)
        self.assertTrue(cut.endswith(b"x...[cut]"))

    def test_ole_date_counts_days_since_the_end_of_1899(self):
        import datetime
        self.assertAlmostEqual(kelvra_logging.ole_date(datetime.datetime(2024, 3, 7, 14, 5, 16, 800000)),
                               45358.587, places=9)
        self.assertEqual(kelvra_logging.ole_date(datetime.datetime(1899, 12, 30)), 0.0)


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.server.start()
        self.addCleanup(self.server.remove)

    def handler(self, application, module, **options):
        handler = KelvraHandler("127.0.0.1", self.server.port, application, module, **options)
        handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
        logger = logging.getLogger("kelvra_test_%s_%s" % (application, module))
        logger.propagate = False
        logger.setLevel(logging.DEBUG)
        logger.addHandler(handler)
        self.addCleanup(logger.removeHandler, handler)
        return handler, logger

    def test_handler_records_land_as_exact_lines(self):
        handler, logger = self.handler("PyApp", "Core", prefix="web")
        logger.warning("invoice %d paid", 42)
        logger.info("caf\u00e9 \u2713")
        handler.close()
        self.assertTrue(handler.closed_cleanly)
        self.assertEqual((handler.sent, handler.dropped, handler.reconnects), (2, 0, 0))
        lines = self.server.wait_for_lines("PyApp", "Core", 2)
        self.assertEqual([STAMPED.match(line).group(2) for line in lines],
                         ["WARNING invoice 42 paid", "INFO caf\u00e9 \u2713"])
        self.assertEqual(len(glob.glob(os.path.join(self.server.dir, "Logs", "127.0.0.1", "PyApp",
                                                    "Core", "*", "web_*.log"))), 1)

    def test_send_record_lands_without_a_time_stamp_as_the_bare_text(self):
        send_record("127.0.0.1", self.server.port, "PyOnce", "M", "", "  one record \t", 0)
        self.assertEqual(self.server.wait_for_lines("PyOnce", "M", 1), ["  one record \t"])

    def test_send_record_to_a_closed_port_raises(self):
        with self.assertRaises(OSError):
            send_record("127.0.0.1", free_port(), "A", "M", "", "nobody listens", 0)

    def test_close_right_after_many_records_loses_none(self):
        handler, logger = self.handler("PyMany", "M", queue_size=100000)
        for i in range(20000):
            logger.info("r %d", i)
        handler.close()
        self.assertTrue(handler.closed_cleanly)
        self.assertEqual(handler.sent, 20000)
        lines = self.server.wait_for_lines("PyMany", "M", 20000)
        self.assertEqual([STAMPED.match(line).group(2) for line in lines],
                         ["INFO r %d" % i for i in range(20000)])

    def test_server_restart_every_record_after_it_lands_and_the_counters_add_up(self):
        handler, logger = self.handler("PyRestart", "M", queue_size=50, reconnect_delay=0.02,
                                       max_reconnect_delay=0.2)
        logger.info("before")
        self.assertTrue(handler.flush(PATIENCE))
        self.assertEqual(len(self.server.wait_for_lines("PyRestart", "M", 1)), 1)
        self.server.stop()
        for i in range(500):
            logger.info("during %d", i)
        self.server.start()
        self.assertTrue(wait_until(lambda: handler.reconnects >= 1))
        for i in range(40):
            logger.info("after %d", i)
        handler.close()
        self.assertTrue(handler.closed_cleanly)
        self.assertGreater(handler.dropped, 0)
        self.assertEqual(handler.sent + handler.dropped, 541)
        self.assertIsNotNone(handler.last_error)
        self.assertTrue(wait_until(
            lambda: self.server.lines("PyRestart", "M")[-1:] and
            STAMPED.match(self.server.lines("PyRestart", "M")[-1]).group(2) == "INFO after 39"))
        after = [STAMPED.match(line).group(2) for line in self.server.lines("PyRestart", "M")
                 if "after" in line]
        self.assertEqual(after, ["INFO after %d" % i for i in range(40)])


class NoServerTest(unittest.TestCase):
    def test_full_queue_and_unsent_records_at_close_are_counted_as_dropped(self):
        handler = KelvraHandler("127.0.0.1", free_port(), "A", "M", queue_size=10,
                                close_timeout=0.3)
        record = logging.LogRecord("x", logging.INFO, __file__, 1, "m", None, None)
        for _ in range(50):
            handler.emit(record)
        self.assertGreaterEqual(handler.dropped, 39)
        handler.close()
        self.assertFalse(handler.closed_cleanly)
        self.assertEqual((handler.sent, handler.dropped), (0, 50))
        self.assertIsInstance(handler.last_error, ConnectionRefusedError)


if __name__ == "__main__":
    unittest.main()
