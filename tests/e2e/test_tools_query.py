"""trendkeep-query, the FIFO client, against the running daemon.

One daemon serves the whole class: its clock starts at 22:00 yesterday and
runs 600 times faster, so yesterday ends with a couple of hours of recorded
slots that no longer change (the day used to compare outputs) and today
fills as the tests run.  The client itself runs on the real clock; both use
the same time zone, so "today" is the same day for both.
"""

import datetime
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

from tkharness import (RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO, Daemon, DaemonTestCase, remove_fixed_paths,
                       wait_until)
import test_tools_card as toolkit
from test_tools_card import QUERY, run_tool

SENSORS = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": {"base": 40, "swing": 5, "period": 3600}},
    {"num": 7, "name": "Inlet Air Temp", "devid": 0x3002, "reading": 21.25},
    {"num": 42, "name": "Hex Answer", "devid": 0x3004, "reading": 4.5},
    {"num": 200, "name": "Backplane_Temp_Rear2", "devid": 0x3003, "reading": 30.125},
    {"num": 30, "name": "PSU1_Input_Voltage", "devid": 0x8001, "reading": 230.5},
    {"num": 31, "name": "PSU1_Input_Voltage2", "devid": 0x8002, "reading": 231.5},
]
UTILISATION = {"cpu": 37, "mem": 50, "io": 4}
SVG = "{http://www.w3.org/2000/svg}"


def day_key(date):
    return int(time.mktime((date.year, date.month, date.day, 0, 0, 0, 0, 0, -1)))


def query(*args):
    return run_tool(QUERY, *args, timeout=60)


