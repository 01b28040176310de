"""Start-up and every way out of the real daemon beside attackers: another user's entries at its fixed paths in
/var/tmp; a card prepared by someone else, whose links never lead off it and whose files, unless the daemon's own,
are not taken as its own; peers that stall it; store files cut short under it."""

import collections, contextlib, os, re, shutil, signal, stat, subprocess, threading, time, unittest

import tkharness as H
from tkharness import PID_FILE, RECORD_DIR, REQUEST_FIFO, RESPONSE_FIFO

FAST, T0 = "@2026-12-04 10:00:00 x20", H.epoch_utc("2026-12-04 10:00:00")  # card watch every 1.5 s, list built in 0.5 s
CARD_LOST = r"M 178 \[Trendkeep\.cpp\]\[\d+\]Check TFCard mount status failed!Program will exit!"
PLANT = {"fifo": ["mkfifo"], "file": ["sh", "-c", 'echo planted > "$0"'], "link": ["ln", "-s", "VICTIM/small"],
         "dir": ["sh", "-c", 'mkdir "$0" && echo planted > "$0/x"']}
KIND = {"fifo": stat.S_IFIFO, "file": stat.S_IFREG, "link": stat.S_IFLNK, "dir": stat.S_IFDIR}
TIME_DIR, DIR = os.path.join(RECORD_DIR, "DataTime"), stat.S_IFDIR

# Run as another user, one per path: re-plants the path as a link to the first argument as fast as it can; with a
# third argument, moves a directory found there (a card's DataRecord, the daemon's own) out of the way first.
RACER = """import itertools, os, sys
target, path, move = sys.argv[1], sys.argv[2], len(sys.argv) > 3
for n in itertools.count():
    if move:
        try:
            os.rename(path, path + ".moved%d" % n)
        except OSError:
            pass
    try:
        os.symlink(target, path)
    except OSError:
        pass
"""

def plant(rel, how, target=""):
    """What another hand leaves at rel on a card: how(the target in the victim directory, the path)."""
    def do(card, victim):
        os.makedirs(os.path.join(card, os.path.dirname(rel)), exist_ok=True)
        os.chmod(os.path.join(card, os.path.dirname(rel)), 0o777)
        how(os.path.join(victim, target), os.path.join(card, rel))
    return do

def pull(d): os.rename(d.card, d.card + ".pulled")

def while_serving(stop):
    """Asks for data and lists all the while: stops the daemon after three answers, and asks on until it is gone."""
    def do(d):
        with H.Client() as c:
            answered, deadline, size = 0, time.monotonic() + 20, H.DATA_RESPONSE_SIZE + 6 * 23
            while d.alive() and time.monotonic() < deadline:
                answered += len(c.ask(H.data_request(T0, 1) + H.list_request(), size, 0.5)) == size
                answered == 3 and (d.signal(stop) if isinstance(stop, int) else stop(d))
        assert answered >= 3, "too few answers before the stop"
    return do

def cut(path_of):
    """A store file cut short under the daemon's mapping; a data request reads every sensor data file."""
    def do(d):
        os.truncate(path_of(d.card), 0)
        with H.Client() as c:
            c.send(H.data_request(T0, 1))
    return do

def open_writer(path):
    """A write end of the FIFO at path once a reader has it open, else None."""
    try:
        return os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        return None

def hang(d):
    """The host IPMI library reads the sensor file at every session: a FIFO whose writer never writes hangs
    the next refresh inside the library.  The controller is read without the list mutex, so count requests
    are still answered, and the stop is not held up."""
    os.unlink(d.env["TRENDKEEP_SENSORS"])
    os.mkfifo(d.env["TRENDKEEP_SENSORS"])
    d.hung_writer = H.wait_until(lambda: open_writer(d.env["TRENDKEEP_SENSORS"]), 20)
    assert d.hung_writer is not None, "the refresh never hung"
    with H.Client() as c:
        assert c.ask(H.count_request(), 4, 5) == H.COUNT.pack(6), "a count request waited for the controller"
    return signal.SIGTERM

