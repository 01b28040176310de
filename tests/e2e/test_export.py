"""The tools' exports read by the peers they are made for.  A card written here on CET/CEST, three days across the
25-hour 2026-10-25 with an unrecorded hour in it and a sensor of an awkward name, goes out as OpenMetrics, into TSDB
blocks through promtool and back out of Prometheus; the live daemon's export equals its card's, its textfile passes
promtool and node_exporter serves it; a sensor-day comes out as a Redfish MetricReport from the card and the daemon."""

import contextlib, json, os, pathlib, re, shutil, subprocess, tempfile, unittest, urllib.parse, urllib.request

import tkharness as H
from tkharness import CARD, QUERY

CET, RUN = {"TZ": "CET-1CEST,M3.5.0,M10.5.0/3"}, {}
DAYS = {"2026-10-24": H.epoch_utc("2026-10-23 22:00:00"), "2026-10-25": H.epoch_utc("2026-10-24 22:00:00"),
        "2026-10-26": H.epoch_utc("2026-10-25 23:00:00")}
WINTER = H.epoch_utc("2026-10-25 01:00:00")  # when CEST (+02:00) gives way to CET (+01:00)
# The slots recorded: the first day's evening, the long day but for the hour from 02:30 CEST to 02:25 CET (the hour
# the clocks repeat lies inside it), the record day's first 101 slots.
RECORDED = {"2026-10-24": range(200, 288), "2026-10-25": [s for s in range(288) if not 30 <= s < 42],
            "2026-10-26": range(101)}
SENSORS = [(1, b"CPU0_Temp", 0), (42, b'Air "In" \\ caf\xe9', 1), (200, b"PSU1_Input_Power", 2)]
FIGURES = {"reading": "Reading", "max": "PeakReading", "min": "LowestReading", "avg": "AverageReading"}
LABELS = (("rack", "r7"), ("instance", "bmc-17"))  # given in this order, not sorted
LABEL_ARGS = [arg for name, value in LABELS for arg in ("--label", name + "=" + value)]
SAMPLE = re.compile(r'([a-zA-Z_:][\w:]*)(?:\{(.*)\})? (\S+)(?: (\d+))?')
LIVE = [dict(H.SMALL_SENSORS[0], reading={"base": 40, "swing": 5, "period": 3600}), *H.SMALL_SENSORS[1:]]
NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))

def make_card(card):
    """Three day blocks a sensor, out of date order, with their extremes; the record time at the last slot."""
    rdir = os.path.join(card, H.RECORD_DIR)
    os.makedirs(os.path.join(rdir, "DataTime"))
    for k, (num, name, cls) in enumerate(SENSORS):
        blocks = b""
        for day in ("2026-10-26", "2026-10-24", "2026-10-25"):
            key = DAYS[day]
            fig = {s: [(k + 1) * (s / 7 - 3.3) + d for d in (0, 1 / 3, -0.25, 0.05)] for s in RECORDED[day]}
            top = max(fig, key=lambda s: fig[s][1])
            low = min(fig, key=lambda s: fig[s][2])
            blocks += H.BLOCK_HEAD.pack(key, 1, fig[top][1], fig[low][2], key + 300 * top, key + 300 * low)
            blocks += b"".join(H.SLOT.pack(s in fig, key + 300 * s, *fig.get(s, [0.0] * 4)) for s in range(288))
        data = H.FILE_HEAD.pack(num, name, cls) + blocks + bytes(4 * H.BLOCK_SIZE)
        pathlib.Path(rdir, os.fsdecode(name)).write_bytes(data)
    record_time = H.RECORD_TIME.pack(DAYS["2026-10-26"], DAYS["2026-10-26"] + 300 * 100)
    pathlib.Path(H.record_time_path(card)).write_bytes(record_time)

def setUpModule():
    RUN["work"] = tempfile.mkdtemp(prefix="trendkeep-export-")
    unittest.addModuleCleanup(shutil.rmtree, RUN["work"], True)
    RUN["card"] = os.path.join(RUN["work"], "card")
    make_card(RUN["card"])

def tool(*args, env=None, stdin=""):
    """A tool's output, which must be valid UTF-8, after it succeeded."""
    r = subprocess.run(list(map(str, args)), capture_output=True, encoding="utf-8", input=stdin,
                       env=dict(os.environ, **CET, **(env or {})), timeout=120)
    assert r.returncode == 0, (args, r.returncode, r.stdout[-2000:], r.stderr)
    return r.stdout

