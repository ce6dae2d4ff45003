#!/usr/bin/python3
"""The cache file end to end, in the lab: a recursor with `cache_file` resolves some names, is stopped by
SIGTERM, and a second one started with the same file answers them with no upstream query (the
recursor's own dns_upstream_queries_total stays put), secure answers still with AD, and names the kept
denial ranges prove absent or a kept wildcard makes, never asked before, as well. A damaged or foreign
file is reported on stderr and the recursor starts empty, resolving as usual.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/cache_file_test.py --binary build/debug/recursor
"""

import os
import re
import shutil
import signal
import sys
import unittest

import dns.flags
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from e2e_test import control_exchange, http_get, split_http  # noqa: E402
from resolution_test import answer_and_soa, ask  # noqa: E402

# (name, type, whether the answer is proven by the signed lab root)
NAMES = [
    ("www.glue.test.", "A", False),
    ("c10.chain.test.", "A", False),
    ("nx.neg.test.", "A", False),
    ("www.alg13.sec.", "A", True),
    ("nx.alg13.sec.", "A", True),
    ("anything.wild.sec.", "A", True),
]
# Never asked before the restart: the denial ranges kept in the file prove them (RFC 8198). alg13.sec.'s
# NSEC chain runs apex -> cname -> dname -> www; wild.sec.'s apex -> * -> exact -> www.
PROVEN_BY_RANGES = [
    ("nx1.alg13.sec.", dns.rcode.NXDOMAIN, []),
    ("b1.wild.sec.", dns.rcode.NOERROR, ["198.51.100.20"]),
]


def upstream_queries(http_port):
    status, _, body = split_http(http_get(http_port, "/metrics"))
    assert status == "HTTP/1.1 200 OK", status
    match = re.search(rb"^dns_upstream_queries_total (\d+)$", body, re.M)
    assert match, body
    return int(match.group(1))


def without_ttl(records):
    return [(r[0].lower(), r[1], sorted(d.lower() for d in r[3])) for r in records]


class CacheFileTest(unittest.TestCase):
    def setUp(self):
        self.tmpdir = e2e_test.make_private_dir(type(self).__name__)
        self.addCleanup(shutil.rmtree, self.tmpdir, ignore_errors=True)
        self.cache_file = os.path.join(self.tmpdir, "cache")
        self.config = os.path.join(self.tmpdir, "recursor.conf")
        with open(self.config, "w") as out:
            out.write(f"[server]\ncache_file = {self.cache_file}\n")

    def start(self):
        server = e2e_test.Recursor(
            e2e_test.standard_args(self.tmpdir)
            + resolution_test.LabRecursorTestCase.extra_args
            + ["--config", self.config]
        )
        self.addCleanup(server.kill)
        return server

    def stop(self, server, how):
        if how == "SIGTERM":
            os.kill(server.pid, signal.SIGTERM)
            code = server.wait_exit(20)
        else:
            code = server.shutdown(20)
        self.assertEqual(code, 0, server.stderr_text())
        self.assertEqual(server.sanitizer_reports(), [])

    def resolve_all(self, server):
        replies = {}
        for name, rdtype, secure in NAMES:
            _, reply, _ = ask(server.dns_port, name, rdtype, ad=True)
            self.assertIn(reply.rcode(), (dns.rcode.NOERROR, dns.rcode.NXDOMAIN), f"{name}\n{reply}")
            self.assertEqual(bool(reply.flags & dns.flags.AD), secure, f"{name}\n{reply}")
            replies[(name, rdtype)] = reply
        return replies

    def test_a_restart_answers_what_it_knew_without_asking_upstream(self):
        first = self.start()
        first.wait_for_line(r"^info: cache file .*: none yet; starting empty$")
        before = self.resolve_all(first)
        self.assertGreater(upstream_queries(first.http_port), 0)
        self.stop(first, "SIGTERM")
        written = int(first.wait_for_line(r"cache file .*: (\d+) entries written").group(1))
        self.assertGreaterEqual(written, len(NAMES))
        self.assertFalse(os.path.exists(self.cache_file + ".tmp"))

        second = self.start()
        loaded = int(second.wait_for_line(r"cache file .*: (\d+) entries loaded, 0 expired").group(1))
        self.assertEqual(loaded, written)
        after = self.resolve_all(second)
        for name, rcode, addresses in PROVEN_BY_RANGES:
            with self.subTest(name=name):
                _, reply, _ = ask(second.dns_port, name, "A", ad=True)
                self.assertEqual(reply.rcode(), rcode, str(reply))
                self.assertTrue(reply.flags & dns.flags.AD, str(reply))
                self.assertEqual(sorted(r.address for rrset in reply.answer for r in rrset), addresses)
                self.assertEqual(upstream_queries(second.http_port), 0, "asked upstream")
        self.assertEqual(upstream_queries(second.http_port), 0, "every answer came from the file")
        for key, reply in after.items():
            with self.subTest(name=key[0]):
                self.assertEqual(reply.rcode(), before[key].rcode())
                self.assertEqual(without_ttl(answer_and_soa(reply)), without_ttl(answer_and_soa(before[key])))
                for old, new in zip(answer_and_soa(before[key]), answer_and_soa(reply)):
                    self.assertLessEqual(new[2], old[2], "TTLs count down across the restart")
        # DUMP on demand writes the same entries; SHUTDOWN writes the file again.
        dumped = control_exchange(second.control_path, f"DUMP {self.cache_file}.dump\n".encode()).decode()
        self.assertRegex(dumped, r"^OK \d+ entries written\n$")
        self.stop(second, "SHUTDOWN")
        second.wait_for_line(r"cache file .*: \d+ entries written")

    def test_a_damaged_or_foreign_file_is_reported_and_start_up_goes_on_empty(self):
        good = self.start()
        self.resolve_all(good)
        self.stop(good, "SIGTERM")
        good.wait_for_line(r"entries written")
        with open(self.cache_file, "rb") as f:
            saved = f.read()
        damaged = bytearray(saved)
        damaged[len(damaged) // 2] ^= 0x01
        for what, content, kind in (
            ("one bit flipped", bytes(damaged), "ChecksumMismatch"),
            ("cut short", saved[: len(saved) - 7], "Truncated"),
            ("foreign", b"[server]\nlisten = 127.0.0.1:53\n", "NotCacheFile"),
        ):
            with self.subTest(what=what):
                with open(self.cache_file, "wb") as f:
                    f.write(content)
                server = self.start()
                server.wait_for_line(
                    rf"^warning: cache file {re.escape(self.cache_file)}: error\.{kind}; starting empty$"
                )
                _, reply, _ = ask(server.dns_port, "www.glue.test.", "A")
                self.assertEqual(reply.rcode(), dns.rcode.NOERROR)
                self.assertGreater(upstream_queries(server.http_port), 0, "nothing was loaded")
                self.stop(server, "SIGTERM")


if __name__ == "__main__":
    resolution_test.main()
