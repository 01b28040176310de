#!/usr/bin/env python3
"""Runs every Trendkeep measurement beside RRDtool and prints one table.

Run it through scripts/bench.sh, which builds the programs and runs this
inside a private mount namespace (its own /var/tmp), so the daemon started
here never meets another one.  Inside such a namespace the card is a fresh
ext4 file system on a loop device, so the device's write counters hold only
what the measurements wrote; elsewhere it is a directory of the build tree.

Parts:
  1-4  trendkeep_bench: the store's functions and librrd in process
       (Google Benchmark), and the bytes written per recording round.
  the daemon
       the real daemon with 258 sensors under libfaketime, its clock this
       machine's plus a fixed offset: a daemon of its own, idle across a
       five-minute boundary (the quiet recording); then one daemon through
       start on a full card, round trips over the FIFOs, a flood across its
       midnight (a day switch and a recording round, watched on the card by
       tk_fifo_client watch), an idle window, its footprint.  With
       --before-bin an earlier binary goes through the same first, with
       the same card and client.
  6    the host IPMI library against a simulated BMC (ipmi_sim, the demo's 40
       sensors): the daemon's refresh, session open to close, over RMCP+.
"""

import argparse
import ctypes
import glob
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The daemon is run as the end-to-end tests run it (tests/e2e/tkharness.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import tkharness  # noqa: E402

REQUEST_FIFO = "/var/tmp/pipe_restful_to_cups"
RESPONSE_FIFO = "/var/tmp/pipe_cups_to_restful"
IPMI_SENSORS = 255
ENTRIES = IPMI_SENSORS + 3
QUERY_SENSOR = 128

# The timed benchmarks of the runner; the flushed rounds are measured in
# turns by --flushed-rounds instead of one benchmark after the other.
BENCH_FILTER = "^BM_(TkQuery|RrdFetch|TkRecord$|RrdUpdate$|TkDaySwitch|TkInit|RrdCreate)"

# The daemon answers its first request some 10 s after its start (the host
# platform's sensor list); its timelines allow this much.
START_ALLOWANCE = 20
# The card is watched for a recording round until this long after its
# boundary, through the file of the sensor that the requests ask for.
WATCH_SECONDS = 30
WATCH_FILE = "Sensor_%03d" % QUERY_SENSOR
# Idle CPU "no higher than before" allows for the noise of an idle window:
# the same binary measured twice differs by some 10 % and a few ms a minute.
IDLE_NOISE = 0.10
IDLE_NOISE_SECONDS = 0.005

QUICK = dict(min_time=0.05, repetitions=1, rounds=2, stride=3, rtt=20, flood=3.0, idle=10.0, refreshes=50)
FULL = dict(min_time=0.5, repetitions=5, rounds=10, stride=1, rtt=200, flood=10.0, idle=60.0, refreshes=500)


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# The card


class Card:
    """A fresh ext4 on a loop device when the namespace is private and we
    are root; otherwise a directory of the build tree."""

    def __init__(self, build_dir):
        self.build_dir = build_dir
        self.image = os.path.join(build_dir, "bench-card.img")
        self.root = os.path.join(build_dir, "bench-card")
        self.mounted = False

    def __enter__(self):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        if os.environ.get("TK_ISOLATED") and os.geteuid() == 0 and shutil.which("mkfs.ext4"):
            try:
                with open(self.image, "wb") as f:
                    f.truncate(512 << 20)
                subprocess.run(
                    ["mkfs.ext4", "-q", "-F", self.image],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                )
                # The mount, and with it the loop device, goes with the namespace
                # at the latest.
                subprocess.run(
                    ["mount", "-o", "loop", self.image, self.root],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                )
                self.mounted = True
            except (OSError, subprocess.CalledProcessError):
                log("no loop device for the card; using a directory of the build tree")
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", self.root], check=False)
        shutil.rmtree(self.root, ignore_errors=True)
        if os.path.exists(self.image):
            os.remove(self.image)

    def describe(self):
        out = subprocess.run(["df", "-T", self.root], capture_output=True, text=True).stdout.splitlines()
        if len(out) >= 2:
            fields = out[1].split()
            return "%s on %s" % (fields[1], fields[0])
        return "unknown"


# ---------------------------------------------------------------------------
# In-process benchmarks


def run_store_bench(bin_dir, card_root, cfg, out_json):
    args = [
        os.path.join(bin_dir, "trendkeep_bench"),
        "--card-root",
        card_root,
        "--flushed-rounds",
        str(cfg["rounds"]),
        "--sweep-stride",
        str(cfg["stride"]),
        "--benchmark_filter=" + BENCH_FILTER,
        "--benchmark_min_time=%g" % cfg["min_time"],
        "--benchmark_out=" + out_json,
        "--benchmark_out_format=json",
        "--benchmark_format=console",
    ]
    if cfg["repetitions"] > 1:
        args += [
            "--benchmark_repetitions=%d" % cfg["repetitions"],
            "--benchmark_report_aggregates_only=true",
            "--benchmark_enable_random_interleaving=true",
        ]
    log("running " + " ".join(args[1:]))
    proc = subprocess.run(args, capture_output=True, text=True)
    sys.stderr.write(proc.stderr)
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout)
        raise RuntimeError("trendkeep_bench failed with status %d" % proc.returncode)
    figures = {}
    for line in proc.stdout.splitlines():
        if line.startswith(("round.", "pages.")):
            key, _, value = line.partition(" ")
            figures[key] = value.strip()
    with open(out_json) as f:
        doc = json.load(f)
    times = {}
    for b in doc.get("benchmarks", []):
        name = b.get("run_name") or b["name"]
        if b.get("error_occurred"):
            log("%s: %s" % (name, b.get("error_message")))
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "cv":
            times.setdefault(name, {})["cv"] = b["real_time"]
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        times.setdefault(name, {}).update(real=b["real_time"] * scale, cpu=b["cpu_time"] * scale, rows=b.get("rows"))
    return figures, times, doc.get("context", {})


