#!/usr/bin/python3
"""DNSSEC validation end to end: the recursor binary in the signed lab, from the lab root's trust anchor.

scripts/lab.sh signs the root, sec. and the zones below it at every lab start and writes the root's trust
anchor to RECURSOR_LAB_DIR/root.ds and root.key (tests/lab/README.md lists the names and why they exist).
The premise tests check the lab itself with dnspython, no resolver involved; the other classes each start
a recursor with the anchor (DS form, then DNSKEY form) or with validation off, and ask with dig.
ForgeryTest puts tests/lab/forge_proxy.py on the path to the signed zones' servers (an address on lo, nat
DNAT rules; needs root, as the lab does) and starts a fresh recursor per forgery scenario.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/dnssec_test.py --binary build/debug/recursor
 or, in a lab already up: scripts/lab.sh exec -- /usr/bin/python3 tests/e2e/dnssec_test.py --binary ...
"""

import concurrent.futures
import dataclasses
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

import dns.dnssec
import dns.flags
import dns.message
import dns.name
import dns.query
import dns.rcode
import dns.rdatatype
import dns.rrset

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402  its helpers only: no test class is imported into this module
from e2e_test import http_get, parse_dig, run_tool, split_http  # noqa: E402

LAB_DIR = os.environ.get("RECURSOR_LAB_DIR", "")
ROOT_DS, ROOT_KEY = os.path.join(LAB_DIR, "root.ds"), os.path.join(LAB_DIR, "root.key")
ROOT_SERVER, SEC_SERVER, SIGNED_SERVER, UNSIGNED_SERVER = "198.41.0.4", "10.53.7.1", "10.53.8.1", "10.53.8.2"
BOGUS_METRIC = "dns_dnssec_bogus_total"  # Metrics::dnssec_validations_bogus, exposed with the dns_ prefix
CLIENT_TIMEOUT = 15  # above the resolver's ~10 s bound for one question
KEYTRAP_BOUND = 5.0  # seconds: validation work is bounded, so the KeyTrap name fails well before the time-out

SECURE, INSECURE, BOGUS = "secure", "insecure", "bogus"
NEGATIVE_SECURE, NEGATIVE_INSECURE = "negative secure", "negative insecure"
NEGATIVE = (NEGATIVE_SECURE, NEGATIVE_INSECURE)

# (name, type, outcome, answer data of the asked type). secure: NOERROR with AD; insecure: NOERROR without
# AD; negative secure / insecure: NXDOMAIN (no data given) or NODATA ([]), with AD (the denial proven by
# signed NSEC or NSEC3 records) / without AD (an unsigned zone, or an NSEC3 opt-out span); bogus: SERVFAIL.
CASES = [
    ("www.alg8.sec.", "A", SECURE, ["198.51.100.8"]),
    ("www.alg8.sec.", "AAAA", SECURE, ["2001:db8:5ec::8"]),
    ("www.alg10.sec.", "A", SECURE, ["198.51.100.10"]),
    ("www.alg10.sec.", "AAAA", SECURE, ["2001:db8:5ec::10"]),
    ("www.alg13.sec.", "A", SECURE, ["198.51.100.13"]),
    ("www.alg13.sec.", "AAAA", SECURE, ["2001:db8:5ec::13"]),
    ("www.alg14.sec.", "A", SECURE, ["198.51.100.14"]),
    ("www.alg14.sec.", "AAAA", SECURE, ["2001:db8:5ec::14"]),
    ("www.alg15.sec.", "A", SECURE, ["198.51.100.15"]),
    ("www.alg15.sec.", "AAAA", SECURE, ["2001:db8:5ec::15"]),
    ("anything.wild.sec.", "A", SECURE, ["198.51.100.20"]),  # wildcard expansion, NSEC proof
    ("a.b.w.n3.sec.", "A", SECURE, ["198.51.100.46"]),  # wildcard expansion, NSEC3 proof
    ("exact.wild.sec.", "A", SECURE, ["198.51.100.21"]),
    ("www.wild.sec.", "A", SECURE, ["198.51.100.22"]),  # what the forging proxy's moved-nsec tries to hide
    ("cname.alg13.sec.", "A", SECURE, ["198.51.100.8"]),  # CNAME in alg13.sec. to alg8.sec.
    ("www.dname.alg13.sec.", "A", SECURE, ["198.51.100.8"]),  # DNAME alg8.sec., the CNAME synthesized from it
    ("www.sub.deep.sec.", "A", SECURE, ["198.51.100.45"]),  # zone cut below the empty non-terminal deep.sec.
    ("www.n3.sec.", "A", SECURE, ["198.51.100.43"]),
    ("www.optout.sec.", "A", SECURE, ["198.51.100.44"]),
    ("types.sec.", "MX", SECURE, ["10 mail.types.sec."]),
    ("txt.types.sec.", "TXT", SECURE, ['"signed" "text"']),
    ("_sip._udp.types.sec.", "SRV", SECURE, ["10 60 5060 sip.types.sec."]),
    ("types.sec.", "CAA", SECURE, ['0 issue "ca.example.net"']),
    ("_443._tcp.www.types.sec.", "TLSA", SECURE, ["3 1 1 " + "0123456789abcdef" * 4]),
    ("types.sec.", "NAPTR", SECURE, ['100 10 "S" "SIP+D2U" "" _sip._udp.types.sec.']),
    ("www.types.sec.", "HTTPS", SECURE, ['1 . alpn="h2"']),
    ("ok.corrupt.sec.", "A", SECURE, ["198.51.100.55"]),  # only www's signature is damaged
    ("ok.stripped.sec.", "A", SECURE, ["198.51.100.56"]),
    ("www.insecure.sec.", "A", INSECURE, ["198.51.100.40"]),  # no DS, NSEC proof, another host
    ("tosigned.insecure.sec.", "A", INSECURE, ["198.51.100.8"]),  # unsigned CNAME to signed data
    ("www.unsigned.n3.sec.", "A", INSECURE, ["198.51.100.41"]),  # no DS, NSEC3 proof
    ("www.unsigned.optout.sec.", "A", INSECURE, ["198.51.100.42"]),  # no DS, NSEC3 opt-out proof
    ("www.ed448.sec.", "A", INSECURE, ["198.51.100.16"]),  # the only key's algorithm is not supported
    ("www.glue.test.", "A", INSECURE, ["192.0.2.1"]),  # unsigned TLD below the signed root
    # Denials from signed zones, proven: NSEC ...
    ("nx.alg13.sec.", "A", NEGATIVE_SECURE, None),
    ("www.alg13.sec.", "TXT", NEGATIVE_SECURE, []),
    ("nosuch.sec.", "A", NEGATIVE_SECURE, None),
    ("deep.sec.", "A", NEGATIVE_SECURE, []),  # empty non-terminal
    ("anything.wild.sec.", "TXT", NEGATIVE_SECURE, []),  # wildcard NODATA: the wildcard has only A
    ("nx.dname.alg13.sec.", "A", NEGATIVE_SECURE, None),  # DNAME to alg8.sec., then NXDOMAIN there
    ("insecure.sec.", "DS", NEGATIVE_SECURE, []),  # the parent's proof that the delegation has no DS
    # ... and NSEC3
    ("nx.n3.sec.", "A", NEGATIVE_SECURE, None),  # closest encloser proof
    ("www.n3.sec.", "TXT", NEGATIVE_SECURE, []),
    ("w.n3.sec.", "A", NEGATIVE_SECURE, []),  # empty non-terminal (above *.w.n3.sec.)
    ("a.b.w.n3.sec.", "TXT", NEGATIVE_SECURE, []),  # wildcard NODATA
    ("unsigned.n3.sec.", "DS", NEGATIVE_SECURE, []),  # NSEC3 matching the delegation, without DS
    # Denials that prove nothing secure: an opt-out span (RFC 5155 §9.2), unsigned zones
    ("nx.optout.sec.", "A", NEGATIVE_INSECURE, None),  # the next closer name lies in an opt-out span
    ("unsigned.optout.sec.", "DS", NEGATIVE_INSECURE, []),  # no NSEC3 of its own: opt-out span
    ("nx.insecure.sec.", "A", NEGATIVE_INSECURE, None),
    ("www.insecure.sec.", "TXT", NEGATIVE_INSECURE, []),
    ("nx.neg.test.", "A", NEGATIVE_INSECURE, None),
    ("www.badds.sec.", "A", BOGUS, None),  # the DS names a key the zone does not publish
    ("www.corrupt.sec.", "A", BOGUS, None),  # flipped bytes in the RRSIG
    ("www.expired.sec.", "A", BOGUS, None),  # every signature expired
    ("www.stripped.sec.", "A", BOGUS, None),  # RRSIG removed, DS in sec.
    ("x.w.stripped.sec.", "A", BOGUS, None),  # signed wildcard answer, its NSEC proof gone
    ("www.nods.sec.", "A", BOGUS, None),  # DS gone from sec., its NSEC still says there is one
    ("www.keytrap.sec.", "A", BOGUS, None),  # 48 colliding keys, 48 garbage signatures
]
BOGUS_NAMES = [c[0] for c in CASES if c[2] == BOGUS]


