"""A soak of ten simulated days: the daemon under libfaketime, over the
change from summer to winter time of 25 October 2026 (TZ
"CET-1CEST,M3.5.0,M10.5.0/3") and a clock set back (a second run starts
a day and a half before the first one ended), with readings that change
every minute.

The test moves the daemon's clock itself, minute by minute: the clock
stands still at the start of each minute until the sampling thread has
read that minute's readings (the host platform reads its sensor file afresh
for each refresh, which inotify shows) and, at each five-minute boundary,
until the store has marked the slot done in the record time file.  Two
sensors move with the host platform's moving readings, the third and the
three utilisation figures are rewritten every minute (zeros and a negative
reading among them).  So every reading the daemon saw is known exactly.

A reference model of the sampling, the recording, the day switch and the
history query, written in Python from the store's design and nothing
else, predicts every byte of every sensor data file at every five-minute
boundary, and every answer to the count, list and data requests asked at
the end of each day.  The one thing the model cannot know is whether, at a
five-minute boundary, the sampling of that minute came before or after the
store's recording (both threads act at the start of the minute): it follows
both and keeps the one that the card shows.

Ten days with TK_RELIABILITY=1 (scripts/reliability.sh), half a day over
the change of time and a clock set back by an hour otherwise.
"""

import ctypes
import json
import math
import os
import select
import shutil
import signal
import struct
import tempfile
import time
import unittest

import tkproto
import tkreliability as R
from tkharness import DaemonTestCase, faketime_library_for, wait_until

TZ = "CET-1CEST,M3.5.0,M10.5.0/3"
SPEED = 1000
IN_CLOSE_NOWRITE = 0x10
IN_OPEN = 0x20

SENSOR_FILE_NAME = "sensors.json"
MOVING = {
    1: {"base": 52, "swing": 9, "phase": 52200, "wobble": 2.5, "wobble_period": 2820},
    48: {"base": 7200, "swing": -800, "period": 7200},
}
SENSORS = [  # (num, name, devid, class)
    (1, "CPU0_Temp", 0x3001, 0),
    (48, "FAN1_Speed", 0x5000, 1),
    (80, "P12V", 0x7000, 1),
]
UTIL = [("CPU_Utilization", 0xFFFF), ("MEM_Utilization", 0xFFFE), ("IO_Utilization", 0xFFFD)]

HEAD = struct.Struct("<H20sB")
BLOCK_HEAD = struct.Struct("<iBddII")
SLOT = struct.Struct("<BIdddd")
BLOCK = BLOCK_HEAD.size + 288 * SLOT.size
FILE_SIZE = HEAD.size + 7 * BLOCK


# ---------------------------------------------------------------------------
# What the daemon reads, minute by minute

def local_offset(t):
    return time.localtime(t).tm_gmtoff


def moving(w, t):
    """The host platform's moving reading at epoch second t (its README)."""
    s = float(t) + float(local_offset(t))
    two_pi = 2 * math.pi
    period = float(w.get("period", 86400))
    value = w["base"] + w.get("swing", 0) * math.cos(two_pi * math.fmod(s - w.get("phase", 0), period) / period)
    if w.get("wobble", 0) != 0:
        wp = float(w.get("wobble_period", 5400))
        value += w["wobble"] * math.sin(two_pi * math.fmod(s - w.get("phase", 0), wp) / wp)
    return value


def p12v(t):
    m = t // 60
    return [12.06, 0.0, 11.94, 12.5, -0.25, 0.0, 12.0][m % 7] + (m % 13) * 0.01


def utilisation(t):
    m = t // 60
    return {"cpu": (m * 7) % 101, "mem": 50 + m % 3, "io": 0 if m % 4 == 0 else m % 17}


def readings(t):
    """{sensor number: reading} and the utilisation bytes at minute t."""
    values = {1: moving(MOVING[1], t), 48: moving(MOVING[48], t), 80: p12v(t)}
    return values, utilisation(t)


