#!/usr/bin/python3
"""Writes the fuzz seed corpora under fuzz/corpus/<target>/:
  message         a selection of the golden messages of tests/golden/ and hand-made packets at the edges
                  of the message format (the response classifier reads these too);
  stream_framing  client TCP streams: two bytes of the message size limit, one that draws how the
                  stream arrives, then length-framed queries;
  http_request    one byte that draws how the request arrives, then the request;
  doh_request     one byte that draws how the body arrives, "name value" header lines, a blank line,
                  then the body of a DNS over HTTPS request;
  control_command control-socket command lines;
  config          configuration files, optionally followed by NUL-separated DNS_* variables;
  trust_anchor    trust anchor files (root.key and root.ds);
  root_hints      root hints files;
  zone_file       master files of the local zone "example.", also read as a policy zone;
  cookie          four bytes of the clock, one that picks the client's address family, then an OPT
                  record's option list.
  cache_file      cache files: a byte choosing whether the harness seals the rest as a body, then the
                  entries (answers, delegations, zone keys, denial ranges) or a whole file.
Regenerate with
    /usr/bin/python3 fuzz/make_corpus.py
Files named regression_* (inputs that once failed) and signed_* (messages signed by a real signer, added
by hand) are kept as they are.
Every packet stays within 4 KiB and every other input within 8 KiB, the -max_len of scripts/fuzz.sh
(more than the 4096-byte buffers of the HTTP server and the control socket).
"""

import base64
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOLDEN = os.path.join(ROOT, "tests", "golden")
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
MAX_SIZE = 4096
TEXT_MAX_SIZE = 8192

GOLDEN_SEEDS = [
    "query_edns_nsid_cookie_padding", "query_escaped_labels", "query_max_length_name", "query_tsig_signed",
    "resp_a_cname_chain_ns_glue", "resp_referral_glue", "resp_nxdomain_nsec3", "resp_nodata_nsec",
    "resp_dnskey", "resp_ipseckey_gateways", "resp_svcb", "resp_txt_strings",
    "resp_a6", "resp_minfo_mb_mg_mr", "resp_mixed_case_compression", "resp_multi_section_mixed",
    "resp_without_question",
]

A, NS, CNAME, SOA, MX, TXT, OPT = 1, 2, 5, 6, 15, 16, 41


def header(qd, an=0, ns=0, ar=0, msg_id=0xF022, flags=0x8180):
    return struct.pack("!HHHHHH", msg_id, flags, qd, an, ns, ar)


def name(text):
    if text in ("", "."):
        return b"\x00"
    out = b""
    for label in text.rstrip(".").split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\x00"


def ptr(offset):
    return struct.pack("!H", 0xC000 | offset)


def question(qname=b"\x07example\x03com\x00", qtype=A, qclass=1):
    return qname + struct.pack("!HH", qtype, qclass)


def record(owner, rtype, rdata, rclass=1, ttl=300, rdlength=None):
    length = len(rdata) if rdlength is None else rdlength
    return owner + struct.pack("!HHIH", rtype, rclass, ttl, length) + rdata


def string(text):
    data = text.encode() if isinstance(text, str) else text
    return bytes([len(data)]) + data