def dumped(*args, env=None):
    """trendkeep-card dump --json or trendkeep-query data --json; numbers keep their text (the shortest that reads
    back), which the Redfish report must give."""
    return json.loads(tool(*args, env=env), parse_float=str)

def num_text(num): return "%d" % num if num <= 0xFF else "0x%04X" % num
def escaped(value): return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")

def iso(t):
    """A time as local ISO 8601 with its offset on CET/CEST."""
    offset = 7200 if t < WINTER else 3600
    return H.utc_text(t + offset).replace(" ", "T") + "+%02d:00" % (offset // 3600)

def samples(text):
    """(name, labels as written, value, timestamp or None) of each sample line."""
    found = [SAMPLE.fullmatch(line) for line in text.splitlines() if not line.startswith("#")]
    assert None not in found, text
    return [(m[1], tuple(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m[2] or "")), float(m[3]), m[4] and int(m[4]))
            for m in found]

def series(sensor, days):
    """The samples an export must hold for one sensor as dumped: the four figures one after another, in time order."""
    labels = LABELS + (("sensor", escaped(sensor["name"])), ("num", num_text(sensor["num"])),
                       ("class", str(sensor["class"])))
    return [("trendkeep_sensor_reading", labels + (("figure", figure),), float(x[figure]), x["slot_time"])
            for figure in FIGURES for day in sensor["days"] if day["date"] in days for x in day["slots"]]

def by_sensor(text):
    """The lines of an export grouped by sensor, each group in its order: the card's files come in the order of
    their names, the daemon's sensors in the order listed."""
    return sorted(text.splitlines(), key=lambda line: re.findall(r'sensor="((?:[^"\\]|\\.)*)"', line))