def trickle(d):
    """A zero byte every 0.9 s: the record begun by the first (and its second, at 0.9 s) is dropped a
    second after it began, so a request written before the third is read whole."""
    H.replace_file(d.env["FAKETIME_TIMESTAMP_FILE"], "@2026-12-04 10:02:00 x1")  # from here, real time
    fd, first = os.open(REQUEST_FIFO, os.O_WRONLY | os.O_NONBLOCK), time.monotonic() + 0.5

    def bytes_until_the_daemon_is_gone():
        with contextlib.suppress(OSError):
            for n in range(5):
                time.sleep(max(0, first + 0.9 * n - time.monotonic()))
                os.write(fd, b"\0")
    threading.Thread(target=bytes_until_the_daemon_is_gone).start()
    time.sleep(first + 1.4 - time.monotonic())
    with H.Client() as c:
        assert c.ask(H.count_request(), 4, 1.0) == H.COUNT.pack(6), "a trickle held up a request"
    return signal.SIGTERM

# A run: what stands at the request FIFO, response FIFO and pid file paths, and on the card; what ends it once the
# store answers (a signal, or an action that may end in one); the exit status and the seconds it may take;
# deregistered; the FIFOs left; lines logged once; the card entry then the daemon's own (path, kind, size).
Run = collections.namedtuple("Run", "name opts fixed card end status seconds deregistered fifos_left lines entry",
                             defaults=({}, (None,) * 3, None, signal.SIGTERM, 0, 5, True, False, (), None))
RUNS = [
    Run("stop signal while serving", fixed=("fifo", "file", "link"), end=while_serving(signal.SIGTERM), seconds=30,
        lines=[r"M 182 \[Trendkeep\]\[\d+\]Trendkeep Program started!"]),
    Run("interrupt", fixed=("dir", "dir", "dir"), end=signal.SIGINT),
    Run("daemonizing fails", {"env": {"TRENDKEEP_DAEMON_INIT": "fail"}}, ("file", "link", "fifo"),
        lines=[r"M 178 \[Trendkeep\.cpp\]\[\d+\]Error Daemonizing !!!"]),
    Run("no card", {"card": "/nonexistent"}, ("file", "fifo", None), end=None, status=2, deregistered=False,
        lines=[r"D 130 \[Trendkeep\.cpp:(\d+)\]\[StoreTrendkeep\]\[Init\]\[\1\]Check mount path faied!"]),
    Run("card pulled while serving", end=while_serving(pull), status=1, seconds=30, lines=[CARD_LOST]),
    Run("registration refused", {"env": {"TRENDKEEP_PROCMON": "refuse"}}, end=pull, status=1,
        lines=[CARD_LOST, r"D 130 \[Trendkeep\.cpp:\d+\]Process Monitor Register Trendkeep fails"]),
    Run("a sensor data file cut short", end=cut(lambda card: H.sensor_path(card, "CPU0_Temp")), status=1, seconds=10,
        lines=[CARD_LOST]),
    Run("the record time file cut short", end=cut(H.record_time_path), status=1, seconds=10, lines=[CARD_LOST]),
    Run("stop, the controller hung", end=hang, seconds=3), Run("stop, a requester trickling", end=trickle, seconds=3),
    # A card's directory planted as a link (the store's own table has every other plant).
    Run("day-time directory links out", card=plant(TIME_DIR, os.symlink), entry=(TIME_DIR, DIR, None)),
]

