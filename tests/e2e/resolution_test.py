#!/usr/bin/python3
"""Resolution end to end: the recursor binary inside the lab, asked by real clients.

The lab (scripts/lab.sh, tests/lab/README.md) is a network namespace holding the 13 root server addresses
and the servers of the lab's zones. Each test class starts its own recursor in there, on 127.0.0.1 with
ephemeral ports; the process walks down from the lab's root servers. Expected values come from
tests/lab/zones/*.zone and tests/lab/fake_server.py. The zones asked here are unsigned, below insecure delegations of the signed lab root.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/resolution_test.py --binary build/debug/recursor
 or, in a lab already up: scripts/lab.sh exec -- /usr/bin/python3 tests/e2e/resolution_test.py --binary ...
"""

import concurrent.futures
import os
import re
import shutil
import socket
import sys
import time
import unittest

import dns.exception
import dns.flags
import dns.message
import dns.query
import dns.rcode
import dns.rdatatype

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  the process wrapper and clients of the standard suite
from e2e_test import dig, fetch_stats, http_get, parse_dig, split_http, udp_exchange  # noqa: E402

NXDOMAIN, NOERROR, SERVFAIL = dns.rcode.NXDOMAIN, dns.rcode.NOERROR, dns.rcode.SERVFAIL
CLIENT_TIMEOUT = 15.0  # above the resolver's ~10 s bound for one question
FAILURE_BOUND = 12.5  # that bound with room for a sanitizer build
POISON = "192.0.2.66"  # what fake.test. and the attacker plant; never in a correct answer
NAMED_TYPES = {"CNAME", "MX", "SRV", "NS"}


def ask(port, name, rdtype="A", rd=True, payload=4096, qid=None, timeout=CLIENT_TIMEOUT, ad=False, tcp=False):
    """One UDP (or TCP) question from a fresh socket: (query, reply, seconds taken); reply.wire_size is its length.
    `ad`: the AD flag in the question, the client's wish to learn whether the answer is authentic (RFC 6840 §5.7)."""
    query = dns.message.make_query(name, rdtype, use_edns=0 if payload else False, payload=payload)
    query.flags = (dns.flags.RD if rd else 0) | (dns.flags.AD if ad else 0)
    if qid is not None:
        query.id = qid
    started = time.monotonic()
    if tcp:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
            wire = query.to_wire()
            sock.sendall(len(wire).to_bytes(2, "big") + wire)
            stream = sock.makefile("rb")
            data = stream.read(2)
            wire = stream.read(int.from_bytes(data, "big")) if len(data) == 2 else None
    else:
        wire = udp_exchange(port, query.to_wire(), timeout)
    elapsed = time.monotonic() - started
    if wire is None:
        raise AssertionError(f"no reply to {name} {rdtype} within {timeout} s")
    reply = dns.message.from_wire(wire)
    reply.wire_size = len(wire)
    return query, reply, elapsed


def rrsets(section):
    """A section as [(owner, type, ttl, [rdata...])], owners and names in rdata lower-cased."""
    result = []
    for rrset in section:
        rdtype = dns.rdatatype.to_text(rrset.rdtype)
        texts = sorted(r.to_text().lower() if rdtype in NAMED_TYPES else r.to_text() for r in rrset)
        result.append((rrset.name.to_text().lower(), rdtype, rrset.ttl, texts))
    return result


def answer_and_soa(reply):
    return rrsets(reply.answer) + [r for r in rrsets(reply.authority) if r[1] == "SOA"]


def cname_chain(names, target_type, target_ttl, target_data):
    """names[0] CNAME names[1] ... names[-1] <target_type> target_data."""
    steps = [(owner, "CNAME", 3600, [target]) for owner, target in zip(names, names[1:])]
    return steps + [(names[-1], target_type, target_ttl, target_data)]


