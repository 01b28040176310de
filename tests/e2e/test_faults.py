"""Injected faults: every system call that the daemon and its platform make
can fail (libtkfault, tests/fault), and the daemon must never crash, must
end with the exit status and the message its design gives, and must keep
every slot of history that it had flushed.

The walk: for each of the main calls (open, ftruncate, mmap, msync, write,
read, select, popen), the N-th call fails once, for N over the calls of the
start-up (on a card with history, and on an empty card) and of a window of
running under a fast clock that holds a midnight, recordings, refreshes
and requests.  Without TK_RELIABILITY=1 a few N per call are walked; with
it (scripts/reliability.sh) up to TK_FAULT_POINTS per call and phase
(default 6), chosen evenly; TK_FAULT_POINTS=0 walks every N (see
docs/reliability.md for what that costs).
"""

import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import tkproto
import tkreliability as R
from tkharness import (DAEMON, REQUEST_FIFO, RESPONSE_FIFO, SMALL_SENSORS, Daemon, DaemonTestCase,
                       faketime_library_for, utc_text, wait_until)

MAIN_CALLS = ("open", "ftruncate", "mmap", "msync", "write", "read", "select", "popen")
ERRNO_FOR = {"popen": "ENOMEM", "mmap": "ENOMEM", "select": "EINTR", "write": "ENOSPC"}

# Messages with which the design ends the process, by exit status.
EXIT_MESSAGES = {
    1: ("Init sensor data list failed", "Init sensor data to db list failed", "Error opening named pipe",
        "TF card free size not enough", "Check TFCard mount status failed"),
    2: ("Check mount path faied", "Error while creating Zelvar trendkeep"),
}

SPEED = 2000          # the fast clock of the walk
HISTORY_START = tkproto.DAY_SECONDS * 20777 + 22 * 3600 + 1800   # 2026-11-21 22:30 UTC
HISTORY_END = HISTORY_START + 2 * 3600                           # 00:30 the next day
SENSORS = SMALL_SENSORS


def faketime_env(start, speed=SPEED):
    lib = faketime_library_for()
    if lib is None:
        raise unittest.SkipTest("libfaketime is not installed")
    return lib, {"FAKETIME": "@%s x%d" % (utc_text(start), speed), "FAKETIME_DONT_RESET": "1", "TZ": "UTC0"}


def forget_faketime_memory(pid):
    for name in ("faketime_shm_%d" % pid, "sem.faketime_sem_%d" % pid):
        try:
            os.unlink(os.path.join("/dev/shm", name))
        except FileNotFoundError:
            pass


def started_up(card, day_key):
    """The store has run its first turn: the record time file names today."""
    rt = tkproto.read_record_time(card)
    return rt is not None and rt[0] == day_key


def pick_points(count, first=1, limit=None):
    """The N to walk among first..count: all of them, or limit of them spread
    evenly (the first and the last always among them)."""
    points = list(range(first, count + 1))
    if limit is None or limit <= 0 or len(points) <= limit:
        return points
    if limit == 1:
        return [points[0]]
    step = (len(points) - 1) / (limit - 1)
    return sorted({points[round(i * step)] for i in range(limit)})


