#!/usr/bin/env python3
"""Steady load through a relay, for restart_test.sh: what each client sees across an event.

  restart_load.py echo S
      An echo server on 127.0.0.1 ports S and S+1. Each reply is the datagram with the port
      it came from appended, so that a client learns the relay port (its link) the server sees.

  restart_load.py clients P N INTERVAL_MS
      N clients on 127.0.0.1, half of them sending to port P and half to P+1, each a numbered
      datagram every INTERVAL_MS, counting the replies. Commands come one a line on standard
      input, answers go to standard output:
        ready                 once every client has a reply: "ready N"
        begin NAME            an event starts now
        end NAME [ACTIVE_US]  the event is over (ACTIVE_US: the monotonic time, in
                              microseconds, at which the new run of the relay was ready); once
                              every client has a reply to a datagram sent after this, and a
                              second more for the stragglers:
                              "report NAME kept=K changed=C silent=S sent=... lost=... ..."
        hold N                N quiet clients more, each sends one datagram, at most 2,000
                              new ones a second: "held N answered=A ms=T"
        check                 each quiet client sends again: "checked kept=K changed=C
                              silent=S ms=T" (kept: replies from the relay port it had)
        burst N               N new clients within a second, each one datagram: "burst N
                              answered=A ms=T"; then they go
        quit
"""
import os
import selectors
import socket
import sys
import time

HOST = "127.0.0.1"
BUFFER = 4 << 20  # no datagram lost in this tool's own sockets
SETTLE_DEADLINE = 60.0  # seconds after "end" for every client to have a reply
STRAGGLERS = 1.0  # seconds after that for replies still on their way