def listening_port(pid):
    """The TCP port that process pid listens on, or None while it listens on none."""
    sockets = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        with contextlib.suppress(OSError):
            sockets.add(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
    for row in pathlib.Path("/proc/net/tcp").read_text().splitlines()[1:]:
        field = row.split()
        if field[3] == "0A" and "socket:[%s]" % field[9] in sockets:
            return int(field[1].split(":")[1], 16)
    return None

def fetch(url):
    with contextlib.suppress(OSError):
        with NO_PROXY.open(url, timeout=60) as r:
            return r.read().decode()
    return None

class Peers(H.DaemonTestCase):
    def serve(self, *argv, ready="/metrics"):
        """Starts a peer on a loopback port of its choosing; its base URL once it answers at ready."""
        log = open(os.path.join(self.workdir, os.path.basename(argv[0]) + ".log"), "w")
        self.addCleanup(log.close)
        proc = subprocess.Popen([*argv, "--web.listen-address=127.0.0.1:0"], stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        port = H.wait_until(lambda: proc.poll() is None and listening_port(proc.pid), 60)
        self.assertTrue(port, pathlib.Path(log.name).read_text())
        url = "http://127.0.0.1:%d" % port
        self.assertTrue(H.wait_until(lambda: fetch(url + ready), 60), pathlib.Path(log.name).read_text())
        return url

    def check_redfish(self, report, day):
        """A MetricReport of one sensor-day against its slots as dumped: four members a recorded slot."""
        doc = json.loads(report)
        values = [{"MetricId": metric, "MetricValue": str(x[figure]), "Timestamp": iso(x["slot_time"])}
                  for x in day["slots"] for figure, metric in FIGURES.items()]
        properties = [v.pop("MetricProperty") for v in doc["MetricValues"]]
        self.assertEqual([p.endswith("#/" + v["MetricId"]) for p, v in zip(properties, doc["MetricValues"])],
                         [True] * len(values))
        self.assertEqual((doc["@odata.type"], doc["@odata.id"], type(doc["Name"]), doc["Timestamp"]), (
            "#MetricReport.v1_4_0.MetricReport", "/redfish/v1/TelemetryService/MetricReports/" + doc["Id"], str,
            iso(day["slots"][-1]["slot_time"])))
        self.assertEqual(doc["MetricValues"], values)

    def test_card_export_back_out_of_prometheus(self):
        card = RUN["card"]
        tool(CARD, "check", card)
        dump = dumped(CARD, "dump", "--json", card)
        held = {(s["num"], d["date"]): [x["slot"] for x in d["slots"]] for s in dump["sensors"] for d in s["days"]}
        self.assertEqual(held, {(num, day): list(RECORDED[day]) for num, _, _ in SENSORS for day in DAYS})
        every = (1, 42, 200)
        for args, days, nums in [([card], DAYS, every), (["--from", "2026-10-25", card, "42"], list(DAYS)[1:], (42,)),
                                 (["--from", "2026-10-25", "--to", "2026-10-25", card], ["2026-10-25"], every),
                                 (["--to", "2026-10-24", card], ["2026-10-24"], every)]:
            with self.subTest(args=args):
                text = tool(CARD, "export", "--openmetrics", *LABEL_ARGS, *args)
                got = samples(text)
                exported = {sensor: n for n, sensor in enumerate(dict.fromkeys(labels[2] for _, labels, _, _ in got))}
                want = [x for s in dump["sensors"] if s["num"] in nums for x in series(s, days)]
                # The sensors in the order exported; the sort is stable, so each keeps its samples' order.
                want.sort(key=lambda x: exported.get(x[1][2], len(exported)))
                self.assertEqual((text.splitlines()[-1], got), ("# EOF", want))
        exported, blocks = os.path.join(self.workdir, "card.om"), os.path.join(self.workdir, "tsdb")
        tool(CARD, "export", *LABEL_ARGS, "-o", exported, card)
        tool("promtool", "tsdb", "create-blocks-from", "openmetrics", exported, blocks)
        config = os.path.join(self.workdir, "prometheus.yml")
        pathlib.Path(config).write_text("global: {}\n")
        url = self.serve("prometheus", "--config.file=" + config, "--storage.tsdb.path=" + blocks,
                         "--storage.tsdb.retention.time=100y", "--query.lookback-delta=1m", ready="/-/ready")
        start, end = DAYS["2026-10-24"], DAYS["2026-10-26"] + 300 * 287
        for figure in FIGURES:  # every five minutes over the three days: a point only where a slot was recorded
            query = urllib.parse.urlencode(dict(query='trendkeep_sensor_reading{figure="%s"}' % figure, start=start,
                                                end=end, step=300))
            result = json.loads(fetch(url + "/api/v1/query_range?" + query))["data"]["result"]
            got = {tuple(sorted(r["metric"].items())): [(int(t), float(v)) for t, v in r["values"]] for r in result}
            want = {tuple(sorted([("__name__", "trendkeep_sensor_reading"), *LABELS, ("sensor", s["name"]),
                                  ("num", num_text(s["num"])), ("class", str(s["class"])), ("figure", figure)])):
                    [(x["slot_time"], float(x[figure])) for d in s["days"] for x in d["slots"]]
                    for s in dump["sensors"]}
            self.assertEqual(got, want, figure)

    def test_refused_arguments(self):
        """Each mistake ends with the usage status (card 2, query 1) or nothing found (card 1) and one line naming it."""
        card = RUN["card"]
        rows = [((CARD, "export", "--label", "2x=y", card), 2, "--label needs NAME=VALUE"),
                ((CARD, "export", "--label", "sensor=x", card), 2, "would hide the export's own label"),
                ((CARD, "export", "--label", "a=1", "--label", "a=2", card), 2, "is given twice"),
                ((CARD, "export", "--from", "2026-10-26", "--to", "2026-10-24", card), 2, "comes after --to"),
                ((CARD, "export", "--from", "2026-02-30", card), 2, "--from needs a calendar date"),
                ((CARD, "export", "--from", "2026-11-01", card), 1, "no file holds a day from 2026-11-01"),
                ((CARD, "dump", "--redfish", card), 2, "usage: dump --redfish CARD SENSOR"),
                ((CARD, "dump", "--redfish", "--date", "2026-11-01", card, "1"), 1, "holds no 2026-11-01"),
                ((QUERY, "export", "--textfile", card, "--from", "2026-10-24"), 1, "--from and --to do not apply"),
                ((QUERY, "count", "--label", "a=b"), 1, "--label does not apply to count")]
        for argv, status, text in rows:
            with self.subTest(argv=argv[1:]):
                r = subprocess.run(argv, capture_output=True, text=True, env=dict(os.environ, **CET), timeout=60)
                self.assertEqual((r.returncode, r.stderr.count("\n")), (status, 1))
                self.assertIn(text, r.stderr)

    def test_card_redfish_reports(self):
        for num, day in [(42, "2026-10-25"), (1, "2026-10-24"), (200, "2026-10-26")]:
            sensor = dumped(CARD, "dump", "--json", "--date", day, RUN["card"], num)["sensors"][0]
            self.check_redfish(tool(CARD, "dump", "--redfish", "--date", day, RUN["card"], num), sensor["days"][0])

    def test_live_daemon(self):
        """The daemon runs 900 times faster from 23:00 on 2026-10-24 past 01:00 on the long day; its clock then
        stands still on the day after, first before the day's first slot is done, then after it."""
        clock = os.path.join(self.workdir, "clock")
        H.replace_file(clock, "@2026-10-24 23:00:00 x900")
        d = self.daemon(sensors=LIVE, sensor_doc={"cpu": 37, "mem": 50, "io": 4}, clock_file=clock, env=CET).start()
        past_one = H.wait_until(lambda: (H.read_record_time(d.card) or (0, 0))[1] >= DAYS["2026-10-25"] + 3600, 60)
        self.assertTrue(past_one, d.log_lines()[-5:])
        textdir, clock_env = os.path.join(self.workdir, "textfile"), H.faketime_env(clock_file=clock)
        os.mkdir(textdir)
        link = os.path.join(self.workdir, "textfile-link")
        os.symlink(textdir, link)  # a directory reached through a link is refused, and nothing is written
        refused = subprocess.run([QUERY, "export", "--textfile", link], capture_output=True, text=True, timeout=60)
        self.assertEqual((refused.returncode, os.listdir(textdir)), (1, []), refused.stderr)
        url = self.serve("prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
                         "--collector.textfile.directory=" + textdir, "--web.disable-exporter-metrics")
        listed = json.loads(tool(QUERY, "list", "--json"))
        kept = ("trendkeep_sensor_reading", "trendkeep_newest_slot_age_seconds", "node_textfile_scrape_error")
        for frozen, slot in [("2026-10-26 00:02:00", 0), ("2026-10-26 00:07:00", 300)]:
            H.replace_file(clock, frozen)
            now, key = H.epoch_utc(frozen) - 3600, DAYS["2026-10-26"]
            self.assertTrue(H.wait_until(lambda: H.read_record_time(d.card) == (key, key + slot), 30))
            days = ("--from", "2026-10-24", "--to", "2026-10-25", *LABEL_ARGS)
            live = tool(QUERY, "export", "--openmetrics", *days, env=clock_env)
            self.assertEqual(by_sensor(live), by_sensor(tool(CARD, "export", "--openmetrics", *days, d.card)))
            self.assertEqual({dict(labels)["sensor"] for _, labels, _, _ in samples(live)}, {s["name"] for s in listed})
            tool(QUERY, "export", "--textfile", textdir, *LABEL_ARGS, env=clock_env)
            self.assertEqual(os.listdir(textdir), ["trendkeep.prom"])
            tool("promtool", "check", "metrics", stdin=pathlib.Path(textdir, "trendkeep.prom").read_text())
            want, newest = {("node_textfile_scrape_error", ()): 0.0}, 0
            for s in listed:  # today's newest slot (the slot under way is not answered), else yesterday's
                day = dumped(QUERY, "--json", "data", num_text(s["num"]), env=clock_env)
                if not day["slots"]:
                    day = dumped(QUERY, "--json", "data", num_text(s["num"]), "2026-10-25", env=clock_env)
                newest = max(newest, day["slots"][-1]["slot_time"])
                for figure in FIGURES:
                    labels = sorted([*LABELS, ("sensor", s["name"]), ("num", num_text(s["num"])),
                                     ("class", str(s["class"])), ("figure", figure)])
                    want["trendkeep_sensor_reading", tuple(labels)] = float(day["slots"][-1][figure])
            scrape = samples(fetch(url + "/metrics"))
            scraped = {(name, tuple(sorted(labels))): value for name, labels, value, _ in scrape if name in kept}
            ages = [value for (name, _), value in scraped.items() if name == kept[1]]
            self.assertEqual(ages, [now - newest])
            self.assertEqual({k: v for k, v in scraped.items() if k[0] != kept[1]}, want)
        for s in listed:
            day = dumped(QUERY, "--json", "data", num_text(s["num"]), "2026-10-25", env=clock_env)
            report = tool(QUERY, "data", "--redfish", num_text(s["num"]), "2026-10-25", env=clock_env)
            self.check_redfish(report, day)