CHAIN_10 = cname_chain([f"c{i}.chain.test." for i in range(10, 0, -1)] + ["end.chain.test."], "A", 3600, ["192.0.2.12"])
HOP_10 = cname_chain(
    [f"h{i}.hop.{'example' if i % 2 == 0 else 'test'}." for i in range(10, 0, -1)] + ["end.hop.example."],
    "A", 3600, ["192.0.2.13"],
)
TXT_FILLER = "0123456789" * 23
MEDIUM_TXT = [f'"medium {i:02d} {TXT_FILLER}"' for i in range(1, 9)]
HUGE_TXT = {f'"huge {i:02d} {TXT_FILLER}"' for i in range(1, 25)}
WWW_GLUE = ("www.glue.test.", "A", 300, ["192.0.2.1"])

# (question as the client writes it, type, answer RRsets in order) -- all NOERROR
POSITIVE = [
    ("www.glue.test.", "A", [WWW_GLUE]),
    ("WwW.GlUe.TeSt.", "AAAA", [("www.glue.test.", "AAAA", 300, ["2001:db8::1"])]),
    ("glue.test.", "MX", [("glue.test.", "MX", 3600, ["10 mail.glue.test.", "20 mail2.provider.example."])]),
    ("txt.glue.test.", "TXT", [("txt.glue.test.", "TXT", 3600, ['"hello" "lab world"'])]),
    ("_sip._udp.glue.test.", "SRV", [("_sip._udp.glue.test.", "SRV", 3600, ["10 60 5060 sip.glue.test."])]),
    ("alias.glue.test.", "A", [("alias.glue.test.", "CNAME", 3600, ["www.glue.test."]), WWW_GLUE]),
    ("alias-out.glue.test.", "A", cname_chain(["alias-out.glue.test.", "www.provider.example."], "A", 300, ["192.0.2.30"])),
    ("www.glueless.test.", "A", [("www.glueless.test.", "A", 3600, ["192.0.2.40"])]),
    ("www.nested.test.", "A", [("www.nested.test.", "A", 3600, ["192.0.2.41"])]),
    ("www.partial.test.", "A", [("www.partial.test.", "A", 3600, ["192.0.2.50"])]),
    ("MIXED.case.TEST.", "A", [("mixed.case.test.", "A", 3600, ["192.0.2.20"])]),
    ("aLiAs.CaSe.TeSt.", "A", cname_chain(["alias.case.test.", "target.case.test."], "A", 3600, ["192.0.2.21"])),
    ("case.fake.test.", "A", [("case.fake.test.", "CNAME", 3600, ["www.glue.test."]), WWW_GLUE]),
    ("exact.wild.test.", "A", [("exact.wild.test.", "A", 3600, ["192.0.2.81"])]),
    ("n12345.wild.test.", "A", [("n12345.wild.test.", "A", 3600, ["192.0.2.80"])]),
    ("a.b.wild.test.", "TXT", [("a.b.wild.test.", "TXT", 3600, ['"wildcard"'])]),
    ("c10.chain.test.", "A", CHAIN_10),
    ("h10.hop.example.", "A", HOP_10),
    # Both need TCP upstream: big.test.'s server truncates at 1232 bytes, tc.fake.test. answers only over TCP.
    ("medium.big.test.", "TXT", [("medium.big.test.", "TXT", 3600, MEDIUM_TXT)]),
    ("tc.fake.test.", "A", [("tc.fake.test.", "A", 3600, ["192.0.2.53"])]),
]

# (question, type, RCODE, answer RRsets, SOA owner in authority, negative TTL = min(SOA TTL, MINIMUM)).
# Only the root's own denial is signed (its NSEC records prove it: AD); the others come from unsigned zones.
NEGATIVE = [
    ("nx.neg.test.", "A", NXDOMAIN, [], "neg.test.", 900),  # SOA TTL 3600, MINIMUM 900
    ("exists.neg.test.", "TXT", NOERROR, [], "neg.test.", 900),
    ("nx.shortneg.test.", "A", NXDOMAIN, [], "shortneg.test.", 600),  # SOA TTL 600, MINIMUM 900
    ("exists.shortneg.test.", "MX", NOERROR, [], "shortneg.test.", 600),
    ("nosuch.fake.test.", "A", NXDOMAIN, [], "fake.test.", 900),  # the server sends the SOA at TTL 3600
    ("ok.fake.test.", "TXT", NOERROR, [], "fake.test.", 900),
    ("dangling.glue.test.", "A", NXDOMAIN, [("dangling.glue.test.", "CNAME", 3600, ["nx.neg.test."])], "neg.test.", 900),
    ("nosuch.test.", "AAAA", NXDOMAIN, [], "test.", 3600),
    ("www.nosuchtld.", "A", NXDOMAIN, [], ".", 3600),  # root SOA TTL 86400, MINIMUM 3600
]