def every_type_rdata():
    """One well-formed RDATA for each type code the parser gives a variant of, plus OPT and an unknown."""
    host = name("host.example.com.")
    key = bytes(range(32))
    sig = (struct.pack("!HBBIIIH", A, 13, 2, 300, 1706745600, 1704067200, 12345) + ptr(12) + key)
    return [
        (0, b""),                                                   # ENT
        (1, bytes([192, 0, 2, 1])),
        (28, bytes(15) + b"\x01"),
        (2, host), (5, ptr(12)), (12, host),
        (15, struct.pack("!H", 10) + ptr(12)),
        (6, name("ns1.example.com.") + b"\x0ahostmaster" + ptr(12) + struct.pack("!IIIII", 1, 2, 3, 4, 5)),
        (33, struct.pack("!HHH", 1, 2, 53) + host),
        (29, struct.pack("!BBBBIII", 0, 0x12, 0x16, 0x13, 0x89000000, 0x80000000, 10000000)),
        (37, struct.pack("!HHB", 1, 12345, 8) + key),
        (45, struct.pack("!BBB", 10, 3, 2) + ptr(12) + key),
        (42, bytes([0, 1, 24, 3, 192, 0, 2])),
        (62, struct.pack("!IH", 66, 3) + bytes([0, 1, 0x60])),
        (63, struct.pack("!IBB", 2018031500, 1, 1) + bytes(48)),
        (16, string("v=spf1 -all") + string("")),
        (48, struct.pack("!HBB", 257, 3, 13) + key), (60, struct.pack("!HBB", 257, 3, 13) + key),
        (43, struct.pack("!HBB", 12345, 13, 2) + key), (59, struct.pack("!HBB", 12345, 13, 2) + key),
        (46, sig),
        (47, name("next.example.com.") + bytes([0, 6, 0x40, 0, 0, 0, 0, 3])),
        (257, bytes([0]) + string("issue") + b"ca.example.net"),
        (52, bytes([3, 1, 1]) + key), (53, bytes([3, 1, 1]) + key),
        (44, bytes([4, 2]) + key),
        (13, string("PC") + string("Linux")),
        (50, struct.pack("!BBH", 1, 0, 0) + string(b"\xaa\xbb") + string(bytes(20)) + bytes([0, 1, 0x40])),
        (51, struct.pack("!BBH", 1, 0, 10) + string(b"")),
        (39, name("example.net.")),
        (17, name("admin.example.com.") + b"\x00"),
        (18, struct.pack("!H", 1) + host), (36, struct.pack("!H", 10) + host),
        (35, struct.pack("!HH", 100, 10) + string("u") + string("E2U+sip") + string("!^.*$!sip:a@b!") + b"\x00"),
        (256, struct.pack("!HH", 10, 1) + b"https://example.com/"),
        (61, key), (49, key),
        (7, host), (8, ptr(12)), (9, host),
        (14, name("owner.example.com.") + ptr(12)),
        (64, struct.pack("!H", 1) + ptr(12) + bytes([0, 1, 0, 3, 2, 0x68, 0x32])),
        (65, struct.pack("!H", 0) + name("pool.example.net.")),
        (250, name("hmac-sha256.") + struct.pack("!HIHH", 0, 1700000000, 300, 32) + key
         + struct.pack("!HHH", 0xF022, 0, 0)),
        (65401, name("target.example.net.")),
        (65402, struct.pack("!H", 1) + b"return '192.0.2.1'"),
        (24, sig),
        (25, struct.pack("!HBB", 256, 3, 8) + key),
        (38, bytes([64]) + bytes(8) + name("prefix.example.net.")),
        (32769, struct.pack("!HBB", 12345, 13, 2) + key),
        (99, string("v=spf1 -all")),
        (65280, b"\x0a\x0b\x0c\x0d"),
        (OPT, struct.pack("!HH", 3, 0) + struct.pack("!HH", 10, 8) + bytes(8)),
    ]


def every_type():
    records = b""
    types = every_type_rdata()
    for rtype, rdata in types:
        rclass, ttl = (1232, 0x8000) if rtype == OPT else (1, 3600)
        records += record(ptr(12), rtype, rdata, rclass=rclass, ttl=ttl)
    return header(1, an=len(types)) + question(qtype=255) + records


def long_name(total):
    """An uncompressed name of exactly `total` wire bytes."""
    labels, left = [], total - 1
    while left > 0:
        size = min(63, left - 1)
        labels.append(bytes([size]) + b"a" * size)
        left -= size + 1
    return b"".join(labels) + b"\x00"


def pointer_chain(pointers):
    """The second answer's owner reaches the root through `pointers` pointers in a row: it points at
    the last of a chain kept in the first answer's data, each link pointing at the one before it."""
    rdata_start = 12 + 5 + 11                       # root question, then a record with a root owner
    links = [ptr(12)] + [ptr(rdata_start + 2 * i) for i in range(pointers - 2)]
    chain = record(b"\x00", 65280, b"".join(links))
    last = rdata_start + 2 * (len(links) - 1)
    return header(1, an=2) + question(b"\x00") + chain + record(ptr(last), A, bytes(4))


