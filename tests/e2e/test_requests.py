"""The request service of the real daemon, driven through its two FIFOs.

Every daemon here runs on UTC under libfaketime, mostly many times faster
than real time, so the one-second waits of the store thread cost little.
"""

import os
import re
import signal
import time
import unittest

import tkproto as P
from tkharness import ClockFile, RunningClock, epoch_utc, sensor_file, utc_text, wait_until

DAY = epoch_utc("2026-12-04 00:00:00")

# (number, name, device id, class the list must carry).  The device ids sit
# on both sides of the edges of the id ranges; a sensor without a device id
# has its query fail and is listed without a class.
LISTED = [
    (1, "CPU0_Temp", 0x3000, 0),
    (2, "CPU1_Temp", 0x3255, 0),
    (3, "FAN1", 0x5000, 1),
    (4, "FAN2", 0x50C0, 1),
    (5, "FAN3", 0x50C1, 0),
    (6, "P12V", 0x7000, 1),
    (7, "P5V", 0x703E, 1),
    (8, "P3V3", 0x703F, 0),
    (9, "PSU1_PIN", 0x8000, 2),
    (10, "PSU2_PIN", 0x8028, 2),
    (11, "PSU3_PIN", 0x8029, 0),
    (12, "No_Device_Id", None, 0),
    (13, "Inlet_Temperature_A", 0x3010, 0),            # 19 characters
    (14, "Outlet_Temperature_B", 0x3011, 0),           # 20
    (15, "Exactly16Chars__", 0x5010, 1),               # 16
    (16, "A_Name_Longer_Than_Twenty_Nine_Chars", 0x8010, 2),
] + [(n, "DIMM%02d_Temp" % n, 0x3100 + n, 0) for n in range(17, 41)]

# Readings the list leaves out: skipped, event-only, without sensor info.
UNLISTED = [
    {"num": 200, "name": "Skipped", "skip": 1, "devid": 0x3001, "reading": 1},
    {"num": 201, "name": "Event_Only", "type": 3, "devid": 0x3002, "reading": 0},
    {"num": 202, "name": "No_Info", "info": False, "devid": 0x3003, "reading": 2},
]


def listed_sensors():
    sensors = []
    for num, name, devid, _ in LISTED:
        s = {"num": num, "name": name, "reading": 20.0 + num}
        if devid is not None:
            s["devid"] = devid
        sensors.append(s)
    return sensors[:8] + UNLISTED + sensors[8:]


UTILISATION = [(P.CPU_UTIL, "CPU_Utilization"), (P.MEM_UTIL, "MEM_Utilization"), (P.IO_UTIL, "IO_Utilization")]


def expected_list():
    items = [P.list_item(num, name, cls) for num, name, _, cls in LISTED]
    items += [P.list_item(num, name, 3) for num, name in UTILISATION]
    return b"".join(items)


FULL_SENSORS = listed_sensors()
FULL_DOC = {"cpu": 37, "mem": 50, "io": 4}
FULL_COUNT = len(LISTED) + 3
LIST_SIZE = FULL_COUNT * P.LIST_ITEM.size
SHORT_WRITE = re.compile(r"^D 130 \[StoreData\.cpp:\d+\]\[StoreSensorsDataToFileRecord\]\[\d+\]"
                         r"Write Sensor list to pipe:/var/tmp/pipe_cups_to_restful failed,write len = \d+$")


class SensorListing(P.ServiceTestCase):
    def test_count_and_list_byte_for_byte(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 10), sensors=FULL_SENSORS, sensor_doc=FULL_DOC)
        c = self.client()
        # 40 IPMI sensors and the three utilisation figures.
        self.assertEqual(c.ask(P.count_request(), 4), P.COUNT.pack(43))
        got = c.ask(P.list_request(), LIST_SIZE)
        self.assertEqual(len(got), 989)
        for i, (want, have) in enumerate(zip(P.parse_list(expected_list()), P.parse_list(got))):
            self.assertEqual(have, want, "list item %d" % i)
        self.assertEqual(got, expected_list())
        # A 20-character name: its first 16 characters, then four zero bytes.
        item = got[13 * 23:14 * 23]
        self.assertEqual(item[2:22], b"Outlet_Temperatu\0\0\0\0")
        self.assertEqual(got[-3 * 23:], b"".join(P.list_item(n, name, 3) for n, name in UTILISATION))
        self.assertEqual(c.silence(0.3), b"")
        self.assertTrue(d.alive())

    def test_requests_before_the_store_is_ready_wait_in_the_fifo(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 5), ready=False)
        c = self.client()
        c.send(P.count_request() + P.list_request())
        got = c.receive(4 + 6 * 23, timeout=20)
        self.assertEqual(got[:4], P.COUNT.pack(6))
        self.assertEqual([i.num for i in P.parse_list(got[4:])], [1, 2, 3, P.CPU_UTIL, P.MEM_UTIL, P.IO_UTIL])
        self.assertTrue(d.logged("RecordDir Path"))

    def test_no_answer_while_the_list_is_not_built(self):
        # A controller that reports no sensors keeps the list build waiting.
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 10), sensor_doc={"count": 0}, ready=False)
        c = self.client()
        c.send(P.count_request() + P.list_request())
        self.assertEqual(c.silence(2.0), b"")
        self.assertTrue(d.alive())
        self.assertFalse(d.logged("RecordDir Path"))