# Questions that must end in SERVFAIL within the resolver's bound.
FAILING = [
    "c11.chain.test.",  # 11 CNAMEs in one answer
    "h11.hop.test.",  # 11 CNAMEs, one per answer across two hosts
    "loop-a.chain.test.",  # loop inside a zone
    "xloop.chain.test.",  # loop across zones
    "www.lame.test.",  # nothing listens at the only server
    "www.refused.test.",  # the only server does not serve the zone
    "www.silent.test.",  # the only server never answers
    "silent.fake.test.",
    "garbage.fake.test.",  # only bytes that do not parse
]
# A loop is seen where it closes, and the client gets the chain up to there (owner, target per link).
LOOP_CHAINS = {
    "loop-a.chain.test.": [("loop-a.chain.test.", "loop-b.chain.test."), ("loop-b.chain.test.", "loop-a.chain.test.")],
    "xloop.chain.test.": [("xloop.chain.test.", "xloop.hop.example."), ("xloop.hop.example.", "xloop.chain.test.")],
}


class LabPremiseTest(unittest.TestCase):
    """The lab's servers, asked directly, behave as the resolution tests assume (no resolver involved)."""

    def query(self, name, rdtype="A", payload=4096):
        query = dns.message.make_query(name, rdtype, use_edns=0, payload=payload)
        query.flags = 0
        return query

    def test_servers_answer_as_the_zones_say(self):
        referral = dns.query.udp(self.query("www.glue.test."), "192.5.5.241", timeout=2)
        self.assertEqual(rrsets(referral.authority), [("test.", "NS", 172800, ["a.nic.test.", "b.nic.test."])])
        self.assertFalse(referral.flags & dns.flags.AA)
        truncated = dns.query.udp(self.query("medium.big.test.", "TXT"), "10.53.2.2", timeout=2)
        self.assertTrue(truncated.flags & dns.flags.TC)
        whole = dns.query.tcp(self.query("medium.big.test.", "TXT"), "10.53.2.2", timeout=2)
        self.assertEqual(rrsets(whole.answer), [("medium.big.test.", "TXT", 3600, MEDIUM_TXT)])
        raw_soa = dns.query.udp(self.query("nosuch.fake.test."), "10.53.4.1", timeout=2)
        self.assertEqual((raw_soa.rcode(), raw_soa.authority[0].ttl), (NXDOMAIN, 3600))
        for name, address in (("www.refused.test.", "10.53.2.1"), ("www.halfrefused.test.", "10.53.2.4")):
            refused = dns.query.udp(self.query(name), address, timeout=2)
            self.assertEqual(refused.rcode(), dns.rcode.REFUSED, name)

    def test_fake_server_sends_the_bad_reply_first(self):
        query = self.query("wrong-id.fake.test.")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(1)
            sock.sendto(query.to_wire(), ("10.53.4.1", 53))
            first, second = (dns.message.from_wire(sock.recv(4096)) for _ in range(2))
        self.assertEqual((first.id != query.id, first.answer[0][0].address), (True, POISON))
        self.assertEqual((second.id, second.answer[0][0].address), (query.id, "192.0.2.53"))

    def test_silent_and_lame_addresses_never_answer(self):
        for address in ("10.53.4.2", "10.53.4.3", "10.53.5.1"):
            with self.subTest(address=address), self.assertRaises((dns.exception.Timeout, ConnectionRefusedError)):
                dns.query.udp(self.query("www.silent.test."), address, timeout=0.5)


