#!/usr/bin/python3
"""QNAME minimisation (RFC 9156) end to end: the recursor binary inside the lab, its upstream questions
captured on the wire with a packet socket of the lab's namespace, and shown by TRACE.

- www.sub.deep.sec.: deep.sec. is an empty non-terminal of the signed sec., sub.deep.sec. a signed zone
  below it: the root is asked "sec. NS", sec.'s server "deep.sec. NS" (NODATA, which is no denial) and
  "sub.deep.sec. NS", and only sub.deep.sec.'s server the whole name; the answer is validated.
- x.nx.alg13.sec. and x.nx.n3.sec.: the NXDOMAIN for the minimised nx.* ends the question, validated
  from its NSEC or NSEC3 proof (RFC 8020).
- www.refused.test.'s only server refuses: the minimised question's error is counted in /metrics.
- with qname_minimisation = false the root is asked the whole name again.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/qname_minimisation_test.py --binary build/debug/recursor
"""

import os
import re
import socket
import struct
import sys
import threading
import unittest

import dns.exception
import dns.flags
import dns.message
import dns.rcode
import dns.rdatatype

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from forward_test import ConfiguredLabTestCase  # noqa: E402
from resolution_test import LabRecursorTestCase, split_http, http_get  # noqa: E402

NOERROR, NXDOMAIN, SERVFAIL = dns.rcode.NOERROR, dns.rcode.NXDOMAIN, dns.rcode.SERVFAIL
ETH_P_ALL = 0x0003
ROOT_SERVERS = {"198.41.0.4", "170.247.170.2", "192.33.4.12", "199.7.91.13", "192.203.230.10", "192.5.5.241",
                "192.112.36.4", "198.97.190.53", "192.36.148.17", "192.58.128.30", "193.0.14.129", "199.7.83.42",
                "202.12.27.33"}


class Capture:
    """The DNS questions sent over UDP to port 53 in this namespace while it runs: (server, name, type)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.settimeout(0.2)
        self.seen = set()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join()
        self.sock.close()

    def _run(self):
        while not self.stopping.is_set():
            try:
                frame = self.sock.recv(65535)
            except socket.timeout:
                continue
            self._take(frame)

    def _take(self, frame):
        # Loopback frames carry a 14-byte Ethernet header; IPv4 UDP only.
        if len(frame) < 14 + 20 + 8 or frame[12:14] != b"\x08\x00":
            return
        ip = frame[14:]
        header_len = (ip[0] & 0x0F) * 4
        if ip[9] != 17:
            return
        dport = struct.unpack("!H", ip[header_len + 2:header_len + 4])[0]
        if dport != 53:
            return
        try:
            message = dns.message.from_wire(ip[header_len + 8:])
        except dns.exception.DNSException:
            return
        if message.flags & dns.flags.QR or not message.question:
            return
        question = message.question[0]
        self.seen.add((socket.inet_ntoa(ip[16:20]), question.name.to_text().lower(),
                       dns.rdatatype.to_text(question.rdtype)))

    def questions(self):
        return {(name, rdtype) for _, name, rdtype in self.seen}

    def servers_asked(self, name, rdtype):
        return {server for server, asked, t in self.seen if asked == name and t == rdtype}


class MinimisedTest(LabRecursorTestCase):
    """The default: minimised questions, validated from the lab root's key."""

    def trace(self, name, rdtype):
        return e2e_test.control_exchange(self.server.control_path, f"TRACE {name} {rdtype}\n".encode(), timeout=30).decode()

    def fallbacks(self):
        _, _, body = split_http(http_get(self.server.http_port, "/metrics"))
        return {reason: int(count) for reason, count in
                re.findall(r'^dns_qname_minimisation_fallbacks_total\{reason="(\w+)"\} (\d+)$', body.decode(), re.M)}

    def test_each_server_sees_one_label_more_than_its_zone(self):
        with Capture() as capture:
            _, reply, _ = self.ask("www.sub.deep.sec.", ad=True)
        self.assertEqual(reply.rcode(), NOERROR, reply)
        self.assertEqual([r.to_text() for rrset in reply.answer if rrset.rdtype == 1 for r in rrset], ["198.51.100.45"])
        self.assertTrue(reply.flags & dns.flags.AD, "validated through the empty non-terminal")
        asked = capture.questions()
        for question in (("sec.", "NS"), ("deep.sec.", "NS"), ("sub.deep.sec.", "NS"), ("www.sub.deep.sec.", "A")):
            self.assertIn(question, asked)
        full = capture.servers_asked("www.sub.deep.sec.", "A")
        self.assertFalse(full & ROOT_SERVERS, "the root was asked the whole name")
        self.assertFalse(full & capture.servers_asked("deep.sec.", "NS"), "sec.'s server was asked the whole name")
        for server, name, _ in capture.seen:
            if server in ROOT_SERVERS:
                self.assertLessEqual(len(name.rstrip(".").split(".")), 1, name)

    def test_nxdomain_of_a_minimised_ancestor_is_a_validated_denial(self):
        for zone in ("alg13.sec.", "n3.sec."):
            with self.subTest(zone=zone), Capture() as capture:
                name = f"x.nx.{zone}"
                _, reply, _ = self.ask(name, ad=True)
                self.assertEqual(reply.rcode(), NXDOMAIN, reply)
                self.assertTrue(reply.flags & dns.flags.AD, reply)
                self.assertIn((f"nx.{zone}", "NS"), capture.questions())
                self.assertNotIn((name, "A"), capture.questions(), "asked on after the ancestor's NXDOMAIN")

    def test_trace_shows_the_minimised_questions(self):
        traced = self.trace("www.alg13.sec.", "A")
        self.assertRegex(traced, r"\nzone \.: sec\. NS, servers in order: ")
        self.assertRegex(traced, r"\nzone sec\.: alg13\.sec\. NS, servers in order: ")
        self.assertRegex(traced, r"\nzone alg13\.sec\.: www\.alg13\.sec\. A, servers in order: ")
        self.assertNotRegex(traced, r"\nzone (\.|sec\.): www\.alg13\.sec\. A")
        self.assertRegex(traced, r"\nresult: NOERROR, secure")

    def test_a_refused_minimised_question_is_asked_whole_and_counted(self):
        before = self.fallbacks()
        self.assertEqual(set(before), {"server_error", "unusable_answer", "label_limit"})
        with Capture() as capture:
            _, reply, _ = self.ask("x.www.refused.test.")
        self.assertEqual(reply.rcode(), SERVFAIL)
        self.assertIn(("www.refused.test.", "NS"), capture.questions())
        self.assertIn(("x.www.refused.test.", "A"), capture.questions())
        self.assertEqual(self.fallbacks()["server_error"], before["server_error"] + 1)


class NotMinimisedTest(ConfiguredLabTestCase):
    config = "[server]\nqname_minimisation = false\n"

    def test_the_root_is_asked_the_whole_name(self):
        with Capture() as capture:
            _, reply, _ = self.ask("www.alg13.sec.", ad=True)
        self.assertEqual(reply.rcode(), NOERROR)
        self.assertTrue(reply.flags & dns.flags.AD)
        self.assertTrue(capture.servers_asked("www.alg13.sec.", "A") & ROOT_SERVERS)
        self.assertFalse({q for q in capture.questions() if q[1] == "NS"})


if __name__ == "__main__":
    resolution_test.main()
