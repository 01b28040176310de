"""A simulated BMC for Trendkeep's IPMI backend: OpenIPMI's ipmi_sim (Debian's openipmi) on 127.0.0.1 only, its
SDRs written here byte by byte from a list of sensors, its sensors' raw values set through its console.

    sim = Sim(workdir, SENSORS).start()      # a LAN BMC on a free UDP port, its console on a free TCP port
    env = sim.env()                          # TRENDKEEP_IPMI and TRENDKEEP_IPMI_AUTH for the daemon
    sim.set_raw(num, raw)                    # the value the next Get Sensor Reading returns
    sim.set_raw(num, raw, owner=ME, lun=0)   # the same for a sensor of another controller, or of LUN 1
    sim.restart(OTHER_SENSORS)               # a second firmware: a repository of new change stamps
    sim.stop()

A repository is what a real server's is made of: the BMC's own sensors on LUN 0 and LUN 1, a satellite controller's
(the management engine at IPMB address 0x2C, say) that the BMC reaches by bridging, records of system software
(the BIOS's event-only ones), entities and their instances, any unit.  Every controller that owns a sensor is
simulated on the IPMB unless it is named in `absent`: a read of its sensors then fails, as with a controller that
does not answer there (ipmi_sim's Send Message answers 0x83, NAK on write).

What ipmi_sim (OpenIPMI 2.0.33) does not do: bridge to a channel other than 0 (Send Message answers 0xCC, so a
sensor given another channel cannot be read), log in with cipher suites of HMAC-SHA256 (17: it has SHA-1 and MD5
only), hold sensor number 255.  Its change stamps are seconds of the monotonic clock, which ipmitool's `sdr info`
shows as NA; `ipmitool raw 0x0a 0x20` shows them.

As a program, `python3 scripts/ipmisim.py DIR [SPEED]` runs the demo controller (DEMO) until SIGTERM, its values
following a day that passes SPEED times faster than real time, and writes DIR/env (the two settings) once it
answers."""

import math, os, signal, socket, subprocess, sys, time
from collections import namedtuple

USER, PASSWORD = "trendkeep", "Sim-Secret-7"
BMC, ME = 0x20, 0x2C  # IPMB addresses: the BMC, the management engine
BIOS = 0x01  # the owner byte of system software id 0, the BIOS
# kind: "full" (threshold, converted), "discrete" (full record, discrete reading type), "compact" (discrete),
# "event" (event-only record).  Readings are L((m * raw + b * 10**bexp) * 10**rexp), L the linearization lin
# (LINEARIZATIONS); scan=False leaves scanning disabled by the record's initialisation byte; sixbit packs the name
# as 6-bit ASCII.  owner is the owner byte: a controller's IPMB address (bit 0 clear) or a system software id
# (bit 0 set); lun and channel its LUN and channel; entity and instance the entity id and instance; pct the
# percentage bit and rate the rate unit (4: per minute) of the record's units; share the number of sensors a compact
# or event-only record stands for, numbered from num on.
Sensor = namedtuple(
    "Sensor",
    "num name stype unit m b bexp rexp raw kind scan sixbit owner lun channel entity instance " "pct rate lin share",
    defaults=(0, 1, 0, 0, 0, 0, "full", True, False, BMC, 0, 0, 0x07, 1, False, 0, 0, 1),
)
TEMP, VOLT, CURR, FAN, POWER_SUPPLY, PROCESSOR, OTHER = 0x01, 0x02, 0x03, 0x04, 0x08, 0x07, 0x0B  # sensor types
DEG_C, DEG_F, VOLTS, AMPS, WATTS, CFM, RPM, LITRES = 1, 2, 4, 5, 6, 17, 18, 37  # base units
PER_MINUTE = 4  # rate unit
LN = 1  # linearization: natural logarithm
LINEARIZATIONS = [
    lambda x: x,
    math.log,
    math.log10,
    math.log2,
    math.exp,
    lambda x: 10**x,
    lambda x: 2**x,
    lambda x: 1 / x,
    lambda x: x * x,
    lambda x: x * x * x,
    math.sqrt,
    lambda x: x ** (1 / 3),
]


def value(s, raw):
    """The reading the record's formula makes of raw (8-bit unsigned raw values): a logarithm of 0 is -inf."""
    x = (s.m * raw + s.b * 10**s.bexp) * 10**s.rexp
    if s.lin in (1, 2, 3) and x <= 0:
        return -math.inf if x == 0 else math.nan
    return LINEARIZATIONS[s.lin](x)