class Framing(P.ServiceTestCase):
    def test_other_kinds_are_dropped_and_the_next_request_is_answered(self):
        self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 10))
        c = self.client()
        for kind in (0, 3, 5, 255):
            with self.subTest(kind=kind):
                c.send(P.pack_request(kind, "2026-12-04T10:00:00", 1) + P.count_request())
                self.assertEqual(c.receive(4), P.COUNT.pack(6))
                self.assertEqual(c.silence(0.3), b"")

    def test_requests_back_to_back_are_answered_in_order(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600 + 30, 10))
        c = self.client()
        c.send(P.list_request() + P.count_request() + P.data_request(DAY, 2) + P.count_request())
        got = c.receive(6 * 23 + 4 + P.DATA_RESPONSE_SIZE + 4)
        self.assertEqual(len(got), 6 * 23 + 4 + P.DATA_RESPONSE_SIZE + 4)
        self.assertEqual([i.num for i in P.parse_list(got[:138])], [1, 2, 3, P.CPU_UTIL, P.MEM_UTIL, P.IO_UTIL])
        self.assertEqual(got[138:142], P.COUNT.pack(6))
        data = P.parse_data(got[142:142 + P.DATA_RESPONSE_SIZE])
        self.assertEqual(data.num, 2)
        self.assertEqual(got[-4:], P.COUNT.pack(6))
        self.assertEqual(c.silence(0.3), b"")
        self.assertTrue(d.alive())

    def test_records_in_pieces(self):
        # Once ready, the clock stands still at 10:04 and the daemon's waits
        # take real time: it gives a begun record a real second to finish.
        clock = ClockFile(os.path.join(self.workdir, "clock"), "@%s x20" % utc_text(DAY + 10 * 3600 + 180))
        d = self.start_daemon(clock_file=clock)
        self.wait_record_time(d.card, lambda day, slot: slot == DAY + 10 * 3600)
        clock.freeze(DAY + 10 * 3600 + 240, 1)
        c = self.client()

        with self.subTest("a record in two writes is gathered"):
            req = P.data_request(DAY, 2)
            c.send(req[:100])
            time.sleep(0.01)
            c.send(req[100:])
            data = P.parse_data(c.receive(P.DATA_RESPONSE_SIZE, timeout=10.0))
            # The sensor number lies in the second piece.
            self.assertEqual(data.num, 2)
            self.assertEqual(c.silence(0.3), b"")

        with self.subTest("a half record of a requester that went away is dropped"):
            with P.Client() as gone:
                gone.send(P.count_request()[:60])
            self.assertTrue(wait_until(lambda: c.pending_requests() == 0, 5))
            # The boundary passes while the half record is pending: the
            # loop must carry on, record the slot and answer the next request.
            clock.freeze(DAY + 10 * 3600 + 300, 1)
            self.wait_record_time(d.card, lambda day, slot: slot == DAY + 10 * 3600 + 300, timeout=10)
            self.assertEqual(c.ask(P.count_request(), 4), P.COUNT.pack(6))
            self.assertEqual(c.silence(0.3), b"")
            for name in ("CPU0_Temp", "FAN1", "PSU_In_Power", "CPU_Utilization"):
                f = P.read_sensor_file(P.sensor_path(d.card, name))
                self.assertEqual(P.block_of(f, DAY).slots[121].recorded, 1, name)


class Unanswerable(P.ServiceTestCase):
    def test_unknown_sensor_and_days_not_held_get_no_answer(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 10))
        c = self.client()
        c.send(P.data_request(DAY, 200)                         # no such sensor
               + P.data_request(DAY + 86400, 1)                 # tomorrow
               + P.data_request(DAY - 86400, 1)                 # before the first run
               + P.pack_request(P.SENSOR_DATA_REQ, "not a date", 1)
               + P.pack_request(P.SENSOR_DATA_REQ, b"\xff" * 128, 1))
        self.assertEqual(c.silence(2.0), b"")
        self.assertEqual(c.pending_requests(), 0)
        self.assertEqual(len(d.logged("Match sensor failed,sensor num:200")), 1)
        self.assertEqual(len(d.logged("Request datatime invalied")), 4)
        # The daemon carries on.
        self.assertEqual(c.ask(P.count_request(), 4), P.COUNT.pack(6))
        self.assertEqual(c.silence(0.3), b"")
        self.assertEqual(c.data(DAY + 10 * 3600, 1).num, 1)