class LabRecursorTestCase(e2e_test.RecursorTestCase):
    # Validating from the lab root's key: the zones asked here lie below insecure delegations.
    extra_args = ["--trust-anchor", os.path.join(os.environ.get("RECURSOR_LAB_DIR", ""), "root.key")]

    def ask(self, name, rdtype="A", **kwargs):
        return ask(self.server.dns_port, name, rdtype, **kwargs)

    def assertReplyShape(self, query, reply, ad=False):
        """Reply to this query: its ID, question in the client's letter case, QR and RA, RD copied, no AA;
        AD only when `ad` (data proven by the signed root)."""
        self.assertEqual(reply.id, query.id)
        self.assertEqual([q.to_text() for q in reply.question], [q.to_text() for q in query.question])
        self.assertTrue(reply.flags & dns.flags.QR and reply.flags & dns.flags.RA, dns.flags.to_text(reply.flags))
        self.assertEqual(reply.flags & dns.flags.RD, query.flags & dns.flags.RD)
        self.assertFalse(reply.flags & dns.flags.AA, dns.flags.to_text(reply.flags))
        self.assertEqual(bool(reply.flags & dns.flags.AD), ad, dns.flags.to_text(reply.flags))

    def assertAnswer(self, reply, expected, fresh=True):
        """Answer RRsets in order; TTLs at most the zone's, and near it when the data was just fetched."""
        got = rrsets(reply.answer)
        self.assertEqual([g[:2] + g[3:] for g in got], [e[:2] + e[3:] for e in expected])
        for (owner, rdtype, ttl, _), (_, _, zone_ttl, _) in zip(got, expected):
            self.assertLessEqual(ttl, zone_ttl, f"{owner} {rdtype}")
            if fresh:
                self.assertGreaterEqual(ttl, zone_ttl - 10, f"{owner} {rdtype}")

    def assertNoPoison(self, reply):
        self.assertNotIn(POISON, str(reply))

    def assertStillServing(self):
        self.assertServerAlive()
        _, reply, _ = self.ask("www.glue.test.")
        self.assertAnswer(reply, [WWW_GLUE], fresh=False)


class AnswerTest(LabRecursorTestCase):
    """Cold questions across the lab: referrals, glueless delegations, CNAMEs, wildcards, TCP fall-back."""

    def test_positive_answers(self):
        for name, rdtype, expected in POSITIVE:
            with self.subTest(name=name, rdtype=rdtype):
                query, reply, _ = self.ask(name, rdtype)
                if reply.flags & dns.flags.TC:  # as a stub does: the whole answer over TCP
                    query, reply, _ = self.ask(name, rdtype, tcp=True)
                self.assertEqual(dns.rcode.to_text(reply.rcode()), "NOERROR")
                self.assertReplyShape(query, reply)
                self.assertAnswer(reply, expected)
                self.assertFalse(reply.flags & dns.flags.TC)

    def test_negative_answers_carry_the_soa_at_the_negative_ttl(self):
        for name, rdtype, rcode, answer, soa_owner, negative_ttl in NEGATIVE:
            with self.subTest(name=name, rdtype=rdtype):
                query, reply, _ = self.ask(name, rdtype, ad=True)
                self.assertEqual(dns.rcode.to_text(reply.rcode()), dns.rcode.to_text(rcode))
                self.assertReplyShape(query, reply, ad=soa_owner == ".")
                self.assertAnswer(reply, answer)
                soa = [r for r in rrsets(reply.authority) if r[1] == "SOA"]
                self.assertEqual([(r[0], r[1]) for r in soa], [(soa_owner, "SOA")])
                self.assertLessEqual(soa[0][2], negative_ttl)
                self.assertGreaterEqual(soa[0][2], negative_ttl - 10)

    def test_answer_over_the_udp_size_is_truncated_and_whole_over_tcp(self):
        # UDP replies stop at 1232 bytes whatever the client offers: larger ones risk IP fragments.
        for name, payload, limit in (("huge.big.test.", 4096, 1232), ("huge.big.test.", None, 512), ("medium.big.test.", 4096, 1232)):
            with self.subTest(name=name, payload=payload):
                query, reply, _ = self.ask(name, "TXT", payload=payload)
                self.assertEqual(dns.rcode.to_text(reply.rcode()), "NOERROR")
                self.assertReplyShape(query, reply)
                self.assertTrue(reply.flags & dns.flags.TC)
                self.assertLessEqual(reply.wire_size, limit)
                self.assertLessEqual({r.to_text() for rrset in reply.answer for r in rrset}, HUGE_TXT | set(MEDIUM_TXT))
        query, reply, _ = self.ask("huge.big.test.", "TXT", tcp=True)
        self.assertReplyShape(query, reply)
        self.assertFalse(reply.flags & dns.flags.TC)
        self.assertEqual({r.to_text() for rrset in reply.answer for r in rrset}, HUGE_TXT)

    def test_flush_drops_a_subtree_so_that_it_is_asked_again(self):
        self.ask("www.glue.test.")
        self.ask("www.provider.example.")
        reply = e2e_test.control_exchange(self.server.control_path, b"FLUSH GLUE.test\n")
        self.assertRegex(reply, rb"^OK [1-9]\d* entries dropped\n$")
        for name, cached in (("www.glue.test.", False), ("www.provider.example.", True)):
            with self.subTest(name=name):
                before = fetch_stats(self.server.http_port)
                _, reply, _ = self.ask(name)
                after = fetch_stats(self.server.http_port)
                self.assertEqual(dns.rcode.to_text(reply.rcode()), "NOERROR")
                self.assertEqual(after["cache_hits"] - before["cache_hits"], 1 if cached else 0)
        for line, answer in ((b"FLUSH\n", b"ERROR: Usage: FLUSH <name>\n"), (b"FLUSH a..b\n", b"ERROR: Invalid name\n")):
            self.assertEqual(e2e_test.control_exchange(self.server.control_path, line), answer)

    def test_dig_and_kdig_see_the_cname_chain_first(self):
        for tool, recurse in (("dig", "+rec"), ("kdig", "+recurse")):
            with self.subTest(tool=tool):
                out = dig(self.server.dns_port, "alias-out.glue.test", "A", recurse, tool=tool)
                reply = parse_dig(out)
                self.assertEqual((reply["status"], reply["flags"]), ("NOERROR", {"qr", "rd", "ra"}))
                self.assertEqual(reply["question"], ("alias-out.glue.test.", "IN", "A"))
                answer = re.findall(r"^(\S+)\s+\d+\s+IN\s+(CNAME|A)\s+(\S+)$", out, re.M)
                self.assertEqual(
                    answer, [("alias-out.glue.test.", "CNAME", "www.provider.example."), ("www.provider.example.", "A", "192.0.2.30")]
                )


