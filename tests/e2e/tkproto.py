"""A requester on the daemon's two FIFOs, and readers of its files on the card.

The records that cross the FIFOs are packed and little-endian:

  request           131 bytes  u8 kind, char[128] date text, u16 sensor number
  count response      4 bytes  u32 number of sensors
  list response  23 per sensor u16 number, char[20] name (16 used), u8 class
  data response   10682 bytes  u16 number, f64 max, f64 min, u32 max time,
                               u32 min time, 288 slots of 37 bytes

A slot is u8 recorded, u32 slot time, f64 reading, max, min and average, the
same 37 bytes in a response as in a day block of a sensor data file.  A
sensor data file is a 23-byte header (u16 number, char[20] name, u8 class)
and seven day blocks of 10685 bytes (i32 day key, u8 stats valid, f64 day
max, f64 day min, u32 day max time, u32 day min time, 288 slots).
"""

import collections
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time

from tkharness import (RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO, SMALL_SENSORS, Daemon, DaemonTestCase,
                       wait_until)

SENSOR_COUNT_REQ = 1
SENSOR_LIST_REQ = 2
SENSOR_DATA_REQ = 4

CPU_UTIL = 0xFFFF
MEM_UTIL = 0xFFFE
IO_UTIL = 0xFFFD

SLOTS_PER_DAY = 288
DAYS_PER_FILE = 7
SLOT_SECONDS = 300
DAY_SECONDS = 86400

REQUEST = struct.Struct("<B128sH")
COUNT = struct.Struct("<I")
LIST_ITEM = struct.Struct("<H20sB")
DATA_HEAD = struct.Struct("<HddII")
SLOT = struct.Struct("<BIdddd")
FILE_HEAD = struct.Struct("<H20sB")
BLOCK_HEAD = struct.Struct("<iBddII")
RECORD_TIME = struct.Struct("<II")

SLOTS_SIZE = SLOT.size * SLOTS_PER_DAY
DATA_RESPONSE_SIZE = DATA_HEAD.size + SLOTS_SIZE
BLOCK_SIZE = BLOCK_HEAD.size + SLOTS_SIZE
SENSOR_FILE_SIZE = FILE_HEAD.size + DAYS_PER_FILE * BLOCK_SIZE
EMPTY_SLOT = bytes(SLOT.size)

assert REQUEST.size == 131 and LIST_ITEM.size == 23 and SLOT.size == 37
assert DATA_RESPONSE_SIZE == 10682 and BLOCK_SIZE == 10685 and SENSOR_FILE_SIZE == 74818


# ---------------------------------------------------------------------------
# Requests and responses

def date_text(t):
    """The request's date text for epoch time t in the daemon's zone (the
    tests run the daemon on UTC)."""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t))


def pack_request(kind, text=b"", sensor_num=0):
    if isinstance(text, str):
        text = text.encode()
    return REQUEST.pack(kind, text, sensor_num)


def count_request():
    return pack_request(SENSOR_COUNT_REQ)


def list_request():
    return pack_request(SENSOR_LIST_REQ)


def data_request(t, sensor_num):
    """A data request for the local date of epoch time t."""
    return pack_request(SENSOR_DATA_REQ, date_text(t), sensor_num)


Slot = collections.namedtuple("Slot", "recorded slot_time reading max min avg")
ListItem = collections.namedtuple("ListItem", "num name cls")
DataResponse = collections.namedtuple("DataResponse", "num max_value min_value max_time min_time slots raw")


def parse_slots(buf, offset=0):
    return [Slot(*SLOT.unpack_from(buf, offset + SLOT.size * s)) for s in range(SLOTS_PER_DAY)]


def parse_count(buf):
    assert len(buf) == COUNT.size, "count response of %d bytes" % len(buf)
    return COUNT.unpack(buf)[0]


def parse_list(buf):
    assert len(buf) % LIST_ITEM.size == 0, "list response of %d bytes" % len(buf)
    return [ListItem(*LIST_ITEM.unpack_from(buf, i)) for i in range(0, len(buf), LIST_ITEM.size)]


def list_item(num, name, cls):
    """The 23 bytes that the list carries for a sensor called name."""
    if isinstance(name, str):
        name = name.encode()
    return LIST_ITEM.pack(num, name[:16], cls)


def parse_data(buf):
    assert len(buf) == DATA_RESPONSE_SIZE, "data response of %d bytes" % len(buf)
    head = DATA_HEAD.unpack_from(buf, 0)
    return DataResponse(*head, parse_slots(buf, DATA_HEAD.size), bytes(buf))


# ---------------------------------------------------------------------------
# The requester

def _pending(fd):
    buf = fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
    return struct.unpack("i", buf)[0]


