"""The tools run as root against what others control: whatever another user
planted at the FIFO paths in /var/tmp, and every byte and name on a card.
Nothing planted is written through or drained, no reading makes a chart
run for ever, no name reaches the terminal raw, and a card's size does not
decide the memory taken."""

import calendar
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import test_tools_card as toolkit
from test_tools_card import CARD, QUERY, run_tool
from tkharness import RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO, DaemonTestCase

KEY = calendar.timegm((2026, 12, 4, 0, 0, 0))  # the tools run with TZ=UTC0
UTC = {"TZ": "UTC0"}
DBL_MAX = sys.float_info.max


def as_nobody(*argv):
    subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + list(argv), check=True)


def write_card(root, files):
    """A card whose files hold the day KEY in block 0: {file name: (header name,
    readings)}, one recorded slot per reading, the first and last reading
    as the day's extremes."""
    rdir = os.path.join(root, RECORD_DIR)
    os.makedirs(os.path.join(rdir, "DataTime"))
    with open(os.path.join(rdir, "DataTime", "RecordTime"), "wb") as f:
        f.write(struct.pack("<II", KEY, KEY + 3600))
    for name, (header, readings) in files.items():
        data = bytearray(toolkit.SENSOR_FILE_SIZE)
        toolkit.FILE_HEAD.pack_into(data, 0, 1, header, 2)
        toolkit.BLOCK_HEAD.pack_into(data, toolkit.block_offset(0), KEY, 1, readings[0], readings[-1], KEY, KEY)
        for s in range(288):
            values = [readings[s]] * 4 if s < len(readings) else [0.0] * 4
            toolkit.SLOT.pack_into(data, toolkit.slot_offset(0, s), int(s < len(readings)), KEY + 300 * s, *values)
        with open(os.path.join(os.fsencode(rdir), os.fsencode(name)), "wb") as f:
            f.write(data)
    return root


OLD_LOCK_FILE = "/var/tmp/trendkeep-query.lock"  # where clients once took turns


class QueryAgainstPlantedPaths(DaemonTestCase):
    """What stands at the FIFO paths may be another user's: the client as
    root refuses it rather than write into it, drain it or create anything
    through it."""

    def test_planted_paths_are_refused(self):
        victim = os.path.join(self.workdir, "victim")
        self.addCleanup(lambda: os.path.lexists(OLD_LOCK_FILE) and os.unlink(OLD_LOCK_FILE))

        def link_to_victim(path):
            return lambda: (os.mkfifo(victim), os.symlink(victim, path))

        # what is planted, the FIFO watched and the bytes it holds (None:
        # the victim must not come to exist), exit status
        cases = [
            ("link at the request path", link_to_victim(REQUEST_FIFO), victim, b"\0", 2),
            ("link at the response path", link_to_victim(RESPONSE_FIFO), victim, b"precious", 2),
            ("another user's FIFO", lambda: as_nobody("mkfifo", REQUEST_FIFO), REQUEST_FIFO, b"\0", 2),
            ("link at the old lock file", lambda: os.symlink(victim, OLD_LOCK_FILE), None, None, 3),
        ]
        for name, plant, watched, held, status in cases:
            with self.subTest(name):
                for path in (REQUEST_FIFO, RESPONSE_FIFO, victim, OLD_LOCK_FILE):
                    if os.path.lexists(path):
                        os.unlink(path)
                plant()
                for path in (REQUEST_FIFO, RESPONSE_FIFO):
                    if not os.path.lexists(path):
                        os.mkfifo(path)
                if watched:
                    fd = os.open(watched, os.O_RDWR | os.O_NONBLOCK)
                    self.addCleanup(os.close, fd)
                    os.write(fd, held)
                r = run_tool(QUERY, "count", "--timeout", "0.5", timeout=20)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                if status == 2:
                    self.assertIn("refusing", r.stderr)
                if watched:
                    self.assertEqual(os.read(fd, 4096), held, "the planted FIFO was written or drained")
                else:
                    self.assertFalse(os.path.lexists(victim), "a file was created through the link")


class HostileCards(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tk-hostile-tools-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def card(self, files):
        return write_card(os.path.join(tempfile.mkdtemp(dir=self.tmp), "card"), files)

    def test_charts_end_on_any_reading(self):
        cases = {
            "greatest double": [DBL_MAX, 1.0],
            "least double": [-DBL_MAX, 1.0],
            "both ends": [-DBL_MAX, DBL_MAX],
            "1.6e308 beside zero": [1.6e308, 0.0],
            "-1.7e308 alone": [-1.7e308],
            "beside infinities and NaN": [1.7e308, float("inf"), float("-inf"), float("nan"), 5e-324],
        }
        for name, readings in cases.items():
            with self.subTest(name):
                page = os.path.join(self.tmp, "report.html")
                r = run_tool(CARD, "report", self.card({"Odd": (b"Odd", readings)}), "-o", page, env=UTC, timeout=20)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertLess(os.path.getsize(page), 256 * 1024)
                with open(page) as f:
                    svg = f.read().split("<svg", 1)[1]
                self.assertEqual(re.findall(r'="[^"]*(?:nan|inf)[^"]*"', svg), [], "coordinates that are not finite")

    def test_names_are_printed_escaped(self):
        name = "Fan\x1b[2J\x07\xe9"
        card = self.card({name: (os.fsencode(name + "!"), [1.0])})  # the header disagrees: check names both
        for command in ("list", "check", "dump"):
            with self.subTest(command):
                r = subprocess.run([CARD, command, card], capture_output=True, env=dict(os.environ, **UTC), timeout=20)
                out = r.stdout + r.stderr
                self.assertEqual([c for c in out if c < 0x20 and c != 0x0A or c >= 0x7F], [], out)
                self.assertIn(b"Fan\\x1B[2J\\x07\\xC3\\xA9!", out)

    def test_memory_stays_small_on_a_card_of_many_files(self):
        card = self.card({})
        for i in range(2000):
            with open(os.path.join(card, RECORD_DIR, "f%04d" % i), "wb") as f:
                f.write(b"tiny")
        measure = ("import resource, subprocess, sys\n"
                   "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
                   "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        for command in ("check", "list", "dump", "report"):
            with self.subTest(command):
                argv = [CARD, command, card] + (["-o", os.path.join(self.tmp, "r.html")] if command == "report" else [])
                kib = subprocess.run([sys.executable, "-c", measure] + argv, capture_output=True, text=True,
                                     env=dict(os.environ, **UTC), timeout=60).stdout
                self.assertLess(int(kib), 64 * 1024, "peak RSS of trendkeep-card %s, KiB" % command)


if __name__ == "__main__":
    unittest.main()
