"""A parent of the gridwright daemon, written from docs/protocol.md, on Python's standard
library alone.

    with Client("/usr/bin/gridwright") as client:
        outcome = client.run(Job(codec=Codec.H264, param_sets=[sps, pps], ...))
        if isinstance(outcome, Result): ...          # outcome.jpegs, one per level
        else: ...                                    # an ErrorReply: outcome.code, .message

Client starts the daemon, checks its Hello, keeps at most max_inflight jobs outstanding (a
submission beyond that waits), matches each reply to its job by reqID, and reports the daemon's
death with DaemonError, which carries its exit status and last line on standard error.
Client is thread-safe: any number of threads may submit at once.
"""

import enum
import struct
import subprocess
import threading
from concurrent.futures import Future
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Union

FRAME_HELLO, FRAME_JOB, FRAME_RESULT, FRAME_ERROR = 1, 2, 3, 4
MAX_FRAME_LENGTH = 64 << 20  # the length field's largest value: 5 + payload
BLACK_CELL = 0xFFFF


class Codec(enum.IntEnum):
    H265 = 1
    H264 = 2


class ErrorCode(enum.IntEnum):
    DECODE = 1
    UNSUPPORTED = 2
    BUSY = 3
    INTERNAL_ERROR = 4
    BAD_REQUEST = 5


class DaemonError(Exception):
    """The daemon could not be started, greeted wrongly, died or broke the frame stream.

    status: its exit status once known (negative: the signal that ended it), else None.
    last_line: its last line on standard error, or ""."""

    def __init__(self, reason: str, status: Optional[int] = None, last_line: str = ""):
        text = reason
        if status is not None:
            text += f" (exit status {status})" if status >= 0 else f" (signal {-status})"
        if last_line:
            text += f": {last_line}"
        super().__init__(text)
        self.reason, self.status, self.last_line = reason, status, last_line


@dataclass
class Level:
    cells_w: int
    cells_h: int
    indices: Sequence[int]  # row-major; a frame's position, or BLACK_CELL


@dataclass
class Job:
    codec: Codec
    param_sets: Sequence[bytes]  # SPS, PPS (H.264); VPS, SPS, PPS (H.265); no start codes
    fit: tuple  # (width, height) every picture is scaled to
    cell: tuple  # (width, height) of a cell
    frames: Sequence[bytes]  # access units: NAL units with 4-byte big-endian lengths
    levels: Sequence[Level]
    pad: tuple = (0, 0)
    quality: int = 5  # 1 (best) to 31

    def encode(self) -> bytes:
        out = bytearray(struct.pack("<BBB", int(self.codec), 4, len(self.param_sets)))
        for param_set in self.param_sets:
            out += struct.pack("<H", len(param_set)) + param_set
        out += struct.pack("<HHHHHHB", *self.fit, *self.pad, *self.cell, self.quality)
        out += struct.pack("<H", len(self.frames))
        for frame in self.frames:
            out += struct.pack("<I", len(frame)) + frame
        out += struct.pack("<B", len(self.levels))
        for level in self.levels:
            out += struct.pack("<HHH", level.cells_w, level.cells_h, len(level.indices))
            out += struct.pack(f"<{len(level.indices)}H", *level.indices)
        return bytes(out)


@dataclass
class Result:
    decode_micros: int
    encode_micros: int
    cpu_micros: int
    jpegs: List[bytes] = field(default_factory=list)

    @staticmethod
    def parse(payload: bytes) -> "Result":
        decode, encode, cpu, count = struct.unpack_from("<IIIB", payload, 0)
        result, at = Result(decode, encode, cpu), 13
        for _ in range(count):
            (length,) = struct.unpack_from("<I", payload, at)
            result.jpegs.append(payload[at + 4 : at + 4 + length])
            at += 4 + length
        return result


@dataclass
class ErrorReply:
    code: int  # an ErrorCode; any other value is to be read as INTERNAL_ERROR
    message: str

    @staticmethod
    def parse(payload: bytes) -> "ErrorReply":
        code, length = struct.unpack_from("<HH", payload, 0)
        return ErrorReply(code, payload[4 : 4 + length].decode("utf-8", "replace"))


Outcome = Union[Result, ErrorReply]


