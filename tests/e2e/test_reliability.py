"""Reliability: the daemon under injected faults (libtkfault), killed at random instants, soaked over days
with a change of time and a clock set back.  It never crashes, ends only with a status and message of its
design, leaves a sound card, keeps every flushed slot.  TK_RELIABILITY=1: the long forms (docs/reliability.md)."""

import contextlib, os, pathlib, random, re, shutil, signal, tempfile, time, unittest

from tkharness import (BIN_DIR, BLOCK_HEAD, BLOCK_SIZE, CARD, DAEMON, DATA_RESPONSE_SIZE, FILE_HEAD, RECORD_DIR,
                       RECORD_TIME, REQUEST_FIFO, RESPONSE_FIFO, SENSOR_DATA_REQ, SENSOR_FILE_SIZE, SLOT, SLOTS_PER_DAY,
                       SMALL_SENSORS, Client, DaemonTestCase, count_request, data_request, expected_response,
                       faketime_env, faketime_library_for, forget_faketime, list_request, pack_request,
                       read_record_time, read_sensor_file, replace_file, run_tool, utc_text, wait_until)

LONG = os.environ.get("TK_RELIABILITY") == "1"
NEEDS_FAKETIME = unittest.skipIf(faketime_library_for() is None, "libfaketime is not installed")
START = 20777 * 86400 + 22 * 3600 + 1800  # 2026-11-20 22:30 UTC
STORE_FILES = {s["name"] for s in SMALL_SENSORS} | {"RecordTime", "CPU_Utilization", "MEM_Utilization", "IO_Utilization"}
os.environ["TZ"] = "UTC0"  # the daemon's zone, for the day keys worked out here
time.tzset()

def setting(name, short, long): return int(os.environ.get(name) or (long if LONG else short))
def lines(path): return pathlib.Path(path).read_text().splitlines() if os.path.exists(path) else []
def first_turn_done(card, t): return (read_record_time(card) or (0,))[0] == day_key(t)

def day_key(t):
    lt = time.localtime(t)
    return int(time.mktime((lt.tm_year, lt.tm_mon, lt.tm_mday, 0, 0, 0, 0, 0, -1)))

def snapshot(card):
    """The store's files on card as {name: bytes}, the record time file as "RecordTime"."""
    top = os.path.join(card, RECORD_DIR)
    paths = {n: os.path.join(top, n) for n in (os.listdir(top) if os.path.isdir(top) else [])}
    paths["RecordTime"] = os.path.join(top, "DataTime", "RecordTime")
    return {n: pathlib.Path(p).read_bytes() for n, p in paths.items() if os.path.isfile(p) and not os.path.islink(p)}

def blocks(data):
    """(offset, day key) of each day block of a sensor data file's bytes."""
    starts = range(FILE_HEAD.size, len(data) if len(data) == SENSOR_FILE_SIZE else 0, BLOCK_SIZE)
    return [(at, BLOCK_HEAD.unpack_from(data, at)[0]) for at in starts]

def recorded(data):
    """{(day key, slot time): slot bytes} of the recorded slots in the first block of each day."""
    first = {key: at for at, key in reversed(blocks(data)) if key}
    return {(key, SLOT.unpack(raw)[1]): raw for key, at in first.items() for raw in
            (data[at + BLOCK_HEAD.size + s * SLOT.size:][:SLOT.size] for s in range(SLOTS_PER_DAY)) if raw[0] == 1}

def lost_slots(before, after, restart):
    """Slots that before had flushed (up to its RecordSlot) and after, from a run started at
    restart, no longer holds byte for byte.  A clock set back to an earlier day starts that day
    afresh and drops the later ones; set back within the day, it records from then on again;
    a new day takes the block of the oldest of seven."""
    record_day, record_slot = RECORD_TIME.unpack(before.get("RecordTime", bytes(8)))
    lost = []
    for name, data in before.items():
        now, held = recorded(after.get(name, b"")), {key for _, key in blocks(after.get(name, b""))} - {0}
        for (key, t), raw in recorded(data).items():
            if t > record_slot or t >= restart - restart % 300 or key >= day_key(restart) < record_day:
                continue
            if now.get((key, t)) != raw and not (key not in held and len(held) == 7 and min(held) > key):
                lost.append("%s: the slot of %s" % (name, utc_text(t)))
    return lost

