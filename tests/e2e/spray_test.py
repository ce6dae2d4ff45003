#!/usr/bin/python3
"""Upstream sockets under attack, end to end: the recursor binary inside the lab, and a stranger in there
with it who sprays junk UDP at every port of the ephemeral range of the resolver's address.

An upstream socket must take datagrams only from the server it asked, hold nothing an outsider sent, live
no longer than its exchange, and leave from a port drawn at random from the whole ephemeral range
(RFC 5452 §9.2). Each class starts its own recursor; cold names come from the lab's *.wild.test wildcard.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/spray_test.py --binary build/debug/recursor
"""

import math
import multiprocessing
import os
import re
import select
import socket
import struct
import sys
import threading
import time
import unittest

import dns.message
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from e2e_test import http_get, split_http  # noqa: E402

SPRAYER_ADDRESS = "127.0.0.2"  # a third address: neither the resolver's client nor any lab server
JUNK = bytes(range(60))  # 60 bytes that are no DNS message
SPRAY_LIMIT = 3_000_000  # datagrams, whatever the machine's speed
WINDOW = 50  # questions outstanding at once, as the cold benchmark asks them


def ephemeral_range():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = f.read().split()
    return int(low), int(high)


def udp_sockets():
    """{inode: (local port, bytes queued for reading)} of every IPv4 and IPv6 UDP socket of this namespace."""
    found = {}
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        with open(table) as f:
            next(f)
            for line in f:
                fields = line.split()
                port = int(fields[1].rsplit(":", 1)[1], 16)
                queued = int(fields[4].split(":")[1], 16)
                found[int(fields[9])] = (port, queued)
    return found


def socket_inodes(pid):
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue  # closed meanwhile
        if match := re.fullmatch(r"socket:\[(\d+)\]", target):
            inodes.add(int(match.group(1)))
    return inodes


def resolver_udp_sockets(pid):
    """[(local port, bytes queued)] of the UDP sockets `pid` holds open."""
    table = udp_sockets()
    return [table[inode] for inode in socket_inodes(pid) if inode in table]


def spray(target, spare_ports, stop, sent):
    """Junk at every port of the ephemeral range of `target`, in rounds; ports found open (what a UDP scan
    finds in two seconds, since closed ports answer with ICMP; read from the kernel's table here to keep
    the test short) are hit again between rounds. Runs in a process of its own until `stop` is set."""
    low, high = ephemeral_range()
    count = 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind((SPRAYER_ADDRESS, 0))
        sock.setblocking(False)
        spare_ports = set(spare_ports) | {sock.getsockname()[1]}
        every_port = [p for p in range(low, high + 1) if p not in spare_ports]
        while not stop.is_set() and count < SPRAY_LIMIT:
            for batch in (every_port[i : i + 500] for i in range(0, len(every_port), 500)):
                open_ports = [p for p, _ in udp_sockets().values() if low <= p <= high and p not in spare_ports]
                for port in open_ports + batch:
                    try:
                        sock.sendto(JUNK, (target, port))
                        count += 1
                    except OSError:
                        pass  # a full send buffer, or an ICMP error from an earlier datagram
                if stop.is_set():
                    break
    sent.value = count


class Sprayer:
    def __init__(self, target, spare_ports):
        self.stop = multiprocessing.Event()
        self.sent = multiprocessing.Value("q", 0)
        self.process = multiprocessing.Process(target=spray, args=(target, spare_ports, self.stop, self.sent))

    def __enter__(self):
        self.process.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        self.process.join(10)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


def ask_many(port, names, window=WINDOW, timeout=15.0):
    """Asks every name (type A) over one connected UDP socket, `window` at a time.
    Returns ({name: rcode, or None when unanswered}, seconds taken)."""
    rcodes = {name: None for name in names}
    pending = {}  # id -> name
    waiting = iter(enumerate(names))
    started = time.monotonic()
    deadline = started + timeout
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.connect((e2e_test.LOCALHOST, port))
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        exhausted = False
        while time.monotonic() < deadline:
            while not exhausted and len(pending) < window:
                item = next(waiting, None)
                if item is None:
                    exhausted = True
                    break
                index, name = item
                query = dns.message.make_query(name, "A")
                query.id = index
                pending[index] = name
                sock.send(query.to_wire())
            if not pending:
                break
            ready, _, _ = select.select([sock], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            reply = dns.message.from_wire(sock.recv(65535))
            if (name := pending.pop(reply.id, None)) is not None:
                rcodes[name] = reply.rcode()
    return rcodes, time.monotonic() - started


def cold_names(prefix, count):
    return [f"{prefix}-{i}.wild.test." for i in range(count)]


def expected_distinct(draws, choices):
    """Distinct values expected among `draws` uniform draws from `choices` values."""
    return choices * (1 - math.exp(-draws / choices))


class UpstreamQuerySniffer:
    """Collects the source ports of the UDP queries sent to port 53 while it runs (AF_PACKET on lo: every
    upstream datagram of the lab crosses it)."""

    def __init__(self):
        self.ports = []
        self.stop = threading.Event()
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
        self.sock.bind(("lo", 0x0800))  # IPv4 only
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            try:
                frame, address = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            if address[2] == socket.PACKET_OUTGOING:
                continue  # each datagram once, as it comes in
            ip = frame[14:]  # loopback frames carry an all-zero Ethernet header
            if len(ip) < 28 or ip[9] != 17:
                continue
            header_length = (ip[0] & 0x0F) * 4
            source_port, destination_port = struct.unpack("!HH", ip[header_length : header_length + 4])
            if destination_port == 53:
                self.ports.append(source_port)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        self.thread.join()
        self.sock.close()


class SprayTestCase(e2e_test.RecursorTestCase):
    # Cold resolution alone is measured here; validation has its own suite.
    extra_args = ["--disable-dnssec"]

    def spare_ports(self):
        """Ports the spray leaves alone: the resolver's front door and HTTP side."""
        return {self.server.dns_port, self.server.http_port}

    def warm_delegation(self):
        _, reply, _ = resolution_test.ask(self.server.dns_port, "warm.wild.test.")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR)

    def assertAllNoError(self, rcodes):
        unanswered = sum(1 for code in rcodes.values() if code is None)
        failed = {dns.rcode.to_text(code) for code in rcodes.values() if code not in (None, dns.rcode.NOERROR)}
        self.assertEqual((unanswered, failed), (0, set()), "unanswered, and rcodes other than NOERROR")