def id_string(name, sixbit):
    if not sixbit:
        return bytes([0xC0 | len(name)]) + name.encode()
    v = [ord(c) - 0x20 for c in name] + [0] * 3
    packed = b"".join(
        bytes([v[i] | v[i + 1] << 6 & 0xFF, v[i + 1] >> 2 | v[i + 2] << 4 & 0xFF, v[i + 2] >> 4 | v[i + 3] << 2])
        for i in range(0, len(name), 4)
    )[: (6 * len(name) + 7) // 8]
    return bytes([0x80 | len(packed)]) + packed


def sdr(record_id, s):
    """The SDR of sensor s: full (IPMI 2.0 table 43-1), compact (43-2) or event-only (43-3)."""
    key, init, caps = bytes([s.owner, s.channel << 4 | s.lun, s.num]), 0x67 if s.scan else 0x66, 0x68  # scanning on
    ert = 0x01 if s.kind == "full" else 0x6F  # threshold, or sensor-specific discrete
    units = bytes([s.rate << 3 | s.pct, s.unit, 0])  # analog format unsigned, rate, no modifier unit; base unit
    if s.kind == "event":
        body = (
            key + bytes([s.entity, s.instance, s.stype, ert, s.share, 0x00, 0x00, 0x00]) + id_string(s.name, s.sixbit)
        )
    elif s.kind == "compact":
        body = (
            key
            + bytes([s.entity, s.instance, init, caps, s.stype, ert] + [0] * 6)
            + units
            + bytes([s.share, 0, 0, 0, 0, 0, 0, 0])
            + id_string(s.name, s.sixbit)
        )
    else:
        m, b = s.m & 0x3FF, s.b & 0x3FF
        body = (
            key
            + bytes([s.entity, s.instance, init, caps, s.stype, ert, 0, 0, 0, 0, 0, 0])
            + units
            + bytes(
                [
                    s.lin,
                    m & 0xFF,
                    m >> 8 << 6,
                    b & 0xFF,
                    b >> 8 << 6,
                    0,
                    (s.rexp & 0xF) << 4 | s.bexp & 0xF,
                    0,
                    0,
                    0,
                    0,
                    0xFF,
                    0,
                ]
                + [0] * 11
            )
            + id_string(s.name, s.sixbit)
        )
    return bytes([record_id & 0xFF, record_id >> 8, 0x51, {"event": 3, "compact": 2}.get(s.kind, 1), len(body)]) + body


def mc_locator(record_id, address=BMC, name="Sim_BMC"):
    """A management controller device locator (type 0x12): no sensor number in it."""
    body = bytes([address, 0x00, 0xA0, 0x2F, 0, 0, 0, 0x06, 0x01, 0x00]) + id_string(name, False)
    return bytes([record_id & 0xFF, record_id >> 8, 0x51, 0x12, len(body)]) + body


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hex_bytes(data):
    return " ".join("0x%02x" % x for x in data)


class Sim:
    def __init__(self, workdir, sensors, password=PASSWORD, absent=()):
        self.dir, self.sensors, self.password, self.absent, self.proc = (
            workdir,
            list(sensors),
            password,
            set(absent),
            None,
        )
        self.port, self.console_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
        self.ready = None  # when the last start's repository was complete (time.monotonic())
        os.makedirs(os.path.join(workdir, "state"), exist_ok=True)

    def target(self):
        return "lan:127.0.0.1:%d" % self.port

    def env(self, password=None):
        """The daemon's settings, with an auth file of its own (mode 600) holding the password given."""
        path = os.path.join(self.dir, "auth")
        if os.path.lexists(path):
            os.unlink(path)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write("%s\n%s\n" % (USER, self.password if password is None else password))
        return {"TRENDKEEP_IPMI": self.target(), "TRENDKEEP_IPMI_AUTH": path}

    def satellites(self):
        """The controllers other than the BMC that own sensors and are simulated, in address order."""
        owners = {s.owner for s in self.sensors if s.owner & 1 == 0 and s.owner != BMC}
        return sorted(owners - self.absent)

    def emu_lines(self):
        """ipmi_sim's commands that make the controllers and the BMC's repository: the controllers' locators,
        then each sensor's SDR and, where its controller is simulated, the sensor, which takes its settings
        from the SDR added before it."""
        lines = [
            "mc_setbmc 0x20",
            "mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02",
            "sel_enable 0x20 100 0x0a",
            "main_sdr_add 0x20 " + hex_bytes(mc_locator(1)),
        ]
        record_id = 1
        for address in self.satellites():
            record_id += 1
            lines.append("mc_add 0x%02x 0 no-device-sdrs 0x01 1 0 0x01 0x157 0x0b" % address)
            lines.append("main_sdr_add 0x20 " + hex_bytes(mc_locator(record_id, address, "Sim_MC_%02X" % address)))
        simulated = {BMC, *self.satellites()}
        for s in self.sensors:
            record_id += 1
            lines.append("main_sdr_add 0x20 " + hex_bytes(sdr(record_id, s)))
            if s.owner not in simulated:
                continue
            lines.append(
                "sensor_add 0x%02x %d %d 0x%02x 0x%02x%s"
                % (
                    s.owner,
                    s.lun,
                    s.num,
                    s.stype,
                    0x01 if s.kind == "full" else 0x6F,
                    " event-only" if s.kind == "event" else "",
                )
            )
            if s.kind == "full":
                lines.append("sensor_set_value 0x%02x %d %d %d 0" % (s.owner, s.lun, s.num, s.raw))
        return lines + ["mc_enable 0x%02x" % address for address in [BMC, *self.satellites()]]

    def start(self, sensors=None):
        """Starts ipmi_sim (again, on the same ports) and returns once its console answers.  Given sensors, they
        replace the list: a second firmware.  ipmi_sim stamps its repository with the second of the monotonic
        clock at which a record was added, so a start at least a second after the last one was ready shows
        change stamps of its own to a reader that keeps a repository."""
        if sensors is not None:
            self.sensors = list(sensors)
        if self.ready is not None:
            time.sleep(max(0.0, self.ready + 1.0 - time.monotonic()))
        conf, emu = os.path.join(self.dir, "lan.conf"), os.path.join(self.dir, "sim.emu")
        with open(conf, "w") as f:
            f.write(
                'name "trendkeep-sim"\nset_working_mc 0x20\n  startlan 1\n    addr 127.0.0.1 %d\n'
                "    priv_limit admin\n    allowed_auths_user md5\n    allowed_auths_operator md5\n"
                "    allowed_auths_admin md5\n    guid a123456789abcdefa123456789abcdef\n  endlan\n"
                '  user 2 true "%s" "%s" user 10 md5\nconsole 127.0.0.1 %d\n'
                % (self.port, USER, self.password, self.console_port)
            )
        with open(emu, "w") as f:
            f.write("\n".join(self.emu_lines()) + "\n")
        # ipmi_sim writes its log to every console connection: with SIGPIPE ignored (as in Python), one that
        # was just closed costs it a failed write instead of its life.
        with open(os.path.join(self.dir, "sim.log"), "ab") as log:
            self.proc = subprocess.Popen(
                ["ipmi_sim", "-c", conf, "-f", emu, "-s", os.path.join(self.dir, "state"), "-n"],
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=log,
                restore_signals=False,
            )
        deadline = time.monotonic() + 10
        while True:
            try:
                self.console()
                self.ready = time.monotonic()
                return self
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("ipmi_sim did not start: see " + os.path.join(self.dir, "sim.log"))
                time.sleep(0.02)

    def restart(self, sensors=None):
        """Stops ipmi_sim and starts it again, with the sensors given if any."""
        self.stop()
        return self.start(sensors)

    def console(self, *commands):
        """Runs commands on the console.  It also carries ipmi_sim's own log (sessions opened and closed), so
        the end is a command it does not know, whose complaint comes last."""
        with socket.create_connection(("127.0.0.1", self.console_port), timeout=5) as c:
            c.sendall(b"".join(command.encode() + b"\n" for command in commands) + b"tk-end\n")
            got = b""
            while b"Unknown command: tk-end" not in got:
                chunk = c.recv(65536)
                if not chunk:
                    raise OSError("the console closed")
                got += chunk
        refused = [line for line in got.split(b"\n") if b"**" in line and b"tk-end" not in line]
        if refused:
            raise RuntimeError("ipmi_sim refused %r: %r" % (commands, refused))

    def set_raw(self, num, raw, owner=BMC, lun=0):
        self.console("sensor_set_value 0x%02x %d %d %d 0" % (owner, lun, num, raw))

    def set_scanning(self, num, on, owner=BMC, lun=0):
        self.console(
            "sensor_set_event_support 0x%02x %d %d enable %s per-state %s"
            % (owner, lun, num, "scanning" if on else "no-scanning", " ".join(["0" * 15] * 4))
        )

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


# A two-socket server's 40 sensors, as the host platform's built-in table has them, plus a discrete and an
# event-only one: (base, swing) in the sensor's unit; the raw value follows from the record's formula.
def _demo():
    out = []
    temps = [
        ("CPU0_Temp", 52, 9),
        ("CPU1_Temp", 49, 8),
        ("CPU0_VR_Temp", 44, 6),
        ("CPU1_VR_Temp", 43, 6),
        ("DIMM_A0_Temp", 38, 4),
        ("DIMM_B0_Temp", 38, 4),
        ("DIMM_C0_Temp", 37, 4),
        ("DIMM_D0_Temp", 37, 4),
        ("Inlet_Temp", 23, 3),
        ("Outlet_Temp", 36, 6),
        ("PCH_Temp", 48, 5),
        ("NIC_Temp", 55, 5),
        ("PSU1_Temp", 34, 4),
        ("PSU2_Temp", 34, 4),
        ("HDD_Temp", 31, 3),
        ("M2_SSD_Temp", 41, 5),
    ]
    out += [(Sensor(n + 1, name, TEMP, DEG_C), base, swing) for n, (name, base, swing) in enumerate(temps)]
    out += [(Sensor(48 + i, "FAN%d_Speed" % (i + 1), FAN, RPM, m=60), 7200, 1500) for i in range(6)]
    volts = [
        ("P12V", 6, -2, 12.0),
        ("P5V", 3, -2, 5.0),
        ("P3V3", 2, -2, 3.3),
        ("P5V_STBY", 3, -2, 5.0),
        ("P3V3_STBY", 2, -2, 3.3),
        ("CPU0_VCORE", 1, -2, 1.8),
        ("CPU1_VCORE", 1, -2, 1.8),
        ("DIMM_VDDQ_AB", 1, -2, 1.2),
        ("VBAT", 2, -2, 3.0),
    ]
    out += [
        (Sensor(80 + i, name, VOLT, VOLTS, m=m, rexp=r, sixbit=name.isupper()), v, v * 0.02)
        for i, (name, m, r, v) in enumerate(volts)
    ]
    power = [
        ("PSU1_PIN", WATTS, 4, 320, 90),
        ("PSU2_PIN", WATTS, 4, 310, 85),
        ("PSU1_POUT", WATTS, 4, 290, 80),
        ("PSU2_POUT", WATTS, 4, 280, 75),
        ("PSU1_IIN", AMPS, 1, 1.5, 0.4),
        ("Total_Power", WATTS, 4, 600, 170),
        ("CPU_Power", WATTS, 2, 210, 80),
    ]
    out += [
        (Sensor(112 + i, name, CURR if unit == AMPS else OTHER, unit, m=m, rexp=-1 if unit == AMPS else 0), base, swing)
        for i, (name, unit, m, base, swing) in enumerate(power)
    ]
    out += [
        (Sensor(0x8C, "CPU0_Status", PROCESSOR, kind="discrete"), 0, 0),
        (Sensor(0x90, "PSU_Redundancy", POWER_SUPPLY, kind="event"), 0, 0),
    ]
    return out


DEMO_WAVES = _demo()
DEMO = [s for s, _, _ in DEMO_WAVES]


def demo_raw(s, base, swing, t):
    """The raw value of a demo sensor at t (seconds of the local day): a daily cycle peaking at 15:00, and a
    quarter of its swing again over 40 minutes."""
    v = base + swing * (math.cos(2 * math.pi * (t - 54000) / 86400) + 0.25 * math.sin(2 * math.pi * t / 2400))
    return max(0, min(255, round((v / 10**s.rexp - s.b * 10**s.bexp) / s.m)))


def main(workdir, speed=600.0):
    sim = Sim(workdir, [s._replace(raw=demo_raw(s, b, w, 0)) for s, b, w in DEMO_WAVES]).start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        with open(os.path.join(workdir, "env.new"), "w") as f:
            f.write("".join("%s=%s\n" % kv for kv in sim.env().items()))
        os.rename(os.path.join(workdir, "env.new"), os.path.join(workdir, "env"))
        began = time.monotonic()
        while True:  # the day starts at local midnight with the demo's clock
            t = (time.monotonic() - began) * speed
            sim.console(
                *[
                    "sensor_set_value 0x20 0 %d %d 0" % (s.num, demo_raw(s, b, w, t))
                    for s, b, w in DEMO_WAVES
                    if s.kind == "full"
                ]
            )
            time.sleep(1)
    finally:
        sim.stop()


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 600.0)
