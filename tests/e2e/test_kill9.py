"""Kill -9 at random instants: the daemon runs under a fast clock on one
card and is killed with SIGKILL at a random moment of each run (during the
start-up as well as during the recordings and day switches), then started
again, TK_KILL_ROUNDS times (20 by default, 200 from scripts/reliability.sh,
1000 for the long run of docs/reliability.md).

After every kill the card reader's check passes on the card, and every slot that the daemon had recorded and marked done in
the record time file before that run is still there, byte for byte.
"""

import math
import os
import random
import signal
import time
import unittest

import tkproto
import tkreliability as R
from tkharness import (REQUEST_FIFO, SMALL_SENSORS, DaemonTestCase, epoch_utc, faketime_library_for, utc_text,
                       wait_until)

SPEED = 600
START = "2026-11-21 10:00:00"


def forget_faketime_memory(pid):
    for name in ("faketime_shm_%d" % pid, "sem.faketime_sem_%d" % pid):
        try:
            os.unlink(os.path.join("/dev/shm", name))
        except FileNotFoundError:
            pass


@unittest.skipIf(faketime_library_for() is None, "libfaketime is not installed")
class KillNine(DaemonTestCase):
    def start(self, card, t):
        d = self.daemon(card=card, sensors=SMALL_SENSORS,
                        env={"LD_PRELOAD": faketime_library_for(), "TZ": "UTC0", "FAKETIME_DONT_RESET": "1",
                             "FAKETIME": "@%s x%d" % (utc_text(t), SPEED), **R.preload_env()})
        return d.start()

    def test_random_kills_keep_the_card_sound_and_the_history(self):
        rounds = R.env_int("TK_KILL_ROUNDS", 200 if R.reliability_long() else 20)
        seed = R.env_int("TK_KILL_SEED", int(time.time()))
        rng = random.Random(seed)
        card = os.path.join(self.workdir, "card")
        os.makedirs(card)
        t = epoch_utc(START)
        survived = 0
        late_kills = 0
        for i in range(rounds):
            before = R.snapshot(card)
            t0 = time.monotonic()
            d = self.start(card, t)
            if i == 0:
                # The very first start-up runs to its end: a kill before
                # its first turn is the case of the test below.
                day_key = t - t % tkproto.DAY_SECONDS
                self.assertTrue(wait_until(lambda: tkproto.read_record_time(card) is not None and
                                           tkproto.read_record_time(card)[0] == day_key, 10))
            # Mostly during the running, sometimes in the start-up.
            delay = rng.uniform(0.0, 0.25) if rng.random() < 0.3 else rng.uniform(0.25, 0.8)
            time.sleep(delay)
            alive = d.alive()
            d.signal(signal.SIGKILL)
            rc = d.wait(10)
            killed_at = time.monotonic()
            forget_faketime_memory(d.proc.pid)
            what = "round %d (seed %d, clock %s, %.3f s)" % (i, seed, utc_text(t), delay)
            self.assertTrue(alive, "%s: the daemon ended by itself: %s" % (what, d.log_lines()[-5:]))
            self.assertEqual(rc, -signal.SIGKILL, what)
            self.assertIsNone(R.sanitizer_report(R.read_text(d.stdout)), what)
            if delay >= 0.25:
                late_kills += 1
            after = R.snapshot(card)
            lost = R.lost_history(before, after)
            self.assertEqual(lost, [], "%s: history lost: %s" % (what, lost[:5]))
            t += int(math.ceil((killed_at - t0) * SPEED)) + 1 + rng.randrange(0, 300)
            ok, text = R.check_card(card)
            self.assertTrue(ok, "%s: card check failed:\n%s" % (what, text))
            survived += 1
        days = (t - epoch_utc(START)) / 86400.0
        print("\nkill -9: %d kills survived (%d of them after 0.25 s), %.1f simulated days, seed %d" %
              (survived, late_kills, days, seed))
        # The store holds history at the end.
        rt = tkproto.read_record_time(card)
        self.assertIsNotNone(rt)
        self.assertTrue(any(R.recorded_slots(v) for k, v in R.snapshot(card).items() if k != "RecordTime"))

    def test_restart_after_a_kill_before_the_first_turn_keeps_one_block_per_day(self):
        # A first start-up killed after the store's initialisation but
        # before its first turn leaves the record time file at zero and
        # block 0 of every file taken for today.  The next start must not
        # take a second block for the same day.
        t = epoch_utc(START)
        day_key = t - t % tkproto.DAY_SECONDS
        card = os.path.join(self.workdir, "card")
        record_dir = os.path.join(card, tkproto.RECORD_DIR)
        os.makedirs(os.path.join(record_dir, "DataTime"))
        with open(tkproto.record_time_path(card), "wb") as f:
            f.write(bytes(8))
        names = [s["name"] for s in SMALL_SENSORS] + ["CPU_Utilization", "MEM_Utilization", "IO_Utilization"]
        for name in names:
            data = bytearray(tkproto.SENSOR_FILE_SIZE)
            base = tkproto.FILE_HEAD.size
            tkproto.BLOCK_HEAD.pack_into(data, base, day_key, 0, 0.0, 0.0, 0, 0)
            for s in range(tkproto.SLOTS_PER_DAY):
                tkproto.SLOT.pack_into(data, base + tkproto.BLOCK_HEAD.size + s * tkproto.SLOT.size, 0,
                                       day_key + 300 * s, 0.0, 0.0, 0.0, 0.0)
            with open(os.path.join(record_dir, name), "wb") as f:
                f.write(data)
        d = self.start(card, t)
        self.assertTrue(wait_until(lambda: tkproto.read_record_time(card)[0] == day_key, 10))
        d.signal(signal.SIGKILL)
        d.wait(10)
        forget_faketime_memory(d.proc.pid)
        for name in names:
            keys = [k for k in R.day_keys(R.snapshot(card)[name]) if k != 0]
            self.assertEqual(keys, [day_key], "%s holds the days %s" % (name, keys))
        ok, text = R.check_card(card)
        self.assertTrue(ok, text)


if __name__ == "__main__":
    unittest.main()