class Client:
    """A requester holding both FIFOs open read-write and non-blocking, so that
    neither an open nor a read nor a write can hang the test."""

    def __init__(self):
        self.req = os.open(REQUEST_FIFO, os.O_RDWR | os.O_NONBLOCK)
        self.resp = os.open(RESPONSE_FIFO, os.O_RDWR | os.O_NONBLOCK)

    def close(self):
        for fd in (self.req, self.resp):
            if fd is not None:
                os.close(fd)
        self.req = self.resp = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data, timeout=5.0):
        """Writes all of data, waiting while the request FIFO is full."""
        view = memoryview(data)
        deadline = time.monotonic() + timeout
        while view:
            try:
                n = os.write(self.req, view)
                view = view[n:]
                continue
            except BlockingIOError:
                pass
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("request FIFO stayed full")
            select.select([], [self.req], [], left)

    def try_send(self, data):
        """One write; False when the request FIFO has no room for all of it."""
        try:
            return os.write(self.req, data) == len(data)
        except BlockingIOError:
            return False

    def receive(self, size, timeout=5.0):
        """Reads until size bytes came or the time-out passed; returns what came."""
        got = bytearray()
        deadline = time.monotonic() + timeout
        while len(got) < size:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.resp], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.resp, size - len(got))
            except BlockingIOError:
                continue
            got += chunk
        return bytes(got)

    def silence(self, wait):
        """Whatever arrives on the response FIFO within wait seconds (b"" when
        nothing does)."""
        return self.receive(1 << 20, timeout=wait)

    def ask(self, request, size, timeout=5.0):
        self.send(request)
        return self.receive(size, timeout)

    def count(self, timeout=5.0):
        return parse_count(self.ask(count_request(), COUNT.size, timeout))

    def sensor_list(self, count, timeout=5.0):
        return parse_list(self.ask(list_request(), count * LIST_ITEM.size, timeout))

    def data(self, t, sensor_num, timeout=5.0):
        """The data response for the date of t, or None when none came."""
        buf = self.ask(data_request(t, sensor_num), DATA_RESPONSE_SIZE, timeout)
        if not buf:
            return None
        return parse_data(buf)

    def pending_requests(self):
        """Bytes waiting in the request FIFO, not yet read by the daemon."""
        return _pending(self.req)

    def pending_responses(self):
        return _pending(self.resp)

    def fill_responses(self):
        """Fills the response FIFO to the brim with zero bytes, as a requester
        that has stopped reading would leave it.  Returns the bytes written."""
        total = 0
        chunk = bytes(4096)
        while True:
            try:
                total += os.write(self.resp, chunk)
            except BlockingIOError:
                try:
                    total += os.write(self.resp, b"\0")
                    continue
                except BlockingIOError:
                    return total

    def discard(self, size, timeout=5.0):
        got = self.receive(size, timeout)
        if len(got) != size:
            raise AssertionError("only %d of %d bytes to discard came" % (len(got), size))


# ---------------------------------------------------------------------------
# The files on the card

Block = collections.namedtuple("Block", "day_key stats_valid day_max day_min day_max_time day_min_time slots raw")
SensorFile = collections.namedtuple("SensorFile", "num name cls blocks raw")


def parse_block(buf, offset):
    head = BLOCK_HEAD.unpack_from(buf, offset)
    raw = bytes(buf[offset:offset + BLOCK_SIZE])
    return Block(*head, parse_slots(buf, offset + BLOCK_HEAD.size), raw)


def read_sensor_file(path):
    with open(path, "rb") as f:
        buf = f.read()
    assert len(buf) == SENSOR_FILE_SIZE, "%s holds %d bytes" % (path, len(buf))
    num, name, cls = FILE_HEAD.unpack_from(buf, 0)
    blocks = [parse_block(buf, FILE_HEAD.size + d * BLOCK_SIZE) for d in range(DAYS_PER_FILE)]
    return SensorFile(num, name.split(b"\0", 1)[0].decode(errors="replace"), cls, blocks, buf)


def sensor_path(card, name):
    return os.path.join(card, RECORD_DIR, name)


def record_time_path(card):
    return os.path.join(card, RECORD_DIR, "DataTime", "RecordTime")


def read_record_time(card):
    """(RecordDay, RecordSlot), or None while the file is not there."""
    try:
        with open(record_time_path(card), "rb") as f:
            buf = f.read()
    except FileNotFoundError:
        return None
    if len(buf) != RECORD_TIME.size:
        return None
    return RECORD_TIME.unpack(buf)


def block_of(sensor_file, day_key):
    """The first block holding day_key, as the daemon finds it, or None."""
    for block in sensor_file.blocks:
        if block.day_key == day_key:
            return block
    return None


def day_key_of(t):
    """Day key (local midnight, UTC here) of epoch time t."""
    return t - t % DAY_SECONDS


