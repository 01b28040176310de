"""trendkeep-query against the daemon, run on UTC+5:30 from 22:00 on 2026-12-03 past 01:00 the next day, and against
a stand-in giving the answers it must refuse; trendkeep-card on the card the daemon wrote, which it leaves as it was."""

import contextlib, csv, json, os, re, select, shutil, struct, subprocess, sys, tempfile, time
import unittest
import xml.etree.ElementTree as ET

import tkharness as H
from tkharness import CARD, QUERY, RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO

TZ = {"TZ": "IST-5:30"}
CET = {"TZ": "CET-1CEST,M3.5.0,M10.5.0/3"}  # days of 23 and 25 hours: 2026-03-29 and 2026-10-25
DAY = "2026-12-03"
KEY1 = H.epoch_utc("2026-12-03 00:00:00") - 19800
KEY2 = H.epoch_utc("2026-12-04 00:00:00") - 19800
RUN = {}
SENSORS = [
    dict(num=1, name="CPU0_Temp", devid=0x3001, reading={"base": 40, "swing": 5, "period": 3600}),
    dict(num=7, name="Inlet Air Temp", devid=0x3002, reading=21.25),
    dict(num=42, name="Hex Answer", devid=0x5004, reading=4.5),
    dict(num=200, name="Backplane_Temp_Rear2", devid=0x3003, reading=30.125),
    dict(num=30, name="PSU1_Input_Voltage", devid=0x8001, reading=230.5),
    dict(num=31, name="PSU1_Input_Voltage2", devid=0x8002, reading=231.5),
]
CLASSES = (0, 0, 1, 0, 2, 2)
LISTED = [(s["num"], s["name"][:16], c) for s, c in zip(SENSORS, CLASSES)] + [(n, m, 3) for n, m in H.UTILISATION]
LIST9 = b"".join(H.list_item(*item) for item in LISTED)
COUNT9 = H.COUNT.pack(len(LISTED))
FIELDS = ["slot", "slot_time", "time", "recorded", "reading", "max", "min", "avg"]
FIELDS_CSV = ",".join(FIELDS) + "\n"


def setUpModule():
    umask = os.umask(0o077)  # as the unit starts the daemon: FIFOs that only root may open
    unittest.addModuleCleanup(os.umask, umask)
    RUN["work"] = work = tempfile.mkdtemp(prefix="trendkeep-tools-")
    unittest.addModuleCleanup(shutil.rmtree, work, True)
    clock = os.path.join(work, "clock")
    H.replace_file(clock, "@2026-12-03 22:00:00 x900")
    utilisation = {"cpu": 37, "mem": 50, "io": 4}
    d = H.Daemon(work, sensors=SENSORS, sensor_doc=utilisation, clock_file=clock, env=TZ).start()
    unittest.addModuleCleanup(d.stop)
    RUN["card"] = d.card
    past_one = H.wait_until(lambda: (H.read_record_time(d.card) or (0, 0))[1] >= KEY2 + 3600, 60)
    assert past_one, d.log_lines()[-5:]
    H.replace_file(clock, "2026-12-04 01:02:00 x10")


def as_text(output):
    """JSON output with every number kept as the text printed."""
    return json.loads(output, parse_float=str, parse_int=str)


@contextlib.contextmanager
def daemon_away(mute):
    """Moves the daemon's FIFOs aside (it keeps them open), leaving none or, if mute, FIFOs nobody serves."""
    for path in (REQUEST_FIFO, RESPONSE_FIFO):
        os.rename(path, path + ".away")
        if mute:
            os.mkfifo(path)
    try:
        yield
    finally:
        for path in (REQUEST_FIFO, RESPONSE_FIFO):
            os.replace(path + ".away", path)


def by_series(text):
    """The samples of an export grouped by series, each group in its order."""
    lines = [line for line in text.splitlines() if not line.startswith("#")]
    return sorted(lines, key=lambda line: line.split(",figure=")[0])


def answer(num, key, recorded, max_time, min_time, walked=H.SLOTS_PER_DAY):
    """A history answer of sensor num: walked slots stamped from key, those in recorded recorded with 21.25."""
    slots = b""
    for s in range(walked):
        value = 21.25 if s in recorded else 0.0
        slots += H.SLOT.pack(int(s in recorded), key + H.SLOT_SECONDS * s, value, value, value, value)
    blank = bytes(H.SLOT.size * (H.SLOTS_PER_DAY - walked))
    return H.DATA_HEAD.pack(num, 21.25, 21.25, max_time, min_time) + slots + blank


