"""The real daemon against a real IPMI peer: OpenIPMI's ipmi_sim on loopback (scripts/ipmisim.py writes its SDRs).
The list comes from the SDR repository, the readings follow raw values set through its console, converted by each
record's formula; a controller gone and back; logins refused and settings rejected; real servers' repositories; a
slow controller behind a delaying proxy, a lossy link behind a dropping one.  The daemon's clock runs 120 times
faster (libfaketime), not frozen: FreeIPMI's time-outs count on it; with the slow controller it runs at the real
pace, as a slow network's delays are real."""

import math, os, subprocess, sys, time, unittest

import tkharness as H
from tkharness import COUNT, count_request, list_request

sys.path.insert(0, os.path.join(H.HERE, "..", "..", "scripts"))
from delayproxy import DelayProxy  # noqa: E402
import ipmisim as S  # noqa: E402

CLOCK = "@2026-12-04 10:00:30 x120"
LOSSY_CLOCK = "@2026-12-04 10:00:30 x30"
DAY = H.epoch_utc("2026-12-04 00:00:00")
T = S.Sensor
SENSORS = [T(1, "CPU0_Temp", S.TEMP, S.DEG_C, raw=45), T(2, "P12V", S.VOLT, S.VOLTS, m=6, rexp=-2, raw=200, sixbit=True),
           T(17, "FAN1_Speed", S.FAN, S.RPM, m=60, raw=120), T(18, "Inlet_Temp", S.TEMP, S.DEG_C, raw=22),
           T(33, "PSU1_In_Power", S.OTHER, S.WATTS, m=25, b=-3, bexp=2, rexp=-1, raw=100),
           T(34, "P12V_Current", S.CURR, S.AMPS, m=-5, b=300, rexp=-2, raw=10),
           T(40, "Unread_Temp", S.TEMP, S.DEG_C, raw=30, scan=False), T(41, "CPU0_Status", S.PROCESSOR, kind="discrete"),
           T(42, "DIMM_Presence", 0x0C, kind="compact"), T(43, "PSU_Redundancy", S.POWER_SUPPLY, kind="event")]
# Classes from the SDR's sensor type or unit, but sensor 18's device id comes from the sensor file (a fan's).  Sensor
# 40, its scanning disabled, is listed all the same and never recorded.
LISTED = [(1, 0), (2, 1), (17, 1), (18, 1), (33, 2), (34, 2), (40, 0)]
BY_NUM = {s.num: s for s in SENSORS}
LIST = b"".join(H.list_item(n, BY_NUM[n].name, cls) for n, cls in LISTED) + b"".join(
    H.list_item(n, name, 3) for n, name in H.UTILISATION)

# A controller whose every datagram is held 0.3 s on the way there and back: one Get Sensor Reading takes about
# 0.6 s, a refresh of these 150 sensors a minute and a half unless it is cut short.
SLOW_DELAY = 0.3
SLOW_SENSORS = [T(n, "Temp_%03d" % n, S.TEMP, S.DEG_C, raw=40) for n in range(1, 151)]
SLOW_COUNT = str(len(SLOW_SENSORS) + len(H.UTILISATION))
SLOW_START = "2026-12-04 10:03:40"

