"""Send log records to a Kelvra Log Server from Python (standard library only).

    import logging
    from kelvra_logging import KelvraHandler

    handler = KelvraHandler("127.0.0.1", 30000, "Billing", "Core")
    logging.getLogger().addHandler(handler)
    logging.getLogger().warning("invoice %d paid", 42)
    handler.close()          # sends what is queued, then closes the connection cleanly

Each formatted log record becomes one TCP record: a TPKT frame (03 00, the frame length
big-endian) around a 45-byte little-endian header and the four texts (application, module,
file prefix, message). The server sends nothing but 4-byte probe frames, which are read and
discarded. A connection is ended by shutting it down for writing and reading until the server
closes it, so the server has read every record before the socket goes.
"""

import datetime
import logging
import queue
import socket
import struct
import threading
import time

__all__ = ["KelvraHandler", "send_record", "encode_record", "ole_date", "MAX_TEXT_BYTES"]

HEADER_SIZE = 45
TPKT_HEADER_SIZE = 4
MAX_FRAME_SIZE = 65535
# The four texts of one record together may have at most this many bytes.
MAX_TEXT_BYTES = MAX_FRAME_SIZE - TPKT_HEADER_SIZE - HEADER_SIZE
CUT_MARK = b"...[cut]"

_OLE_EPOCH = datetime.datetime(1899, 12, 30)
# marker, total length, then offset and length of application, module and prefix, the client
# time, offset and length of the text.
_HEADER = struct.Struct("<BIIIIIIId II")


def ole_date(when=None):
    """The local time when (a datetime, or now) as an OLE Automation date: days since
    30 December 1899, the time of day as the fraction."""
    when = when or datetime.datetime.now()
    return (when.replace(tzinfo=None) - _OLE_EPOCH) / datetime.timedelta(days=1)


def _as_bytes(text):
    return text if isinstance(text, bytes) else str(text).encode("utf-8", "replace")


def encode_record(application, module, prefix, text, client_time=None, cut=False):
    """The TPKT frame of one record. Texts are str (sent as UTF-8) or bytes (sent as they are).
    client_time: an OLE date, None for now, 0 for none. Raises ValueError when the texts do not
    fit one frame, unless cut is true: then the text is cut to fit and ends in ...[cut]."""
    fields = [_as_bytes(application), _as_bytes(module), _as_bytes(prefix), _as_bytes(text)]
    names = len(fields[0]) + len(fields[1]) + len(fields[2])
    if names + len(fields[3]) > MAX_TEXT_BYTES:
        if not cut or names + len(CUT_MARK) > MAX_TEXT_BYTES:
            raise ValueError(
                "record too large for one frame: %d bytes of texts, at most %d"
                % (names + len(fields[3]), MAX_TEXT_BYTES))
        fields[3] = fields[3][:MAX_TEXT_BYTES - names - len(CUT_MARK)] + CUT_MARK
    if client_time is None:
        client_time = ole_date()
    offsets = []
    at = HEADER_SIZE
    for field in fields:
        offsets.append(at)
        at += len(field)
    header = _HEADER.pack(0, at, offsets[0], len(fields[0]), offsets[1], len(fields[1]),
                          offsets[2], len(fields[2]), float(client_time), offsets[3],
                          len(fields[3]))
    payload = header + b"".join(fields)
    return struct.pack(">BBH", 3, 0, len(payload) + TPKT_HEADER_SIZE) + payload


def _close_cleanly(sock, timeout):
    """Half-closes and reads until the server closes, within timeout seconds, so the close can
    never reset the connection. True when the server closed in time."""
    deadline = time.monotonic() + timeout
    closed = False
    try:
        sock.shutdown(socket.SHUT_WR)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            sock.settimeout(left)
            if not sock.recv(4096):
                closed = True
                break
    except OSError:
        pass
    finally:
        sock.close()
    return closed


def send_record(host, port, application, module, prefix, text, client_time=None, timeout=10.0):
    """Connects, sends one record, closes cleanly. Raises OSError when the server cannot be
    reached or did not confirm the close within timeout seconds, ValueError for a record too
    large for one frame."""
    frame = encode_record(application, module, prefix, text, client_time)
    sock = socket.create_connection((host, port), timeout=timeout)
    try:
        sock.sendall(frame)
    except OSError:
        sock.close()
        raise
    if not _close_cleanly(sock, timeout):
        raise OSError("the server did not close the connection within %.1f s" % timeout)