def edge_packets():
    q = question()
    minimal_records = b"".join(b"\x00" + struct.pack("!HHIH", 65280, 1, 0, 0) for _ in range(8))
    forged = header(0, an=65535) + minimal_records
    forged += b"\x00" * (100 - len(forged))
    yield "edge_header_only", header(0, flags=0)
    yield "edge_eleven_bytes", header(0)[:11]
    yield "edge_two_questions", header(2) + q + q
    yield "edge_pointer_to_itself", header(1) + ptr(12) + struct.pack("!HH", A, 1)
    yield "edge_pointer_loop_through_label", header(1, an=1) + q + record(b"\x01a" + ptr(29), A, bytes(4))
    yield "edge_forward_pointer", header(1) + b"\x03www" + ptr(22) + struct.pack("!HH", A, 1) + name("example.com.")
    yield "edge_pointer_into_header", header(1) + ptr(2) + struct.pack("!HH", A, 1)
    yield "edge_pointer_chain_16", pointer_chain(16)
    yield "edge_pointer_chain_17", pointer_chain(17)
    yield "edge_name_255_bytes", header(1, an=1) + question(long_name(255)) + record(ptr(12), A, bytes(4))
    yield "edge_name_256_bytes", header(1) + question(long_name(256))
    yield "edge_label_64", header(1) + question(b"\x40" + b"a" * 64 + b"\x00")
    yield "edge_label_type_0x80", header(1) + question(b"\x80abc\x00")
    yield "edge_forged_answer_count", forged
    yield "edge_missing_answer", header(1, an=2) + q + record(ptr(12), A, bytes(4))
    yield "edge_trailing_byte", header(1, an=1) + q + record(ptr(12), A, bytes(4)) + b"\x00"
    yield "edge_a_rdlength_6", header(1, an=1) + q + record(ptr(12), A, bytes(6))
    yield "edge_a_rdlength_2", header(1, an=1) + q + record(ptr(12), A, bytes(4), rdlength=2)
    yield "edge_ipseckey_gateway_4", header(1, an=1) + q + record(ptr(12), 45, bytes([1, 4, 2]) + bytes(8))
    yield "edge_loc_version_1", header(1, an=1) + q + record(ptr(12), 29, bytes([1]) + bytes(15))
    yield "edge_opt_ttl_above_2_31", (header(1, ar=2) + q + record(b"\x00", OPT, b"", rclass=512, ttl=0x80008000)
                                      + record(ptr(12), A, bytes(4), ttl=0xFFFFFFFF))
    yield "edge_every_type", every_type()


def opt_do(payload=4096):
    """An OPT record as an authoritative server returns it: root owner, UDP payload size, DO set."""
    return record(b"\x00", OPT, b"", rclass=payload, ttl=0x8000)


def upstream_packets():
    """Replies of authoritative servers to the resolver's own queries: RD clear, EDNS with DO, compressed."""
    www_q = question(name("www.example.com."))
    zone = 16  # "example.com" inside the question name www.example.com at offset 12

    head = header(1, ns=2, ar=3, flags=0x8000) + www_q
    ns1 = record(ptr(zone), NS, b"\x03ns1" + ptr(zone), ttl=172800)
    ns1_name = len(head) + 12
    ns2 = record(ptr(zone), NS, b"\x03ns2" + ptr(zone), ttl=172800)
    ns2_name = len(head) + len(ns1) + 12
    glue = (record(ptr(ns1_name), A, bytes([192, 0, 2, 53]), ttl=172800)
            + record(ptr(ns2_name), 28, bytes.fromhex("20010db8000000000000000000000035"), ttl=172800))
    yield "upstream_referral_glue", head + ns1 + ns2 + glue + opt_do()

    nope_q = question(name("nope.example.com."))
    soa = (b"\x03ns1" + ptr(17) + b"\x0ahostmaster" + ptr(17)
           + struct.pack("!IIIII", 2024010101, 7200, 900, 1209600, 300))
    yield "upstream_nxdomain_soa", (header(1, ns=1, ar=1, flags=0x8403) + nope_q
                                    + record(ptr(17), SOA, soa, ttl=3600) + opt_do())

    head = header(1, an=2, ar=1, flags=0x8400) + www_q
    target = len(head) + 12
    yield "upstream_cname_answer", (head + record(ptr(12), CNAME, name("web.example.net."))
                                    + record(ptr(target), A, bytes([192, 0, 2, 80])) + opt_do())

    yield "upstream_truncated_tc", header(1, ar=1, flags=0x8600) + www_q + opt_do()


