"""Start-up and every stop of the real daemon on the host platform."""

import os
import re
import signal
import struct
import time
import unittest

from tkharness import (DaemonTestCase, PID_FILE, REQUEST_FIFO, RESPONSE_FIFO, is_fifo, pid_alive, read_pid_file,
                       wait_until)


def store_running(d):
    """True once the store thread has finished a turn: the record time file
    holds a slot, so the store is no longer making directories on the card."""
    path = os.path.join(d.card, "DataRecord/SensorHistory/DataTime/RecordTime")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return False
    return len(data) == 8 and struct.unpack("<II", data)[1] != 0


class StartUp(DaemonTestCase):
    def test_banner_fifos_registration_and_pid_file(self):
        d = self.daemon().start()
        self.assertTrue(d.wait_fifos(), "FIFOs not created")
        self.assertTrue(d.wait_logged("P register /usr/local/bin/Trendkeep ZelvarTrendkeep", 5))
        banner = d.logged("Trendkeep Program started!")
        self.assertEqual(len(banner), 1)
        self.assertRegex(banner[0], r"^M 182 \[Trendkeep\]\[\d+\]Trendkeep Program started!$")
        self.assertEqual(wait_until(read_pid_file, 5), d.proc.pid)
        self.assertTrue(d.alive())

    def test_leftovers_at_the_fifo_paths_are_replaced(self):
        os.mkfifo(REQUEST_FIFO)
        with open(RESPONSE_FIFO, "w") as f:
            f.write("an old plain file")
        d = self.daemon().start()
        self.assertTrue(d.wait_logged("P register", 5))
        self.assertTrue(is_fifo(REQUEST_FIFO))
        self.assertTrue(is_fifo(RESPONSE_FIFO))

    def test_a_link_at_a_fifo_path_is_not_followed(self):
        target = os.path.join(self.workdir, "target")
        with open(target, "w") as f:
            f.write("untouched")
        os.symlink(target, REQUEST_FIFO)
        d = self.daemon().start()
        self.assertTrue(d.wait_logged("P register", 5))
        self.assertTrue(is_fifo(REQUEST_FIFO))
        with open(target) as f:
            self.assertEqual(f.read(), "untouched")

    def test_failed_daemonizing_is_logged_and_the_daemon_runs(self):
        d = self.daemon(env={"TRENDKEEP_DAEMON_INIT": "fail"}).start()
        self.assertTrue(d.wait_logged("P register", 5))
        lines = d.logged("Error Daemonizing !!!")
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^M 178 \[Trendkeep\.cpp\]\[\d+\]Error Daemonizing !!!$")
        self.assertEqual(read_pid_file(), d.proc.pid)
        self.assertTrue(d.alive())

    def test_detaches_as_a_daemon(self):
        d = self.daemon(detach=True).start()
        self.assertEqual(d.wait(10), 0)  # the starting process leaves at once
        pid = wait_until(read_pid_file, 5)
        self.assertIsNotNone(pid)
        self.assertNotEqual(pid, d.proc.pid)
        self.assertTrue(d.wait_logged("P register", 5))
        self.assertTrue(pid_alive(pid))
        os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_until(lambda: not pid_alive(pid), 10))
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))


class Stops(DaemonTestCase):
    def test_no_card_exits_2_and_removes_the_fifos(self):
        os.mkfifo(RESPONSE_FIFO)
        d = self.daemon(card=os.path.join(self.workdir, "no-such-card")).start()
        self.assertEqual(d.wait(10), 2)
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertFalse(os.path.lexists(RESPONSE_FIFO))
        lines = d.logged("Check mount path faied!")
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^D 130 \[Trendkeep\.cpp:(\d+)\]\[StoreTrendkeep\]\[Init\]\[\1\]Check mount path faied!$")
        self.assertFalse(d.logged("P register"))

    def test_stop_signal_exits_0_deregistered_fifos_gone(self):
        d = self.daemon().start()
        self.assertTrue(d.wait_logged("P register", 5))
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(10), 0)
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertFalse(os.path.lexists(RESPONSE_FIFO))
        self.assertEqual(len(d.logged("P deregister /usr/local/bin/Trendkeep")), 1)
        self.assertFalse([l for l in d.log_lines() if l.startswith("D ")])

    def test_interrupt_stops_like_the_monitor(self):
        d = self.daemon().start()
        self.assertTrue(d.wait_logged("P register", 5))
        d.signal(signal.SIGINT)
        self.assertEqual(d.wait(10), 0)
        self.assertEqual(len(d.logged("P deregister")), 1)

    def test_card_pulled_exits_1_within_one_watch_period(self):
        # Ten times faster: the 30-second watch comes every 3 real seconds.
        d = self.daemon(faketime="@2026-12-04 10:00:00 x10").start()
        # Pulled once the store runs (before that, the store's "mkdir -p"
        # would only make the directory again).
        self.assertTrue(wait_until(lambda: store_running(d), 20))
        os.rename(d.card, d.card + ".pulled")
        pulled = time.monotonic()
        self.assertEqual(d.wait(20), 1)
        # One watch period is 3 real seconds here; allow for a slow machine.
        self.assertLess(time.monotonic() - pulled, 3.0 + 5.0)
        lines = d.logged("Check TFCard mount status failed!Program will exit!")
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^M 178 \[Trendkeep\.cpp\]\[\d+\]")
        self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))
        self.assertFalse(os.path.lexists(REQUEST_FIFO))
        self.assertFalse(os.path.lexists(RESPONSE_FIFO))

    def test_refused_registration_one_message_and_the_daemon_runs(self):
        d = self.daemon(env={"TRENDKEEP_PROCMON": "refuse"}, faketime="@2026-12-04 10:00:00 x10").start()
        self.assertTrue(d.wait_fifos())
        self.assertTrue(d.wait_logged("Process Monitor Register Trendkeep fails", 5))
        time.sleep(1)
        self.assertTrue(d.alive())
        self.assertEqual(len(d.logged("Process Monitor Register Trendkeep fails")), 1)
        self.assertFalse(d.logged("P register"))
        # On card loss it still deregisters.
        self.assertTrue(wait_until(lambda: store_running(d), 20))
        os.rename(d.card, d.card + ".pulled")
        self.assertEqual(d.wait(20), 1)
        self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))


if __name__ == "__main__":
    unittest.main()