class FailureTest(LabRecursorTestCase):
    """Broken delegations, loops and over-long chains end in SERVFAIL within the bound, all at once."""

    def test_failures_are_servfail_within_the_bound(self):
        with concurrent.futures.ThreadPoolExecutor(len(FAILING)) as pool:
            results = list(pool.map(self.ask, FAILING))
        for name, (query, reply, elapsed) in zip(FAILING, results):
            with self.subTest(name=name):
                self.assertEqual(dns.rcode.to_text(reply.rcode()), "SERVFAIL")
                self.assertReplyShape(query, reply)
                chain = [(rrset.name.to_text(), rr.target.to_text()) for rrset in reply.answer for rr in rrset]
                self.assertEqual((chain, reply.authority), (LOOP_CHAINS.get(name, []), []))
                self.assertLess(elapsed, FAILURE_BOUND)
        self.assertStillServing()


class HalfBrokenDelegationTest(LabRecursorTestCase):
    """A zone with one bad server of two (each with its glue) is answered from the other: halfsilent.test.'s
    ns1 never answers, halfrefused.test.'s ns1 answers REFUSED. A new resolver ranks the two alike and asks
    the bad one first about half of the time, so fresh resolvers are started until one did (the
    namespace's filter counts the questions to the bad address); every one of them must answer, and a
    refusal must hand over at once, well inside the 3 s an exchange may take."""

    CASES = [  # zone, the bad server's address, the wildcard's address, bound on the answer's time
        ("halfsilent.test.", "10.53.4.3", "192.0.2.51", FAILURE_BOUND),
        ("halfrefused.test.", "10.53.2.4", "192.0.2.52", 1.0),
    ]
    ATTEMPTS = 16  # fresh resolvers per zone: none asks the bad server first with a chance of 2^-16

    def questions_to(self, address):
        out = e2e_test.run_tool(["iptables", "-w", "-L", "OUTPUT", "-v", "-x", "-n"]).stdout.decode()
        counts = [int(line.split()[0]) for line in out.splitlines() if f"recursor-half-{address}" in line]
        self.assertEqual(len(counts), 1, out)
        return counts[0]

    def test_the_other_server_answers(self):
        for zone, bad, address, bound in self.CASES:
            rule = ["OUTPUT", "-p", "udp", "-d", bad, "--dport", "53", "-m", "comment", "--comment", f"recursor-half-{bad}"]
            e2e_test.run_tool(["iptables", "-w", "-A", *rule])
            self.addCleanup(e2e_test.run_tool, ["iptables", "-w", "-D", *rule])
            with self.subTest(zone=zone):
                asked_bad = False
                for attempt in range(self.ATTEMPTS):
                    name = f"n{attempt}.{zone}"
                    before = self.questions_to(bad)
                    tmpdir = e2e_test.make_private_dir(type(self).__name__)
                    fresh = e2e_test.Recursor(e2e_test.standard_args(tmpdir) + self.extra_args)
                    try:
                        query, reply, elapsed = ask(fresh.dns_port, name)
                        self.assertEqual(fresh.shutdown(), 0, fresh.stderr_text())
                    finally:
                        fresh.kill()
                        shutil.rmtree(tmpdir, ignore_errors=True)
                    self.assertEqual(dns.rcode.to_text(reply.rcode()), "NOERROR", name)
                    self.assertReplyShape(query, reply)
                    self.assertAnswer(reply, [(name, "A", 3600, [address])])
                    self.assertLess(elapsed, bound, name)
                    if self.questions_to(bad) > before:
                        asked_bad = True
                        break
                self.assertTrue(asked_bad, f"{self.ATTEMPTS} fresh resolvers never asked {bad} first")
        # The class's own resolver: several names of each zone at once.
        names = [(f"m{i}.{zone}", address) for zone, _, address, _ in self.CASES for i in range(4)]
        with concurrent.futures.ThreadPoolExecutor(len(names)) as pool:
            results = list(pool.map(lambda case: self.ask(case[0]), names))
        for (name, address), (_, reply, _) in zip(names, results):
            self.assertAnswer(reply, [(name, "A", 3600, [address])])
        self.assertStillServing()


