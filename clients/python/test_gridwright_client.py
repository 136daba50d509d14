"""The Python client against the real daemon (GRIDWRIGHT_BIN) with the test clips
(GRIDWRIGHT_CLIPS_DIR), and against stand-in daemons for greetings and deaths."""

import os
import stat
import struct
import sys
import tempfile
import threading
import unittest

from gridwright_client import (BLACK_CELL, Client, Codec, DaemonError, ErrorCode, ErrorReply, Job,
                               Level, Result)

DAEMON = os.environ["GRIDWRIGHT_BIN"]
CLIPS = os.environ["GRIDWRIGHT_CLIPS_DIR"]


def nal_units(stream: bytes):
    """The NAL units of an Annex-B stream, without start codes."""
    starts, at = [], stream.find(b"\x00\x00\x01")
    while at != -1:
        starts.append(at + 3)
        at = stream.find(b"\x00\x00\x01", at + 3)
    for i, start in enumerate(starts):
        end = starts[i + 1] - 3 if i + 1 < len(starts) else len(stream)
        yield stream[start:end].rstrip(b"\x00") if i + 1 < len(starts) else stream[start:end]


def h264_clip(name: str):
    """Parameter sets and access units (4-byte length prefixes) of a test clip, which has an
    access unit delimiter before each picture."""
    with open(os.path.join(CLIPS, name), "rb") as f:
        stream = f.read()
    sets, units, unit = {}, [], None
    for nal in nal_units(stream):
        kind = nal[0] & 0x1F
        if kind == 9:  # access unit delimiter
            if unit:
                units.append(bytes(unit))
            unit = bytearray()
        elif kind in (7, 8):
            sets.setdefault(kind, nal)
        elif unit is not None:
            unit += struct.pack(">I", len(nal)) + nal
    if unit:
        units.append(bytes(unit))
    return [sets[7], sets[8]], units


def jpeg_size(jpeg: bytes):
    """(width, height) from a JPEG's SOF marker."""
    at = 2
    while at < len(jpeg):
        marker, length = jpeg[at + 1], struct.unpack(">H", jpeg[at + 2 : at + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            height, width = struct.unpack(">HH", jpeg[at + 5 : at + 9])
            return width, height
        at += 2 + length
    return None


def row_job(cells: int, cell=(64, 36)) -> Job:
    sets, units = h264_clip("h264_rgb_640x360.h264")
    return Job(codec=Codec.H264, param_sets=sets, fit=cell, cell=cell, frames=units,
               levels=[Level(cells, 1, [k % len(units) for k in range(cells)])])


def stand_in(directory: str, hello: bytes, then: str) -> str:
    """A stand-in daemon: writes `hello` as a frame, then runs the shell commands `then`."""
    path = os.path.join(directory, "daemon")
    frame = struct.pack("<IBI", 5 + len(hello), 1, 0) + hello
    escaped = "".join(f"\\{b:03o}" for b in frame)
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\nprintf '{escaped}'\n{then}\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
    return path


def hello(magic=b"GWRT", proto=1, version=b"stand-in 1.0") -> bytes:
    return magic + struct.pack("<HBBH", proto, 3, 4, len(version)) + version


class AgainstTheDaemon(unittest.TestCase):
    def test_greets_and_runs_a_job(self):
        with Client(DAEMON) as client:
            self.assertEqual(client.version, "gridwright 1.0")
            self.assertEqual(client.max_inflight, 4)
            outcome = client.run(row_job(3))
            self.assertIsInstance(outcome, Result)
            self.assertEqual(len(outcome.jpegs), 1)
            self.assertEqual(jpeg_size(outcome.jpegs[0]), (3 * 64, 36))
            self.assertEqual(client.close(), 0)

    def test_replies_reach_their_own_jobs_from_many_threads(self):
        # Twelve jobs of different widths from three threads, never more than four outstanding:
        # each reply's JPEG has its own job's width, and none is refused as busy.
        with Client(DAEMON) as client:
            outcomes = {}

            def submit_some(first):
                for cells in range(first, 13, 3):
                    outcomes[cells] = client.submit(row_job(cells))

            threads = [threading.Thread(target=submit_some, args=(k,)) for k in (1, 2, 3)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for cells, future in outcomes.items():
                outcome = future.result(60)
                self.assertIsInstance(outcome, Result, f"{cells}: {outcome}")
                self.assertEqual(jpeg_size(outcome.jpegs[0]), (cells * 64, 36))
            self.assertEqual(len(outcomes), 12)
            self.assertEqual(client.close(), 0)

    def test_a_refused_job_is_its_outcome_not_an_exception(self):
        with Client(DAEMON) as client:
            job = row_job(1)
            job.quality = 40
            self.assertEqual(client.run(job), ErrorReply(ErrorCode.BAD_REQUEST, "quality 40"))
            job = row_job(1)
            job.levels = [Level(2, 1, [0, BLACK_CELL])]
            self.assertIsInstance(client.run(job), Result)
            self.assertEqual(client.close(), 0)


class AgainstStandIns(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_a_wrong_greeting_is_refused(self):
        for greeting, reason in ((hello(magic=b"XXXX"), "bad magic"), (hello(proto=2), "bad proto")):
            path = stand_in(self.dir.name, greeting, "exec sleep 5")
            with self.assertRaises(DaemonError) as caught:
                Client(path)
            self.assertEqual(caught.exception.reason, reason)

    def test_death_fails_outstanding_jobs_with_status_and_last_line(self):
        path = stand_in(self.dir.name, hello(),
                        "read -r _; echo 'gridwright: first' >&2; echo 'gridwright: last' >&2; exit 3")
        with Client(path) as client:
            future = client.submit(row_job(1))
            with self.assertRaises(DaemonError) as caught:
                future.result(30)
            self.assertEqual(caught.exception.status, 3)
            self.assertEqual(caught.exception.last_line, "gridwright: last")
            self.assertIn("exit status 3", str(caught.exception))
            # Every later submission fails the same way.
            with self.assertRaises(DaemonError):
                client.submit(row_job(1)).result(30)

    def test_a_daemon_that_cannot_start(self):
        with self.assertRaises(DaemonError) as caught:
            Client(os.path.join(self.dir.name, "missing"))
        self.assertIn("cannot start", str(caught.exception))


if __name__ == "__main__":
    unittest.main(verbosity=2)