class StalledRequester(P.ServiceTestCase):
    def test_recording_and_sampling_go_on_while_nobody_reads(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600 + 60, 100), sensors=FULL_SENSORS,
                              sensor_doc=FULL_DOC)
        stalled = self.client()

        def ask():
            # A handful of list requests always waits; the answers are never read.
            if stalled.pending_requests() < 5 * P.REQUEST.size:
                stalled.try_send(P.list_request())

        def full():
            ask()
            return d.logged("Write Sensor list to pipe")

        self.assertTrue(wait_until(full, 30, interval=0.005), "the response FIFO never filled")
        first = P.read_record_time(d.card)[1]
        changed = False

        def two_more_slots():
            nonlocal changed
            ask()
            slot = P.read_record_time(d.card)[1]
            if not changed and slot >= first + 300:
                # A new reading from now on: the next slot must carry it.
                sensors = [dict(s, reading=9999.0) if s["num"] == 3 else s for s in FULL_SENSORS]
                sensor_file(d.env["TRENDKEEP_SENSORS"] + ".new", sensors, **FULL_DOC)
                os.rename(d.env["TRENDKEEP_SENSORS"] + ".new", d.env["TRENDKEEP_SENSORS"])
                changed = True
            return slot >= first + 600

        self.assertTrue(wait_until(two_more_slots, 60, interval=0.005), "recording stopped behind the full FIFO")
        self.assertTrue(d.alive())
        for line in d.logged("Write Sensor list to pipe"):
            self.assertRegex(line, SHORT_WRITE)

        slots = [(first + 300 - DAY) // 300, (first + 600 - DAY) // 300]
        for num, name, _, _ in LISTED + [(n, m, 0, 3) for n, m in UTILISATION]:
            block = P.block_of(P.read_sensor_file(P.sensor_path(d.card, name[:19])), DAY)
            self.assertEqual([block.slots[s].recorded for s in slots], [1, 1], name)
        fan = P.block_of(P.read_sensor_file(P.sensor_path(d.card, "FAN1")), DAY)
        self.assertEqual(fan.slots[slots[1]].reading, 9999.0)

        # Once the requester reads again it finds whole lists only, and the
        # daemon answers as before.
        self.assertTrue(wait_until(lambda: stalled.pending_requests() == 0, 10))
        backlog = stalled.silence(1.0)
        self.assertGreater(len(backlog), 0)
        self.assertEqual(len(backlog) % LIST_SIZE, 0)
        self.assertEqual(backlog[:LIST_SIZE], expected_list())
        self.assertEqual(stalled.ask(P.count_request(), 4), P.COUNT.pack(FULL_COUNT))


class StopsWhileServing(P.ServiceTestCase):
    def serve_until_exit(self, d, c, action, after):
        """Keeps asking for data and lists, does action once after answers
        have come, and goes on asking until the daemon is gone."""
        answered = 0
        deadline = time.monotonic() + 30
        while d.alive() and time.monotonic() < deadline:
            c.send(P.data_request(DAY, 1) + P.list_request())
            got = c.receive(P.DATA_RESPONSE_SIZE + 6 * 23, timeout=0.5)
            if len(got) == P.DATA_RESPONSE_SIZE + 6 * 23:
                answered += 1
            if answered == after and action is not None:
                action()
                action = None
        self.assertIsNone(action, "too few answers before the stop")
        return d.wait(10)

    def test_card_pulled_while_serving_exits_1(self):
        d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 30))
        c = self.client()
        status = self.serve_until_exit(d, c, lambda: os.rename(d.card, d.card + ".pulled"), 5)
        self.assertEqual(status, 1)
        self.assertEqual(len(d.logged("Check TFCard mount status failed!Program will exit!")), 1)
        self.assertFalse(os.path.lexists(P.REQUEST_FIFO))

    def test_stop_signal_while_serving_exits_0(self):
        for after in (1, 7, 20):
            with self.subTest(answers_before_the_signal=after):
                workdir = os.path.join(self.workdir, "run%d" % after)
                d = self.start_daemon(clock=RunningClock(DAY + 10 * 3600, 30), workdir=workdir)
                c = P.Client()
                try:
                    status = self.serve_until_exit(d, c, lambda: d.signal(signal.SIGTERM), after)
                finally:
                    c.close()
                self.assertEqual(status, 0)
                self.assertEqual(len(d.logged("P deregister /usr/local/bin/Trendkeep")), 1)
                self.assertFalse(os.path.lexists(P.REQUEST_FIFO))


if __name__ == "__main__":
    unittest.main()