class SpoofingTest(LabRecursorTestCase):
    """Replies that don't match the question, out-of-zone data and upward referrals are never believed."""

    def test_mismatched_first_replies_are_dropped(self):
        for act in ("wrong-id", "other-port", "other-question"):
            with self.subTest(act=act):
                query, reply, _ = self.ask(f"{act}.fake.test.")
                self.assertAnswer(reply, [(f"{act}.fake.test.", "A", 3600, ["192.0.2.53"])])

    def test_an_answer_without_aa_is_used(self):
        # RFC 1034 §5.3.3 step 4a: the right answer with AA clear is an answer (it used to be SERVFAIL).
        query, reply, _ = self.ask("not-auth.fake.test.")
        self.assertAnswer(reply, [("not-auth.fake.test.", "A", 3600, ["192.0.2.53"])])

    def test_out_of_zone_records_are_not_served(self):
        query, reply, _ = self.ask("out-of-zone.fake.test.")
        self.assertAnswer(reply, [("out-of-zone.fake.test.", "A", 3600, ["192.0.2.53"])])
        self.assertNoPoison(reply)
        query, reply, _ = self.ask("cname-out.fake.test.")
        self.assertAnswer(reply, cname_chain(["cname-out.fake.test.", "victim2.glue.test."], "A", 3600, ["192.0.2.78"]))
        # Neither the planted A record nor the planted NS for glue.test. may have been cached.
        query, reply, _ = self.ask("victim.glue.test.")
        self.assertAnswer(reply, [("victim.glue.test.", "A", 3600, ["192.0.2.77"])])

    def test_referrals_upwards_are_neither_followed_nor_cached(self):
        for name in ("up-referral.fake.test.", "root-referral.fake.test."):
            with self.subTest(name=name):
                query, reply, elapsed = self.ask(name)
                self.assertEqual(dns.rcode.to_text(reply.rcode()), "SERVFAIL")
                self.assertLess(elapsed, FAILURE_BOUND)
        # Names not asked before in this process: with test. or the root taken over they would go to 10.53.6.6.
        for name, ttl, address in (("www.glueless.test.", 3600, "192.0.2.40"), ("www.provider.example.", 300, "192.0.2.30")):
            with self.subTest(name=name):
                query, reply, _ = self.ask(name)
                self.assertAnswer(reply, [(name, "A", ttl, [address])])