def read_golden(label):
    with open(os.path.join(GOLDEN, label + ".bin"), "rb") as f:
        return f.read()


def framed(*messages):
    return b"".join(struct.pack("!H", len(m)) + m for m in messages)


def stream_framing_seeds():
    """Limit 65535 (12 + 65523), then a draw of the arrival chunks, then the stream."""
    limit_65535 = struct.pack("!H", 65523)
    limit_512 = struct.pack("!H", 500)
    plain, do_query = read_golden("query_a_plain"), read_golden("query_aaaa_edns_do")
    yield "one_query", limit_65535 + b"\x07" + framed(plain)
    yield "pipelined_three", limit_65535 + b"\x2a" + framed(plain, do_query, read_golden("query_ds_cd"))
    yield "second_unfinished", limit_65535 + b"\x01" + framed(plain) + framed(do_query)[:-3]
    yield "zero_length", limit_65535 + b"\x05" + framed(plain) + b"\x00\x00" + framed(plain)
    yield "above_limit", limit_512 + b"\x03" + framed(plain) + struct.pack("!H", 513) + bytes(513)
    yield "length_only", limit_65535 + b"\x09" + b"\xff"


def http_request_seeds():
    yield "metrics", b"\x11GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9153\r\nAccept: */*\r\n\r\n"
    yield "health_lf_only", b"\x02GET /health HTTP/1.0\n\n"
    yield "stats_query", b"\x33GET /stats?pretty=1 HTTP/1.1\r\nHost: x\r\n\r\n"
    yield "post_with_body", (b"\x44POST /zones HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")
    yield "closed_without_head_end", b"\x05GET /health HTTP/1.1\r\nHost: x"
    yield "head_too_large", b"\x7fGET / HTTP/1.1\r\n" + b"X-Filler: " + b"a" * 4100
    yield "lf_blank_before_crlf_blank", b"\x01GET /a HTTP/1.1\n\nb\r\n\r\n"
    yield "query_only_target", b"\x0aGET ?x HTTP/1.1\r\n\r\n"


def doh_request_seeds():
    query = b"\x00\x00\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x03www\x07example\x03com\x00\x00\x01\x00\x01"
    encoded = base64.urlsafe_b64encode(query).rstrip(b"=")
    post = b":method POST\n:path /dns-query\ncontent-type application/dns-message\n"
    yield "get", b"\x01:method GET\n:path /dns-query?dns=" + encoded + b"\naccept application/dns-message\n\n"
    yield "post", b"\x07" + post + b"content-length %d\n\n" % len(query) + query
    yield "post_split", b"\x2b" + post + b"\n" + query
    yield "post_as_text", b"\x03:method POST\n:path /dns-query\ncontent-type text/plain\n\n" + query
    yield "get_padded", b"\x01:method GET\n:path /dns-query?dns=" + base64.urlsafe_b64encode(query) + b"\n\n"
    yield "put", b"\x01:method PUT\n:path /dns-query\n\n" + query
    yield "too_long", b"\x55" + post + b"\n" + bytes(6000)


def control_command_seeds():
    yield "ping", b"PING\n"
    yield "stats_crlf", b"STATS\r\n"
    yield "trace", b"TRACE www.example.com. AAAA\n"
    yield "trace_escapes", b"TRACE a\\.b\\032c.\\255x. TYPE65280\n"
    yield "flush", b"FLUSH example.com\n"
    yield "flush_tabs", b"\t FLUSH\texample.com  \n"
    yield "no_newline", b"SHUTDOWN"
    yield "too_many_arguments", b"FLUSH" + b" a" * 65 + b"\n"
    yield "two_lines", b"PING\nSHUTDOWN\n"


def cookie_seeds():
    def option(code, data):
        return struct.pack(">HH", code, len(data)) + data
    client = bytes.fromhex("2464c4abcf10c957")
    # RFC 9018 Appendix A.1: the server cookie made at 1559731985 for 198.51.100.100.
    server = bytes.fromhex("010000005cf79f111f8130c3eee29480")
    clock = struct.pack(">I", 1559731985)
    yield "client_only_ipv4", clock + b"\x00" + option(10, client)
    yield "interoperable_ipv6", clock + b"\x01" + option(10, client + server)
    yield "after_padding", clock + b"\x02" + option(12, bytes(5)) + option(10, client + server)
    yield "longest_server_cookie", clock + b"\x00" + option(10, client + bytes(32))
    yield "bad_length", clock + b"\x00" + option(10, client + bytes(7))
    yield "length_past_the_end", clock + b"\x00" + struct.pack(">HH", 10, 24) + client
    yield "clock_at_the_wrap", b"\xff\xff\xff\xf6\x00" + option(10, client + server)


