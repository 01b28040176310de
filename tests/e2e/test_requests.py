"""The request service of the real daemon, byte for byte through its two FIFOs, and its whole job across
simulated days: recording on the card, switching days, restarts and a clock set back, every answer checked
against the files on the card.  The tests set the daemon's clock (libfaketime)."""

import contextlib, os, re, time, unittest

import tkharness as H
from tkharness import COUNT, count_request, data_request, list_request

D1 = H.epoch_utc("2026-12-04 00:00:00")
TEN, D2, LATER = D1 + 10 * 3600, D1 + 86400, D1 + 3 * 86400
# number, name, device id, the class listed: device ids on both sides of the edges of the id ranges; a sensor
# without one is listed without a class; names cut at 16 bytes.
LISTED = [(1, "CPU0_Temp", 0x3000, 0), (2, "CPU1_Temp", 0x3255, 0), (3, "FAN1", 0x5000, 1), (4, "FAN2", 0x50C0, 1),
          (5, "FAN3", 0x50C1, 0), (6, "P12V", 0x7000, 1), (7, "P5V", 0x703E, 1), (8, "P3V3", 0x703F, 0),
          (9, "PSU1_PIN", 0x8000, 2), (10, "PSU2_PIN", 0x8028, 2), (11, "PSU3_PIN", 0x8029, 0), (12, "No_Device_Id", 0, 0),
          (13, "Inlet_Temperature_A", 0x3010, 0), (14, "Outlet_Temperature_B", 0x3011, 0),
          (15, "Exactly16Chars__", 0x5010, 1), (16, "A_Name_Longer_Than_Twenty_Nine_Chars", 0x8010, 2)] + [
    (n, "DIMM%02d_Temp" % n, 0x3100 + n, 0) for n in range(17, 41)]
# Readings the list leaves out: skipped, event-only, without sensor info.
UNLISTED = [dict(num=200, name="Skipped", skip=1, devid=0x3001, reading=1), dict(num=202, name="No_Info", info=False,
            devid=0x3003, reading=2), dict(num=201, name="Event_Only", type=3, devid=0x3002, reading=0)]
MANY = [dict({"num": n, "name": name, "reading": 20.0 + n}, **({"devid": d} if d else {})) for n, name, d, _ in LISTED]
MANY = MANY[:8] + UNLISTED + MANY[8:]
LIST = b"".join(H.list_item(n, name, cls) for n, name, _, cls in LISTED + [(n, m, 0, 3) for n, m in H.UTILISATION])
assert len(LIST) == 43 * 23 and LIST[13 * 23 + 2:14 * 23 - 1] == b"Outlet_Temperatu\0\0\0\0"
MOVING = [dict(num=1, name="CPU0_Temp", devid=0x3001, reading={"base": 50, "swing": 10, "period": 3600}), dict(
    num=2, name="FAN1", devid=0x5001, reading=5400), dict(num=3, name="PSU_In_Power", devid=0x8001, reading=320.5)]
ALL = [(s["num"], s["name"]) for s in MOVING] + H.UTILISATION

