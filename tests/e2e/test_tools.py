"""trendkeep-query against the daemon, run on UTC+5:30 (no day key a multiple of 86400) from 22:00 on 2026-12-03 past
01:00 the next day 900 times faster, then with its clock standing still; trendkeep-card on the card it wrote, which it
must leave as it found it; the report in Chromium.  Run as root, the tools neither write through nor drain what others
plant at the FIFO paths, end every chart, print no name raw and take little memory on any card."""

import contextlib, csv, ctypes, grp, json, os, re, select, shutil, struct, subprocess, sys, tempfile, threading, time
import unittest
import xml.etree.ElementTree as ET

import tkharness as H
from tkharness import CARD, QUERY, RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO

TZ, DAY, RUN, MAX = {"TZ": "IST-5:30"}, "2026-12-03", {}, sys.float_info.max
KEY1, KEY2 = (H.epoch_utc(day + " 00:00:00") - 19800 for day in (DAY, "2026-12-04"))
SENSORS = [dict(zip(("num", "name", "devid", "reading"), s)) for s in [
    (1, "CPU0_Temp", 0x3001, {"base": 40, "swing": 5, "period": 3600}), (7, "Inlet Air Temp", 0x3002, 21.25),
    (42, "Hex Answer", 0x5004, 4.5), (200, "Backplane_Temp_Rear2", 0x3003, 30.125),
    (30, "PSU1_Input_Voltage", 0x8001, 230.5), (31, "PSU1_Input_Voltage2", 0x8002, 231.5)]]
LISTED = [(s["num"], s["name"][:16], c) for s, c in zip(SENSORS, (0, 0, 1, 0, 2, 2))] + [(n, m, 3) for n, m in H.UTILISATION]

def setUpModule():
    umask = os.umask(0o077)  # as the unit starts the daemon: FIFOs that only root may open, and so the test's own
    unittest.addModuleCleanup(os.umask, umask)
    RUN["work"] = work = tempfile.mkdtemp(prefix="trendkeep-tools-")
    unittest.addModuleCleanup(shutil.rmtree, work, True)
    H.replace_file(os.path.join(work, "clock"), "@2026-12-03 22:00:00 x900")
    d = H.Daemon(work, sensors=SENSORS, sensor_doc={"cpu": 37, "mem": 50, "io": 4}, clock_file=os.path.join(work, "clock"),
                 env=TZ).start()
    unittest.addModuleCleanup(d.stop)
    RUN["card"] = d.card
    assert H.wait_until(lambda: (H.read_record_time(d.card) or (0, 0))[1] >= KEY2 + 3600, 60), d.log_lines()[-5:]
    H.replace_file(os.path.join(work, "clock"), "2026-12-04 01:02:00 x10")

def local(t): return H.utc_text(t + 19800).replace(" ", "T")
def stored(name): return H.read_sensor_file(H.sensor_path(RUN["card"], name))
def recorded(block): return [(s, x) for s, x in enumerate(block.slots) if x.recorded]

@contextlib.contextmanager
def daemon_away(mute):
    """Moves the daemon's FIFOs aside (it keeps them open), leaving none or FIFOs nobody serves."""
    for path in (REQUEST_FIFO, RESPONSE_FIFO):
        os.rename(path, path + ".away")
        mute and os.mkfifo(path)
    try:
        yield
    finally:
        [os.replace(path + ".away", path) for path in (REQUEST_FIFO, RESPONSE_FIFO)]

# Days of 23 and 25 hours: 2026-03-29 and 2026-10-25.
CET, CSV_HEAD = {"TZ": "CET-1CEST,M3.5.0,M10.5.0/3"}, "slot,slot_time,time,recorded,reading,max,min,avg\n"
LIST9, COUNT9 = b"".join(H.list_item(*item) for item in LISTED), H.COUNT.pack(len(LISTED))

def cet_key(day, hours_ahead):
    """Local midnight of day on CET/CEST, hours_ahead of UTC then."""
    return H.epoch_utc(day + " 00:00:00") - 3600 * hours_ahead

def answer(num, key, recorded=(), extremes=(0, 0), walked=H.SLOTS_PER_DAY):
    """A history answer of sensor num: the first walked five-minute steps from key stamped as the daemon stamps
    them, the slots in recorded recorded with 21.25."""
    slots = [H.SLOT.pack(int(s in recorded), key + H.SLOT_SECONDS * s, *[21.25 if s in recorded else 0.0] * 4)
             for s in range(walked)]
    return H.DATA_HEAD.pack(num, 21.25, 21.25, *extremes) + b"".join(slots) + bytes(H.SLOT.size * (288 - walked))