class UpstreamQueryTest(LabRecursorTestCase):
    """What the resolver sends upstream, as the fake server saw it: no RD, EDNS 4096 with DO, fresh IDs."""

    def test_queries_carry_edns_1232_with_do_and_no_rd(self):
        seen = []
        for name in ("probe-1.fake.test.", "probe-2.fake.test."):
            _, reply, _ = self.ask(name, "TXT")
            self.assertEqual(len(reply.answer), 1, str(reply))
            fields = dict(item.split("=") for item in reply.answer[0][0].strings[0].decode().split())
            seen.append(fields.pop("id"))
            self.assertEqual(fields, {"rd": "0", "edns": "0", "payload": "1232", "do": "1"})
        self.assertNotEqual(seen[0], seen[1])


class CacheTest(LabRecursorTestCase):
    """A second question is answered from the cache: new ID, the client's RD and case, TTLs not above."""

    CASES = [
        ("www.glue.test.", "A", "WWW.GLUE.TEST."),
        ("alias.glue.test.", "A", "Alias.Glue.Test."),
        ("c10.chain.test.", "A", "C10.chain.test."),
        ("nx.neg.test.", "A", "NX.NEG.TEST."),
        ("exists.shortneg.test.", "MX", "exists.SHORTNEG.test."),
    ]

    def test_second_question_is_a_cache_hit(self):
        for first_name, rdtype, second_name in self.CASES:
            with self.subTest(name=first_name, rdtype=rdtype):
                first_query, first, _ = self.ask(first_name, rdtype, rd=True, qid=0x1111)
                before = fetch_stats(self.server.http_port)
                second_query, second, elapsed = self.ask(second_name, rdtype, rd=False, qid=0xEEEE)
                after = fetch_stats(self.server.http_port)
                self.assertReplyShape(second_query, second)
                self.assertEqual(second.rcode(), first.rcode())
                records_first, records_second = answer_and_soa(first), answer_and_soa(second)
                # Names compare ignoring case: a name compressed against the question takes the
                # client's spelling of it.
                def without_ttl(records):
                    return [(r[0].lower(), r[1], [d.lower() for d in r[3]]) for r in records]
                self.assertEqual(without_ttl(records_second), without_ttl(records_first))
                for a, b in zip(records_first, records_second):
                    self.assertLessEqual(b[2], a[2], f"{b[0]} {b[1]}")
                self.assertEqual(after["queries_total"] - before["queries_total"], 1)
                self.assertGreater(after["cache_hits"], before["cache_hits"])
                self.assertLess(elapsed, 1.0)


class ZeroTtlTest(LabRecursorTestCase):
    """A record of TTL 0 is used for the answer it came in and never cached (RFC 1035 §3.2.1): asked twice,
    the name is answered twice, and twice fetched from its server."""

    NAME, ADDRESS = "zero.glue.test.", "192.0.2.90"
    # Outgoing UDP questions for zero.glue.test. A, whatever the letter case, counted by the namespace's filter.
    RULE = ["OUTPUT", "-p", "udp", "--dport", "53", "-m", "string", "--algo", "bm", "--icase",
            "--hex-string", "|047a65726f04676c756504746573740000010001|", "-m", "comment", "--comment", "recursor-zero-ttl"]

    def setUp(self):
        e2e_test.run_tool(["iptables", "-w", "-A", *self.RULE])
        self.addCleanup(e2e_test.run_tool, ["iptables", "-w", "-D", *self.RULE])

    def upstream_questions(self):
        out = e2e_test.run_tool(["iptables", "-w", "-L", "OUTPUT", "-v", "-x", "-n"]).stdout.decode()
        counts = [int(line.split()[0]) for line in out.splitlines() if "recursor-zero-ttl" in line]
        self.assertEqual(len(counts), 1, out)
        return counts[0]

    def test_the_server_gives_ttl_0(self):
        reply = dns.query.udp(dns.message.make_query(self.NAME, "A"), "10.53.2.1", timeout=2)
        self.assertEqual(rrsets(reply.answer), [(self.NAME, "A", 0, [self.ADDRESS])])

    def test_asked_twice_answered_twice_from_upstream(self):
        before = self.upstream_questions()
        counts = []
        for _ in range(2):
            query, reply, _ = self.ask(self.NAME)
            self.assertEqual(dns.rcode.to_text(reply.rcode()), "NOERROR")
            self.assertReplyShape(query, reply)
            self.assertEqual(rrsets(reply.answer), [(self.NAME, "A", 0, [self.ADDRESS])])
            counts.append(self.upstream_questions())
        self.assertGreaterEqual(counts[0] - before, 1, "the first answer was not fetched")
        self.assertGreaterEqual(counts[1] - counts[0], 1, "the second answer came from the cache")
        self.assertStillServing()