def udp_socket(port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        s.setsockopt(socket.SOL_SOCKET, option, BUFFER)
    s.bind((HOST, port))
    s.setblocking(False)
    return s


def echo(first_port):
    sockets = [udp_socket(first_port), udp_socket(first_port + 1)]
    selector = selectors.DefaultSelector()
    for s in sockets:
        selector.register(s, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            s = key.fileobj
            while True:
                try:
                    data, source = s.recvfrom(2048)
                except BlockingIOError:
                    break
                try:
                    s.sendto(data + b" %d" % source[1], source)
                except OSError:
                    pass  # a link gone meanwhile: its client sends again


class Client:
    def __init__(self, number, port):
        self.number = number
        self.to = (HOST, port)
        self.socket = udp_socket()
        self.seq = 0  # the last one sent
        self.replied = bytearray(1024)  # replied[seq] = 1
        self.port = None  # the relay port of the last reply
        self.last_reply = None  # when it came
        # The event being watched: replies from then on, their ports, the longest silence.
        self.begin_seq = 0
        self.ports = set()
        self.longest_gap = 0.0

    def send(self):
        self.seq += 1
        if self.seq >= len(self.replied):
            self.replied.extend(bytes(len(self.replied)))
        try:
            self.socket.sendto(b"%d %d" % (self.number, self.seq), self.to)
        except OSError:
            pass  # counted as lost

    def receive(self, now):
        while True:
            try:
                data = self.socket.recv(2048)
            except BlockingIOError:
                return
            except OSError:
                continue
            fields = data.split()
            if len(fields) != 3 or int(fields[0]) != self.number:
                continue
            seq, port = int(fields[1]), int(fields[2])
            if seq > self.seq or self.replied[seq]:
                continue
            self.replied[seq] = 1
            self.port = port
            if seq > self.begin_seq:
                self.ports.add(port)
            if self.last_reply is not None:
                self.longest_gap = max(self.longest_gap, now - self.last_reply)
            self.last_reply = now

    def replies_in(self, first, last):
        return sum(self.replied[first:last + 1])


QUIET_BUFFER = 64 << 10


def touch(sockets, to, per_second, deadline):
    """Each socket sends one datagram (at most per_second a second, None: at once) and waits for
    its reply: the relay port each reply names (None: no reply), and the milliseconds it took."""
    start = time.monotonic()
    ports = [None] * len(sockets)
    selector = selectors.DefaultSelector()
    for i, s in enumerate(sockets):
        selector.register(s, selectors.EVENT_READ, i)
    sent = waiting = 0
    while time.monotonic() - start < deadline:
        due = len(sockets) if per_second is None else int(
            (time.monotonic() - start) * per_second) + 1
        while sent < min(due, len(sockets)):
            try:
                sockets[sent].sendto(b"q %d" % sent, to[sent % 2])
            except OSError:
                pass
            sent += 1
            waiting += 1
        for key, _ in selector.select(0.01):
            try:
                data = key.fileobj.recv(2048)
            except OSError:
                continue
            fields = data.split()
            if len(fields) == 3 and ports[key.data] is None:
                ports[key.data] = int(fields[2])
                waiting -= 1
        if sent == len(sockets) and waiting == 0:
            break
    selector.close()
    return ports, (time.monotonic() - start) * 1000


def quiet_sockets(count):
    sockets = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, QUIET_BUFFER)
        s.bind((HOST, 0))
        s.setblocking(False)
        sockets.append(s)
    return sockets


class Load:
    def __init__(self, port, count, interval):
        self.clients = [Client(n, port + n % 2) for n in range(count)]
        self.interval = interval
        self.selector = selectors.DefaultSelector()
        for client in self.clients:
            self.selector.register(client.socket, selectors.EVENT_READ, client)
        self.selector.register(sys.stdin.fileno(), selectors.EVENT_READ, None)
        self.pending = b""
        self.commands = []
        self.waiting = None  # what waits for every client's reply: (kind, name, since, ...)
        self.to = [(HOST, port), (HOST, port + 1)]
        self.held, self.held_ports = [], []

    def answer(self, line):
        sys.stdout.write(line + "\n")
        sys.stdout.flush()

    def everyone_replied_after(self, seqs):
        return all(c.replies_in(seqs[i] + 1, c.seq) > 0 for i, c in enumerate(self.clients))

    def command(self, words, now):
        if not words:
            return True
        if words[0] == "quit":
            return False
        if words[0] == "ready":
            self.waiting = ["ready", None, now, [0] * len(self.clients)]
        elif words[0] == "begin":
            self.begin_name, self.begin_time = words[1], now
            for c in self.clients:
                c.begin_seq, c.ports, c.longest_gap = c.seq, set(), 0.0
                c.port_before = c.port
            self.answer("begun " + words[1])
        elif words[0] == "hold":
            self.held = quiet_sockets(int(words[1]))
            self.held_ports, ms = touch(self.held, self.to, 2000, SETTLE_DEADLINE)
            answered = sum(p is not None for p in self.held_ports)
            self.answer("held %d answered=%d ms=%.0f" % (len(self.held), answered, ms))
        elif words[0] == "check":
            ports, ms = touch(self.held, self.to, None, SETTLE_DEADLINE)
            kept = sum(p is not None and p == q for p, q in zip(ports, self.held_ports))
            silent = sum(p is None for p in ports)
            self.answer("checked kept=%d changed=%d silent=%d ms=%.0f"
                        % (kept, len(ports) - kept - silent, silent, ms))
        elif words[0] == "burst":
            burst = quiet_sockets(int(words[1]))
            ports, ms = touch(burst, self.to, len(burst), SETTLE_DEADLINE)
            self.answer("burst %d answered=%d ms=%.0f"
                        % (len(burst), sum(p is not None for p in ports), ms))
            for s in burst:
                s.close()
        elif words[0] == "end":
            active = int(words[2]) / 1e6 if len(words) > 2 and words[2].isdigit() else None
            self.waiting = ["end", words[1], now, [c.seq for c in self.clients], active]
        return True

    def check_waiting(self, now):
        kind, name, since, seqs = self.waiting[:4]
        settled = self.everyone_replied_after(seqs)
        if kind == "ready":
            if settled:
                self.answer("ready %d" % len(self.clients))
                self.waiting = None
            elif now - since > SETTLE_DEADLINE:
                self.answer("ready-failed %d" % sum(c.port is not None for c in self.clients))
                self.waiting = None
            return
        if len(self.waiting) == 5:  # not settled yet
            if settled or now - since > SETTLE_DEADLINE:
                self.waiting += [now, [c.seq for c in self.clients]]
            return
        settled_at, cut = self.waiting[5], self.waiting[6]
        if now - settled_at < STRAGGLERS:
            return
        self.report(name, seqs, cut, self.waiting[4])
        self.waiting = None

    # `ended`: each client's last datagram sent before the event ended; `cut`: before it settled.
    def report(self, name, ended, cut, active):
        kept, changed, silent = 0, [], []
        sent = replied = 0
        for i, c in enumerate(self.clients):
            sent += cut[i] - c.begin_seq
            replied += c.replies_in(c.begin_seq + 1, cut[i])
            if c.replies_in(ended[i] + 1, cut[i]) == 0:
                silent.append(str(c.number))
            elif c.ports == {c.port_before}:
                kept += 1
            else:
                ports = ",".join(str(p) for p in sorted(c.ports - {c.port_before}))
                changed.append("%d:%s>%s" % (c.number, c.port_before, ports))
        ready = "-" if active is None else "%.0f" % ((active - self.begin_time) * 1000)
        gap = max(c.longest_gap for c in self.clients)
        self.answer(
            "report %s kept=%d changed=%d silent=%d sent=%d replied=%d lost=%d gap_ms=%.0f "
            "ready_ms=%s changed_clients=%s silent_clients=%s"
            % (name, kept, len(changed), len(silent), sent, replied, sent - replied, gap * 1000,
               ready, ";".join(changed) or "-", ",".join(silent) or "-"))

    def run(self):
        next_send = time.monotonic()
        while True:
            now = time.monotonic()
            if now >= next_send:
                for c in self.clients:
                    c.send()
                # Late by more than a turn (a busy host): no burst to catch up.
                next_send = max(next_send + self.interval, now)
            for key, _ in self.selector.select(max(0.0, next_send - time.monotonic())):
                now = time.monotonic()
                if key.data is not None:
                    key.data.receive(now)
                    continue
                chunk = os.read(sys.stdin.fileno(), 4096)
                if not chunk:
                    return  # the script has gone
                self.pending += chunk
                while b"\n" in self.pending:
                    line, self.pending = self.pending.split(b"\n", 1)
                    self.commands.append(line.decode().split())
            now = time.monotonic()
            if self.waiting is not None:
                self.check_waiting(now)
            while self.waiting is None and self.commands:
                if not self.command(self.commands.pop(0), now):
                    return


def main():
    # As many sockets as this process may have: the quiet clients take thousands.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if sys.argv[1:2] == ["echo"] and len(sys.argv) == 3:
        echo(int(sys.argv[2]))
    elif sys.argv[1:2] == ["clients"] and len(sys.argv) == 5:
        Load(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]) / 1000).run()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