# ---------------------------------------------------------------------------
# The daemon


def sensor_doc():
    sensors = [
        {"num": i + 1, "name": "Sensor_%03d" % (i + 1), "devid": 0x3001 + i, "reading": 20.0 + i % 60}
        for i in range(IPMI_SENSORS)
    ]
    return {"cpu": 37, "mem": 50, "io": 4, "sensors": sensors}


def read_status(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "RssShmem"):
                out[key] = int(value.split()[0]) * 1024
    return out


def smaps_split(pid):
    """From smaps: the resident and the mapped bytes of the card's files in
    the process, and the resident bytes of libfaketime (the bench's own
    preload, not the daemon's)."""
    card = {"resident": 0, "mapped": 0}
    faketime = 0
    kind = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            first = line.split(" ", 1)[0]
            if "-" in first and ":" not in first:
                kind = "card" if "/DataRecord/SensorHistory/" in line else "faketime" if "libfaketime" in line else None
            elif line.startswith("Rss:") and kind == "card":
                card["resident"] += int(line.split()[1]) * 1024
            elif line.startswith("Size:") and kind == "card":
                card["mapped"] += int(line.split()[1]) * 1024
            elif line.startswith("Rss:") and kind == "faketime":
                faketime += int(line.split()[1]) * 1024
    return card["resident"], card["mapped"], faketime


def cpu_seconds(pid):
    """Time on the CPU of all the process's threads, from schedstat (ns)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def elf_machine(path):
    with open(path, "rb") as f:
        return f.read(20)[18:20]


def find_faketime(binary):
    """The thread-safe libfaketime (the daemon reads the clock from two
    threads) built for the machine of binary, or None."""
    for lib in sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1")):
        if elf_machine(lib) == elf_machine(binary):
            return lib
    return None


class DaemonClock:
    """The daemon's clock: this machine's real clock plus a whole number of
    seconds, libfaketime's relative offset.  The offset is the one figure
    from which both the daemon's environment and every time of its
    timeline come, so that daemon time = real time + offset exactly."""

    def __init__(self, lib, offset, when=None, lead=0):
        self.lib = lib
        self.offset = offset
        self.when = when
        self.lead = lead

    @classmethod
    def reaching(cls, lib, when, lead):
        """A clock that reaches when (epoch seconds) lead seconds from now,
        or from the moment anchor() is called."""
        return cls(lib, int(when - lead - time.time()), when, lead)

    def start_time(self):
        """The daemon's time at its start, for the card made before it."""
        if self.when is None:
            return self.now()
        return self.when - self.lead

    def anchor(self):
        """Sets the offset afresh so that the clock reaches its time lead
        seconds from now: making the card may take minutes."""
        if self.when is not None:
            self.offset = int(self.when - self.lead - time.time())

    def now(self):
        return time.time() + self.offset

    def sleep_until(self, when):
        left = when - self.now()
        if left > 0:
            time.sleep(left)

    def env(self):
        if self.lib is None:
            return {}
        # The monotonic clock and the files' times stay real: only the
        # daemon's calendar moves.
        return {
            "LD_PRELOAD": self.lib,
            "FAKETIME": "%+d" % self.offset,
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
            "NO_FAKE_STAT": "1",
        }


def day_of(t):
    return time.strftime("%Y-%m-%d", time.gmtime(t))


def parse_figures(text):
    figures = {}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        try:
            figures[key] = float(value)
        except ValueError:
            pass
    return figures