def window_end(day_key, now):
    """End of the history window of a request for day_key answered at now:
    the whole day once it is over, else the start of now's five minutes."""
    if now - day_key > DAY_SECONDS:
        return day_key + DAY_SECONDS - 1
    return now // SLOT_SECONDS * SLOT_SECONDS


def expected_response(sensor_file, day_key, end):
    """The data response that the stored file must give for day_key with the
    window ending at end, or None when the day is not held.  Slots whose start
    lies before end are reported with their stored bytes; the window's greatest
    and least values come from those slots, unless the day's stored extremes
    were seen no later than end."""
    block = block_of(sensor_file, day_key)
    if block is None:
        return None
    slots = [EMPTY_SLOT] * SLOTS_PER_DAY
    max_value = min_value = 0.0
    max_time = min_time = 0
    first = True
    t = day_key
    for _ in range(SLOTS_PER_DAY):
        if t >= end:
            break
        found = [s for s, slot in enumerate(block.slots) if slot.slot_time == t]
        if found:
            s = found[0]
            slot = block.slots[s]
            slots[s] = SLOT.pack(*slot)
            if first:
                max_value, min_value, max_time, min_time = slot.max, slot.min, t, t
                first = False
            else:
                if max_value < slot.max:
                    max_value, max_time = slot.max, t
                if min_value > slot.min:
                    min_value, min_time = slot.min, t
        t += SLOT_SECONDS
    if end >= _signed(block.day_max_time):
        max_value, max_time = block.day_max, block.day_max_time
    if end >= _signed(block.day_min_time):
        min_value, min_time = block.day_min, block.day_min_time
    head = DATA_HEAD.pack(sensor_file.num, max_value, min_value, max_time, min_time)
    return head + b"".join(slots)


def _signed(u32):
    return u32 - (1 << 32) if u32 >= 1 << 31 else u32


def stamped_slots(day_key):
    """The slots of a freshly prepared block: nothing recorded, each slot
    carrying its own start."""
    return [Slot(0, day_key + SLOT_SECONDS * s, 0.0, 0.0, 0.0, 0.0) for s in range(SLOTS_PER_DAY)]


# ---------------------------------------------------------------------------
# Test cases that talk to a running daemon


def _forget_faketime_memory(pid):
    # libfaketime keeps a shared memory segment and a semaphore per process
    # tree and removes them at a clean exit; a daemon that was killed leaves
    # them behind, and a later process that gets the same pid would fail.
    for name in ("faketime_shm_%d" % pid, "sem.faketime_sem_%d" % pid):
        try:
            os.unlink(os.path.join("/dev/shm", name))
        except FileNotFoundError:
            pass


class ServiceTestCase(DaemonTestCase):
    """Runs the daemon on UTC with a clock of the test's choosing, and closes
    the test's requesters and stops its daemons afterwards."""

    def setUp(self):
        super().setUp()
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        for d in self.daemons:
            if d.alive():
                d.signal(signal.SIGTERM)
                try:
                    d.wait(5)
                except subprocess.TimeoutExpired:
                    pass
            if d.proc is not None and d.alive():
                d.stop()
                _forget_faketime_memory(d.proc.pid)
        super().tearDown()

    def start_daemon(self, clock=None, clock_file=None, sensors=SMALL_SENSORS, sensor_doc=None, card=None,
                     workdir=None, ready=True):
        """Starts a daemon; with ready, waits until its store is initialised
        and its first turn has run."""
        env = {"TZ": "UTC0"}
        if clock_file is not None:
            env.update(clock_file.env())
        workdir = workdir or self.workdir
        os.makedirs(workdir, exist_ok=True)
        d = Daemon(workdir, card=card, sensors=sensors, sensor_doc=sensor_doc,
                   faketime=clock.faketime() if clock is not None else None, env=env)
        self.daemons.append(d)
        if clock is not None:
            clock.started()
        d.start()
        if ready:
            self.assertTrue(d.wait_logged("RecordDir Path", 20), "the store was not initialised")
            self.assertTrue(wait_until(lambda: (read_record_time(d.card) or (0, 0))[1] != 0, 20),
                            "the store's first turn did not come")
        else:
            self.assertTrue(d.wait_fifos(10), "the FIFOs were not made")
        return d

    def client(self):
        c = Client()
        self.clients.append(c)
        return c

    def wait_record_time(self, card, predicate, timeout=20, what="record time"):
        """Waits until predicate(RecordDay, RecordSlot) holds."""
        ok = wait_until(lambda: (lambda rt: rt is not None and predicate(*rt))(read_record_time(card)), timeout)
        self.assertTrue(ok, "%s never came: %r" % (what, read_record_time(card)))

    def stop_daemon(self, d, timeout=10):
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout), 0)
