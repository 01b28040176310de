"""Runs the real Trendkeep daemon and its tools on the host platform, speaks its FIFO protocol and reads its card.
Records are packed and little-endian (the structs below): a data answer is its head and 288 slots, a sensor data
file a header like a list item and 7 day blocks, each a head and 288 slots."""

import calendar, collections, contextlib, fcntl, glob, json, os, pathlib, select, shlex, shutil, signal
import stat, struct, subprocess, tempfile, termios, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("TK_BIN_DIR", os.path.join(HERE, "..", "..", "build", "bin"))
DAEMON, QUERY, CARD = (os.path.join(BIN_DIR, n) for n in ("Trendkeep", "trendkeep-query", "trendkeep-card"))
DAEMON_WRAPPER = shlex.split(os.environ.get("TK_DAEMON_WRAPPER", ""))  # e.g. "qemu-arm -L /" for an armhf daemon
REQUEST_FIFO, RESPONSE_FIFO = "/var/tmp/pipe_restful_to_cups", "/var/tmp/pipe_cups_to_restful"
PID_FILE, RECORD_DIR = "/var/tmp/Trendkeep", "DataRecord/SensorHistory"
SENSOR_COUNT_REQ, SENSOR_LIST_REQ, SENSOR_DATA_REQ = 1, 2, 4
UTILISATION = [(0xFFFF, "CPU_Utilization"), (0xFFFE, "MEM_Utilization"), (0xFFFD, "IO_Utilization")]
SLOTS_PER_DAY, DAYS_PER_FILE, SLOT_SECONDS, DAY_SECONDS = 288, 7, 300, 86400
REQUEST, COUNT, LIST_ITEM, DATA_HEAD, SLOT, BLOCK_HEAD, RECORD_TIME = (
    struct.Struct(f) for f in ("<B128sH", "<I", "<H20sB", "<HddII", "<BIdddd", "<iBddII", "<II"))
FILE_HEAD, DATA_RESPONSE_SIZE, BLOCK_SIZE = LIST_ITEM, DATA_HEAD.size + 288 * SLOT.size, BLOCK_HEAD.size + 288 * SLOT.size
SENSOR_FILE_SIZE = FILE_HEAD.size + DAYS_PER_FILE * BLOCK_SIZE
assert (REQUEST.size, DATA_RESPONSE_SIZE, BLOCK_SIZE, SENSOR_FILE_SIZE) == (131, 10682, 10685, 74818)
SMALL_SENSORS = [dict(zip(("num", "name", "devid", "reading"), s)) for s in [
    (1, "CPU0_Temp", 0x3001, 45.5), (2, "FAN1", 0x5001, 5400), (3, "PSU_In_Power", 0x8001, 320.0)]]

def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it holds or timeout seconds passed; its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value

def epoch_utc(text): return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))
def utc_text(t): return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))
def as_nobody(*argv): subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *argv], check=True)

def run_tool(tool, *args, env=None, timeout=60):
    return subprocess.run([tool, *map(str, args)], capture_output=True, text=True, errors="replace",
                          env=dict(os.environ, **(env or {})), timeout=timeout, stdin=subprocess.DEVNULL)

def tree_digest(root):
    """Names, kinds and bytes of everything under root, to compare."""
    paths = (os.path.join(top, n) for top, dirs, files in os.walk(root) for n in dirs + files)
    return hash(tuple(sorted((p, os.readlink(p) if os.path.islink(p) else os.path.isdir(p) or pathlib.Path(p).read_bytes())
                             for p in paths)))

def read_pid_file():
    """The pid in the pid file; None while something else (a FIFO another user planted, say) stands there."""
    with contextlib.suppress(OSError, ValueError):
        fd = os.open(PID_FILE, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
        with os.fdopen(fd) as f:
            return int(f.read()) if stat.S_ISREG(os.fstat(fd).st_mode) else None

def aside(path):
    """What the daemon moved aside from path: entries named "<path>.XXXXXX"."""
    return sorted(glob.glob(glob.escape(path) + ".??????"))

def remove_fixed_paths(*more):
    for path in (p for fixed in (REQUEST_FIFO, RESPONSE_FIFO, PID_FILE, *more) for p in [fixed, *aside(fixed)]):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)

def faketime_library_for(binary=None):
    """The thread-safe libfaketime built for the machine of binary (the daemon by default)."""
    machine = lambda path: pathlib.Path(path).read_bytes()[18:20]  # noqa: E731
    return next((lib for lib in sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
                 if machine(lib) == machine(binary or DAEMON)), None)

