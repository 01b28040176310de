"""The real daemon against a real IPMI peer: OpenIPMI's ipmi_sim on loopback (scripts/ipmisim.py writes its SDRs).
The list comes from the SDR repository, the readings follow raw values set through its console, converted by each
record's formula; a controller gone and back; logins refused; a slow controller behind a delaying proxy.  The
daemon's clock runs 120 times faster (libfaketime), not frozen: FreeIPMI's time-outs count on it; with the slow
controller it runs at the real pace, as a slow network's delays are real."""

import math, os, subprocess, sys, time, unittest

import tkharness as H
from tkharness import COUNT, count_request, list_request

sys.path.insert(0, os.path.join(H.HERE, "..", "..", "scripts"))
from delayproxy import DelayProxy  # noqa: E402
import ipmisim as S  # noqa: E402

CLOCK = "@2026-12-04 10:00:30 x120"
T = S.Sensor
SENSORS = [T(1, "CPU0_Temp", S.TEMP, S.DEG_C, raw=45), T(2, "P12V", S.VOLT, S.VOLTS, m=6, rexp=-2, raw=200, sixbit=True),
           T(17, "FAN1_Speed", S.FAN, S.RPM, m=60, raw=120), T(18, "Inlet_Temp", S.TEMP, S.DEG_C, raw=22),
           T(33, "PSU1_In_Power", S.OTHER, S.WATTS, m=25, b=-3, bexp=2, rexp=-1, raw=100),
           T(34, "P12V_Current", S.CURR, S.AMPS, m=-5, b=300, rexp=-2, raw=10),
           T(40, "Unread_Temp", S.TEMP, S.DEG_C, raw=30, scan=False), T(41, "CPU0_Status", S.PROCESSOR, kind="discrete"),
           T(42, "DIMM_Presence", 0x0C, kind="compact"), T(43, "PSU_Redundancy", S.POWER_SUPPLY, kind="event")]
# Classes from the SDR's sensor type or unit, but sensor 18's device id comes from the sensor file (a fan's).
LISTED = [(1, 0), (2, 1), (17, 1), (18, 1), (33, 2), (34, 2)]
BY_NUM = {s.num: s for s in SENSORS}
LIST = b"".join(H.list_item(n, BY_NUM[n].name, cls) for n, cls in LISTED) + b"".join(
    H.list_item(n, name, 3) for n, name in H.UTILISATION)

# A controller whose every datagram is held 0.3 s on the way there and back: one Get Sensor Reading takes about
# 0.6 s, a refresh of these 150 sensors a minute and a half unless it is cut short.
SLOW_DELAY = 0.3
SLOW_SENSORS = [T(n, "Temp_%03d" % n, S.TEMP, S.DEG_C, raw=40) for n in range(1, 151)]
SLOW_COUNT = str(len(SLOW_SENSORS) + len(H.UTILISATION))
SLOW_START = "2026-12-04 10:03:40"

class Ipmi(H.DaemonTestCase):
    def sim(self, sensors=SENSORS):
        sim = S.Sim(os.path.join(self.workdir, "sim"), sensors).start()
        self.addCleanup(sim.stop)
        return sim

    def recorded(self, d, names, slot):
        """(recorded, reading, max, min, avg) of the slot of each sensor named."""
        day = H.epoch_utc("2026-12-04 00:00:00")
        slots = {name: H.block_of(H.read_sensor_file(H.sensor_path(d.card, name)), day).slots[(slot - day) // 300]
                 for name in names}
        return {name: (x.recorded, x.reading, x.max, x.min, x.avg) for name, x in slots.items()}

    def two_slots_later(self, d):
        """Waits for two recordings from now on; the slot of the second holds only refreshes made after now."""
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
                if answering:
                    self.assertEqual(got, {BY_NUM[n].name: (1,) + (S.value(BY_NUM[n], raws[n]),) * 4 for n, _ in LISTED})
                self.assertTrue(d.alive())
        # As the web server gets it: the first round's converted reading in its slot of the data answer.
        day = H.epoch_utc("2026-12-04 00:00:00")
        x = H.parse_slots(c.ask(H.data_request(day, 33), H.DATA_RESPONSE_SIZE), H.DATA_HEAD.size)[(slots[0] - day) // 300]
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

    def test_a_refused_login_ends_the_list_build_with_one_clear_line(self):
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
            ("no such setting", lambda: {"TRENDKEEP_IPMI": "lan"}, "TRENDKEEP_IPMI=lan: must be lan:HOST[:PORT] or inband")]
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