def card_problems(card):
    """What trendkeep-card check finds wrong."""
    out = run_tool(CARD, "check", card)
    return out.stdout.splitlines()[:-1] + ([out.stderr] if out.returncode not in (0, 1) else [])

MAIN_CALLS = ("open", "openat", "ftruncate", "mmap", "msync", "write", "read", "select")
ERRNO_FOR = {"mmap": "ENOMEM", "select": "EINTR", "write": "ENOSPC"}
EXIT_MESSAGES = {1: ("Init sensor data list failed", "Init sensor data to db list failed", "Error opening named pipe",
                     "TF card free size not enough", "Check TFCard mount status failed"),
                 2: ("Check mount path faied", "Error while creating Zelvar trendkeep")}
SANITIZED = os.path.exists(DAEMON) and re.search(rb"__[at]san_init", pathlib.Path(DAEMON).read_bytes()) is not None

def fault_env(start, speed, rule, work=None):
    """libtkfault (built with the tests) ahead of a libfaketime clock."""
    lib = os.path.join(BIN_DIR, "libtkfault.so")
    env = faketime_env("@%s x%d" % (utc_text(start), speed))
    env.update(LD_PRELOAD=lib + " " + env["LD_PRELOAD"], TK_FAULT=rule)
    return dict(env, TK_FAULT_COUNT=os.path.join(work, "counts"), TK_FAULT_LOG=os.path.join(work, "fired")) if work else env

def spread(first, last, points):
    """points numbers from first to last, evenly spread with both ends among them (all for 0)."""
    return range(first, last + 1) if not points or last - first < points else sorted(
        {first + round(i * (last - first) / max(1, points - 1)) for i in range(points)})

def design_answer(call, what, log):
    """(messages, one of which the log must hold; exit statuses) the design gives for one failed call."""
    name, opens = os.path.basename(what), ("open", "openat", "ftruncate")
    for calls, holds, messages, statuses in (
            (("msync",), "falied" in log, ("falied while init", "Update mem to file falied"), {1}),  # start-up
            (("msync",), True, ("Update mem to file failed", "Update record day time to file failed"), {0, 1}),
            (("open", "openat"), what in (REQUEST_FIFO, RESPONSE_FIFO), ("Error opening named pipe",), {1}),
            (("mmap",), name == "RecordTime", ("Mmap record time file failed",), {1}),
            (("mmap",), name in STORE_FILES, ("Mmap failed,index",), {1}),
            (opens, name == "RecordTime", ("Open record time file failed",), {1}),
            (opens, name in STORE_FILES, ("Create sensor data file",), {1}),
            (("write",), what == RESPONSE_FIFO, ("Write Sensor",), {0})):
        if call in calls and holds:
            return messages, statuses
    return (), {0, 1, 2}

