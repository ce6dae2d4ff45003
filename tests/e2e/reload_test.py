#!/usr/bin/python3
"""Reload end to end: SIGHUP and the control command RELOAD re-read the configuration and its zone files
while clients keep asking.

LocalReloadTest runs in a namespace with only loopback (scripts/lab.sh bare): every answer it checks
comes from a local zone. ForwardReloadTest needs the lab (it is skipped elsewhere): a forward zone's
servers change and its cached answer must go.

Run: scripts/lab.sh bare -- /usr/bin/python3 tests/e2e/reload_test.py --binary build/debug/recursor
     scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/reload_test.py --binary ... ForwardReloadTest
"""

import json
import os
import re
import shutil
import signal
import sys
import threading
import time
import unittest

import dns.message
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  the process wrapper and clients of the standard suite
from e2e_test import control_exchange, http_get, split_http, udp_exchange  # noqa: E402


def zone_text(serial, address):
    return f"$TTL 600\n@ IN SOA ns host {serial} 7200 900 1209600 300\n@ NS ns\nns A 192.0.2.53\nwww A {address}\n"


def policy_text(blocked):
    return f"$TTL 60\n@ SOA ns host 1 3600 600 86400 60\n@ NS ns\n{blocked} CNAME .\n"


def ask(port, name, rdtype="A", timeout=3.0):
    """One UDP question: the reply, or None when none came in time."""
    wire = udp_exchange(port, dns.message.make_query(name, rdtype).to_wire(), timeout)
    return None if wire is None else dns.message.from_wire(wire)


def addresses(reply):
    return sorted(r.address for rrset in reply.answer for r in rrset if rrset.rdtype == 1)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class ReloadCase(unittest.TestCase):
    """A recursor started with the class's configuration, and the two ways to reload it."""

    @classmethod
    def start(cls, config_text, extra_args=()):
        cls.tmpdir = e2e_test.make_private_dir(cls.__name__)
        cls.config = os.path.join(cls.tmpdir, "recursor.conf")
        write(cls.config, config_text)
        cls.server = e2e_test.Recursor(e2e_test.standard_args(cls.tmpdir) + list(extra_args) + ["--config", cls.config])

    @classmethod
    def tearDownClass(cls):
        code = cls.server.shutdown()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)
        if code != 0 or cls.server.sanitizer_reports():
            raise AssertionError(f"recursor exited with {code}; stderr:\n{cls.server.stderr_text()}")

    def reload_by_command(self):
        return control_exchange(self.server.control_path, b"RELOAD\n", timeout=30).decode()

    def logged_since(self, seen, pattern):
        """Whether a stderr line after the first `seen` matches `pattern`: the line is written before the
        reply leaves, but the thread that reads stderr may take a moment to see it."""
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if any(re.match(pattern, line) for line in self.server.lines[seen:]):
                return True
            time.sleep(0.05)
        return False

    def reload_by_signal(self):
        """SIGHUP, then the outcome line it logs."""
        seen = len(self.server.lines)
        os.kill(self.server.pid, signal.SIGHUP)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            for line in self.server.lines[seen:]:
                if re.match(r"^(info|error): (reloaded|reload failed)", line):
                    return line
            time.sleep(0.05)
        raise AssertionError(f"no reload outcome after SIGHUP; stderr:\n{self.server.stderr_text()}")


