"""Start-up and the ways out of the real daemon beside another user, whose plants at the fixed paths are moved aside
and kept; signals, a pulled card, a store file cut short and a log reader gone end it, or not, as designed."""

import os, re, shutil, signal, stat, subprocess, unittest

import tkharness as H
from tkharness import PID_FILE, REQUEST_FIFO, RESPONSE_FIFO

FAST, T0 = "@2026-12-04 10:00:00 x20", H.epoch_utc("2026-12-04 10:00:00")
FIXED = (REQUEST_FIFO, RESPONSE_FIFO, PID_FILE)
COUNTED = H.COUNT.pack(6)  # three sensors and the utilisation figures
CARD_LOST = r"M 178 \[Trendkeep\.cpp\]\[\d+\]Check TFCard mount status failed!Program will exit!"
# What another user plants at a fixed path (VICTIM: a directory of the test), and the kind of entry it is.
PLANT = {
    "fifo": (["mkfifo"], stat.S_IFIFO),
    "file": (["sh", "-c", 'echo planted > "$0"'], stat.S_IFREG),
    "link": (["ln", "-s", "VICTIM/small"], stat.S_IFLNK),  # to a file of the test's
    "dir": (["sh", "-c", 'mkdir "$0" && echo planted > "$0/x"'], stat.S_IFDIR),
}


def serving(stop):
    """Asks for data and lists three times, then stops the daemon (a signal, or an action) with a request unread."""

    def do(d):
        request, size = H.data_request(T0, 1) + H.LIST_REQUEST, H.DATA_RESPONSE_SIZE + 6 * H.LIST_ITEM.size
        with H.Client() as c:
            for _ in range(3):
                assert len(c.ask(request, size, 10)) == size, "no answer before the stop"
            c.send(request)
            if isinstance(stop, int):
                d.proc.send_signal(stop)
            else:
                stop(d)

    return do


def cut(d):
    """A sensor data file cut short under the daemon's mapping; a data request reads every sensor data file."""
    os.truncate(H.sensor_path(d.card, "CPU0_Temp"), 0)
    with H.Client() as c:
        c.send(H.data_request(T0, 1))


def pull_card(d):
    os.rename(d.card, d.card + ".pulled")


# A run: its name; the plants at the request FIFO, response FIFO and pid file; what ends it once it answers; its exit
# status; the lines its log holds once.  The interrupted one finds the card's day-time directory planted as a link.
STARTED = r"M 182 \[Trendkeep\]\[\d+\]Trendkeep Program started!"
RUNS = [
    ("stop signal while serving", ("fifo", "file", "link"), serving(signal.SIGTERM), 0, [STARTED]),
    ("interrupt", ("dir", "dir", "dir"), serving(signal.SIGINT), 0, []),
    ("card pulled while serving", ("link", "link", None), serving(pull_card), 1, [CARD_LOST]),
    ("a sensor data file cut short", (None, "fifo", None), cut, 1, [CARD_LOST]),
]