@NEEDS_FAKETIME
@unittest.skipIf(SANITIZED, "a sanitized daemon does not start with libtkfault and libfaketime preloaded")
class Faults(DaemonTestCase):
    def run_faulted(self, card, start, rule="", until=None, speed=2000):
        """Runs the daemon on card from start with the fault rule, asks it everything and stops it
        with SIGTERM when the clock reaches until (or two recordings after the fault), else after
        0.3 s.  Returns the exit status ("hung": SIGTERM did not end it), log, call counts, faults."""
        work = tempfile.mkdtemp(dir=self.workdir)
        read = lambda name: lines(os.path.join(work, name))  # noqa: E731
        d = self.daemon(workdir=work, card=card, env=fault_env(start, speed, rule, work)).start()
        end = time.monotonic() + min(60, (until - start) / speed if until else 0.3)
        wait_until(lambda: not d.alive() or first_turn_done(card, start), 10)
        with contextlib.suppress(OSError), Client() as c:  # OSError: no FIFOs, the daemon ended
            for request, size in ((count_request(), 4), (data_request(start, 1), DATA_RESPONSE_SIZE),
                                  (list_request(), 6 * 23)):
                c.ask(request, size, 0.5)
        wait_until(lambda: not d.alive() or time.monotonic() > end or until and read("fired"), end - time.monotonic())
        wait_until(lambda: not (until and read("fired") and d.alive()), 600.0 / speed + 0.1)
        d.signal(signal.SIGTERM) if d.alive() else None
        rc = d.wait(1) if wait_until(lambda: not d.alive(), 15) else d.stop() or "hung"
        counts = {call: int(n) for call, n in map(str.split, read("counts"))}
        return rc, "\n".join(d.log_lines()), counts, [line.split(" ", 4) for line in read("fired")]

    def judge(self, card, start, rule, until):
        """What is wrong with one run by the design."""
        before = snapshot(card)
        rc, log, _, fired = self.run_faulted(card, start, rule, until)
        self.runs, self.fired = self.runs + 1, self.fired + bool(fired)
        wrong = [] if rc in (0, 1, 2) else ["no stop within 15 s of SIGTERM" if rc == "hung" else "status %s" % rc]
        wrong += [] if any(m in log for m in EXIT_MESSAGES.get(rc, ("",))) else ["status %s without its message" % rc]
        for call, _, _, _, what in fired:
            messages, statuses = design_answer(call, what, log)
            if rc not in statuses or messages and not any(m in log for m in messages):
                wrong.append("%s of %s failed: want one of %s and a status in %s" % (call, what, messages, statuses))
        wrong += lost_slots(before, snapshot(card), start) if rc != "hung" else []
        return ["%s: %s\n  fired %s\n  log ...%s" % (rule, "; ".join(wrong), fired, log[-400:])] if wrong else []

    def fresh(self, src):
        """A scratch card: a copy of src, or empty."""
        scratch = os.path.join(self.workdir, "scratch")
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(src, scratch, symlinks=True) if src else os.makedirs(scratch)
        return scratch

    def test_walk_every_main_call_failing_once_at_the_nth_call(self):
        points, window = setting("TK_FAULT_POINTS", 3, 6), setting("TK_FAULT_WINDOW_HOURS", 2, 2) * 3600
        self.assertEqual(self.run_faulted(self.fresh(None), START, until=START + 7200)[0], 0)  # 22:30 to 00:30
        history = shutil.move(os.path.join(self.workdir, "scratch"), os.path.join(self.workdir, "history"))
        for phase, src, start, running in (("start-up on a card with history", history, START + 7800, False),
                                           ("start-up on an empty card", None, START, False),
                                           ("running over midnight", history, START + 88200, True)):
            with self.subTest(phase=phase):
                until = start + window if running else None
                startup = self.run_faulted(self.fresh(src), start)[2]
                counts = self.run_faulted(self.fresh(src), start, until=until)[2] if running else startup
                failures, self.runs, self.fired = [], 0, 0
                for call in MAIN_CALLS:
                    for n in spread(startup.get(call, 0) + 1 if running else 1, counts.get(call, 0), points):
                        rule = "%s:%d:%s" % (call, n, ERRNO_FOR.get(call, "EIO"))
                        failures += self.judge(self.fresh(src), start, rule, until)
                print("\nfault walk, %s: calls %s; %d runs, %d faults fired" % (
                    phase, {c: counts.get(c, 0) for c in MAIN_CALLS}, self.runs, self.fired))
                self.assertEqual(failures, [], "\n".join(failures))
                self.assertGreater(self.fired, self.runs / 2, "the faults did not fire")

    def test_failing_card(self):
        """The card pulled while the store records; every flush failing with EIO from the first after
        the start-up's on, logged for every file, until the card check fails too.  Either way: exit
        status 1 through the card-loss stop, no FIFOs left."""
        flushes = "msync:%d:EIO:always,statvfs:40:EIO:always" % (len(STORE_FILES) + 1)
        for case, rule in (("pulled", ""), ("flushes fail", flushes)):
            with self.subTest(case=case):
                card = os.path.join(self.workdir, case)
                os.makedirs(card)
                d = self.daemon(workdir=card + "-run", card=card, env=fault_env(START, 300, rule)).start()
                if not rule:
                    self.assertTrue(wait_until(lambda: (read_record_time(card) or (0, 0))[1] >= START + 600, 20))
                    shutil.rmtree(card)
                self.assertEqual(d.wait(30), 1, d.log_lines()[-10:])
                self.assertEqual(len(d.logged("Check TFCard mount status failed!Program will exit!")), 1)
                self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))
                self.assertFalse(os.path.lexists(REQUEST_FIFO) or os.path.lexists(RESPONSE_FIFO))
                self.assertFalse(d.logged("falied while init"))
                for i in range(len(STORE_FILES) - 1) if rule else ():
                    self.assertIn(",index:%d," % i, "\n".join(d.logged("Update mem to file failed")))
                self.assertTrue(d.logged("Update record day time to file failed") or not rule)