class LocalReloadTest(ReloadCase):
    @classmethod
    def setUpClass(cls):
        cls.zone_dir = e2e_test.make_private_dir("reload-zones")
        cls.corp = os.path.join(cls.zone_dir, "corp.zone")
        cls.other = os.path.join(cls.zone_dir, "other.zone")
        cls.policy = os.path.join(cls.zone_dir, "policy.rpz")
        write(cls.policy, policy_text("ns.corp.test"))
        write(cls.corp, zone_text(1, "192.0.2.1"))
        write(cls.other, zone_text(1, "192.0.2.101"))
        cls.sections = f"[server]\nexpose_zones = yes\n\n[zone:corp.test.]\nfile = {cls.corp}\n\n[zone:other.test.]\nfile = {cls.other}\n\n[rpz:policy.]\nfile = {cls.policy}\n"
        cls.start(cls.sections)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.zone_dir, ignore_errors=True)

    def setUp(self):
        write(self.config, self.sections)
        write(self.corp, zone_text(1, "192.0.2.1"))
        write(self.other, zone_text(1, "192.0.2.101"))
        write(self.policy, policy_text("ns.corp.test"))
        self.assertTrue(self.reload_by_command().startswith("OK reloaded: "))

    def www(self, zone="corp.test."):
        reply = ask(self.server.dns_port, "www." + zone)
        self.assertIsNotNone(reply, "every question is answered")
        return reply.rcode(), addresses(reply)

    def test_an_edited_file_is_served_after_sighup_and_after_reload(self):
        self.assertEqual(self.www(), (dns.rcode.NOERROR, ["192.0.2.1"]))
        write(self.corp, zone_text(2, "192.0.2.2"))
        outcome = self.reload_by_signal()
        self.assertRegex(outcome, r"^info: reloaded: log level info, trust anchors unchanged, zones changed \(cache flushed\): corp\.test\.$")
        self.assertEqual(self.www(), (dns.rcode.NOERROR, ["192.0.2.2"]))

        write(self.corp, zone_text(3, "192.0.2.3"))
        self.assertEqual(self.reload_by_command(), "OK reloaded: log level info, trust anchors unchanged, zones changed (cache flushed): corp.test.\n")
        self.assertEqual(self.www(), (dns.rcode.NOERROR, ["192.0.2.3"]))
        _, _, body = split_http(http_get(self.server.http_port, "/zones"))
        serials = {z["name"]: z["serial"] for z in json.loads(body)}
        self.assertEqual((serials["corp.test."], serials["other.test."]), (3, 1))

    def test_questions_asked_without_pause_through_reloads_are_all_answered(self):
        answers, missing = [], []
        done = threading.Event()

        def client():
            deadline = time.monotonic() + 60  # bounded whatever happens to the reloads
            while not done.is_set() and time.monotonic() < deadline and len(answers) + len(missing) < 20000:
                reply = ask(self.server.dns_port, "www.corp.test.", timeout=2.0)
                (missing if reply is None else answers).append(None if reply is None else addresses(reply))

        asking = threading.Thread(target=client)
        asking.start()
        try:
            for round in range(6):
                write(self.corp, zone_text(10 + round, f"192.0.2.{10 + round}"))
                if round % 2:
                    self.assertTrue(self.reload_by_signal().startswith("info: reloaded:"))
                else:
                    self.assertTrue(self.reload_by_command().startswith("OK reloaded:"))
                time.sleep(0.2)
        finally:
            done.set()
            asking.join()
        self.assertEqual(missing, [], f"{len(missing)} of {len(answers) + len(missing)} questions went unanswered")
        self.assertGreater(len(answers), 50)
        allowed = [["192.0.2.1"]] + [[f"192.0.2.{10 + r}"] for r in range(6)]
        self.assertEqual([a for a in answers if a not in allowed], [], "each answer is one whole version")
        self.assertEqual(answers[-1], ["192.0.2.15"])

    def test_a_broken_file_keeps_its_old_data_while_the_others_update(self):
        write(self.corp, zone_text(4, "192.0.2.4") + "bad A not-an-address\n")
        write(self.other, zone_text(2, "192.0.2.102"))
        seen = len(self.server.lines)
        reply = self.reload_by_command()
        self.assertRegex(reply, rf"^ERROR: reloaded: .*zones changed \(cache flushed\): other\.test\.; {re.escape(self.corp)}:6: .+; the old data stays\n$")
        self.assertTrue(self.logged_since(seen, rf"^error: {re.escape(self.corp)}:6: .+; the old data stays$"),
                        self.server.stderr_text())
        self.assertEqual(self.www(), (dns.rcode.NOERROR, ["192.0.2.1"]), "the old data stays")
        self.assertEqual(self.www("other.test."), (dns.rcode.NOERROR, ["192.0.2.102"]))
        outcome = self.reload_by_signal()
        self.assertRegex(outcome, rf"^error: reloaded: .*{re.escape(self.corp)}:6: .+; the old data stays$")

    def test_a_policy_file_is_read_again_and_a_broken_one_keeps_its_rules(self):
        def ns(zone):
            reply = ask(self.server.dns_port, "ns." + zone)
            return reply.rcode(), addresses(reply)

        self.assertEqual((ns("corp.test."), ns("other.test.")), ((dns.rcode.NXDOMAIN, []), (dns.rcode.NOERROR, ["192.0.2.53"])))
        write(self.policy, policy_text("ns.other.test"))
        self.assertTrue(self.reload_by_signal().startswith("info: reloaded:"))
        self.assertEqual((ns("corp.test."), ns("other.test.")), ((dns.rcode.NOERROR, ["192.0.2.53"]), (dns.rcode.NXDOMAIN, [])))
        write(self.policy, policy_text("ns.corp.test") + "bad A not-an-address\n")
        self.assertRegex(self.reload_by_command(), rf"^ERROR: reloaded: .*; {re.escape(self.policy)}:5: .+; the old data stays\n$")
        self.assertEqual(ns("other.test."), (dns.rcode.NXDOMAIN, []), "the old policy stays")

    def test_a_configuration_that_no_longer_parses_changes_nothing(self):
        write(self.config, self.sections.replace("expose_zones = yes", "expose_zones = yes\nthreads = two"))
        write(self.corp, zone_text(5, "192.0.2.5"))
        seen = len(self.server.lines)
        self.assertEqual(self.reload_by_command(), "ERROR: reload failed, the running settings stay: error.InvalidCharacter\n")
        self.assertTrue(self.logged_since(seen, rf"^error: {re.escape(self.config)}:3: threads 'two': error\.InvalidCharacter$"),
                        self.server.stderr_text())
        self.assertEqual(self.www(), (dns.rcode.NOERROR, ["192.0.2.1"]))

    def test_sections_added_and_removed_are_served_and_dropped(self):
        write(self.config, self.sections.replace("[zone:other.test.]", "[zone:added.test.]"))
        self.assertEqual(self.reload_by_command(), "OK reloaded: log level info, trust anchors unchanged, zones changed (cache flushed): other.test. added.test.\n")
        self.assertEqual(self.www("added.test."), (dns.rcode.NOERROR, ["192.0.2.101"]))
        # Nothing upstream in this namespace: a name no zone holds any more cannot be resolved.
        self.assertEqual(self.www("other.test."), (dns.rcode.SERVFAIL, []))


