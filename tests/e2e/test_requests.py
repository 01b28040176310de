"""The request service of the real daemon through its two FIFOs: the count, the list, data answers checked against
known readings and against the offline reader's dump of the same card, a flood as deep as the request FIFO, and a
requester that never reads.  The tests set the daemon's clock (libfaketime)."""

import contextlib, os, unittest

import tkharness as H
from tkharness import COUNT, count_request, data_request, list_request

D1 = H.epoch_utc("2026-12-04 00:00:00")
TEN = D1 + 10 * 3600
DOC = {"cpu": 37, "mem": 50, "io": 4}  # the utilisation figures
SENSORS = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": 45.5},
    {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": 5400},
    {"num": 3, "name": "PSU_In_Power_Left_Supply", "devid": 0x8001, "reading": 320.0},
    {"num": 4, "name": "No_Device_Id", "reading": -1.25},
]
# Number, name, class, reading of what is listed, in this order: each sensor with the class of its device id (none:
# 0), names cut at 16 bytes; the utilisation figures last, of class 3.  (The unit tables have the list's rules.)
LISTED = [(1, "CPU0_Temp", 0, 45.5), (2, "FAN1", 1, 5400.0), (3, "PSU_In_Power_Left_Supply", 2, 320.0)]
LISTED += [(4, "No_Device_Id", 0, -1.25), (0xFFFF, "CPU_Utilization", 3, 37.0)]
LISTED += [(0xFFFE, "MEM_Utilization", 3, 50.0), (0xFFFD, "IO_Utilization", 3, 4.0)]
LIST = b"".join(H.list_item(num, name, cls) for num, name, cls, _ in LISTED)
COUNTED = COUNT.pack(len(LISTED))


class Requests(H.DaemonTestCase):
    def start(self, rule):
        """A daemon with its clock at rule; returns a requester once its list is whole."""
        self.clock = os.path.join(self.workdir, "clock")
        H.replace_file(self.clock, rule)
        self.d = self.daemon(clock_file=self.clock, sensors=SENSORS, sensor_doc=DOC).start()
        self.assertTrue(self.d.wait_logged("RecordDir Path", 10))
        c = H.Client()
        self.addCleanup(c.close)
        self.assertTrue(H.wait_until(lambda: c.ask(count_request(), 4) == COUNTED, 20))
        return c

    def test_answers_as_the_card_holds(self):
        c = self.start("@2026-12-04 10:03:00 x20")
        self.wait_record_time(self.d.card, lambda day, slot: slot == TEN + 300)
        H.replace_file(self.clock, "2026-12-04 10:06:00")  # stands still
        self.assertEqual(c.ask(count_request(), 4), COUNTED)
        self.assertEqual(c.ask(list_request(), len(LIST)), LIST)
        for num, name, _, reading in LISTED:
            with self.subTest(name):
                answer = c.ask(data_request(D1, num), H.DATA_RESPONSE_SIZE)
                self.assertEqual(H.DATA_HEAD.unpack_from(answer)[:3], (num, reading, reading))
                # The slots of 10:00 and 10:05 are on the card; the answer holds 10:00 only, as 10:05 is not over.
                on_card = H.card_days(self.d.card, num)[D1]
                self.assertEqual(on_card, [H.Slot(1, t, *[reading] * 4) for t in (TEN, TEN + 300)])
                self.assertEqual(H.answered_slots(answer), on_card[:1])
        self.assertEqual(c.pending(), 0)

        # A flood as deep as the request FIFO holds, the clock at 10:10: answered whole and in order, and the turn of
        # 10:10 taken all the same.
        H.replace_file(self.clock, "2026-12-04 10:10:00")
        c.send((count_request() + list_request()) * 225)
        flood = (COUNTED + LIST) * 225
        self.assertEqual(c.receive(len(flood), 120), flood)
        self.wait_record_time(self.d.card, lambda day, slot: slot == TEN + 600)
        self.assertEqual(c.receive(1, 0.3), b"")

    def test_a_requester_that_never_reads_stalls_nothing(self):
        c = self.start("@2026-12-04 10:03:00 x100")
        junk = 0
        for chunk in (bytes(4096), b"\0"):  # the response FIFO full to the brim
            with contextlib.suppress(BlockingIOError):
                while True:
                    junk += os.write(c.resp, chunk)
        c.send(list_request())
        self.assertTrue(self.d.wait_logged("Write Sensor list to pipe", 20))
        first = H.read_record_time(self.d.card)[1]

        def two_more_slots():  # asking all the while, with a new FAN1 reading from the next slot on
            if c.pending() < 5 * H.REQUEST.size:
                c.send(list_request())
            if H.read_record_time(self.d.card)[1] == first + 300:
                self.d.write_sensors([dict(s, reading=9999.0) if s["num"] == 2 else s for s in SENSORS], **DOC)
            return H.read_record_time(self.d.card)[1] >= first + 600

        self.assertTrue(H.wait_until(two_more_slots, 30, 0.005), "recording stopped behind the full FIFO")
        short = r"D 130 \[StoreData\.cpp:\d+\]\[StoreSensorsDataToFileRecord\]\[\d+\]Write Sensor list to pipe:"
        short += r"/var/tmp/pipe_cups_to_restful failed,write len = \d+"
        for line in self.d.logged("Write Sensor list to pipe"):
            self.assertRegex(line, "^" + short + "$")
        for num, readings in [(1, [45.5, 45.5]), (2, [5400.0, 9999.0]), (0xFFFD, [4.0, 4.0])]:
            slots = [slot for slot in H.card_days(self.d.card, num)[D1] if slot.slot_time > first]
            want = [(first + 300, readings[0]), (first + 600, readings[1])]
            self.assertEqual([(slot.slot_time, slot.reading) for slot in slots[:2]], want, num)
        # Read again, the FIFO holds whole lists only.
        self.assertTrue(H.wait_until(lambda: c.pending() == 0, 10))
        self.assertEqual(len(c.receive(junk, 5)), junk)
        backlog = c.receive(1 << 20, 1.0)
        self.assertEqual(backlog, LIST * (len(backlog) // len(LIST)))
        self.assertEqual(c.ask(count_request(), 4), COUNTED)


if __name__ == "__main__":
    unittest.main()