# Real servers' repositories, each with the controllers that are not there (reads of their sensors fail), the
# settings, the "P ipmi " lines of the whole row (None: not counted) and phases: a change made while the daemon runs
# (Sim calls, or RESTART) and then the listed sensors as (number, name, class, value), the value None where no
# refresh after the change can read it.  A sensor has one value at most in a row: a slot that ever recorded anything
# else took another sensor's reading, an old figure or a non-finite one.
RESTART = "the daemon started again"
def temp(num, name, raw, **more): return T(num, name, S.TEMP, S.DEG_C, raw=raw, **more)
def other(num, name, unit, raw, **more): return T(num, name, S.OTHER, unit, raw=raw, **more)
FIRMWARE_A = [temp(1, "CPU0", 45), temp(2, "CPU1", 49), temp(3, "Inlet", 23), T(4, "P12V", S.VOLT, S.VOLTS, raw=12)]
FIRMWARE_B = [FIRMWARE_A[1]._replace(num=1), FIRMWARE_A[0]._replace(num=2), FIRMWARE_A[3], FIRMWARE_A[2]._replace(num=5)]
HOST_OFF = [temp(1, "Host_Temp", 30, scan=False)]
REPOSITORIES = [
    ("renumbered by a second firmware: two swapped, one moved", FIRMWARE_A, (), {}, None, [
        (None, [(1, "CPU0", 0, 45.0), (2, "CPU1", 0, 49.0), (3, "Inlet", 0, 23.0), (4, "P12V", 1, 12.0)]),
        ([("restart", FIRMWARE_B)], [(1, "CPU0", 0, None), (2, "CPU1", 0, None), (3, "Inlet", 0, None), (4, "P12V", 1, 12.0)]),
        (RESTART, [(1, "CPU1", 0, 49.0), (2, "CPU0", 0, 45.0), (4, "P12V", 1, 12.0), (5, "Inlet", 0, 23.0)])]),
    ("repeated names", [temp(1, "Temp", 21), temp(2, "Temp", 22, instance=2), T(3, "Current", S.CURR, S.AMPS, raw=5),
                        T(4, "Current", S.CURR, S.AMPS, raw=6, instance=0x82), temp(5, "CPU_Core_VR_Temp", 61, instance=100),
                        temp(6, "CPU_Core_VR_Temp", 62, instance=101)], (), {}, 0, [
        (None, [(1, "Temp_1", 0, 21.0), (2, "Temp_2", 0, 22.0), (3, "Current_1", 2, 5.0), (4, "Current_2", 2, 6.0),
                (5, "CPU_Core_VR_Tem_100", 0, 61.0), (6, "CPU_Core_VR_Tem_101", 0, 62.0)])]),
    ("unavailable at start, the host off", HOST_OFF, (), {}, None, [
        (None, [(1, "Host_Temp", 0, None)]), ([("set_raw", 1, 35), ("set_scanning", 1, True)], [(1, "Host_Temp", 0, 35.0)])]),
    ("numbers across owners and LUNs, names alike as files", [
        temp(5, "CPU0_Temp", 45), T(5, "BIOS_Boot", 0x0F, kind="event", owner=S.BIOS), temp(5, "ME_Temp", 27, owner=S.ME),
        temp(5, "Riser_Temp", 33, lun=1), T(254, "PSU_Redundancy", S.POWER_SUPPLY, kind="event"),
        T(250, "DIMM_Presence", 0x0C, kind="compact", share=3), temp(7, "PSU1/Temp", 31), temp(8, "PSU1_Temp", 32)], (), {}, 0,
     [(None, [(5, "CPU0_Temp", 0, 45.0), (253, "Riser_Temp", 0, 33.0), (249, "ME_Temp", 0, 27.0),
              (7, "PSU1/Temp#7", 0, 31.0), (8, "PSU1_Temp#8", 0, 32.0)])]),
    ("units", [other(1, "Airflow", S.CFM, 77), other(2, "Fan_Duty", 0, 60, pct=True),
               other(3, "Coolant_Flow", S.LITRES, 12, rate=S.PER_MINUTE), other(4, "PSU_Load", S.WATTS, 55, pct=True),
               T(5, "FAN1_Duty", S.FAN, raw=40, pct=True), other(6, "Board_Temp", S.DEG_F, 80)], (), {}, 0, [
        (None, [(1, "Airflow", 4, 77.0), (2, "Fan_Duty", 4, 60.0), (3, "Coolant_Flow", 4, 12.0), (4, "PSU_Load", 4, 55.0),
                (5, "FAN1_Duty", 1, 40.0), (6, "Board_Temp", 0, 80.0)])]),
    ("non-finite: the logarithm of 0", [other(1, "Flow_Ln", S.CFM, 0, lin=S.LN)], (), {}, None, [
        (None, [(1, "Flow_Ln", 4, None)]), ([("set_raw", 1, 20)], [(1, "Flow_Ln", 4, math.log(20))])]),
    ("two sensors of a controller that is not there", [
        temp(1, "CPU0_Temp", 45), temp(2, "Riser1_Temp", 30, owner=0x3A), temp(3, "Riser2_Temp", 31, owner=0x3A)], (0x3A,), {},
     1, [(None, [(1, "CPU0_Temp", 0, 45.0), (254, "Riser1_Temp", 0, None), (253, "Riser2_Temp", 0, None)])]),
    ("scanning disabled, ignored by a workaround", HOST_OFF, (),
     {"TRENDKEEP_IPMI_WORKAROUNDS": "opensesspriv,ignorescanningdisabled"}, 0, [(None, [(1, "Host_Temp", 0, 30.0)])])]
