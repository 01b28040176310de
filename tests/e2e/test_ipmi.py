"""The real daemon against OpenIPMI's ipmi_sim on loopback (scripts/ipmisim.py writes its SDRs): real servers'
repositories, refused logins and settings, a slow controller and a lossy link behind a proxy.  The daemon's clock runs 120
times faster (FreeIPMI's time-outs count on it), with the slow controller at the real pace."""

import math, os, sys, time, unittest

import tkharness as H

sys.path.insert(0, os.path.join(H.HERE, "..", "..", "scripts"))
from delayproxy import DelayProxy  # noqa: E402
import ipmisim as S  # noqa: E402

CLOCK = "@2026-12-04 10:00:30 x120"
DAY = H.epoch_utc("2026-12-04 00:00:00")
UTILISATION = {"cpu": 37, "mem": 50, "io": 4}
T = S.Sensor
RESTART = "the daemon started again"


def temp(num, name, raw, **more):
    return T(num, name, S.TEMP, S.DEG_C, raw=raw, **more)


def other(num, name, unit, raw, **more):
    return T(num, name, S.OTHER, unit, raw=raw, **more)


# Readings by each record's formula and classes by unit; sensor 40, its scanning disabled, is listed all the same and
# never recorded; the discrete, compact and event-only records are not listed.
FORMULAS = [
    temp(1, "CPU0_Temp", 45),
    T(2, "P12V", S.VOLT, S.VOLTS, m=6, rexp=-2, raw=200, sixbit=True),
    T(17, "FAN1_Speed", S.FAN, S.RPM, m=60, raw=120),
    T(33, "PSU1_In_Power", S.OTHER, S.WATTS, m=25, b=-3, bexp=2, rexp=-1, raw=100),
    T(34, "P12V_Current", S.CURR, S.AMPS, m=-5, b=300, rexp=-2, raw=10),
    temp(40, "Unread_Temp", 30, scan=False),
    T(41, "CPU0_Status", S.PROCESSOR, kind="discrete"),
    T(42, "DIMM_Presence", 0x0C, kind="compact"),
    T(43, "PSU_Redundancy", S.POWER_SUPPLY, kind="event"),
    other(51, "Airflow", S.CFM, 77),
    other(52, "Fan_Duty", 0, 60, pct=True),
    other(53, "Coolant_Flow", S.LITRES, 12, rate=S.PER_MINUTE),
    other(54, "PSU_Load", S.WATTS, 55, pct=True),
    T(55, "FAN1_Duty", S.FAN, raw=40, pct=True),
    other(56, "Board_Temp", S.DEG_F, 80),
]
CLASSES = {1: 0, 2: 1, 17: 1, 33: 2, 34: 2, 40: 0, 51: 4, 52: 4, 53: 4, 54: 4, 55: 1, 56: 0}


def converted(gone=False):
    """The list of FORMULAS with their readings; none while the controller is gone."""
    listed = []
    for s in FORMULAS:
        if s.num in CLASSES:
            listed.append((s.num, s.name, CLASSES[s.num], None if gone or not s.scan else S.value(s, s.raw)))
    return listed


def listing(text):
    """(number, name, class, value) of each "NUMBER NAME CLASS VALUE" of text, "-": a value nobody can read."""
    listed = []
    for item in text.split(", "):
        num, name, cls, value = item.split()
        listed.append((int(num), name, int(cls), None if value == "-" else float(value)))
    return listed