def stand_in(answers, args):
    """Runs trendkeep-query --verbose with args on FIFOs that only the test serves: to each request it writes the
    answer given for the request's kind (by default the module's count and list) in one write, as the daemon
    does.  Returns the status, the output and the error lines."""
    answers = {H.SENSOR_COUNT_REQ: COUNT9, H.SENSOR_LIST_REQ: LIST9, **answers}
    with daemon_away(True), H.Client() as peer:
        proc = subprocess.Popen([QUERY, "--verbose", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, **CET))
        deadline = time.monotonic() + 30
        while proc.poll() is None and time.monotonic() < deadline:
            if select.select([peer.req], [], [], 0.05)[0]:
                request = os.read(peer.req, H.REQUEST.size)
                os.write(peer.resp, answers[request[0]])
        out, err = proc.communicate(timeout=10)
    return proc.returncode, out, err

class Query(unittest.TestCase):
    def query(self, *args, status=0):
        r = H.run_tool(QUERY, *args, env=TZ)
        self.assertEqual((r.returncode, status and (r.stdout, len(r.stderr.splitlines()))), (status, status and ("", 1)))
        return r.stderr if status else r.stdout

    def test_every_format(self):
        table = [("NUM", "HEX", "NAME", "CLASS")] + [(n, "0x%02X" % n, name, c) for n, name, c in LISTED]
        for args, out in [(("count",), "9\n"), (("count", "--csv"), "count\n9\n"), (("count", "--json"), '{"count": 9}\n'),
                          (("list",), "".join("%5s  %-6s  %-16s  %5s\n" % r for r in table)),
                          (("list", "--csv"), "num,name,class\n" + "".join("%d,%s,%d\n" % r for r in LISTED)),
                          (("list", "--json"), "[\n%s\n]\n" % ",\n".join(
                              '  {"num": %d, "name": "%s", "class": %d}' % r for r in LISTED))]:
            self.assertEqual(self.query(*args), out, args)
        for (num, name, cls), file in ((LISTED[3], "Backplane_Temp_Rear"), (LISTED[0], "CPU0_Temp")):
            block, svg = H.block_of(stored(file), KEY1), os.path.join(RUN["work"], "day.svg")
            slots = [[s, x.slot_time, local(x.slot_time), 1, *x[2:]] for s, x in recorded(block)]
            ext = {"max": (block.day_max, block.day_max_time), "min": (block.day_min, block.day_min_time)}
            self.assertEqual(json.loads(self.query("data", num, DAY, "--json", "--svg", svg)), {
                "sensor": num, "name": name, "class": cls, "date": DAY, "day_key": KEY1, "recorded": len(slots),
                **{k: {"value": v, "time": t, "at": local(t)} for k, (v, t) in ext.items()}, "slots": [
                    dict(zip(("slot", "slot_time", "time", "recorded", "reading", "max", "min", "avg"), s)) for s in slots]})
            rows = list(csv.reader(self.query("data", num, DAY, "--csv").splitlines()))
            self.assertEqual([rows[0]] + [[int(r[0]), int(r[1]), r[2], int(r[3]), *map(float, r[4:])] for r in rows[1:]],
                             [["slot", "slot_time", "time", "recorded", "reading", "max", "min", "avg"]] + slots)
            lines = self.query("data", num, DAY).splitlines()
            self.assertEqual(lines[:2] + [line.split() for line in lines[2:]], [
                "sensor %d %s, %s: %d of 288 slots recorded" % (num, name, DAY, len(slots)),
                "greatest %.3f at %s, least %.3f at %s" % tuple(x for v, t in ext.values() for x in (v, H.utc_text(t + 19800))),
                "SLOT TIME REC READING GREATEST LEAST AVERAGE".split()] + [
                [str(s[0]), s[2][11:16], "1", *("%.3f" % v for v in s[4:])] for s in slots])
            root, ns = ET.parse(svg).getroot(), "{http://www.w3.org/2000/svg}"
            g = {g.get("class"): g for g in root.iter(ns + "g")}
            self.assertEqual((root.find(ns + "title").text, [t.text for t in g["x-ticks"].findall(ns + "text")], [
                len(g["series series-" + k].find(ns + "polyline").get("points").split()) for k in ("reading", "average")]),
                ("%s (sensor %d), %s" % (name, num, DAY), ["%02d:00" % h for h in range(0, 25, 3)], [len(slots)] * 2))

    def test_failures_in_one_line(self):
        for args, status, message, away in [  # the daemon's FIFOs moved away: none left, or mute ones
                (("data", "PSU1_Input_Voltage2", DAY), 1, "names several sensors (30, 31): give the number", None),
                (("data", "99", DAY, "--timeout", "1"), 3, "no answer within 1 s for sensor 99 on %s: the daemon does not "
                 "store that sensor, holds no history of that day, or is not running; it answers none" % DAY, None),
                (("data", "No Such Sensor", DAY), 3, "no sensor named 'No Such Sensor' among the daemon's 9 sensors", None),
                (("data", "Inlet Air Temp", "2020-01-01", "--timeout", "1"), 3,
                 "the daemon lists that sensor, so it holds no history of that day", None),
                (("data", "inlet air temp", "--timeout", "1"), 3, "on %s:" % local(time.time())[:10], None),  # today
                (("data", "1"), 2, "the daemon is not running: no FIFOs at " + REQUEST_FIFO, "none"),
                (("count", "--timeout", "0.5"), 3, "no answer to the count request within 0.5 s", "mute"),
                (("data", "0xC8", DAY, "--timeout", "0.5"), 3, "or is not running", "mute")]:
            with self.subTest(args), daemon_away(away == "mute") if away else contextlib.nullcontext():
                self.assertIn(message, self.query(*args, status=status))

    def test_planted_paths_are_refused(self):
        victim, old_lock = os.path.join(RUN["work"], "victim"), "/var/tmp/trendkeep-query.lock"  # clients once took turns
        link = lambda path: (os.mkfifo(victim), os.symlink(victim, path))  # noqa: E731
        for plant, watched, held, status in [  # the FIFO watched and the bytes it holds (None: no victim made)
                (lambda: link(REQUEST_FIFO), victim, b"\0", 2), (lambda: link(RESPONSE_FIFO), victim, b"precious", 2),
                (lambda: H.as_nobody("mkfifo", REQUEST_FIFO), REQUEST_FIFO, b"\0", 2),  # another user's FIFO
                (lambda: os.symlink(victim, old_lock), None, None, 3)]:
            with self.subTest(watched=watched, held=held), daemon_away(False):
                plant()
                for path in (REQUEST_FIFO, RESPONSE_FIFO):
                    os.path.lexists(path) or os.mkfifo(path)
                fd = os.open(watched or os.devnull, os.O_RDWR | os.O_NONBLOCK)
                os.write(fd, held or b"")
                self.assertIn("refusing " if status == 2 else "", self.query("count", "--timeout", "0.5", status=status))
                self.assertEqual(os.read(fd, 4096) if watched else os.path.lexists(victim), held or False)
                os.close(fd), H.remove_fixed_paths(victim, old_lock)

    def test_fifos_open_to_others_are_warned_of(self):
        nogroup, fifos = grp.getgrnam("nogroup").gr_gid, (REQUEST_FIFO, RESPONSE_FIFO)  # nobody's own group
        warning = ("trendkeep-query: warning: %s can be read or written by users other than root (mode %04o, group %s): "
                   "they can take requests or forge answers, so the answers cannot be trusted")
        try:
            for mode, gid, warned in [(0o600, 0, False), (0o606, 0, True), (0o602, 0, True), (0o660, nogroup, True),
                                      (0o640, nogroup, True), (0o660, 0, False)]:
                for path in fifos:
                    os.chown(path, 0, gid)
                    os.chmod(path, mode)
                r = H.run_tool(QUERY, "count", env=TZ)
                group = grp.getgrgid(gid).gr_name
                expected = [warning % (path, mode, group) for path in fifos] if warned else []
                self.assertEqual((r.returncode, r.stdout, r.stderr.splitlines()), (0, "9\n", expected))
        finally:
            for path in fifos:
                os.chown(path, 0, 0)
                os.chmod(path, 0o600)

    def test_clients_at_once_and_stale_bytes(self):
        jobs = [("data", "7", DAY), ("data", "0xc8", DAY), ("list",), ("count",), ("data", "Hex Answer", DAY),
                ("data", "31", DAY)]
        alone = [self.query(*job, "--json") for job in jobs]
        for _ in range(2):
            procs = [subprocess.Popen([QUERY, *job, "--json"], stdout=subprocess.PIPE, text=True,
                                      env=dict(os.environ, **TZ)) for job in jobs]
            self.assertEqual([p.communicate(timeout=60)[0] for p in procs], alone)
        with open(RESPONSE_FIFO, "wb", buffering=0) as fifo:
            fifo.write(b"\x07" * 5000)  # left by requesters that gave up
            self.assertEqual(self.query(*jobs[1], "--json"), alone[1])

    def test_answers_not_asked_for_are_discarded(self):
        listed, gone = self.query("list"), H.pack_request(H.SENSOR_DATA_REQ, DAY + "T00:00:00", 7)
        kd, k23, k25 = cet_key("2026-12-04", 1), cet_key("2026-03-29", 1), cet_key("2026-10-25", 2)
        asked, outside = ("data", "7", "2026-12-04", "--csv"), "slot 0 stamped 2026-12-03 00:00:00, outside the five-minute"
        for n, (args, left, answers, status, out, discarded) in enumerate([
                # A requester that gave up left the daemon's answer behind: drained before asking.
                (("data", "7", "2020-01-01", "--timeout", "1"), (gone, H.DATA_RESPONSE_SIZE), None, 3, "",
                 ["discarded 10682 stale bytes from the response FIFO before asking"]),
                (("count",), (H.list_request(), len(LIST9)), None, 0, "9\n", ["discarded 207 stale bytes"]),
                (("list",), (H.count_request(), 4), None, 0, listed, ["discarded 4 stale bytes"]),
                # Answers that come after the request, from a stand-in daemon.
                (asked, None, {4: answer(1, kd, {100}, (kd + 30000, kd + 30000))}, 3, "",
                 ["discarded 10682 bytes from the response FIFO: not the data answer asked for: an answer for sensor 1, "
                  "not 7"]),
                (asked, None, {4: answer(7, kd - 86400, {100}, (kd - 56400, kd - 56400))}, 3, "", [outside]),
                (asked, None, {4: answer(7, kd - 86400, walked=120)}, 3, "", [outside]),  # nothing recorded that day
                (asked, None, {4: answer(7, kd, walked=120)}, 0, CSV_HEAD, []),
                (asked, None, {4: answer(7, kd, {100}, (kd + 30000, kd - 60))}, 3, "",
                 ["the least value's time 2026-12-03 23:59:00 lies outside 2026-12-04"]),
                (("data", "7", "2026-03-29", "--csv"), None, {4: answer(7, k23, {275, 276}, (k23 + 82500, k23 + 82500))}, 3,
                 "", ["slot 276 recorded at 2026-03-30 00:00:00, outside 2026-03-29"]),
                (("data", "7", "2026-10-25", "--csv"), None, {4: answer(7, k25, {287}, (k25 + 89000, k25 + 86100))}, 0,
                 CSV_HEAD + "287,%d,2026-10-25T22:55:00,1,21.25,21.25,21.25,21.25\n" % (k25 + 86100), []),
                (("count",), None, {1: H.COUNT.pack(2)}, 3, "", ["implausible sensor count 2 (the daemon keeps 3 to 1027)"]),
                (("count",), None, {1: H.COUNT.pack(1028)}, 3, "", ["implausible sensor count 1028 "]),
                (("count",), None, {1: H.COUNT.pack(1027)}, 0, "1027\n", []),
                (("count",), None, {1: LIST9 + COUNT9}, 0, "9\n", ["discarded 207 bytes from the response FIFO that came "
                                                                  "ahead of the count answer"]),
                (("list",), None, {2: LIST9[:3 * 23 + 18] + b"ear2" + LIST9[3 * 23 + 22:]}, 3, "",
                 ["item 3 has a name that runs past 16 bytes"]),
                (("list",), None, {2: LIST9[6 * 23:] + LIST9[:6 * 23]}, 3, "",
                 ["item 6 is 200 'Backplane_Temp_R' of class 0, not the utilisation entry 0xFFFF 'CPU_Utilization' of class 3"])]):
            with self.subTest(n=n, args=args):
                if answers is None:
                    with H.Client() as requester:  # asks, then gives up before the answer comes
                        requester.send(left[0])
                        self.assertTrue(H.wait_until(lambda: requester.waiting() == left[1], 10), requester.waiting())
                    r = H.run_tool(QUERY, "--verbose", *args, env=CET)
                    got = (r.returncode, r.stdout, r.stderr)
                else:
                    got = stand_in(answers, ("--timeout", "1", *args))
                self.assertEqual(got[:2], (status, out), got[2])
                notes = [line for line in got[2].splitlines() if line.startswith("trendkeep-query: discarded ")]
                self.assertEqual(len(notes), len(discarded), got[2])
                for note, text in zip(notes, discarded):
                    self.assertIn(text, note)