def dig_recursor(port, name, rdtype):
    """dig +dnssec against the recursor: (reply summary from parse_dig, answer data of the asked type, seconds)."""
    argv = ["dig", "@127.0.0.1", "-p", str(port), "+dnssec", "+bufsize=4096", "+notcp", "+ignore", "+tries=1"]
    started = time.monotonic()
    out = run_tool(argv + [f"+time={CLIENT_TIMEOUT}", name, rdtype], timeout=CLIENT_TIMEOUT + 5).stdout.decode()
    elapsed = time.monotonic() - started
    reply = parse_dig(out)
    section = out.split(";; ANSWER SECTION:\n", 1)[1].split("\n\n", 1)[0] if ";; ANSWER SECTION:" in out else ""
    records = re.findall(r"^\S+\s+\d+\s+IN\s+(\S+)\s+(.*)$", section, re.M)
    return reply, sorted(normal(data) for rtype, data in records if rtype == rdtype), elapsed


def normal(data):
    """Record data as dig and dnspython write it may differ in hex case and spaces inside hex fields."""
    return re.sub(r"(?<=[0-9a-fA-F]) (?=[0-9a-fA-F]{8})", "", data).lower()


def outcome_of(reply, data):
    ad = "ad" in reply["flags"]
    if reply["status"] == "SERVFAIL":
        return BOGUS
    if reply["status"] == "NXDOMAIN" or (reply["status"] == "NOERROR" and not data):
        return NEGATIVE_SECURE if ad else NEGATIVE_INSECURE
    return SECURE if ad else INSECURE


def bogus_counter(port):
    """The counter from /metrics, or None when it is not there."""
    status, _, body = split_http(http_get(port, "/metrics"))
    match = re.search(rf"^{BOGUS_METRIC} (\d+)$", body.decode(), re.M)
    return int(match.group(1)) if status == "HTTP/1.1 200 OK" and match else None


def ask_dnssec(port, name, rdtype):
    """One UDP question with DO set, from a fresh socket: the reply as a dnspython message."""
    query = dns.message.make_query(name, rdtype, want_dnssec=True, payload=4096)
    wire = e2e_test.udp_exchange(port, query.to_wire(), CLIENT_TIMEOUT)
    if wire is None:
        raise AssertionError(f"no reply to {name} {rdtype} within {CLIENT_TIMEOUT} s")
    return dns.message.from_wire(wire)


def records_of(reply, rdtype, section="answer"):
    """[(owner, data)] of every record of one type in a section, owners lower-cased, sorted."""
    wanted = dns.rdatatype.from_text(rdtype)
    return sorted((rrset.name.to_text().lower(), r.to_text()) for rrset in getattr(reply, section)
                  if rrset.rdtype == wanted for r in rrset)


# --------------------------------------------------------------------------------------------------
# The lab as the cases assume it, checked with dnspython's own validation


def fetch(server, name, rdtype):
    query = dns.message.make_query(name, rdtype, want_dnssec=True, payload=4096)
    query.flags = 0
    return dns.query.tcp(query, server, timeout=3)


def rrset_and_sigs(message, name, rdtype, section="answer"):
    records = getattr(message, section)
    owner = dns.name.from_text(name)
    find = lambda rtype, covers=dns.rdatatype.NONE: next(  # noqa: E731
        (r for r in records if r.name == owner and r.rdtype == rtype and r.covers == covers), None)
    return find(dns.rdatatype.from_text(rdtype)), find(dns.rdatatype.RRSIG, dns.rdatatype.from_text(rdtype))


def zone_keys(server, zone):
    keys, _ = rrset_and_sigs(fetch(server, zone, "DNSKEY"), zone, "DNSKEY")
    return {dns.name.from_text(zone): keys}


def verifies(rrset, sigs, keys):
    try:
        dns.dnssec.validate(rrset, sigs, keys)
        return True
    except dns.dnssec.ValidationFailure:
        return False


def nsec_types(message, owner):
    owner = dns.name.from_text(owner)
    for rrset in message.authority:
        if rrset.rdtype in (dns.rdatatype.NSEC, dns.rdatatype.NSEC3) and (
                rrset.name == owner or rrset.rdtype == dns.rdatatype.NSEC3):
            return rrset[0].windows, rrset
    raise AssertionError(f"no NSEC/NSEC3 for {owner} in\n{message}")


