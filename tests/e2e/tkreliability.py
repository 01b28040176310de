"""Shared pieces of the reliability tests: the fault injector libtkfault,
sanitizer reports, the card check and the comparison of a card's history
before and after a run that may have gone wrong.

The long versions of these tests run only with TK_RELIABILITY=1 (set by
scripts/reliability.sh); see docs/reliability.md.
"""

import os
import re
import struct
import subprocess
import tempfile

from tkharness import BIN_DIR, HERE, RECORD_DIR
import tkproto

SOURCE_DIR = os.path.abspath(os.path.join(HERE, "..", ".."))
FAULT_DIR = os.path.join(SOURCE_DIR, "tests", "fault")

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer", "UndefinedBehaviorSanitizer",
                   "SUMMARY: AddressSanitizer", "SUMMARY: UndefinedBehaviorSanitizer")


def reliability_long():
    return os.environ.get("TK_RELIABILITY") == "1"


def env_int(name, default):
    value = os.environ.get(name)
    return int(value) if value else default


# ---------------------------------------------------------------------------
# libtkfault

def _built(name):
    """A program or library of the build, or of a build made here."""
    for path in (os.path.join(BIN_DIR, "..", "lib", name), os.path.join(BIN_DIR, name)):
        if os.path.exists(path):
            return os.path.abspath(path)
    return None


def _compile(source, output, shared):
    """Builds one of the fault sources with the system's C compiler, for a
    build tree that does not include tests/fault."""
    src_mtime = os.path.getmtime(source)
    if os.path.exists(output) and os.path.getmtime(output) >= src_mtime:
        return output
    os.makedirs(os.path.dirname(output), exist_ok=True)
    cmd = ["cc", "-std=gnu11", "-O2", "-Wall", "-Wextra", "-Werror", "-o", output + ".tmp", source]
    if shared:
        cmd[1:1] = ["-shared", "-fPIC"]
        cmd.append("-ldl")
    subprocess.run(cmd, check=True)
    os.rename(output + ".tmp", output)
    return output


def _cache_dir():
    parent = os.path.join(BIN_DIR, "..")
    if os.access(parent, os.W_OK):
        return os.path.abspath(os.path.join(parent, "tkfault-cache"))
    return os.path.join(tempfile.gettempdir(), "tkfault-cache-%d" % os.getuid())


def fault_library():
    return _built("libtkfault.so") or _compile(os.path.join(FAULT_DIR, "tkfault.c"),
                                               os.path.join(_cache_dir(), "libtkfault.so"), True)


def fault_selftest():
    return _built("tkfault_selftest") or _compile(os.path.join(FAULT_DIR, "tkfault_selftest.c"),
                                                  os.path.join(_cache_dir(), "tkfault_selftest"), False)


_sanitized = {}


def daemon_is_sanitized(path):
    """Whether the daemon was built with AddressSanitizer or ThreadSanitizer
    (they want to come first among the preloaded libraries)."""
    if path in _sanitized:
        return _sanitized[path]
    _sanitized[path] = False
    try:
        out = subprocess.run(["ldd", path], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return False
    _sanitized[path] = "libasan" in out or "libtsan" in out
    return _sanitized[path]


def preload_env(daemon=None):
    """What a sanitized daemon needs to run with other libraries preloaded
    (libfaketime, libtkfault): the sanitizers otherwise refuse to start
    when they do not come first."""
    if not daemon_is_sanitized(daemon or os.path.join(BIN_DIR, "Trendkeep")):
        return {}
    old = os.environ.get("ASAN_OPTIONS", "")
    return {"ASAN_OPTIONS": (old + ":" if old else "") + "verify_asan_link_order=0"}


def fault_env(rule=None, count_file=None, log_file=None, faketime_lib=None, daemon=None):
    """Environment that preloads libtkfault (and libfaketime after it)."""
    preload = [fault_library()]
    if faketime_lib:
        preload.append(faketime_lib)
    env = {"LD_PRELOAD": " ".join(preload), "TK_FAULT": rule or "", "TK_FAULT_ACTIVE_PID": None}
    if count_file:
        env["TK_FAULT_COUNT"] = count_file
    if log_file:
        env["TK_FAULT_LOG"] = log_file
    env.update(preload_env(daemon))
    return env


def read_counts(path):
    counts = {}
    try:
        with open(path) as f:
            for line in f:
                name, n = line.split()
                counts[name] = int(n)
    except FileNotFoundError:
        pass
    return counts


def read_fault_log(path):
    """[(call, n, errno, caller, what)] of the faults that fired."""
    fired = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 4)
                if len(parts) == 5:
                    fired.append((parts[0], int(parts[1]), int(parts[2]), parts[3], parts[4]))
    except FileNotFoundError:
        pass
    return fired


# ---------------------------------------------------------------------------
# Reports of a run

def sanitizer_report(text):
    """The first lines of a sanitizer report in text, or None."""
    for mark in SANITIZER_MARKS:
        i = text.find(mark)
        if i >= 0:
            return text[max(0, i - 200):i + 1500]
    return None


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


# ---------------------------------------------------------------------------
# The card

def card_tool():
    path = os.path.join(BIN_DIR, "trendkeep-card")
    return path if os.access(path, os.X_OK) else None


def check_card(card):
    """(ok, text): the card tool's check when it is built, else the checks
    below in Python."""
    tool = card_tool()
    if tool:
        proc = subprocess.run([tool, "check", card], capture_output=True, text=True, timeout=120)
        text = (proc.stdout + proc.stderr)[-4000:]
        return proc.returncode == 0 or killed_between_day_flushes(card, proc.stdout), text
    problems = python_card_problems(card)
    return not problems, "\n".join(problems[:50])


