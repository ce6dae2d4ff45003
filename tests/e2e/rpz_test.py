#!/usr/bin/python3
"""Response policy zones end to end: the recursor binary inside the lab, two [rpz:] sections in its
configuration file, each trigger and action asked as a client would, over UDP and TCP.

- first.rpz. holds question-name rules on wild.test. (exact and wildcard; every name of wild.test.
  resolves to 192.0.2.80 and 2001:db8::80) and response-IP rules on glue.test.'s addresses;
- second.rpz. comes after it: a name both zones list is decided by the first, a name only the second
  lists by the second.
A rewritten reply has AA=0 and AD=0, and EDE 15 (Blocked) or 17 (Filtered) for an EDNS client.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/rpz_test.py --binary build/debug/recursor
"""

import os
import shutil
import socket
import sys
import unittest

import dns.edns
import dns.flags
import dns.message
import dns.rcode
import dns.rdatatype

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
from e2e_test import http_get, split_http  # noqa: E402
from resolution_test import LabRecursorTestCase, ask  # noqa: E402

NOERROR, NXDOMAIN = dns.rcode.NOERROR, dns.rcode.NXDOMAIN
BLOCKED, FILTERED = 15, 17
HEAD = "$TTL 60\n@ SOA ns.rpz. admin.rpz. 1 3600 600 86400 60\n@ NS ns.rpz.\n"

FIRST = HEAD + """; question names
nx.wild.test            CNAME .
*.blocked.wild.test     CNAME .
nodata.wild.test        CNAME *.
pass.wild.test          CNAME rpz-passthru.
drop.wild.test          CNAME rpz-drop.
tcp.wild.test           CNAME rpz-tcp-only.
local.wild.test         A     192.0.2.200
local.wild.test         AAAA  2001:db8::200
local.wild.test         TXT   "held by policy"
alias.wild.test         CNAME exact.wild.test.
; response IP
32.1.2.0.192.rpz-ip     CNAME .
32.2.2.0.192.rpz-ip     CNAME *.
32.3.2.0.192.rpz-ip     CNAME rpz-drop.
32.77.2.0.192.rpz-ip    CNAME rpz-tcp-only.
32.90.2.0.192.rpz-ip    A     192.0.2.201
120.zz.db8.2001.rpz-ip  CNAME .
"""
SECOND = HEAD + """pass.wild.test          CNAME .
order.wild.test         CNAME .
32.81.2.0.192.rpz-ip    CNAME *.
"""

# name, type, transport, expected (rcode, answer as "TYPE data" strings, EDE) or None for no reply,
# TC, the policy zone that decides (None: no rule).
CASES = [
    # The first two hits are the first two log lines (at most ten a second are written).
    ("www.glue.test.", "A", "udp", (NXDOMAIN, [], BLOCKED), False, "first"),  # response IP, /32
    ("nx.wild.test.", "A", "udp", (NXDOMAIN, [], BLOCKED), False, "first"),  # question name, exact
    ("a.blocked.wild.test.", "A", "udp", (NXDOMAIN, [], BLOCKED), False, "first"),  # wildcard
    ("blocked.wild.test.", "A", "udp", (NOERROR, ["A 192.0.2.80"], None), False, None),  # not below itself
    ("nodata.wild.test.", "A", "udp", (NOERROR, [], BLOCKED), False, "first"),
    ("pass.wild.test.", "A", "udp", (NOERROR, ["A 192.0.2.80"], None), False, "first"),  # beats second's NX
    ("order.wild.test.", "A", "udp", (NXDOMAIN, [], BLOCKED), False, "second"),
    ("drop.wild.test.", "A", "udp", None, False, "first"),
    ("drop.wild.test.", "A", "tcp", None, False, "first"),
    ("tcp.wild.test.", "A", "udp", (NOERROR, [], None), True, "first"),
    ("tcp.wild.test.", "A", "tcp", (NOERROR, ["A 192.0.2.80"], None), False, "first"),
    ("local.wild.test.", "A", "udp", (NOERROR, ["A 192.0.2.200"], FILTERED), False, "first"),
    ("local.wild.test.", "AAAA", "udp", (NOERROR, ["AAAA 2001:db8::200"], FILTERED), False, "first"),
    ("local.wild.test.", "TXT", "tcp", (NOERROR, ['TXT "held by policy"'], FILTERED), False, "first"),
    ("local.wild.test.", "MX", "udp", (NOERROR, [], FILTERED), False, "first"),
    # A local CNAME is followed by resolving its target (not judged again by policy), then from the cache.
    ("alias.wild.test.", "A", "udp", (NOERROR, ["A 192.0.2.81", "CNAME exact.wild.test."], FILTERED), False, "first"),
    ("mail.glue.test.", "A", "udp", (NOERROR, [], BLOCKED), False, "first"),
    ("sip.glue.test.", "A", "udp", None, False, "first"),
    ("victim.glue.test.", "A", "udp", (NOERROR, [], None), True, "first"),
    ("victim.glue.test.", "A", "tcp", (NOERROR, ["A 192.0.2.77"], None), False, "first"),
    ("zero.glue.test.", "A", "udp", (NOERROR, ["A 192.0.2.201"], FILTERED), False, "first"),  # never cached
    ("any.wild.test.", "AAAA", "udp", (NXDOMAIN, [], BLOCKED), False, "first"),  # IPv6 /120
    ("exact.wild.test.", "A", "udp", (NOERROR, [], BLOCKED), False, "second"),
]
SILENCE = 1.5  # seconds a dropped question is waited on


