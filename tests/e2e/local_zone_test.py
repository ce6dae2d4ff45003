#!/usr/bin/python3
"""Local zones end to end: a [zone:NAME.] section's master file served by the recursor binary.

The suite runs in a namespace with only loopback (scripts/lab.sh bare): nothing upstream can answer, so
every NOERROR or NXDOMAIN seen here was answered from the local zone, with validation on.

Run: scripts/lab.sh bare -- /usr/bin/python3 tests/e2e/local_zone_test.py --binary build/debug/recursor
LabLocalZoneTest needs the signed lab (it is skipped elsewhere):
     scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/local_zone_test.py --binary ... LabLocalZoneTest
"""

import json
import os
import re
import shutil
import socket
import threading
import sys
import time
import unittest

import dns.flags
import dns.message
import dns.rcode
import dns.rdatatype
import dns.rrset

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  the process wrapper and clients of the standard suite
from e2e_test import control_exchange, http_get, split_http, udp_exchange  # noqa: E402

ZONE = """$TTL 600
@        3600 IN SOA ns.corp.test. host.corp.test. ( 2026120801 7200 900
                                                    1209600 300 )
@             NS   ns
ns            A    192.0.2.53
www           A    192.0.2.1
www           AAAA 2001:db8::1
alias         CNAME www
*.dev         A    192.0.2.7
blob          TYPE65280 \\# 2 abcd
lab           NS   ns.lab
ns.lab        A    127.0.0.2
tolab         CNAME box.lab
"""
CHILD_ADDRESS = ("127.0.0.2", 53)  # ns.lab.corp.test. as the file names it; the resolver asks port 53


def serve_child(sock):
    """The child zone lab.corp.test.'s server: any A question under it gets 192.0.2.99, AA set."""
    while True:
        try:
            wire, peer = sock.recvfrom(4096)
        except OSError:
            return
        query = dns.message.from_wire(wire)
        reply = dns.message.make_response(query)
        reply.flags |= dns.flags.AA
        question = query.question[0]
        if question.rdtype == dns.rdatatype.A:
            reply.answer.append(dns.rrset.from_text(question.name, 120, "IN", "A", "192.0.2.99"))
        sock.sendto(reply.to_wire(), peer)


def ask(port, name, rdtype="A"):
    """One UDP question with DO and AD set, as a validating stub asks: the reply."""
    query = dns.message.make_query(name, rdtype, want_dnssec=True)
    query.flags |= dns.flags.AD
    wire = udp_exchange(port, query.to_wire(), 5.0)
    if wire is None:
        raise AssertionError(f"no reply to {name} {rdtype}")
    return dns.message.from_wire(wire)


def records(section):
    return sorted((r.name.to_text(), dns.rdatatype.to_text(r.rdtype), r.ttl, sorted(x.to_text() for x in r)) for r in section)


class LocalZoneTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir("zones")
        cls.zone_path = os.path.join(cls.tmpdir, "corp.zone")
        with open(cls.zone_path, "w") as f:
            f.write(ZONE)
        config = os.path.join(cls.tmpdir, "recursor.conf")
        with open(config, "w") as f:
            f.write(f"[server]\nexpose_zones = yes\n\n[zone:corp.test.]\nfile = {cls.zone_path}\n")
        cls.child = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.child.bind(CHILD_ADDRESS)
        threading.Thread(target=serve_child, args=(cls.child,), daemon=True).start()
        cls.started = time.time()
        cls.server = e2e_test.Recursor(e2e_test.standard_args(cls.tmpdir) + ["--config", config])

    @classmethod
    def tearDownClass(cls):
        code = cls.server.shutdown()
        cls.child.close()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)
        if code != 0:
            raise AssertionError(f"recursor exited with {code}; stderr:\n{cls.server.stderr_text()}")

    def test_answers_come_from_the_file_with_aa_and_without_ad(self):
        cases = [
            ("www.corp.test.", "AAAA", dns.rcode.NOERROR, [("www.corp.test.", "AAAA", 600, ["2001:db8::1"])], []),
            ("alias.corp.test.", "A", dns.rcode.NOERROR,
             [("alias.corp.test.", "CNAME", 600, ["www.corp.test."]), ("www.corp.test.", "A", 600, ["192.0.2.1"])], []),
            ("box.dev.corp.test.", "A", dns.rcode.NOERROR, [("box.dev.corp.test.", "A", 600, ["192.0.2.7"])], []),
            ("blob.corp.test.", "TYPE65280", dns.rcode.NOERROR, [("blob.corp.test.", "TYPE65280", 600, ["\\# 2 abcd"])], []),
            ("www.corp.test.", "MX", dns.rcode.NOERROR, [], [("corp.test.", "SOA", 300)]),
            ("nowhere.corp.test.", "A", dns.rcode.NXDOMAIN, [], [("corp.test.", "SOA", 300)]),
        ]
        for name, rdtype, rcode, answer, authority in cases:
            with self.subTest(name=name, rdtype=rdtype):
                reply = ask(self.server.dns_port, name, rdtype)
                self.assertEqual(reply.rcode(), rcode)
                self.assertTrue(reply.flags & dns.flags.AA, "AA must be set on a local answer")
                self.assertFalse(reply.flags & dns.flags.AD, "local data is never validated")
                self.assertEqual(records(reply.answer), sorted(answer))
                self.assertEqual([r[:3] for r in records(reply.authority)], authority)

    def test_a_child_zone_is_asked_of_the_servers_the_file_names(self):
        # Nothing else is reachable here: without the delegation the question would go to the root
        # servers and fail. The child is not validated against the public chain either.
        reply = ask(self.server.dns_port, "host.lab.corp.test.")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR)
        self.assertFalse(reply.flags & dns.flags.AD)
        self.assertEqual(records(reply.answer), [("host.lab.corp.test.", "A", 120, ["192.0.2.99"])])

    def test_a_cname_leaving_the_zone_is_followed_by_resolution(self):
        reply = ask(self.server.dns_port, "tolab.corp.test.")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR)
        self.assertEqual(records(reply.answer), [("box.lab.corp.test.", "A", 120, ["192.0.2.99"]),
                                                 ("tolab.corp.test.", "CNAME", 600, ["box.lab.corp.test."])])

    def test_zones_lists_each_zone_as_json(self):
        status, headers, body = split_http(http_get(self.server.http_port, "/zones"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(headers["Content-Type"], "application/json")
        zones = {zone["name"]: zone for zone in json.loads(body)}
        corp = zones["corp.test."]
        self.assertEqual({k: corp[k] for k in ("serial", "records", "file")},
                         {"serial": 2026120801, "records": 11, "file": self.zone_path})
        self.assertLessEqual(abs(corp["loaded_at"] - self.started), 30)
        self.assertEqual((zones["localhost."]["file"], zones["localhost."]["records"]), ("built-in", 6))

    def test_trace_names_the_local_zone_or_walks_from_its_delegation(self):
        # TRACE used to walk from the root servers (unreachable here) for names the resolver never asks.
        def trace(name):
            return control_exchange(self.server.control_path, f"TRACE {name} A\n".encode(), timeout=30).decode()

        self.assertTrue(trace("www.corp.test.").startswith(
            "OK\nwww.corp.test. A is answered locally, from the zone corp.test.\n"
            "result: NOERROR, insecure, 1 answer records\n  www.corp.test. 600 A\n"))
        child = trace("host.lab.corp.test.")
        self.assertIn("zone lab.corp.test.: host.lab.corp.test. A, servers in order: 127.0.0.2:53", child)
        self.assertIn("result: NOERROR", child)

    def test_built_in_zones_answer_without_upstream(self):
        cases = [
            ("localhost.", "A", dns.rcode.NOERROR, [("localhost.", "A", 10800, ["127.0.0.1"])]),
            ("localhost.", "AAAA", dns.rcode.NOERROR, [("localhost.", "AAAA", 10800, ["::1"])]),
            ("1.0.0.127.in-addr.arpa.", "PTR", dns.rcode.NOERROR,
             [("1.0.0.127.in-addr.arpa.", "PTR", 10800, ["localhost."])]),
            ("4.3.2.10.in-addr.arpa.", "PTR", dns.rcode.NXDOMAIN, []),
            ("4.3.168.192.in-addr.arpa.", "PTR", dns.rcode.NXDOMAIN, []),
            ("name.invalid.", "A", dns.rcode.NXDOMAIN, []),
        ]
        for name, rdtype, rcode, answer in cases:
            with self.subTest(name=name, rdtype=rdtype):
                reply = ask(self.server.dns_port, name, rdtype)
                self.assertEqual(reply.rcode(), rcode)
                self.assertTrue(reply.flags & dns.flags.AA)
                self.assertEqual(records(reply.answer), answer)


@unittest.skipUnless(os.environ.get("RECURSOR_LAB_DIR"), "needs the signed lab (scripts/lab.sh with-lab)")
class LabLocalZoneTest(unittest.TestCase):
    """A local CNAME to a signed name of the lab: the target is resolved and validated from the lab's root
    anchor, and the reply has no AD, since the local link of the chain is not validated."""

    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir("labzones")
        zone_path = os.path.join(cls.tmpdir, "corp.zone")
        with open(zone_path, "w") as f:
            f.write("@ SOA ns host 1 3600 600 86400 60\nsigned CNAME www.alg13.sec.\n")
        config = os.path.join(cls.tmpdir, "recursor.conf")
        with open(config, "w") as f:
            f.write(f"[zone:corp.test.]\nfile = {zone_path}\n")
        anchor = os.path.join(os.environ["RECURSOR_LAB_DIR"], "root.key")
        cls.server = e2e_test.Recursor(e2e_test.standard_args(cls.tmpdir)
                                       + ["--config", config, "--trust-anchor", anchor])

    @classmethod
    def tearDownClass(cls):
        code = cls.server.shutdown()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)
        if code != 0:
            raise AssertionError(f"recursor exited with {code}; stderr:\n{cls.server.stderr_text()}")

    def test_a_chain_from_a_local_zone_to_a_signed_name_is_answered_without_ad(self):
        target = ask(self.server.dns_port, "www.alg13.sec.")
        self.assertTrue(target.flags & dns.flags.AD, "the premise: the target alone is secure")
        reply = ask(self.server.dns_port, "signed.corp.test.")
        self.assertEqual(reply.rcode(), dns.rcode.NOERROR)
        self.assertFalse(reply.flags & dns.flags.AD)
        self.assertEqual([(r.name.to_text(), dns.rdatatype.to_text(r.rdtype)) for r in reply.answer],
                         [("signed.corp.test.", "CNAME"), ("www.alg13.sec.", "A"), ("www.alg13.sec.", "RRSIG")])




class ReadmeExampleTest(unittest.TestCase):
    """The README's configuration example and its zone file, loaded as an operator copies them: only the
    file path and the addresses are rewritten, so that a stale or broken example fails here."""

    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir("readme")
        cls.zone_path = os.path.join(cls.tmpdir, "office.example.zone")
        rewrites = [
            (r"^listen = .*$", "listen = 127.0.0.1:0"),
            (r"^http_listen = .*$", "http_listen = 127.0.0.1:0"),
            (r"^control_socket_path = .*$", "control_socket_path = " + os.path.join(cls.tmpdir, "control.sock")),
        ]
        ini = e2e_test.readme_example_config(cls.tmpdir)
        for pattern, replacement in rewrites:
            ini, count = re.subn(pattern, replacement, ini, flags=re.M)
            if count == 0:
                raise AssertionError(f"the README example has no line matching {pattern}")
        config = os.path.join(cls.tmpdir, "recursor.conf")
        with open(config, "w") as f:
            f.write(ini)
        cls.server = e2e_test.Recursor(e2e_test.standard_args(cls.tmpdir) + ["--config", config])

    @classmethod
    def tearDownClass(cls):
        code = cls.server.shutdown()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)
        if code != 0:
            raise AssertionError(f"recursor exited with {code}; stderr:\n{cls.server.stderr_text()}")

    def test_the_example_zone_answers_as_the_readme_says(self):
        cases = [
            ("www.office.example.", "A", dns.rcode.NOERROR, [("www.office.example.", "A", 3600, ["192.0.2.80"])], []),
            ("intranet.office.example.", "AAAA", dns.rcode.NOERROR,
             [("intranet.office.example.", "CNAME", 3600, ["www.office.example."]),
              ("www.office.example.", "AAAA", 3600, ["2001:db8::80"])], []),
            ("box.dev.office.example.", "A", dns.rcode.NOERROR,
             [("box.dev.office.example.", "A", 3600, ["192.0.2.81"])], []),
            ("nowhere.office.example.", "A", dns.rcode.NXDOMAIN, [], [("office.example.", "SOA", 300)]),
            ("localhost.", "A", dns.rcode.NOERROR, [("localhost.", "A", 10800, ["127.0.0.1"])], []),
        ]
        for name, rdtype, rcode, answer, authority in cases:
            with self.subTest(name=name, rdtype=rdtype):
                reply = ask(self.server.dns_port, name, rdtype)
                self.assertEqual(reply.rcode(), rcode)
                self.assertTrue(reply.flags & dns.flags.AA)
                self.assertFalse(reply.flags & dns.flags.AD)
                self.assertEqual(records(reply.answer), sorted(answer))
                self.assertEqual([r[:3] for r in records(reply.authority)], authority)

    def test_the_example_policy_blocks_as_the_readme_says(self):
        blocked = ask(self.server.dns_port, "x.ads.example.", "A")
        self.assertEqual((blocked.rcode(), blocked.answer), (dns.rcode.NXDOMAIN, []))
        self.assertEqual([(o.code, o.text) for o in blocked.options if o.otype == 15], [(15, None)])

    def test_zones_lists_the_example_zone_first(self):
        status, headers, body = split_http(http_get(self.server.http_port, "/zones"))
        self.assertEqual((status, headers["Content-Type"]), ("HTTP/1.1 200 OK", "application/json"))
        zones = json.loads(body)
        self.assertEqual({k: zones[0][k] for k in ("name", "serial", "records", "file")},
                         {"name": "office.example.", "serial": 2026120801, "records": 10, "file": self.zone_path})
        self.assertIn({"name": "localhost.", "serial": 1, "records": 6, "file": "built-in"},
                      [{k: z[k] for k in ("name", "serial", "records", "file")} for z in zones])


class BadZoneFileTest(unittest.TestCase):
    """A file that cannot be served stops start-up with "error: FILE:LINE: problem"."""

    def test_start_up_stops_naming_file_and_line(self):
        tmpdir = e2e_test.make_private_dir("badzone")
        self.addCleanup(shutil.rmtree, tmpdir, True)
        soa = "@ SOA ns host 1 2 3 4 5\n"
        cases = [
            ("missing.zone", None, "missing.zone: "),
            ("syntax.zone", soa + "www A 192.0.2.1\nwww A 300.1.1.1\n", "syntax.zone:3: "),
            ("nosoa.zone", "www A 192.0.2.1\n", "nosoa.zone: no SOA record at corp.test."),
            ("outside.zone", soa + "x.example. A 192.0.2.1\n", "outside.zone:2: x.example. is outside the zone corp.test."),
        ]
        e2e_test.assert_bad_files_stop_start_up(self, tmpdir, "zone:corp.test.", cases)


if __name__ == "__main__":
    e2e_test.main(lab_allowed=True)