FIRMWARE_A = [temp(1, "CPU0", 45), temp(2, "CPU1", 49), temp(3, "Inlet", 23), T(4, "P12V", S.VOLT, S.VOLTS, raw=12)]
FIRMWARE_B = [
    FIRMWARE_A[1]._replace(num=1),
    FIRMWARE_A[0]._replace(num=2),
    FIRMWARE_A[3],
    FIRMWARE_A[2]._replace(num=5),
]
REPEATED = [temp(1, "Temp", 21), temp(2, "Temp", 22, instance=2), T(3, "Current", S.CURR, S.AMPS, raw=5)]
REPEATED += [T(4, "Current", S.CURR, S.AMPS, raw=6, instance=0x82), temp(5, "CPU_Core_VR_Temp", 61, instance=100)]
REPEATED += [temp(6, "CPU_Core_VR_Temp", 62, instance=101)]
OWNERS = [temp(5, "CPU0_Temp", 45), T(5, "BIOS_Boot", 0x0F, kind="event", owner=S.BIOS)]
OWNERS += [temp(5, "ME_Temp", 27, owner=S.ME), temp(5, "Riser_Temp", 33, lun=1), temp(7, "PSU1/Temp", 31)]
OWNERS += [T(254, "PSU_Redundancy", S.POWER_SUPPLY, kind="event"), temp(8, "PSU1_Temp", 32)]
OWNERS += [T(250, "DIMM_Presence", 0x0C, kind="compact", share=3)]
ABSENT = [temp(1, "CPU0_Temp", 45), temp(2, "Riser1_Temp", 30, owner=0x3A), temp(3, "Riser2_Temp", 31, owner=0x3A)]
# Phases: a change made while the daemon runs (Sim calls, or RESTART), then the sensors listed.
GONE_AND_BACK = [(None, converted()), ([("stop",)], converted(gone=True)), ([("start",)], converted())]
RENUMBERED = [
    (None, listing("1 CPU0 0 45, 2 CPU1 0 49, 3 Inlet 0 23, 4 P12V 1 12")),
    ([("restart", FIRMWARE_B)], listing("1 CPU0 0 -, 2 CPU1 0 -, 3 Inlet 0 -, 4 P12V 1 12")),
    (RESTART, listing("1 CPU1 0 49, 2 CPU0 0 45, 4 P12V 1 12, 5 Inlet 0 23")),
]
RENAMED = "1 Temp_1 0 21, 2 Temp_2 0 22, 3 Current_1 2 5, 4 Current_2 2 6, 5 CPU_Core_VR_Tem_100 0 61, "
RENAMED += "6 CPU_Core_VR_Tem_101 0 62"
NUMBERED = "5 CPU0_Temp 0 45, 253 Riser_Temp 0 33, 249 ME_Temp 0 27, 7 PSU1/Temp#7 0 31, 8 PSU1_Temp#8 0 32"
UNREAD = "1 CPU0_Temp 0 45, 254 Riser1_Temp 0 -, 253 Riser2_Temp 0 -"
REPOSITORIES = [  # title, sensors, controllers not there, "P ipmi " lines of the row (None: not counted), phases
    ("formulas and units, the controller gone and back", FORMULAS, (), None, GONE_AND_BACK),
    ("renumbered by a second firmware: two swapped, one moved", FIRMWARE_A, (), None, RENUMBERED),
    ("repeated names", REPEATED, (), 0, [(None, listing(RENAMED))]),
    ("numbers across owners and LUNs, names alike as files", OWNERS, (), 0, [(None, listing(NUMBERED))]),
    ("a controller that is not there", ABSENT, (0x3A,), 1, [(None, listing(UNREAD))]),
]


def slot_of(value):
    """(recorded, reading, max, min, avg) of a slot whose every refresh read value; None: read by none."""
    if value is None:
        return (0, 0.0, 0.0, 0.0, 0.0)
    return (1, value, value, value, value)