class ColdUnderSprayTest(SprayTestCase):
    """Junk sprayed at every port of the resolver's address must neither slow cold resolution nor pile up
    in the resolver's sockets. Before upstream sockets were connected and used once, thousands of pooled
    sockets on the wildcard address queued the junk: cold questions slowed tenfold, some failed with
    SERVFAIL, and hundreds of megabytes of kernel memory stayed pinned."""

    def test_cold_resolution_stays_fast_and_nothing_queues(self):
        self.warm_delegation()
        quiet, quiet_seconds = ask_many(self.server.dns_port, cold_names("quiet", 500))
        self.assertAllNoError(quiet)
        with Sprayer(e2e_test.LOCALHOST, self.spare_ports()) as sprayer:
            time.sleep(4.0)  # time to find the ports and fill whatever queues take the junk
            sprayed, sprayed_seconds = ask_many(self.server.dns_port, cold_names("sprayed", 500))
            held = resolver_udp_sockets(self.server.pid)
        print(
            f"\n  500 cold names: {quiet_seconds:.2f} s quiet, {sprayed_seconds:.2f} s sprayed "
            f"({sprayer.sent.value} junk datagrams); {len(held)} UDP sockets open holding "
            f"{sum(q for _, q in held)} bytes",
            file=sys.stderr,
        )
        self.assertGreater(sprayer.sent.value, 100_000, "the spray did not run")
        self.assertAllNoError(sprayed)
        self.assertLess(sprayed_seconds, 3 * quiet_seconds + 2.0)
        self.assertLess(sum(queued for _, queued in held), 64 * 1024, "junk queued in the resolver's sockets")
        self.assertServerAlive()

    def test_no_upstream_socket_outlives_its_exchange(self):
        self.warm_delegation()
        rcodes, _ = ask_many(self.server.dns_port, cold_names("idle", 200))
        self.assertAllNoError(rcodes)
        time.sleep(0.5)  # the last exchanges end; nothing else is asked
        open_ports = {port for port, _ in resolver_udp_sockets(self.server.pid)}
        self.assertEqual(open_ports, {self.server.dns_port}, "UDP sockets beyond the front door")


class SourcePortTest(SprayTestCase):
    """Over thousands of cold questions the upstream source ports spread over the whole ephemeral range as
    uniform draws would. A pool of 4096 long-lived sockets gave about 2550 distinct ports of 4000 queries
    where uniform draws give about 3730."""

    QUERIES = 4000

    def test_source_ports_spread_over_the_ephemeral_range(self):
        self.warm_delegation()
        low, high = ephemeral_range()
        with UpstreamQuerySniffer() as sniffer:
            rcodes, _ = ask_many(self.server.dns_port, cold_names("ports", self.QUERIES), timeout=60.0)
        self.assertAllNoError(rcodes)
        ports = sniffer.ports
        uniform = expected_distinct(len(ports), high - low + 1)
        print(
            f"\n  {len(ports)} upstream queries from {len(set(ports))} distinct ports "
            f"(uniform draws over {low}-{high}: {uniform:.0f})",
            file=sys.stderr,
        )
        self.assertGreaterEqual(len(ports), self.QUERIES)
        self.assertTrue(all(low <= port <= high for port in ports))
        self.assertGreater(len(set(ports)), 0.95 * uniform)


class StrayCounterTest(SprayTestCase):
    """Datagrams from the server asked that answer nothing (another ID, another question, bytes that do not
    parse) are dropped and counted in /metrics."""

    def strays(self):
        _, _, body = split_http(http_get(self.server.http_port, "/metrics"))
        match = re.search(r"^dns_upstream_stray_datagrams_total (\d+)$", body.decode(), re.M)
        self.assertIsNotNone(match, "no stray counter in /metrics")
        return int(match.group(1))

    def test_strays_from_the_server_asked_are_counted(self):
        before = self.strays()
        # wrong-id and other-question send one stray each before the real reply; garbage sends two.
        for name in ("wrong-id.fake.test.", "other-question.fake.test.", "garbage.fake.test."):
            resolution_test.ask(self.server.dns_port, name)
        self.assertGreaterEqual(self.strays() - before, 4)


if __name__ == "__main__":
    resolution_test.main()
