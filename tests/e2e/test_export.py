"""trendkeep-card's exports of a card written here on CET/CEST, three days across the 25-hour 2026-10-25, into
promtool; the tools' refused arguments.  The daemon's exports are compared with its card's in test_tools."""

import json, os, pathlib, shutil, subprocess, tempfile, unittest

import tkharness as H
from tkharness import CARD, QUERY

CET = {"TZ": "CET-1CEST,M3.5.0,M10.5.0/3"}
RUN = {}
DAYS = {
    "2026-10-24": H.epoch_utc("2026-10-23 22:00:00"),
    "2026-10-25": H.epoch_utc("2026-10-24 22:00:00"),
    "2026-10-26": H.epoch_utc("2026-10-25 23:00:00"),
}
# The slots recorded: the first day's evening, the long day but for the hour from 02:30 CEST to 02:25 CET (the hour
# the clocks repeat lies inside it), the record day's first 101 slots.
RECORDED = {
    "2026-10-24": list(range(200, 288)),
    "2026-10-25": [s for s in range(288) if not 30 <= s < 42],
    "2026-10-26": list(range(101)),
}
SENSORS = [(1, b"CPU0_Temp", 0), (42, b'Air "In" \\ caf\xe9', 1), (200, b"PSU1_Input_Power", 2)]
FIGURES = ("reading", "max", "min", "avg")
LABELS = 'rack="r7",instance="bmc-17"'  # given in this order, not sorted
LABEL_ARGS = ["--label", "rack=r7", "--label", "instance=bmc-17"]


def setUpModule():
    """A card of three day blocks a sensor, out of date order, with their extremes; the record time at the last."""
    RUN["work"] = tempfile.mkdtemp(prefix="trendkeep-export-")
    unittest.addModuleCleanup(shutil.rmtree, RUN["work"], True)
    RUN["card"] = os.path.join(RUN["work"], "card")
    rdir = os.path.join(RUN["card"], H.RECORD_DIR)
    os.makedirs(os.path.join(rdir, "DataTime"))
    for k, (num, name, cls) in enumerate(SENSORS):
        data = H.FILE_HEAD.pack(num, name, cls)
        for day in ("2026-10-26", "2026-10-24", "2026-10-25"):
            key = DAYS[day]
            fig = {s: [(k + 1) * (s / 7 - 3.3) + d for d in (0, 1 / 3, -0.25, 0.05)] for s in RECORDED[day]}
            top = max(fig, key=lambda s: fig[s][1])
            low = min(fig, key=lambda s: fig[s][2])
            data += H.BLOCK_HEAD.pack(key, 1, fig[top][1], fig[low][2], key + 300 * top, key + 300 * low)
            for s in range(288):
                data += H.SLOT.pack(s in fig, key + 300 * s, *fig.get(s, [0.0] * 4))
        pathlib.Path(rdir, os.fsdecode(name)).write_bytes(data + bytes(4 * H.BLOCK_SIZE))
    record_time = H.RECORD_TIME.pack(DAYS["2026-10-26"], DAYS["2026-10-26"] + 300 * 100)
    pathlib.Path(rdir, "DataTime", "RecordTime").write_bytes(record_time)


def tool(*args):
    """A tool's output, which must be valid UTF-8, after it succeeded."""
    env = dict(os.environ, **CET)
    r = subprocess.run(list(map(str, args)), capture_output=True, encoding="utf-8", env=env, timeout=120)
    assert r.returncode == 0, (args, r.returncode, r.stdout[-2000:], r.stderr)
    return r.stdout


def exported(sensors, dates):
    """The OpenMetrics samples of the days of dates of sensors as dumped: each sensor's four figures one after
    another, each in time order."""
    lines = []
    for s in sensors:
        name = s["name"].replace("\\", "\\\\").replace('"', '\\"')
        for figure in FIGURES:
            labels = '%s,sensor="%s",num="%s",class="%s",figure="%s"' % (LABELS, name, s["num"], s["class"], figure)
            for day in s["days"]:
                for x in day["slots"] if day["date"] in dates else []:
                    lines.append("trendkeep_sensor_reading{%s} %s %s" % (labels, x[figure], x["slot_time"]))
    return lines


class Exports(unittest.TestCase):
    def test_card_export_into_promtool(self):
        card = RUN["card"]
        tool(CARD, "check", card)
        dump = json.loads(tool(CARD, "dump", "--json", card), parse_float=str, parse_int=str)["sensors"]  # as text
        self.assertEqual(len(exported(dump, DAYS)), 12 * sum(map(len, RECORDED.values())))  # recorded slots only
        for args, days, sensors in [
            ([card], DAYS, dump),
            (["--from", "2026-10-25", card, "42"], ["2026-10-25", "2026-10-26"], dump[:1]),
            (["--from", "2026-10-25", "--to", "2026-10-25", card], ["2026-10-25"], dump),
            (["--to", "2026-10-24", card], ["2026-10-24"], dump),
        ]:
            with self.subTest(args=args):
                text = tool(CARD, "export", "--openmetrics", *LABEL_ARGS, *args)
                self.assertEqual(text.splitlines()[-1], "# EOF")
                self.assertEqual([x for x in text.splitlines() if not x.startswith("#")], exported(sensors, days))
        written = os.path.join(RUN["work"], "card.om")
        tool(CARD, "export", *LABEL_ARGS, "-o", written, card)
        out = tool("promtool", "tsdb", "create-blocks-from", "openmetrics", written, os.path.join(RUN["work"], "tsdb"))
        rows = [line.split() for line in out.splitlines()[1:] if line.strip()]  # a row per block written
        self.assertEqual(sum(int(row[4]) for row in rows), len(exported(dump, DAYS)))  # every sample read back
        self.assertIn(r'Air "In" \\ caf\xE9', tool(CARD, "list", card))  # a backslash doubled, a byte in hex

    def test_refused_arguments(self):
        """Each mistake ends with the usage status (card 2, query 1) or nothing found (card 1) and one line naming it."""
        card = RUN["card"]
        for argv, status, text in [
            ((CARD, "export", "--label", "2x=y", card), 2, "--label needs NAME=VALUE"),
            ((CARD, "export", "--label", "sensor=x", card), 2, "would hide the export's own label"),
            ((CARD, "export", "--label", "a=1", "--label", "a=2", card), 2, "is given twice"),
            ((CARD, "export", "--from", "2026-10-26", "--to", "2026-10-24", card), 2, "comes after --to"),
            ((CARD, "export", "--from", "2026-02-30", card), 2, "--from needs a calendar date"),
            ((CARD, "export", "--from", "2026-11-01", card), 1, "no file holds a day from 2026-11-01"),
            ((CARD, "dump", "--redfish", card), 2, "usage: dump --redfish CARD SENSOR"),
            ((CARD, "dump", "--redfish", "--date", "2026-11-01", card, "1"), 1, "holds no 2026-11-01"),
            ((QUERY, "export", "--textfile", card, "--from", "2026-10-24"), 1, "--from and --to do not apply"),
            ((QUERY, "count", "--label", "a=b"), 1, "--label does not apply to count"),
        ]:
            with self.subTest(argv=argv[1:]):
                r = subprocess.run(argv, capture_output=True, text=True, env=dict(os.environ, **CET), timeout=60)
                self.assertEqual((r.returncode, r.stderr.count("\n")), (status, 1))
                self.assertIn(text, r.stderr)
