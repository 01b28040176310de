"""Runs the real Trendkeep binary on the host platform for end-to-end tests.

Each test gets a temporary directory that stands for the TF card, a log file
and, where time must pass quickly, libfaketime.  The daemon's FIFOs and pid
file live at fixed paths in /var/tmp, so these tests never run side by side
(CTest holds one resource lock for all of them).
"""

import glob
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("TK_BIN_DIR", os.path.join(HERE, "..", "..", "build", "bin"))
DAEMON = os.path.join(BIN_DIR, "Trendkeep")

REQUEST_FIFO = "/var/tmp/pipe_restful_to_cups"
RESPONSE_FIFO = "/var/tmp/pipe_cups_to_restful"
PID_FILE = "/var/tmp/Trendkeep"
RECORD_DIR = "DataRecord/SensorHistory"


def faketime_library():
    """Path of the thread-safe libfaketime, or None when it is missing."""
    for pattern in ("/usr/lib/*/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1"):
        found = glob.glob(pattern)
        if found:
            return found[0]
    return None


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it holds; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def remove_fixed_paths():
    for path in (REQUEST_FIFO, RESPONSE_FIFO):
        if os.path.lexists(path):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)


def is_fifo(path):
    import stat
    try:
        return stat.S_ISFIFO(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def sensor_file(path, sensors, **extra):
    """Writes a host platform sensor file."""
    doc = dict(extra)
    doc["sensors"] = sensors
    with open(path, "w") as f:
        json.dump(doc, f)
    return path


SMALL_SENSORS = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": 45.5},
    {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": 5400},
    {"num": 3, "name": "PSU_In_Power", "devid": 0x8001, "reading": 320.0},
]


class Daemon:
    """One run of the daemon in the foreground, with its own card and log."""

    def __init__(self, workdir, card=None, sensors=SMALL_SENSORS, faketime=None, env=None, detach=False,
                 sensor_doc=None):
        self.workdir = workdir
        self.card = card if card is not None else os.path.join(workdir, "card")
        os.makedirs(self.card, exist_ok=True) if card is None else None
        self.log = os.path.join(workdir, "trendkeep.log")
        self.stdout = os.path.join(workdir, "stdout.txt")
        self.env = dict(os.environ)
        self.env.update({"TRENDKEEP_CARD": self.card, "TRENDKEEP_LOG": self.log})
        if not detach:
            self.env["TRENDKEEP_FOREGROUND"] = "1"
        if sensors is not None:
            path = os.path.join(workdir, "sensors.json")
            sensor_file(path, sensors, **(sensor_doc or {}))
            self.env["TRENDKEEP_SENSORS"] = path
        if faketime:
            lib = faketime_library()
            if lib is None:
                raise unittest.SkipTest("libfaketime is not installed")
            self.env["LD_PRELOAD"] = lib
            self.env["FAKETIME"] = faketime
            self.env["FAKETIME_DONT_RESET"] = "1"
        if env:
            for key, value in env.items():
                if value is None:
                    self.env.pop(key, None)
                else:
                    self.env[key] = value
        self.proc = None

    def start(self):
        with open(self.stdout, "ab") as out:
            self.proc = subprocess.Popen([DAEMON], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        return self

    def wait(self, timeout):
        """Exit status of the run (negative: killed by that signal)."""
        return self.proc.wait(timeout=timeout)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def signal(self, signum):
        self.proc.send_signal(signum)

    def stop(self):
        if self.alive():
            self.proc.kill()
            self.proc.wait()

    def log_lines(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def logged(self, text):
        return [line for line in self.log_lines() if text in line]

    def wait_logged(self, text, timeout):
        return wait_until(lambda: self.logged(text), timeout)

    def wait_fifos(self, timeout=10):
        return wait_until(lambda: is_fifo(REQUEST_FIFO) and is_fifo(RESPONSE_FIFO), timeout)


class DaemonTestCase(unittest.TestCase):
    """Gives each test a work directory and makes sure no daemon outlives it."""

    def setUp(self):
        if not os.access(DAEMON, os.X_OK):
            self.fail("daemon not built at %s" % DAEMON)
        self.workdir = tempfile.mkdtemp(prefix="trendkeep-e2e-")
        self.daemons = []
        remove_fixed_paths()

    def tearDown(self):
        for d in self.daemons:
            d.stop()
        remove_fixed_paths()
        keep = os.environ.get("TK_KEEP_WORKDIR")
        if not keep:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def daemon(self, **kwargs):
        d = Daemon(self.workdir, **kwargs)
        self.daemons.append(d)
        return d


def read_pid_file():
    try:
        with open(PID_FILE) as f:
            return int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return None


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