README_CONFIG = b"""# Lines starting with '#' are comments; there are no trailing comments.
[server]
listen = 127.0.0.1:5353
http_listen = 127.0.0.1:9153
control_socket_path = /run/recursor.sock
control_socket_mode = 600
control_socket_max_connections = 10
control_socket_read_timeout_ms = 1000
control_socket_write_timeout_ms = 1000
dnssec_validation = yes
root_hints_file = /usr/share/dns/root.hints
trust_anchor_file = /usr/share/dns/root.key
cache_max_bytes = 16_777_216
cache_max_ttl = 86400
cache_max_negative_ttl = 3600
bogus_ttl = 60
aggressive_nsec = yes
allow_loopback_nameservers = no
threads = 0
user = recursor
allow = 127.0.0.0/8
allow = 2001:db8::/32
client_rate_limit = 0
edns_buffer_size = 1232
tcp_timeout_ms = 5000
tcp_max_connections = 100
tcp_max_queries_per_connection = 1000
tcp_max_message_size = 65535
tls_listen = [::1]:853
tls_cert_file = /etc/recursor/cert.pem
tls_key_file = /etc/recursor/key.pem
cache_strategy = response
cookie_secret_hex = 00112233
expose_zones = false

[logging]
level = info

[zone:example.test.]
file = /etc/recursor/example.test.zone
"""


def config_seeds():
    yield "readme_example", README_CONFIG
    yield "minimal", b"[server]\nlisten = [::1]:53\n"
    yield "crlf_and_env", (b"[server]\r\nlisten=127.0.0.1:53\r\n\x00DNS_LISTEN=127.0.0.1:5300, [::1]:5300\x00"
                           b"DNS_EDNS_BUFFER_SIZE=4096\x00DNS_CONTROL_SOCKET_MODE=0640\x00DNS_LOG_LEVEL=debug")
    yield "out_of_range", b"[server]\nlisten=127.0.0.1:53\nedns_buffer_size=65536\ncache_max_ttl=0\n"
    yield "unknown_section", b"[resolver]\nlisten=127.0.0.1:53\n"
    yield "zone_without_dot", b"[server]\nlisten=127.0.0.1:53\n[zone:example]\nfile=x\n[zone:]\nfile=y\n"
    yield "overflow", b"[server]\nthreads=18446744073709551616\n"


# As Debian's dns-root-data root.key and root.ds.
ROOT_KEY = (b"; Created by hand from the IANA trust anchor\n"
            b". 172800 IN DNSKEY 257 3 8 (\n"
            b"    AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/4RgWOq7HrxRixHlFlExOLAJr5emLvN7SWXgnLh4+B5xQ\n"
            b"    lNVz8Og8kvArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8efS3rCj/EWgvIWgb9tarpVUDK/b5\n"
            b"    8Da+sqqls3eNbuv7pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLYA4/ilBmSVIzuDWfdRUfhHdY6+cn8HFRm+2hM8AnXGX\n"
            b"    ws9555KrUB5qihylGa8subX2Nn6UwNR1AkUTV74bU= ) ; KSK; alg = RSASHA256 ; key id = 20326\n")
ROOT_DS = (b". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n"
           b".\t86400\tIN\tDS\t38696 8 2 683D2D0ACB8C9B712A1948B27F741219298D0A450D612C483AF444A4C0FB2B16\n")


def trust_anchor_seeds():
    yield "root_key", ROOT_KEY
    yield "root_ds", ROOT_DS
    yield "key_and_ds_owner_omitted", ROOT_DS + b"\t86400 IN DS 20326 8 1 B256BD09DC8DD59F0E0F0D7541B8328DD986DF6E\n"
    yield "revoked_and_unsupported", (b". IN DNSKEY 385 3 8 AwEAAQ==\n. IN DNSKEY 257 3 3 AwEAAQ==\n"
                                      b". IN DS 1 8 3 " + b"00" * 32 + b"\n")
    yield "other_owners", b"$TTL 3600\nexample. IN DS 1 8 2 " + b"AB" * 32 + b"\n" + ROOT_DS
    yield "ecdsa_key", b". IN DNSKEY 257 3 13 " + base64.b64encode(bytes(range(64))) + b"\n"