def faketime_env(rule=None, clock_file=None):
    """A libfaketime clock: rule "@2026-12-04 10:00:00 x10" starts there, ten times faster; clock_file holds such a
    rule, read at every clock call, where one without "@" stands still."""
    if faketime_library_for() is None:
        raise unittest.SkipTest("libfaketime is not installed")
    asan = os.environ.get("ASAN_OPTIONS")
    return dict({"FAKETIME_TIMESTAMP_FILE": clock_file, "FAKETIME_NO_CACHE": "1"} if clock_file else {"FAKETIME": rule},
                LD_PRELOAD=faketime_library_for(), FAKETIME_DONT_RESET="1",
                ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0")

def replace_file(path, text):
    """Replaces path at once, as a reader of libfaketime's clock file or of a sensor file needs."""
    pathlib.Path(path + ".new").write_text(text + "\n")
    os.rename(path + ".new", path)

def forget_faketime():
    """libfaketime's shared memory left by a daemon killed by SIGKILL keeps a later one of its pid from starting."""
    for path in glob.glob("/dev/shm/faketime_shm_*") + glob.glob("/dev/shm/sem.faketime_sem_*"):
        if not os.path.exists("/proc/" + path.rsplit("_", 1)[1]):
            os.unlink(path)

def pack_request(kind, text=b"", num=0): return REQUEST.pack(kind, text.encode() if isinstance(text, str) else text, num)
def count_request(): return pack_request(SENSOR_COUNT_REQ)
def list_request(): return pack_request(SENSOR_LIST_REQ)
def data_request(t, num): return pack_request(SENSOR_DATA_REQ, utc_text(t).replace(" ", "T"), num)  # the daemon on UTC
def list_item(num, name, cls): return LIST_ITEM.pack(num, name.encode()[:16], cls)
def sensor_path(card, name): return os.path.join(card, RECORD_DIR, name)
def record_time_path(card): return os.path.join(card, RECORD_DIR, "DataTime", "RecordTime")
def block_of(sensor_file, day_key): return next((b for b in sensor_file.blocks if b.day_key == day_key), None)
def parse_slots(buf, at): return [Slot(*SLOT.unpack_from(buf, at + SLOT.size * s)) for s in range(SLOTS_PER_DAY)]

Slot = collections.namedtuple("Slot", "recorded slot_time reading max min avg")
Block = collections.namedtuple("Block", "day_key stats_valid day_max day_min day_max_time day_min_time slots raw")
SensorFile = collections.namedtuple("SensorFile", "num name cls blocks raw")

def read_sensor_file(path):
    buf = pathlib.Path(path).read_bytes()
    assert len(buf) == SENSOR_FILE_SIZE, "%s holds %d bytes" % (path, len(buf))
    num, name, cls = FILE_HEAD.unpack_from(buf)
    return SensorFile(num, name.split(b"\0")[0].decode(errors="replace"), cls, [
        Block(*BLOCK_HEAD.unpack_from(buf, at), parse_slots(buf, at + BLOCK_HEAD.size), buf[at:at + BLOCK_SIZE])
        for at in range(FILE_HEAD.size, len(buf), BLOCK_SIZE)], buf)

def read_record_time(card):
    """(RecordDay, RecordSlot), or None while the file is not there whole."""
    with contextlib.suppress(OSError, struct.error):
        return RECORD_TIME.unpack(pathlib.Path(record_time_path(card)).read_bytes())

def expected_response(sensor_file, day_key, end):
    """The data answer that the file must give for day_key with the window ending at end (None: the day
    is not held): each slot in its place that starts before end, as stored; the extremes of those slots,
    or the day's own once seen by end (times compare signed)."""
    block = block_of(sensor_file, day_key)
    if block is None:
        return None
    shown, ext = [x if x.slot_time == day_key + SLOT_SECONDS * s < end else None for s, x in enumerate(block.slots)], None
    for x in filter(None, shown):
        ext = ext or [x.max, x.min, x.slot_time, x.slot_time]
        ext[0::2] = [x.max, x.slot_time] if ext[0] < x.max else ext[0::2]
        ext[1::2] = [x.min, x.slot_time] if ext[1] > x.min else ext[1::2]
    ext, seen = ext or [0.0, 0.0, 0, 0], lambda u: end >= (u - (1 << 32) if u >= 1 << 31 else u)
    ext[0::2] = [block.day_max, block.day_max_time] if seen(block.day_max_time) else ext[0::2]
    ext[1::2] = [block.day_min, block.day_min_time] if seen(block.day_min_time) else ext[1::2]
    return DATA_HEAD.pack(sensor_file.num, *ext) + b"".join(SLOT.pack(*x) if x else bytes(SLOT.size) for x in shown)

class Client:
    """A requester holding both FIFOs open read-write and non-blocking: none of its calls can hang the test."""

    def __init__(self):
        self.req, self.resp = (os.open(p, os.O_RDWR | os.O_NONBLOCK) for p in (REQUEST_FIFO, RESPONSE_FIFO))

    def close(self):
        if self.req is not None:
            os.close(self.req), os.close(self.resp)
        self.req = None

    def __enter__(self): return self
    def __exit__(self, *exc): self.close()

    def send(self, data):
        assert os.write(self.req, data) == len(data), "the request FIFO is full"

    def receive(self, size, timeout=5.0):
        """What arrives until size bytes came or timeout seconds passed."""
        got, deadline = b"", time.monotonic() + timeout
        while len(got) < size and select.select([self.resp], [], [], max(0, deadline - time.monotonic()))[0]:
            got += os.read(self.resp, size - len(got))
        return got

    def ask(self, request, size, timeout=5.0):
        self.send(request)
        return self.receive(size, timeout)

    def pending(self):
        """Bytes waiting in the request FIFO."""
        return struct.unpack("i", fcntl.ioctl(self.req, termios.FIONREAD, b"\0" * 4))[0]

    def waiting(self):
        """Bytes waiting in the response FIFO."""
        return struct.unpack("i", fcntl.ioctl(self.resp, termios.FIONREAD, b"\0" * 4))[0]

class Daemon:
    """One run of the daemon, in the foreground unless detach, with its own card, log and sensor file, on UTC
    unless env says otherwise."""

    def __init__(self, workdir, card=None, sensors=SMALL_SENSORS, faketime=None, clock_file=None, env=None,
                 detach=False, sensor_doc=None):
        self.card, self.log, self.proc = card or os.path.join(workdir, "card"), os.path.join(workdir, "log"), None
        os.makedirs(workdir if card else self.card, exist_ok=True)
        self.env = dict(os.environ, TRENDKEEP_CARD=self.card, TRENDKEEP_LOG=self.log, TZ="UTC0",
                        TRENDKEEP_SENSORS=os.path.join(workdir, "sensors.json"), TRENDKEEP_FOREGROUND="0" if detach else "1")
        self.env.update(faketime_env(faketime, clock_file) if faketime or clock_file else {}, **(env or {}))
        self.write_sensors(sensors, **(sensor_doc or {}))

    def write_sensors(self, sensors, **doc):
        """(Re)writes the sensor file, which the host libraries read afresh at every call."""
        replace_file(self.env["TRENDKEEP_SENSORS"], json.dumps(dict(doc, sensors=sensors)))

    def start(self, stderr=None, stdout=subprocess.DEVNULL):
        """Starts the daemon, its standard error that of the tests and its output discarded unless given."""
        env = dict(self.env)
        if DAEMON_WRAPPER and "LD_PRELOAD" in env:
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + env.pop("LD_PRELOAD")
        self.proc = subprocess.Popen(DAEMON_WRAPPER + [DAEMON], env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=stderr)
        return self

    def wait(self, timeout): return self.proc.wait(timeout=timeout)  # the exit status; -N: killed by signal N
    def alive(self): return self.proc is not None and self.proc.poll() is None
    def signal(self, signum): self.proc.send_signal(signum)
    def log_lines(self): return (pathlib.Path(self.log).read_text(errors="replace") if os.path.exists(self.log)
                                 else "").splitlines()
    def logged(self, text): return [line for line in self.log_lines() if text in line]
    def wait_logged(self, text, timeout): return wait_until(lambda: self.logged(text), timeout)

    def stop(self):
        if self.alive():
            self.proc.kill(), self.proc.wait()

class DaemonTestCase(unittest.TestCase):
    """Gives each test a work directory, and stops its daemons and closes its requesters."""

    def setUp(self):
        self.assertTrue(os.access(DAEMON, os.X_OK), "daemon not built at %s" % DAEMON)
        self.workdir = tempfile.mkdtemp(prefix="trendkeep-e2e-")
        os.chmod(self.workdir, 0o711)  # another user may plant things on the cards inside
        remove_fixed_paths(), forget_faketime()
        for cleanup in (lambda: shutil.rmtree(self.workdir, True), remove_fixed_paths, forget_faketime):
            self.addCleanup(cleanup)

    def daemon(self, workdir=None, **kwargs):
        d = Daemon(workdir or self.workdir, **kwargs)
        self.addCleanup(d.stop)
        return d

    def wait_record_time(self, card, predicate, timeout=20):
        """Waits until predicate(RecordDay, RecordSlot) holds."""
        self.assertTrue(wait_until(lambda: (rt := read_record_time(card)) and predicate(*rt), timeout),
                        "record time stayed %r" % (read_record_time(card),))

    def stop_daemon(self, d, timeout=10):
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout), 0)
