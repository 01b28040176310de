"""Runs the real Trendkeep binary on the host platform for end-to-end tests.

Each test gets a temporary directory that stands for the TF card, a log file
and, where time must pass quickly, libfaketime.  The daemon's FIFOs and pid
file live at fixed paths in /var/tmp, so these tests never run side by side
(CTest holds one resource lock for all of them).
"""

import glob
import json
import os
import shlex
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
# TK_DAEMON_WRAPPER: the user-mode QEMU command that runs a daemon built for
# another machine, e.g. "qemu-arm -L /" for the armhf build.  LD_PRELOAD
# (libfaketime) then goes to the emulated daemon through QEMU_SET_ENV, not
# to the emulator itself.
DAEMON_WRAPPER = shlex.split(os.environ.get("TK_DAEMON_WRAPPER", ""))

REQUEST_FIFO = "/var/tmp/pipe_restful_to_cups"
RESPONSE_FIFO = "/var/tmp/pipe_cups_to_restful"
PID_FILE = "/var/tmp/Trendkeep"
RECORD_DIR = "DataRecord/SensorHistory"


def faketime_library():
    """Path of the thread-safe libfaketime built for the daemon's machine,
    or None when it is missing."""
    return faketime_library_for(DAEMON)


def daemon_argv(env):
    """The command line that starts the daemon with the environment env,
    which it adjusts for TK_DAEMON_WRAPPER."""
    if not DAEMON_WRAPPER:
        return [DAEMON]
    preload = env.pop("LD_PRELOAD", None)
    if preload:
        env["QEMU_SET_ENV"] = "LD_PRELOAD=" + preload
    return DAEMON_WRAPPER + [DAEMON]


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it holds; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def remove_stale_faketime_segments():
    """libfaketime leaves a shared memory segment and a semaphore per process
    in /dev/shm; a daemon killed with SIGKILL never removes them, and a later
    process that gets the same pid then fails to start.  Removes those of
    processes that are gone."""
    for path in glob.glob("/dev/shm/faketime_shm_*") + glob.glob("/dev/shm/sem.faketime_sem_*"):
        try:
            pid = int(path.rsplit("_", 1)[1])
        except ValueError:
            continue
        if not pid_alive(pid):
            try:
                os.unlink(path)
            except OSError:
                pass


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
        if "LD_PRELOAD" in self.env or (env and env.get("LD_PRELOAD")):
            # A sanitized daemon must accept a preloaded library ahead of
            # its runtime.
            options = self.env.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"
        if env:
            for key, value in env.items():
                if value is None:
                    self.env.pop(key, None)
                else:
                    self.env[key] = value
        self.proc = None

    def start(self):
        env = dict(self.env)
        argv = daemon_argv(env)
        with open(self.stdout, "ab") as out:
            self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
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
        remove_stale_faketime_segments()

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


# ---------------------------------------------------------------------------
# The daemon's clock under libfaketime, as seen from the test

def epoch_utc(text):
    """Epoch seconds of "YYYY-MM-DD hh:mm:ss" read as UTC (the tests run the
    daemon with TZ=UTC0)."""
    import calendar
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def utc_text(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


def _elf_kind(path):
    """(class, machine) of an ELF file, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return head[4], struct.unpack_from("<H", head, 18)[0]


def faketime_library_for(binary=None):
    """The thread-safe libfaketime built for the machine of binary (the
    daemon by default): a host with a cross build may hold one per
    architecture, and the loader ignores one of the wrong kind."""
    want = _elf_kind(binary or DAEMON)
    candidates = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1") +
                        glob.glob("/usr/lib/faketime/libfaketimeMT.so.1"))
    for path in candidates:
        if want is None or _elf_kind(path) == want:
            return path
    return None


class RunningClock:
    """A clock that starts at a given time when the daemon starts and runs
    speed times faster than real time ("@start xN" for libfaketime).

    The test's estimate of the daemon's time starts when started() is called,
    just before the daemon is started, so it runs a little ahead of the
    daemon's own (by the daemon's start-up time, times speed)."""

    def __init__(self, start, speed):
        self.start = epoch_utc(start) if isinstance(start, str) else start
        self.speed = speed
        self.t0 = None

    def faketime(self):
        return "@%s x%s" % (utc_text(self.start), self.speed)

    def started(self):
        self.t0 = time.monotonic()

    def now(self):
        return self.start + (time.monotonic() - self.t0) * self.speed


class ClockFile:
    """A daemon clock that the test sets while the daemon runs, through a
    libfaketime timestamp file that the daemon reads at every clock call.

    "YYYY-MM-DD hh:mm:ss xN" stops the clock at that time (the daemon's
    sleeps and waits still run N times faster); "@YYYY-MM-DD hh:mm:ss xN"
    starts it at that time when the daemon first reads the new setting and
    runs it N times faster from there."""

    def __init__(self, path, rule):
        self.path = path
        self.set(rule)

    def set(self, rule):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            f.write(rule + "\n")
        os.rename(tmp, self.path)

    def freeze(self, t, speed=1):
        self.set("%s x%s" % (utc_text(t), speed))

    def env(self):
        lib = faketime_library_for()
        if lib is None:
            raise unittest.SkipTest("libfaketime is not installed")
        return {"LD_PRELOAD": lib, "FAKETIME": None, "FAKETIME_TIMESTAMP_FILE": self.path,
                "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_RESET": "1"}
