"""The daemon's whole job: sampling, recording into the files on the card,
switching days and answering history requests, checked against the files.

Every daemon runs on UTC under libfaketime.  A RunningClock runs the
daemon's clock many times faster than real time; a ClockFile lets the test
stop the clock and set it while the daemon runs.
"""

import os
import time
import unittest

import tkproto as P
from tkharness import ClockFile, RunningClock, epoch_utc, utc_text, wait_until

DAY = epoch_utc("2026-12-04 00:00:00")
NEXT = DAY + 86400
HOUR = 3600

# Readings that move with the daemon's clock, so that slots and days differ.
MOVING = [
    {"num": 1, "name": "CPU0_Temp", "devid": 0x3001,
     "reading": {"base": 50, "swing": 10, "period": 3600, "wobble": 3, "wobble_period": 420}},
    {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": 5400},
    {"num": 3, "name": "PSU_In_Power", "devid": 0x8001,
     "reading": {"base": 320, "swing": -60, "period": 86400, "phase": 50400}},
]
UTIL_DOC = {"cpu": 37, "mem": 50, "io": 4}
SENSORS = [(s["num"], s["name"]) for s in MOVING] + [
    (P.CPU_UTIL, "CPU_Utilization"), (P.MEM_UTIL, "MEM_Utilization"), (P.IO_UTIL, "IO_Utilization")]


class HistoryTestCase(P.ServiceTestCase):
    def clock_file(self, rule):
        return ClockFile(os.path.join(self.workdir, "clock"), rule)

    def settle(self, c):
        """Returns once the store thread has run at least one whole turn
        since this call: two count requests, two turns."""
        for _ in range(2):
            self.assertEqual(len(c.ask(P.count_request(), 4)), 4)

    def sensor_file(self, d, name):
        return P.read_sensor_file(P.sensor_path(d.card, name))

    def assert_answer(self, c, d, num, name, day, end, retries=5):
        """Asks for day of sensor num and compares the answer with what the
        file on the card must give for a window ending at end.  A recording
        that lands between the answer and the reading of the file makes
        the comparison void; it is then asked again."""
        for _ in range(retries):
            before = self.sensor_file(d, name)
            got = c.data(day, num)
            after = self.sensor_file(d, name)
            if before.raw == after.raw:
                break
        self.assertIsNotNone(got, "no answer for %s on %s" % (name, utc_text(day)))
        want = P.expected_response(after, day, end)
        self.assertIsNotNone(want, "%s holds no block for %s" % (name, utc_text(day)))
        if got.raw != want:
            have = P.parse_data(want)
            self.assertEqual(got[:5], have[:5], "%s on %s: head" % (name, utc_text(day)))
            for s in range(P.SLOTS_PER_DAY):
                self.assertEqual(got.slots[s], have.slots[s], "%s on %s: slot %d" % (name, utc_text(day), s))
        return got


class TodaysWindow(HistoryTestCase):
    def test_a_request_at_10_02_reports_the_slots_before_10_00(self):
        ten = DAY + 10 * HOUR
        # Early enough that 09:50, 09:55 and 10:00 are all recorded at their
        # boundaries, not by the first turn after start-up.
        clock = self.clock_file("@%s x100" % utc_text(ten - 12 * 60))
        d = self.start_daemon(clock_file=clock, sensors=MOVING, sensor_doc=UTIL_DOC)
        self.wait_record_time(d.card, lambda day, slot: slot == ten)
        clock.freeze(ten + 150, 100)
        c = self.client()
        self.settle(c)
        for num, name in SENSORS:
            got = self.assert_answer(c, d, num, name, DAY, ten)
            block = P.block_of(self.sensor_file(d, name), DAY)
            # 09:50, 09:55 and 10:00 are on the card; 10:00 is not reported yet.
            self.assertEqual([block.slots[s].recorded for s in (118, 119, 120)], [1, 1, 1], name)
            self.assertEqual([s.recorded for s in got.slots[118:120]], [1, 1], name)
            self.assertEqual([s.slot_time for s in got.slots[:120]], [DAY + 300 * s for s in range(120)])
            self.assertEqual(got.raw[P.DATA_HEAD.size + 120 * P.SLOT.size:], bytes(168 * P.SLOT.size), name)

        # The time of day in the request's text plays no part.
        same = [c.ask(P.pack_request(P.SENSOR_DATA_REQ, text, 1), P.DATA_RESPONSE_SIZE)
                for text in ("2026-12-04T00:00:00", "2026-12-04T17:42:10", "2026-12-4T23:59:59")]
        self.assertEqual(same[0], same[1])
        self.assertEqual(same[0], same[2])

        # From 10:05 on the slot of 10:00 is reported.
        clock.freeze(ten + 300, 100)
        self.wait_record_time(d.card, lambda day, slot: slot == ten + 300)
        for num, name in SENSORS:
            got = self.assert_answer(c, d, num, name, DAY, ten + 300)
            self.assertEqual(got.slots[120].recorded, 1)


class Midnight(HistoryTestCase):
    def test_yesterday_whole_and_today_empty_just_after_midnight(self):
        clock = self.clock_file("@%s x100" % utc_text(NEXT - 13 * 60))
        d = self.start_daemon(clock_file=clock, sensors=MOVING, sensor_doc=UTIL_DOC)
        self.wait_record_time(d.card, lambda day, slot: (day, slot) == (NEXT, NEXT))
        clock.freeze(NEXT + 180, 100)
        c = self.client()
        self.settle(c)
        for num, name in SENSORS:
            f = self.sensor_file(d, name)
            block = P.block_of(f, DAY)
            self.assertEqual([block.slots[s].recorded for s in (286, 287)], [1, 1], name)
            got = self.assert_answer(c, d, num, name, DAY, DAY + 86399)
            # The whole day, every slot as it lies on the card.
            self.assertEqual(got.raw[P.DATA_HEAD.size:], block.raw[P.BLOCK_HEAD.size:], name)
            self.assertEqual(got[1:5], (block.day_max, block.day_min, block.day_max_time, block.day_min_time))
            # Today's window is still empty: no slot, only the day's extremes.
            today = self.assert_answer(c, d, num, name, NEXT, NEXT)
            self.assertEqual(today.raw[P.DATA_HEAD.size:], bytes(P.SLOTS_SIZE))
            self.assertIsNotNone(P.block_of(f, NEXT))

    def test_a_request_for_the_new_day_in_the_first_turn_after_midnight(self):
        clock = self.clock_file("%s x100" % utc_text(NEXT - 60))
        d = self.start_daemon(clock_file=clock, sensors=MOVING, sensor_doc=UTIL_DOC)
        self.wait_record_time(d.card, lambda day, slot: (day, slot) == (DAY, NEXT - 300))
        # At real speed from here: a blocked answer lasts a real second.
        clock.freeze(NEXT - 1, 1)
        c = self.client()
        self.assertEqual(c.count(), 6)
        junk = c.fill_responses()
        # The last turn before midnight takes the count request and blocks
        # on the full FIFO; meanwhile midnight passes and the data request
        # for the new day waits for the next turn, the first of the new day.
        c.send(P.count_request() + P.data_request(NEXT, 1))
        self.assertTrue(wait_until(lambda: c.pending_requests() == P.REQUEST.size, 5))
        clock.freeze(NEXT, 1)
        self.wait_record_time(d.card, lambda day, slot: day == NEXT, timeout=10)
        self.assertEqual(c.pending_requests(), 0)
        self.assertEqual(len(d.logged("Write Sensor count to pipe")), 1)
        # The request was read before the day changed: no block, no answer.
        self.assertEqual(len(d.logged("Request datatime invalied")), 1)
        self.assertFalse(d.logged("Write Sensor data to pipe"))
        c.discard(junk)
        self.assertEqual(c.silence(0.5), b"")

        # One turn later the new day is held.
        self.assert_answer(c, d, 1, "CPU0_Temp", NEXT, NEXT)
        # At midnight exactly, yesterday is reported whole.
        got = self.assert_answer(c, d, 1, "CPU0_Temp", DAY, NEXT)
        self.assertEqual([s.slot_time for s in got.slots], [DAY + 300 * s for s in range(288)])

    def test_clock_set_back_from_0010_to_2350_empties_the_later_day(self):
        clock = self.clock_file("@%s x200" % utc_text(NEXT - 7 * 60))
        d = self.start_daemon(clock_file=clock, sensors=MOVING, sensor_doc=UTIL_DOC)
        self.wait_record_time(d.card, lambda day, slot: slot >= NEXT + 600, timeout=30)
        clock.freeze(NEXT + 630, 100)
        self.wait_record_time(d.card, lambda day, slot: slot == NEXT + 600)
        before = {name: self.sensor_file(d, name) for _, name in SENSORS}
        for name, f in before.items():
            self.assertEqual(P.block_of(f, DAY).slots[287].recorded, 1, name)
            self.assertEqual([s.recorded for s in P.block_of(f, NEXT).slots[:3]], [1, 1, 1], name)

        clock.freeze(NEXT - 600, 100)
        self.wait_record_time(d.card, lambda day, slot: (day, slot) == (DAY, NEXT - 600))
        c = self.client()
        for num, name in SENSORS:
            f = self.sensor_file(d, name)
            later = [i for i, b in enumerate(before[name].blocks) if b.day_key == NEXT][0]
            self.assertEqual(f.blocks[later].raw, bytes(P.BLOCK_SIZE), name)
            self.assertIsNone(P.block_of(f, NEXT), name)
            block = P.block_of(f, DAY)
            stamped = P.stamped_slots(DAY)
            # The day is prepared afresh; only the slot of 23:50 may hold a
            # sample of the turn that found the clock set back.
            self.assertEqual(block.slots[:286] + block.slots[287:], stamped[:286] + stamped[287:], name)
            self.assert_answer(c, d, num, name, DAY, NEXT - 600)
        c.send(P.data_request(NEXT, 1))
        self.assertEqual(c.silence(1.0), b"")


class Restarts(HistoryTestCase):
    def first_run(self):
        """A run that records the slot of 10:00 at its boundary and stops
        within it."""
        clock = RunningClock(DAY + 10 * HOUR - 120, 60)
        d = self.start_daemon(clock=clock, workdir=os.path.join(self.workdir, "first"))
        self.wait_record_time(d.card, lambda day, slot: slot == DAY + 10 * HOUR)
        self.assertEqual(P.block_of(self.sensor_file(d, "FAN1"), DAY).slots[120].recorded, 1)
        self.stop_daemon(d)
        return d.card

    def second_run(self, card, start, fan_reading=5400.0):
        """A run on the same card with its clock stopped at start."""
        sensors = [{"num": 1, "name": "CPU0_Temp", "devid": 0x3001, "reading": 45.5},
                   {"num": 2, "name": "FAN1", "devid": 0x5001, "reading": fan_reading},
                   {"num": 3, "name": "PSU_In_Power", "devid": 0x8001, "reading": 320.0}]
        workdir = os.path.join(self.workdir, "second")
        os.makedirs(workdir)
        clock = ClockFile(os.path.join(workdir, "clock"), "%s x60" % utc_text(start))
        d = self.start_daemon(clock_file=clock, card=card, sensors=sensors, workdir=workdir)
        return clock, d

    def test_restart_within_the_same_slot_records_from_the_next_boundary(self):
        card = self.first_run()
        ten = DAY + 10 * HOUR
        clock, d = self.second_run(card, ten + 150, fan_reading=7777.0)
        self.settle(self.client())
        self.assertEqual(P.read_record_time(card), (DAY, ten))
        fan = P.block_of(self.sensor_file(d, "FAN1"), DAY)
        self.assertEqual(fan.slots[120].reading, 5400.0)
        self.assertEqual(fan.slots[121].recorded, 0)
        clock.freeze(ten + 300, 60)
        self.wait_record_time(card, lambda day, slot: slot == ten + 300)
        fan = P.block_of(self.sensor_file(d, "FAN1"), DAY)
        self.assertEqual(fan.slots[120].reading, 5400.0)
        self.assertEqual((fan.slots[121].recorded, fan.slots[121].reading), (1, 7777.0))

    def test_restart_on_a_later_day_switches_every_file_at_once(self):
        card = self.first_run()
        kept = {name: P.block_of(P.read_sensor_file(P.sensor_path(card, name)), DAY).raw
                for _, name in SENSORS}
        later = DAY + 2 * 86400
        clock, d = self.second_run(card, later + 8 * HOUR + 30)
        self.wait_record_time(card, lambda day, slot: day == later)
        c = self.client()
        for num, name in SENSORS:
            f = self.sensor_file(d, name)
            block = P.block_of(f, later)
            self.assertIsNotNone(block, name)
            self.assertEqual([s.slot_time for s in block.slots], [later + 300 * s for s in range(288)])
            # The first turn may already record 08:00, and nothing else.
            self.assertIn([s for s in range(288) if block.slots[s].recorded], ([], [96]), name)
            self.assertEqual(P.block_of(f, DAY).raw, kept[name], name)
            self.assertIsNone(P.block_of(f, DAY + 86400), name)
            self.assert_answer(c, d, num, name, DAY, DAY + 86399)
        c.send(P.data_request(DAY + 86400, 1))
        self.assertEqual(c.silence(1.0), b"")


class TwoDays(HistoryTestCase):
    SPEED = 1000

    def test_every_request_kind_agrees_with_the_card_across_two_midnights(self):
        clock = RunningClock(NEXT - 10 * 60, self.SPEED)
        d = self.start_daemon(clock=clock, sensors=MOVING, sensor_doc=UTIL_DOC)
        c = self.client()
        third = NEXT + 86400
        listing = b"".join(P.list_item(n, name, cls) for (n, name), cls in
                           zip(SENSORS, (0, 1, 2, 3, 3, 3)))
        rounds = 0
        while clock.now() < third + 10 * 60:
            self.assertEqual(c.ask(P.count_request(), 4), P.COUNT.pack(6))
            self.assertEqual(c.ask(P.list_request(), len(listing)), listing)
            now = clock.now()
            # Clear of midnight, where the test's estimate of the daemon's
            # day may be off by a turn.
            if 600 < now % 86400 < 86400 - 600:
                num, name = SENSORS[rounds % len(SENSORS)]
                today = P.day_key_of(int(now))
                self.assert_answer_today(c, d, num, name, today, clock)
                if today > DAY:
                    self.assert_answer(c, d, num, name, today - 86400, today - 1)
            rounds += 1
            time.sleep(0.2)
        self.wait_record_time(d.card, lambda day, slot: day == third and slot >= third + 600)

        for num, name in SENSORS:
            f = self.sensor_file(d, name)
            self.assertEqual(sorted(b.day_key for b in f.blocks if b.day_key), [DAY, NEXT, third], name)
            full = P.block_of(f, NEXT)
            # At this speed a slot whose five minutes pass while the daemon
            # waits for the CPU or the disk may go unrecorded; a whole hour
            # without a recording is a fault.
            hours = {s // 12 for s in range(288) if full.slots[s].recorded}
            self.assertEqual(sorted(hours), list(range(24)), name)
            self.assertTrue(any(s.recorded for s in P.block_of(f, DAY).slots[286:]), name)
            got = self.assert_answer(c, d, num, name, NEXT, NEXT + 86399)
            self.assertEqual(got.raw[P.DATA_HEAD.size:], full.raw[P.BLOCK_HEAD.size:], name)
            self.assert_answer(c, d, num, name, DAY, DAY + 86399)
        self.stop_daemon(d)

    def assert_answer_today(self, c, d, num, name, today, clock):
        """Asks for today; the window must end at the start of the daemon's
        current five minutes, which the answer shows by its last stamped slot."""
        for _ in range(5):
            before = self.sensor_file(d, name)
            got = c.data(today, num)
            after = self.sensor_file(d, name)
            if before.raw == after.raw:
                break
        self.assertIsNotNone(got, "no answer for today %s" % utc_text(today))
        stamped = [s for s in range(288) if got.slots[s].slot_time]
        self.assertEqual(stamped, list(range(len(stamped))))
        end = today + 300 * len(stamped)
        # The test's estimate of the daemon's time is good to a slot or so,
        # plus what half a real second of scheduling delay is worth.
        self.assertLess(abs(end - clock.now()), 600 + 0.5 * clock.speed, "window end %s" % utc_text(end))
        self.assertEqual(got.raw, P.expected_response(after, today, end))
        return got


if __name__ == "__main__":
    unittest.main()
