#!/usr/bin/python3
"""DNS cookies towards clients (RFC 7873, RFC 9018) end to end: the recursor binary inside the lab,
configured from a file, asked by dig and dnspython.

- `dig +cookie` gets its client cookie back with a 16-byte server cookie (version 1).
- With the same cookie_secret_hex a restarted server takes the cookie it gave out before; one started
  without a secret (a random one) does not, and with cookie_require says BADCOOKIE, over UDP only.
- A COOKIE option of a bad length is FORMERR; BADCOOKIE replies are counted in /metrics.

Run: scripts/lab.sh with-lab -- /usr/bin/python3 tests/e2e/cookie_test.py --binary build/debug/recursor
"""

import os
import re
import sys
import unittest

import dns.edns
import dns.message
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
import resolution_test  # noqa: E402
from forward_test import ConfiguredLabTestCase, write_config  # noqa: E402
from resolution_test import CLIENT_TIMEOUT  # noqa: E402

NOERROR, FORMERR, BADCOOKIE = dns.rcode.NOERROR, dns.rcode.FORMERR, dns.rcode.BADCOOKIE
SECRET = "0123456789abcdef0123456789abcdef"
CLIENT_COOKIE = bytes.fromhex("2464c4abcf10c957")
NAME = "www.glue.test."


def cookie_query(cookie_data):
    """A question for NAME whose OPT carries `cookie_data` as its COOKIE option."""
    return dns.message.make_query(NAME, "A", use_edns=0, options=[dns.edns.GenericOption(dns.edns.COOKIE, cookie_data)])


def cookie_of(reply):
    for option in reply.options:
        if option.otype == dns.edns.COOKIE:
            return option.to_wire() if hasattr(option, "to_wire") else option.data
    return None


class CookieRestartTest(ConfiguredLabTestCase):
    config = f"[server]\ncookie_secret_hex = {SECRET}\ncookie_require = yes\n"

    def exchange(self, query, tcp=False, server=None):
        port = (server or self.server).dns_port
        if tcp:
            wire = e2e_test.tcp_exchange(port, len(query.to_wire()).to_bytes(2, "big") + query.to_wire())[2:]
        else:
            wire = e2e_test.udp_exchange(port, query.to_wire(), CLIENT_TIMEOUT)
        self.assertIsNotNone(wire, "no reply")
        return dns.message.from_wire(wire)

    def restart(self, config_text):
        code = self.server.shutdown()
        self.assertEqual(code, 0, self.server.stderr_text())
        config = write_config(self, config_text)
        type(self).server = e2e_test.Recursor(
            e2e_test.standard_args(self.tmpdir) + self.extra_args + ["--config", config], env=e2e_test.child_env()
        )

    def test_a_server_cookie_survives_a_restart_with_the_same_secret(self):
        # dig sends a client cookie of its own and shows what came back beside it.
        text = e2e_test.dig(self.server.dns_port, "+cookie", NAME, "A")
        shown = re.search(r"; COOKIE: ([0-9a-f]+)", text)
        self.assertIsNotNone(shown, text)
        self.assertEqual(len(shown.group(1)), 2 * 24, text)
        self.assertEqual(shown.group(1)[16:24], "01000000", "version 1, reserved zero")

        told = self.exchange(cookie_query(CLIENT_COOKIE))
        self.assertEqual(told.rcode(), BADCOOKIE, "a client cookie alone is not enough when required")
        cookie = cookie_of(told)
        self.assertEqual(len(cookie), 24)
        self.assertEqual(cookie[:8], CLIENT_COOKIE)
        answered = self.exchange(cookie_query(cookie))
        self.assertEqual(answered.rcode(), NOERROR)
        self.assertTrue(answered.answer)

        self.restart(self.config)
        after = self.exchange(cookie_query(cookie))
        self.assertEqual(after.rcode(), NOERROR, "the cookie given before the restart is still good")

        self.restart("[server]\ncookie_require = yes\n")  # a random secret
        self.assertEqual(self.exchange(cookie_query(cookie)).rcode(), BADCOOKIE)
        # A connection needs no cookie.
        self.assertEqual(self.exchange(cookie_query(CLIENT_COOKIE), tcp=True).rcode(), NOERROR)
        _, _, body = e2e_test.split_http(e2e_test.http_get(self.server.http_port, "/metrics"))
        self.assertIn(b"\ndns_replies_badcookie_total 1\n", body)
        self.restart(self.config)

    def test_a_cookie_of_a_bad_length_is_formerr(self):
        for length in (0, 7, 9, 15, 41):
            with self.subTest(length=length):
                self.assertEqual(self.exchange(cookie_query(bytes(length))).rcode(), FORMERR)


if __name__ == "__main__":
    resolution_test.main()
