#!/usr/bin/python3
"""DNS over HTTPS (RFC 8484) end to end: the recursor binary serving a local zone over HTTP/2 and TLS,
asked with curl --http2, kdig +https and a hand-written HTTP/2 client for what the tools will not do.

The suite runs in a namespace with only loopback (scripts/lab.sh bare): the local zone answers at once,
and a name outside it goes to root servers that never answer, which makes a slow question.

Run: scripts/lab.sh bare -- /usr/bin/python3 tests/e2e/doh_test.py --binary build/debug/recursor
"""

import base64
import os
import shutil
import socket
import ssl
import struct
import sys
import time
import unittest

import dns.message
import dns.rcode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  the process wrapper and clients of the standard suite
from e2e_test import LOCALHOST, http_get, run_tool, split_http  # noqa: E402

ZONE = """$TTL 600
@        3600 IN SOA ns.corp.test. host.corp.test. 1 7200 900 1209600 300
@             NS   ns
ns            A    192.0.2.53
www      120  A    192.0.2.1
www      900  A    192.0.2.2
web           A    127.0.0.1
""" + "".join(f"big TXT {'x' * 250} {i}\n" for i in range(240))  # a reply of some 62 KB
OUTSIDE = "127.0.0.2"  # not in the access list
HANDSHAKE_MS, IDLE_MS = 2000, 3000

# HTTP/2 frame types and flags (RFC 9113 §6).
DATA, HEADERS, RST_STREAM, SETTINGS, PING, GOAWAY, WINDOW_UPDATE = 0x0, 0x1, 0x3, 0x4, 0x6, 0x7, 0x8
SETTINGS_INITIAL_WINDOW_SIZE = 0x4
END_STREAM, END_HEADERS, ACK = 0x1, 0x4, 0x1
REFUSED_STREAM = 0x7


def frame(kind, flags, stream, payload=b""):
    return struct.pack("!I", len(payload))[1:] + bytes([kind, flags]) + struct.pack("!I", stream) + payload


def hpack_literal(name, value):
    """A header field as an HPACK literal without indexing, new name, no Huffman (RFC 7541 §6.2.2);
    every name and value here is shorter than 127 bytes."""
    name, value = name.encode(), value.encode()
    assert len(name) < 127 and len(value) < 127
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def request_headers(method, path, content_type=None):
    fields = [(":method", method), (":scheme", "https"), (":authority", "recursor.test"), (":path", path)]
    if content_type:
        fields.append(("content-type", content_type))
    return b"".join(hpack_literal(n, v) for n, v in fields)


def dns_get_path(name, rdtype="A", qid=0):
    wire = dns.message.make_query(name, rdtype, id=qid).to_wire()
    return "/dns-query?dns=" + base64.urlsafe_b64encode(wire).decode().rstrip("=")


class H2Client:
    """Just enough HTTP/2 over TLS to open streams as a hostile or slow client would."""

    def __init__(self, port, source=LOCALHOST):
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.set_alpn_protocols(["h2"])
        raw = socket.create_connection((LOCALHOST, port), timeout=5, source_address=(source, 0))
        self.sock = context.wrap_socket(raw)
        self.buffer = b""
        self.sock.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + frame(SETTINGS, 0, 0))

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def next_frame(self, timeout=5.0):
        """(type, flags, stream, payload), or None when the server closed the connection."""
        self.sock.settimeout(timeout)
        while len(self.buffer) < 9 or len(self.buffer) < 9 + int.from_bytes(self.buffer[:3], "big"):
            try:
                chunk = self.sock.recv(65536)
            except (ConnectionResetError, ssl.SSLError):
                chunk = b""
            if not chunk:
                return None
            self.buffer += chunk
        length = int.from_bytes(self.buffer[:3], "big")
        kind, flags = self.buffer[3], self.buffer[4]
        stream = struct.unpack("!I", self.buffer[5:9])[0] & 0x7FFFFFFF
        payload, self.buffer = self.buffer[9 : 9 + length], self.buffer[9 + length :]
        if kind == SETTINGS and not flags & ACK:
            self.send(frame(SETTINGS, ACK, 0))
        return kind, flags, stream, payload

    def frames_until(self, done, timeout=5.0):
        """Every frame up to the first for which done(frame) holds; AssertionError if the end comes first."""
        seen = []
        while True:
            f = self.next_frame(timeout)
            if f is None:
                raise AssertionError(f"connection closed before the awaited frame; saw {seen}")
            seen.append(f)
            if done(f):
                return seen


class DohTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = e2e_test.make_private_dir("doh")
        cert, key = e2e_test.make_certificate(cls.tmpdir)
        zone_path = os.path.join(cls.tmpdir, "corp.zone")
        with open(zone_path, "w") as f:
            f.write(ZONE)
        config = os.path.join(cls.tmpdir, "recursor.conf")
        with open(config, "w") as f:
            f.write(f"[server]\nallow = 127.0.0.1/32\ntls_cert_file = {cert}\ntls_key_file = {key}\n"
                    f"tcp_timeout_ms = {IDLE_MS}\ntcp_handshake_timeout_ms = {HANDSHAKE_MS}\n"
                    f"tcp_max_connections_per_client = 4\n\n[zone:corp.test.]\nfile = {zone_path}\n")
        args = e2e_test.standard_args(cls.tmpdir) + ["--config", config, "--doh-listen", f"{LOCALHOST}:0"]
        cls.server = e2e_test.Recursor(args, env=e2e_test.child_env())
        cls.port = int(cls.server.wait_for_line(r"listening for DNS over HTTPS on 127\.0\.0\.1:(\d+)$").group(1))
        cls.url = f"https://{LOCALHOST}:{cls.port}/dns-query"

    @classmethod
    def tearDownClass(cls):
        code = cls.server.shutdown()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)
        if code != 0:
            raise AssertionError(f"recursor exited with {code}; stderr:\n{cls.server.stderr_text()}")
        if cls.server.sanitizer_reports():
            raise AssertionError("\n".join(cls.server.sanitizer_reports()))

    def curl(self, *args, body=None, url=None):
        """(HTTP version, status, headers as a dict with lower-case names, body) of one curl request."""
        head = os.path.join(self.tmpdir, "head.txt")
        out = os.path.join(self.tmpdir, "body.bin")
        argv = ["curl", "--http2", "-k", "-s", "-D", head, "-o", out, "--max-time", "10"]
        if body is not None:
            argv += ["--data-binary", "@-"]
        result = run_tool(argv + list(args) + [url or self.url], stdin=body or b"")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(head, "rb") as f:
            lines = f.read().decode().split("\r\n")
        version, status = lines[0].split()[:2]
        headers = dict((k.strip().lower(), v.strip()) for k, _, v in (line.partition(":") for line in lines[1:] if line))
        with open(out, "rb") as f:
            return version, int(status), headers, f.read()

    def test_get_and_post_answer_from_the_zone_with_the_smallest_ttl_as_max_age(self):
        post = dns.message.make_query("www.corp.test.", "A", id=0)
        cases = [
            ("GET", ["-H", "accept: application/dns-message"], None, dns_get_path("www.corp.test.", qid=0), 0),
            ("POST", ["-H", "content-type: application/dns-message"], post.to_wire(), None, 0),
            # RFC 8484 §4.1 asks for ID 0, but whatever came is echoed, as over any other transport.
            ("GET with an ID", [], None, dns_get_path("www.corp.test.", qid=4660), 4660),
        ]
        for label, args, body, path, qid in cases:
            with self.subTest(label):
                url = f"https://{LOCALHOST}:{self.port}{path}" if path else None
                version, status, headers, reply_wire = self.curl(*args, body=body, url=url)
                self.assertEqual((version, status), ("HTTP/2", 200))
                self.assertEqual(headers["content-type"], "application/dns-message")
                self.assertEqual(headers["cache-control"], "max-age=120", "the smaller of 120 and 900")
                self.assertEqual(int(headers["content-length"]), len(reply_wire))
                reply = dns.message.from_wire(reply_wire)
                self.assertEqual((reply.id, reply.rcode()), (qid, dns.rcode.NOERROR))
                self.assertEqual(sorted(r.to_text() for r in reply.answer[0]), ["192.0.2.1", "192.0.2.2"])

    def test_curl_resolves_a_name_through_doh_url(self):
        # web.corp.test. is this host, where the recursor's own HTTP listener answers.
        url = f"http://web.corp.test:{self.server.http_port}/health"
        result = run_tool(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{remote_ip}", "--max-time", "10",
                           "--doh-url", self.url, "--doh-insecure", url])
        self.assertEqual((result.returncode, result.stdout.decode()), (0, "200 127.0.0.1"), result.stderr)

    def test_a_negative_answer_lives_as_long_as_its_soa(self):
        url = f"https://{LOCALHOST}:{self.port}" + dns_get_path("nowhere.corp.test.")
        _, status, headers, reply_wire = self.curl(url=url)
        self.assertEqual((status, headers["cache-control"]), (200, "max-age=300"))
        self.assertEqual(dns.message.from_wire(reply_wire).rcode(), dns.rcode.NXDOMAIN)

    def test_requests_that_are_not_dns_queries_get_their_status(self):
        query = dns.message.make_query("www.corp.test.", "A", id=0).to_wire()
        dns_type = ["-H", "content-type: application/dns-message"]
        base = f"https://{LOCALHOST}:{self.port}"
        cases = [
            ("another path", 404, [], None, base + "/resolve" + dns_get_path("www.corp.test.")[10:]),
            ("PUT", 405, ["-X", "PUT"] + dns_type, query, None),
            ("DELETE", 405, ["-X", "DELETE"], None, None),
            ("POST as a form", 415, [], query, None),
            ("POST as text", 415, ["-H", "content-type: text/plain"], query, None),
            ("a body over 65535 bytes", 413, dns_type, b"\x00" * 65536, None),
            ("a body that is no message", 400, dns_type, b"\x12\x34\x01", None),
            ("an empty body", 400, dns_type, b"", None),
            ("a reply instead of a question", 400, dns_type, b"\x00\x00\x81\x80" + query[4:], None),
            ("GET with standard base64", 400, [], None, self.url + "?dns=" + base64.b64encode(query).decode()),
            ("GET without dns=", 400, [], None, self.url + "?name=www.corp.test"),
        ]
        for label, expected, args, body, url in cases:
            with self.subTest(label):
                _, status, headers, reply = self.curl(*args, body=body, url=url)
                self.assertEqual(status, expected)
                self.assertNotIn("cache-control", headers)
                self.assertEqual(reply, b"")
        self.assertTrue(self.server.alive())

    def test_kdig_over_https_with_post_and_get(self):
        for method in (["+https"], ["+https", "+https-get"]):
            with self.subTest(method=method):
                out = run_tool(["kdig", *method, "-p", str(self.port), "+timeout=5", "+retry=0", f"@{LOCALHOST}",
                                "www.corp.test", "A"]).stdout.decode()
                self.assertRegex(out, r"status: NOERROR")
                self.assertRegex(out, r"www\.corp\.test\.\s+120\s+IN\s+A\s+192\.0\.2\.1")
                self.assertRegex(out, r"HTTP session \(HTTP/2-(POST|GET)\)-\(127\.0\.0\.1/dns-query\)-\(status: 200\)")
        _, _, body = split_http(http_get(self.server.http_port, "/metrics"))
        self.assertRegex(body.decode(), r'\ndns_answers_total\{transport="https",rcode="NOERROR"\} [1-9]')

    def test_a_slow_question_does_not_hold_up_the_other_streams(self):
        client = H2Client(self.port)
        try:
            slow = request_headers("GET", dns_get_path("www.example.com."))  # the roots never answer
            fast = request_headers("GET", dns_get_path("www.corp.test."))
            client.send(frame(HEADERS, END_STREAM | END_HEADERS, 1, slow) + frame(HEADERS, END_STREAM | END_HEADERS, 3, fast))
            seen = client.frames_until(lambda f: f[0] == DATA and f[2] == 3)
            self.assertEqual([f for f in seen if f[2] == 1], [], "nothing of the slow stream came first")
            self.assertEqual(dns.message.from_wire(seen[-1][3]).rcode(), dns.rcode.NOERROR)
        finally:
            client.close()

    def test_streams_beyond_the_limit_are_refused_and_unfinished_ones_do_not_keep_the_connection(self):
        client = H2Client(self.port)
        try:
            started = time.monotonic()
            opened = b"".join(frame(HEADERS, END_HEADERS, 2 * i + 1, request_headers("POST", "/dns-query", "application/dns-message"))
                              for i in range(101))
            client.send(opened)
            seen = client.frames_until(lambda f: f[0] == RST_STREAM)
            self.assertEqual(seen[-1][2:], (201, struct.pack("!I", REFUSED_STREAM)), "the 101st stream is refused")
            # None of the hundred ever ends its request: they count for nothing, and the idle timeout ends it.
            while client.next_frame(timeout=IDLE_MS / 1000 + 2) is not None:
                pass
            self.assertLess(time.monotonic() - started, IDLE_MS / 1000 + 1.5)
        finally:
            client.close()

    def frame_or_fail(self, client):
        f = client.next_frame()
        self.assertIsNotNone(f, "the server closed the connection")
        return f

    def test_request_bodies_held_at_once_are_bounded_per_connection(self):
        # Bodies that never end, each within the 65535 bytes of one message: the fifth stream passes the
        # connection's 256 KiB and is refused, where it would otherwise hold 100 x 64 KiB.
        client = H2Client(self.port)
        try:
            streams = [1, 3, 5, 7, 9, 11]
            opened = request_headers("POST", "/dns-query", "application/dns-message")
            client.send(b"".join(frame(HEADERS, END_HEADERS, s, opened) for s in streams))
            window = {0: 65535, **{s: 65535 for s in streams}}  # RFC 9113 §6.9.2's initial windows
            left = {s: 65000 for s in streams}
            refused = []
            while not refused and any(left.values()):
                sendable = [s for s in streams if left[s] and min(window[0], window[s]) > 0]
                if not sendable:  # wait for the server to open the windows again
                    kind, _, stream, payload = self.frame_or_fail(client)
                    if kind == WINDOW_UPDATE:
                        window[stream] += struct.unpack("!I", payload)[0] & 0x7FFFFFFF
                    elif kind == RST_STREAM:
                        refused.append((stream, struct.unpack("!I", payload)[0]))
                    continue
                s = sendable[0]
                n = min(16384, left[s], window[0], window[s])
                client.send(frame(DATA, 0, s, b"\x00" * n))
                left[s] -= n
                window[0] -= n
                window[s] -= n
            while not refused:
                kind, _, stream, payload = self.frame_or_fail(client)
                if kind == RST_STREAM:
                    refused.append((stream, struct.unpack("!I", payload)[0]))
            self.assertEqual(refused, [(9, REFUSED_STREAM)])
        finally:
            client.close()

    def test_a_client_that_takes_no_reply_is_cut_off_once_they_pile_up(self):
        # A stream window of 0 (RFC 9113 §6.9.2): every reply waits in the server, which would hold
        # whatever the client asks for until the idle timeout.
        client = H2Client(self.port)
        try:
            started = time.monotonic()
            client.send(frame(SETTINGS, 0, 0, struct.pack("!HI", SETTINGS_INITIAL_WINDOW_SIZE, 0)))
            ask = request_headers("GET", dns_get_path("big.corp.test.", "TXT"))
            client.send(b"".join(frame(HEADERS, END_STREAM | END_HEADERS, 2 * i + 1, ask) for i in range(8)))
            seen = []
            while (f := client.next_frame(timeout=IDLE_MS / 1000 + 2)) is not None:
                seen.append(f)
            self.assertLess(time.monotonic() - started, IDLE_MS / 1000 - 1, "cut off, not idle")
            self.assertEqual([f for f in seen if f[0] == DATA], [], "the window was never opened")
        finally:
            client.close()

    def test_silent_clients_are_closed_after_the_handshake_deadline(self):
        client = H2Client(self.port)
        try:
            started = time.monotonic()
            while client.next_frame(timeout=HANDSHAKE_MS / 1000 + 2) is not None:
                pass
            self.assertLess(time.monotonic() - started, HANDSHAKE_MS / 1000 + 1.0)
        finally:
            client.close()

    def test_frames_that_trickle_in_do_not_keep_a_connection_that_asks_nothing(self):
        # PINGs, and a body that never ends: the server answers or takes each, but no request ever ends.
        client = H2Client(self.port)
        started = time.monotonic()
        closed = False
        try:
            client.send(frame(HEADERS, END_HEADERS, 1, request_headers("POST", "/dns-query", "application/dns-message")))
            while not closed and time.monotonic() - started < HANDSHAKE_MS / 1000 + 4:
                client.send(frame(PING, 0, 0, b"12345678") + frame(DATA, 0, 1, b"\x00"))
                try:
                    while not closed:
                        closed = client.next_frame(timeout=0.3) is None
                except TimeoutError:
                    pass
        except (ConnectionError, ssl.SSLError):
            closed = True
        finally:
            client.close()
        self.assertTrue(closed, "the connection is still open")
        self.assertLess(time.monotonic() - started, HANDSHAKE_MS / 1000 + 1.5)

    def test_clients_outside_the_access_list_or_over_their_share_are_closed_at_once(self):
        with self.assertRaises((ConnectionError, ssl.SSLError, OSError)):
            H2Client(self.port, source=OUTSIDE).next_frame()
        # A connection of an earlier test may still hold a slot while its slow question resolves.
        held, served = [], []
        try:
            for _ in range(5):
                try:
                    client = H2Client(self.port)
                    held.append(client)
                    # A stream held open: the connection is not idle, so it cannot be evicted.
                    client.send(frame(HEADERS, END_HEADERS, 1, request_headers("POST", "/dns-query", "application/dns-message")))
                    served.append(client.next_frame() is not None)
                except (ConnectionError, ssl.SSLError, OSError):
                    served.append(False)
            self.assertFalse(served[-1], f"the fifth of a client's connections is closed: {served}")
            self.assertLessEqual(sum(served), 4)
        finally:
            for client in held:
                client.close()
        _, _, body = split_http(http_get(self.server.http_port, "/metrics"))
        self.assertRegex(body.decode(), r'reason="not_allowed"\} [1-9]')
        self.assertRegex(body.decode(), r'reason="client_at_limit"\} [1-9]')

    def test_a_client_that_offers_no_h2_fails_the_handshake(self):
        result = run_tool(["curl", "--http1.1", "-k", "-s", "--max-time", "5", "-o", "/dev/null", self.url])
        self.assertNotEqual(result.returncode, 0, "HTTP/1.1 is not served")