def stand_in(reply, args):
    """Status, output and errors of trendkeep-query --verbose args, its request answered with reply by the test."""
    answers = {H.SENSOR_COUNT_REQ: COUNT9, H.SENSOR_LIST_REQ: LIST9}
    answers[{"count": 1, "list": 2, "data": 4}[args[0]]] = reply
    with daemon_away(True), H.Client() as peer:
        argv = [QUERY, "--verbose", "--timeout", "1", *args]
        env = dict(os.environ, **CET)
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        while proc.poll() is None:
            if select.select([peer.req], [], [], 0.05)[0]:
                request = os.read(peer.req, H.REQUEST.size)
                os.write(peer.resp, answers[request[0]])
        out, err = proc.communicate(timeout=10)
    return proc.returncode, out, err


class Query(unittest.TestCase):
    def query(self, *args, status=0, env=TZ):
        """The output of a run that succeeds, or the one error line of a run that fails with status."""
        r = H.run_tool(QUERY, *args, env=env)
        self.assertEqual(r.returncode, status, r.stderr)
        if status == 0:
            return r.stdout
        self.assertEqual((r.stdout, len(r.stderr.splitlines())), ("", 1), r.stderr)
        return r.stderr

    def test_count_and_list_formats(self):
        table = "%5s  %-6s  %-16s  %5s\n" % ("NUM", "HEX", "NAME", "CLASS")
        for num, name, cls in LISTED:
            table += "%5s  %-6s  %-16s  %5s\n" % (num, "0x%02X" % num, name, cls)
        items = ['  {"num": %d, "name": "%s", "class": %d}' % item for item in LISTED]
        for args, out in [
            (("count",), "9\n"),
            (("count", "--csv"), "count\n9\n"),
            (("count", "--json"), '{"count": 9}\n'),
            (("list",), table),
            (("list", "--csv"), "num,name,class\n" + "".join("%d,%s,%d\n" % item for item in LISTED)),
            (("list", "--json"), "[\n" + ",\n".join(items) + "\n]\n"),
        ]:
            self.assertEqual(self.query(*args), out, args)

    def test_data_formats_agree_with_the_card(self):
        day = as_text(self.query("data", "1", DAY, "--json"))
        dump = as_text(H.run_tool(CARD, "dump", "--json", "--date", DAY, RUN["card"], "1", env=TZ).stdout)
        held = dump["sensors"][0]["days"][0]
        slots = held["slots"]
        self.assertEqual(day["slots"], slots)
        head = [day[k] for k in ("sensor", "name", "class", "date", "day_key", "recorded")]
        self.assertEqual(head, ["1", "CPU0_Temp", "0", DAY, str(KEY1), str(len(slots))])
        extremes = [day["max"]["value"], day["max"]["time"], day["min"]["value"], day["min"]["time"]]
        self.assertEqual(extremes, [held["day_max"], held["day_max_time"], held["day_min"], held["day_min_time"]])
        self.assertEqual(day["max"]["at"], H.utc_text(int(day["max"]["time"]) + 19800).replace(" ", "T"))
        rows = list(csv.reader(self.query("data", "1", DAY, "--csv").splitlines()))
        self.assertEqual(rows, [FIELDS] + [[x[f] for f in FIELDS] for x in slots])
        lines = self.query("data", "1", DAY).splitlines()
        self.assertEqual(lines[0], "sensor 1 CPU0_Temp, %s: %d of 288 slots recorded" % (DAY, len(slots)))
        table = [[x["slot"], x["time"][11:16], "1", *["%.3f" % float(x[f]) for f in FIELDS[4:]]] for x in slots]
        self.assertEqual([line.split() for line in lines[3:]], table)

    def test_live_exports_agree_with_the_card(self):
        """A day as OpenMetrics, the latest figures as a textfile promtool accepts, a sensor-day as Redfish."""
        clock = dict(TZ, **H.faketime_env(clock_file=os.path.join(RUN["work"], "clock")))
        day = ("--from", DAY, "--to", DAY, "--label", "rack=r7")
        live = self.query("export", *day, env=clock)
        card = H.run_tool(CARD, "export", *day, RUN["card"], env=TZ).stdout
        unnamed = r'sensor="[^"]*",'  # the daemon lists the first 16 characters of a name, the card holds them all
        self.assertEqual(by_series(re.sub(unnamed, "", live)), by_series(re.sub(unnamed, "", card)))
        redfish = self.query("data", "--redfish", "42", DAY)
        card = H.run_tool(CARD, "dump", "--redfish", "--date", DAY, RUN["card"], "42", env=TZ).stdout
        self.assertEqual(redfish, card)
        first = json.loads(redfish)["MetricValues"][0]  # a value as a string, a time with the zone's offset
        self.assertEqual(first, {**first, "MetricValue": "4.5", "Timestamp": "2026-12-03T22:00:00+05:30"})
        textdir = tempfile.mkdtemp(dir=RUN["work"])
        self.query("export", "--textfile", textdir, "--label", "rack=r7", env=clock)
        textfile = os.path.join(textdir, "trendkeep.prom")
        text = H.pathlib.Path(textfile).read_text()
        subprocess.run(["promtool", "check", "metrics"], input=text, text=True, check=True, capture_output=True)
        newest = {}  # the newest sample of each series the daemon answers: today's, else yesterday's
        for line in by_series(self.query("export", "--from", DAY, "--label", "rack=r7", env=clock)):
            series, value, stamp = line.rsplit(" ", 2)
            newest[series] = (value, int(stamp))
        want = ["%s %s" % (series, value) for series, (value, _) in newest.items()]
        now = H.epoch_utc("2026-12-04 01:02:00") - 19800
        age = now - max(stamp for _, stamp in newest.values())
        want.append('trendkeep_newest_slot_age_seconds{rack="r7"} %d' % age)
        self.assertEqual(by_series(text), by_series("\n".join(want)))

    def test_failures_in_one_line(self):
        not_stored = "no answer within 1 s for sensor 99 on %s: the daemon does not store that sensor, holds no " % DAY
        today = "on %s:" % H.utc_text(time.time() + 19800)[:10]
        for args, status, message, away in [  # away: the daemon's FIFOs moved aside, none left or mute ones
            (("data", "PSU1_Input_Voltage2", DAY), 1, "names several sensors (30, 31): give the number", None),
            (("data", "99", DAY, "--timeout", "1"), 3, not_stored + "history of that day, or is not running", None),
            (("data", "No Such Sensor", DAY), 3, "no sensor named 'No Such Sensor' among the daemon's 9 sensors", None),
            (("data", "Inlet Air Temp", "2020-01-01", "--timeout", "1"), 3, "the daemon lists that sensor, so", None),
            (("data", "inlet air temp", "--timeout", "1"), 3, today, None),
            (("data", "1"), 2, "the daemon is not running: no FIFOs at " + REQUEST_FIFO, "none"),
            (("count", "--timeout", "0.5"), 3, "no answer to the count request within 0.5 s", "mute"),
        ]:
            with self.subTest(args):
                with daemon_away(away == "mute") if away else contextlib.nullcontext():
                    self.assertIn(message, self.query(*args, status=status))

    def test_planted_paths_are_refused(self):
        """A link at a FIFO path to a FIFO that holds bytes, another user's FIFO: neither is written to nor read."""
        victim = os.path.join(RUN["work"], "victim")
        for path, planted in [(RESPONSE_FIFO, victim), (REQUEST_FIFO, victim), (REQUEST_FIFO, REQUEST_FIFO)]:
            with self.subTest(path=path, planted=planted), daemon_away(True):
                os.unlink(path)
                if planted == victim:
                    os.mkfifo(victim)
                    os.symlink(victim, path)
                else:
                    H.as_nobody("mkfifo", path)
                fd = os.open(planted, os.O_RDWR | os.O_NONBLOCK)
                os.write(fd, b"precious")
                self.assertIn("refusing ", self.query("count", "--timeout", "0.5", status=2))
                self.assertEqual(os.read(fd, 4096), b"precious")
                os.close(fd)
                H.remove_fixed_paths(victim)

    def test_clients_at_once_and_stale_bytes(self):
        jobs = [("data", "7", DAY), ("data", "0xc8", DAY), ("list",), ("count",), ("data", "Hex Answer", DAY)]
        alone = [self.query(*job, "--json") for job in jobs]
        for _ in range(2):
            procs = []
            for job in jobs:
                argv = [QUERY, *job, "--json"]
                procs.append(subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, env=dict(os.environ, **TZ)))
            self.assertEqual([p.communicate(timeout=60)[0] for p in procs], alone)
        with open(RESPONSE_FIFO, "wb", buffering=0) as fifo:
            fifo.write(b"\x07" * 5000)  # left by requesters that gave up
            r = H.run_tool(QUERY, "--verbose", *jobs[1], "--json", env=TZ)
            self.assertEqual(r.stdout, alone[1])
            self.assertIn("discarded 5000 stale bytes from the response FIFO before asking", r.stderr)

    def test_answers_not_asked_for_are_discarded(self):
        kd = H.epoch_utc("2026-12-04 00:00:00") - 3600  # local midnights on CET or CEST
        k23 = H.epoch_utc("2026-03-29 00:00:00") - 3600  # 23 hours long
        k25 = H.epoch_utc("2026-10-25 00:00:00") - 7200  # 25 hours long
        dec4 = ("data", "7", "2026-12-04", "--csv")
        mar29 = ("data", "7", "2026-03-29", "--csv")
        oct25 = ("data", "7", "2026-10-25", "--csv")
        t = kd + 30000
        wrong = "10682 bytes from the response FIFO: not the data answer asked for: an answer for sensor 1, not 7"
        slot287 = "287,%d,2026-10-25T22:55:00,1,21.25,21.25,21.25,21.25\n" % (k25 + 86100)
        long_name = LIST9[: 3 * 23 + 18] + b"ear2" + LIST9[3 * 23 + 22 :]
        rotated = LIST9[6 * 23 :] + LIST9[: 6 * 23]
        not_util = "item 6 is 200 'Backplane_Temp_R' of class 0, not the utilisation entry 0xFFFF 'CPU_Utilization'"
        for args, reply, status, out, said in [  # said: in the one note of what was discarded ("": no note)
            (dec4, answer(1, kd, {100}, t, t), 3, "", wrong),
            (dec4, answer(7, kd - 86400, (), 0, 0, walked=120), 3, "", "slot 0 stamped 2026-12-03 00:00:00, outside"),
            (dec4, answer(7, kd, (), 0, 0, walked=120), 0, FIELDS_CSV, ""),
            (dec4, answer(7, kd, {100}, t, kd - 60), 3, "", "least value's time 2026-12-03 23:59:00 lies outside"),
            (mar29, answer(7, k23, {275, 276}, k23, k23), 3, "", "slot 276 recorded at 2026-03-30 00:00:00, outside"),
            (oct25, answer(7, k25, {287}, k25 + 89000, k25 + 86100), 0, FIELDS_CSV + slot287, ""),
            (("count",), H.COUNT.pack(2), 3, "", "implausible sensor count 2 (the daemon keeps 3 to 1027)"),
            (("count",), H.COUNT.pack(1028), 3, "", "implausible sensor count 1028 "),
            (("count",), H.COUNT.pack(1027), 0, "1027\n", ""),
            (("count",), LIST9 + COUNT9, 0, "9\n", "207 bytes from the response FIFO that came ahead of the count"),
            (("list",), long_name, 3, "", "item 3 has a name that runs past 16 bytes"),
            (("list",), rotated, 3, "", not_util),
        ]:
            with self.subTest(args=args, said=said):
                got, printed, err = stand_in(reply, args)
                self.assertEqual((got, printed), (status, out), err)
                notes = [line for line in err.splitlines() if line.startswith("trendkeep-query: discarded ")]
                self.assertEqual(len(notes), 1 if said else 0, err)
                if said:
                    self.assertIn(said, notes[0])


