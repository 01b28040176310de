"""trendkeep-card, the offline card reader, on a card the daemon wrote.

The daemon runs under libfaketime across a local midnight in a zone half an
hour off a whole-hour offset (so a day key is no multiple of 86400 and a
reader that worked in UTC would be caught), then stops; the reader works on
copies of that card.  Every command is run through run_card, which hashes
the card tree before and after and fails on any change: the reader must
never write to a card.

The module also holds the helpers the other tool tests share (the tools'
paths, libfaketime for the daemon's machine, reading the store's files).
"""

import calendar
import csv
import glob
import hashlib
import html.parser
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import unittest

from tkharness import BIN_DIR, DAEMON, RECORD_DIR, Daemon, remove_fixed_paths, wait_until

QUERY = os.path.join(BIN_DIR, "trendkeep-query")
CARD = os.path.join(BIN_DIR, "trendkeep-card")

FILE_HEAD = struct.Struct("<H20sB")
BLOCK_HEAD = struct.Struct("<iBddII")
SLOT = struct.Struct("<BIdddd")
BLOCK_SIZE = BLOCK_HEAD.size + 288 * SLOT.size
SENSOR_FILE_SIZE = FILE_HEAD.size + 7 * BLOCK_SIZE
assert BLOCK_SIZE == 10685 and SENSOR_FILE_SIZE == 74818

# India's zone: UTC+5:30, no daylight saving.
TZ = "IST-5:30"
TZ_OFFSET = 5 * 3600 + 1800


# ---------------------------------------------------------------------------
# Shared helpers

def _elf_kind(path):
    with open(path, "rb") as f:
        head = f.read(20)
    return head[4], head[18:20]