class DohQuestionLimitTest(unittest.TestCase):
    """tcp_max_queries_per_connection = 3: every stream opened counts, whole or reset by the client."""

    def setUp(self):
        self.tmpdir = e2e_test.make_private_dir("doh-limit")
        self.addCleanup(shutil.rmtree, self.tmpdir, True)
        cert, key = e2e_test.make_certificate(self.tmpdir)
        zone_path = os.path.join(self.tmpdir, "corp.zone")
        with open(zone_path, "w") as f:
            f.write(ZONE)
        config = os.path.join(self.tmpdir, "recursor.conf")
        with open(config, "w") as f:
            f.write(f"[server]\ntls_cert_file = {cert}\ntls_key_file = {key}\ntcp_max_queries_per_connection = 3\n\n"
                    f"[zone:corp.test.]\nfile = {zone_path}\n")
        args = e2e_test.standard_args(self.tmpdir) + ["--config", config, "--doh-listen", f"{LOCALHOST}:0"]
        self.server = e2e_test.Recursor(args, env=e2e_test.child_env())
        self.port = int(self.server.wait_for_line(r"listening for DNS over HTTPS on 127\.0\.0\.1:(\d+)$").group(1))

    def tearDown(self):
        code = self.server.shutdown()
        self.assertEqual(code, 0, self.server.stderr_text())
        self.assertEqual(self.server.sanitizer_reports(), [])

    def test_streams_reset_by_the_client_count_and_the_limit_ends_in_goaway(self):
        # Opening a stream and resetting it at once costs a client nothing: were only whole requests
        # counted, it could make the server start streams for ever (RFC 9113 §10.5).
        client = H2Client(self.port)
        try:
            ask = request_headers("GET", dns_get_path("www.corp.test."))
            opened = request_headers("POST", "/dns-query", "application/dns-message")
            client.send(frame(HEADERS, END_HEADERS, 1, opened) + frame(RST_STREAM, 0, 1, struct.pack("!I", 8))
                        + frame(HEADERS, END_HEADERS, 3, opened) + frame(RST_STREAM, 0, 3, struct.pack("!I", 8))
                        + frame(HEADERS, END_STREAM | END_HEADERS, 5, ask) + frame(HEADERS, END_STREAM | END_HEADERS, 7, ask))
            seen = []
            while (f := client.next_frame()) is not None:
                seen.append(f)
        finally:
            client.close()
        self.assertEqual(sorted({f[2] for f in seen if f[0] in (HEADERS, DATA)}), [5], "only the third stream is answered")
        goaway = [f for f in seen if f[0] == GOAWAY]
        self.assertEqual(len(goaway), 1)
        self.assertEqual(struct.unpack("!II", goaway[0][3][:8]), (5, 0), "last stream 5, NO_ERROR")


if __name__ == "__main__":
    e2e_test.main(lab_allowed=False)