def patch(name, at, data, key=KEY1, slot=None):
    """Writes data into a file at at (None: appends), from the block of day key (None: the start) or its slot."""

    def damage(rdir):
        with open(os.path.join(rdir, name), "ab" if at is None else "r+b") as f:
            if at is not None and key is not None:
                held = H.read_sensor_file(H.sensor_path(RUN["card"], name))
                f.seek(H.FILE_HEAD.size + H.BLOCK_SIZE * [b.day_key for b in held.blocks].index(key))
                f.seek(H.BLOCK_HEAD.size + H.SLOT.size * slot if slot is not None else 0, os.SEEK_CUR)
            f.seek(at or 0, os.SEEK_CUR)
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

    def test_damage_is_named(self):
        dump = json.loads(self.card("dump", "--json", RUN["card"]))
        slots = sum(len(day["slots"]) for sensor in dump["sensors"] for day in sensor["days"])
        sound = "sound: 9 sensor files, 18 day blocks, %d recorded slots, record time consistent\n" % slots
        for where in (RUN["card"], os.path.join(RUN["card"], RECORD_DIR)):  # the card the daemon wrote
            self.assertEqual(self.card("check", where), sound)
            self.assertEqual(self.card("check", where, "--quiet"), "")
        self.assertEqual(H.run_tool(CARD, "check", RUN["work"]).returncode, 2)  # no card there
        bp = "Backplane_Temp_Rear"
        held = H.read_sensor_file(H.sensor_path(RUN["card"], bp))
        keys = [b.day_key for b in held.blocks]
        b1 = keys.index(KEY1)
        b2 = keys.index(KEY2)
        empty = keys.index(0)
        first = min(b1, b2)
        ahead = KEY2 + 86400  # a block prepared by a clock a day ahead
        prepared = H.BLOCK_HEAD.pack(ahead, 0, 0.0, 0.0, 0, 0)
        for s in range(H.SLOTS_PER_DAY):
            prepared += H.SLOT.pack(0, ahead + H.SLOT_SECONDS * s, 0.0, 0.0, 0.0, 0.0)
        at_empty = H.FILE_HEAD.size + H.BLOCK_SIZE * empty
        bad_key = bytes([(KEY1 >> 8 & 255) ^ 255])
        twenty = [patch("Hex Answer", 1, struct.pack("<I", 7), KEY1, s) for s in range(100, 120)]
        for damages, expected in [
            ([lambda r: os.truncate(os.path.join(r, "Hex Answer"), 50000)], "truncated: 50000 bytes, expected 74818"),
            ([patch("notes.txt", None, b"hello")], "notes.txt: not a sensor data file (5 bytes"),
            ([patch("CPU0_Temp", 1, bad_key)], "DayKey: expected %d (2026-12-03 00:00:00) (local midnight" % KEY1),
            ([lambda r: os.mkdir(os.path.join(r, "old"))], "old: stray entry: a directory"),
            ([patch(bp, 0, b"\2", KEY1, 270)], "block %d, slot 270, Recorded: expected 0 or 1, found 2" % b1),
            ([patch(bp, 5, struct.pack("<d", 1.5), KEY1, 0)], "not recorded (Recorded 0) but expected zero readings"),
            ([patch(bp, 5, struct.pack("<d", 1.0))], "DayMax: expected at least 30.125 (greatest of slot 26"),
            ([patch(bp, 0, held.blocks[b1].raw, KEY2)], "2026-12-03 (%d) is also held by block %d" % (KEY1, first)),
            ([patch(bp, at_empty, prepared, None)], "block %d, DayKey: day 2026-12-05 (%d) is after" % (empty, ahead)),
            ([patch("DataTime/RecordTime", 4, struct.pack("<I", ahead), None)], "RecordSlot: expected a slot start"),
            ([patch(bp, 2, b"FAN1\0", None)], "SensorName: expected the name this file is stored under ('Backpla"),
            (twenty, "SlotTime: and 16 more slots with the same fault (20 in all)"),  # four, then a count
        ]:
            with self.subTest(expected):
                card = self.damaged(*damages)
                lines = self.card("check", card, status=1, card=card).splitlines()
                problems = min(len(damages), 5)
                summary = "%d problem%s in %s" % (problems, "s" if problems > 1 else "", os.path.join(card, RECORD_DIR))
                self.assertEqual(lines[-1], summary, lines)
                self.assertEqual(len(lines), problems + 1, lines)
                self.assertIn(expected, "\n".join(lines))
                self.assertEqual(self.card("check", card, "--quiet", status=1, card=card), "")

    def test_report_pages_stand_alone(self):
        """Whole pages of well-formed charts, every coordinate finite whatever the readings."""
        big = sys.float_info.max
        extremes = [big, -big, float("inf"), float("-inf"), float("nan"), 5e-324]
        damages = [lambda r: os.truncate(os.path.join(r, "Hex Answer"), 4000)]
        for i, value in enumerate(extremes):
            damages.append(patch("Inlet Air Temp", 5, struct.pack("<4d", value, value, value, value), KEY1, 264 + i))
        damages.append(patch("CPU0_Temp", 5, struct.pack("<4d", 1.7e308, 1.7e308, 1.7e308, 1.7e308), KEY1, 264))
        for args, charts, texts in [
            ((RUN["card"], "--date", DAY), 9, ["Trendkeep sensor history, 2026-12-03", "Card check: sound"]),
            ((RUN["card"], "--week"), 9, ["Trendkeep history, 2026-11-28 to 2026-12-04"]),
            ((self.damaged(*damages), "--date", DAY), 8, ["Card check: ", "Hex Answer: truncated"]),
        ]:
            page_file = os.path.join(tempfile.mkdtemp(dir=RUN["work"]), "report.html")
            self.card("report", *args, "-o", page_file, card=args[0])
            page = H.pathlib.Path(page_file).read_text()  # self-contained: no script, nothing loaded from elsewhere
            self.assertEqual(re.findall(r"<script|(?:src|href)=\"[^#]", page), [], args)
            svgs = re.findall("<svg .*?</svg>", page, re.S)
            self.assertEqual([ET.fromstring(svg).get("class") for svg in svgs], ["chart"] * charts)  # well-formed
            self.assertEqual(re.findall(r'="[^"]*(?:nan|inf)[^"]*"', "".join(svgs)), [])
            self.assertLess(len(page), 256 * 1024)
            self.assertEqual([text for text in texts if text not in page], [])
