"""Local users and peers that attack or stall the real daemon: entries that
another user plants at its fixed paths in /var/tmp, a requester that trickles
a record a byte at a time, an IPMI controller that hangs, and a store file cut
short under the daemon's mapping."""

import os
import signal
import stat
import subprocess
import threading
import time
import unittest

import tkproto as P
from tkharness import (PID_FILE, REQUEST_FIFO, RESPONSE_FIFO, SMALL_SENSORS, ClockFile, RunningClock, read_pid_file,
                       remove_fixed_paths, wait_until)

SMALL_COUNT = len(SMALL_SENSORS) + 3
# Twenty times faster than real time: the start, with its ten-second pause
# after the sensor count, takes a second or so.
FAST = "2026-12-04 10:00:00"


def as_nobody(*argv):
    subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + list(argv), check=True)


def remove_pid_file():
    if os.path.lexists(PID_FILE):
        os.unlink(PID_FILE)


@unittest.skipUnless(os.geteuid() == 0, "plants entries as another user")
class PlantedEntries(P.ServiceTestCase):
    def setUp(self):
        super().setUp()
        remove_pid_file()
        self.addCleanup(remove_pid_file)

    def test_what_another_user_plants_at_the_fixed_paths_is_never_used(self):
        victim = os.path.join(self.workdir, "victim")
        plants = {
            "fifo": lambda path: as_nobody("mkfifo", path),
            "link to a victim": lambda path: as_nobody("ln", "-s", victim, path),
            "regular file": lambda path: as_nobody("sh", "-c", 'echo planted > "$0"', path),
        }
        for kind, plant in plants.items():
            with self.subTest(kind):
                with open(victim, "w") as f:
                    f.write("untouched")
                remove_fixed_paths()
                remove_pid_file()
                for path in (REQUEST_FIFO, RESPONSE_FIFO, PID_FILE):
                    plant(path)
                d = self.start_daemon(clock=RunningClock(FAST, 20),
                                      workdir=os.path.join(self.workdir, kind.replace(" ", "-")))
                for path in (REQUEST_FIFO, RESPONSE_FIFO):
                    st = os.lstat(path)
                    self.assertTrue(stat.S_ISFIFO(st.st_mode), path)
                    self.assertEqual(st.st_uid, 0, path)
                with open(victim) as f:
                    self.assertEqual(f.read(), "untouched")
                self.assertEqual(self.client().count(), SMALL_COUNT)
                st = os.lstat(PID_FILE)
                self.assertTrue(stat.S_ISREG(st.st_mode))
                self.assertEqual(st.st_uid, 0)
                self.assertEqual(read_pid_file(), d.proc.pid)
                self.stop_daemon(d)


class SlowPeers(P.ServiceTestCase):
    def assert_stops_within(self, d, seconds):
        signalled = time.monotonic()
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(seconds + 5), 0)
        self.assertLess(time.monotonic() - signalled, seconds)
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertFalse(os.path.lexists(RESPONSE_FIFO))

    def start_trickle(self):
        """Writes a zero byte to the request FIFO every 0.9 s from now on;
        returns the time of the first."""
        fd = os.open(REQUEST_FIFO, os.O_WRONLY | os.O_NONBLOCK)
        done = threading.Event()
        first = time.monotonic()

        def trickle():
            n = 0
            while not done.wait(max(0.0, first + 0.9 * n - time.monotonic())):
                try:
                    os.write(fd, b"\0")
                except OSError:
                    return  # nobody reads any more
                n += 1

        thread = threading.Thread(target=trickle)
        thread.start()
        self.addCleanup(os.close, fd)
        self.addCleanup(thread.join)
        self.addCleanup(done.set)
        return first, done, thread

    def test_a_requester_trickling_bytes_holds_up_neither_requests_nor_a_stop(self):
        clock = ClockFile(os.path.join(self.workdir, "clock"), "@%s x20" % FAST)
        d = self.start_daemon(clock_file=clock)
        clock.set("@2026-12-04 10:02:00 x1")  # from here on the daemon's clock runs in real time
        time.sleep(0.5)
        c = self.client()
        answer = b""
        for _ in range(3):
            first, done, thread = self.start_trickle()
            # The record begun by the first byte (and its second, at 0.9 s)
            # is dropped a second after it began: a request written before
            # the third byte is read whole.
            time.sleep(max(0.0, first + 1.4 - time.monotonic()))
            answer = c.ask(P.count_request(), 4, timeout=1.0)
            if answer:
                break
            done.set()
            thread.join()
            time.sleep(1.5)  # whatever is left of a record is dropped
        self.assertEqual(P.parse_count(answer), SMALL_COUNT)
        self.assert_stops_within(d, 3)

    def test_a_hung_controller_holds_up_no_stop(self):
        d = self.start_daemon(clock=RunningClock(FAST, 20))
        # The host IPMI library reads the sensor file at every session open:
        # as a FIFO that nobody writes, the next minute's refresh waits in
        # that open, holding the list mutex.
        sensors = d.env["TRENDKEEP_SENSORS"]
        os.unlink(sensors)
        os.mkfifo(sensors)
        c = self.client()
        # A count request then waits for the mutex inside the store's turn.
        self.assertTrue(wait_until(lambda: c.ask(P.count_request(), 4, timeout=1.0) == b"", 20),
                        "the refresh never hung")
        self.assert_stops_within(d, 3)


class CutStoreFiles(P.ServiceTestCase):
    def test_a_store_file_cut_short_under_the_daemon_stops_it_as_a_lost_card(self):
        # A data request reads the header of every sensor data file; the
        # record time file is read at every turn.
        cases = {
            "sensor data file": (lambda card: P.sensor_path(card, "CPU0_Temp"), True),
            "record time file": (P.record_time_path, False),
        }
        for name, (path_of, ask) in cases.items():
            with self.subTest(name):
                d = self.start_daemon(clock=RunningClock(FAST, 20),
                                      workdir=os.path.join(self.workdir, name.replace(" ", "-")))
                c = self.client()
                os.truncate(path_of(d.card), 0)
                if ask:
                    c.send(P.data_request(time.time(), 1))
                self.assertEqual(d.wait(10), 1)
                lines = d.logged("Check TFCard mount status failed!Program will exit!")
                self.assertEqual(len(lines), 1)
                self.assertRegex(lines[0], r"^M 178 \[Trendkeep\.cpp\]\[\d+\]")
                self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))
                self.assertFalse(os.path.lexists(REQUEST_FIFO))
                self.assertFalse(os.path.lexists(RESPONSE_FIFO))


if __name__ == "__main__":
    unittest.main()
