"""A card prepared by someone else: whatever stands where the store's files
and directories belong is only data on the card.  Links are never followed
out of it, nothing on it can make the daemon hang, and files the daemon
does not own are not taken as its own."""

import hashlib
import os
import stat
import subprocess
import unittest

import tkproto as P
from tkharness import RECORD_DIR, RunningClock, epoch_utc

START = epoch_utc("2026-12-04 10:00:00")
SENSOR = os.path.join(RECORD_DIR, "CPU0_Temp")
TIME_DIR = os.path.join(RECORD_DIR, "DataTime")
TIME_FILE = os.path.join(TIME_DIR, "RecordTime")


def as_nobody(*argv):
    subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + list(argv), check=True)


def snapshot(directory):
    """Every entry of directory with a digest of its bytes."""
    found = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if os.path.islink(path) or not os.path.isfile(path):
            found[name] = "not a file"
            continue
        with open(path, "rb") as f:
            found[name] = hashlib.sha256(f.read()).hexdigest()
    return found


def make_dirs(card, rel):
    os.makedirs(os.path.join(card, rel), exist_ok=True)


def link(card, rel, target, make=os.symlink):
    make_dirs(card, os.path.dirname(rel))
    make(target, os.path.join(card, rel))


def plant_fifo(card, victim):
    make_dirs(card, RECORD_DIR)
    os.mkfifo(os.path.join(card, SENSOR))


def plant_foreign_file(card, victim):
    if os.geteuid() != 0:
        raise unittest.SkipTest("plants a file as another user")
    make_dirs(card, RECORD_DIR)
    os.chmod(os.path.join(card, RECORD_DIR), 0o777)
    as_nobody("truncate", "-s", str(P.SENSOR_FILE_SIZE), os.path.join(card, SENSOR))


def plant_plain_file(card, victim):
    make_dirs(card, RECORD_DIR)
    with open(os.path.join(card, TIME_DIR), "wb") as f:
        f.write(b"not a directory")


# (what stands on the card, how it is planted, the entry, the kind and size
# it must have once the store is up)
CASES = [
    ("sensor file links out", lambda card, v: link(card, SENSOR, os.path.join(v, "big")),
     SENSOR, stat.S_ISREG, P.SENSOR_FILE_SIZE),
    ("record time file links out", lambda card, v: link(card, TIME_FILE, os.path.join(v, "small")),
     TIME_FILE, stat.S_ISREG, P.RECORD_TIME.size),
    ("DataRecord links out", lambda card, v: link(card, "DataRecord", v), "DataRecord", stat.S_ISDIR, None),
    ("record directory links out", lambda card, v: link(card, RECORD_DIR, v), RECORD_DIR, stat.S_ISDIR, None),
    ("day-time directory links out", lambda card, v: link(card, TIME_DIR, v), TIME_DIR, stat.S_ISDIR, None),
    ("sensor file is a hard link", lambda card, v: link(card, SENSOR, os.path.join(v, "big"), os.link),
     SENSOR, stat.S_ISREG, P.SENSOR_FILE_SIZE),
    ("sensor file is a FIFO", plant_fifo, SENSOR, stat.S_ISREG, P.SENSOR_FILE_SIZE),
    ("sensor file of another user", plant_foreign_file, SENSOR, stat.S_ISREG, P.SENSOR_FILE_SIZE),
    ("day-time directory is a plain file", plant_plain_file, TIME_DIR, stat.S_ISDIR, None),
]


class HostileCard(P.ServiceTestCase):
    def test_the_card_is_data_never_a_path_elsewhere(self):
        os.chmod(self.workdir, 0o711)  # the planting user reaches the cards
        for n, (what, plant, entry, is_kind, size) in enumerate(CASES):
            with self.subTest(what):
                workdir = os.path.join(self.workdir, str(n))
                victim = os.path.join(workdir, "victim")
                os.makedirs(victim)
                with open(os.path.join(victim, "big"), "wb") as f:
                    f.write((bytes(range(256)) * 300)[:P.SENSOR_FILE_SIZE])
                with open(os.path.join(victim, "small"), "wb") as f:
                    f.write(b"victim!!")
                before = snapshot(victim)
                card = os.path.join(workdir, "card")
                os.makedirs(card)
                plant(card, victim)

                # Ten times faster: the sensor list is built in a second.
                d = self.start_daemon(workdir=workdir, clock=RunningClock(START, 10))
                with P.Client() as c:
                    self.assertEqual(c.count(), 6)
                self.stop_daemon(d)

                self.assertEqual(snapshot(victim), before)
                st = os.lstat(os.path.join(card, entry))
                self.assertTrue(is_kind(st.st_mode), oct(st.st_mode))
                self.assertEqual(st.st_uid, os.geteuid())
                if size is not None:
                    self.assertEqual(st.st_size, size)