@NEEDS_FAKETIME
class KillNine(DaemonTestCase):
    def test_random_kills_keep_the_card_sound_and_every_flushed_slot(self):
        # The card as a kill after the store's initialisation and before its first turn leaves it:
        # the record time file at zero, block 0 of every file keyed to today.  No second block may
        # be keyed to the same day (the card check sees it).
        rounds, seed = setting("TK_KILL_ROUNDS", 30, 200), int(os.environ.get("TK_KILL_SEED") or time.time())
        rng, card, t = random.Random(seed), os.path.join(self.workdir, "card"), START
        os.makedirs(os.path.join(card, RECORD_DIR, "DataTime"))
        pathlib.Path(card, RECORD_DIR, "DataTime", "RecordTime").write_bytes(bytes(8))
        data = bytearray(SENSOR_FILE_SIZE)
        for s in range(SLOTS_PER_DAY):
            SLOT.pack_into(data, FILE_HEAD.size + BLOCK_HEAD.size + s * SLOT.size, 0, day_key(t) + 300 * s, 0, 0, 0, 0)
        BLOCK_HEAD.pack_into(data, FILE_HEAD.size, day_key(t), 0, 0.0, 0.0, 0, 0)
        for name in STORE_FILES - {"RecordTime"}:
            pathlib.Path(card, RECORD_DIR, name).write_bytes(data)
        for i in range(rounds):
            before, t0 = snapshot(card), time.monotonic()
            d = self.daemon(card=card, faketime="@%s x600" % utc_text(t)).start()
            if i == 0:
                self.assertTrue(wait_until(lambda: first_turn_done(card, t), 10))
            # Three in ten during the start-up, the others while it records and switches days.
            delay = rng.uniform(0.0, 0.25) if rng.random() < 0.3 else rng.uniform(0.25, 0.8)
            time.sleep(delay)
            alive = d.alive()
            d.signal(signal.SIGKILL)
            d.wait(10)
            forget_faketime()
            what = "round %d (seed %d, clock %s, %.3f s)" % (i, seed, utc_text(t), delay)
            self.assertTrue(alive, "%s: the daemon ended by itself: %s" % (what, d.log_lines()[-5:]))
            self.assertEqual(lost_slots(before, snapshot(card), t), [], what)
            self.assertEqual(card_problems(card), [], what)
            t += int((time.monotonic() - t0) * 600) + 1 + rng.randrange(300)
        print("\nkill -9: %d kills survived, %.1f simulated days, seed %d" % (rounds, (t - START) / 86400, seed))
        self.assertTrue(any(map(recorded, snapshot(card).values())))