def root_hints_seeds():
    lines = [b";       This file holds the information on root name servers", b"$TTL 3600000"]
    for i, address in enumerate(["198.41.0.4", "170.247.170.2", "192.33.4.12"]):
        host = b"%c.ROOT-SERVERS.NET." % (ord("A") + i)
        lines.append(b".                        3600000      NS    " + host)
        lines.append(host + b"      3600000      A     " + address.encode())
        lines.append(host + b"      3600000      AAAA  2001:503:ba3e::2:3%d" % i)
    yield "iana_style", b"\n".join(lines) + b"\n"
    yield "fourteen", b"".join(b"r%d. IN A 192.0.2.%d\n" % (i, i) for i in range(14))
    yield "class_and_case", b"lab. 60 in aaaa ::1 ; comment\r\nlab. a 127.0.0.1\nx NS a.\n"
    yield "mapped_and_bad", b"x A 999.1.1.1\nx AAAA ::ffff:192.0.2.1\nx A 192.0.2.1%eth0\n"


def zone_file_seeds():
    soa = b"@ 3600 IN SOA ns.example. host.example. 2026120801 7200 900 1209600 300\n"
    yield "records", b"$TTL 300\n" + soa + b"""www A 192.0.2.1
www AAAA 2001:db8::1
www TXT "two words" "and more"
alias CNAME www
out CNAME target.elsewhere.
*.wild MX 10 mail
a.b TXT ( "split over"
          "two lines" ) ; a comment
child NS ns.child
ns.child A 192.0.2.53
unknown TYPE65280 \\# 3 010203
"""
    yield "loop", soa + b"a CNAME b\nb CNAME a\n"
    yield "origin", soa + b"$ORIGIN sub.example.\nx A 192.0.2.9\n@ NS ns.example.\n"
    yield "no_soa", b"www A 192.0.2.1\n"
    yield "outside", soa + b"www.other. A 192.0.2.1\n"
    # The same bytes are read as a response policy zone: a seed with each trigger and action.
    yield "policy", soa + b"""@ NS ns
www CNAME .
*.b CNAME *.
x A 192.0.2.9
x TXT "t"
moved CNAME other.org.
32.1.2.0.192.rpz-ip CNAME rpz-drop.
48.zz.1.db8.2001.rpz-ip A 192.0.2.7
ns.rpz-nsdname CNAME .
"""


def write_seeds(target, seeds, max_size):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    for old in os.listdir(directory):
        if not old.startswith(("regression_", "signed_")):
            os.remove(os.path.join(directory, old))
    count = 0
    for label, data in seeds:
        assert len(data) <= max_size, label
        with open(os.path.join(directory, label), "wb") as f:
            f.write(data)
        count += 1
    return count


CACHE_FILE_SAVED_AT = 1_800_000_000  # the wall clock the harness reads the files at


def wire_name(text):
    out = b""
    for label in text.rstrip(".").split("."):
        if label:
            out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def cache_entry(kind, payload):
    return struct.pack(">BI", kind, len(payload)) + payload


def length_prefixed_name(text):
    wire = wire_name(text)
    return bytes([len(wire)]) + wire


def cache_answer(owner, rcode=0, flags=0, reason=0, ttl=600, packet=None):
    if packet is None:
        packet = struct.pack(">HHHHHH", 0, 0x8180, 1, 1, 0, 0) + wire_name(owner) + struct.pack(">HH", A, 1)
        packet += b"\xc0\x0c" + struct.pack(">HHIH", A, 1, max(ttl, 0), 4) + bytes([192, 0, 2, 1])
    expires = CACHE_FILE_SAVED_AT + ttl
    payload = length_prefixed_name(owner) + struct.pack(">HqqHBBBI", A, expires, min(CACHE_FILE_SAVED_AT, expires) - 5, 1,
                                                        rcode, flags, reason, len(packet)) + packet
    return cache_entry(1, payload)