def faketime_env(clock):
    """Environment that runs the daemon on libfaketime's clock (FAKETIME
    text such as "@2026-12-03 22:00:00 x900"), with the library built for
    the daemon's machine.  A daemon built with
    AddressSanitizer is told to accept a preloaded library before its own."""
    want = _elf_kind(DAEMON)
    asan = os.environ.get("ASAN_OPTIONS", "")
    for lib in sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1")):
        if _elf_kind(lib) == want:
            return {"LD_PRELOAD": lib, "FAKETIME": clock, "FAKETIME_DONT_RESET": "1",
                    "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}
    raise unittest.SkipTest("libfaketime for this machine is not installed")


def run_tool(tool, *args, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([tool] + [str(a) for a in args], capture_output=True, text=True, errors="replace",
                          env=full_env, timeout=timeout, stdin=subprocess.DEVNULL)


def local_key(y, m, d, offset=TZ_OFFSET):
    """Day key of a date in a fixed-offset zone."""
    return calendar.timegm((y, m, d, 0, 0, 0)) - offset


def block_offset(d):
    return FILE_HEAD.size + BLOCK_SIZE * d


def slot_offset(d, s):
    return block_offset(d) + BLOCK_HEAD.size + SLOT.size * s


def read_sensor_file(path):
    """The file's header and its non-empty blocks, straight from the bytes."""
    with open(path, "rb") as f:
        data = f.read()
    num, name, cls = FILE_HEAD.unpack_from(data, 0)
    blocks = {}
    for d in range(7):
        key, valid, dmax, dmin, tmax, tmin = BLOCK_HEAD.unpack_from(data, block_offset(d))
        if key == 0:
            continue
        slots = [SLOT.unpack_from(data, slot_offset(d, s)) for s in range(288)]
        blocks[d] = {"key": key, "valid": valid, "max": dmax, "min": dmin, "max_time": tmax, "min_time": tmin,
                     "slots": slots}
    return {"num": num, "name": name.split(b"\0")[0].decode("latin-1"), "class": cls, "blocks": blocks}


def record_time(card):
    try:
        with open(os.path.join(card, RECORD_DIR, "DataTime", "RecordTime"), "rb") as f:
            return struct.unpack("<II", f.read(8))
    except (OSError, struct.error):
        return (0, 0)


def write_daemon_card(workdir, sensors, start, speed, until, env=None):
    """Runs the daemon on libfaketime from start at speed until its record
    time file holds a slot start of at least until, stops it and returns the
    card directory."""
    remove_fixed_paths()
    daemon_env = faketime_env("@%s x%d" % (start, speed))
    daemon_env.update(env or {})
    d = Daemon(workdir, sensors=sensors, env=daemon_env).start()
    try:
        reached = wait_until(lambda: record_time(d.card)[1] >= until, 180, interval=0.2)
        if not reached:
            raise AssertionError("the daemon recorded no slot up to %d; log:\n%s" % (until, "\n".join(d.log_lines())))
        d.signal(signal.SIGTERM)
        status = d.wait(20)
        if status != 0:
            raise AssertionError("the daemon stopped with status %d" % status)
    finally:
        d.stop()
        remove_fixed_paths()
    return d.card


def tree_digest(root):
    """Names, kinds and contents of everything under root."""
    h = hashlib.sha256()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames + dirnames):
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                h.update(b"L" + rel.encode() + os.readlink(path).encode())
            elif os.path.isdir(path):
                h.update(b"D" + rel.encode())
            else:
                with open(path, "rb") as f:
                    h.update(b"F" + rel.encode() + hashlib.sha256(f.read()).digest())
    return h.hexdigest()


# ---------------------------------------------------------------------------
# The card under test

SENSORS = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": {"base": 40, "swing": 5, "period": 3600}},
    {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": 5400.5},
    {"num": 7, "name": "Inlet Air Temp", "devid": 0x3002, "reading": {"base": 21, "swing": 2, "period": 5400}},
    {"num": 200, "name": "Backplane_Temp_Rear2", "devid": 0x3003, "reading": 30.125},
]
# The stored names: the list cuts a name at 19 characters.
FILES = ["Backplane_Temp_Rear", "CPU0_Temp", "CPU_Utilization", "FAN1", "IO_Utilization", "Inlet Air Temp",
         "MEM_Utilization"]
DAY1 = (2026, 12, 3)
DAY2 = (2026, 12, 4)
KEY1 = local_key(*DAY1)
KEY2 = local_key(*DAY2)


_module = {}


def setUpModule():
    if not os.access(CARD, os.X_OK):
        raise AssertionError("trendkeep-card not built at %s" % CARD)
    workdir = tempfile.mkdtemp(prefix="trendkeep-card-")
    _module["workdir"] = workdir
    # From 22:00 on the first day to past 01:00 on the second.
    card = write_daemon_card(workdir, SENSORS, "2026-12-03 22:00:00", 900, KEY2 + 3600, env={"TZ": TZ})
    _module["pristine"] = os.path.join(workdir, "pristine")
    shutil.copytree(card, _module["pristine"], symlinks=True)


def tearDownModule():
    if "workdir" in _module and not os.environ.get("TK_KEEP_WORKDIR"):
        shutil.rmtree(_module["workdir"], ignore_errors=True)


class CardTestCase(unittest.TestCase):
    """The daemon-written card is made once for the module; each test works
    on copies."""

    @property
    def pristine(self):
        return _module["pristine"]

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tk-card-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def copy_card(self):
        dst = os.path.join(tempfile.mkdtemp(dir=self.tmp), "card")
        shutil.copytree(self.pristine, dst, symlinks=True)
        return dst

    def record_dir(self, card):
        return os.path.join(card, RECORD_DIR)

    def run_card(self, *args, card=None):
        """Runs trendkeep-card and fails when the card tree changed."""
        root = card or self.pristine
        before = tree_digest(root)
        result = run_tool(CARD, *args, env={"TZ": TZ})
        self.assertEqual(tree_digest(root), before, "trendkeep-card %s changed the card" % " ".join(map(str, args)))
        return result


class SoundCard(CardTestCase):
    def test_check_passes_on_the_mount_point_and_the_record_directory(self):
        for where in (self.pristine, self.record_dir(self.pristine)):
            with self.subTest(where=where):
                r = self.run_card("check", where)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertRegex(r.stdout, r"^sound: 7 sensor files, 14 day blocks, \d+ recorded slots")
                q = self.run_card("check", where, "--quiet")
                self.assertEqual((q.returncode, q.stdout), (0, ""))

    def test_list_shows_every_file_with_its_days_and_recorded_slots(self):
        r = self.run_card("list", self.pristine, "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = json.loads(r.stdout)
        self.assertEqual(doc["record_day"], KEY2)
        self.assertEqual([s["file"] for s in doc["sensors"]], FILES)
        for s in doc["sensors"]:
            stored = read_sensor_file(os.path.join(self.record_dir(self.pristine), s["file"]))
            self.assertEqual((s["num"], s["name"], s["class"]), (stored["num"], stored["name"], stored["class"]))
            expected = sorted((b["key"], sum(1 for slot in b["slots"] if slot[0] == 1))
                              for b in stored["blocks"].values())
            self.assertEqual([(d["day_key"], d["recorded"]) for d in s["days"]], expected)
            self.assertEqual([d["date"] for d in s["days"]], ["2026-12-03", "2026-12-04"])
        self.assertEqual([s["num"] for s in doc["sensors"] if s["file"].endswith("Utilization")],
                         [0xFFFF, 0xFFFD, 0xFFFE])

        table = self.run_card("list", self.pristine).stdout.splitlines()
        self.assertIn("record time: day 2026-12-04", table[1])
        row = next(line for line in table if line.startswith("Inlet Air Temp"))
        self.assertRegex(row, r"^Inlet Air Temp\s+7\s+Inlet Air Temp\s+\d+\s+2026-12-03 \(\d+\), 2026-12-04 \(\d+\)$")
        row = next(line for line in table if line.startswith("CPU_Utilization"))
        self.assertIn(" 0xFFFF ", row)

    def test_dump_values_equal_the_file_bytes(self):
        r = self.run_card("dump", self.pristine)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "file,num,name,class,block,date,day_key,slot,slot_time,time,recorded,"
                                   "reading,max,min,avg")
        rows = list(csv.DictReader(lines))
        expected = []
        for name in FILES:
            stored = read_sensor_file(os.path.join(self.record_dir(self.pristine), name))
            for d, b in sorted(stored["blocks"].items(), key=lambda kv: kv[1]["key"]):
                for s, slot in enumerate(b["slots"]):
                    if slot[0] == 1:
                        expected.append((name, d, b["key"], s) + slot)
        got = [(row["file"], int(row["block"]), int(row["day_key"]), int(row["slot"]), int(row["recorded"]),
                int(row["slot_time"]), float(row["reading"]), float(row["max"]), float(row["min"]),
                float(row["avg"])) for row in rows]
        self.assertEqual(got, expected)
        self.assertGreater(len(got), 7 * 20)
        inlet = [row for row in rows if row["file"] == "Inlet Air Temp"]
        self.assertTrue(all(row["name"] == "Inlet Air Temp" and row["num"] == "7" for row in inlet))
        first = next(row for row in inlet if row["day_key"] == str(KEY2))
        self.assertEqual(first["time"][:11], "2026-12-04T")

    def test_dump_one_sensor_by_file_name_name_or_number_and_one_day(self):
        dumps = []
        for selector in ("Backplane_Temp_Rear", "200", "0xC8"):
            r = self.run_card("dump", self.pristine, selector, "--json")
            self.assertEqual(r.returncode, 0, r.stderr)
            dumps.append(json.loads(r.stdout))
        self.assertEqual(dumps[0], dumps[1])
        self.assertEqual(dumps[0], dumps[2])
        (sensor,) = dumps[0]["sensors"]
        self.assertEqual((sensor["num"], sensor["name"]), (200, "Backplane_Temp_Rear"))
        stored = read_sensor_file(os.path.join(self.record_dir(self.pristine), "Backplane_Temp_Rear"))
        for day in sensor["days"]:
            block = stored["blocks"][day["block"]]
            self.assertEqual((day["day_key"], day["day_max"], day["day_min"], day["day_max_time"], day["day_min_time"]),
                             (block["key"], block["max"], block["min"], block["max_time"], block["min_time"]))
            for slot in day["slots"]:
                stored_slot = block["slots"][slot["slot"]]
                self.assertEqual((slot["recorded"], slot["slot_time"], slot["reading"], slot["max"], slot["min"],
                                  slot["avg"]), stored_slot)
                self.assertEqual(slot["reading"], 30.125)

        by_name = json.loads(self.run_card("dump", self.pristine, "Inlet Air Temp", "--json").stdout)
        self.assertEqual(by_name["sensors"][0]["num"], 7)

        one_day = self.run_card("dump", self.pristine, "CPU0_Temp", "--date", "2026-12-04", "--all-slots")
        rows = one_day.stdout.splitlines()[1:]
        self.assertEqual(len(rows), 288)
        self.assertTrue(all(",2026-12-04,%d," % KEY2 in row for row in rows))

    def test_report_has_one_chart_per_sensor_and_nothing_external(self):
        out = os.path.join(self.tmp, "report.html")
        r = self.run_card("report", self.pristine, "-o", out, "--date", "2026-12-03")
        self.assertEqual(r.returncode, 0, r.stderr)
        page = HtmlCensus.of(out)
        self.assertEqual(page.charts, len(FILES))
        self.assertEqual(page.scripts, 0)
        self.assertEqual(page.external, [])
        self.assertIn("2026-12-03", page.title)
        self.assertIn("Card check: sound", page.text)

        week = os.path.join(self.tmp, "week.html")
        r = self.run_card("report", self.pristine, "--week", "-o", week)
        self.assertEqual(r.returncode, 0, r.stderr)
        page = HtmlCensus.of(week)
        self.assertEqual(page.charts, len(FILES))
        self.assertIn("2026-11-28 to 2026-12-04", page.title)
        self.assertIn("12-03", page.text)


class HtmlCensus(html.parser.HTMLParser):
    """Counts what a page holds: charts, scripts, links that leave it."""

    def __init__(self):
        super().__init__()
        self.charts = 0
        self.scripts = 0
        self.external = []
        self.title = ""
        self.text = ""
        self._in_title = False

    @classmethod
    def of(cls, path):
        p = cls()
        with open(path, encoding="utf-8") as f:
            p.feed(f.read())
        return p

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "svg" and "chart" in (attrs.get("class") or "").split():
            self.charts += 1
        if tag == "script":
            self.scripts += 1
        for key in ("src", "href"):
            value = attrs.get(key)
            if value is not None and not value.startswith("#"):
                self.external.append(value)
        self._in_title = tag == "title" and self.charts == 0

    def handle_endtag(self, tag):
        self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        self.text += data


# ---------------------------------------------------------------------------
# Damaged copies

def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def read_bytes(path, offset, size):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(size)


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        b = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([b ^ 0xFF]))


