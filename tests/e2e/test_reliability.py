"""The daemon under injected faults (libtkfault) and killed at random instants: it ends only as designed, leaves a
sound card and keeps every flushed slot.  TK_RELIABILITY=1: the long forms (docs/reliability.md)."""

import contextlib, os, random, re, shutil, signal, tempfile, time, unittest

import tkharness as H

LONG = os.environ.get("TK_RELIABILITY") == "1"
SANITIZED = os.path.exists(H.DAEMON) and re.search(rb"__[at]san_init", H.pathlib.Path(H.DAEMON).read_bytes())
TZ = "CET-1CEST,M3.5.0,M10.5.0/3"  # the daemon's zone, with summer time
START, KILL_START = H.epoch_utc("2026-11-20 21:30:00"), H.epoch_utc("2026-10-24 21:30:00")  # 22:30 and 23:30 there
MAIN_CALLS = ("open", "openat", "ftruncate", "mmap", "msync", "write", "read", "select")
ERRNO_FOR = {"mmap": "ENOMEM", "select": "EINTR", "write": "ENOSPC"}
EXIT_MESSAGES = {
    1: ("Init sensor data", "Error opening named pipe", "TF card free size not enough", "Check TFCard mount status"),
    2: ("Check mount path faied", "Error while creating Zelvar trendkeep"),
}
os.environ["TZ"] = TZ  # for the day keys worked out here
time.tzset()


def setting(name, short, long):
    return int(os.environ.get(name) or (long if LONG else short))


def day_key(t):
    """The local midnight of t's day."""
    lt = time.localtime(t)
    return int(time.mktime((lt.tm_year, lt.tm_mon, lt.tm_mday, 0, 0, 0, 0, 0, -1)))


def recorded(card):
    """{(file, day key, slot time): slot} of every recorded slot on card, from the first block of its day."""
    top = os.path.join(card, H.RECORD_DIR)
    found = {}
    for name in sorted(os.listdir(top)) if os.path.isdir(top) else []:
        path = os.path.join(top, name)
        if os.path.islink(path) or not os.path.isfile(path) or os.path.getsize(path) != H.SENSOR_FILE_SIZE:
            continue
        for block in H.read_sensor_file(path).blocks:
            for slot in block.slots:
                if slot.recorded == 1:
                    found.setdefault((name, block.day_key, slot.slot_time), slot)
    return found


def to_keep(card, restart):
    """The slots of card flushed up to its RecordSlot before restart's slot, less the days a set-back clock drops."""
    record_day, record_slot = H.read_record_time(card) or (0, 0)
    keep = {}
    for (name, key, t), slot in recorded(card).items():
        set_back_over = day_key(restart) < record_day and key >= day_key(restart)
        if t <= record_slot and t < restart - restart % 300 and not set_back_over:
            keep[(name, key, t)] = slot
    return keep


def lost(kept, card):
    """The slots of kept that card no longer holds as they were."""
    now = recorded(card)
    return ["%s: the slot of %s" % (at[0], H.utc_text(at[2])) for at, slot in kept.items() if now.get(at) != slot]


def lines(path):
    return H.pathlib.Path(path).read_text().splitlines() if os.path.exists(path) else []


def clock_env(start, speed=None, rule=None):
    """The daemon's zone and a clock from start, speed times faster or standing, and libtkfault with a rule."""
    clock = "@%d x%d" % (start, speed) if speed else "%d" % start
    env = dict(H.faketime_env(clock), FAKETIME_FMT="%s", TZ=TZ)
    if rule is not None:
        env.update(LD_PRELOAD=os.path.join(H.BIN_DIR, "libtkfault.so") + " " + env["LD_PRELOAD"], TK_FAULT=rule)
    return env