class MetricsTest(LabRecursorTestCase):
    """The counters follow the outcomes, and /metrics tells the same as /stats."""

    QUESTIONS = [
        ("www.glue.test.", "A", "queries_success"),
        ("glue.test.", "MX", "queries_success"),
        ("c10.chain.test.", "A", "queries_success"),
        ("nx.neg.test.", "A", "queries_nxdomain"),
        ("www.nosuchtld.", "A", "queries_nxdomain"),
        ("c11.chain.test.", "A", "queries_servfail"),
        ("loop-a.chain.test.", "A", "queries_servfail"),
    ]

    def outcome_counts(self, stats):
        return {key: stats[key] for key in ("queries_total", "queries_success", "queries_nxdomain", "queries_servfail")}

    def test_counters_follow_outcomes(self):
        before = fetch_stats(self.server.http_port)
        for name, rdtype, _ in self.QUESTIONS:
            self.ask(name, rdtype)
        cold = fetch_stats(self.server.http_port)
        expected = {"queries_total": len(self.QUESTIONS), "queries_success": 0, "queries_nxdomain": 0, "queries_servfail": 0}
        for _, _, counter in self.QUESTIONS:
            expected[counter] += 1
        self.assertEqual({k: v - before[k] for k, v in self.outcome_counts(cold).items()}, expected)
        self.assertGreater(cold["cache_misses"], before["cache_misses"])

        answered = [(name, rdtype) for name, rdtype, counter in self.QUESTIONS if counter != "queries_servfail"]
        for name, rdtype in answered:
            self.ask(name, rdtype)
        warm = fetch_stats(self.server.http_port)
        self.assertGreaterEqual(warm["cache_hits"] - cold["cache_hits"], len(answered))
        self.assertEqual(warm["queries_total"] - cold["queries_total"], len(answered))

        status, _, body = split_http(http_get(self.server.http_port, "/metrics"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        exposed = dict(re.findall(r"^dns_(\w+) (\d+)$", body.decode(), re.M))
        for key in ("queries_total", "queries_success", "queries_nxdomain", "queries_servfail", "cache_hits", "cache_misses"):
            exposed_key = key if key == "queries_total" else key + "_total"  # counters end in _total
            self.assertEqual(int(exposed[exposed_key]), warm[key], key)


def inside_the_lab():
    """Only loopback, and the root server addresses are local: the lab's namespace, not the host network."""
    if not e2e_test.only_loopback_network():
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("198.41.0.4", 0))
        except OSError:
            return False
    return True


def main(lab_problem=lambda: None):
    """Runs the tests of the __main__ module against --binary inside the lab; `lab_problem` may name one
    more thing the suite needs of the lab (None when it is there)."""
    import argparse

    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--binary", required=True)
    args, rest = parser.parse_known_args()
    e2e_test.BINARY = os.path.abspath(args.binary)
    if not os.access(e2e_test.BINARY, os.X_OK):
        sys.exit(f"not an executable: {e2e_test.BINARY}")
    if not inside_the_lab():
        sys.exit("not inside the lab: run through scripts/lab.sh with-lab -- ... or scripts/lab.sh exec -- ...")
    if problem := lab_problem():
        sys.exit(problem)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