class FaultInjector(unittest.TestCase):
    """libtkfault itself: the N-th call fails, once or from then on, counted
    per call and per path, with counts written at exit and the children of
    the process left alone."""

    def run_selftest(self, rule, how="exit"):
        work = tempfile.mkdtemp(prefix="tkfault-")
        self.addCleanup(shutil.rmtree, work, True)
        env = dict(os.environ)
        env.pop("TK_FAULT_ACTIVE_PID", None)
        env.update({"LD_PRELOAD": R.fault_library(), "TK_FAULT": rule,
                    "TK_FAULT_COUNT": os.path.join(work, "counts"), "TK_FAULT_LOG": os.path.join(work, "log")})
        proc = subprocess.run([R.fault_selftest(), work, how], env=env, capture_output=True, text=True, timeout=60)
        results = {}
        children = {}
        for line in proc.stdout.splitlines():
            parts = line.split()
            if parts[0] == "child":
                children[int(parts[1])] = parts[2]
            else:
                results[(parts[0], int(parts[1]))] = (int(parts[2]), int(parts[3]))
        return proc, results, children, R.read_counts(os.path.join(work, "counts")), \
            R.read_fault_log(os.path.join(work, "log"))

    def test_nth_call_fails_once(self):
        proc, res, _, counts, fired = self.run_selftest("msync:2:EIO:once")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual([res[("msync", i)] for i in (1, 2, 3)], [(0, 0), (-1, 5), (0, 0)])
        self.assertEqual(counts["msync"], 3)
        self.assertEqual(len(fired), 1)
        self.assertEqual(fired[0][:3], ("msync", 2, 5))
        self.assertTrue(fired[0][4].endswith("file-a"), fired)

    def test_always_fails_from_the_nth_call_on(self):
        _, res, _, _, _ = self.run_selftest("write:2:ENOSPC:always")
        self.assertEqual([res[("write", i)][0] for i in (1, 2, 3)], [0, -1, -1])
        self.assertEqual(res[("write", 3)][1], 28)

    def test_every_main_call_can_fail(self):
        calls = ("open", "openat", "ftruncate", "mmap", "msync", "write", "read", "select", "popen", "mkfifo",
                 "opendir", "fstat", "stat", "lstat", "access", "statvfs")
        rule = ",".join("%s:3:EIO" % c for c in calls)
        proc, res, _, counts, fired = self.run_selftest(rule)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for c in calls:
            self.assertEqual(res[(c, 3)], (-1, 5), c)
            self.assertEqual(res[(c, 2)], (0, 0), c)
        self.assertEqual(len(fired), len(calls))

    def test_path_filter_counts_only_matching_calls(self):
        _, res, _, _, _ = self.run_selftest("open@file-b:2:EACCES")
        self.assertEqual([res[("open", i)][0] for i in (1, 2, 3)], [0, 0, 0])
        self.assertEqual([res[("open-b", i)] for i in (1, 2, 3)], [(0, 0), (-1, 13), (0, 0)])

    def test_children_of_the_process_are_not_faulted(self):
        _, res, children, _, _ = self.run_selftest("popen:1:EMFILE,open@file-b:1:EIO:always")
        self.assertEqual(res[("popen", 1)], (-1, 24))
        self.assertEqual(res[("open-b", 1)], (-1, 5))
        self.assertEqual(children, {2: "child-ok", 3: "child-ok"})

    def test_counts_written_at_underscore_exit(self):
        _, _, _, counts, _ = self.run_selftest("", how="_exit")
        self.assertEqual(counts.get("select"), 3)
        self.assertEqual(counts.get("popen"), 3)

    def test_bad_configuration_is_refused(self):
        proc, _, _, _, _ = self.run_selftest("msync:zero:EIO")
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("bad TK_FAULT", proc.stderr)