class KelvraHandler(logging.Handler):
    """A logging handler that sends each formatted record as one record to the server.

    emit() only puts the frame into a bounded queue; one background thread connects, writes,
    drains the server's probe frames and reconnects with a capped exponential back-off
    (reconnect_delay doubling up to max_reconnect_delay seconds) when the connection breaks.
    When the queue is full the record is dropped and counted in `dropped`, so logging never
    blocks the program. A frame is taken off the queue only once it was written whole; a frame
    cut off by a broken connection is written again whole. close() sends what is queued
    (within close_timeout seconds), then half-closes and waits for the server to close.

    Counters (read at any time): sent, dropped, reconnects, last_error (an OSError or None).
    """

    def __init__(self, host, port, application, module, prefix="", queue_size=10000,
                 reconnect_delay=0.1, max_reconnect_delay=10.0, close_timeout=10.0,
                 cut=False):
        super().__init__()
        self.host = host
        self.port = port
        self.application = application
        self.module = module
        self.prefix = prefix
        self.cut = cut
        self.reconnect_delay = reconnect_delay
        self.max_reconnect_delay = max_reconnect_delay
        self.close_timeout = close_timeout
        self.sent = 0
        self.dropped = 0
        self.reconnects = 0
        self.last_error = None
        self._queue = queue.Queue(maxsize=queue_size)
        self._closing = threading.Event()
        self._counter_lock = threading.Lock()  # guards dropped (emit runs on any thread)
        self._sock = None
        self._connected_once = False
        self._closed_cleanly = False
        self._thread = threading.Thread(target=self._run, name="KelvraHandler", daemon=True)
        self._thread.start()

    def emit(self, record):
        try:
            frame = encode_record(self.application, self.module, self.prefix,
                                  self.format(record), ole_date(
                                      datetime.datetime.fromtimestamp(record.created)),
                                  cut=self.cut)
        except ValueError:
            self._drop()
            self.handleError(record)
            return
        except Exception:
            self.handleError(record)
            return
        if self._closing.is_set():
            self._drop()
            return
        try:
            self._queue.put_nowait(frame)
        except queue.Full:
            self._drop()

    def _drop(self):
        with self._counter_lock:
            self.dropped += 1

    def flush(self, timeout=None):
        """Waits (at most timeout seconds, None: close_timeout) until every queued record is
        written. True when so."""
        deadline = time.monotonic() + (self.close_timeout if timeout is None else timeout)
        while self._queue.unfinished_tasks and time.monotonic() < deadline:
            time.sleep(0.01)
        return not self._queue.unfinished_tasks

    def close(self):
        """Sends what is queued, half-closes and reads until the server closes, all within
        close_timeout seconds. Records still unsent then count as dropped."""
        if not self._closing.is_set():
            self._closing.set()
            self._thread.join(self.close_timeout + 1.0)
        super().close()

    @property
    def closed_cleanly(self):
        """True once close() wrote everything and the server closed the connection in time."""
        return self._closed_cleanly

    # The writer thread.

    def _connect(self):
        try:
            sock = socket.create_connection((self.host, self.port), timeout=5.0)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError as error:
            self.last_error = error
            return False
        if self._connected_once:
            self.reconnects += 1
        self._connected_once = True
        self._sock = sock
        return True

    def _broken(self, error):
        self.last_error = error
        try:
            self._sock.close()
        except OSError:
            pass
        self._sock = None

    def _drain(self):
        """Reads and discards the probe frames waiting. False when the server closed."""
        self._sock.settimeout(0)
        try:
            while True:
                data = self._sock.recv(4096)
                if not data:
                    return False
        except BlockingIOError:
            return True

    def _write(self, frame):
        """Writes one frame whole (draining probes while the socket is full)."""
        view = memoryview(frame)
        while view:
            self._sock.settimeout(0.2)
            try:
                written = self._sock.send(view)
            except socket.timeout:
                written = 0
            view = view[written:]
            if not self._drain():
                raise ConnectionResetError("the server closed the connection")

    def _run(self):
        delay = self.reconnect_delay
        deadline = None
        frame = None
        first_attempt = True
        while True:
            if deadline is None and self._closing.is_set():
                deadline = time.monotonic() + self.close_timeout
            if deadline is not None and time.monotonic() >= deadline:
                break
            if self._sock is None:
                if deadline is not None and frame is None and self._queue.empty():
                    # Everything was written before the connection ended.
                    self._closed_cleanly = True
                    return
                if not first_attempt:
                    if deadline is None:
                        self._closing.wait(delay)
                    else:
                        time.sleep(max(0.0, min(delay, deadline - time.monotonic())))
                first_attempt = False
                if self._connect():
                    delay = self.reconnect_delay
                else:
                    delay = min(delay * 2, self.max_reconnect_delay)
                continue
            if frame is None:
                try:
                    frame = self._queue.get(timeout=0.2)
                except queue.Empty:
                    if deadline is not None:
                        self._closed_cleanly = _close_cleanly(
                            self._sock, max(0.0, deadline - time.monotonic()))
                        self._sock = None
                        return
                    try:
                        if not self._drain():
                            self._broken(ConnectionResetError("the server closed the connection"))
                    except OSError as error:
                        self._broken(error)
                    continue
            try:
                self._write(frame)
            except OSError as error:
                # The frame goes out again whole on the next connection.
                self._broken(error)
                continue
            self.sent += 1
            frame = None
            self._queue.task_done()
        self._give_up(frame)

    def _give_up(self, frame):
        """Out of time while closing: what is left unsent counts as dropped."""
        left = 0
        if frame is not None:
            left += 1
            self._queue.task_done()
        while True:
            try:
                self._queue.get_nowait()
            except queue.Empty:
                break
            self._queue.task_done()
            left += 1
        with self._counter_lock:
            self.dropped += left
        if self._sock is not None:
            try:
                self._drain()
            except OSError:
                pass
            self._sock.close()
            self._sock = None