def bitmap_has(windows, rdtype):
    window, bit = divmod(int(rdtype), 256)
    return any(w == window and len(bits) > bit // 8 and bits[bit // 8] & (0x80 >> bit % 8) for w, bits in windows)


class SignedLabPremiseTest(unittest.TestCase):
    """The signed zones, asked directly, are what the cases need: failures here are the lab's, not the resolver's."""

    # (server, zone, name, type, does the served RRset verify with the zone's served keys)
    SIGNATURES = [
        (ROOT_SERVER, ".", "sec.", "DS", True),
        (SEC_SERVER, "sec.", "sub.deep.sec.", "DS", True),
        *[(SIGNED_SERVER, f"alg{n}.sec.", f"www.alg{n}.sec.", "AAAA", True) for n in (8, 10, 13, 14, 15)],
        (SIGNED_SERVER, "ed448.sec.", "www.ed448.sec.", "A", True),
        (SIGNED_SERVER, "wild.sec.", "anything.wild.sec.", "A", True),
        (SIGNED_SERVER, "wild.sec.", "www.wild.sec.", "A", True),
        (SIGNED_SERVER, "alg13.sec.", "dname.alg13.sec.", "DNAME", True),
        (SIGNED_SERVER, "types.sec.", "www.types.sec.", "HTTPS", True),
        (SIGNED_SERVER, "optout.sec.", "www.optout.sec.", "A", True),
        (SIGNED_SERVER, "corrupt.sec.", "www.corrupt.sec.", "A", False),
        (SIGNED_SERVER, "expired.sec.", "www.expired.sec.", "A", False),
        (SIGNED_SERVER, "keytrap.sec.", "www.keytrap.sec.", "A", False),
        (SIGNED_SERVER, "keytrap.sec.", "keytrap.sec.", "DNSKEY", True),
    ]
    # (child zone, whether the DS in its parent matches one of the child's served keys)
    DELEGATIONS = [("sec.", True), ("alg8.sec.", True), ("ed448.sec.", True), ("sub.deep.sec.", True),
                   ("keytrap.sec.", True), ("badds.sec.", False)]

    def test_anchor_files_name_the_served_root_key(self):
        keys = zone_keys(ROOT_SERVER, ".")[dns.name.root]
        anchor_key = dns.rrset.from_text(".", 0, "IN", "DNSKEY", pathlib.Path(ROOT_KEY).read_text().split(" DNSKEY ", 1)[1].strip())
        anchor_ds = dns.rrset.from_text(".", 0, "IN", "DS", pathlib.Path(ROOT_DS).read_text().split(" DS ", 1)[1].strip())
        self.assertIn(anchor_key[0], keys)
        self.assertEqual(dns.dnssec.make_ds(".", anchor_key[0], "SHA256"), anchor_ds[0])
        self.assertEqual(sorted((k.flags, k.algorithm) for k in keys), [(256, 8), (257, 8)])

    def test_signatures_verify_only_where_they_should(self):
        for server, zone, name, rdtype, good in self.SIGNATURES:
            with self.subTest(name=name, rdtype=rdtype):
                rrset, sigs = rrset_and_sigs(fetch(server, name, rdtype), name, rdtype)
                self.assertIsNotNone(rrset)
                self.assertEqual(verifies(rrset, sigs, zone_keys(server, zone)), good)
        rrset, sigs = rrset_and_sigs(fetch(SIGNED_SERVER, "www.stripped.sec.", "A"), "www.stripped.sec.", "A")
        self.assertEqual((rrset is None, sigs), (False, None))

    def test_ds_records_match_the_child_keys_except_badds(self):
        for zone, good in self.DELEGATIONS:
            with self.subTest(zone=zone):
                parent = dns.name.from_text(zone).parent().to_text()
                ds, sigs = rrset_and_sigs(fetch(ROOT_SERVER if parent == "." else SEC_SERVER, zone, "DS"), zone, "DS")
                server = SEC_SERVER if zone == "sec." else SIGNED_SERVER
                keys = zone_keys(server, zone)[dns.name.from_text(zone)]
                made = {dns.dnssec.make_ds(zone, key, ds[0].digest_type) for key in keys}
                self.assertEqual(bool(made & set(ds)), good)

    def test_no_ds_is_proven_for_insecure_delegations_but_not_for_nods(self):
        for server, child, proof in ((SEC_SERVER, "insecure.sec.", "NSEC"), (SIGNED_SERVER, "unsigned.n3.sec.", "NSEC3"),
                                     (SIGNED_SERVER, "unsigned.optout.sec.", "NSEC3")):
            with self.subTest(child=child):
                reply = fetch(server, child, "DS")
                windows, rrset = nsec_types(reply, child)
                self.assertEqual((reply.answer, dns.rdatatype.to_text(rrset.rdtype)), ([], proof))
                self.assertFalse(bitmap_has(windows, dns.rdatatype.DS))
                if child.startswith("unsigned.optout"):
                    self.assertTrue(all(r[0].flags & 1 for r in reply.authority if r.rdtype == dns.rdatatype.NSEC3))
        reply = fetch(SEC_SERVER, "nods.sec.", "DS")
        windows, _ = nsec_types(reply, "nods.sec.")
        self.assertEqual((reply.answer, bitmap_has(windows, dns.rdatatype.DS)), ([], True))

    def test_keytrap_keys_and_signatures_collide_on_the_zsk_tag(self):
        keys = zone_keys(SIGNED_SERVER, "keytrap.sec.")[dns.name.from_text("keytrap.sec.")]
        zone_signing_tags = [dns.dnssec.key_id(k) for k in keys if k.flags == 256]
        _, sigs = rrset_and_sigs(fetch(SIGNED_SERVER, "www.keytrap.sec.", "A"), "www.keytrap.sec.", "A")
        self.assertGreaterEqual(len(zone_signing_tags), 40)
        self.assertEqual(len(set(zone_signing_tags)), 1)
        self.assertGreaterEqual(len(sigs), 40)
        self.assertEqual({(s.key_tag, s.algorithm) for s in sigs}, {(zone_signing_tags[0], 8)})


# --------------------------------------------------------------------------------------------------
# The resolver


class ValidatingTestCase(e2e_test.RecursorTestCase):
    extra_args = ["--trust-anchor", ROOT_DS]

    @classmethod
    def setUpClass(cls):
        try:
            super().setUpClass()
        except AssertionError as error:
            raise AssertionError(f"the recursor did not start with {' '.join(cls.extra_args)}: {error}") from None

    def ask_all(self, cases):
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            return list(pool.map(lambda c: dig_recursor(self.server.dns_port, c[0], c[1]), cases))

    def assertOutcomes(self, cases, validating=True):
        for (name, rdtype, expected, data), (reply, got, _) in zip(cases, self.ask_all(cases)):
            with self.subTest(name=name, rdtype=rdtype):
                outcome = outcome_of(reply, got)
                if not validating:  # nothing is authenticated, and nothing refused
                    expected = {SECURE: INSECURE, BOGUS: INSECURE, NEGATIVE_SECURE: NEGATIVE_INSECURE}.get(expected, expected)
                self.assertEqual(outcome, expected, f"{name} {rdtype}: {reply['status']} flags {sorted(reply['flags'])}")
                if expected in (SECURE, INSECURE) and data is not None:
                    self.assertEqual(got, sorted(normal(d) for d in data))
                if expected in NEGATIVE:
                    self.assertEqual(reply["status"], "NOERROR" if data == [] else "NXDOMAIN")
        self.assertServerAlive()


class ValidationTest(ValidatingTestCase):
    """Trust anchor as DS (root.ds): every case of the table; bogus outcomes counted; KeyTrap bounded."""

    def test_every_case_has_its_outcome_and_bogus_ones_are_counted(self):
        before = bogus_counter(self.server.http_port)
        self.assertOutcomes(CASES)
        after = bogus_counter(self.server.http_port)
        self.assertIsNotNone(before, f"/metrics has no line '{BOGUS_METRIC} N'")
        self.assertGreaterEqual(after - before, len(BOGUS_NAMES), f"{BOGUS_METRIC} after {len(BOGUS_NAMES)} bogus names")

    def test_keytrap_fails_fast_while_other_names_are_answered(self):
        result = {}
        worker = threading.Thread(target=lambda: result.update(keytrap=dig_recursor(self.server.dns_port, "www.keytrap.sec.", "A")))
        worker.start()
        # A cold name of another signed zone (wild.sec. answers any), asked while the KeyTrap name is in work.
        reply, data, elapsed = dig_recursor(self.server.dns_port, "while-keytrap.wild.sec.", "A")
        worker.join()
        keytrap, _, keytrap_elapsed = result["keytrap"]
        with self.subTest(name="www.keytrap.sec."):
            self.assertEqual(keytrap["status"], "SERVFAIL")
            self.assertLess(keytrap_elapsed, KEYTRAP_BOUND)
        with self.subTest(name="while-keytrap.wild.sec."):
            self.assertEqual((reply["status"], "ad" in reply["flags"], data), ("NOERROR", True, ["198.51.100.20"]))
            self.assertLess(elapsed, KEYTRAP_BOUND)
        self.assertServerAlive()


    def test_bogus_answers_say_why_in_an_extended_error(self):
        reasons = {"www.badds.sec.": "9 (DNSKEY Missing)", "www.corrupt.sec.": "6 (DNSSEC Bogus)",
                   "www.expired.sec.": "7 (Signature Expired)", "www.stripped.sec.": "10 (RRSIGs Missing)",
                   "www.keytrap.sec.": "6 (DNSSEC Bogus)"}
        for name, reason in reasons.items():
            with self.subTest(name=name):
                for _ in ("resolved", "remembered as bogus"):
                    out = run_tool(["dig", "@127.0.0.1", "-p", str(self.server.dns_port), "+dnssec", "+tries=1",
                                    f"+time={CLIENT_TIMEOUT}", name, "A"], timeout=CLIENT_TIMEOUT + 5).stdout.decode()
                    self.assertEqual(parse_dig(out)["status"], "SERVFAIL")
                    self.assertIn(f"; EDE: {reason}", out)

    def test_checking_disabled_gets_bogus_data_unmarked_and_nobody_else_does(self):
        def ask(name, cd):
            query = dns.message.make_query(name, "A", want_dnssec=True, payload=1232)
            query.flags |= dns.flags.CD if cd else 0
            reply = dns.message.from_wire(e2e_test.udp_exchange(self.server.dns_port, query.to_wire(), CLIENT_TIMEOUT))
            data = sorted(r.to_text() for rrset in reply.answer if rrset.rdtype == dns.rdatatype.A for r in rrset)
            return dns.rcode.to_text(reply.rcode()), data, bool(reply.flags & dns.flags.AD), bool(reply.flags & dns.flags.CD)
        # CD first (nothing cached), then without it (bogus: SERVFAIL, remembered), then CD again.
        steps = [("www.badds.sec.", True, ("NOERROR", ["198.51.100.50"], False, True)),
                 ("www.badds.sec.", False, ("SERVFAIL", [], False, False)),
                 ("www.badds.sec.", True, ("NOERROR", ["198.51.100.50"], False, True)),
                 ("www.badds.sec.", False, ("SERVFAIL", [], False, False)),
                 ("www.alg13.sec.", True, ("NOERROR", ["198.51.100.13"], False, True)),
                 ("www.alg13.sec.", False, ("NOERROR", ["198.51.100.13"], True, False))]
        for name, cd, expected in steps:
            with self.subTest(name=name, cd=cd):
                self.assertEqual(ask(name, cd), expected)

    def test_trace_tells_each_exchange_referral_and_signature_without_touching_the_cache(self):
        def trace(name, rdtype):
            return e2e_test.control_exchange(self.server.control_path, f"TRACE {name} {rdtype}\n".encode(), timeout=30).decode()
        def cache_entries():
            _, _, body = split_http(http_get(self.server.http_port, "/metrics"))
            return re.findall(r"^dns_cache_entries\{.*$", body.decode(), re.M)
        before, entries_before = e2e_test.fetch_stats(self.server.http_port), cache_entries()
        secure = trace("traced.wild.sec.", "A")
        for expected in (r"^OK\ntrace of traced\.wild\.sec\. A, from the root servers\n",
                         # Minimised (RFC 9156): the root sees one label, wild.sec.'s server the name.
                         r"\nzone \.: sec\. NS, servers in order: ",
                         r"\nzone wild\.sec\.: traced\.wild\.sec\. A, servers in order: ",
                         r"\n  reply from [\d.]+:53 in \d+ ms\n  [\d.]+:53: reply taken\n", r"\n  referral to sec\.\n",
                         r"\n  RRSIG over traced\.wild\.sec\. A by wild\.sec\. \(key tag \d+, algorithm \d+\): valid\n",
                         r"\nchain of trust: wild\.sec\. is secure, keys of wild\.sec\., tags \d+",
                         r"\nresult: NOERROR, secure, 2 answer records\n  traced\.wild\.sec\. \d+ A\n  traced\.wild\.sec\. \d+ RRSIG\ntook \d+ ms\n$"):
            self.assertRegex(secure, expected)
        bogus = trace("www.corrupt.sec.", "A")
        self.assertRegex(bogus, r"\n  RRSIG over www\.corrupt\.sec\. A by corrupt\.sec\. .*: does not verify\n")
        self.assertRegex(bogus, r"\nresult: SERVFAIL, error\.DnssecBogus zone corrupt\.sec\.\n")  # the zone at fault
        after = e2e_test.fetch_stats(self.server.http_port)
        self.assertEqual((after["queries_total"], after["cache_hits"]), (before["queries_total"], before["cache_hits"]))
        self.assertEqual(cache_entries(), entries_before, "the trace left nothing in the server's caches")
        for line, answer in ((b"TRACE x.sec.\n", b"ERROR: Usage: TRACE <name> <type>\n"),
                             (b"TRACE x.sec. NOSUCHTYPE\n", b"ERROR: Invalid name or type\n")):
            self.assertEqual(e2e_test.control_exchange(self.server.control_path, line), answer)

    def test_dname_answer_is_secure_and_carries_the_dname(self):
        reply = ask_dnssec(self.server.dns_port, "www.dname.alg13.sec.", "A")
        self.assertEqual((dns.rcode.to_text(reply.rcode()), bool(reply.flags & dns.flags.AD)), ("NOERROR", True), reply)
        self.assertEqual(records_of(reply, "DNAME"), [("dname.alg13.sec.", "alg8.sec.")], reply)
        self.assertEqual(records_of(reply, "A"), [("www.alg8.sec.", "198.51.100.8")], reply)
        self.assertServerAlive()


class DnskeyAnchorTest(ValidatingTestCase):
    """The same anchor given as the root's DNSKEY (root.key) gives the same outcomes."""

    extra_args = ["--trust-anchor", ROOT_KEY]

    def test_every_case_has_its_outcome(self):
        self.assertOutcomes(CASES)


class KeyCacheTest(ValidatingTestCase):
    """What validation learns (keys, validated denial ranges, bogus verdicts) saves later exchanges."""

    # Outgoing questions (all, and those for DS and DNSKEY in class IN) counted by the namespace's filter.
    RULES = {"all": [], "DS": ["-m", "string", "--algo", "bm", "--hex-string", "|002b0001|"],
             "DNSKEY": ["-m", "string", "--algo", "bm", "--hex-string", "|00300001|"]}

    def upstream_questions(self):
        out = run_tool(["iptables", "-w", "-L", "OUTPUT", "-v", "-x", "-n"]).stdout.decode()
        return {line.split("recursor-key-cache-")[1].split()[0]: int(line.split()[0])
                for line in out.splitlines() if "recursor-key-cache-" in line}

    def setUp(self):
        for qtype, match in self.RULES.items():
            rule = ["-p", "udp", "--dport", "53", *match, "-m", "comment", "--comment", f"recursor-key-cache-{qtype}"]
            run_tool(["iptables", "-w", "-A", "OUTPUT", *rule])
            self.addCleanup(run_tool, ["iptables", "-w", "-D", "OUTPUT", *rule])

    def test_a_second_name_of_a_known_zone_costs_one_exchange(self):
        first, _, _ = dig_recursor(self.server.dns_port, "www.alg14.sec.", "A")
        self.assertEqual((first["status"], "ad" in first["flags"]), ("NOERROR", True))
        cold = self.upstream_questions()
        # Every DS on the way came with its signed referral, verified with the parent's keys: none asked.
        self.assertEqual(cold["DS"], 0, cold)
        self.assertGreater(cold["DNSKEY"], 0, cold)
        second, _, _ = dig_recursor(self.server.dns_port, "www.alg14.sec.", "AAAA")
        self.assertEqual((second["status"], "ad" in second["flags"]), ("NOERROR", True))
        warm = self.upstream_questions()
        self.assertEqual({k: warm[k] - cold[k] for k in warm}, {"all": 1, "DS": 0, "DNSKEY": 0})
        # With the zone's own servers known, its DS is still asked of its parent's (RFC 4035 §4.2).
        ds, data, _ = dig_recursor(self.server.dns_port, "alg14.sec.", "DS")
        self.assertEqual((ds["status"], "ad" in ds["flags"], len(data)), ("NOERROR", True, 1))

    def test_names_the_cached_ranges_deny_or_a_cached_wildcard_makes_are_answered_without_asking(self):
        # alg13.sec.'s NSEC chain runs apex -> cname -> dname -> www: nx*. lie between dname and www, and
        # the apex's NSEC covers *.alg13.sec.; wild.sec.'s runs apex -> * -> exact -> www (RFC 8198).
        for first, later, status, answer in (("nx.alg13.sec.", ["nx1.alg13.sec.", "nz.alg13.sec."], "NXDOMAIN", []),
                                             ("anything.wild.sec.", ["b1.wild.sec.", "d.wild.sec."], "NOERROR",
                                              ["198.51.100.20"])):
            reply, data, _ = dig_recursor(self.server.dns_port, first, "A")
            self.assertEqual((reply["status"], "ad" in reply["flags"], data), (status, True, answer), first)
            before = self.upstream_questions()
            for name in later:
                reply, data, _ = dig_recursor(self.server.dns_port, name, "A")
                self.assertEqual((reply["status"], "ad" in reply["flags"], data), (status, True, answer), name)
            self.assertEqual(self.upstream_questions()["all"], before["all"], later)

    def test_a_bogus_answer_is_remembered_for_a_while(self):
        # RFC 4035 §4.7: a client repeating a bogus name does not make the resolver repeat the work.
        asked = []
        for _ in range(2):
            reply, _, _ = dig_recursor(self.server.dns_port, "www.badds.sec.", "A")
            self.assertEqual(reply["status"], "SERVFAIL")
            asked.append(self.upstream_questions()["all"])
        self.assertEqual(asked[1], asked[0], "the second ask did the work again")


class ValidationOffTest(ValidatingTestCase):
    """--disable-dnssec: the same RCODEs and data, bogus names answered, AD never set."""

    extra_args = ["--disable-dnssec"]

    def test_same_answers_without_ad(self):
        # Not the KeyTrap name: its 48 signatures do not fit a 4096-byte reply, which then comes truncated.
        self.assertOutcomes([c for c in CASES if c[0] != "www.keytrap.sec."], validating=False)


class TrustAnchorReloadTest(unittest.TestCase):
    """SIGHUP re-reads the --trust-anchor file: from a wrong anchor (every signed name bogus) to the lab's."""

    def test_a_corrected_anchor_validates_at_once_after_sighup(self):
        # SIGHUP used to kill the process; now it installs the new anchor and empties the caches, so the
        # bogus answers remembered under the old anchor (bogus_ttl, 60 s) are not served any more.
        tmpdir = e2e_test.make_private_dir("anchor-reload")
        anchor = os.path.join(tmpdir, "anchor.ds")
        with open(anchor, "w") as f:  # the real root's 2017 key: it signs nothing in the lab
            f.write(". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n")
        server = e2e_test.Recursor(e2e_test.standard_args(tmpdir) + ["--trust-anchor", anchor])
        try:
            reply, data, _ = dig_recursor(server.dns_port, "www.alg13.sec.", "A")
            self.assertEqual(outcome_of(reply, data), BOGUS)
            shutil.copyfile(ROOT_DS, anchor)
            os.kill(server.pid, signal.SIGHUP)
            server.wait_for_line(r"^info: reloading the trust anchors$")
            server.wait_for_line(r"^info: reloaded: new trust anchors \(caches emptied\)$")
            reply, data, _ = dig_recursor(server.dns_port, "www.alg13.sec.", "A")
            self.assertEqual((outcome_of(reply, data), data), (SECURE, ["198.51.100.13"]))
            self.assertEqual(server.shutdown(), 0, server.stderr_text())
            self.assertEqual(server.sanitizer_reports(), [])
        finally:
            server.kill()
            shutil.rmtree(tmpdir, ignore_errors=True)


# --------------------------------------------------------------------------------------------------
# An attacker on the path: tests/lab/forge_proxy.py rewrites chosen UDP replies of the signed zones' servers

FORGE_PROXY = pathlib.Path(__file__).resolve().parents[1] / "lab" / "forge_proxy.py"
# The proxy's own addresses, each paired with the real server whose UDP port 53 it takes over. Its
# upstream traffic leaves from these addresses, which the DNAT rules leave alone.
PROXY_ROUTES = [("10.53.9.1", SEC_SERVER), ("10.53.9.2", SIGNED_SERVER)]
PROXY_NET = "10.53.9.0/24"
PROXY_RULE_COMMENT = "recursor-forge-proxy"
BOGUS_TTL = 1  # seconds a bogus answer is kept (the resolver's bogus_ttl, default 60)
PAST_BOGUS_TTL = 2.2  # waited after the proxy is gone: whatever the forgery left cached has expired
ORIGINAL_TTL = 3600  # the RRSIG's original TTL of every RRset the forgeries touch


def command(argv):
    result = run_tool(argv)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}): {result.stderr.decode().strip()}")