@unittest.skipIf(SANITIZED, "a sanitized daemon does not start with libtkfault and libfaketime preloaded")
class Faults(H.DaemonTestCase):
    def fresh(self, src):
        """A card of its own in a work directory of its own: a copy of src, or empty."""
        card = os.path.join(tempfile.mkdtemp(dir=self.workdir), "card")
        if src:
            shutil.copytree(src, card, symlinks=True)
        else:
            os.makedirs(card)
        return card

    def run_faulted(self, card, start, rule="", until=None):
        """Runs the daemon on card from start under rule, asks it, and stops it with SIGTERM once it answered, or at
        until or two recordings after the fault; returns what is wrong by the design, and the call counts."""
        work = os.path.dirname(card)
        counts, fired = os.path.join(work, "counts"), os.path.join(work, "fired")
        kept = to_keep(card, start)
        env = dict(clock_env(start, 2000, rule), TK_FAULT_COUNT=counts, TK_FAULT_LOG=fired)
        d = self.daemon(work, card=card, env=env).start()
        record = lambda: H.read_record_time(card) or (0, 0)  # noqa: E731
        H.wait_until(lambda: not d.alive() or (d.logged("RecordDir Path") and record()[0] == day_key(start)), 10)
        with contextlib.suppress(OSError), H.Client() as c:  # OSError: no FIFOs, the daemon ended
            c.ask(H.COUNT_REQUEST + H.data_request(start, 1) + H.LIST_REQUEST, H.DATA_RESPONSE_SIZE + 142, 1.5)
        if until:
            H.wait_until(lambda: not d.alive() or lines(fired) or record()[1] >= until, 60)
            fired_at = record()[1]
            H.wait_until(lambda: not d.alive() or record()[1] >= fired_at + 600, 10)
        if d.alive():
            d.proc.send_signal(signal.SIGTERM)
        rc = d.wait(1) if H.wait_until(lambda: not d.alive(), 15) else "hung"
        d.stop()
        log = "\n".join(d.log_lines())
        wrong = [] if rc in (0, 1, 2) else ["no stop within 15 s of SIGTERM" if rc == "hung" else "status %s" % rc]
        if rc in EXIT_MESSAGES and not any(message in log for message in EXIT_MESSAGES[rc]):
            wrong.append("status %s without its message" % rc)
        wrong += lost(kept, card) if rc != "hung" else []
        self.fired += bool(lines(fired))
        what = "%s: %s\n  fired %s\n  log ...%s" % (rule, "; ".join(wrong), lines(fired), log[-400:])
        return [what] if wrong else [], {call: int(n) for call, n in map(str.split, lines(counts))}

    def test_walk_every_main_call_failing_once_at_the_nth_call(self):
        points, window = setting("TK_FAULT_POINTS", 3, 6), setting("TK_FAULT_WINDOW_HOURS", 2, 2) * 3600
        history = self.fresh(None)
        self.fired = 0
        self.assertEqual(self.run_faulted(history, START, until=START + 7200)[0], [])  # 22:30 to 00:30 there
        phases = [("start-up on a card with history", history, START + 7800, None)]
        phases.append(("start-up on an empty card", None, START, None))
        phases.append(("running over midnight", history, START + 88200, START + 88200 + window))
        for phase, src, start, until in phases:
            with self.subTest(phase=phase):
                startup = self.run_faulted(self.fresh(src), start)[1]
                counts = self.run_faulted(self.fresh(src), start, until=until)[1] if until else startup
                failures, runs, self.fired = [], 0, 0
                for call in MAIN_CALLS:
                    first, last = startup.get(call, 0) + 1 if until else 1, counts.get(call, 0)
                    # points numbers from first to last, evenly spread with both ends among them (all for 0)
                    every = not points or last - first < points
                    spread = {first + round(i * (last - first) / max(1, points - 1)) for i in range(points)}
                    for n in range(first, last + 1) if every else sorted(spread):
                        rule = "%s:%d:%s" % (call, n, ERRNO_FOR.get(call, "EIO"))
                        failures += self.run_faulted(self.fresh(src), start, rule, until)[0]
                        runs += 1
                calls = {call: counts.get(call, 0) for call in MAIN_CALLS}
                print("\nfault walk, %s: calls %s; %d runs, %d faults fired" % (phase, calls, runs, self.fired))
                self.assertEqual(failures, [], "\n".join(failures))
                self.assertGreater(self.fired, runs / 2, "the faults did not fire")

    def test_every_flush_failing(self):
        """Every flush failing after the start-up's: said for every file, until the card check ends the daemon."""
        files = len(H.SMALL_SENSORS) + len(H.UTILISATION)
        d = self.daemon(env=clock_env(START, 300, "msync:%d:EIO:always,statvfs:40:EIO:always" % (files + 2))).start()
        self.assertEqual(d.wait(30), 1, d.log_lines()[-10:])
        self.assertEqual(len(d.logged("Check TFCard mount status failed!Program will exit!")), 1)
        failed = "\n".join(d.logged("Update mem to file failed"))
        self.assertEqual([",index:%d," % i in failed for i in range(files)], [True] * files)
        self.assertTrue(d.logged("Update record day time to file failed"))


