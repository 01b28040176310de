"""The HTML report of trendkeep-card as a person sees it: opened in headless
Chromium, from a card the daemon wrote.  The screenshot is kept in
<repo>/artifacts/ for a look."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

import test_tools_card as toolkit
from test_tools_card import CARD, run_tool

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
ARTIFACTS = os.path.join(REPO, "artifacts")
CHROMIUM = shutil.which("chromium")
WIDTH, HEIGHT = 1280, 2000
# The colours of the reading and greatest series in every chart.
READING_RGB = (0x1F, 0x77, 0xB4)
GREATEST_RGB = (0xD6, 0x27, 0x28)


def chromium(user_dir, *args):
    return subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + user_dir, "--enable-logging=stderr", "--v=0"] + list(args),
        capture_output=True, text=True, errors="replace", timeout=180, stdin=subprocess.DEVNULL)


def png_rows(path):
    """Width and height of an 8-bit, non-interlaced RGB or RGBA PNG (as
    Chromium writes its screenshots), and an iterator over its rows of RGB
    triples, top down."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, head = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = head
    assert depth == 8 and colour in (2, 6) and interlace == 0, head
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    return width, height, _unfilter(raw, width, height, bpp)


def _unfilter(raw, width, height, bpp):
    stride = width * bpp
    prev = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        yield {tuple(line[x * bpp:x * bpp + 3]) for x in range(width)}
        prev = line


@unittest.skipIf(CHROMIUM is None, "chromium is not installed")
class ReportInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(CARD, os.X_OK):
            raise AssertionError("trendkeep-card not built at %s" % CARD)
        cls.workdir = tempfile.mkdtemp(prefix="trendkeep-browser-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, True)
        cls.card = toolkit.write_daemon_card(cls.workdir, toolkit.SENSORS, "2026-12-03 22:00:00", 900,
                                             toolkit.KEY2 + 3600, env={"TZ": toolkit.TZ})
        cls.files = sorted(os.listdir(os.path.join(cls.card, toolkit.RECORD_DIR)))
        cls.files.remove("DataTime")

    def report(self, name, *args):
        path = os.path.join(self.workdir, name)
        r = run_tool(CARD, "report", self.card, "-o", path, *args, env={"TZ": toolkit.TZ})
        self.assertEqual(r.returncode, 0, r.stderr)
        return path

    def browser(self):
        return tempfile.mkdtemp(prefix="profile-", dir=self.workdir)

    def assert_loaded_cleanly(self, result):
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        for bad in ("Failed to load resource", "net::ERR_", "Uncaught", "CONSOLE"):
            self.assertNotIn(bad, result.stderr)

    def test_day_report_shows_one_chart_per_sensor(self):
        page = self.report("day.html", "--date", "2026-12-04")
        dom = chromium(self.browser(), "--dump-dom", "file://" + page)
        self.assert_loaded_cleanly(dom)
        charts = re.findall(r'<svg[^>]*class="chart"', dom.stdout)
        self.assertEqual(len(charts), len(self.files))
        self.assertEqual(len(set(re.findall(r'<svg[^>]*id="(chart-\d+)"', dom.stdout))), len(self.files))
        self.assertIn("Trendkeep sensor history, 2026-12-04", dom.stdout)
        self.assertIn("Card check: sound", dom.stdout)
        for name in ("Inlet Air Temp", "Backplane_Temp_Rear", "CPU_Utilization"):
            self.assertIn("<h2>%s</h2>" % name, dom.stdout)

        os.makedirs(ARTIFACTS, exist_ok=True)
        shot = os.path.join(ARTIFACTS, "trendkeep-report.png")
        if os.path.exists(shot):
            os.unlink(shot)
        result = chromium(self.browser(), "--screenshot=" + shot, "--window-size=%d,%d" % (WIDTH, HEIGHT),
                          "--hide-scrollbars", "file://" + page)
        self.assert_loaded_cleanly(result)
        width, height, rows = png_rows(shot)
        self.assertEqual((width, height), (WIDTH, HEIGHT))
        # The charts were drawn, not only laid out: their lines are there.
        wanted, seen = {READING_RGB, GREATEST_RGB}, set()
        for colours in rows:
            seen |= wanted & colours
            if seen == wanted:
                break
        self.assertEqual(seen, wanted)

    def test_week_report_and_a_damaged_card_render_too(self):
        page = self.report("week.html", "--week")
        dom = chromium(self.browser(), "--dump-dom", "file://" + page)
        self.assert_loaded_cleanly(dom)
        self.assertEqual(len(re.findall(r'<svg[^>]*class="chart"', dom.stdout)), len(self.files))
        self.assertIn("2026-11-28 to 2026-12-04", dom.stdout)

        damaged = os.path.join(self.workdir, "damaged")
        shutil.copytree(self.card, damaged)
        os.truncate(os.path.join(damaged, toolkit.RECORD_DIR, "FAN1"), 4000)
        page = os.path.join(self.workdir, "damaged.html")
        r = run_tool(CARD, "report", damaged, "-o", page, env={"TZ": toolkit.TZ})
        self.assertEqual(r.returncode, 0, r.stderr)
        dom = chromium(self.browser(), "--dump-dom", "file://" + page)
        self.assert_loaded_cleanly(dom)
        self.assertEqual(len(re.findall(r'<svg[^>]*class="chart"', dom.stdout)), len(self.files) - 1)
        self.assertIn("Card check: 1 problem", dom.stdout)


if __name__ == "__main__":
    unittest.main()