def cache_delegation(zone, v4=(), v6=(), unresolved=(), ttl=3600):
    payload = length_prefixed_name(zone) + struct.pack(">q", CACHE_FILE_SAVED_AT + ttl)
    payload += bytes([len(v4) + len(v6)])
    for address in v4:
        payload += b"\x04" + bytes(address) + struct.pack(">H", 53)
    for address in v6:
        payload += b"\x06" + bytes(address) + struct.pack(">H", 53)
    payload += bytes([len(unresolved)]) + b"".join(length_prefixed_name(n) for n in unresolved)
    payload += b"\x00"  # no fallback
    return cache_entry(2, payload)


def cache_zone_keys(name, secure=True, ttl=3600):
    payload = length_prefixed_name(name) + struct.pack(">qB", CACHE_FILE_SAVED_AT + ttl, 1 if secure else 0)
    if secure:
        key = bytes([3, 1, 0, 1]) + bytes(range(64))
        payload += length_prefixed_name(name) + struct.pack(">HHBBH", 1, 257, 3, 8, len(key)) + key
    return cache_entry(3, payload)


def cache_denial_zone(zone, ttl=900):
    """A signed zone's SOA and its apex NSEC, each a message of its own with the records in the authority
    section, as the denial cache keeps them."""
    def stored(owner, rdtype, rdata):
        msg = struct.pack(">HHHHHH", 0, 0x8400, 1, 0, 1, 0) + wire_name(owner) + struct.pack(">HH", rdtype, 1)
        return msg + wire_name(owner) + struct.pack(">HHIH", rdtype, 1, 3600, len(rdata)) + rdata
    soa = wire_name("ns." + zone) + wire_name("host." + zone) + struct.pack(">IIIII", 1, 2, 3, 4, 300)
    nsec = wire_name("m." + zone) + bytes([0, 6, 0x62, 0, 0, 0, 0, 3])
    expires = CACHE_FILE_SAVED_AT + ttl
    soa_packet, nsec_packet = stored(zone, SOA, soa), stored(zone, 47, nsec)
    payload = length_prefixed_name(zone) + struct.pack(">qI", expires, len(soa_packet)) + soa_packet
    payload += struct.pack(">IBqI", 1, 0, expires, len(nsec_packet)) + nsec_packet
    return cache_entry(4, payload)


def cache_file_seeds():
    sealed = b"\x01"
    yield "answer", sealed + cache_answer("www.example.")
    yield "negative_and_bogus", sealed + cache_answer("gone.example.", rcode=3, flags=1) + cache_answer(
        "bad.example.", flags=4, reason=1, packet=b"")
    yield "expired", sealed + cache_answer("old.example.", ttl=-60)
    yield "delegation", sealed + cache_delegation(
        "example.", v4=[(192, 0, 2, 53)], v6=[(0x20, 0x01, 0x0d, 0xb8) + (0,) * 11 + (0x53,)],
        unresolved=["ns.elsewhere."])
    yield "zone_keys", sealed + cache_zone_keys("example.") + cache_zone_keys("plain.example.", secure=False)
    yield "mixed", sealed + cache_zone_keys("example.") + cache_delegation("example.", v4=[(192, 0, 2, 53)]) \
        + cache_answer("www.example.")
    yield "denial_zone", sealed + cache_denial_zone("signed.example.")
    yield "foreign", b"\x00[server]\nlisten = 127.0.0.1:53\n"
    yield "header_only", b"\x00RCRCACHE\x00\x00\x00\x01" + bytes(52)


def message_seeds():
    for seed in GOLDEN_SEEDS:
        yield "golden_" + seed, read_golden(seed)
    yield from edge_packets()
    yield from upstream_packets()


def main():
    targets = {
        "message": message_seeds, "stream_framing": stream_framing_seeds, "http_request": http_request_seeds,
        "doh_request": doh_request_seeds,
        "control_command": control_command_seeds, "config": config_seeds, "trust_anchor": trust_anchor_seeds,
        "root_hints": root_hints_seeds, "zone_file": zone_file_seeds, "cookie": cookie_seeds,
        "cache_file": cache_file_seeds,
    }
    for target, seeds in targets.items():
        count = write_seeds(target, seeds(), MAX_SIZE if target == "message" else TEXT_MAX_SIZE)
        print("wrote %d seeds to %s" % (count, os.path.join(CORPUS, target)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