class ForgingPath:
    """forge_proxy.py --scenario SCENARIO in the path of all UDP to PROXY_ROUTES' servers until stop():
    an address per route on lo, the proxy, and a nat OUTPUT DNAT rule per route."""

    def __init__(self, scenario, workdir):
        self.scenario = scenario
        self.log_path = os.path.join(workdir, f"forge-proxy-{scenario}.log")
        self.undo = []  # commands (callables) that take the path down, in the order they were set up
        try:
            self.setup()
        except BaseException:
            self.stop()
            raise

    def setup(self):
        for address, _ in PROXY_ROUTES:
            command(["ip", "addr", "add", f"{address}/32", "dev", "lo"])
            self.undo.append(lambda a=address: command(["ip", "addr", "del", f"{a}/32", "dev", "lo"]))
        argv = ["/usr/bin/python3", str(FORGE_PROXY), "--scenario", self.scenario]
        for address, server in PROXY_ROUTES:
            argv += ["--listen", address, "--upstream", server]
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.undo.append(self.stop_proxy)
        deadline = time.monotonic() + 10
        while "forge proxy (" not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"forge_proxy.py did not start:\n{self.log()}")
            time.sleep(0.05)
        for address, server in PROXY_ROUTES:
            rule = ["OUTPUT", "-p", "udp", "-d", server, "--dport", "53", "!", "-s", PROXY_NET,
                    "-m", "comment", "--comment", PROXY_RULE_COMMENT, "-j", "DNAT", "--to-destination", f"{address}:53"]
            command(["iptables", "-w", "-t", "nat", "-A", *rule])
            self.undo.append(lambda r=rule: command(["iptables", "-w", "-t", "nat", "-D", *r]))

    def stop_proxy(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)

    def stop(self):
        """Takes rules, proxy and addresses away (last set up, first undone); again is a no-op."""
        errors = []
        while self.undo:
            try:
                self.undo.pop()()
            except AssertionError as error:
                errors.append(str(error))
        if errors:
            raise AssertionError("taking the forging path down: " + "; ".join(errors))

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def forged(self):
        return [line for line in self.log().splitlines() if line.startswith("forged ")]