class Ipmi(H.DaemonTestCase):
    def sim(self, sensors, workdir=None, absent=()):
        sim = S.Sim(os.path.join(workdir or self.workdir, "sim"), sensors, absent=absent).start()
        self.addCleanup(sim.stop)
        return sim

    def slots(self, d, name):
        """(recorded, reading, max, min, avg) of each slot of the day of sensor name, from its file."""
        blocks = H.read_sensor_file(H.sensor_path(d.card, name.replace("/", "_"))).blocks
        (block,) = [block for block in blocks if block.day_key == DAY]
        return [(x.recorded, x.reading, x.max, x.min, x.avg) for x in block.slots]

    def two_slots_later(self, d):
        """Waits for two recordings from now on; the slot of the second holds only refreshes made after now."""
        self.wait_record_time(d.card, lambda day, slot: slot > 0)  # none yet: counted from the first
        first = H.read_record_time(d.card)[1]
        self.wait_record_time(d.card, lambda day, slot: slot >= first + 600, 30)
        return (first + 600 - DAY) // 300

    def shows(self, d, listed):
        """Checks the list answer, then a slot of refreshes made from now on in the sensor files."""
        self.assertTrue(H.wait_until(lambda: os.path.exists(H.RESPONSE_FIFO), 10))
        items = [H.list_item(num, name, cls) for num, name, cls, _ in listed]
        items += [H.list_item(num, name, 3) for num, name in H.UTILISATION]
        with H.Client() as c:  # the list in any order
            self.assertEqual(H.wait_until(lambda: c.ask(H.COUNT_REQUEST, 4, 1), 20), H.COUNT.pack(len(items)))
            answer = c.ask(H.LIST_REQUEST, len(items) * H.LIST_ITEM.size)
            self.assertEqual(sorted(H.LIST_ITEM.iter_unpack(answer)), sorted(map(H.LIST_ITEM.unpack, items)))
        slot = self.two_slots_later(d)
        for _, name, _, value in listed:
            self.assertEqual(self.slots(d, name)[slot], slot_of(value), name)

    def test_real_servers_repositories(self):
        for row, (title, sensors, absent, p_lines, phases) in enumerate(REPOSITORIES):
            with self.subTest(title):
                workdir = os.path.join(self.workdir, "row%d" % row)
                sim = self.sim(sensors, workdir, absent)
                env = sim.env()
                d = self.daemon(workdir, faketime=CLOCK, env=env, sensors=[], sensor_doc=UTILISATION).start()
                try:
                    for change, listed in phases:
                        if change == RESTART:  # its FIFOs gone with it, so that no request goes to them
                            self.stop_daemon(d)
                            H.remove_fixed_paths()
                            clock = "@%s x120" % H.utc_text(H.read_record_time(d.card)[1] + 630)
                            d = self.daemon(workdir, faketime=clock, env=env, sensors=[]).start()
                        for call, *args in change if isinstance(change, list) else []:
                            getattr(sim, call)(*args)
                        self.shows(d, listed)
                finally:  # before the next row's daemon makes the FIFOs
                    d.stop()
                    H.remove_fixed_paths()
                    H.forget_faketime()
                said = [x for x in d.log_lines() if x.startswith("P ipmi ")]
                if p_lines is not None:
                    self.assertEqual(len(said), p_lines, said)

    def test_a_slow_controller_holds_up_neither_requests_nor_the_recording(self):
        """Every datagram held 0.3 s each way: a whole refresh of these 150 sensors would take a minute and a half."""
        sim = self.sim([temp(n, "Temp_%03d" % n, 40) for n in range(1, 151)])
        proxy = DelayProxy(sim.port).start()
        self.addCleanup(proxy.stop)
        env = dict(sim.env(), TRENDKEEP_IPMI="lan:127.0.0.1:%d" % proxy.port)
        start = H.epoch_utc("2026-12-04 10:03:40") - time.monotonic()  # the daemon's clock, less the test's
        d = self.daemon(faketime="@" + H.utc_text(start + time.monotonic()), env=env, sensors=[]).start()
        # The list is built at full speed (some 1800 datagrams), then the controller slows down while not in use.
        self.assertTrue(H.wait_until(lambda: H.run_tool(H.QUERY, "count").returncode == 0, 60, 1), "never listed")
        self.assertTrue(H.wait_until(lambda: proxy.quiet_for(1.0), 30), "the controller never fell quiet")
        proxy.delay = 0.3
        refresh = math.ceil((start + time.monotonic() + 2) / 60) * 60  # the next refresh, the first slow one
        boundary = math.ceil((refresh + 60) / 300) * 300  # a recording after that refresh had its minute
        seen = proxy.forwarded  # under way once it has read a few sensors; it reads 20 and 30 later, their new values
        under_way = H.wait_until(lambda: proxy.forwarded >= seen + 20, refresh - start - time.monotonic() + 30)
        self.assertTrue(under_way, "no refresh read more than a few sensors")
        sim.set_raw(20, 61)
        sim.set_raw(30, 62)
        for _ in range(5):  # count requests answered during the refresh
            self.assertEqual(H.run_tool(H.QUERY, "count").stdout, "153\n")
            time.sleep(1)
        for end in (None, boundary):  # the refresh still under way, then the recording at the boundary as well
            if end:
                self.wait_record_time(d.card, lambda day, slot: slot >= end, end - start - time.monotonic() + 30)
            seen = proxy.forwarded
            self.assertTrue(H.wait_until(lambda: proxy.forwarded > seen, 5), "the refresh was over")
        # What the refresh read before its deadline, recorded; slow is not failed; a refresh cut short, said once.
        got = [self.slots(d, name)[(boundary - DAY) // 300][:2] for name in ("Temp_020", "Temp_030")]
        self.assertEqual(got, [(1, 61.0), (1, 62.0)])
        self.assertEqual([x for x in d.log_lines() if x.startswith("P ipmi ")], [])
        self.assertEqual(len(d.logged("Refresh past its deadline of 40 s")), 1)

    def test_a_lossy_link_costs_single_readings_not_minutes(self):
        """5% of the datagrams dropped either way, 60 sensors behind the link: a lost session costs its reading."""
        sensors = [temp(n, "Temp_%02d" % n, 40 + n) for n in range(1, 61)]
        sim = self.sim(sensors)
        proxy = DelayProxy(sim.port, loss=0.05, seed=1).start()
        self.addCleanup(proxy.stop)
        env = dict(sim.env(), TRENDKEEP_IPMI="lan:127.0.0.1:%d" % proxy.port)
        # A quarter of the others' pace: FreeIPMI's retries must not run a refresh into its deadline on a slow build.
        d = self.daemon(faketime="@2026-12-04 10:00:30 x30", env=env, sensors=[]).start()
        self.assertTrue(H.wait_until(lambda: H.run_tool(H.QUERY, "count").stdout == "63\n", 60, 0.5), "no whole list")
        first = self.two_slots_later(d)  # then three more recordings, 30 s at this pace
        self.wait_record_time(d.card, lambda day, slot: slot >= DAY + 300 * (first + 3), 45)
        for slot in range(first, first + 4):
            got = [self.slots(d, s.name)[slot] for s in sensors]
            missed = [x for x, s in zip(got, sensors) if x != slot_of(S.value(s, s.raw))]
            self.assertEqual(set(missed) - {slot_of(None)}, set(), slot)  # a sensor not read at all, or read right
            self.assertLessEqual(len(missed), 6, slot)  # nine in ten read
        self.assertEqual(d.logged("Get Sensor info failed") + d.logged("Create local ipmi session failed!"), [])
        self.assertGreater(min(proxy.dropped_out, proxy.dropped_back), 0)

    def test_a_refused_login_or_a_bad_setting_ends_the_list_build_with_one_clear_line(self):
        sim = self.sim([temp(1, "CPU0_Temp", 45)])
        good = sim.env()
        auth = {"link": os.path.join(self.workdir, "link")}
        os.symlink(good["TRENDKEEP_IPMI_AUTH"], auth["link"])
        for name, text, mode, owner in [
            ("wrong", "%s\nWrong-Secret\n" % S.USER, 0o600, 0),
            ("loose", "%s\n%s\n" % (S.USER, S.PASSWORD), 0o640, 0),
            ("foreign", "%s\n%s\n" % (S.USER, S.PASSWORD), 0o600, 65534),
            ("short", "x\n", 0o600, 0),
        ]:
            auth[name] = os.path.join(self.workdir, name)
            H.pathlib.Path(auth[name]).write_text(text)
            os.chmod(auth[name], mode)
            os.chown(auth[name], owner, owner)
        nobody_there = "lan:127.0.0.1:%d" % S.free_port(S.socket.SOCK_DGRAM)
        cases = [  # a setting that replaces a good one, the one P line's text
            ("TRENDKEEP_IPMI_AUTH", auth["wrong"], sim.target() + ": login refused: the controller refused the"),
            ("TRENDKEEP_IPMI_AUTH", auth["loose"], "auth file %s: has group or other" % auth["loose"]),
            ("TRENDKEEP_IPMI_AUTH", auth["foreign"], "auth file %s: is owned by uid 65534" % auth["foreign"]),
            ("TRENDKEEP_IPMI_AUTH", auth["link"], "auth file %s: is a symbolic link" % auth["link"]),
            ("TRENDKEEP_IPMI_AUTH", auth["short"], "auth file %s: must hold two lines" % auth["short"]),
            ("TRENDKEEP_IPMI", nobody_there, "session open failed: connection timeout"),
            ("TRENDKEEP_IPMI", "lan", "TRENDKEEP_IPMI=lan: must be lan:HOST[:PORT] or inband"),
            ("TRENDKEEP_IPMI_WORKAROUNDS", "authcap,nosuch", "TRENDKEEP_IPMI_WORKAROUNDS"),
        ]
        for n, (setting, value, line) in enumerate(cases):
            with self.subTest(setting=setting, value=value):
                env = dict(good, **{setting: value})
                d = self.daemon(os.path.join(self.workdir, "case%d" % n), faketime=CLOCK, env=env).start()
                self.assertEqual(d.wait(10), 1)  # at once, not after a time-out
                said = [x for x in d.log_lines() if x.startswith("P ipmi ")]
                self.assertEqual(len(said), 1, said)
                self.assertIn(line, said[0])
                self.assertTrue(d.logged("Init sensor data list failed"))