class FaultRun:
    """One run of the daemon on a card, with a fault and a fast clock."""

    def __init__(self, test, card, start, rule, requests=True, until=None, speed=SPEED):
        self.test = test
        self.card = card
        self.start_time = start
        self.work = tempfile.mkdtemp(prefix="tkfault-run-", dir=test.workdir)
        self.count_file = os.path.join(self.work, "counts")
        self.fault_log = os.path.join(self.work, "fired")
        lib, ft = faketime_env(start, speed)
        env = R.fault_env(rule, self.count_file, self.fault_log, lib, DAEMON)
        env.update(ft)
        self.daemon = Daemon(self.work, card=card, sensors=SENSORS, env=env)
        test.daemons.append(self.daemon)
        self.requests = requests
        self.until = until
        self.speed = speed

    def run(self, stop_when_fired=False, real_limit=20.0):
        d = self.daemon
        t0 = time.monotonic()
        d.start()
        day_key = (self.start_time // tkproto.DAY_SECONDS) * tkproto.DAY_SECONDS
        wait_until(lambda: not d.alive() or started_up(self.card, day_key), 10)
        if self.requests and d.alive() and os.path.exists(REQUEST_FIFO):
            self.ask()
        end_real = t0 + (self.until - self.start_time) / self.speed if self.until else t0 + 0.3
        end_real = min(end_real, t0 + real_limit)
        while d.alive() and time.monotonic() < end_real:
            if stop_when_fired and self.fired():
                # Let it go on for two more recordings after the fault.
                time.sleep(2 * 300.0 / self.speed + 0.1)
                break
            time.sleep(0.02)
        if d.alive():
            d.signal(signal.SIGTERM)
        try:
            self.rc = d.wait(15)
        except subprocess.TimeoutExpired:
            d.stop()
            self.rc = "hung"
        forget_faketime_memory(d.proc.pid)
        return self

    def ask(self):
        try:
            with tkproto.Client() as c:
                c.send(tkproto.count_request())
                c.receive(4, timeout=0.5)
                c.send(tkproto.data_request(self.start_time, 1))
                c.receive(tkproto.DATA_RESPONSE_SIZE, timeout=0.5)
                c.send(tkproto.list_request())
                c.receive(6 * 23, timeout=0.5)
        except (OSError, TimeoutError):
            pass

    def fired(self):
        return R.read_fault_log(self.fault_log)

    def counts(self):
        return R.read_counts(self.count_file)

    def log(self):
        return R.read_text(self.daemon.log)

    def stdout(self):
        return R.read_text(self.daemon.stdout)


def judge(run, card_before=None):
    """What is wrong with the run by the design, as a list of texts."""
    wrong = []
    log = run.log()
    out = run.stdout()
    report = R.sanitizer_report(out)
    if report:
        wrong.append("sanitizer report:\n" + report)
    rc = run.rc
    if rc == "hung":
        wrong.append("did not stop within 15 s of SIGTERM")
    elif rc < 0:
        wrong.append("died by signal %d" % -rc)
    elif rc not in (0, 1, 2):
        wrong.append("exit status %d" % rc)
    elif rc in EXIT_MESSAGES and not any(m in log for m in EXIT_MESSAGES[rc]):
        wrong.append("exit status %d without its message" % rc)
    for call, n, err, caller, what in run.fired():
        wrong += expect_for_fault(call, what, rc, log, out)
    if card_before is not None and rc != "hung":
        lost = R.lost_history(card_before, R.snapshot(run.card))
        if lost:
            wrong.append("history lost: " + "; ".join(lost[:5]))
    return wrong


def expect_for_fault(call, what, rc, log, out):
    """The design's answer to one failed call."""
    base = os.path.basename(what)
    store_file = tkproto.RECORD_DIR in what
    if call == "msync":
        if "falied while init" in log or "Update mem to file falied" in log:
            return [] if rc == 1 else ["flush failed at start-up but exit status %s" % rc]
        if "Update mem to file failed" in log or "Update record day time to file failed" in log:
            return [] if rc in (0, 1) else ["flush failure logged, exit status %s" % rc]
        return ["msync of %s failed without a message" % what]
    if call == "mmap" and store_file:
        msg = "Mmap record time file failed" if base == "RecordTime" else "Mmap failed,index"
        return [] if msg in log and rc == 1 else ["mmap of %s failed: want %r and status 1, got %s" % (what, msg, rc)]
    if call in ("open", "openat"):
        if what in (REQUEST_FIFO, RESPONSE_FIFO):
            return [] if "Error opening named pipe" in log and rc == 1 else ["FIFO open failed, status %s" % rc]
        if store_file:
            msg = "Open record time file failed" if base == "RecordTime" else "Create sensor data file"
            return [] if msg in log and rc == 1 else ["open of %s failed: want %r and status 1, got %s" %
                                                      (what, msg, rc)]
        if what.endswith("sensors.json"):
            if rc == 1:
                return [] if "Init sensor data list failed" in log else ["sensor file unread, status 1 unexplained"]
            seen = ("Create local ipmi session failed" in log or "Get Cpu cups failed" in log or
                    "Get sensor devid from redis failed" in out)
            return [] if seen else ["sensor file unread without a message"]
    if call == "popen":
        return [] if rc == 1 and "Open record time file failed" in log else ["mkdir not run, status %s" % rc]
    if call == "write" and what in (RESPONSE_FIFO,):
        return [] if "Write Sensor" in log else ["response write failed without a message"]
    return []


SANITIZED = R.daemon_is_sanitized(DAEMON)


@unittest.skipIf(faketime_library_for() is None, "libfaketime is not installed")
@unittest.skipIf(SANITIZED, "a sanitized daemon does not run reliably with libtkfault and libfaketime preloaded")
class FaultWalk(DaemonTestCase):
    """The walk over N for every main call, as the module text says."""

    @classmethod
    def setUpClass(cls):
        cls.points = R.env_int("TK_FAULT_POINTS", 6) if R.reliability_long() else 3
        cls.window_hours = R.env_int("TK_FAULT_WINDOW_HOURS", 2)
        cls.walked = 0

    def history_card(self):
        """A card with a day and a half hour of history from a clean run."""
        card = os.path.join(self.workdir, "history")
        os.makedirs(card)
        run = FaultRun(self, card, HISTORY_START, "", requests=False, until=HISTORY_END).run()
        self.assertEqual(run.rc, 0, run.log())
        return card

    def fresh_card(self, src, name):
        card = os.path.join(self.workdir, name)
        if src:
            shutil.copytree(src, card)
        else:
            os.makedirs(card)
        return card

    def walk(self, src_card, start, phase, calls, first_counts, until=None):
        """Walks N for each call; returns the failures."""
        failures = []
        for call in calls:
            lo = first_counts.get(("lo", call), 0) + 1
            hi = first_counts.get(call, 0)
            for n in pick_points(hi, lo, self.points):
                card = self.fresh_card(src_card, "walk-%s-%s-%d" % (phase, call, n))
                before = R.snapshot(card)
                rule = "%s:%d:%s:once" % (call, n, ERRNO_FOR.get(call, "EIO"))
                run = FaultRun(self, card, start, rule, until=until).run(stop_when_fired=until is not None)
                type(self).walked += 1
                wrong = judge(run, before)
                if wrong:
                    failures.append("%s %s: %s\n  fired: %s\n  log tail: %s" % (
                        phase, rule, "; ".join(wrong), run.fired(), run.log()[-600:]))
                shutil.rmtree(card, ignore_errors=True)
        return failures

    def startup_counts(self, src_card, start):
        card = self.fresh_card(src_card, "count-startup")
        run = FaultRun(self, card, start, "").run()
        self.assertEqual(run.rc, 0, run.log())
        shutil.rmtree(card, ignore_errors=True)
        return run.counts()

    def test_start_up_on_a_card_with_history(self):
        history = self.history_card()
        start = HISTORY_END + 600
        counts = self.startup_counts(history, start)
        failures = self.walk(history, start, "start-up", MAIN_CALLS, counts)
        print("\nfault walk, start-up on a card with history: calls %s; %d runs" %
              ({c: counts.get(c, 0) for c in MAIN_CALLS}, type(self).walked))
        self.assertEqual(failures, [], "\n".join(failures))

    def test_start_up_on_an_empty_card(self):
        start = HISTORY_START
        counts = self.startup_counts(None, start)
        calls = [c for c in MAIN_CALLS if c not in ("read", "select")]
        failures = self.walk(None, start, "empty-card", calls, counts)
        print("\nfault walk, start-up on an empty card: calls %s" % {c: counts.get(c, 0) for c in calls})
        self.assertEqual(failures, [], "\n".join(failures))

    def test_running_over_midnight(self):
        history = self.history_card()
        # From one hour before midnight on, over the day switch.
        start = HISTORY_END + 22 * 3600 + 1800
        until = start + self.window_hours * 3600
        startup = self.startup_counts(history, start)
        card = self.fresh_card(history, "count-window")
        run = FaultRun(self, card, start, "", until=until).run(real_limit=60)
        self.assertEqual(run.rc, 0, run.log())
        counts = run.counts()
        shutil.rmtree(card, ignore_errors=True)
        calls = [c for c in MAIN_CALLS if counts.get(c, 0) > startup.get(c, 0)]
        walk_counts = dict(counts)
        for c in calls:
            walk_counts[("lo", c)] = startup.get(c, 0)
        failures = self.walk(history, start, "running", calls, walk_counts, until=until)
        print("\nfault walk, %d hours of running: calls %s (start-up %s)" %
              (self.window_hours, {c: counts.get(c, 0) for c in calls}, {c: startup.get(c, 0) for c in calls}))
        self.assertEqual(failures, [], "\n".join(failures))


@unittest.skipIf(faketime_library_for() is None, "libfaketime is not installed")
@unittest.skipIf(SANITIZED, "a sanitized daemon does not run reliably with libtkfault and libfaketime preloaded")
class FailingCard(DaemonTestCase):
    """A card that goes away or stops taking writes while the store records."""

    def test_card_removed_while_recording_exits_1_without_crash(self):
        start = HISTORY_START
        card = os.path.join(self.workdir, "card")
        os.makedirs(card)
        speed = 300
        run = FaultRun(self, card, start, "", requests=False, speed=speed)
        d = run.daemon
        d.start()
        day_key = (start // tkproto.DAY_SECONDS) * tkproto.DAY_SECONDS
        self.assertTrue(wait_until(lambda: started_up(card, day_key), 10), d.log_lines())
        # Gone in the middle of the recordings: a few five-minute slots on.
        first = tkproto.read_record_time(card)[1]
        self.assertTrue(wait_until(lambda: tkproto.read_record_time(card)[1] >= first + 600, 20))
        shutil.rmtree(card)
        self.assertEqual(d.wait(20), 1)
        self.assertIsNone(R.sanitizer_report(run.stdout()), run.stdout())
        self.assertTrue(d.logged("Check TFCard mount status failed!Program will exit!"))
        self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertFalse(os.path.lexists(RESPONSE_FIFO))

    def test_flushes_failing_with_eio_are_logged_and_the_card_check_ends_it(self):
        start = HISTORY_START
        card = os.path.join(self.workdir, "card")
        os.makedirs(card)
        sensors = len(SENSORS) + 3
        # The start-up flushes the record time file and every sensor data
        # file once; from the first flush after it on, every flush fails.
        # Later the card check fails too (statvfs), as on a card that died.
        rule = "msync:%d:EIO:always,statvfs:40:EIO:always" % (sensors + 2)
        run = FaultRun(self, card, start, rule, requests=False, speed=300)
        d = run.daemon
        d.start()
        self.assertEqual(d.wait(30), 1, d.log_lines()[-10:])
        self.assertIsNone(R.sanitizer_report(run.stdout()), run.stdout())
        failed = d.logged("Update mem to file failed")
        self.assertGreaterEqual(len(failed), sensors, d.log_lines()[-10:])
        for i in range(sensors):
            self.assertTrue([l for l in failed if ",index:%d," % i in l], i)
        self.assertTrue(d.logged("Update record day time to file failed"))
        self.assertFalse(d.logged("falied while init"))
        self.assertEqual(len(d.logged("Check TFCard mount status failed!Program will exit!")), 1)
        self.assertFalse(os.path.lexists(REQUEST_FIFO))

    def test_new_store_file_whose_length_cannot_be_set_does_not_crash(self):
        # On an empty card the store creates its files and sets their
        # length; when that fails, the file stays empty, and touching its
        # mapping must not kill the daemon (SIGBUS): the start-up fails with
        # its message and status 1, or the daemon runs.
        for rule in ("ftruncate@RecordTime:1:EIO:once", "ftruncate@CPU0_Temp:1:EIO:once"):
            with self.subTest(rule=rule):
                card = os.path.join(self.workdir, "card-" + rule.split(":")[0].split("@")[1])
                os.makedirs(card)
                run = FaultRun(self, card, HISTORY_START, rule, requests=False).run()
                self.assertTrue(run.fired(), "the fault did not fire")
                self.assertNotEqual(run.rc, -signal.SIGBUS, "killed by SIGBUS:\n" + run.log()[-800:])
                self.assertEqual(judge(run), [])


if __name__ == "__main__":
    unittest.main()