def sensor_doc(t):
    util = utilisation(t)
    doc = {"cpu": util["cpu"], "mem": util["mem"], "io": util["io"], "sensors": []}
    for num, name, devid, _ in SENSORS:
        reading = MOVING.get(num) or p12v(t)
        doc["sensors"].append({"num": num, "name": name, "devid": devid, "reading": reading})
    return doc


# ---------------------------------------------------------------------------
# The reference model

def i32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def day_key(t):
    lt = time.localtime(t)
    return int(time.mktime((lt.tm_year, lt.tm_mon, lt.tm_mday, 0, 0, 0, 0, 0, -1)))


class Entry:
    def __init__(self, name, num, cls, util):
        self.name, self.num, self.cls, self.util = name, num, cls, util
        self.in_use, self.valid = 1, 0
        self.reading = self.max = self.min = self.avg = 0.0
        self.max_time = self.min_time = 0

    def copy(self):
        e = Entry(self.name, self.num, self.cls, self.util)
        e.__dict__.update(self.__dict__)
        return e


class Model:
    """The store and the list as the design says they evolve."""

    def __init__(self):
        self.entries = [Entry(n, num, c, False) for num, n, _, c in SENSORS] + \
                       [Entry(n, num, 3, True) for n, num in UTIL]
        self.data_ready = 0
        self.files = {}
        self.record_day = 0
        self.record_slot = 0
        self.how = []

    def copy(self):
        m = Model.__new__(Model)
        m.entries = [e.copy() for e in self.entries]
        m.data_ready = self.data_ready
        m.files = {k: bytearray(v) for k, v in self.files.items()}
        m.record_day, m.record_slot = self.record_day, self.record_slot
        m.how = list(self.how[-4:])
        return m

    def same(self, other):
        return ([e.__dict__ for e in self.entries] == [e.__dict__ for e in other.entries] and
                self.data_ready == other.data_ready and self.files == other.files and
                (self.record_day, self.record_slot) == (other.record_day, other.record_slot))

    # -- files
    @staticmethod
    def block_key(f, d):
        return struct.unpack_from("<i", f, HEAD.size + d * BLOCK)[0]

    @staticmethod
    def stamp(f, d, key):
        base = HEAD.size + d * BLOCK + BLOCK_HEAD.size
        for s in range(288):
            struct.pack_into("<I", f, base + s * SLOT.size + 1, (key + 300 * s) & 0xFFFFFFFF)

    def start(self, now):
        """A new process: a fresh list, the store initialised at now."""
        self.entries = [Entry(e.name, e.num, e.cls, e.util) for e in self.entries]
        self.data_ready = 0
        for e in self.entries:
            f = self.files.setdefault(e.name, bytearray(FILE_SIZE))
            name = e.name.encode()
            if bytes(f[2:2 + len(name)]) != name:
                f[2:2 + len(name) + 1] = name + b"\0"
            struct.pack_into("<H", f, 0, e.num)
            f[22] = e.cls
            found = None
            if self.record_day != 0:
                for d in range(7):
                    if self.block_key(f, d) == i32(self.record_day):
                        found = d
                        break
            if found is not None:
                self.stamp(f, found, self.record_day)
            else:
                oldest = 0
                for d in range(7):
                    if self.block_key(f, d) < self.block_key(f, oldest):
                        oldest = d
                today = day_key(now)
                struct.pack_into("<i", f, HEAD.size + oldest * BLOCK, today)
                self.stamp(f, oldest, today)

    def switch(self, key, went_back):
        for e in self.entries:
            f = self.files[e.name]
            chosen = None
            cand = 0
            for d in range(7):
                k = self.block_key(f, d)
                if k == key:
                    chosen = d
                    break
                if k < self.block_key(f, cand):
                    cand = d
                if self.block_key(f, cand) == 0:
                    break
            d = cand if chosen is None else chosen
            base = HEAD.size + d * BLOCK
            struct.pack_into("<i", f, base, key)
            f[base + BLOCK_HEAD.size:base + BLOCK] = bytes(BLOCK - BLOCK_HEAD.size)
            f[base + 4] = 0
            self.stamp(f, d, key)
            if went_back:
                for b in range(7):
                    if self.block_key(f, b) > key:
                        f[HEAD.size + b * BLOCK:HEAD.size + (b + 1) * BLOCK] = bytes(BLOCK)

    def refresh(self, t):
        values, util = readings(t)
        for num, _, _, _ in SENSORS:
            v = values[num]
            e = next((x for x in self.entries if x.num == num), None)
            if e is None:
                continue
            e.reading = v
            if e.valid == 0:
                e.max = e.min = e.avg = v
                e.max_time = e.min_time = t
            if e.max < v:
                e.max, e.max_time = v, t
            if e.min > v and v != 0.0:
                e.min, e.min_time = v, t
            if v == 0.0 or e.valid != 1:
                e.avg = v
            else:
                e.avg = (e.avg + v) * 0.5
            e.valid = 1
        for name, key in (("CPU_Utilization", "cpu"), ("MEM_Utilization", "mem"), ("IO_Utilization", "io")):
            e = [x for x in self.entries if x.name[:len(name)] == name][-1]
            v = float(util[key])
            e.reading = v
            if e.valid == 0:
                e.max = e.min = e.avg = v
                e.max_time = e.min_time = t
            else:
                if e.max < v:
                    e.max, e.max_time = v, t
                if e.min > v:
                    e.min, e.min_time = v, t
                e.avg = (e.avg + v) * 0.5
            e.valid = 1
            e.in_use = 1
        self.data_ready = 1

    def record(self, slot_start, key):
        for e in self.entries:
            f = None
            for other in self.entries:  # the files in list order
                g = self.files[other.name]
                if struct.unpack_from("<H", g, 0)[0] == e.num and bytes(g[2:2 + len(e.name)]) == e.name.encode():
                    f = g
                    break
            d = None
            if f is not None:
                d = next((b for b in range(7) if self.block_key(f, b) == key), None)
            s = None
            if d is not None:
                base = HEAD.size + d * BLOCK + BLOCK_HEAD.size
                s = next((k for k in range(288)
                          if struct.unpack_from("<I", f, base + k * SLOT.size + 1)[0] == slot_start & 0xFFFFFFFF),
                         None)
            if s is not None and e.in_use == 1:
                off = HEAD.size + d * BLOCK + BLOCK_HEAD.size + s * SLOT.size
                struct.pack_into("<B", f, off, 1)
                struct.pack_into("<dddd", f, off + 5, e.reading, e.max, e.min, e.avg)
                bh = HEAD.size + d * BLOCK
                _, valid, dmax, dmin, dmaxt, dmint = BLOCK_HEAD.unpack_from(f, bh)
                if valid == 0:
                    dmax, dmin, dmaxt, dmint = e.max, e.min, slot_start, slot_start
                if dmax < e.max:
                    dmax, dmaxt = e.max, e.max_time
                if e.min != 0.0 and dmin > e.min:
                    dmin, dmint = e.min, e.min_time
                BLOCK_HEAD.pack_into(f, bh, key, 1, dmax, dmin, dmaxt & 0xFFFFFFFF, dmint & 0xFFFFFFFF)
            e.valid = 0
        self.data_ready = 0

    def turn(self, now):
        key = day_key(now)
        slot = now // 300 * 300
        if i32(self.record_day) != key:
            self.switch(key, 1 if i32(self.record_day) > key else 0)
            self.record_day = key & 0xFFFFFFFF
        if i32(self.record_slot) != slot:
            if self.data_ready == 1:
                self.record(slot, key)
            self.record_slot = slot & 0xFFFFFFFF

    # -- answers
    def count_answer(self):
        return struct.pack("<I", len(self.entries))

    def list_answer(self):
        return b"".join(struct.pack("<H20sB", e.num, e.name.encode()[:16], e.cls) for e in self.entries)

    def data_answer(self, num, start, now):
        f = None
        for e in self.entries:
            g = self.files[e.name]
            if struct.unpack_from("<H", g, 0)[0] == num:
                f = g
                break
        if f is None:
            return None
        d = next((b for b in range(7) if self.block_key(f, b) == start), None)
        if d is None:
            return None
        end = start + 86399 if now - start > 86400 else now // 300 * 300
        base = HEAD.size + d * BLOCK
        slots = [bytes(SLOT.size)] * 288
        mx = mn = 0.0
        mxt = mnt = 0
        first = True
        t = start
        slots_read = [SLOT.unpack_from(f, base + BLOCK_HEAD.size + k * SLOT.size) for k in range(288)]
        first_slot = {}  # the first slot of each start time, as the daemon looks it up
        for k in range(287, -1, -1):
            first_slot[slots_read[k][1]] = k
        if end > start:
            for _ in range(288):
                if t >= end:
                    break
                s = first_slot.get(t & 0xFFFFFFFF)
                if s is not None:
                    slot = slots_read[s]
                    slots[s] = SLOT.pack(slot[0], t & 0xFFFFFFFF, *slot[2:])
                    if first:
                        mx, mn, mxt, mnt, first = slot[3], slot[4], t, t, False
                    else:
                        if mx < slot[3]:
                            mx, mxt = slot[3], t
                        if mn > slot[4]:
                            mn, mnt = slot[4], t
                t += 300
        _, _, dmax, dmin, dmaxt, dmint = BLOCK_HEAD.unpack_from(f, base)
        if end >= i32(dmaxt):
            mx, mxt = dmax, dmaxt
        if end >= i32(dmint):
            mn, mnt = dmin, dmint
        return struct.pack("<HddII", num, mx, mn, mxt & 0xFFFFFFFF, mnt & 0xFFFFFFFF) + b"".join(slots)

    def held_days(self):
        keys = set()
        for f in self.files.values():
            keys.update(self.block_key(f, d) for d in range(7))
        keys.discard(0)
        return sorted(keys)