def honest(server, name, rdtype):
    """The data of an RRset as the real server gives it over TCP (never redirected)."""
    rrset, _ = rrset_and_sigs(fetch(server, name, rdtype), name, rdtype)
    return sorted(r.to_text() for r in rrset)


@dataclasses.dataclass(frozen=True)
class Forgery:
    """A scenario of forge_proxy.py and what the resolver must make of it.

    questions: (name, type, truth) asked while the proxy forges and again once it is gone; truth is the
    data of the asked type (a list, [] for NODATA, or a callable giving it) or None for NXDOMAIN. With the
    proxy in the path an answer is SERVFAIL (if servfail_ok) or the truth with AD; once the proxy is gone
    and the bogus TTL has passed, always the truth with AD.
    never: text that no reply to those questions may hold. others: (name, type, data) of the same zones,
    secure with their data while the proxy is in the path: the forgery costs at most its own answer.
    after: more (name, type, data) that are secure once the proxy is gone."""

    scenario: str
    questions: tuple
    never: tuple = ()
    servfail_ok: bool = True
    others: tuple = ()
    after: tuple = ()


FORGERIES = {f.scenario: f for f in [
    # sec.'s DS answer for alg8.sec. turned into a NODATA "proven" by one unsigned NSEC3 whose 151
    # iterations a validator would not compute (RFC 9276: insecure), and alg8.sec.'s A made up, unsigned.
    Forgery("nsec3-iterations",
            (("www.alg8.sec.", "A", ["198.51.100.8"]), ("alg8.sec.", "DS", lambda: honest(SEC_SERVER, "alg8.sec.", "DS"))),
            never=("6.6.6.6",),
            others=(("www.alg13.sec.", "A", ["198.51.100.13"]), ("www.alg10.sec.", "AAAA", ["2001:db8:5ec::10"])),
            after=(("www.alg8.sec.", "AAAA", ["2001:db8:5ec::8"]),)),
    # The wildcard's signed A as www's answer, "proven" by the wildcard's own NSEC moved to wwv.wild.sec.
    # (its RRSIG's labels field says it was expanded from *.wild.sec.; it covers nothing, next is no apex).
    Forgery("moved-nsec", (("www.wild.sec.", "A", ["198.51.100.22"]),), never=("198.51.100.20",),
            others=(("exact.wild.sec.", "A", ["198.51.100.21"]), ("anything.wild.sec.", "A", ["198.51.100.20"]))),
    # NXDOMAIN on the strength of a signed SOA alone (at TTL 2^31-1: it would stay cached).
    Forgery("forged-nxdomain", (("www.alg13.sec.", "A", ["198.51.100.13"]),),
            others=(("www.alg13.sec.", "AAAA", ["2001:db8:5ec::13"]), ("cname.alg13.sec.", "A", ["198.51.100.8"]))),
    # A true NXDOMAIN whose NSEC proof was removed: unproven, so bogus.
    Forgery("stripped-denial", (("nx.alg13.sec.", "A", None),), others=(("www.alg13.sec.", "A", ["198.51.100.13"]),)),
    # A validly signed RRset of another type as the answer to A.
    Forgery("other-type", (("www.alg10.sec.", "A", ["198.51.100.10"]),),
            others=(("www.alg10.sec.", "AAAA", ["2001:db8:5ec::10"]),)),
    # The true, signed answer at TTL 2^31-1: served, with a TTL no longer than the RRSIG's original TTL.
    Forgery("big-ttl", (("www.alg14.sec.", "A", ["198.51.100.14"]),), servfail_ok=False,
            others=(("www.alg14.sec.", "AAAA", ["2001:db8:5ec::14"]),)),
    # A true NODATA whose NSEC lost its signature.
    Forgery("unsigned-nodata", (("www.alg13.sec.", "TXT", []),), others=(("www.alg13.sec.", "A", ["198.51.100.13"]),)),
]}