def answers(reply):
    return sorted(f"{dns.rdatatype.to_text(rrset.rdtype)} {r.to_text()}" for rrset in reply.answer for r in rrset)


def extended_errors(reply):
    return [o.code for o in reply.options if o.otype == dns.edns.EDE]


def tcp_silence_then_answer(port, dropped, then):
    """Asks `dropped` and then `then` on one connection: the first gets nothing, the second its answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=SILENCE) as sock:
        for name, rdtype in (dropped, then):
            wire = dns.message.make_query(name, rdtype, use_edns=0).to_wire()
            sock.sendall(len(wire).to_bytes(2, "big") + wire)
        stream = sock.makefile("rb")
        length = int.from_bytes(stream.read(2), "big")
        return dns.message.from_wire(stream.read(length))


class ResponsePolicyTest(LabRecursorTestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir(cls.__name__)
        files = {}
        for zone, text in (("first", FIRST), ("second", SECOND)):
            files[zone] = os.path.join(cls.tmpdir, f"{zone}.rpz")
            with open(files[zone], "w") as out:
                out.write(text)
        config = os.path.join(cls.tmpdir, "recursor.conf")
        with open(config, "w") as out:
            out.write(f"[rpz:first.rpz.]\nfile = {files['first']}\n\n[rpz:second.rpz.]\nfile = {files['second']}\n")
        cls.server = e2e_test.Recursor(e2e_test.standard_args(cls.tmpdir) + cls.extra_args + ["--config", config],
                                       env=e2e_test.child_env())

    def test_each_trigger_and_action(self):
        hits = {"first": 0, "second": 0}
        for name, rdtype, transport, expected, truncated, zone in CASES:
            # A UDP answer is asked twice: resolved, then from the cache.
            for round in ("fresh", "cached") if transport == "udp" and expected else ("fresh",):
                with self.subTest(name=name, rdtype=rdtype, transport=transport, round=round):
                    if zone:
                        hits[zone] += 1
                    if expected is None and transport == "tcp":
                        # The connection gets nothing for that question, and goes on serving.
                        reply = tcp_silence_then_answer(self.server.dns_port, (name, rdtype), ("www.wild.test.", "A"))
                        self.assertEqual(answers(reply), ["A 192.0.2.80"])
                        continue
                    if expected is None:
                        with self.assertRaisesRegex(AssertionError, "no reply"):
                            ask(self.server.dns_port, name, rdtype, timeout=SILENCE)
                        continue
                    query, reply, _ = ask(self.server.dns_port, name, rdtype, ad=True, tcp=transport == "tcp")
                    rcode, answer, ede = expected
                    self.assertEqual(dns.rcode.to_text(reply.rcode()), dns.rcode.to_text(rcode))
                    self.assertReplyShape(query, reply)  # AA=0, AD=0 though asked with AD
                    self.assertEqual(answers(reply), answer)
                    self.assertEqual(bool(reply.flags & dns.flags.TC), truncated)
                    self.assertEqual(extended_errors(reply), [ede] if ede else [])

        body = split_http(http_get(self.server.http_port, "/metrics"))[2].decode()
        for zone, count in hits.items():
            self.assertIn(f'dns_rpz_hits_total{{zone="{zone}.rpz."}} {count}\n', body)
        log = self.server.stderr_text()
        self.assertIn("policy first.rpz. nxdomain for www.glue.test. A (response IP)", log)
        self.assertIn("policy first.rpz. nxdomain for nx.wild.test. A", log)
        self.assertRegex(log, r"policy zone first\.rpz\. loaded from .*first\.rpz: 8 question-name rules, 6 response-IP")


class BadPolicyFileTest(unittest.TestCase):
    """A policy file that cannot be used stops start-up with "error: FILE:LINE: problem"."""

    def test_start_up_stops_naming_file_and_line(self):
        tmpdir = e2e_test.make_private_dir("badrpz")
        self.addCleanup(shutil.rmtree, tmpdir, True)
        cases = [
            ("missing.rpz", None, "missing.rpz: "),
            ("syntax.rpz", HEAD + "x.example CNAME .\nx A 300.1.1.1\n", "syntax.rpz:5: "),
            ("rule.rpz", HEAD + "ok CNAME .\n\n33.4.3.2.1.rpz-ip CNAME .\n",
             "rule.rpz:6: 33.4.3.2.1.rpz-ip.block.rpz.: error.BadPrefixLength"),
            ("type.rpz", HEAD + "mx MX 10 mail.example.\n", "type.rpz:4: mx.block.rpz.: error.UnsupportedRecordType"),
            ("outside.rpz", HEAD + "evil.example. CNAME .\n", "outside.rpz:4: evil.example. is outside the zone block.rpz."),
        ]
        e2e_test.assert_bad_files_stop_start_up(self, tmpdir, "rpz:block.rpz.", cases)


if __name__ == "__main__":
    e2e_test.main(lab_needed=True)