# ---------------------------------------------------------------------------
# Watching the sampling thread read its readings

class SensorReads:
    """Counts the reads of the sensor file (inotify: closed after reading)."""

    def __init__(self, directory, name):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise unittest.SkipTest("inotify is not available")
        # Opens are watched too, only so that no two events in a row are
        # alike: inotify merges an event with an identical one still unread.
        if self.libc.inotify_add_watch(self.fd, directory.encode(), IN_CLOSE_NOWRITE | IN_OPEN) < 0:
            raise unittest.SkipTest("inotify watch refused")
        self.name = name.encode()
        self.count = 0

    def close(self):
        os.close(self.fd)

    def poll(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return
        try:
            buf = os.read(self.fd, 65536)
        except BlockingIOError:
            return
        i = 0
        while i + 16 <= len(buf):
            _, mask, _, length = struct.unpack_from("iIII", buf, i)
            name = buf[i + 16:i + 16 + length].split(b"\0", 1)[0]
            if name == self.name and mask & IN_CLOSE_NOWRITE:
                self.count += 1
            i += 16 + length

    def wait_for(self, total, timeout=20.0):
        deadline = time.monotonic() + timeout
        while self.count < total:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.poll(min(left, 0.5))
        return True


# ---------------------------------------------------------------------------

@unittest.skipIf(faketime_library_for() is None, "libfaketime is not installed")
class Soak(DaemonTestCase):
    def setUp(self):
        super().setUp()
        self.old_tz = os.environ.get("TZ")
        os.environ["TZ"] = TZ
        time.tzset()
        # The card, the clock and the sensor file in memory: the daemon
        # reads the clock file at every clock call, and the test rewrites
        # both files and reads the card every minute.
        shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.fast = tempfile.mkdtemp(prefix="trendkeep-soak-", dir=shm)
        self.card = os.path.join(self.fast, "card")
        os.makedirs(self.card)
        # The sensor file alone in its directory: the clock file beside it
        # is read at every clock call and would flood the watch.
        sensor_dir = os.path.join(self.fast, "sensors")
        os.makedirs(sensor_dir)
        self.sensor_path = os.path.join(sensor_dir, SENSOR_FILE_NAME)
        self.clock_path = os.path.join(self.fast, "clock")
        self.reads = SensorReads(sensor_dir, SENSOR_FILE_NAME)
        self.compared = {"boundaries": 0, "answers": 0, "minutes": 0}

    def tearDown(self):
        self.reads.close()
        for d in self.daemons:
            if d.alive():
                d.signal(signal.SIGTERM)
                try:
                    d.wait(10)
                except Exception:
                    d.stop()
        if self.old_tz is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = self.old_tz
        time.tzset()
        shutil.rmtree(self.fast, ignore_errors=True)
        super().tearDown()

    # -- the daemon's world
    def write_atomic(self, path, text):
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.rename(path + ".tmp", path)

    def set_minute(self, t):
        self.write_atomic(self.sensor_path, json.dumps(sensor_doc(t)))
        self.write_atomic(self.clock_path, "%d x%d\n" % (t, SPEED))

    def start_daemon(self, t):
        self.set_minute(t)
        env = {"TZ": TZ, "LD_PRELOAD": faketime_library_for(), "FAKETIME": None,
               "FAKETIME_TIMESTAMP_FILE": self.clock_path, "FAKETIME_FMT": "%s", "FAKETIME_NO_CACHE": "1",
               "FAKETIME_DONT_RESET": "1", "TRENDKEEP_SENSORS": self.sensor_path, **R.preload_env()}
        d = self.daemon(card=self.card, sensors=None, env=env)
        reads_before = self.reads.count
        d.start()
        # The list build reads the file once and once per device id; the
        # first refresh follows at once.
        self.assertTrue(self.reads.wait_for(reads_before + 1 + len(SENSORS) + 4), "no first refresh: %s" %
                        d.log_lines()[-5:])
        want = (day_key(t) & 0xFFFFFFFF, t // 300 * 300)
        self.assertTrue(wait_until(lambda: tkproto.read_record_time(self.card) == want, 20), "no first turn")
        return d

    def card_files(self):
        files = {}
        for name in [e.name for e in self.models[0].entries]:
            with open(os.path.join(self.card, tkproto.RECORD_DIR, name), "rb") as f:
                files[name] = f.read()
        return files

    def settle(self, candidates, what):
        """Keeps the candidate models that the card agrees with."""
        files = self.card_files()
        rt = tkproto.read_record_time(self.card)
        kept = []
        for m in candidates:
            if (m.record_day, m.record_slot) != rt:
                continue
            if all(m.files[n] == files[n] for n in files):
                if not any(m.same(k) for k in kept):
                    kept.append(m)
        if not kept:
            self.fail("%s: the card matches no prediction\n%s" % (what, self.explain(candidates[0], files, rt)))
        self.models = kept
        self.compared["boundaries"] += 1

    def explain(self, m, files, rt):
        lines = ["record time: card %s, model %s" % (rt, (m.record_day, m.record_slot))]
        for name, data in files.items():
            want = m.files[name]
            if bytes(want) == data:
                continue
            for i in range(len(data)):
                if data[i] != want[i]:
                    break
            if i < HEAD.size:
                where = "header"
            else:
                d, off = divmod(i - HEAD.size, BLOCK)
                where = "block %d head" % d if off < BLOCK_HEAD.size else "block %d slot %d" % (
                    d, (off - BLOCK_HEAD.size) // SLOT.size)
            lines.append("%s differs first at byte %d (%s)" % (name, i, where))
            if where.startswith("block") and "slot" in where:
                s0 = HEAD.size + d * BLOCK + BLOCK_HEAD.size + ((off - BLOCK_HEAD.size) // SLOT.size) * SLOT.size
                lines.append("  card  %s" % (SLOT.unpack_from(data, s0),))
                lines.append("  model %s" % (SLOT.unpack_from(want, s0),))
            elif where.endswith("head"):
                b0 = HEAD.size + d * BLOCK
                lines.append("  card  %s" % (BLOCK_HEAD.unpack_from(data, b0),))
                lines.append("  model %s" % (BLOCK_HEAD.unpack_from(want, b0),))
        return "\n".join(lines)

    def both_orders(self, t):
        out = []
        for m in self.models:
            a = m.copy()
            a.refresh(t)
            a.turn(t)
            m.turn(t)
            m.refresh(t)
            out += [a, m]
        return out

    def step(self, t):
        """Moves the clock to minute t and waits for both threads."""
        before = self.reads.count
        self.set_minute(t)
        self.assertTrue(self.reads.wait_for(before + 4), "no refresh at %s" % time.ctime(t))
        boundary = t % 300 == 0 or day_key(t) != day_key(t - 60)
        if boundary:
            key = day_key(t) & 0xFFFFFFFF
            slot = t // 300 * 300
            self.assertTrue(wait_until(lambda: tkproto.read_record_time(self.card) == (key, slot), 20, 0.0005),
                            "store did not act at %s" % time.ctime(t))
            self.settle(self.both_orders(t), time.ctime(t))
        else:
            for m in self.models:
                m.refresh(t)
                m.turn(t)
        self.compared["minutes"] += 1

    def ask_everything(self, t):
        m = self.models[0]
        with tkproto.Client() as c:
            self.assertEqual(c.ask(tkproto.count_request(), 4), m.count_answer())
            self.assertEqual(c.ask(tkproto.list_request(), 23 * len(m.entries)), m.list_answer())
            days = m.held_days()
            for num in [e.num for e in m.entries] + [999]:
                for key in days + [day_key(t + 86400 + 7200)]:
                    text = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(key + 13 * 3600))
                    want = m.data_answer(num & 0xFFFF, key, t)
                    request = tkproto.pack_request(tkproto.SENSOR_DATA_REQ, text, num & 0xFFFF)
                    if want is None:
                        # Answers come in order: the count asked right behind
                        # comes first only when the data request got none.
                        got = c.ask(request + tkproto.count_request(), 4)
                        self.assertEqual(got, m.count_answer(), "an answer for sensor %d, day %s" %
                                         (num, time.ctime(key)))
                        self.assertEqual(c.silence(0.0), b"")
                    else:
                        got = c.ask(request, tkproto.DATA_RESPONSE_SIZE)
                        self.assertEqual(len(got), len(want), "sensor %d day %s" % (num, time.ctime(key)))
                        self.assertTrue(got == want, "answer for sensor %d, day %s differs" %
                                        (num, time.ctime(key)))
                    self.compared["answers"] += 1

    def run_span(self, start, end):
        """One run of the daemon from start to end (both whole minutes)."""
        d = self.start_daemon(start)
        m0 = self.models[0]
        cands = []
        for m in self.models:
            m.start(start)
            a = m.copy()
            a.refresh(start)
            a.turn(start)
            b = m.copy()
            b.turn(start)
            b.refresh(start)
            cands += [a, b]
        del m0
        self.settle(cands, "first turn at %s" % time.ctime(start))
        t = start + 60
        while t <= end:
            self.step(t)
            if time.localtime(t)[3:5] == (23, 55) or t == end:
                self.ask_everything(t)
            t += 60
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(20), 0)
        self.assertIsNone(R.sanitizer_report(R.read_text(d.stdout)))
        ok, text = R.check_card(self.card)
        self.assertTrue(ok, text)
        return d

    def local(self, text):
        return int(time.mktime(time.strptime(text, "%Y-%m-%d %H:%M")))

    def test_days_over_the_change_of_time_and_a_clock_set_back(self):
        if R.reliability_long():
            spans = [("2026-10-21 00:00", "2026-10-29 00:00"), ("2026-10-27 12:00", "2026-10-29 12:00")]
        else:
            spans = [("2026-10-24 22:00", "2026-10-25 07:00"), ("2026-10-25 06:00", "2026-10-25 09:00")]
        self.models = [Model()]
        began = time.monotonic()
        simulated = 0
        for a, b in spans:
            start, end = self.local(a), self.local(b)
            self.run_span(start, end)
            simulated += end - start
        print("\nsoak: %.1f simulated days in %.0f s: %d minutes, %d five-minute boundaries compared byte for "
              "byte, %d answers" % (simulated / 86400.0, time.monotonic() - began, self.compared["minutes"],
                                    self.compared["boundaries"], self.compared["answers"]))


if __name__ == "__main__":
    unittest.main()