# A lossy link: 5% of the datagrams dropped either way, with 60 sensors behind it.
LOSSY_SENSORS = [T(n, "Temp_%02d" % n, S.TEMP, S.DEG_C, raw=40 + n) for n in range(1, 61)]

def slot_of(value):
    """(recorded, reading, max, min, avg) of a slot whose every refresh read value; None: read by none."""
    return (0, 0.0, 0.0, 0.0, 0.0) if value is None else (1,) + (value,) * 4

class Ipmi(H.DaemonTestCase):
    def sim(self, sensors=SENSORS):
        sim = S.Sim(os.path.join(self.workdir, "sim"), sensors).start()
        self.addCleanup(sim.stop)
        return sim

    def day_block(self, d, name): return H.block_of(H.read_sensor_file(H.sensor_path(d.card, name.replace("/", "_"))), DAY)

    def recorded(self, d, names, slot):
        """(recorded, reading, max, min, avg) of the slot of each sensor named."""
        slots = {name: self.day_block(d, name).slots[(slot - DAY) // 300] for name in names}
        return {name: (x.recorded, x.reading, x.max, x.min, x.avg) for name, x in slots.items()}

    def two_slots_later(self, d):
        """Waits for two recordings from now on; the slot of the second holds only refreshes made after now."""
        self.wait_record_time(d.card, lambda day, slot: slot > 0)  # none yet: counted from the first
        first = H.read_record_time(d.card)[1]
        self.wait_record_time(d.card, lambda day, slot: slot >= first + 600, 30)
        return first + 600

    def test_list_readings_and_a_controller_gone_and_back(self):
        sim = self.sim()
        d = self.daemon(faketime=CLOCK, env=sim.env(), sensor_doc={"cpu": 37, "mem": 50, "io": 4},
                        sensors=[dict(num=18, name="file", reading=0, devid=0x5001)]).start()
        self.assertTrue(d.wait_logged("RecordDir Path", 10))
        c = H.Client()
        self.addCleanup(c.close)
        self.assertEqual(H.wait_until(lambda: c.ask(count_request(), 4, 1), 20), COUNT.pack(len(LISTED) + 3))
        self.assertEqual(c.ask(list_request(), len(LIST)), LIST)
        rounds = [("raw values set", {1: 61, 2: 190, 17: 95, 18: 25, 33: 140, 34: 30}, True),
                  ("controller stopped", {}, False), ("controller back", {1: 70, 33: 255, 34: 0}, True)]
        raws, slots = {}, []
        for name, raw, answering in rounds:
            with self.subTest(name):
                if answering and sim.proc is None:
                    sim.start()  # with the raw values of the SDRs again
                    raws = {}
                elif not answering:
                    sim.stop()
                for num, r in raw.items():
                    sim.set_raw(num, r)
                raws = {**{s.num: s.raw for s in SENSORS}, **raws, **raw}
                slot = self.two_slots_later(d)
                slots.append(slot)
                got = self.recorded(d, [BY_NUM[n].name for n, _ in LISTED] + ["IO_Utilization"], slot)
                self.assertEqual(got.pop("IO_Utilization"), (1, 4.0, 4.0, 4.0, 4.0))
                read = {n: S.value(BY_NUM[n], raws[n]) for n, _ in LISTED if answering and BY_NUM[n].scan}
                self.assertEqual(got, {BY_NUM[n].name: slot_of(read.get(n)) for n, _ in LISTED})
                self.assertTrue(d.alive())
        # As the web server gets it: the first round's converted reading in its slot of the data answer.
        x = H.parse_slots(c.ask(H.data_request(DAY, 33), H.DATA_RESPONSE_SIZE), H.DATA_HEAD.size)[(slots[0] - DAY) // 300]
        self.assertEqual((x.recorded, x.reading), (1, S.value(BY_NUM[33], 140)))
        # The outage was logged once by the library, and by the daemon at every refresh it failed.
        self.assertEqual(len(d.logged("P ipmi " + sim.target() + ": session open failed: connection timeout")), 1)
        self.assertGreaterEqual(len(d.logged("Create local ipmi session failed!")), 3)

    def test_a_slow_controller_holds_up_neither_requests_nor_the_recording(self):
        sim = self.sim(SLOW_SENSORS)
        proxy = DelayProxy(sim.port).start()
        self.addCleanup(proxy.stop)
        env = dict(sim.env(), TRENDKEEP_IPMI="lan:127.0.0.1:%d" % proxy.port)
        started = time.monotonic()
        d = self.daemon(faketime="@" + SLOW_START, env=env, sensors=[], sensor_doc={"cpu": 37, "mem": 50, "io": 4})
        d.start()
        fake_now = lambda: H.epoch_utc(SLOW_START) + time.monotonic() - started  # noqa: E731
        count = lambda: H.run_tool(H.QUERY, "count")  # noqa: E731
        # The list is built at full speed (the SDR repository alone is some 1800 datagrams), then the controller
        # slows down while the daemon does not use it.
        self.assertTrue(H.wait_until(lambda: count().returncode == 0, 60, 1), "the list was never answered")
        self.assertTrue(H.wait_until(lambda: proxy.quiet_for(1.0), 30), "the controller never fell quiet")
        proxy.delay = SLOW_DELAY
        refresh = math.ceil((fake_now() + 2) / 60) * 60  # the next refresh, the first slow one
        boundary = math.ceil((refresh + 60) / 300) * 300  # a recording after that refresh had its minute
        seen = proxy.forwarded
        # Under way once it has logged in and read a few sensors; it reads 20 and 30 later, their new values.
        self.assertTrue(H.wait_until(lambda: proxy.forwarded >= seen + 20, refresh - fake_now() + 30),
                        "no refresh read more than a few sensors")
        sim.set_raw(20, 61)
        sim.set_raw(30, 62)
        with self.subTest("count requests answered during a refresh"):
            for _ in range(5):
                r = count()
                self.assertEqual((r.returncode, r.stdout.strip()), (0, SLOW_COUNT), r.stderr)
                time.sleep(1)
            seen = proxy.forwarded
            self.assertTrue(H.wait_until(lambda: proxy.forwarded > seen, 5), "the refresh was over")
        with self.subTest("the recording at its boundary, while the refresh begun there goes on"):
            self.wait_record_time(d.card, lambda day, slot: slot >= boundary, boundary - fake_now() + 30)
            seen = proxy.forwarded
            self.assertTrue(H.wait_until(lambda: proxy.forwarded > seen, 5), "the refresh was over")
            # What the slow refresh read before its time ran out, recorded; a whole refresh would still run.
            got = self.recorded(d, ["Temp_020", "Temp_030"], boundary)
            self.assertEqual({name: x[:2] for name, x in got.items()}, {"Temp_020": (1, 61.0), "Temp_030": (1, 62.0)})
        # Slow is not failed: the controller answered every command in time.  The refreshes cut short are said once.
        self.assertEqual([x for x in d.log_lines() if x.startswith("P ipmi ")], [])
        self.assertEqual(len(d.logged("Refresh past its deadline of 40 s")), 1)

    def start_daemon(self, workdir, clock, env):
        """A daemon that has device ids from no sensor file, its output kept in workdir/out."""
        with open(os.path.join(workdir, "out"), "ab") as out:
            return self.daemon(workdir, faketime=clock, env=env, sensors=[]).start(stdout=out)

    def shows(self, d, listed):
        """Checks the list answer, then a slot of refreshes made from now on in the sensor files and data answers."""
        self.assertTrue(H.wait_until(lambda: os.path.exists(H.RESPONSE_FIFO), 10))
        items = sorted(H.LIST_ITEM.unpack(H.list_item(*x[:3])) for x in listed + [(n, name, 3) for n, name in H.UTILISATION])
        with H.Client() as c:  # the list in any order
            self.assertEqual(H.wait_until(lambda: c.ask(count_request(), 4, 1), 20), COUNT.pack(len(items)))
            self.assertEqual(sorted(H.LIST_ITEM.iter_unpack(c.ask(list_request(), len(items) * H.LIST_ITEM.size))), items)
            slot = self.two_slots_later(d)
            self.wait_record_time(d.card, lambda day, s: s > slot, 30)  # a data answer shows past slots only
            answers = {name: H.parse_slots(c.ask(H.data_request(DAY, num), H.DATA_RESPONSE_SIZE), H.DATA_HEAD.size)[
                (slot - DAY) // 300] for num, name, _, _ in listed}
        want = {name: slot_of(value) for _, name, _, value in listed}
        self.assertEqual({name: (x.recorded, x.reading, x.max, x.min, x.avg) for name, x in answers.items()}, want)
        self.assertEqual(self.recorded(d, want, slot), want)

    def test_real_servers_repositories(self):
        for row, (name, sensors, absent, env, p_lines, phases) in enumerate(REPOSITORIES):
            with self.subTest(name):
                workdir = os.path.join(self.workdir, "row%d" % row)
                sim = S.Sim(os.path.join(workdir, "sim"), sensors, absent=absent).start()
                self.addCleanup(sim.stop)
                env = dict(sim.env(), **env)
                d = self.start_daemon(workdir, CLOCK, env)
                try:
                    for change, listed in phases:
                        if change == RESTART:  # its FIFOs gone with it, so that no request goes to them
                            self.stop_daemon(d)
                            H.remove_fixed_paths()
                            d = self.start_daemon(workdir, "@%s x120" % H.utc_text(H.read_record_time(d.card)[1] + 630), env)
                        else:
                            for call, *args in change or []:
                                getattr(sim, call)(*args)
                        self.shows(d, listed)
                finally:  # before the next row's daemon makes the FIFOs
                    d.stop()
                    H.remove_fixed_paths()
                    H.forget_faketime()
                values = {name: value for _, listed in phases for _, name, _, value in listed if value is not None}
                for name in {name for _, listed in phases for _, name, _, _ in listed}:
                    got = {(x.recorded, x.reading, x.max, x.min, x.avg) for x in self.day_block(d, name).slots if x.recorded}
                    self.assertLessEqual(got, {slot_of(values.get(name))} - {slot_of(None)}, name)
                if p_lines is not None:
                    self.assertEqual(len([x for x in d.log_lines() if x.startswith("P ipmi ")]), p_lines, d.log_lines())
                self.assertNotIn("devid from redis failed", H.pathlib.Path(workdir, "out").read_text())

    def test_a_lossy_link_costs_single_readings_not_minutes(self):
        sim = self.sim(LOSSY_SENSORS)
        proxy = DelayProxy(sim.port, loss=0.05, seed=1).start()
        self.addCleanup(proxy.stop)
        env = dict(sim.env(), TRENDKEEP_IPMI="lan:127.0.0.1:%d" % proxy.port)
        # A quarter of the pace of the other tests: FreeIPMI's second try comes after a faked second, and a refresh
        # must not run into its deadline on a loaded machine (a sanitizer build) for want of real milliseconds.
        d = self.daemon(faketime=LOSSY_CLOCK, env=env, sensors=[]).start()
        count = str(len(LOSSY_SENSORS) + len(H.UTILISATION))
        self.assertTrue(H.wait_until(lambda: H.run_tool(H.QUERY, "count").stdout.strip() == count, 60, 0.5), "no whole list")
        first = self.two_slots_later(d)  # then four slots, twenty minutes
        # Three more recordings are 900 faked seconds, 30 s at this pace: the wait allows half as much again.
        self.wait_record_time(d.card, lambda day, slot: slot >= first + 900, 45)
        for slot in range(first, first + 1200, 300):
            got = {name: x for name, x in self.recorded(d, [s.name for s in LOSSY_SENSORS], slot).items() if x[0]}
            self.assertEqual(got, {s.name: slot_of(S.value(s, s.raw)) for s in LOSSY_SENSORS if s.name in got})
            self.assertGreaterEqual(len(got), len(LOSSY_SENSORS) * 9 // 10, H.utc_text(slot))
        self.assertEqual(d.logged("Get Sensor info failed") + d.logged("Create local ipmi session failed!"), [])
        self.assertGreater(min(proxy.dropped_out, proxy.dropped_back), 0)

    def test_a_refused_login_or_a_bad_setting_ends_the_list_build_with_one_clear_line(self):
        sim = self.sim(SENSORS[:1])
        auth = os.path.join(self.workdir, "sim", "auth")
        link = os.path.join(self.workdir, "link")
        cases = [  # what changes after a good auth file is written, the one P line's text
            ("wrong password", lambda: sim.env("Wrong-Secret"),
             sim.target() + ": login refused: the controller refused the password or authentication"),
            ("auth file others may read", lambda: os.chmod(auth, 0o640), "auth file %s: has group or other" % auth),
            ("auth file of another user", lambda: os.chown(auth, 65534, 65534), "auth file %s: is owned by uid 65534" % auth),
            ("auth file a link", lambda: os.symlink(auth, link) or {"TRENDKEEP_IPMI_AUTH": link},
             "auth file %s: is a symbolic link" % link),
            ("auth file of one line", lambda: H.pathlib.Path(auth).write_text("user\n") and None,
             "auth file %s: must hold two lines" % auth),
            ("no controller there", lambda: {"TRENDKEEP_IPMI": "lan:127.0.0.1:%d" % S.free_port(S.socket.SOCK_DGRAM)},
             "session open failed: connection timeout"),
            ("no such setting", lambda: {"TRENDKEEP_IPMI": "lan"}, "TRENDKEEP_IPMI=lan: must be lan:HOST[:PORT] or inband"),
            ("no such cipher suite", lambda: {"TRENDKEEP_IPMI_CIPHER": "5"}, "TRENDKEEP_IPMI_CIPHER"),
            ("time-outs not numbers", lambda: {"TRENDKEEP_IPMI_TIMEOUT": "abc"}, "TRENDKEEP_IPMI_TIMEOUT"),
            ("unknown workaround", lambda: {"TRENDKEEP_IPMI_WORKAROUNDS": "authcap,nosuch"}, "TRENDKEEP_IPMI_WORKAROUNDS")]
        for name, change, line in cases:
            with self.subTest(name):
                env = sim.env()
                env.update(change() or {})
                d = self.daemon(os.path.join(self.workdir, name), faketime=CLOCK, env=env).start()
                try:
                    self.assertEqual(d.wait(10), 1)
                except subprocess.TimeoutExpired:
                    self.fail("the daemon still runs")
                said = [x for x in d.log_lines() if x.startswith("P ipmi ")]
                self.assertTrue(len(said) == 1 and line in said[0], said)
                self.assertTrue(d.logged("Init sensor data list failed"))

if __name__ == "__main__":
    unittest.main()