class Daemon(tkharness.Daemon):
    """The end-to-end tests' daemon run, with the bench's sensors, clock and client."""

    def __init__(self, daemon_bin, bin_dir, work, card, clock):
        doc = sensor_doc()
        sensors = doc.pop("sensors")
        super().__init__(work, card=card, sensors=sensors, env=clock.env(), daemon=daemon_bin, sensor_doc=doc)
        self.client_bin = os.path.join(bin_dir, "tk_fifo_client")
        self.clock = clock
        self.list_ready = None

    def start(self):
        tkharness.remove_fixed_paths()
        return super().start(stderr=subprocess.DEVNULL)

    @property
    def pid(self):
        return self.proc.pid

    def client(self, *args, timeout=120):
        proc = subprocess.run(
            [self.client_bin] + [str(a) for a in args], capture_output=True, text=True, timeout=timeout
        )
        return proc.returncode, parse_figures(proc.stdout)

    def start_watch(self, boundary, seconds):
        """Watches the card for the recording of the round at boundary (daemon time), from its own process."""
        args = [self.client_bin, "watch", self.card, WATCH_FILE, str(boundary), str(self.clock.offset), str(seconds)]
        return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish_watch(self, watch, what):
        """The watch's figures: delays after the boundary in ms, None where not seen."""
        out, err = watch.communicate()
        figures = parse_figures(out)
        sys.stderr.write(err)
        if figures.get("watch.started_ms", 0) >= 0:
            log("%s: the watch began after the boundary; not measured" % what)
            return None
        slot = figures.get("watch.slot_ms", -1)
        flush = figures.get("watch.flush_ms", -1)
        log(
            "%s: slot written %.1f ms, flush done %.1f ms after the boundary (%d polls, longest gap %.1f ms)"
            % (what, slot, flush, figures.get("watch.polls", 0), figures.get("watch.poll_gap_max_ms", 0))
        )
        return {"slot_ms": slot if slot >= 0 else None, "flush_ms": flush if flush >= 0 else None}

    def wait_serving(self, date, timeout=120):
        """Waits until a data request is answered: the store is up.  Notes
        when the sensor list was ready (the store logs the card's space)."""
        deadline = time.monotonic() + timeout
        started = time.monotonic()
        while time.monotonic() < deadline and self.alive():
            if self.list_ready is None:
                if self.logged("TF card free size is enough"):
                    self.list_ready = time.monotonic()
                elif time.monotonic() - started < 30:
                    time.sleep(0.05)
                    continue
            if os.path.exists(REQUEST_FIFO) and os.path.exists(RESPONSE_FIFO):
                rc, _ = self.client("rtt", 1, 0, QUERY_SENSOR, date)
                if rc == 0:
                    return True
            time.sleep(0.2)
        return False

    def stop(self):
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def make_daemon_card(bin_dir, card, now):
    subprocess.run(
        [os.path.join(bin_dir, "trendkeep_bench"), "--make-daemon-card", card, "--now", str(int(now))],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def next_midnight():
    """A UTC midnight between one and two days ahead: the daemon's clock is
    set forward to a little before it."""
    return (int(time.time()) // 86400 + 2) * 86400


def run_daemon(daemon_bin, bin_dir, card_root, clock, body):
    """Makes a card holding the scenario's history up to the daemon's now,
    starts the daemon on it, waits for its first answer and runs body(d, out)."""
    out = {}
    work = tempfile.mkdtemp(prefix="tkbench-daemon-")
    card = os.path.join(card_root, "daemon_card")
    try:
        make_daemon_card(bin_dir, card, clock.start_time())
        clock.anchor()
        d = Daemon(daemon_bin, bin_dir, work, card, clock).start()
        try:
            t0 = time.monotonic()
            if not d.wait_serving(day_of(clock.now())):
                raise RuntimeError("the daemon did not answer (see %s)" % d.log)
            out["start_seconds"] = time.monotonic() - t0
            out["hwm_at_start"] = read_status(d.pid).get("VmHWM")
            if d.list_ready is not None:
                out["list_seconds"] = d.list_ready - t0
            body(d, out)
        finally:
            d.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(card, ignore_errors=True)
    return out


def quiet_recording(daemon_bin, bin_dir, card_root, lib):
    """A recording round with nothing else to do: a daemon started on a
    full card shortly before a five-minute boundary (noon of the day before
    the main timeline's midnight), idle when its clock crosses it."""
    boundary = next_midnight() - 43200
    clock = DaemonClock.reaching(lib, boundary, START_ALLOWANCE + 5)

    def body(d, out):
        if clock.now() > boundary - 2:
            log(
                "quiet recording: the daemon answered only %.1f s before the boundary; not measured"
                % (boundary - clock.now())
            )
            return
        clock.sleep_until(boundary - 1.5)
        watch = d.start_watch(boundary, WATCH_SECONDS)
        out["quiet"] = d.finish_watch(watch, "quiet recording")
        out["quiet_hwm"] = read_status(d.pid).get("VmHWM")

    return run_daemon(daemon_bin, bin_dir, card_root, clock, body)


def round_trips(d, cfg, now, out):
    today = day_of(now)
    past = day_of(now - 3 * 86400)
    rc, today_rtt = d.client("rtt", cfg["rtt"], 150, QUERY_SENSOR, today)
    rc2, past_rtt = d.client("rtt", cfg["rtt"], 150, QUERY_SENSOR, past)
    if rc or rc2:
        log("some round trips failed")
    out["rtt_today"] = today_rtt
    out["rtt_past"] = past_rtt


def flood_lead(cfg):
    """How long before midnight the flood begins: 3 s, or a third of a short flood."""
    return min(3.0, cfg["flood"] / 3)


def flood_across(d, cfg, midnight, out):
    """Floods the daemon from a little before its midnight while the card
    is watched for the midnight round."""
    clock = d.clock
    lead = flood_lead(cfg)
    watch = None
    if clock.lib is None:
        log("libfaketime is not installed: the flood crosses no midnight, its recording is not measured")
    elif clock.now() > midnight - lead - 1:
        log(
            "the round trips ended %.1f s before midnight: the flood's recording is not measured"
            % (midnight - clock.now())
        )
    else:
        clock.sleep_until(midnight - lead - 1)
        watch = d.start_watch(midnight, WATCH_SECONDS)
        clock.sleep_until(midnight - lead)
    out["flood_from"] = clock.now() - midnight
    rc, flood = d.client("flood", cfg["flood"], QUERY_SENSOR, day_of(clock.now()))
    out["flood_to"] = clock.now() - midnight
    if rc:
        log("the flood had unanswered or wrong answers")
    out["flood"] = flood
    if watch is not None:
        out["flood_rec"] = d.finish_watch(watch, "recording under a flood")


def main_timeline(daemon_bin, bin_dir, card_root, cfg, lib):
    """Start on a full card, round trips, a flood across the daemon's
    midnight (a day switch and a recording round), an idle window, the
    footprint: all in one daemon, so that VmHWM covers every part."""
    midnight = next_midnight()
    # Time enough for the start and the round trips (150 ms apart), with
    # a quarter to spare, before the flood's lead and its watch.
    rtt_estimate = 2 * cfg["rtt"] * 0.16 * 1.25
    clock = DaemonClock(None, 0)
    if lib is not None:
        clock = DaemonClock.reaching(lib, midnight, START_ALLOWANCE + rtt_estimate + 5 + flood_lead(cfg) + 1)

    def body(d, out):
        round_trips(d, cfg, clock.now(), out)
        out["hwm_before_flood"] = read_status(d.pid).get("VmHWM")
        flood_across(d, cfg, midnight, out)
        time.sleep(1.0)
        c0, w0 = cpu_seconds(d.pid), time.monotonic()
        time.sleep(cfg["idle"])
        c1, w1 = cpu_seconds(d.pid), time.monotonic()
        out["idle_cpu"] = c1 - c0
        out["idle_window"] = w1 - w0
        out["status"] = read_status(d.pid)
        out["card_rss"], out["card_mapped"], out["faketime_rss"] = smaps_split(d.pid)

    return run_daemon(daemon_bin, bin_dir, card_root, clock, body)


def measure_daemon(daemon_bin, bin_dir, card_root, cfg, lib):
    """Every daemon figure of one binary: the quiet recording in a daemon
    of its own, then the main timeline."""
    quiet = {}
    if lib is not None:
        quiet = quiet_recording(daemon_bin, bin_dir, card_root, lib)
    out = main_timeline(daemon_bin, bin_dir, card_root, cfg, lib)
    out["quiet_rec"] = quiet.get("quiet")
    out["quiet_hwm"] = quiet.get("quiet_hwm")
    return out


def measure_ipmi(build_dir, cfg):
    """The daemon's refresh through the host IPMI library (session open, all readings, all sensor-info records,
    close) against ipmi_sim on loopback, in process: the first one, which reads the SDR repository, and then
    cfg["refreshes"] more.  None when ipmi_sim is missing or the library has no FreeIPMI backend."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
    import ipmisim

    if not shutil.which("ipmi_sim"):
        log("ipmi_sim is not installed (Debian: openipmi): IPMI part skipped")
        return None
    lib = ctypes.CDLL(os.path.join(build_dir, "lib", "libipmi.so.13"))
    work = tempfile.mkdtemp(prefix="tkbench-ipmi-")
    sim = ipmisim.Sim(work, [s._replace(raw=100) for s in ipmisim.DEMO]).start()
    saved = {k: os.environ.get(k) for k in ("TRENDKEEP_IPMI", "TRENDKEEP_IPMI_AUTH", "TRENDKEEP_LOG")}
    os.environ.update(sim.env(), TRENDKEEP_LOG=os.path.join(work, "log"))
    session, priv, count = ctypes.create_string_buffer(256), ctypes.c_uint8(4), ctypes.c_uint32(0)

    def refresh():
        t0 = time.perf_counter()
        ok = lib.LIBIPMI_Create_IPMI_Local_Session(session, b"", b"", ctypes.byref(priv), 0, 2, 30) == 0
        if ok and count.value == 0:
            ok = lib.LIBIPMI_HL_GetSensorCount(session, ctypes.byref(count), 30) == 0
        for call, size in ((lib.LIBIPMI_HL_GetAllSensorReadings, 112), (lib.LIBIPMI_HL_AMIGetSensorInfo, 54)):
            n = ctypes.c_uint32(count.value)
            ok = ok and call(session, ctypes.create_string_buffer(size * count.value), ctypes.byref(n), 30) == 0
        lib.LIBIPMI_CloseSession(session)
        if not ok:
            raise RuntimeError("a refresh failed (see %s)" % os.path.join(work, "log"))
        return time.perf_counter() - t0

    try:
        first = refresh()
        times = sorted(refresh() for _ in range(cfg["refreshes"]))
        return dict(
            first=first,
            median=times[len(times) // 2],
            p99=times[min(len(times) - 1, len(times) * 99 // 100)],
            count=len(times),
            sensors=count.value,
        )
    except RuntimeError as e:
        log("IPMI part failed: %s" % e)
        return None
    finally:
        sim.stop()
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------------------
# The table


def fmt_time(seconds):
    if seconds is None:
        return "n/a"
    if seconds < 1e-6:
        return "%.0f ns" % (seconds * 1e9)
    if seconds < 1e-3:
        return "%.2f µs" % (seconds * 1e6)
    if seconds < 1:
        return "%.2f ms" % (seconds * 1e3)
    return "%.2f s" % seconds


def fmt_bytes(n):
    if n is None or n < 0:
        return "n/a"
    if n >= 1 << 20:
        return "%.2f MiB" % (n / (1 << 20))
    if n >= 1024:
        return "%.1f KiB" % (n / 1024)
    return "%.0f B" % n


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    r = a / b
    return "%.0fx" % r if r >= 100 else "%.1fx" % r if r >= 10 else "%.2fx" % r


def per_idle_minute(run):
    if not run or not run.get("idle_window"):
        return None
    return run["idle_cpu"] * 60.0 / run["idle_window"]


def recording_cells(run):
    """ "quiet / under a flood" for the slot written (ms) and the flush done (s)."""

    def pair(key, fmt, scale):
        texts = []
        for rec in (run.get("quiet_rec"), run.get("flood_rec")):
            v = rec.get(key) if rec else None
            texts.append(fmt % (v * scale) if v is not None else "n/a")
        return " / ".join(texts)

    return pair("slot_ms", "%.0f ms", 1.0), pair("flush_ms", "%.2f s", 1e-3)


def daemon_cells(run):
    """One binary's daemon figures as table cells; every one "n/a" when the binary was not measured."""
    if not run:
        return None
    st = run.get("status", {})
    card, mapped = run.get("card_rss"), run.get("card_mapped")
    rest = st["VmRSS"] - card if card is not None and "VmRSS" in st else None
    fl = run.get("flood", {})
    slots, flush = recording_cells(run)
    rtt = []
    for key in ("rtt_today", "rtt_past"):
        r = run.get(key, {})
        rtt.append("%s / %s" % (fmt_time(r.get("rtt.median_us", 0) / 1e6), fmt_time(r.get("rtt.p99_us", 0) / 1e6)))
    pages = "n/a"
    if card is not None and mapped:
        pages = "%d of %d (%.0f%%)" % (card // 4096, mapped // 4096, 100.0 * card / mapped)
    per_min = per_idle_minute(run)
    return {
        "flood": "%.1f /s" % fl["flood.per_second"] if "flood.per_second" in fl else "n/a",
        "slots": slots,
        "flush": flush,
        "rtt_today": rtt[0],
        "rtt_past": rtt[1],
        "hwm": "%s (first answer %s, before the flood %s)"
        % (fmt_bytes(st.get("VmHWM")), fmt_bytes(run.get("hwm_at_start")), fmt_bytes(run.get("hwm_before_flood"))),
        "quiet_hwm": fmt_bytes(run.get("quiet_hwm")),
        "rss": "%s = %s + %s (anonymous %s, libfaketime %s)"
        % (
            fmt_bytes(st.get("VmRSS")),
            fmt_bytes(card),
            fmt_bytes(rest),
            fmt_bytes(st.get("RssAnon")),
            fmt_bytes(run.get("faketime_rss")),
        ),
        "pages": pages,
        "idle": "%.3f s" % per_min if per_min is not None else "n/a",
        "start": "%s (list %s)" % (fmt_time(run.get("start_seconds")), fmt_time(run.get("list_seconds"))),
    }


DAEMON_ROWS = [
    ("flood", "answers per second under a flood (%(flood).0f s, from %(lead).0f s before the daemon's midnight)"),
    ("slots", "recording after the five-minute boundary, quiet / under a flood: slots written"),
    ("flush", "recording after the five-minute boundary, quiet / under a flood: flush done"),
    ("rtt_today", "FIFO round trip of a data request, today (median / p99, %(rtt)d requests)"),
    ("rtt_past", "FIFO round trip of a data request, past day (median / p99, %(rtt)d requests)"),
    ("hwm", "peak RSS, VmHWM (start on a full card, round trips, flood, day switch, recording)"),
    ("quiet_hwm", "peak RSS, VmHWM, of the quiet daemon after its recording round (start, no requests, no day switch)"),
    ("rss", "VmRSS at the end = the card's mapped files + the rest"),
    ("pages", "pages of the card's mapped files resident in the daemon at the end"),
    ("idle", "CPU seconds per idle minute%(note)s"),
    ("start", "start to first answer, full card (wall; the host platform's sensor list)"),
]


def daemon_goals(before, now):
    """(what, ok, figure) of the daemon's goals; ok None where not measured."""
    flood = (now.get("flood") or {}).get("flood.per_second") if now else None
    hwm = now.get("status", {}).get("VmHWM") if now else None
    goals = [
        (
            "answers under a flood >= 1,000 /s",
            None if flood is None else flood >= 1000,
            "%.1f /s" % flood if flood is not None else "n/a",
        ),
        ("peak RSS at most 6 MiB", None if hwm is None else hwm <= 6 << 20, fmt_bytes(hwm)),
    ]
    idle_now, idle_before = per_idle_minute(now), per_idle_minute(before)
    if idle_now is not None and idle_before is not None:
        ok = idle_now <= idle_before * (1 + IDLE_NOISE) + IDLE_NOISE_SECONDS
        goals.append(
            (
                "idle CPU no higher than before (within %.0f%% + %.0f ms a minute)"
                % (IDLE_NOISE * 100, IDLE_NOISE_SECONDS * 1000),
                ok,
                "%.3f s a minute, before %.3f s" % (idle_now, idle_before),
            )
        )
    return goals


def daemon_section(before, now, before_label, cfg):
    """The running daemon's rows: the binary of before_label beside this tree's, with the goals."""
    idle_note = "" if cfg["idle"] >= 60 else " (measured over %.0f s, scaled to 60 s)" % cfg["idle"]
    words = {"flood": cfg["flood"], "lead": flood_lead(cfg), "rtt": cfg["rtt"], "note": idle_note}
    cells_before, cells_now = daemon_cells(before), daemon_cells(now)
    absent = "not run" if before_label is None else "n/a"
    goals = daemon_goals(before, now)
    goal_of = {"flood": goals[0], "hwm": goals[1], "idle": goals[2] if len(goals) > 2 else None}
    lines = [
        "5. The running daemon, 258 sensors: before (%s) and now" % (before_label or "not run"),
        "",
        "| measure | before | now | goal |",
        "|---|---|---|---|",
    ]
    for key, label in DAEMON_ROWS:
        goal = ""
        if goal_of.get(key):
            what, ok, _ = goal_of[key]
            goal = "%s: %s" % (what, "n/a" if ok is None else "met" if ok else "not met")
        lines.append(
            "| %s | %s | %s | %s |"
            % (
                label % words,
                cells_before[key] if cells_before else absent,
                cells_now[key] if cells_now else "n/a",
                goal,
            )
        )
    return {"lines": lines, "goals": [g for g in goals if g[1] is not None]}


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.lower().startswith(("model name", "hardware", "cpu model")):
                    model = line.partition(":")[2].strip()
                    break
    except OSError:
        pass
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "%s, %d cores, Linux %s (%s), load average %s" % (
        model,
        os.cpu_count() or 0,
        platform.release(),
        platform.machine(),
        load,
    )


def verdict(ok):
    return "met" if ok else "not met"


class StoreTable:
    """The rows and goals of the in-process parts (1-4) and of the IPMI part (6)."""

    def __init__(self, times, io):
        self.times = times
        self.io = io
        self.rows = []
        self.goals = []

    def t(self, name, clock):
        v = self.times.get(name)
        return v.get(clock) if v else None

    def tw(self, name):
        """Wall time with its spread over the repetitions, when there were some."""
        cv = self.t(name, "cv")
        text = fmt_time(self.t(name, "real"))
        return text + (" (cv %.0f%%)" % (cv * 100) if cv is not None else "")

    def num(self, key):
        try:
            v = float(self.io[key])
            return None if v < 0 else v
        except (KeyError, ValueError):
            return None

    def row(self, part, what, tk, rrd, rat, goal=""):
        self.rows.append("| %s | %s | %s | %s | %s | %s |" % (part, what, tk, rrd, rat, goal))

    def recording(self):
        rec, upd = self.t("BM_TkRecord", "cpu"), self.t("BM_RrdUpdate", "cpu")
        g1 = rec is not None and upd is not None and upd / rec >= 50
        self.row(
            "1",
            "recording round, 258 sensors, into the slots, each file let go of as it is done (CPU time)",
            fmt_time(rec),
            fmt_time(upd) + " (258 rrd_update_r)",
            ratio(upd, rec),
            "RRD/TK >= 50x: " + verdict(g1),
        )
        self.goals.append(("recording >= 50x cheaper than rrd_update_r", g1, ratio(upd, rec)))
        n = self.io.get("round.count", "?")
        rt, ru = self.num("round.tk.seconds"), self.num("round.rrd.seconds")
        self.row(
            "1",
            "recording round + flush of every file (wall, median of %s rounds in turns)" % n,
            fmt_time(rt),
            fmt_time(ru) + " (+ fsync each)",
            ratio(ru, rt),
            "",
        )
        fl, fd = self.num("round.flush.store_seconds"), self.num("round.flush.fdatasync_seconds")
        g2 = fl is not None and fd is not None and fl / fd <= 1.2
        self.row(
            "1",
            "the flush alone, 258 files: UpdateMemToFile vs one fdatasync per file (wall, file by file in " "turns)",
            fmt_time(fl),
            fmt_time(fd) + " (floor: fdatasync)",
            "TK/floor %s" % ratio(fl, fd),
            "<= 1.2x: " + verdict(g2),
        )
        self.goals.append(("flush within 1.2x of one fdatasync per file", g2, "TK/floor " + ratio(fl, fd)))

    def day_answers(self):
        t = self.t
        qt, qp = t("BM_TkQueryToday", "cpu"), t("BM_TkQueryPastDay", "cpu")
        ft, fp, f4 = t("BM_RrdFetchToday", "cpu"), t("BM_RrdFetchPastDay", "cpu"), t("BM_RrdFetchPastDay4", "cpu")
        g4 = all(v is not None for v in (qt, qp, ft, fp)) and ft / qt >= 5 and fp / qp >= 5
        self.row(
            "2",
            "one day of one sensor, today (CPU time)",
            fmt_time(qt),
            fmt_time(ft) + " (rrd_fetch_r)",
            ratio(ft, qt),
            ">= 5x: " + verdict(g4),
        )
        self.row(
            "2",
            "one day of one sensor, past day (CPU time)",
            fmt_time(qp),
            fmt_time(fp) + " (rrd_fetch_r, 288 rows)",
            ratio(fp, qp),
            ">= 5x: " + verdict(g4),
        )
        self.row(
            "2",
            "past day, all four series (CPU time)",
            fmt_time(qp) + " (one answer)",
            fmt_time(f4) + " (4 x rrd_fetch_r)",
            ratio(f4, qp),
            "",
        )
        self.goals.append(
            (
                "day answer in process >= 5x faster than rrd_fetch_r",
                g4,
                "%s today, %s past day" % (ratio(ft, qt), ratio(fp, qp)),
            )
        )

    def bytes_written(self):
        num = self.num
        n = self.io.get("round.count", "?")
        tkp, rrp = num("round.tk.process_bytes_per_file"), num("round.rrd.process_bytes_per_file")
        tkd, rrd_ = num("round.tk.device_bytes_per_file"), num("round.rrd.device_bytes_per_file")
        pm, px = num("pages.mean_per_file"), num("pages.max_per_file")
        po, pr = num("pages.rounds_over_one"), num("pages.rounds")
        g3 = px is not None and px <= 1
        if pm is not None:
            self.row(
                "3",
                "pages written per file per round over a new day (%d rounds from the day switch; "
                "%d of them wrote 2 pages in some file)" % (pr, po),
                "mean %.4f, max %d" % (pm, px),
                "",
                "",
                "<= 1 page: " + ("met" if g3 else "met in %.1f%% of rounds" % (100 - 100 * po / pr)),
            )
        self.row(
            "3",
            "bytes written per file per round, process write_bytes (%s rounds)" % n,
            fmt_bytes(tkp),
            fmt_bytes(rrp) + " (update + fsync)",
            ratio(rrp, tkp),
            "",
        )
        device = self.io.get("round.device") or "?"
        self.row(
            "3",
            "bytes per file per round at the device (%s, after syncfs)" % device,
            fmt_bytes(tkd),
            fmt_bytes(rrd_),
            ratio(rrd_, tkd),
            "",
        )
        if not g3 and pm is not None and po is not None:
            g3 = "partly"
        self.goals.append(
            (
                "at most one page written per file per round",
                g3,
                "mean %.4f pages, max %s, one page in %s of rounds; %s B by write_bytes"
                % (
                    pm or 0,
                    "%d" % px if px is not None else "?",
                    "%.1f%%" % (100 - 100 * po / pr) if po is not None and pr else "?",
                    "%.0f" % tkp if tkp is not None else "?",
                ),
            )
        )

    def switch_and_start(self):
        tw = self.tw
        self.row(
            "4", "day switch of 258 files (wall, blocks resident)", tw("BM_TkDaySwitch"), "n/a (no day blocks)", "", ""
        )
        ie, cr = self.t("BM_TkInitEmpty", "real"), self.t("BM_RrdCreate", "real")
        self.row(
            "4",
            "store initialisation, empty card (wall)",
            tw("BM_TkInitEmpty"),
            tw("BM_RrdCreate") + " (258 rrd_create_r + fsync)",
            ratio(cr, ie),
            "",
        )
        self.row(
            "4",
            "store initialisation, full card of an earlier run (wall)",
            tw("BM_TkInitFull"),
            "n/a (nothing to open)",
            "",
            "",
        )

    def ipmi_peer(self, ipmi):
        if not ipmi:
            return
        self.row(
            "6",
            "one refresh of %d sensors against ipmi_sim over RMCP+: session open, readings, sensor info, "
            "close (wall, median / p99 of %d)" % (ipmi["sensors"], ipmi["count"]),
            "%s / %s" % (fmt_time(ipmi["median"]), fmt_time(ipmi["p99"])),
            "n/a",
            "",
            "",
        )
        self.row(
            "6", "the first refresh, which reads the SDR repository (wall)", fmt_time(ipmi["first"]), "n/a", "", ""
        )


def build_table(times, io, card_desc, mode, ipmi=None, daemon_section=None):
    tb = StoreTable(times, io)
    tb.recording()
    tb.day_answers()
    tb.bytes_written()
    tb.switch_and_start()
    tb.ipmi_peer(ipmi)
    goals = list(tb.goals)
    head = ["| part | measure | Trendkeep | RRDtool | RRD/TK | goal |", "|---|---|---|---|---|---|"]
    lines = (
        [
            "Trendkeep beside RRDtool, 258 sensors, seven days of five-minute history (%s run)" % mode,
            "",
            "Machine: " + machine(),
            "Card: " + card_desc,
            "",
        ]
        + head
        + tb.rows
    )
    if daemon_section:
        lines += [""] + daemon_section["lines"]
        goals += daemon_section["goals"]
    lines += ["", "Goals:"]
    for what, ok, figure in goals:
        state = "met" if ok is True else "partly met" if ok == "partly" else "NOT met"
        lines.append("- %s: %s (%s)" % (what, state, figure))
    return "\n".join(lines)


def timed_tool(argv, out_path):
    """Runs a tool with its standard output into out_path: (seconds, peak RSS in KiB or None, bytes written).
    The peak comes from GNU time: a child forked from Python starts with Python's peak, so getrusage's
    figure would be this script's."""
    gnu_time = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
    peak_file = out_path + ".rss"
    prefix = [gnu_time, "-f", "%M", "-o", peak_file] if gnu_time else []
    with open(out_path, "wb") as out:
        t0 = time.monotonic()
        rc = subprocess.run(prefix + argv, stdout=out, stderr=subprocess.DEVNULL).returncode
        seconds = time.monotonic() - t0
    if rc != 0:
        raise RuntimeError("%s ended with status %d" % (" ".join(argv), rc))
    peak = None
    if gnu_time:
        with open(peak_file) as f:
            peak = int(f.read().split()[-1])
        os.unlink(peak_file)
    return seconds, peak, os.path.getsize(out_path)


def measure_exports(bin_dir, card_root):
    """The exports of this tree's tools on a full card (258 sensors, seven days): OpenMetrics from the card
    and through the FIFOs of a daemon running on it (its real clock), and the textfile for node_exporter."""
    card_tool, query = os.path.join(bin_dir, "trendkeep-card"), os.path.join(bin_dir, "trendkeep-query")
    rows = []
    work = tempfile.mkdtemp(prefix="tkbench-export-")

    def body(d, out):
        target = os.path.join(work, "export.om")
        label = ["--label", "instance=bench"]
        for what, argv in (
            ("OpenMetrics from the card", [card_tool, "export", *label, d.card]),
            ("OpenMetrics through the FIFOs", [query, "export", *label]),
            ("textfile through the FIFOs", [query, "export", "--textfile", work, *label]),
        ):
            seconds, rss, size = timed_tool(argv, target)
            if what.startswith("textfile"):
                size = os.path.getsize(os.path.join(work, "trendkeep.prom"))
            peak = "n/a" if rss is None else "%.1f MiB" % (rss / 1024.0)
            rows.append("| %s | %.2f s | %s | %.1f MB |" % (what, seconds, peak, size / 1e6))

    try:
        run_daemon(os.path.join(bin_dir, "Trendkeep"), bin_dir, card_root, DaemonClock(None, 0), body)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return [
        "7. Exports, 258 sensors x 7 days (this tree's tools)",
        "",
        "| export | time | peak RSS | output |",
        "|---|---|---|---|",
    ] + rows


def measure_daemons(args, cfg, card_root):
    """The daemon figures of the binary before (when asked for) and of this tree's, one after the other."""
    bin_dir = os.path.join(args.build_dir, "bin")
    lib = args.faketime_lib or find_faketime(os.path.join(bin_dir, "Trendkeep"))
    if lib is None:
        log("libfaketime is not installed: no day switch and no recording delays (Debian: libfaketime)")
    runs = {}
    binaries = [("now", os.path.join(bin_dir, "Trendkeep"))]
    if args.before_bin:
        binaries.insert(0, ("before", os.path.join(args.before_bin, "Trendkeep")))
    for name, daemon_bin in binaries:
        log("measuring the daemon %s: %s" % (name, daemon_bin))
        t0 = time.monotonic()
        try:
            runs[name] = measure_daemon(daemon_bin, bin_dir, card_root, cfg, lib)
        except (RuntimeError, subprocess.SubprocessError, OSError) as e:
            log("daemon measurements of %s failed: %s" % (daemon_bin, e))
        log("the daemon %s took %.1f s" % (name, time.monotonic() - t0))
    label = (args.before_label or args.before_bin) if args.before_bin else None
    return daemon_section(runs.get("before"), runs.get("now"), label, cfg)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--quick", action="store_true", help="minimal repetitions and short windows, for CI")
    ap.add_argument("--no-daemon", action="store_true", help="skip the measurements of the running daemon")
    ap.add_argument(
        "--before-bin",
        metavar="DIR",
        help="a directory holding an earlier Trendkeep: its daemon is measured first, the same way",
    )
    ap.add_argument("--before-label", metavar="REV", help="what the earlier binary is, for the table")
    ap.add_argument("--faketime-lib", metavar="PATH", help="libfaketimeMT.so.1 (default: found under /usr/lib)")
    args = ap.parse_args()
    cfg = QUICK if args.quick else FULL
    bin_dir = os.path.join(args.build_dir, "bin")
    mode = "quick" if args.quick else "full"

    with Card(args.build_dir) as card:
        card_desc = card.describe()
        out_json = os.path.join(args.build_dir, "bench-store.json")
        t0 = time.monotonic()
        io, times, _ = run_store_bench(bin_dir, card.root, cfg, out_json)
        log("in-process benchmarks took %.1f s" % (time.monotonic() - t0))
        section = None
        isolated = bool(os.environ.get("TK_ISOLATED"))
        if args.no_daemon:
            pass
        elif not isolated and (os.path.lexists(REQUEST_FIFO) or os.path.lexists(RESPONSE_FIFO)):
            log("another daemon's FIFOs are in /var/tmp and there is no private namespace: daemon part skipped")
        else:
            section = measure_daemons(args, cfg, card.root)
            try:
                section["lines"] += [""] + measure_exports(bin_dir, card.root)
            except (RuntimeError, subprocess.SubprocessError, OSError) as e:
                log("export measurements failed: %s" % e)
        ipmi = measure_ipmi(args.build_dir, cfg)
        table = build_table(times, io, card_desc, mode, ipmi, section)
    print(table)
    with open(os.path.join(args.build_dir, "bench-results.md"), "w") as f:
        f.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