@unittest.skipUnless(os.environ.get("RECURSOR_LAB_DIR"), "needs the lab (scripts/lab.sh with-lab)")
class ForwardReloadTest(ReloadCase):
    """corp.internal. forwarded to its authority (10.53.11.1), then to the lab's attacker (10.53.6.6),
    which answers every A question with 192.0.2.66; fake.test. (10.53.4.1, whose probe-* TXT echoes the
    query's ID) does not change, so its cached answer must survive the reload."""

    SECTIONS = "[forward:corp.internal.]\nserver = {}\ninsecure = true\n\n[forward:fake.test.]\nserver = 10.53.4.1\n"

    @classmethod
    def setUpClass(cls):
        cls.start(cls.SECTIONS.format("10.53.11.1"), ["--trust-anchor", os.path.join(os.environ["RECURSOR_LAB_DIR"], "root.key")])

    def test_a_cached_answer_goes_when_its_forward_zone_changes_servers(self):
        self.assertEqual(addresses(ask(self.server.dns_port, "www.corp.internal.")), ["192.0.2.30"])
        probe = ask(self.server.dns_port, "probe-kept.fake.test.", "TXT").answer
        self.assertEqual(addresses(ask(self.server.dns_port, "www.corp.internal.")), ["192.0.2.30"], "cached")

        write(self.config, self.SECTIONS.format("10.53.6.6"))
        self.assertEqual(self.reload_by_command(),
                         "OK reloaded: log level info, trust anchors unchanged, zones changed (cache flushed): corp.internal.\n")
        self.assertEqual(addresses(ask(self.server.dns_port, "www.corp.internal.")), ["192.0.2.66"])
        self.assertEqual(ask(self.server.dns_port, "probe-kept.fake.test.", "TXT").answer, probe, "unchanged zone: still cached")


if __name__ == "__main__":
    e2e_test.main(lab_allowed=True)