def patch(name, at, data, key=KEY1, slot=None):
    """A damage: data written into a file at at (None: appended), counted from the block of day key (or its slot)."""
    if key and at is not None:
        at += H.FILE_HEAD.size + H.BLOCK_SIZE * [b.day_key for b in stored(name).blocks].index(key) + (
            0 if slot is None else H.BLOCK_HEAD.size + H.SLOT.size * slot)

    def damage(rdir):
        with open(os.path.join(rdir, name), "ab" if at is None else "r+b") as f:
            f.seek(at or 0, 2 if at is None else 0)
            f.write(data)
    return damage

class Card(unittest.TestCase):
    def card(self, *args, status=0, card=None):
        """Runs trendkeep-card, which must leave the card as it was."""
        before = H.tree_digest(card or RUN["card"])
        r = H.run_tool(CARD, *args, env=TZ)
        self.assertEqual((r.returncode, H.tree_digest(card or RUN["card"])), (status, before), r.stdout + r.stderr)
        return r.stdout

    def damaged(self, *damages):
        card = os.path.join(tempfile.mkdtemp(dir=RUN["work"]), "card")
        shutil.copytree(RUN["card"], card)
        for damage in damages:
            damage(os.path.join(card, RECORD_DIR))
        return card

    def report(self, card, *args):
        page = os.path.join(tempfile.mkdtemp(dir=RUN["work"]), "report.html")
        self.card("report", card, "-o", page, *args, card=card)
        return page, H.pathlib.Path(page).read_text()

    def test_damage_is_named(self):
        slots = sum(len(recorded(b)) for n in os.listdir(os.path.join(RUN["card"], RECORD_DIR)) if n != "DataTime"
                    for b in stored(n).blocks)
        for where in (RUN["card"], os.path.join(RUN["card"], RECORD_DIR)):  # the card the daemon wrote is sound
            self.assertEqual(self.card("check", where), "sound: 9 sensor files, 18 day blocks, %d recorded slots, "
                             "record time consistent\n" % slots)
            self.assertEqual(self.card("check", where, "--quiet"), "")
        r = H.run_tool(CARD, "check", os.path.dirname(RUN["card"]))  # a usage error or an unreadable card: 2
        self.assertEqual((r.returncode, "no history store in" in r.stderr), (2, True))
        bp, first = "Backplane_Temp_Rear", H.block_of(stored("Backplane_Temp_Rear"), KEY1).raw
        block = {k: [b.day_key for b in stored(bp).blocks].index(k) for k in (KEY1, KEY2)}
        empty, ahead = [b.day_key for b in stored(bp).blocks].index(0), KEY2 + 86400  # prepared by a clock a day ahead
        prepared = H.BLOCK_HEAD.pack(ahead, 0, 0.0, 0.0, 0, 0) + b"".join(
            H.SLOT.pack(0, ahead + H.SLOT_SECONDS * s, 0.0, 0.0, 0.0, 0.0) for s in range(H.SLOTS_PER_DAY))
        for damages, expected in [
                ([lambda r: os.truncate(os.path.join(r, "Hex Answer"), 50000)], "Hex Answer: truncated: 50000 bytes, "
                 "expected 74818"),
                ([patch("Hex Answer", None, bytes(10))], "Hex Answer: damaged: file too long (74828 bytes, expected 74818)"),
                ([patch("notes.txt", None, b"hello")], "notes.txt: not a sensor data file (5 bytes"),
                ([patch("CPU0_Temp", 1, bytes([(KEY1 >> 8 & 255) ^ 255]))], "CPU0_Temp: block %d, DayKey: expected %d (2026-12"
                 "-03 00:00:00) (local midnight, as the slot times say), found %d" % (block[KEY1], KEY1, KEY1 ^ 0xFF00)),
                ([patch("Inlet Air Temp", 1, struct.pack("<I", KEY2 + 3300), KEY2, 10)], "Inlet Air Temp: block %d, slot 10, "
                 "SlotTime: expected %d (2026-12-04 00:50:00), found %d (2026-12-04 00:55:00)" % (block[KEY2], KEY2 + 3000,
                                                                                                 KEY2 + 3300)),
                ([lambda r: os.mkdir(os.path.join(r, "old"))], "old: stray entry: a directory"),
                ([patch("DataTime/RecordTime.bak", None, b"")], "DataTime/RecordTime.bak: stray entry: a file"),
                ([patch(bp, 0, b"\2", KEY1, 270)], "block %d, slot 270, Recorded: expected 0 or 1, found 2" % block[KEY1]),
                ([patch(bp, 5, struct.pack("<d", 1.5), KEY1, 0)],
                 "slot 0, readings: not recorded (Recorded 0) but expected zero readings, found reading 1.5"),
                ([patch(bp, 4, b"\5")], "block %d, StatsValid: expected 0 or 1, found 5" % block[KEY1]),
                ([patch(bp, 21, struct.pack("<I", KEY2 + 60))], "DayMaxTime: expected a time within 2026-12-03"),
                ([patch(bp, 5, struct.pack("<d", 1.0))], "DayMax: expected at least 30.125 (greatest of slot 26"),
                ([patch(bp, 0, first, KEY2)], "block %d, DayKey: day 2026-12-03 (%d) is also held by block %d" % (
                    max(block.values()), KEY1, min(block.values()))),
                ([patch(bp, H.FILE_HEAD.size + H.BLOCK_SIZE * empty, prepared, 0)], "%s: block %d, DayKey: day "
                 "2026-12-05 (%d) is after the record day 2026-12-04 of DataTime/RecordTime" % (bp, empty, ahead)),
                ([patch("DataTime/RecordTime", 4, struct.pack("<I", KEY2 + 86400), None)],
                 "DataTime/RecordTime: RecordSlot: expected a slot start within 2026-12-04"),
                ([patch(bp, 2, b"FAN1\0", None)], "Backplane_Temp_Rear: header, SensorName: expected the name this file "
                 "is stored under ('Backplane_Temp_Rear'), found 'FAN1'"),
                ([patch("Hex Answer", 1, struct.pack("<I", 7), KEY1, s) for s in range(100, 120)],  # four, then a count
                 "SlotTime: and 16 more slots with the same fault (20 in all)")]:
            with self.subTest(expected):
                card = self.damaged(*damages)
                lines = self.card("check", card, status=1, card=card).splitlines()
                self.assertEqual(lines[-1], "%d problem%s in %s" % (len(lines) - 1, "s"[:len(lines) - 2],
                                                                   os.path.join(card, RECORD_DIR)))
                self.assertEqual((len(lines), expected in "\n".join(lines)), (len(damages[:5]) + 1, True), lines)
                self.assertEqual(self.card("check", card, "--quiet", status=1, card=card), "")

    def test_charts_end_on_any_reading(self):
        for readings in ([MAX, 1.0], [-MAX, 1.0], [-MAX, MAX], [1.6e308, 0.0], [-1.7e308],
                         [1.7e308, float("inf"), float("-inf"), float("nan"), 5e-324]):
            html = self.report(self.damaged(*[patch("Hex Answer", 5, struct.pack("<4d", *[r] * 4), KEY1, 264 + i)
                                              for i, r in enumerate(readings)]), "--date", DAY)[1]
            self.assertEqual((len(html) < 256 * 1024, re.findall(r'="[^"]*(?:nan|inf)[^"]*"', html.split("<svg", 1)[1])),
                             (True, []), readings)  # a bounded page, every coordinate finite

    def test_names_are_printed_escaped(self):
        name = "Fan\x1b[2J\x07\xe9"  # the header says otherwise, so that both names are printed
        card = self.damaged(lambda r: os.rename(os.path.join(r, "Hex Answer"), os.path.join(r, name)),
                            patch(name, 2, os.fsencode(name + "!\0"), None))
        for command in ("list", "check", "dump"):
            r = subprocess.run([CARD, command, card], capture_output=True, env=dict(os.environ, **TZ), timeout=20)
            self.assertEqual([c for c in r.stdout + r.stderr if c < 0x20 and c != 0x0A or c >= 0x7F], [], command)
            self.assertIn(b"Fan\\x1B[2J\\x07\\xC3\\xA9!", r.stdout + r.stderr)

    def test_a_fifo_swapped_in_is_never_opened(self):
        """A FIFO and a sensor file exchange names over and over while the tool reads the card: its first open of the
        FIFO, even one closed at once, would let a writer blocked in opening the FIFO go."""
        card = self.damaged(lambda r: os.mkfifo(os.path.join(r, "swapped")))
        names = [os.fsencode(os.path.join(card, RECORD_DIR, n)) for n in ("Hex Answer", "swapped")]
        fifo, stop, opened = card + ".fifo", threading.Event(), threading.Event()
        os.link(names[1], fifo)
        exchange = ctypes.CDLL(None, use_errno=True).renameat2

        def swap():
            while not stop.is_set():
                exchange(-100, names[0], -100, names[1], 2)  # AT_FDCWD, RENAME_EXCHANGE

        def write():
            os.close(os.open(fifo, os.O_WRONLY))
            opened.set()
        threads = [threading.Thread(target=swap), threading.Thread(target=write)]
        for thread in threads:
            thread.start()
        # Under strace, each look at a file takes 5 ms longer, so that an exchange falls between a look and an open
        # far more often than the tool alone would let it.
        slow = ["strace", "-f", "-o", os.devnull, "-e", "trace=fstat,newfstatat",
                "-e", "inject=fstat,newfstatat:delay_exit=5000"] if shutil.which("strace") else []
        try:
            for _ in range(20):
                r = H.run_tool(*slow, CARD, "check", card, env=TZ)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)  # a FIFO, or a file under the other name
            self.assertFalse(opened.wait(1), "trendkeep-card opened the FIFO")
        finally:
            stop.set()
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # lets the writer go
            for thread in threads:
                thread.join()

    def test_memory_stays_small_on_a_card_of_many_files(self):
        card = self.damaged(*[patch("f%04d" % i, None, b"tiny") for i in range(2000)])
        measure = ("import resource, subprocess, sys\nsubprocess.run(sys.argv[1:], capture_output=True)\n"
                   "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        for command, *out in (("check",), ("list",), ("dump",), ("report", "-o", os.path.join(RUN["work"], "m.html"))):
            kib = H.run_tool(sys.executable, "-c", measure, CARD, command, card, *out).stdout
            self.assertLess(int(kib), 64 * 1024, "peak RSS of trendkeep-card %s, KiB" % command)

    @unittest.skipIf(shutil.which("chromium") is None, "chromium is not installed")
    def test_the_report_in_chromium(self):
        for n, (args, charts, texts) in enumerate([
                ((RUN["card"], "--date", DAY), 9, ["Trendkeep sensor history, 2026-12-03", "Card check: sound"]),
                ((RUN["card"], "--week"), 9, ["Trendkeep history, 2026-11-28 to 2026-12-04"]),
                ((self.damaged(lambda r: os.truncate(os.path.join(r, "Hex Answer"), 4000)),), 8,
                 ["Card check: 1 problem", "Hex Answer: truncated"])]):
            page, html = self.report(*args)  # self-contained: no script, nothing loaded from elsewhere
            self.assertEqual(("<script" in html, re.findall(r'(?:src|href)="[^#]', html), [t in html for t in texts],
                              html.count('class="chart"')), (False, [], [True] * len(texts), charts))
            if n:  # as the browser parses it
                self.assertEqual(chromium("--dump-dom", page).count('class="chart"'), charts)
            else:  # as a person sees it; the screenshot stays beside the build's programs for a look
                shot = os.path.join(H.BIN_DIR, "..", "artifacts", "trendkeep-report.png")
                os.makedirs(os.path.dirname(shot), exist_ok=True)
                chromium("--screenshot=" + shot, "--window-size=1280,1600", "--hide-scrollbars", page)
                self.assertEqual(struct.unpack(">8x8xII", H.pathlib.Path(shot).read_bytes()[:24]), (1280, 1600))

def chromium(*args):
    r = subprocess.run([shutil.which("chromium"), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync", "--v=0",
                        "--user-data-dir=" + tempfile.mkdtemp(dir=RUN["work"]), "--enable-logging=stderr",
                        *args[:-1], "file://" + args[-1]], capture_output=True, text=True, errors="replace", timeout=180)
    assert r.returncode == 0 and not re.search("Failed to load resource|net::ERR_|Uncaught|CONSOLE", r.stderr), r.stderr
    return r.stdout