class AgainstDaemon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(QUERY, os.X_OK):
            raise AssertionError("trendkeep-query not built at %s" % QUERY)
        cls.workdir = tempfile.mkdtemp(prefix="trendkeep-query-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, True)
        cls.today = datetime.date.today()
        cls.yesterday = cls.today - datetime.timedelta(days=1)
        cls.day = cls.yesterday.isoformat()
        remove_fixed_paths()
        env = toolkit.faketime_env("@%s 22:00:00 x600" % cls.day)
        cls.daemon = Daemon(cls.workdir, sensors=SENSORS, sensor_doc=UTILISATION, env=env).start()
        cls.addClassCleanup(remove_fixed_paths)
        cls.addClassCleanup(cls.daemon.stop)
        today_key = day_key(cls.today)
        if not wait_until(lambda: toolkit.record_time(cls.daemon.card)[1] >= today_key + 1800, 120, interval=0.2):
            raise AssertionError("the daemon did not reach today; log:\n" + "\n".join(cls.daemon.log_lines()))
        cls.record_dir = os.path.join(cls.daemon.card, RECORD_DIR)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.signal(signal.SIGTERM)
        cls.daemon.wait(20)

    def ok(self, *args):
        r = query(*args)
        self.assertEqual(r.returncode, 0, "trendkeep-query %s: %s" % (" ".join(args), r.stderr))
        return r.stdout

    def fails(self, status, *args):
        r = query(*args)
        self.assertEqual(r.returncode, status, r.stdout + r.stderr)
        self.assertEqual(r.stdout, "")
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        return r.stderr

    def stored_day(self, file_name):
        stored = toolkit.read_sensor_file(os.path.join(self.record_dir, file_name))
        key = day_key(self.yesterday)
        return next(b for b in stored["blocks"].values() if b["key"] == key)

    # -- count and list -----------------------------------------------------

    def test_count_in_every_format(self):
        n = len(SENSORS) + 3
        self.assertEqual(self.ok("count"), "%d\n" % n)
        self.assertEqual(self.ok("count", "--csv"), "count\n%d\n" % n)
        self.assertEqual(json.loads(self.ok("count", "--json")), {"count": n})

    def test_list_formats_agree_and_carry_the_listed_names(self):
        listed = json.loads(self.ok("list", "--json"))
        expected_names = ["CPU0_Temp", "Inlet Air Temp", "Hex Answer", "Backplane_Temp_R", "PSU1_Input_Volta",
                          "PSU1_Input_Volta", "CPU_Utilization", "MEM_Utilization", "IO_Utilization"]
        self.assertEqual([e["name"] for e in listed], expected_names)
        self.assertEqual([e["num"] for e in listed], [1, 7, 42, 200, 30, 31, 0xFFFF, 0xFFFE, 0xFFFD])
        self.assertEqual([e["class"] for e in listed[-3:]], [3, 3, 3])

        csv_lines = self.ok("list", "--csv").splitlines()
        self.assertEqual(csv_lines[0], "num,name,class")
        self.assertEqual(csv_lines[1:], ["%d,%s,%d" % (e["num"], e["name"], e["class"]) for e in listed])

        table = self.ok("list").splitlines()
        self.assertEqual(table[0].split(), ["NUM", "HEX", "NAME", "CLASS"])
        self.assertEqual(len(table), len(listed) + 1)
        self.assertRegex(table[2], r"^\s+7  0x07\s+Inlet Air Temp\s+\d+$")
        self.assertRegex(table[7], r"^65535  0xFFFF  CPU_Utilization\s+3$")
        # Aligned: every name starts under the NAME heading.
        name_at = table[0].index("NAME")
        for line in table[1:]:
            self.assertEqual(line[name_at - 2:name_at], "  ", line)
            self.assertNotEqual(line[name_at], " ", line)

    # -- data ---------------------------------------------------------------

    def test_data_json_is_the_stored_day(self):
        doc = json.loads(self.ok("data", "200", self.day, "--json"))
        block = self.stored_day("Backplane_Temp_Rear")
        self.assertEqual((doc["sensor"], doc["name"], doc["date"], doc["day_key"]),
                         (200, "Backplane_Temp_R", self.day, day_key(self.yesterday)))
        recorded = [(s, slot) for s, slot in enumerate(block["slots"]) if slot[0] == 1]
        self.assertGreaterEqual(len(recorded), 12)
        self.assertEqual(doc["recorded"], len(recorded))
        self.assertEqual([(s["slot"], (s["recorded"], s["slot_time"], s["reading"], s["max"], s["min"], s["avg"]))
                          for s in doc["slots"]], recorded)
        # For a day that is over, the window's extremes are the day's own.
        self.assertEqual((doc["max"]["value"], doc["max"]["time"], doc["min"]["value"], doc["min"]["time"]),
                         (block["max"], block["max_time"], block["min"], block["min_time"]))

    def test_table_csv_and_json_show_the_same_slots(self):
        doc = json.loads(self.ok("data", "CPU0_Temp", self.day, "--json"))
        csv_lines = self.ok("data", "CPU0_Temp", self.day, "--csv").splitlines()
        self.assertEqual(csv_lines[0], "slot,slot_time,time,recorded,reading,max,min,avg")
        rows = [line.split(",") for line in csv_lines[1:]]
        self.assertEqual([(int(r[0]), int(r[1]), r[2], int(r[3]), float(r[4]), float(r[5]), float(r[6]), float(r[7]))
                          for r in rows],
                         [(s["slot"], s["slot_time"], s["time"], s["recorded"], s["reading"], s["max"], s["min"],
                           s["avg"]) for s in doc["slots"]])
        self.assertTrue(all(r[2].startswith(self.day + "T") for r in rows))

        table = self.ok("data", "CPU0_Temp", self.day).splitlines()
        self.assertEqual(table[0], "sensor 1 CPU0_Temp, %s: %d of 288 slots recorded" % (self.day, doc["recorded"]))
        self.assertEqual(table[1], "greatest %.3f at %s %s, least %.3f at %s %s" % (
            doc["max"]["value"], self.day, doc["max"]["at"][11:], doc["min"]["value"], self.day, doc["min"]["at"][11:]))
        self.assertEqual(table[2].split(), ["SLOT", "TIME", "REC", "READING", "GREATEST", "LEAST", "AVERAGE"])
        body = [line.split() for line in table[3:]]
        self.assertEqual(body, [[str(s["slot"]), s["time"][11:16], "1", "%.3f" % s["reading"], "%.3f" % s["max"],
                                 "%.3f" % s["min"], "%.3f" % s["avg"]] for s in doc["slots"]])

        every = self.ok("data", "CPU0_Temp", self.day, "--csv", "--all-slots").splitlines()[1:]
        self.assertEqual(len(every), 288)
        self.assertEqual(every[0].split(",")[2], self.day + "T00:00:00")
        self.assertEqual(every[0].split(",")[3:], ["0", "0", "0", "0", "0"])

    def test_sensor_by_name_number_and_hex(self):
        cases = {
            7: ["7", "0x07", "Inlet Air Temp", "inlet air temp"],
            42: ["42", "0x2a", "0X2A", "Hex Answer"],
            200: ["200", "0xc8", "Backplane_Temp_Rear2", "Backplane_Temp_Rear", "Backplane_Temp_R"],
            0xFFFF: ["65535", "0xFFFF", "CPU_Utilization"],
        }
        for num, selectors in cases.items():
            docs = []
            for sel in selectors:
                with self.subTest(sensor=sel):
                    docs.append(json.loads(self.ok("data", sel, self.day, "--json")))
                    self.assertEqual(docs[-1]["sensor"], num)
            self.assertTrue(all(d == docs[0] for d in docs), num)

    def test_a_name_the_list_cannot_tell_apart_asks_for_the_number(self):
        err = self.fails(1, "data", "PSU1_Input_Voltage2", self.day)
        self.assertIn("names several sensors (30, 31): give the number", err)
        self.assertEqual(json.loads(self.ok("data", "31", self.day, "--json"))["slots"][0]["reading"], 231.5)

    def test_unknown_sensor_or_day_gets_status_3_and_says_why(self):
        err = self.fails(3, "data", "99", self.day, "--timeout", "1")
        self.assertIn("no answer within 1 s for sensor 99 on %s" % self.day, err)
        self.assertIn("cannot be told apart", err)
        err = self.fails(3, "data", "No Such Sensor", self.day)
        self.assertIn("no sensor named 'No Such Sensor' among the daemon's 9 sensors", err)
        err = self.fails(3, "data", "Inlet Air Temp", "2020-01-01", "--timeout", "1")
        self.assertIn("the daemon lists that sensor, so it holds no history of that day", err)
        # Nothing left behind: the next request gets its own answer.
        self.assertEqual(self.ok("count"), "9\n")

    def test_today_is_the_default_date(self):
        before = datetime.date.today()
        doc = json.loads(self.ok("data", "7", "--json"))
        if datetime.date.today() != before:
            self.skipTest("the date changed during the test")
        self.assertEqual(doc["date"], before.isoformat())
        self.assertGreaterEqual(doc["recorded"], 1)
        self.assertTrue(all(s["reading"] == 21.25 for s in doc["slots"]))

    def test_svg_chart_of_the_day(self):
        path = os.path.join(self.workdir, "day.svg")
        doc = json.loads(self.ok("data", "CPU0_Temp", self.day, "--json", "--svg", path))
        root = ET.parse(path).getroot()
        self.assertEqual(root.tag, SVG + "svg")
        self.assertEqual(root.find(SVG + "title").text, "CPU0_Temp (sensor 1), %s" % self.day)
        groups = {g.get("class"): g for g in root.iter(SVG + "g")}
        for name in ("reading", "greatest", "least", "average"):
            lines = groups["series series-" + name].findall(SVG + "polyline")
            self.assertEqual(len(lines), 1, name)
            xs = [float(p.split(",")[0]) for p in lines[0].get("points").split()]
            self.assertEqual(len(xs), doc["recorded"])
            self.assertEqual(xs, sorted(xs))
        labels = [t.text for t in groups["x-ticks"].findall(SVG + "text")]
        self.assertEqual(labels, ["%02d:00" % h for h in range(0, 25, 3)])
        self.assertGreaterEqual(len(groups["y-ticks"].findall(SVG + "text")), 3)
        self.assertIsNotNone(groups["axes"].find(SVG + "line"))
        mark = "".join(groups["extreme extreme-max"].itertext())
        self.assertEqual(mark, "max %.3f at %s" % (doc["max"]["value"], doc["max"]["at"][11:16]))
        mark = "".join(groups["extreme extreme-min"].itertext())
        self.assertEqual(mark, "min %.3f at %s" % (doc["min"]["value"], doc["min"]["at"][11:16]))

    # -- several requesters --------------------------------------------------

    def test_clients_at_once_each_get_their_own_answer(self):
        jobs = [("data", "7", self.day, "--json"), ("data", "200", self.day, "--json"), ("list", "--json"),
                ("count", "--json"), ("data", "Hex Answer", self.day, "--json"), ("data", "31", self.day, "--json")]
        expected = {0: 21.25, 1: 30.125, 4: 4.5, 5: 231.5}
        for _ in range(3):
            procs = [subprocess.Popen([QUERY] + list(job), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                     for job in jobs]
            outs = [p.communicate(timeout=60) for p in procs]
            for i, (p, (out, err)) in enumerate(zip(procs, outs)):
                self.assertEqual(p.returncode, 0, "%s: %s" % (jobs[i], err))
                doc = json.loads(out)
                if i in expected:
                    self.assertEqual({s["reading"] for s in doc["slots"]}, {expected[i]}, jobs[i])
            self.assertEqual(len(json.loads(outs[2][0])), 9)
            self.assertEqual(json.loads(outs[3][0]), {"count": 9})

    def test_stale_bytes_in_the_response_fifo_are_not_taken_for_an_answer(self):
        fd = os.open(RESPONSE_FIFO, os.O_RDWR | os.O_NONBLOCK)
        try:
            os.write(fd, b"\x07" * 1000)  # left by a requester that gave up
            self.assertEqual(self.ok("count"), "9\n")
            os.write(fd, b"\x07" * 5000)
            doc = json.loads(self.ok("data", "200", self.day, "--json"))
            self.assertEqual({s["reading"] for s in doc["slots"]}, {30.125})
        finally:
            os.close(fd)

    def test_usage_errors(self):
        r = query("--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("Usage: trendkeep-query"))
        for name in ("count", "list", "data"):
            self.assertRegex(r.stdout, r"\n  %s " % name)
        for args, message in [(("data", "7", "2026-02-30"), "DATE must be a calendar date"),
                              (("data",), "usage: data SENSOR"),
                              (("count", "--csv", "--json"), "exclude each other"),
                              (("count", "--timeout", "soon"), "--timeout needs a number"),
                              (("count", "--bogus"), "unknown option --bogus"),
                              (("list", "--svg", "x.svg"), "--svg applies to data only"),
                              (("fetch",), "unknown command 'fetch'")]:
            with self.subTest(args=args):
                self.assertIn(message, self.fails(1, *args))


class WithoutDaemon(DaemonTestCase):
    def test_no_fifos_means_no_daemon(self):
        for args in (("count",), ("list",), ("data", "1")):
            r = query(*args)
            self.assertEqual(r.returncode, 2)
            self.assertIn("the daemon is not running: no FIFOs at %s" % REQUEST_FIFO, r.stderr)

    def test_fifos_without_a_daemon_get_no_answer(self):
        os.mkfifo(REQUEST_FIFO)
        os.mkfifo(RESPONSE_FIFO)
        r = query("count", "--timeout", "0.5")
        self.assertEqual(r.returncode, 3)
        self.assertIn("no answer to the count request within 0.5 s", r.stderr)
        r = query("data", "1", "2026-12-04", "--timeout", "0.5")
        self.assertEqual(r.returncode, 3)
        self.assertIn("or is not running", r.stderr)


class ScriptedPeer(DaemonTestCase):
    """The test plays the daemon's side of the FIFOs, to control exactly
    what the client gets and when."""

    def setUp(self):
        super().setUp()
        os.mkfifo(REQUEST_FIFO)
        os.mkfifo(RESPONSE_FIFO)
        self.requests = os.open(REQUEST_FIFO, os.O_RDWR)
        self.responses = os.open(RESPONSE_FIFO, os.O_RDWR)
        self.addCleanup(os.close, self.requests)
        self.addCleanup(os.close, self.responses)

    def next_request(self):
        ready, _, _ = select.select([self.requests], [], [], 10)
        self.assertTrue(ready, "no request came")
        data = os.read(self.requests, 4096)
        self.assertEqual(len(data), 131, "a request is one write of 131 bytes")
        kind, text, num = struct.unpack("<B128sH", data)
        return kind, text.rstrip(b"\0").decode(), num

    @staticmethod
    def data_response(num, key, reading):
        slots = struct.pack("<BIdddd", 1, key, reading, reading, reading, reading)
        slots += bytes(37 * 287)
        return struct.pack("<HddII", num, reading, reading, key, key) + slots

    def test_a_late_answer_for_someone_else_is_skipped_and_pieces_are_joined(self):
        key = day_key(datetime.date(2026, 12, 4))
        client = subprocess.Popen([QUERY, "data", "200", "2026-12-04", "--json", "--timeout", "5"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(self.next_request(), (4, "2026-12-04T00:00:00", 200))
        # First the answer to a request someone else gave up on, then ours
        # in two pieces.
        os.write(self.responses, self.data_response(7, key, 1.0))
        ours = self.data_response(200, key, 2.0)
        os.write(self.responses, ours[:5000])
        time.sleep(0.3)
        os.write(self.responses, ours[5000:])
        # Then the name, through a count and a list request.
        self.assertEqual(self.next_request(), (1, "", 0))
        os.write(self.responses, struct.pack("<I", 1))
        self.assertEqual(self.next_request(), (2, "", 0))
        os.write(self.responses, struct.pack("<H20sB", 200, b"Scripted Sensor", 9))
        out, err = client.communicate(timeout=30)
        self.assertEqual(client.returncode, 0, err)
        doc = json.loads(out)
        self.assertEqual((doc["sensor"], doc["name"], doc["class"]), (200, "Scripted Sensor", 9))
        self.assertEqual([(s["slot"], s["reading"]) for s in doc["slots"]], [(0, 2.0)])
        self.assertEqual(doc["max"], {"value": 2.0, "time": key, "at": "2026-12-04T00:00:00"})


if __name__ == "__main__":
    unittest.main()