class ForgeProxyPremiseTest(unittest.TestCase):
    """The forging path itself, asked directly (no resolver): it forges its question, passes the rest byte
    for byte, and is gone after stop()."""

    def setUp(self):
        self.workdir = e2e_test.make_private_dir("forge-premise")
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def udp(self, server, name, rdtype, source=None):
        query = dns.message.make_query(name, rdtype, want_dnssec=True, payload=4096)
        query.flags = 0
        return dns.query.udp(query, server, timeout=3, source=source)

    def test_big_ttl_forges_its_answer_and_passes_the_rest(self):
        path = ForgingPath("big-ttl", self.workdir)
        self.addCleanup(path.stop)
        address, sigs = rrset_and_sigs(self.udp(SIGNED_SERVER, "www.alg14.sec.", "A"), "www.alg14.sec.", "A")
        self.assertEqual((address.ttl, sigs.ttl, sigs[0].original_ttl), (2147483647, ORIGINAL_TTL, ORIGINAL_TTL))
        # The same query bytes through the proxy and around it (from its own address, which no rule redirects).
        query = dns.message.make_query("www.alg14.sec.", "AAAA", want_dnssec=True, payload=4096)
        query.flags = 0
        through = dns.query.udp(query, SIGNED_SERVER, timeout=3)
        around = dns.query.udp(query, SIGNED_SERVER, timeout=3, source=PROXY_ROUTES[1][0])
        self.assertEqual(through.to_wire(), around.to_wire())
        self.assertEqual(len(path.forged()), 1, path.log())
        self.assertIn("passed www.alg14.sec. AAAA", path.log())
        path.stop()
        honest_reply = self.udp(SIGNED_SERVER, "www.alg14.sec.", "A")
        self.assertEqual(rrset_and_sigs(honest_reply, "www.alg14.sec.", "A")[0].ttl, ORIGINAL_TTL)
        self.assertNotIn(PROXY_RULE_COMMENT, run_tool(["iptables", "-w", "-t", "nat", "-S", "OUTPUT"]).stdout.decode())
        self.assertNotIn("10.53.9.", run_tool(["ip", "-4", "addr", "show", "dev", "lo"]).stdout.decode())
        self.assertIsNotNone(path.proc.poll())

    def test_every_scenario_forges_what_it_names(self):
        def sections(message):
            return dns.rcode.to_text(message.rcode()), sorted(r.to_text() for r in message.answer + message.authority)

        for forgery in FORGERIES.values():
            with self.subTest(scenario=forgery.scenario):
                path = ForgingPath(forgery.scenario, self.workdir)
                try:
                    for name, rdtype, _ in forgery.questions:
                        server = SEC_SERVER if rdtype == "DS" else SIGNED_SERVER
                        self.assertNotEqual(sections(self.udp(server, name, rdtype)), sections(fetch(server, name, rdtype)))
                    self.assertEqual(len(path.forged()), len(forgery.questions), path.log())
                finally:
                    path.stop()


