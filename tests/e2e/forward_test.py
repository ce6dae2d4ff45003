#!/usr/bin/python3
"""Forward and stub zones, and cache_strategy = none, end to end: the recursor binary inside the lab,
configured from a file as an operator would.

- fake.test. is forwarded to its own server (10.53.4.1), whose probe-* names echo the query as received:
  that shows RD=1 on the wire.
- silent.test. is forwarded to a server that never answers: SERVFAIL with EDE 22 (No Reachable
  Authority) within the usual bound, while other names resolve.
- corp.internal. is a stub zone at 10.53.11.1, a zone the lab root does not delegate; sub.corp.internal.
  is reached by its referral. With `insecure = true` it is a negative trust anchor; without it the
  signed root proves internal. absent and the answer is bogus.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/forward_test.py --binary build/debug/recursor
"""

import os
import sys
import time
import unittest

import dns.edns
import dns.flags
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from resolution_test import FAILURE_BOUND, LabRecursorTestCase  # noqa: E402

NOERROR, SERVFAIL = dns.rcode.NOERROR, dns.rcode.SERVFAIL
EDE_NO_REACHABLE_AUTHORITY = 22


def write_config(testcase, text):
    path = os.path.join(testcase.tmpdir, "recursor.conf")
    with open(path, "w") as out:
        out.write(text)
    return path


class ConfiguredLabTestCase(LabRecursorTestCase):
    """A lab recursor started with --config holding the class's `config` text."""

    config = ""

    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir(cls.__name__)
        config = write_config(cls, cls.config)
        cls.server = e2e_test.Recursor(
            e2e_test.standard_args(cls.tmpdir) + cls.extra_args + ["--config", config], env=e2e_test.child_env()
        )

    def probe(self, name):
        """The TXT text of a probe-* name of fake.test.: the query as its server received it."""
        _, reply, _ = self.ask(name, "TXT")
        self.assertEqual(reply.rcode(), NOERROR, reply)
        return " ".join(r.to_text() for rrset in reply.answer for r in rrset)

    def addresses(self, name):
        _, reply, _ = self.ask(name)
        return reply, sorted(r.address for rrset in reply.answer for r in rrset if rrset.rdtype == 1)


class ForwardAndStubTest(ConfiguredLabTestCase):
    config = """[forward:fake.test.]
server = 10.53.4.1

[forward:silent.test.]
server = 10.53.4.2:53

[stub:corp.internal.]
server = 10.53.11.1
insecure = true
"""

    def test_forward_zone_asks_its_server_with_rd_and_caches_the_answer(self):
        first = self.probe("probe-fwd.fake.test.")
        self.assertIn("rd=1", first)
        # Cached as usual: the same question again is not asked again (the probe's ID would differ).
        self.assertEqual(self.probe("probe-fwd.fake.test."), first)

    def test_dead_forward_target_fails_with_ede_22_while_other_names_resolve(self):
        _, reply, elapsed = self.ask("www.silent.test.", payload=1232)
        self.assertEqual(reply.rcode(), SERVFAIL)
        self.assertLess(elapsed, FAILURE_BOUND)
        codes = [o.code for o in reply.options if isinstance(o, dns.edns.EDEOption)]
        self.assertEqual(codes, [EDE_NO_REACHABLE_AUTHORITY])
        reply, got = self.addresses("www.glue.test.")
        self.assertEqual(got, ["192.0.2.1"])

    def test_stub_zone_not_delegated_by_the_root_resolves_and_follows_its_referral(self):
        for name, address in (("www.corp.internal.", "192.0.2.30"), ("www.sub.corp.internal.", "192.0.2.31")):
            with self.subTest(name=name):
                reply, got = self.addresses(name)
                self.assertEqual(reply.rcode(), NOERROR)
                self.assertEqual(got, [address])
                self.assertFalse(reply.flags & dns.flags.AD)  # under a negative trust anchor


class StubValidatedFromTheRootTest(ConfiguredLabTestCase):
    """Without `insecure`, validation applies from the root anchor: the signed lab root proves internal.
    absent, so the stub zone's unsigned answer is bogus."""

    config = """[stub:corp.internal.]
server = 10.53.11.1
"""

    def test_answer_the_root_proves_absent_is_bogus(self):
        _, reply, _ = self.ask("www.corp.internal.")
        self.assertEqual(reply.rcode(), SERVFAIL)


class CacheNothingTest(ConfiguredLabTestCase):
    """cache_strategy = none: the same question twice reaches the server twice."""

    config = """[server]
cache_strategy = none

[forward:fake.test.]
server = 10.53.4.1
"""

    def test_every_question_is_resolved_afresh(self):
        first = self.probe("probe-none.fake.test.")
        time.sleep(0.05)
        self.assertNotEqual(self.probe("probe-none.fake.test."), first)


if __name__ == "__main__":
    resolution_test.main()
