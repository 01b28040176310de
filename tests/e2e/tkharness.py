"""Runs the real daemon and its tools on the host platform, speaks its FIFO protocol and reads its card; the records
are the packed little-endian structs below."""

import calendar, collections, contextlib, glob, json, os, pathlib, select, shlex, shutil, signal, struct
import subprocess, tempfile, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BIN_DIR = os.environ.get("TK_BIN_DIR", os.path.join(HERE, "..", "..", "build", "bin"))
DAEMON, QUERY, CARD = (os.path.join(BIN_DIR, name) for name in ("Trendkeep", "trendkeep-query", "trendkeep-card"))
DAEMON_WRAPPER = shlex.split(os.environ.get("TK_DAEMON_WRAPPER", ""))  # e.g. "qemu-arm -L /" for an armhf daemon
REQUEST_FIFO, RESPONSE_FIFO = "/var/tmp/pipe_restful_to_cups", "/var/tmp/pipe_cups_to_restful"
PID_FILE, RECORD_DIR = "/var/tmp/Trendkeep", "DataRecord/SensorHistory"
SENSOR_COUNT_REQ, SENSOR_LIST_REQ, SENSOR_DATA_REQ = 1, 2, 4
UTILISATION = [(0xFFFF, "CPU_Utilization"), (0xFFFE, "MEM_Utilization"), (0xFFFD, "IO_Utilization")]
SLOTS_PER_DAY, SLOT_SECONDS = 288, 300
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# The records: a request, a count answer, a list item (also a sensor data file's header), a data answer's head, a
# slot, a day block's head and the record time file.
REQUEST, COUNT, LIST_ITEM, DATA_HEAD = (struct.Struct(f) for f in ("<B128sH", "<I", "<H20sB", "<HddII"))
SLOT, BLOCK_HEAD, RECORD_TIME = (struct.Struct(f) for f in ("<BIdddd", "<iBddII", "<II"))
FILE_HEAD = LIST_ITEM
DATA_RESPONSE_SIZE, BLOCK_SIZE = DATA_HEAD.size + SLOTS_PER_DAY * SLOT.size, BLOCK_HEAD.size + SLOTS_PER_DAY * SLOT.size
SENSOR_FILE_SIZE = FILE_HEAD.size + 7 * BLOCK_SIZE
SMALL_SENSORS = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": 45.5},
    {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": 5400},
    {"num": 3, "name": "PSU_In_Power", "devid": 0x8001, "reading": 320.0},
]
Slot = collections.namedtuple("Slot", "recorded slot_time reading max min avg")
Block = collections.namedtuple("Block", "day_key stats_valid day_max day_min day_max_time day_min_time slots raw")
SensorFile = collections.namedtuple("SensorFile", "num name cls blocks raw")


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it holds or timeout seconds passed; its last value."""
    deadline = time.monotonic() + timeout
    value = predicate()
    while not value and time.monotonic() < deadline:
        time.sleep(interval)
        value = predicate()
    return value


def epoch_utc(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%d %H:%M:%S"))


def utc_text(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


def as_nobody(*argv):
    subprocess.run(AS_NOBODY + list(argv), check=True)


def run_tool(tool, *args, env=None, timeout=60):
    """Runs a program, one of the build's through the daemon's wrapper (an armhf build's under qemu-arm)."""
    env = dict(os.environ, **(env or {}))
    opts = {"capture_output": True, "text": True, "errors": "replace", "stdin": subprocess.DEVNULL}
    wrapper = DAEMON_WRAPPER if os.path.dirname(tool) == BIN_DIR else []
    return subprocess.run([*wrapper, tool, *map(str, args)], env=env, timeout=timeout, **opts)


def tree_digest(root):
    """Names, kinds and bytes of everything under root, to compare."""
    found = []
    for top, dirs, files in os.walk(root):
        for path in (os.path.join(top, name) for name in dirs + files):
            if os.path.islink(path) or os.path.isdir(path):
                found.append((path, os.path.islink(path) and os.readlink(path)))
            else:
                found.append((path, pathlib.Path(path).read_bytes()))
    return hash(tuple(sorted(found)))


def read_pid_file():
    """The pid in the pid file; None while something else (a FIFO another user planted, say) stands there."""
    with contextlib.suppress(OSError, ValueError):
        with open(os.open(PID_FILE, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)) as f:
            return int(f.read())
    return None


def aside(path):
    """What the daemon moved aside from path: entries named "<path>.XXXXXX"."""
    return sorted(glob.glob(glob.escape(path) + ".??????"))


def remove_fixed_paths(*more):
    for fixed in (REQUEST_FIFO, RESPONSE_FIFO, PID_FILE, *more):
        for path in [fixed, *aside(fixed)]:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.unlink(path)


def faketime_env(rule=None, clock_file=None):
    """A libfaketime clock: rule "@2026-12-04 10:00:00 x10", or clock_file holding one ("@"-less: standing still)."""
    machine = pathlib.Path(DAEMON).read_bytes()[18:20]  # the thread-safe libfaketime built for the daemon's machine
    libs = glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1")
    libs = [lib for lib in libs if pathlib.Path(lib).read_bytes()[18:20] == machine]
    if not libs:
        raise unittest.SkipTest("libfaketime is not installed")
    asan = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    env = {"LD_PRELOAD": libs[0], "FAKETIME_DONT_RESET": "1", "ASAN_OPTIONS": asan.lstrip(":")}
    if clock_file:
        env.update(FAKETIME_TIMESTAMP_FILE=clock_file, FAKETIME_NO_CACHE="1")
    else:
        env["FAKETIME"] = rule
    return env


def replace_file(path, text):
    """Replaces path at once, as a reader of libfaketime's clock file or of a sensor file needs."""
    pathlib.Path(path + ".new").write_text(text + "\n")
    os.rename(path + ".new", path)


def forget_faketime():
    """libfaketime's shared memory left by a daemon killed by SIGKILL keeps a later one of its pid from starting."""
    for path in glob.glob("/dev/shm/faketime_shm_*") + glob.glob("/dev/shm/sem.faketime_sem_*"):
        if not os.path.exists("/proc/" + path.rsplit("_", 1)[1]):
            os.unlink(path)


def pack_request(kind, text=b"", num=0):
    return REQUEST.pack(kind, text.encode() if isinstance(text, str) else text, num)


COUNT_REQUEST = pack_request(SENSOR_COUNT_REQ)
LIST_REQUEST = pack_request(SENSOR_LIST_REQ)


def data_request(t, num):
    """A data request for the UTC day of t."""
    return pack_request(SENSOR_DATA_REQ, utc_text(t).replace(" ", "T"), num)


def list_item(num, name, cls):
    return LIST_ITEM.pack(num, name.encode()[:16], cls)


def sensor_path(card, name):
    return os.path.join(card, RECORD_DIR, name)


def parse_slots(buf, at):
    return [Slot(*SLOT.unpack_from(buf, at + SLOT.size * s)) for s in range(SLOTS_PER_DAY)]


def read_sensor_file(path):
    buf = pathlib.Path(path).read_bytes()
    assert len(buf) == SENSOR_FILE_SIZE, "%s holds %d bytes" % (path, len(buf))
    num, name, cls = FILE_HEAD.unpack_from(buf)
    blocks = []
    for at in range(FILE_HEAD.size, len(buf), BLOCK_SIZE):
        head = BLOCK_HEAD.unpack_from(buf, at)
        blocks.append(Block(*head, parse_slots(buf, at + BLOCK_HEAD.size), buf[at : at + BLOCK_SIZE]))
    return SensorFile(num, name.split(b"\0")[0].decode(errors="replace"), cls, blocks, buf)


def read_record_time(card):
    """(RecordDay, RecordSlot), or None while the file is not there whole."""
    with contextlib.suppress(OSError, struct.error):
        return RECORD_TIME.unpack(pathlib.Path(card, RECORD_DIR, "DataTime", "RecordTime").read_bytes())
    return None


def card_days(card, sensor, tz="UTC0"):
    """{day key: [recorded slot]} of one sensor file as the offline reader dumps it (trendkeep-card dump --json)."""
    out = run_tool(CARD, "dump", "--json", card, sensor, env={"TZ": tz})
    assert out.returncode == 0, out.stderr
    (dumped,) = json.loads(out.stdout)["sensors"]
    return {day["day_key"]: [Slot(*map(slot.get, Slot._fields)) for slot in day["slots"]] for day in dumped["days"]}


class Client:
    """A requester holding both FIFOs open read-write and non-blocking: none of its calls can hang the test."""

    def __init__(self):
        self.req = os.open(REQUEST_FIFO, os.O_RDWR | os.O_NONBLOCK)
        self.resp = os.open(RESPONSE_FIFO, os.O_RDWR | os.O_NONBLOCK)

    def close(self):
        if self.req is not None:
            os.close(self.req)
            os.close(self.resp)
        self.req = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        assert os.write(self.req, data) == len(data), "the request FIFO is full"

    def receive(self, size, timeout=5.0):
        """What arrives until size bytes came or timeout seconds passed."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < size:
            if not select.select([self.resp], [], [], max(0, deadline - time.monotonic()))[0]:
                break
            got += os.read(self.resp, size - len(got))
        return got

    def ask(self, request, size, timeout=5.0):
        self.send(request)
        return self.receive(size, timeout)


class Daemon:
    """One run of the daemon in the foreground with its own card, log and sensor file, on UTC unless env says
    otherwise; opts: sensor_doc (the sensor file's "cpu", "mem", "io"), daemon (another build's program, for the bench).
    """

    def __init__(self, workdir, card=None, sensors=SMALL_SENSORS, faketime=None, clock_file=None, env=None, **opts):
        self.card = card or os.path.join(workdir, "card")
        self.log = os.path.join(workdir, "log")
        self.proc = None
        self.program = opts.get("daemon", DAEMON)
        os.makedirs(workdir if card else self.card, exist_ok=True)
        self.env = dict(os.environ, TRENDKEEP_CARD=self.card, TRENDKEEP_LOG=self.log, TZ="UTC0")
        self.env.update(TRENDKEEP_SENSORS=os.path.join(workdir, "sensors.json"), TRENDKEEP_FOREGROUND="1")
        if faketime or clock_file:
            self.env.update(faketime_env(faketime, clock_file))
        self.env.update(env or {})
        self.write_sensors(sensors, **opts.get("sensor_doc", {}))

    def write_sensors(self, sensors, **doc):
        """(Re)writes the sensor file, which the host libraries read afresh at every call."""
        replace_file(self.env["TRENDKEEP_SENSORS"], json.dumps(dict(doc, sensors=sensors)))

    def start(self, stderr=None, stdout=subprocess.DEVNULL):
        """Starts the daemon, its standard error that of the tests and its output discarded unless given."""
        env = dict(self.env)
        if DAEMON_WRAPPER and "LD_PRELOAD" in env:
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + env.pop("LD_PRELOAD")
        argv = DAEMON_WRAPPER + [self.program]
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        return self

    def wait(self, timeout):
        """The exit status; -N: killed by signal N."""
        return self.proc.wait(timeout=timeout)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def log_lines(self):
        return pathlib.Path(self.log).read_text(errors="replace").splitlines() if os.path.exists(self.log) else []

    def logged(self, text):
        return [line for line in self.log_lines() if text in line]

    def wait_logged(self, text, timeout):
        return wait_until(lambda: self.logged(text), timeout)

    def stop(self):
        if self.alive():
            self.proc.kill()
            self.proc.wait()


class DaemonTestCase(unittest.TestCase):
    """Gives each test a work directory, and stops its daemons and closes its requesters."""

    def setUp(self):
        self.assertTrue(os.access(DAEMON, os.X_OK), "daemon not built at %s" % DAEMON)
        self.workdir = tempfile.mkdtemp(prefix="trendkeep-e2e-")
        os.chmod(self.workdir, 0o711)  # another user may plant things on the cards inside
        remove_fixed_paths()
        forget_faketime()
        self.addCleanup(forget_faketime)
        self.addCleanup(remove_fixed_paths)
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def daemon(self, workdir=None, **kwargs):
        d = Daemon(workdir or self.workdir, **kwargs)
        self.addCleanup(d.stop)
        return d

    def wait_record_time(self, card, predicate, timeout=20):
        """Waits until predicate(RecordDay, RecordSlot) holds (asked (0, 0) while the file is not there whole)."""
        holds = wait_until(lambda: predicate(*(read_record_time(card) or (0, 0))), timeout)
        self.assertTrue(holds, "record time stayed %r" % (read_record_time(card),))

    def stop_daemon(self, d, timeout=10):
        d.proc.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout), 0)