def killed_between_day_flushes(card, report):
    """True when the check's only finding is a RecordSlot before RecordDay:
    the day switch flushes RecordDay first and RecordSlot after its first
    recording, so a kill between the two leaves the slot of an earlier day
    (0 on a new card).  No flushed slot is lost by it."""
    problems = [line for line in report.splitlines()[:-1] if line.strip()]
    try:
        with open(os.path.join(card, RECORD_DIR, "DataTime", "RecordTime"), "rb") as f:
            day, slot = struct.unpack("<II", f.read(8))
    except (OSError, struct.error):
        return False
    return len(problems) == 1 and "RecordSlot: expected a slot start within" in problems[0] and slot < day


def python_card_problems(card):
    """What is wrong with the store on a card, by the store's own format:
    the record time file of 8 bytes, sensor data files of 74818 bytes whose
    header names the file, and day blocks whose slots carry their own
    start times."""
    problems = []
    record_dir = os.path.join(card, RECORD_DIR)
    rt = tkproto.record_time_path(card)
    if not os.path.isfile(rt) or os.path.getsize(rt) != tkproto.RECORD_TIME.size:
        problems.append("record time file missing or of the wrong size")
    for name in sorted(os.listdir(record_dir)) if os.path.isdir(record_dir) else []:
        path = os.path.join(record_dir, name)
        if os.path.isdir(path):
            continue
        if os.path.getsize(path) != tkproto.SENSOR_FILE_SIZE:
            problems.append("%s: %d bytes" % (name, os.path.getsize(path)))
            continue
        f = tkproto.read_sensor_file(path)
        if f.name != name:
            problems.append("%s: header names %r" % (name, f.name))
        for d, block in enumerate(f.blocks):
            if block.day_key == 0:
                if block.raw != bytes(tkproto.BLOCK_SIZE):
                    # Emptied blocks are all zero; a new file's too.
                    pass
                continue
            if block.stats_valid not in (0, 1):
                problems.append("%s: block %d: StatsValid %d" % (name, d, block.stats_valid))
            for s, slot in enumerate(block.slots):
                if slot.slot_time != (block.day_key + tkproto.SLOT_SECONDS * s) & 0xFFFFFFFF:
                    problems.append("%s: block %d slot %d: SlotTime %d" % (name, d, s, slot.slot_time))
                    break
                if slot.recorded not in (0, 1):
                    problems.append("%s: block %d slot %d: Recorded %d" % (name, d, s, slot.recorded))
    return problems


def snapshot(card):
    """The store's files as bytes: {name: bytes}, the record time file under
    "RecordTime"."""
    files = {}
    record_dir = os.path.join(card, RECORD_DIR)
    if os.path.isdir(record_dir):
        for name in os.listdir(record_dir):
            path = os.path.join(record_dir, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    files[name] = f.read()
    rt = tkproto.record_time_path(card)
    if os.path.isfile(rt):
        with open(rt, "rb") as f:
            files["RecordTime"] = f.read()
    return files


def recorded_slots(data, up_to=None):
    """{(day key, slot index): slot bytes} of the recorded slots of a sensor
    data file's bytes, those starting no later than up_to when given."""
    out = {}
    if len(data) != tkproto.SENSOR_FILE_SIZE:
        return out
    seen = set()
    for d in range(tkproto.DAYS_PER_FILE):
        base = tkproto.FILE_HEAD.size + d * tkproto.BLOCK_SIZE
        day_key = tkproto.BLOCK_HEAD.unpack_from(data, base)[0]
        if day_key == 0 or day_key in seen:
            continue  # empty, or not the block the daemon reads for the day
        seen.add(day_key)
        for s in range(tkproto.SLOTS_PER_DAY):
            off = base + tkproto.BLOCK_HEAD.size + s * tkproto.SLOT.size
            raw = data[off:off + tkproto.SLOT.size]
            if raw[0] == 1:
                slot_time = tkproto.SLOT.unpack(raw)[1]
                if up_to is None or slot_time <= up_to:
                    out[(day_key, s)] = raw
    return out


def day_keys(data):
    keys = []
    for d in range(tkproto.DAYS_PER_FILE):
        base = tkproto.FILE_HEAD.size + d * tkproto.BLOCK_SIZE
        keys.append(tkproto.BLOCK_HEAD.unpack_from(data, base)[0])
    return keys


def lost_history(before, after, went_back=False):
    """Recorded slots of the snapshot before that the snapshot after no
    longer holds byte for byte.  Only slots covered by the record time
    file's RecordSlot count as kept: the daemon records a later slot again
    after a restart.  A day may go only the way the store lets it go: as the
    oldest of seven days when a new one comes."""
    lost = []
    rt = before.get("RecordTime")
    if rt is None or len(rt) != 8:
        return lost
    record_slot = tkproto.RECORD_TIME.unpack(rt)[1]
    for name, data in before.items():
        if name == "RecordTime":
            continue
        kept = recorded_slots(data, up_to=record_slot)
        if not kept:
            continue
        now = after.get(name)
        if now is None or len(now) != tkproto.SENSOR_FILE_SIZE:
            lost.append("%s: file gone or resized (%s)" % (name, None if now is None else len(now)))
            continue
        now_keys = day_keys(now)
        now_slots = recorded_slots(now)
        for (day_key, s), raw in sorted(kept.items()):
            if day_key not in now_keys:
                held = [k for k in now_keys if k != 0]
                if len(held) == tkproto.DAYS_PER_FILE and all(k > day_key for k in held):
                    continue  # the oldest day made room for a new one
                if went_back and day_key > max(held or [0]):
                    continue
                lost.append("%s: day %d gone (held now: %s)" % (name, day_key, held))
                break
            if now_slots.get((day_key, s)) != raw:
                lost.append("%s: day %d slot %d changed" % (name, day_key, s))
    return lost