def block_of(path, key):
    return next(d for d, b in read_sensor_file(path)["blocks"].items() if b["key"] == key)


class DamagedCard(CardTestCase):
    def check_damage(self, damage, expected, problems=1):
        """Damages a copy, checks it, and returns the problem lines."""
        card = self.copy_card()
        rdir = self.record_dir(card)
        damage(rdir)
        r = self.run_card("check", card, card=card)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        lines = r.stdout.splitlines()
        self.assertRegex(lines[-1], r"^%d problems? in " % problems)
        found = lines[:-1]
        self.assertEqual(len(found), problems, r.stdout)
        for text in expected:
            self.assertTrue(any(text in line for line in found), "%r not in:\n%s" % (text, r.stdout))
        q = self.run_card("check", card, "--quiet", card=card)
        self.assertEqual((q.returncode, q.stdout), (1, ""))
        return found

    def test_truncated_file_is_told_from_a_damaged_one(self):
        self.check_damage(lambda rdir: os.truncate(os.path.join(rdir, "FAN1"), 50000),
                          ["FAN1: truncated: 50000 bytes, expected 74818"])
        self.check_damage(lambda rdir: append(os.path.join(rdir, "FAN1"), b"\0" * 10),
                          ["FAN1: damaged: file too long (74828 bytes, expected 74818)"])
        self.check_damage(lambda rdir: append(os.path.join(rdir, "notes.txt"), b"hello"),
                          ["notes.txt: not a sensor data file (5 bytes"])

    def test_flipped_byte_in_a_day_key_is_named_with_the_key_it_should_be(self):
        def damage(rdir):
            path = os.path.join(rdir, "CPU0_Temp")
            self.block = block_of(path, KEY1)
            flip_byte(path, block_offset(self.block) + 1)
        found = self.check_damage(damage, [])
        self.assertIn("CPU0_Temp: block %d, DayKey: expected %d (2026-12-03 00:00:00)" % (self.block, KEY1), found[0])
        self.assertIn("found %d" % (KEY1 ^ 0xFF00), found[0])

    def test_slot_time_out_of_place(self):
        def damage(rdir):
            path = os.path.join(rdir, "Inlet Air Temp")
            self.block = block_of(path, KEY2)
            patch(path, slot_offset(self.block, 10) + 1, struct.pack("<I", KEY2 + 300 * 11))
        found = self.check_damage(damage, [])
        self.assertEqual(found[0], "Inlet Air Temp: block %d, slot 10, SlotTime: expected %d (2026-12-04 00:50:00), "
                                   "found %d (2026-12-04 00:55:00)" % (self.block, KEY2 + 3000, KEY2 + 3300))

    def test_stray_entries(self):
        self.check_damage(lambda rdir: os.mkdir(os.path.join(rdir, "old")),
                          ["old: stray entry: a directory"])
        self.check_damage(lambda rdir: append(os.path.join(rdir, "DataTime", "RecordTime.bak"), b""),
                          ["DataTime/RecordTime.bak: stray entry: a file"])

    def test_field_faults_inside_blocks_and_the_record_time(self):
        path = lambda rdir: os.path.join(rdir, "Backplane_Temp_Rear")  # noqa: E731
        block = block_of(os.path.join(self.record_dir(self.pristine), "Backplane_Temp_Rear"), KEY1)
        other = block_of(os.path.join(self.record_dir(self.pristine), "Backplane_Temp_Rear"), KEY2)
        # Slot 270 (22:30) of the first day is recorded; slot 0 of it is not.
        cases = [
            ("recorded flag", lambda rdir: patch(path(rdir), slot_offset(block, 270), b"\x02"),
             ["block %d, slot 270, Recorded: expected 0 or 1, found 2" % block]),
            ("readings in an empty slot", lambda rdir: patch(path(rdir), slot_offset(block, 0) + 5, struct.pack("<d", 1.5)),
             ["block %d, slot 0, readings: not recorded (Recorded 0) but expected zero readings, found reading 1.5" % block]),
            ("stats flag", lambda rdir: patch(path(rdir), block_offset(block) + 4, b"\x05"),
             ["block %d, StatsValid: expected 0 or 1, found 5" % block]),
            ("extreme time outside the day", lambda rdir: patch(path(rdir), block_offset(block) + 21,
                                                                struct.pack("<I", KEY2 + 60)),
             ["block %d, DayMaxTime: expected a time within 2026-12-03" % block]),
            ("greatest below a slot", lambda rdir: patch(path(rdir), block_offset(block) + 5, struct.pack("<d", 1.0)),
             ["block %d, DayMax: expected at least 30.125 (greatest of slot 26" % block]),
            ("same day twice", lambda rdir: patch(path(rdir), block_offset(other),
                                                  read_bytes(path(rdir), block_offset(block), BLOCK_SIZE)),
             ["block %d, DayKey: day 2026-12-03 (%d) is also held by block %d" % (max(block, other), KEY1,
                                                                                  min(block, other))]),
            ("record slot outside the record day",
             lambda rdir: patch(os.path.join(rdir, "DataTime", "RecordTime"), 4, struct.pack("<I", KEY1)),
             ["DataTime/RecordTime: RecordSlot: expected a slot start within 2026-12-04"]),
            ("header name of another file", lambda rdir: patch(path(rdir), 2, b"FAN1\0"),
             ["Backplane_Temp_Rear: header, SensorName: expected the name this file is stored under "
              "('Backplane_Temp_Rear'), found 'FAN1'"]),
        ]
        for name, damage, expected in cases:
            with self.subTest(name):
                self.check_damage(damage, expected)

    def test_many_bad_slot_times_are_counted_not_all_listed(self):
        def damage(rdir):
            path = os.path.join(rdir, "FAN1")
            self.block = block_of(path, KEY1)
            for s in range(100, 120):
                patch(path, slot_offset(self.block, s) + 1, struct.pack("<I", 7))
        found = self.check_damage(damage, ["slot 100, SlotTime", "slot 103, SlotTime",
                                           "SlotTime: and 16 more slots with the same fault (20 in all)"],
                                  problems=5)
        self.assertFalse(any("slot 104," in line for line in found))

    def test_other_problems_are_reported_beside_the_damage_and_list_keeps_working(self):
        card = self.copy_card()
        rdir = self.record_dir(card)
        os.truncate(os.path.join(rdir, "FAN1"), 1000)
        r = self.run_card("list", card, card=card)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"FAN1\s+unreadable: 1000 bytes")
        out = os.path.join(self.tmp, "r.html")
        r = self.run_card("report", card, "-o", out, card=card)
        self.assertEqual(r.returncode, 0, r.stderr)
        page = HtmlCensus.of(out)
        self.assertEqual(page.charts, len(FILES) - 1)
        self.assertIn("Card check: 1 problem", page.text)
        self.assertIn("FAN1: truncated", page.text)


class Usage(CardTestCase):
    def test_help_and_errors(self):
        r = run_tool(CARD, "--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("Usage: trendkeep-card"))
        for name in ("check", "list", "dump", "report"):
            self.assertRegex(r.stdout, r"\n  %s " % name)
        cases = [
            (["check", os.path.join(self.tmp, "nothing")], 2, "no such directory"),
            (["check", self.tmp], 2, "no history store in"),
            ([], 2, "no command given"),
            (["frobnicate", self.pristine], 2, "unknown command 'frobnicate'"),
            (["dump", self.pristine, "--date", "2026-02-30"], 2, "--date needs a calendar date"),
            (["report", self.pristine], 2, "needs -o FILE"),
            (["dump", self.pristine, "NoSuchSensor"], 1, "no sensor data file is named 'NoSuchSensor'"),
            (["dump", self.pristine, "--date", "2026-11-01"], 1, "no sensor holds 2026-11-01"),
            (["report", self.pristine, "-o", os.path.join(self.tmp, "no", "dir.html")], 2, "cannot write"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                r = self.run_card(*args)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn(message, r.stderr)


if __name__ == "__main__":
    unittest.main()