class Lifecycle(H.DaemonTestCase):
    def test_ways_out_beside_another_user(self):
        for n, (name, planted, end, status, lines) in enumerate(RUNS):
            with self.subTest(name):
                work = os.path.join(self.workdir, str(n))
                victim = os.path.join(work, "victim")
                os.makedirs(victim)
                H.replace_file(os.path.join(victim, "small"), "victim!")
                before = H.tree_digest(victim)
                H.remove_fixed_paths()
                for path, kind in zip(FIXED, planted):
                    if kind:
                        H.as_nobody(*[arg.replace("VICTIM", victim) for arg in PLANT[kind][0]], path)
                H.replace_file(os.path.join(work, "clock"), FAST)
                d = self.daemon(work, clock_file=os.path.join(work, "clock"))
                time_dir = os.path.join(d.card, H.RECORD_DIR, "DataTime")
                if name == "interrupt":
                    os.makedirs(os.path.dirname(time_dir))
                    os.symlink(victim, time_dir)
                d.start()
                self.assertEqual(H.wait_until(H.read_pid_file, 5), d.proc.pid)
                self.assertTrue(d.wait_logged("RecordDir Path", 10))
                with H.Client() as c:
                    self.assertEqual(c.ask(H.COUNT_REQUEST, 4, 10), COUNTED)
                # Its own FIFOs and pid file in place; what stood there moved aside, its owner's still, whole.
                for path, kind in zip(FIXED, planted):
                    st = os.lstat(path)
                    own = stat.S_IFREG if path == PID_FILE else stat.S_IFIFO
                    self.assertEqual((stat.S_IFMT(st.st_mode), st.st_uid), (own, os.geteuid()), path)
                    moved = [(stat.S_IFMT(os.lstat(entry).st_mode), os.lstat(entry).st_uid) for entry in H.aside(path)]
                    self.assertEqual(moved, [(PLANT[kind][1], 65534)] if kind else [], path)
                    if kind == "dir":
                        self.assertEqual(H.pathlib.Path(H.aside(path)[0], "x").read_text(), "planted\n")
                st = os.lstat(time_dir)  # the card's day-time directory, the daemon's own
                self.assertEqual((stat.S_IFMT(st.st_mode), st.st_uid), (stat.S_IFDIR, os.geteuid()))
                end(d)
                self.assertEqual(d.wait(20), status)
                log = d.log_lines()
                for pattern in lines:
                    self.assertEqual(len([line for line in log if re.fullmatch(pattern, line)]), 1, log)
                if status == 0:
                    self.assertEqual([line for line in log if line.startswith("D 130")], [])
                self.assertEqual([os.path.lexists(path) for path in (REQUEST_FIFO, RESPONSE_FIFO)], [False, False])
                self.assertEqual(H.tree_digest(victim), before)

    def test_detaches_and_outlives_its_log_reader(self):
        """Unless told to stay in the foreground, it leaves its starter at once with status 0 and runs on in a session
        of its own, not as its leader (no terminal can become its own), in /.  Its log lines go to standard error, kept
        open: a pipe whose reader has gone, so each write fails; none ends it, a stop signal does."""
        read_end, write_end = os.pipe()
        os.close(read_end)
        env = {"TRENDKEEP_FOREGROUND": "0", "TRENDKEEP_LOG": "-"}
        d = self.daemon(faketime=FAST, env=env).start(stderr=write_end)
        os.close(write_end)
        self.assertEqual(d.wait(10), 0)
        pid = H.wait_until(H.read_pid_file, 10)
        self.addCleanup(subprocess.run, ["kill", "-9", str(pid)], capture_output=True)
        self.assertTrue(H.wait_until(lambda: os.path.exists(RESPONSE_FIFO), 10))
        with H.Client() as c:
            self.assertEqual(c.ask(H.COUNT_REQUEST, 4, 10), COUNTED)
            c.send(H.data_request(T0, 99))  # not stored: a failure line
            self.assertEqual(c.ask(H.COUNT_REQUEST, 4, 10), COUNTED)
        detached = (pid != d.proc.pid, os.getsid(pid) not in (pid, os.getsid(0)), os.readlink("/proc/%d/cwd" % pid))
        os.kill(pid, signal.SIGTERM)
        self.assertEqual(detached, (True, True, "/"))
        self.assertTrue(H.wait_until(lambda: not os.path.exists(REQUEST_FIFO), 20), "still running after SIGTERM")

    @unittest.skipUnless(shutil.which("nm"), "binutils' nm is not installed")
    def test_exports_what_the_platform_libraries_expect(self):
        out = subprocess.run(["nm", "-D", "--defined-only", "-S", H.DAEMON], capture_output=True, text=True).stdout
        symbols = {fields[-1]: fields[1:-1] for fields in map(str.split, out.splitlines())}
        size, kind = symbols["g_corefeatures"]
        self.assertEqual((int(size, 16), kind), (1196, "B"))  # zero-initialised
        self.assertEqual(symbols["ZelvarCommandToBuff"][-1], "T")  # a function
