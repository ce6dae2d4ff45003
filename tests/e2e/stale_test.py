#!/usr/bin/python3
"""Serve-stale (RFC 8767) end to end: the recursor binary inside the lab, configured from a file with
serve_stale = true and answers kept at most 2 s, so that they expire while the test runs.

The servers of glue.test. and neg.test. (10.53.2.1, 10.53.2.2) go silent: an iptables DROP in the INPUT
chain of the lab's namespace swallows every packet to them (in OUTPUT the sender would see EPERM and fail
at once, which is not silence). Their names, expired since, are answered from the stale copies
within the client response timer (1.8 s, RFC 8767 §5) with TTL 30 and EDE 3 (Stale Answer), or EDE 19
(Stale NXDOMAIN Answer) for the NXDOMAIN; once the servers answer again, fresh answers without EDE.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/stale_test.py --binary build/debug/recursor
"""

import os
import re
import sys
import time
import unittest

import dns.edns
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from forward_test import ConfiguredLabTestCase  # noqa: E402

EDE_STALE_ANSWER, EDE_STALE_NXDOMAIN = 3, 19
CLIENT_RESPONSE_TIMER = 1.8
SILENCED = ("10.53.2.1", "10.53.2.2")  # ns1.glue.test and ns2.glue.test: glue.test., neg.test.
RULE_COMMENT = "recursor-stale-silence"


def ede_codes(reply):
    return [o.code for o in reply.options if isinstance(o, dns.edns.EDEOption)]


class ServeStaleTest(ConfiguredLabTestCase):
    config = """[server]
serve_stale = true
serve_stale_max_age = 3600
cache_max_ttl = 2
cache_max_negative_ttl = 2
"""

    def silence(self):
        for address in SILENCED:
            rule = ["INPUT", "-d", address, "-j", "DROP", "-m", "comment", "--comment", RULE_COMMENT]
            e2e_test.run_tool(["iptables", "-w", "-A", *rule])
            self.addCleanup(e2e_test.run_tool, ["iptables", "-w", "-D", *rule])

    def counter(self, name):
        _, _, body = e2e_test.split_http(e2e_test.http_get(self.server.http_port, "/metrics"))
        return int(re.search(rf"\n{name} (\d+)\n", "\n" + body.decode()).group(1))

    def test_silent_servers_leave_their_names_answered_stale(self):
        for name in ("www.glue.test.", "nx.neg.test."):
            _, reply, _ = self.ask(name)
            self.assertEqual(ede_codes(reply), [], f"{name} fresh")
        stale_before = self.counter("dns_stale_answers_total")
        self.silence()
        time.sleep(3)  # both expired

        _, reply, elapsed = self.ask("www.glue.test.", timeout=5)
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR, reply)
        self.assertEqual(resolution_test.rrsets(reply.answer), [("www.glue.test.", "A", 30, ["192.0.2.1"])])
        self.assertEqual(ede_codes(reply), [EDE_STALE_ANSWER])
        self.assertLess(elapsed, CLIENT_RESPONSE_TIMER + 0.5, "the client response timer")
        self.assertGreater(elapsed, CLIENT_RESPONSE_TIMER - 0.3, "the servers had their chance first")

        _, reply, elapsed = self.ask("nx.neg.test.", timeout=5)
        self.assertEqual(reply.rcode(), dns.rcode.NXDOMAIN, reply)
        self.assertEqual(ede_codes(reply), [EDE_STALE_NXDOMAIN])
        self.assertLess(elapsed, CLIENT_RESPONSE_TIMER + 0.5)
        self.assertGreater(elapsed, CLIENT_RESPONSE_TIMER - 0.3)
        self.assertEqual(self.counter("dns_stale_answers_total") - stale_before, 2)

        # Never heard of before the silence: nothing stale to serve.
        _, reply, _ = self.ask("txt.glue.test.", "TXT", timeout=15)
        self.assertEqual(reply.rcode(), dns.rcode.SERVFAIL, reply)

        self.doCleanups()  # the servers answer again
        deadline = time.monotonic() + 15
        while True:
            _, reply, _ = self.ask("www.glue.test.", timeout=5)
            if ede_codes(reply) == [] or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.assertEqual(ede_codes(reply), [], "fresh again")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR, reply)
        self.assertStillServing()


if __name__ == "__main__":
    resolution_test.main()