SOAK_TZ = "CET-1CEST,M3.5.0,M10.5.0/3"
SOAK_SENSORS = [{"num": 1, "name": "CPU0_Temp", "devid": 0x3001,
                 "reading": {"base": 52, "swing": 9, "phase": 52200, "wobble": 2.5, "wobble_period": 2820}},
                {"num": 48, "name": "FAN1_Speed", "devid": 0x5000, "reading": {"base": 7200, "swing": -800, "period": 7200}},
                {"num": 80, "name": "P12V", "devid": 0x7000, "reading": -0.25}]

@NEEDS_FAKETIME
class Soak(DaemonTestCase):
    """Days in a zone with summer time under a clock that the test moves minute by minute, held still at
    each five-minute boundary until the store has marked the slot done: over the change back of 25 October
    2026, then again from before the first run's end (the clock set back).  At every 23:55 and at the end,
    no day after the clock's is held, and every day held is answered as the card holds it."""

    def answers_match_the_card(self, card, now):
        top = os.path.join(card, RECORD_DIR)
        with Client() as c:
            for f in (read_sensor_file(os.path.join(top, n)) for n in os.listdir(top) if n != "DataTime"):
                self.assertLessEqual(max(b.day_key for b in f.blocks), day_key(now), "a day after the clock's")
                for key in sorted({b.day_key for b in f.blocks} - {0}):
                    text = time.strftime("%Y-%m-%dT12:00:00", time.localtime(key))
                    got = c.ask(pack_request(SENSOR_DATA_REQ, text, f.num), DATA_RESPONSE_SIZE)
                    end = key + 86399 if now - key > 86400 else now - now % 300
                    self.assertTrue(got == expected_response(f, key, end), "%s on %s at %s" % (f.name, text, now))

    def test_days_over_the_change_of_time_and_a_clock_set_back(self):
        os.environ["TZ"] = SOAK_TZ
        time.tzset()
        self.addCleanup(lambda: (os.environ.__setitem__("TZ", "UTC0"), time.tzset()))
        spans = [("2026-10-21 00:00", "2026-10-29 00:00"), ("2026-10-27 12:00", "2026-10-29 12:00")] if LONG else [
            ("2026-10-24 22:00", "2026-10-25 07:00"), ("2026-10-24 23:00", "2026-10-25 09:00")]
        card, clock, began, boundaries = os.path.join(self.workdir, "card"), self.workdir + "/clock", time.monotonic(), 0
        os.makedirs(card)
        for start, end in ([int(time.mktime(time.strptime(x, "%Y-%m-%d %H:%M"))) for x in span] for span in spans):
            before = snapshot(card)
            replace_file(clock, "%d x1000" % start)
            d = self.daemon(card=card, sensors=SOAK_SENSORS, clock_file=clock, env={"TZ": SOAK_TZ, "FAKETIME_FMT": "%s"})
            d.start()
            for t in range(start, end + 1, 60):
                replace_file(clock, "%d x1000" % t)
                if t % 300 == 0:
                    self.assertTrue(wait_until(lambda: read_record_time(card) == (day_key(t), t), 20, 0.0005),
                                    "no turn at %s: %s" % (time.ctime(t), d.log_lines()[-3:]))
                    boundaries += 1
                if time.localtime(t)[3:5] == (23, 55) or t == end:
                    self.answers_match_the_card(card, t)
            self.stop_daemon(d)
            self.assertEqual(lost_slots(before, snapshot(card), start), [])
            self.assertEqual(card_problems(card), [])
        slots = sum(map(len, map(recorded, snapshot(card).values())))
        print("\nsoak: %d five-minute boundaries in %.0f s, %d slots recorded" % (boundaries, time.monotonic() - began, slots))
        self.assertGreater(slots, boundaries)

if __name__ == "__main__":
    unittest.main()