class ForgeryTest(unittest.TestCase):
    """Replies forged on the path from the lab's real records and signatures (tests/lab/forge_proxy.py):
    each scenario against a fresh resolver that keeps bogus answers BOGUS_TTL seconds. The forged question
    ends in SERVFAIL or the true data with AD, never in forged data and never with AD on forged data;
    other names of the zone stay secure; once the proxy is gone the forged name itself validates again."""

    def setUp(self):
        self.workdir = e2e_test.make_private_dir("forgery")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        config = os.path.join(self.workdir, "recursor.conf")
        with open(config, "w") as f:
            # A configuration file needs a listen address of its own; the command line's wins.
            f.write(f"[server]\nlisten = {e2e_test.LOCALHOST}:0\nbogus_ttl = {BOGUS_TTL}\n")
        try:
            self.server = e2e_test.Recursor(e2e_test.standard_args(self.workdir) + ["--config", config, "--trust-anchor", ROOT_DS])
        except AssertionError as error:
            raise AssertionError(f"the recursor did not start with 'bogus_ttl = {BOGUS_TTL}' in its [server] config: {error}") from None
        self.addCleanup(self.stop_server)

    def stop_server(self):
        try:
            code = self.server.shutdown()
            self.assertEqual(code, 0, f"recursor exit status; stderr:\n{self.server.stderr_text()}")
            self.assertEqual(self.server.sanitizer_reports(), [])
        finally:
            self.server.kill()

    def ask(self, name, rdtype):
        return ask_dnssec(self.server.dns_port, name, rdtype)

    def assertTruth(self, reply, rdtype, truth, context):
        """The reply is the truth (data of the asked type, or NXDOMAIN for None) with AD."""
        expected = ("NXDOMAIN" if truth is None else "NOERROR", True, sorted(truth or []))
        got = (dns.rcode.to_text(reply.rcode()), bool(reply.flags & dns.flags.AD), [d for _, d in records_of(reply, rdtype)])
        self.assertEqual(got, expected, f"{context}:\n{reply}")

    def check(self, scenario):
        forgery = FORGERIES[scenario]
        questions = [(name, rdtype, truth() if callable(truth) else truth) for name, rdtype, truth in forgery.questions]
        path = ForgingPath(scenario, self.workdir)
        self.addCleanup(path.stop)

        def judge(reply, name, rdtype, truth, when):
            context = f"{scenario}: {name} {rdtype} {when}\nproxy log:\n{path.log()}"
            for text in forgery.never:
                self.assertNotIn(text, reply.to_text(), context)
            if reply.rcode() == dns.rcode.SERVFAIL and forgery.servfail_ok and when != "after the proxy":
                return
            self.assertTruth(reply, rdtype, truth, context)
            for rrset in reply.answer:
                self.assertLessEqual(rrset.ttl, ORIGINAL_TTL, f"{context}\n{rrset}")

        for name, rdtype, truth in questions:
            judge(self.ask(name, rdtype), name, rdtype, truth, "cold, forged")
        for name, rdtype, data in forgery.others:
            reply = self.ask(name, rdtype)
            self.assertTruth(reply, rdtype, data, f"{scenario}: {name} {rdtype}, another name, proxy in the path")
        for name, rdtype, truth in questions:
            judge(self.ask(name, rdtype), name, rdtype, truth, "asked again, forged")
        self.assertTrue(path.forged(), f"{scenario}: the proxy forged nothing:\n{path.log()}")
        path.stop()
        time.sleep(PAST_BOGUS_TTL)
        for name, rdtype, truth in questions:
            judge(self.ask(name, rdtype), name, rdtype, truth, "after the proxy")
        for name, rdtype, data in forgery.after:
            self.assertTruth(self.ask(name, rdtype), rdtype, data, f"{scenario}: {name} {rdtype} after the proxy")
        self.assertTrue(self.server.alive(), f"recursor died; stderr:\n{self.server.stderr_text()}")

    def test_nsec3_iterations(self):
        self.check("nsec3-iterations")

    def test_moved_nsec(self):
        self.check("moved-nsec")

    def test_forged_nxdomain(self):
        self.check("forged-nxdomain")

    def test_stripped_denial(self):
        self.check("stripped-denial")

    def test_other_type(self):
        self.check("other-type")

    def test_big_ttl(self):
        self.check("big-ttl")

    def test_unsigned_nodata(self):
        self.check("unsigned-nodata")


