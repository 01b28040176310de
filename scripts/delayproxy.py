"""A slow or lossy network between the daemon and a simulated controller: a UDP proxy on 127.0.0.1 that holds every
datagram for `delay` seconds (which may change at any time) before passing it on, to the controller's port and each
answer back to the socket that last sent one (the daemon uses one session at a time).  Datagrams leave in the order
they came, in both directions together.  With `loss`, each datagram is dropped instead with that probability, either
way, drawn from a random generator seeded with `seed`, so that the same run of datagrams loses the same ones; what
was dropped is counted each way.  The proxy stops after `lifetime` seconds if nobody stops it sooner.

    proxy = DelayProxy(sim.port, delay=0.3).start()           # listens on 127.0.0.1:proxy.port
    proxy = DelayProxy(sim.port, loss=0.05, seed=1).start()   # proxy.dropped_out, proxy.dropped_back
    proxy.stop()

As a program, `python3 scripts/delayproxy.py PORT DELAY [LOSS [SEED]]` puts DELAY seconds each way (and a loss of
LOSS, 0 to 1) in front of the controller on 127.0.0.1:PORT (the simulated BMC of scripts/ipmisim.py, say), prints the
address to give the daemon as TRENDKEEP_IPMI=lan:ADDRESS, runs for an hour or until SIGTERM, and then says how many
datagrams it dropped each way."""

import collections, random, select, signal, socket, sys, threading, time


def loopback_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    return s


class DelayProxy:
    def __init__(self, port, delay=0.0, lifetime=900.0, loss=0.0, seed=0):
        self.target, self.delay, self.end = ("127.0.0.1", port), delay, time.monotonic() + lifetime
        self.loss, self.random = loss, random.Random(seed)
        self.dropped_out = 0  # datagrams dropped on the way to the controller
        self.dropped_back = 0  # and on the way back
        self.outer, self.inner = loopback_socket(), loopback_socket()  # the daemon's side, the controller's
        self.port, self.sender = self.outer.getsockname()[1], None
        self.queue = collections.deque()  # (due, socket to send on, address, datagram), due never decreasing
        self.forwarded, self.last_seen = 0, time.monotonic()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, name="delay-proxy", daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        self.outer.close()
        self.inner.close()

    def quiet_for(self, seconds):
        """Whether nothing came in for that long and nothing is held."""
        return not self.queue and time.monotonic() - self.last_seen >= seconds

    def receive(self, sock):
        datagram, source = sock.recvfrom(65535)
        if sock is self.outer:
            self.sender = source
            towards = (self.inner, self.target)
        elif source == self.target and self.sender is not None:
            towards = (self.outer, self.sender)
        else:
            return
        self.last_seen = time.monotonic()
        if self.loss > 0 and self.random.random() < self.loss:
            if sock is self.outer:
                self.dropped_out += 1
            else:
                self.dropped_back += 1
            return
        due = self.last_seen + self.delay
        if self.queue:
            due = max(due, self.queue[-1][0])
        self.queue.append((due, *towards, datagram))

    def run(self):
        while not self.stopping.is_set() and time.monotonic() < self.end:
            wait = min(0.05, max(0.0, self.queue[0][0] - time.monotonic())) if self.queue else 0.05
            for sock in select.select([self.outer, self.inner], [], [], wait)[0]:
                try:
                    self.receive(sock)
                except OSError:  # an ICMP port unreachable reported on the next receive
                    pass
            while self.queue and self.queue[0][0] <= time.monotonic():
                _, sock, address, datagram = self.queue.popleft()
                try:
                    sock.sendto(datagram, address)
                    self.forwarded += 1
                except OSError:  # nobody listening there: lost, as on a network
                    pass


def main(argv):
    if not 3 <= len(argv) <= 5 or argv[1] in ("-h", "--help"):
        print(
            "usage: python3 scripts/delayproxy.py PORT DELAY [LOSS [SEED]]\n"
            "Forwards UDP on a free port of 127.0.0.1 to 127.0.0.1:PORT, holding every datagram DELAY seconds and\n"
            "dropping each with probability LOSS (0 by default), drawn from a generator seeded with SEED (0)."
        )
        return 0 if len(argv) == 2 else 2
    try:
        loss = float(argv[3]) if len(argv) > 3 else 0.0
        seed = int(argv[4]) if len(argv) > 4 else 0
        if not 0.0 <= loss <= 1.0:
            raise ValueError("LOSS must be from 0 to 1")
        proxy = DelayProxy(int(argv[1]), float(argv[2]), lifetime=3600.0, loss=loss, seed=seed)
    except (ValueError, OSError) as e:
        print("delayproxy: %s" % e, file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, lambda *_: proxy.stopping.set())
    proxy.start()
    print("127.0.0.1:%d" % proxy.port, flush=True)
    try:
        proxy.thread.join()
    except KeyboardInterrupt:
        pass
    proxy.stop()
    print(
        "dropped %d on the way to the controller, %d on the way back" % (proxy.dropped_out, proxy.dropped_back),
        flush=True,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