class Lifecycle(H.DaemonTestCase):
    def moved_aside(self, path):
        """(kind, owner) of what the daemon moved aside from path; a directory keeps its file."""
        found = []
        for entry in H.aside(path):
            st = os.lstat(entry)
            found.append((stat.S_IFMT(st.st_mode), st.st_uid))
            if stat.S_ISDIR(st.st_mode):
                self.assertEqual(H.pathlib.Path(entry, "x").read_text(), "planted\n")
        return found

    def test_every_way_out_beside_attackers(self):
        for n, run in enumerate(RUNS):
            # qemu-user ends the emulated daemon on this bus error ("uncaught target signal 7") instead of
            # handing it to the daemon's handler, as the ARM kernel does; the native run covers it.
            if H.DAEMON_WRAPPER and run.name == "the record time file cut short":
                continue
            with self.subTest(run.name):
                work = os.path.join(self.workdir, str(n))
                victim, card, clock = (os.path.join(work, name) for name in ("victim", "card", "clock"))
                os.makedirs(victim), os.makedirs(card)
                H.replace_file(os.path.join(victim, "big"), "x" * (H.SENSOR_FILE_SIZE - 1))  # the sizes of the
                H.replace_file(os.path.join(victim, "small"), "victim!")  # store's own files
                before = H.tree_digest(victim)
                H.remove_fixed_paths()
                for path, kind in zip((REQUEST_FIFO, RESPONSE_FIFO, PID_FILE), run.fixed):
                    if kind:
                        H.as_nobody(*[a.replace("VICTIM", victim) for a in PLANT[kind]], path)
                if run.card:
                    run.card(card, victim)
                H.replace_file(clock, FAST)
                d = self.daemon(work, **dict({"card": card, "clock_file": clock}, **run.opts)).start()
                self.assertEqual(H.wait_until(H.read_pid_file, 5), d.proc.pid)
                ended = time.monotonic()
                if run.end is not None:
                    self.assertTrue(d.wait_logged("RecordDir Path", 10))  # (a planted record time file is no sign)
                    with H.Client() as c:
                        self.assertEqual(c.ask(H.count_request(), 4, 10), H.COUNT.pack(6))
                    for path, kind in zip((REQUEST_FIFO, RESPONSE_FIFO, PID_FILE), run.fixed):
                        st = os.lstat(path)
                        self.assertEqual((stat.S_IFMT(st.st_mode), st.st_uid),
                                         (stat.S_IFREG if path == PID_FILE else stat.S_IFIFO, os.geteuid()), path)
                        self.assertEqual(self.moved_aside(path), [(KIND[kind], 65534)] if kind else [], path)
                    end = run.end if isinstance(run.end, int) else run.end(d)
                    ended = time.monotonic()
                    end and d.signal(end)
                self.assertEqual((d.wait(20), time.monotonic() - ended < run.seconds), (run.status, True))
                log = d.log_lines()
                self.assertEqual((len(d.logged("P register /usr/local/bin/Trendkeep ZelvarTrendkeep")),
                                  len(d.logged("P deregister /usr/local/bin/Trendkeep")), H.tree_digest(victim),
                                  [os.path.lexists(p) for p in (REQUEST_FIFO, RESPONSE_FIFO)]),
                                 (int(run.status != 2 and run.name != "registration refused"), int(run.deregistered),
                                  before, [run.fifos_left] * 2))
                self.assertEqual([len([line for line in log if re.fullmatch(p, line)]) for p in run.lines],
                                 [1] * len(run.lines), log)
                self.assertFalse(run.status == 0 and [line for line in log if line.startswith("D 130")])
                fifos_planted = 0 if run.status == 2 else len([kind for kind in run.fixed[:2] if kind])
                self.assertEqual((len(d.logged("]Moved what stood at /var/tmp/pipe_")),
                                  len(d.logged("P pid file: moved what stood at " + PID_FILE))),
                                 (fifos_planted, int(run.fixed[2] is not None)))
                if run.entry:
                    st = os.lstat(os.path.join(card, run.entry[0]))
                    self.assertEqual((stat.S_IFMT(st.st_mode), st.st_uid, run.entry[2] or st.st_size),
                                     (run.entry[1], os.geteuid(), st.st_size))

    def test_racers_during_start(self):
        """Another user re-planting links and directories all through a start: at the fixed paths in /var/tmp, where
        every start must still put its own FIFOs and pid file; and as the card's DataRecord, a link off a card open
        to everyone, where no directory may ever be made off the card (a start may fail: the card is theirs)."""
        elsewhere = os.path.join(self.workdir, "elsewhere")
        os.makedirs(elsewhere, mode=0o777)
        os.chmod(elsewhere, 0o777)
        card = os.path.join(self.workdir, "card")
        os.makedirs(card)
        os.chmod(card, 0o777)
        # (what, paths re-planted, moving directories away, starts, every start must serve)
        attackers = [("fixed paths", [REQUEST_FIFO, RESPONSE_FIFO, PID_FILE], [], 20, True),
                     ("DataRecord", [os.path.join(card, "DataRecord")], ["move"], 5, False)]
        for what, paths, move, starts, must_serve in attackers:
            with self.subTest(what), contextlib.ExitStack() as racers:
                for path in paths:
                    racer = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                              "python3", "-c", RACER, elsewhere, path, *move])
                    racers.callback(racer.wait)
                    racers.callback(racer.kill)
                served = 0
                for n in range(starts):
                    H.replace_file(os.path.join(self.workdir, "clock"), FAST)
                    d = self.daemon(card=card, clock_file=os.path.join(self.workdir, "clock")).start()
                    answered = H.wait_until(lambda: not d.alive() or self.count_answered(), 10)
                    if must_serve:
                        self.assertTrue(d.alive() and answered, "start %d" % n)
                        self.assertEqual(H.read_pid_file(), d.proc.pid)
                        for path in (REQUEST_FIFO, RESPONSE_FIFO):
                            st = os.lstat(path)
                            self.assertEqual((stat.S_IFMT(st.st_mode), st.st_uid), (stat.S_IFIFO, 0), path)
                    served += d.alive()
                    d.signal(signal.SIGTERM)
                    self.assertIn(d.wait(20), (0, 1))
                self.assertEqual(os.listdir(elsewhere), [])
                print("%s: %d of %d starts served beside the racer" % (what, served, starts))

    @staticmethod
    def count_answered():
        with contextlib.suppress(OSError), H.Client() as c:
            return c.ask(H.count_request(), 4, 1) == H.COUNT.pack(6)

    def test_detaches_as_a_daemon(self):
        d = self.daemon(detach=True).start()
        self.assertEqual(d.wait(10), 0)  # the starting process leaves at once
        pid = H.wait_until(H.read_pid_file, 5)
        self.assertNotIn(pid, (None, d.proc.pid))
        self.assertTrue(d.wait_logged("P register", 5) and os.path.exists("/proc/%d" % pid))
        # In a session it does not lead, in /, its standard descriptors on /dev/null.
        sid = int(H.pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[3])
        null = os.stat("/dev/null").st_rdev
        self.assertEqual((sid not in (os.getsid(0), pid), os.readlink("/proc/%d/cwd" % pid),
                          [os.stat("/proc/%d/fd/%d" % (pid, fd)).st_rdev for fd in range(3)]), (True, "/", [null] * 3))
        os.kill(pid, signal.SIGTERM)
        self.assertTrue(H.wait_until(lambda: not os.path.exists("/proc/%d" % pid), 10))
        self.assertFalse(os.path.lexists(REQUEST_FIFO) or os.path.lexists(RESPONSE_FIFO))
        self.assertTrue(d.logged("P deregister /usr/local/bin/Trendkeep"))

    def test_a_log_reader_that_has_gone_ends_nothing(self):
        """Log lines go to standard error, a pipe whose reader has gone: each write fails, none ends the daemon."""
        read_end, write_end = os.pipe()
        os.close(read_end)
        d = self.daemon(faketime=FAST, env={"TRENDKEEP_LOG": "-"}).start(stderr=write_end)
        os.close(write_end)
        self.assertTrue(H.wait_until(lambda: os.path.exists(RESPONSE_FIFO), 10))
        with H.Client() as c:
            self.assertEqual(c.ask(H.count_request(), 4, 10), H.COUNT.pack(6))
            c.send(H.data_request(T0, 99))  # not stored: a failure line
            self.assertEqual(c.ask(H.count_request(), 4, 10), H.COUNT.pack(6))
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(20), 0)
        self.assertFalse(os.path.lexists(REQUEST_FIFO) or os.path.lexists(RESPONSE_FIFO))

    @unittest.skipUnless(shutil.which("nm"), "binutils' nm is not installed")
    def test_exports_what_the_platform_libraries_expect(self):
        out = subprocess.run(["nm", "-D", "--defined-only", "-S", H.DAEMON], capture_output=True, text=True).stdout
        symbols = {fields[-1]: fields[1:-1] for fields in map(str.split, out.splitlines())}
        self.assertEqual([(int(symbols["g_corefeatures"][0], 16), symbols["g_corefeatures"][1]),
                          symbols["ZelvarCommandToBuff"][-1]], [(1196, "B"), "T"])  # zero-initialised, a function

if __name__ == "__main__":
    unittest.main()
