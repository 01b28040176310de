"""A slow network between the daemon and a simulated controller: a UDP proxy on 127.0.0.1 that holds every datagram
for `delay` seconds before passing it on, to the controller's port and each answer back to its sender.

    proxy = DelayProxy(sim.port, delay=0.3).start()   # listens on 127.0.0.1:proxy.port
    proxy.delay = 0.0                                  # may change at any time; a datagram keeps the delay it got
    proxy.stop()

Datagrams leave in the order they came, in both directions together: one never overtakes another, not even when
the delay is shortened.  Every sender (every socket of the daemon, one a session) gets its own socket towards the
controller, so that each answer goes back to the socket that asked.  The proxy stops after `lifetime` seconds if
nobody stops it sooner."""

import collections, select, socket, threading, time

class DelayProxy:
    MAX_DATAGRAM = 65535
    MAX_SENDERS = 64  # the oldest sender's socket is closed beyond this many

    def __init__(self, port, delay=0.0, lifetime=900.0):
        self.target, self.delay, self.lifetime = ("127.0.0.1", port), delay, lifetime
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.listener.bind(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.upstream = collections.OrderedDict()  # sender's address -> socket towards the controller
        self.queue = collections.deque()  # (due, socket to send on, address, datagram), due never decreasing
        self.forwarded = 0  # datagrams passed on, both directions
        self.last_seen = time.monotonic()  # when the last datagram came in
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, name="delay-proxy", daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        if self.thread.is_alive():
            self.thread.join(5)
        for s in [self.listener, *self.upstream.values()]:
            s.close()
        self.upstream.clear()

    def towards_controller(self, sender):
        s = self.upstream.get(sender)
        if s is None:
            if len(self.upstream) >= self.MAX_SENDERS:
                self.upstream.popitem(last=False)[1].close()
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            self.upstream[sender] = s
        return s

    def quiet_for(self, seconds):
        """Whether nothing came in for that long and nothing is held."""
        return not self.queue and time.monotonic() - self.last_seen >= seconds

    def hold(self, sock, address, datagram):
        self.last_seen = time.monotonic()
        due = self.last_seen + self.delay
        if self.queue:
            due = max(due, self.queue[-1][0])
        self.queue.append((due, sock, address, datagram))

    def receive(self, sock):
        if sock is self.listener:
            datagram, sender = sock.recvfrom(self.MAX_DATAGRAM)
            self.hold(self.towards_controller(sender), self.target, datagram)
            return
        datagram, source = sock.recvfrom(self.MAX_DATAGRAM)
        sender = next((a for a, s in self.upstream.items() if s is sock), None)
        if source == self.target and sender is not None:
            self.hold(self.listener, sender, datagram)

    def send_due(self):
        now = time.monotonic()
        while self.queue and self.queue[0][0] <= now:
            _, sock, address, datagram = self.queue.popleft()
            try:
                sock.sendto(datagram, address)
            except OSError:  # a socket closed meanwhile, or nobody listening: lost, as on a network
                continue
            self.forwarded += 1

    def run(self):
        end = time.monotonic() + self.lifetime
        while not self.stopping.is_set() and time.monotonic() < end:
            wait = 0.05
            if self.queue:
                wait = min(wait, max(0.0, self.queue[0][0] - time.monotonic()))
            sockets = [self.listener, *self.upstream.values()]
            try:
                readable = select.select(sockets, [], [], wait)[0]
            except (OSError, ValueError):  # a socket closed by stop()
                break
            for sock in readable:
                try:
                    self.receive(sock)
                except OSError:  # e.g. an ICMP port unreachable reported on the next receive
                    pass
            self.send_due()