class Client:
    def __init__(self, daemon_path: str, hello_timeout: float = 10.0):
        try:
            self._process = subprocess.Popen(
                [daemon_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, bufsize=0)
        except OSError as error:
            raise DaemonError(f"cannot start {daemon_path}: {error.strerror}") from None
        self._lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._pending = {}  # reqID -> Future
        self._next_id = 0
        self._death: Optional[DaemonError] = None
        self._last_line = ""
        self._errors = threading.Thread(target=self._read_errors, daemon=True)
        self._errors.start()
        try:
            self._greet(hello_timeout)
        except DaemonError:
            self._shut()
            raise
        self._places = threading.BoundedSemaphore(self.max_inflight)
        self._reader = threading.Thread(target=self._read_replies, daemon=True)
        self._reader.start()

    # -- the Hello

    def _greet(self, timeout: float) -> None:
        box = {}
        reader = threading.Thread(target=lambda: box.update(frame=self._read_frame()), daemon=True)
        reader.start()
        reader.join(timeout)
        if reader.is_alive():
            raise DaemonError("no greeting in time")
        frame = box.get("frame")
        if frame is None:
            raise self._ended("gridwright ended before greeting")
        kind, _, payload = frame
        if kind != FRAME_HELLO or len(payload) < 10:
            raise DaemonError("bad greeting")
        magic, proto, caps, inflight, length = struct.unpack_from("<4sHBBH", payload, 0)
        if magic != b"GWRT" or proto != 1 or inflight < 1:
            raise DaemonError("bad magic" if magic != b"GWRT" else "bad proto")
        self.caps, self.max_inflight = caps, inflight
        self.version = payload[10 : 10 + length].decode("utf-8", "replace")

    # -- frames

    def _read_exactly(self, count: int) -> Optional[bytes]:
        chunks, left = [], count
        while left:
            chunk = self._process.stdout.read(left)
            if not chunk:
                return None
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    def _read_frame(self):
        """(type, reqID, payload), or None at a clean end of output; raises DaemonError on a
        broken frame."""
        header = self._read_exactly(4)
        if header is None:
            return None
        (length,) = struct.unpack("<I", header)
        if length < 5 or length > MAX_FRAME_LENGTH:
            raise DaemonError(f"frame length {length} out of range")
        body = self._read_exactly(length)
        if body is None:
            raise DaemonError("output ended inside a frame")
        kind, req_id = struct.unpack_from("<BI", body, 0)
        return kind, req_id, body[5:]

    def _write_frame(self, kind: int, req_id: int, payload: bytes) -> None:
        header = struct.pack("<IBI", 5 + len(payload), kind, req_id)
        with self._write_lock:
            self._process.stdin.write(header + payload)

    # -- replies and death

    def _read_errors(self) -> None:
        for line in self._process.stderr:
            text = line.decode("utf-8", "replace").rstrip("\n")
            if text:
                self._last_line = text

    def _read_replies(self) -> None:
        reason = "gridwright ended"
        try:
            while True:
                frame = self._read_frame()
                if frame is None:
                    break
                kind, req_id, payload = frame
                with self._lock:
                    future = self._pending.pop(req_id, None)
                if future is None or kind not in (FRAME_RESULT, FRAME_ERROR):
                    reason = f"unexpected frame of type {kind} for reqID {req_id}"
                    self._process.kill()
                    break
                self._places.release()
                parse = Result.parse if kind == FRAME_RESULT else ErrorReply.parse
                future.set_result(parse(payload))
        except (DaemonError, struct.error) as error:
            reason = str(error)
            self._process.kill()
        death = self._ended(reason)
        with self._lock:
            self._death = death
            pending, self._pending = self._pending, {}
        for future in pending.values():
            future.set_exception(death)
        for _ in range(self.max_inflight):  # wake submitters waiting for a place
            try:
                self._places.release()
            except ValueError:
                break

    def _ended(self, reason: str) -> DaemonError:
        status = self._process.wait()
        self._errors.join(5)
        return DaemonError(reason, status, self._last_line)

    # -- jobs

    def submit(self, job: Job) -> Future:
        """Sends the job once fewer than max_inflight are outstanding; the Future gives its
        Result or ErrorReply, or raises DaemonError if the daemon dies first."""
        while not self._places.acquire(timeout=0.1):
            with self._lock:
                if self._death is not None:
                    raise self._death
        future: Future = Future()
        with self._lock:
            if self._death is not None:
                raise self._death
            self._next_id += 1
            req_id = self._next_id
            self._pending[req_id] = future
        try:
            self._write_frame(FRAME_JOB, req_id, job.encode())
        except (BrokenPipeError, ValueError):
            self._reader.join(10)  # the reader sees the end and fails the job with the reason
        return future

    def run(self, job: Job) -> Outcome:
        return self.submit(job).result()

    def close(self, timeout: float = 60.0) -> int:
        """Ends the daemon's input, waits for its replies and its exit; returns its status."""
        try:
            self._process.stdin.close()
        except BrokenPipeError:
            pass
        self._reader.join(timeout)
        return self._process.wait(timeout)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self._shut()

    def _shut(self) -> None:
        """Kills the daemon if it still runs, reaps it and closes the pipes."""
        if self._process.poll() is None:
            self._process.kill()
        self._process.wait()
        for thread in (getattr(self, "_reader", None), self._errors):
            if thread is not None and thread is not threading.current_thread():
                thread.join(5)
        for pipe in (self._process.stdin, self._process.stdout, self._process.stderr):
            try:
                pipe.close()
            except OSError:
                pass
