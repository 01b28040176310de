"""A requester of the real daemon that never reads its answers stalls neither the recording nor later requests, and a
flood as deep as the request FIFO is answered whole.  (The answers themselves: unit tests, test_tools, test_ipmi.)"""

import contextlib, os, unittest

import tkharness as H
from tkharness import COUNT, COUNT_REQUEST, LIST_REQUEST

D1 = H.epoch_utc("2026-12-04 00:00:00")
DOC = {"cpu": 37, "mem": 50, "io": 4}  # the utilisation figures
SENSORS = H.SMALL_SENSORS
LISTED = [(s["num"], s["name"], cls) for s, cls in zip(SENSORS, (0, 1, 2))] + [(n, m, 3) for n, m in H.UTILISATION]
LIST = b"".join(H.list_item(*item) for item in LISTED)
COUNTED = COUNT.pack(len(LISTED))


class Requests(H.DaemonTestCase):
    def test_a_requester_that_never_reads_stalls_nothing(self):
        self.d = self.daemon(faketime="@2026-12-04 10:03:00 x100", sensors=SENSORS, sensor_doc=DOC).start()
        self.assertTrue(self.d.wait_logged("RecordDir Path", 10))
        c = H.Client()
        self.addCleanup(c.close)
        self.assertTrue(H.wait_until(lambda: c.ask(COUNT_REQUEST, 4) == COUNTED, 20))
        junk = 0
        for chunk in (bytes(4096), b"\0"):  # the response FIFO full to the brim
            with contextlib.suppress(BlockingIOError):
                while True:
                    junk += os.write(c.resp, chunk)
        c.send(LIST_REQUEST)
        self.assertTrue(self.d.wait_logged("Write Sensor list to pipe", 20))
        first = H.read_record_time(self.d.card)[1]

        def two_more_slots():  # asking all the while, with a new FAN1 reading from the next slot on
            if c.pending() < 5 * H.REQUEST.size:
                c.send(LIST_REQUEST)
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
        self.assertEqual(c.ask(COUNT_REQUEST, 4), COUNTED)
        c.send((COUNT_REQUEST + LIST_REQUEST) * 225)
        self.assertEqual(c.receive(225 * len(COUNTED + LIST), 120), (COUNTED + LIST) * 225)


if __name__ == "__main__":
    unittest.main()