class Requests(H.DaemonTestCase):
    def start(self, rule, sensors=MANY, run="run"):
        """A daemon on the card of the test, its clock set to rule; returns once its store answers."""
        self.card, self.clock = os.path.join(self.workdir, "card"), os.path.join(self.workdir, "clock")
        os.makedirs(self.card, exist_ok=True)
        H.replace_file(self.clock, rule)
        d = self.daemon(os.path.join(self.workdir, run), card=self.card, clock_file=self.clock, sensors=sensors,
                        sensor_doc={"cpu": 37, "mem": 50, "io": 4}).start()
        self.count = COUNT.pack(43 if sensors is MANY else len(sensors) + 3)
        self.assertTrue(d.wait_logged("RecordDir Path", 10))
        self.c = H.Client()
        self.addCleanup(self.c.close)
        self.settle()
        return d

    def settle(self, rule=None):
        """Sets the clock, then returns once the store has run a whole turn on it: the first answer may
        come from a turn begun before, the second before that turn's day change."""
        if rule:
            H.replace_file(self.clock, rule)
        for _ in range(3):
            self.assertEqual(self.c.ask(count_request(), 4, 20), self.count)

    def stored(self, name, day=D1):
        block = H.read_sensor_file(H.sensor_path(self.card, name))
        return block if day is None else H.block_of(block, day)

    def check_answers(self, day, end, text=None):
        """Every sensor's answer for day, as its file must give it with the window ending at end."""
        for num, name in ALL:
            want = H.expected_response(self.stored(name, None), day, end) or b""
            request = H.pack_request(4, text, num) if text else data_request(day, num)
            got = self.c.ask(request, len(want), 5) + self.c.receive(1, 0.05 if want else 0.2)
            self.assertEqual(got, want, "%s, %s" % (name, H.utc_text(day)))

    def test_answers_byte_for_byte(self):
        d = self.start("@2026-12-04 10:03:00 x20")
        self.wait_record_time(self.card, lambda day, slot: slot == TEN + 300)
        self.settle("2026-12-04 10:06:00 x1")  # stands still; waits take real time
        cpu, io = (H.expected_response(self.stored(n, None), D1, TEN + 300) for n in ("CPU0_Temp", "IO_Utilization"))
        data, c = data_request(D1, 1), self.c
        for name, send, answer, logged in [  # what the requester sends, the bytes that come back, (logged, times)
                ("count", count_request(), COUNT.pack(43), None), ("list", list_request(), LIST, None),
                ("data", data, cpu, None), ("data of a utilisation figure", data_request(TEN, 0xFFFD), io, None),
                ("one record in two writes", lambda c: [c.send(p) or time.sleep(0.05) for p in (data[:100], data[100:])],
                 cpu, None),
                ("days not held", data_request(D2, 1) + data_request(D1 - 86400, 1) + H.pack_request(4, "not a date", 1)
                 + H.pack_request(4, b"\xff" * 128, 1), b"", ("Request datatime invalied", 4))]:
            with self.subTest(name):
                send(c) if callable(send) else c.send(send)
                self.assertEqual(c.receive(len(answer), 3.0) + c.receive(1, 0.3 if answer else 1.5), answer)
                self.assertEqual(c.pending(), 0)
                self.assertEqual(logged and len(d.logged(logged[0])), logged and logged[1])
        # 10:00 is reported; 10:05, on the card, is not before 10:10.
        self.assertEqual([H.parse_slots(cpu, H.DATA_HEAD.size)[120].recorded, self.stored("CPU0_Temp").slots[121].recorded],
                         [1, 1])
        self.flood_then_record()

    def flood_then_record(self):
        """Floods as deep as the request FIFO holds: every sensor's day with counts and lists between, answered whole
        and in order from the card's files; then counts while the clock passes 10:10, which is recorded all the same."""
        c = self.c
        sensors = [(n, name[:19]) for n, name, _, _ in LISTED] + H.UTILISATION
        lists = 450 - 2 * len(sensors)
        c.send(b"".join(data_request(D1, n) + count_request() for n, _ in sensors) + list_request() * lists)
        answers = b"".join(H.expected_response(self.stored(name, None), D1, TEN + 300) + COUNT.pack(43)
                           for _, name in sensors) + LIST * lists
        self.assertEqual(c.receive(len(answers), 120) + c.receive(1, 0.3), answers)
        H.replace_file(self.clock, "2026-12-04 10:10:00")
        c.send(count_request() * 450)
        self.assertEqual(c.receive(4 * 450, 120) + c.receive(1, 0.3), COUNT.pack(43) * 450)
        self.wait_record_time(self.card, lambda day, slot: slot == TEN + 600)
        self.assertEqual([self.stored(name).slots[122].recorded for name in ("CPU0_Temp", "IO_Utilization")], [1, 1])

    def test_a_requester_that_never_reads_stalls_nothing(self):
        d, c, junk = self.start("@2026-12-04 10:03:00 x100"), self.c, 0
        for chunk in (bytes(4096), b"\0"):  # the response FIFO full to the brim
            with contextlib.suppress(BlockingIOError):
                while True:
                    junk += os.write(c.resp, chunk)
        c.send(list_request())
        self.assertTrue(d.wait_logged("Write Sensor list to pipe", 20))
        first = H.read_record_time(self.card)[1]

        def two_more_slots():  # asking all the while, with a new FAN1 reading from the next slot on
            if c.pending() < 5 * H.REQUEST.size:
                c.send(list_request())
            if H.read_record_time(self.card)[1] == first + 300:
                d.write_sensors([dict(s, reading=9999.0) if s["num"] == 3 else s for s in MANY], cpu=37, mem=50, io=4)
            return H.read_record_time(self.card)[1] >= first + 600
        self.assertTrue(H.wait_until(two_more_slots, 30, 0.005), "recording stopped behind the full FIFO")
        short = r"D 130 \[StoreData\.cpp:\d+\]\[StoreSensorsDataToFileRecord\]\[\d+\]Write Sensor list to pipe:" \
                r"/var/tmp/pipe_cups_to_restful failed,write len = \d+"
        self.assertTrue(all(re.fullmatch(short, line) for line in d.logged("Write Sensor list to pipe")))
        for name, readings in [("CPU0_Temp", [21.0, 21.0]), ("FAN1", [23.0, 9999.0]), ("IO_Utilization", [4.0, 4.0])]:
            slots = self.stored(name).slots[(first - D1) // 300 + 1:][:2]
            self.assertEqual([(s.recorded, s.reading) for s in slots], [(1, r) for r in readings], name)
        # Read again, the FIFO holds whole lists only.
        self.assertTrue(H.wait_until(lambda: c.pending() == 0, 10))
        self.assertEqual(len(c.receive(junk, 5)), junk)
        backlog = c.receive(1 << 20, 1.0)
        self.assertEqual(backlog, LIST * (len(backlog) // len(LIST)))
        self.assertEqual(c.ask(count_request(), 4), COUNT.pack(43))

    def test_days_restarts_and_a_clock_set_back(self):
        d = self.start("@2026-12-04 23:43:00 x100", MOVING, "first")
        self.wait_record_time(self.card, lambda day, slot: slot == D2 - 600)
        self.settle("2026-12-04 23:52:30 x100")
        # Today's window ends at 23:50, recorded but not reported; the time of day in the date text plays no part.
        for text in (None, "2026-12-04T00:00:00", "2026-12-04T17:42:10", "2026-12-4T23:59:59"):
            self.check_answers(D1, D2 - 600, text)
        self.assertEqual([[s.recorded for s in self.stored(name).slots[285:]] for _, name in ALL], [[1, 1, 0]] * 6)

        # Restarted within the slot of 23:50 with a new reading: recorded from 23:55 on.
        self.stop_daemon(d)
        d = self.start("2026-12-04 23:52:30 x100", [dict(s, reading=7777.0) if s["num"] == 2 else s for s in MOVING],
                       "same slot")
        self.assertEqual(H.read_record_time(self.card), (D1, D2 - 600))
        self.settle("@2026-12-04 23:54:40 x100")
        self.wait_record_time(self.card, lambda day, slot: (day, slot) == (D2, D2))
        self.settle("2026-12-05 00:02:30 x100")
        self.assertEqual([(s.recorded, s.reading) for s in self.stored("FAN1").slots[286:]], [(1, 5400.0), (1, 7777.0)])

        # After midnight: yesterday whole, with the day's extremes; today no slot yet but its extremes; tomorrow
        # nothing.
        for day, end in ((D1, D2), (D2, D2), (D2 + 86400, D2 + 86400)):
            self.check_answers(day, end)

        # The clock set back from 00:02 to 23:50: the later day emptied whole, the earlier one prepared afresh
        # (its slot of 23:50 may be recorded again).
        before = {name: [b.day_key for b in self.stored(name, None).blocks].index(D2) for _, name in ALL}
        self.settle("2026-12-04 23:50:00 x100")
        self.assertEqual(H.read_record_time(self.card), (D1, D2 - 600))
        for _, name in ALL:
            slots = self.stored(name).slots
            self.assertEqual((self.stored(name, None).blocks[before[name]].raw, [(s.recorded, s.slot_time) for s in (
                slots[:286] + slots[287:])]), (bytes(H.BLOCK_SIZE), [(0, D1 + 300 * s) for s in [*range(286), 287]]))
        self.check_answers(D1, D2 - 600)
        self.check_answers(D2, D2)

        # Restarted days later: every file switches at once; the old day stays.
        self.stop_daemon(d)
        kept = {name: self.stored(name).raw for _, name in ALL}
        self.start("2026-12-07 08:00:30 x100", MOVING, "later day")
        self.assertEqual(H.read_record_time(self.card)[0], LATER)
        for _, name in ALL:
            slots = self.stored(name, LATER).slots
            self.assertEqual(([s.slot_time for s in slots], self.stored(name).raw), ([LATER + 300 * s for s in range(288)],
                                                                                    kept[name]))
            self.assertIn([s for s in range(288) if slots[s].recorded], ([], [96]), name)
        self.check_answers(D1, D2)
        self.check_answers(D2, D2)

if __name__ == "__main__":
    unittest.main()