class AnyMetaTypeAndUncheckedTest(ValidatingTestCase):
    """ANY is asked as a question of its own; meta-type questions never leave the door; CD repeats ask once."""

    RULES = KeyCacheTest.RULES
    setUp = KeyCacheTest.setUp
    upstream_questions = KeyCacheTest.upstream_questions

    def raw_question(self, name, qtype, flags=0x0100):
        """(RCODE, ANCOUNT, AD) of the reply to one hand-built question: dnspython refuses some meta types."""
        wire = e2e_test.udp_exchange(self.server.dns_port, e2e_test.header(0x5151, flags) + e2e_test.question(name, qtype),
                                     CLIENT_TIMEOUT)
        self.assertIsNotNone(wire, f"no reply to {name} type {qtype}")
        return wire[3] & 0x0F, int.from_bytes(wire[6:8], "big"), bool(wire[3] & 0x20)

    def test_any_after_a_proven_nodata_is_asked_and_every_rrset_validated(self):
        # The NSEC that proved www.alg13.sec. has no TXT lists no ANY (no bitmap ever does): ANY used to be
        # answered from the kept ranges, NOERROR and empty with AD, although A and AAAA exist.
        reply, data, _ = dig_recursor(self.server.dns_port, "www.alg13.sec.", "TXT")
        self.assertEqual((reply["status"], "ad" in reply["flags"], data), ("NOERROR", True, []))
        before = self.upstream_questions()["all"]
        reply = ask_dnssec(self.server.dns_port, "www.alg13.sec.", "ANY")
        self.assertGreater(self.upstream_questions()["all"], before, "ANY was answered without asking")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR, reply)
        self.assertTrue(reply.flags & dns.flags.AD, reply)
        # NSD answers ANY with one RRset of the name (RFC 8482 §4.1): the A here, signed and validated.
        self.assertEqual(records_of(reply, "A"), [("www.alg13.sec.", "198.51.100.13")], reply)
        self.assertEqual({dns.rdatatype.to_text(rrset.rdtype) for rrset in reply.answer}, {"A", "RRSIG"}, reply)

    def test_meta_type_questions_are_answered_at_the_door(self):
        before = self.upstream_questions()["all"]
        for qtype, rcode in ((0, dns.rcode.FORMERR), (41, dns.rcode.FORMERR), (249, dns.rcode.FORMERR),
                             (250, dns.rcode.FORMERR), (200, dns.rcode.FORMERR), (251, dns.rcode.REFUSED),
                             (252, dns.rcode.REFUSED), (253, dns.rcode.NOTIMP), (254, dns.rcode.NOTIMP)):
            with self.subTest(qtype=qtype):
                self.assertEqual(self.raw_question("www.alg13.sec.", qtype), (rcode, 0, False))
        self.assertEqual(self.upstream_questions()["all"], before, "a meta-type question went upstream")

    def test_repeated_unchecked_questions_for_bogus_data_ask_once(self):
        # Each CD question for known-bogus data used to be resolved again upstream.
        rd, rd_cd = 0x0100, 0x0110
        self.assertEqual(self.raw_question("www.badds.sec.", 1, rd)[0], dns.rcode.SERVFAIL)
        first = self.raw_question("www.badds.sec.", 1, rd_cd)
        self.assertEqual(first, (dns.rcode.NOERROR, 1, False), "CD gets the data, unauthenticated")
        asked = self.upstream_questions()["all"]
        for _ in range(20):
            self.assertEqual(self.raw_question("www.badds.sec.", 1, rd_cd), first)
        self.assertEqual(self.upstream_questions()["all"], asked, "a CD repeat went upstream")
        self.assertEqual(self.raw_question("www.badds.sec.", 1, rd)[0], dns.rcode.SERVFAIL, "served without CD")


def missing_anchor_files():
    if os.path.isfile(ROOT_DS) and os.path.isfile(ROOT_KEY):
        return None
    return f"no trust anchor files in RECURSOR_LAB_DIR={LAB_DIR!r}: run through scripts/lab.sh with-lab or exec"


def main():
    resolution_test.main(missing_anchor_files)


if __name__ == "__main__":
    main()