class KillNine(H.DaemonTestCase):
    def answers_match_the_card(self, card, now):
        """No day after now's is held, and every day held is answered as the offline reader dumps it."""
        with H.Client() as c:
            for num in [sensor["num"] for sensor in H.SMALL_SENSORS] + [num for num, _ in H.UTILISATION]:
                days = H.card_days(card, num, TZ)
                self.assertLessEqual(max(days), day_key(now), "a day after the clock's")
                for key, slots in days.items():
                    text = time.strftime("%Y-%m-%dT12:00:00", time.localtime(key))
                    answer = c.ask(H.pack_request(H.SENSOR_DATA_REQ, text, num), H.DATA_RESPONSE_SIZE)
                    shown = [slot for slot in slots if slot.slot_time < now - now % 300]
                    answered = [slot for slot in H.parse_slots(answer, H.DATA_HEAD.size) if slot.recorded]
                    self.assertEqual(answered, shown, "%d on %s" % (num, text))

    def test_random_kills_and_a_clock_set_back_keep_the_card_sound_and_every_flushed_slot(self):
        """Runs from before a midnight, each killed at random and started again where the clock stopped; halfway, the
        clock set back two hours, to the day before."""
        rounds, seed = setting("TK_KILL_ROUNDS", 30, 200), int(os.environ.get("TK_KILL_SEED") or time.time())
        rng, card, t = random.Random(seed), os.path.join(self.workdir, "card"), KILL_START
        os.makedirs(card)
        for i in range(rounds):
            kept, began = to_keep(card, t), time.monotonic()
            d = self.daemon(card=card, env=clock_env(t, 600)).start()
            if i == 0:
                self.wait_record_time(card, lambda day, slot: day == day_key(t))
            # Three in ten during the start-up, the others while it records and switches days.
            delay = rng.uniform(0.0, 0.25) if rng.random() < 0.3 else rng.uniform(0.25, 0.8)
            time.sleep(delay)
            alive = d.alive()
            d.proc.send_signal(signal.SIGKILL)
            d.wait(10)
            H.forget_faketime()
            what = "round %d (seed %d, clock %s, %.3f s)" % (i, seed, time.ctime(t), delay)
            self.assertTrue(alive, "%s: the daemon ended by itself: %s" % (what, d.log_lines()[-5:]))
            self.assertEqual(lost(kept, card), [], what)
            check = H.run_tool(H.CARD, "check", card)
            self.assertEqual(check.returncode, 0, "%s: %s%s" % (what, check.stdout, check.stderr))
            t += int((time.monotonic() - began) * 600) + 1 + rng.randrange(300)
            if i == rounds // 2:
                t -= 7200
        # A last run, on a clock standing at the next boundary, answers every day as the card holds it.
        t += 300 - t % 300
        d = self.daemon(card=card, env=clock_env(t)).start()
        self.wait_record_time(card, lambda day, slot: (day, slot) == (day_key(t), t))
        self.answers_match_the_card(card, t)
        self.stop_daemon(d)
        print("\nkill -9: %d kills survived, %.1f simulated days, seed %d" % (rounds, (t - KILL_START) / 86400, seed))
