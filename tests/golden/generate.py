#!/usr/bin/python3
"""Writes the golden DNS messages under tests/golden/: NAME.bin is a message encoded by dnspython
(compression on), NAME.txt is what dnspython decodes from those same bytes.

The tests read the committed files; run this script only to regenerate them:
    /usr/bin/python3 tests/golden/generate.py

Sidecar format (one item per line, '#' lines are comments for people):
    header ID FLAGS QDCOUNT ANCOUNT NSCOUNT ARCOUNT          (decimal)
    question QNAME_WIRE_HEX TYPE CLASS                      (only when QDCOUNT is 1)
    record SECTION OWNER_WIRE_HEX TYPE CLASS TTL RDATA_HEX  (packet order)
Names are uncompressed wire form with their case as decoded; RDATA is dnspython's uncompressed,
case-preserving wire form of the record data ('-' when empty). OPT and TSIG records, which dnspython
keeps outside its sections, are listed at the end of the additional section where they were encoded.
"""

import base64
import os
import struct
import sys
from unittest import mock

import dns.edns
import dns.flags
import dns.message
import dns.name
import dns.opcode
import dns.rcode
import dns.rdataclass
import dns.rdatatype
import dns.rrset
import dns.tsigkeyring
import dns.version

OUT_DIR = os.path.dirname(os.path.abspath(__file__))
KEYRING = dns.tsigkeyring.from_text({"tsig-key.example.": "c2VjcmV0LWtleS1mb3ItZ29sZGVuLXRlc3Rz"})
FIXED_TIME = 1700000000  # TSIG time signed, so that regeneration is reproducible

# Key and signature material: the parser does not judge it, it only has to carry it.
KEY_B64 = base64.b64encode(bytes(range(1, 65))).decode()
ZSK_B64 = base64.b64encode(bytes(range(65, 129))).decode()
RSA_KEY_B64 = base64.b64encode(b"\x03\x01\x00\x01" + bytes(range(200, 256)) * 2).decode()
SIG_B64 = base64.b64encode(bytes(range(100, 164))).decode()
DIGEST_HEX = bytes(range(0x20, 0x40)).hex()


def rrset(owner, ttl, rdtype, *rdatas, rdclass="IN"):
    return dns.rrset.from_text(owner, ttl, rdclass, rdtype, *rdatas)


def generic(data):
    """RFC 3597 presentation of raw RDATA, for types dnspython has no class for."""
    return "\\# %d %s" % (len(data), data.hex()) if data else "\\# 0"


def wire_name(text):
    return dns.name.from_text(text).to_wire()


def query(qname, qtype, qid, rdclass="IN", **kwargs):
    q = dns.message.make_query(qname, qtype, rdclass=rdclass, **kwargs)
    q.id = qid
    return q


def response(qname, qtype, qid, answer=(), authority=(), additional=(), rcode=dns.rcode.NOERROR,
             aa=True, edns=None, rdclass="IN", flags_off=0, flags_on=0):
    q = query(qname, qtype, qid, rdclass=rdclass, use_edns=edns)
    r = dns.message.make_response(q)
    if aa:
        r.flags |= dns.flags.AA
    r.flags = (r.flags | flags_on) & ~flags_off
    r.set_rcode(rcode)
    r.answer.extend(answer)
    r.authority.extend(authority)
    r.additional.extend(additional)
    return r


def queries():
    yield "query_a_plain", query("www.example.com.", "A", 0x1001)
    yield "query_aaaa_edns_do", query("www.example.com.", "AAAA", 0x1002, use_edns=0, payload=1232,
                                      want_dnssec=True)
    options = [
        dns.edns.GenericOption(dns.edns.NSID, b""),
        dns.edns.GenericOption(dns.edns.COOKIE, bytes.fromhex("0123456789abcdef")),
        dns.edns.GenericOption(dns.edns.PADDING, bytes(37)),
    ]
    yield "query_edns_nsid_cookie_padding", query("example.org.", "SOA", 0x1003, use_edns=0,
                                                  payload=4096, want_dnssec=True, options=options)
    yield "query_mixed_case", query("WwW.ExAmPlE.CoM.", "MX", 0x1004)
    yield "query_escaped_labels", query("we\\.ird\\032label.\\000\\255bin.Example.", "TXT", 0x1005)
    yield "query_root_ns", query(".", "NS", 0x1006, use_edns=0, want_dnssec=True)
    yield "query_chaos_version", query("version.bind.", "TXT", 0x1007, rdclass="CH")
    long_name = ".".join(["a" * 63, "b" * 63, "c" * 63, "d" * 61]) + "."
    yield "query_max_length_name", query(long_name, "NS", 0x1008)
    ds = query("example.net.", "DS", 0x1009, use_edns=0, want_dnssec=True)
    ds.flags |= dns.flags.CD
    yield "query_ds_cd", ds
    signed = query("example.com.", "SOA", 0x100A)
    signed.use_tsig(KEYRING, keyname="tsig-key.example.")
    yield "query_tsig_signed", signed
    yield "query_type65280", query("private.example.", "TYPE65280", 0x100B)


def common_responses():
    yield "resp_a_single", response("www.example.com.", "A", 0x2001,
                                    [rrset("www.example.com.", 300, "A", "192.0.2.1")])
    yield "resp_a_cname_chain_ns_glue", response(
        "www.example.com.", "A", 0x2002,
        answer=[
            rrset("www.example.com.", 300, "CNAME", "web.example.com."),
            rrset("web.example.com.", 300, "CNAME", "lb.cdn.example.net."),
            rrset("lb.cdn.example.net.", 60, "A", "192.0.2.10", "192.0.2.11", "192.0.2.12"),
        ],
        authority=[rrset("cdn.example.net.", 86400, "NS", "ns1.cdn.example.net.", "ns2.cdn.example.net.")],
        additional=[
            rrset("ns1.cdn.example.net.", 86400, "A", "198.51.100.1"),
            rrset("ns1.cdn.example.net.", 86400, "AAAA", "2001:db8::53"),
            rrset("ns2.cdn.example.net.", 86400, "A", "198.51.100.2"),
        ],
        edns=0)
    yield "resp_aaaa_multiple", response("v6.example.com.", "AAAA", 0x2003, [
        rrset("v6.example.com.", 3600, "AAAA", "2001:db8::1", "2001:db8:0:1::ff", "::1", "fe80::1:2:3:4")])
    yield "resp_ns_apex", response("example.com.", "NS", 0x2004,
                                   [rrset("example.com.", 172800, "NS", "a.iana-servers.net.",
                                          "b.iana-servers.net.", "ns.example.com.")],
                                   additional=[rrset("ns.example.com.", 172800, "A", "192.0.2.53")])
    yield "resp_ptr", response("1.2.0.192.in-addr.arpa.", "PTR", 0x2005,
                               [rrset("1.2.0.192.in-addr.arpa.", 3600, "PTR", "host.example.com.")])
    yield "resp_mx", response("example.com.", "MX", 0x2006, [
        rrset("example.com.", 3600, "MX", "10 mx1.example.com.", "20 mx2.example.com.", "0 .",
              "50 backup.mail.example.org.")])
    yield "resp_soa", response("example.com.", "SOA", 0x2007, [
        rrset("example.com.", 3600, "SOA", "ns1.example.com. hostmaster.example.com. "
              "2024010101 7200 3600 1209600 300")])
    yield "resp_srv", response("_sip._tcp.example.com.", "SRV", 0x2008, [
        rrset("_sip._tcp.example.com.", 600, "SRV", "10 60 5060 sip1.example.com.",
              "10 20 5060 sip2.example.com.", "0 0 0 .")])
    yield "resp_txt_strings", response("example.com.", "TXT", 0x2009, [
        rrset("example.com.", 300, "TXT", '"v=spf1 -all"', '"one" "two" "three"', '""',
              '"' + "x" * 255 + '" "tail"', '"quote\\"d" "semi;colon" "\\000\\255"')])
    yield "resp_hinfo", response("host.example.com.", "HINFO", 0x200A, [
        rrset("host.example.com.", 300, "HINFO", '"Generic PC" "Linux 6.1"')])
    yield "resp_naptr", response("4.3.2.1.5.5.5.0.0.8.1.e164.arpa.", "NAPTR", 0x200B, [
        rrset("4.3.2.1.5.5.5.0.0.8.1.e164.arpa.", 300, "NAPTR",
              '100 10 "u" "E2U+sip" "!^.*$!sip:info@example.com!" .',
              '102 10 "s" "SIP+D2U" "" _sip._udp.example.com.')])
    yield "resp_loc", response("loc.example.com.", "LOC", 0x200C, [
        rrset("loc.example.com.", 300, "LOC", "52 22 23.000 N 4 53 32.000 E -2.00m 0.00m 10000m 10m",
              "42 21 54 N 71 6 18 W -24m 30m")])
    yield "resp_cert", response("cert.example.com.", "CERT", 0x200D, [
        rrset("cert.example.com.", 300, "CERT", "PKIX 12345 8 " + KEY_B64, "PGP 0 0 " + SIG_B64)])
    yield "resp_dname", response("www.sub.example.com.", "A", 0x200E, [
        rrset("sub.example.com.", 300, "DNAME", "sub.example.net."),
        rrset("www.sub.example.com.", 300, "CNAME", "www.sub.example.net."),
        rrset("www.sub.example.net.", 300, "A", "192.0.2.80")])
    yield "resp_svcb", response("_dns.resolver.example.", "SVCB", 0x200F, [
        rrset("_dns.resolver.example.", 300, "SVCB",
              "1 dot.resolver.example. alpn=dot port=853 ipv4hint=192.0.2.53",
              "2 doh.resolver.example. alpn=h2,h3 key7=\"/dns-query{?dns}\" ipv6hint=2001:db8::53",
              "0 alias.resolver.example.")])
    yield "resp_https", response("www.example.com.", "HTTPS", 0x2010, [
        rrset("www.example.com.", 300, "HTTPS",
              "1 . alpn=h3,h2 ipv4hint=192.0.2.1,192.0.2.2 ech=AEX+DQBBpQAgACBzZWNyZXRzZWNyZXQ=",
              "2 pool.example.com. mandatory=alpn alpn=h2 port=8443 no-default-alpn")])
    yield "resp_caa", response("example.com.", "CAA", 0x2011, [
        rrset("example.com.", 3600, "CAA", '0 issue "ca.example.net"', '0 issuewild ";"',
              '0 iodef "mailto:security@example.com"', '128 tbs "Unknown"')])
    yield "resp_tlsa", response("_443._tcp.www.example.com.", "TLSA", 0x2012, [
        rrset("_443._tcp.www.example.com.", 3600, "TLSA", "3 1 1 " + DIGEST_HEX,
              "2 0 0 " + bytes(range(0, 80)).hex())])
    yield "resp_sshfp", response("host.example.com.", "SSHFP", 0x2013, [
        rrset("host.example.com.", 3600, "SSHFP", "4 2 " + DIGEST_HEX, "1 1 " + bytes(range(20)).hex())])
    yield "resp_uri", response("_ftp._tcp.example.com.", "URI", 0x2014, [
        rrset("_ftp._tcp.example.com.", 3600, "URI", '10 1 "ftp://ftp1.example.com/public"',
              '20 5 "https://example.com/"')])
    yield "resp_rp_afsdb_kx", response("example.com.", "ANY", 0x2015, [
        rrset("example.com.", 3600, "RP", "admin.example.com. info.example.com.", ". ."),
        rrset("example.com.", 3600, "AFSDB", "1 afsdb.example.com.", "2 AFSDB2.Example.NET."),
        rrset("example.com.", 3600, "KX", "10 kx.example.com.")])
    gateways = [
        "10 0 2 . " + RSA_KEY_B64,
        "10 1 2 192.0.2.38 " + RSA_KEY_B64,
        "10 2 2 2001:db8:0:8002::2000:1 " + RSA_KEY_B64,
        "10 3 2 gateway.example.com. " + RSA_KEY_B64,
    ]
    yield "resp_ipseckey_gateways", response("38.2.0.192.in-addr.arpa.", "IPSECKEY", 0x2016, [
        rrset("38.2.0.192.in-addr.arpa.", 7200, "IPSECKEY", *gateways)])
    yield "resp_apl", response("apl.example.com.", "APL", 0x2017, [
        rrset("apl.example.com.", 300, "APL", "1:192.0.2.0/24 !1:192.0.2.128/28 2:2001:db8::/32",
              "1:0.0.0.0/0")])
    yield "resp_dhcid", response("client.example.com.", "DHCID", 0x2018, [
        rrset("client.example.com.", 300, "DHCID", "AAIBY2/AuCccgoJbsaxcQc9TUapptP69lOjxfNuVAA2kjEA=")])
    yield "resp_openpgpkey", response(
        "c93f1e400f26708f98cb19d936620da35eec8f72e57f9eec01c1afd6._openpgpkey.example.com.", "OPENPGPKEY",
        0x2019, [rrset("c93f1e400f26708f98cb19d936620da35eec8f72e57f9eec01c1afd6._openpgpkey.example.com.",
                       3600, "OPENPGPKEY", RSA_KEY_B64)])
    yield "resp_smimea", response("c93f._smimecert.example.com.", "SMIMEA", 0x201A, [
        rrset("c93f._smimecert.example.com.", 3600, "SMIMEA", "3 1 1 " + DIGEST_HEX)])
    yield "resp_csync_zonemd", response("example.com.", "ANY", 0x201B, [
        rrset("example.com.", 3600, "CSYNC", "66 3 A NS AAAA"),
        rrset("example.com.", 3600, "ZONEMD", "2018031500 1 1 " + bytes(range(48)).hex(),
              "2018031500 1 2 " + bytes(range(64)).hex())])
    yield "resp_spf", response("example.com.", "SPF", 0x201C, [
        rrset("example.com.", 300, "SPF", '"v=spf1 ip4:192.0.2.0/24 -all"', '"a" "b"')])
    mailbox = wire_name("Mail.Example.com.")
    yield "resp_minfo_mb_mg_mr", response("example.com.", "ANY", 0x201D, [
        rrset("example.com.", 300, "TYPE14", generic(wire_name("owner.example.com.") + wire_name("errors.example.com."))),
        rrset("example.com.", 300, "TYPE7", generic(mailbox)),
        rrset("example.com.", 300, "TYPE8", generic(wire_name("member.example.com."))),
        rrset("example.com.", 300, "TYPE9", generic(wire_name("renamed.example.org.")))])
    yield "resp_unknown_types", response("private.example.", "TYPE65280", 0x201E, [
        rrset("private.example.", 300, "TYPE65280", "\\# 4 0a0b0c0d", "\\# 0"),
        rrset("private.example.", 300, "TYPE4660", generic(bytes(range(256))))])
    yield "resp_alias_lua_private", response("apex.example.", "ANY", 0x201F, [
        rrset("apex.example.", 300, "TYPE65401", generic(wire_name("target.example.net."))),
        rrset("apex.example.", 300, "TYPE65402", generic(struct.pack("!H", 1) + b'"return \'192.0.2.1\'"'))])
    a6_prefix0 = bytes([0]) + bytes(range(16))
    a6_prefix64 = bytes([64]) + bytes(range(8)) + wire_name("prefix.example.net.")
    yield "resp_a6", response("a6.example.com.", "TYPE38", 0x2020, [
        rrset("a6.example.com.", 300, "TYPE38", generic(a6_prefix0), generic(a6_prefix64),
              generic(bytes([128]) + wire_name("full.example.net.")))])


def dnssec_responses():
    rrsig_a = "A 13 3 300 20240201000000 20240101000000 12345 example.com. " + SIG_B64
    yield "resp_a_signed", response("www.example.com.", "A", 0x3001, [
        rrset("www.example.com.", 300, "A", "192.0.2.1"),
        rrset("www.example.com.", 300, "RRSIG", rrsig_a)], edns=0)
    yield "resp_dnskey", response("example.com.", "DNSKEY", 0x3002, [
        rrset("example.com.", 3600, "DNSKEY", "257 3 13 " + KEY_B64, "256 3 13 " + ZSK_B64,
              "256 3 8 " + RSA_KEY_B64),
        rrset("example.com.", 3600, "RRSIG", "DNSKEY 13 2 3600 20240201000000 20240101000000 31337 "
              "example.com. " + SIG_B64)], edns=0)
    yield "resp_cdnskey_cds", response("example.com.", "ANY", 0x3003, [
        rrset("example.com.", 3600, "CDNSKEY", "257 3 13 " + KEY_B64, "0 3 0 AA=="),
        rrset("example.com.", 3600, "CDS", "31337 13 2 " + DIGEST_HEX, "0 0 0 00")], edns=0)
    yield "resp_ds", response("example.com.", "DS", 0x3004, [
        rrset("example.com.", 86400, "DS", "31337 13 2 " + DIGEST_HEX,
              "31337 13 4 " + bytes(range(48)).hex(), "20326 8 1 " + bytes(range(20)).hex()),
        rrset("example.com.", 86400, "RRSIG", "DS 8 2 86400 20240201000000 20240101000000 46780 com. "
              + SIG_B64)], edns=0)
    yield "resp_nodata_nsec", response("www.example.com.", "MX", 0x3005, authority=[
        rrset("example.com.", 300, "SOA", "ns1.example.com. hostmaster.example.com. 1 7200 3600 1209600 300"),
        rrset("example.com.", 300, "RRSIG", "SOA 13 2 300 20240201000000 20240101000000 12345 example.com. "
              + SIG_B64),
        rrset("www.example.com.", 300, "NSEC", "zzz.example.com. A AAAA RRSIG NSEC TYPE1234 CAA"),
        rrset("www.example.com.", 300, "RRSIG", "NSEC 13 3 300 20240201000000 20240101000000 12345 "
              "example.com. " + SIG_B64)], edns=0)
    yield "resp_nxdomain_nsec3", response("nope.example.com.", "A", 0x3006, rcode=dns.rcode.NXDOMAIN,
                                          authority=[
        rrset("example.com.", 300, "SOA", "ns1.example.com. hostmaster.example.com. 1 7200 3600 1209600 300"),
        rrset("2vptu5timamqttgl4luu9kg21e0aor3s.example.com.", 300, "NSEC3",
              "1 1 12 aabbccdd 35mthgpgcu1qg68fab165klnsnk3dpvl MX RRSIG DNSKEY NSEC3PARAM"),
        rrset("35mthgpgcu1qg68fab165klnsnk3dpvl.example.com.", 300, "NSEC3",
              "1 0 0 - 2vptu5timamqttgl4luu9kg21e0aor3s A RRSIG"),
        rrset("35mthgpgcu1qg68fab165klnsnk3dpvl.example.com.", 300, "RRSIG",
              "NSEC3 13 3 300 20240201000000 20240101000000 12345 example.com. " + SIG_B64)], edns=0)
    yield "resp_nsec3param", response("example.com.", "NSEC3PARAM", 0x3007, [
        rrset("example.com.", 0, "NSEC3PARAM", "1 0 10 abcdef", "1 1 0 -")])
    yield "resp_dlv", response("example.com.dlv.example.org.", "DLV", 0x3008, [
        rrset("example.com.dlv.example.org.", 3600, "DLV", "31337 13 2 " + DIGEST_HEX)])
    key = struct.pack("!HBB", 256, 3, 8) + bytes(range(64))
    sig = (struct.pack("!HBBIIIH", 1, 8, 3, 300, 1706745600, 1704067200, 4242) + wire_name("Example.com.")
           + bytes(range(64)))
    yield "resp_key_sig", response("host.example.com.", "ANY", 0x3009, [
        rrset("host.example.com.", 300, "TYPE25", generic(key)),
        rrset("host.example.com.", 300, "TYPE24", generic(sig))])
    yield "resp_referral_signed_ds", response(
        "www.example.com.", "A", 0x300A, aa=False, edns=0,
        authority=[
            rrset("example.com.", 172800, "NS", "ns1.example.com.", "ns2.example.net."),
            rrset("example.com.", 86400, "DS", "31337 13 2 " + DIGEST_HEX),
            rrset("example.com.", 86400, "RRSIG", "DS 13 2 86400 20240201000000 20240101000000 46780 com. "
                  + SIG_B64)],
        additional=[rrset("ns1.example.com.", 172800, "A", "192.0.2.53"),
                    rrset("ns1.example.com.", 172800, "AAAA", "2001:db8::53")])


def shaped_responses():
    yield "resp_referral_glue", response(
        "www.example.org.", "A", 0x4001, aa=False,
        authority=[rrset("org.", 172800, "NS", "a0.org.afilias-nst.info.", "b0.org.afilias-nst.org.",
                         "c0.org.afilias-nst.info.", "d0.org.afilias-nst.org.")],
        additional=[rrset("b0.org.afilias-nst.org.", 172800, "A", "199.19.54.1"),
                    rrset("b0.org.afilias-nst.org.", 172800, "AAAA", "2001:500:c::1"),
                    rrset("d0.org.afilias-nst.org.", 172800, "A", "199.19.57.1"),
                    rrset("d0.org.afilias-nst.org.", 172800, "AAAA", "2001:500:f::1")])
    root_ns = ["%s.root-servers.net." % c for c in "abcdefghijklm"]
    glue = []
    for i, ns in enumerate(root_ns):
        glue.append(rrset(ns, 518400, "A", "198.41.0.%d" % (i + 4)))
        glue.append(rrset(ns, 518400, "AAAA", "2001:503:ba3e::2:%x" % (i + 0x30)))
    yield "resp_root_priming", response(".", "NS", 0x4002, [rrset(".", 518400, "NS", *root_ns)],
                                        additional=glue, edns=0)
    yield "resp_nxdomain_soa", response("missing.example.com.", "A", 0x4003, rcode=dns.rcode.NXDOMAIN,
                                        authority=[rrset("example.com.", 3600, "SOA",
                                                         "ns1.example.com. hostmaster.example.com. "
                                                         "2024010101 7200 3600 1209600 300")])
    yield "resp_servfail", response("broken.example.com.", "A", 0x4004, rcode=dns.rcode.SERVFAIL, aa=False)
    yield "resp_refused_edns", response("example.com.", "AXFR", 0x4005, rcode=dns.rcode.REFUSED, aa=False,
                                        edns=0)
    badvers = response("example.com.", "A", 0x4006, aa=False, edns=0)
    badvers.set_rcode(dns.rcode.BADVERS)
    yield "resp_edns_badvers", badvers
    yield "resp_truncated_empty", response("big.example.com.", "TXT", 0x4007, flags_on=dns.flags.TC)
    yield "resp_truncated_partial", response("big.example.com.", "A", 0x4008, flags_on=dns.flags.TC, answer=[
        rrset("big.example.com.", 300, "A", *["192.0.2.%d" % i for i in range(1, 9)])])
    yield "resp_many_a", response("many.example.com.", "A", 0x4009, edns=0, answer=[
        rrset("many.example.com.", 60, "A", *["198.51.100.%d" % i for i in range(1, 201)])])
    # Over 16 KiB with over 128 distinct owner names: later names start beyond what a compression
    # pointer can reach, and the writer's candidate table overflows.
    big = [rrset("host%03d.zone.example.com." % i, 300, "TXT", '"' + "record %03d " % i + "y" * 80 + '"')
           for i in range(200)]
    yield "resp_tcp_large_distinct_owners", response("zone.example.com.", "TXT", 0x400A, big)
    nsid = response("example.com.", "A", 0x400B, [rrset("example.com.", 300, "A", "192.0.2.7")], edns=0)
    nsid.use_edns(0, dns.flags.DO, 1232, options=[dns.edns.GenericOption(dns.edns.NSID, b"ns1.lab.example"),
                                                   dns.edns.GenericOption(dns.edns.COOKIE, bytes(range(24)))])
    yield "resp_edns_nsid_cookie", nsid
    yield "resp_mixed_case_compression", response("WWW.Example.COM.", "A", 0x400C, answer=[
        rrset("www.EXAMPLE.com.", 300, "CNAME", "Alias.example.COM."),
        rrset("ALIAS.Example.Com.", 300, "A", "192.0.2.99")],
        authority=[rrset("eXaMpLe.CoM.", 300, "NS", "NS1.example.com.")])
    yield "resp_escaped_owner_names", response("we\\.ird\\032label.\\000\\255bin.Example.", "TXT", 0x400D, [
        rrset("we\\.ird\\032label.\\000\\255bin.Example.", 300, "TXT", '"escaped"'),
        rrset("\\@\\(paren\\)\\;.\\$dollar\\\\back.example.", 300, "A", "192.0.2.3"),
        rrset("*.wild.example.", 300, "A", "192.0.2.4")])
    # Not above 2^31 - 1: dnspython reads such TTLs as 0 (RFC 2181 §8), our parser keeps them as sent.
    yield "resp_ttl_extremes", response("ttl.example.com.", "A", 0x400E, [
        rrset("ttl0.example.com.", 0, "A", "192.0.2.1"),
        rrset("ttl1.example.com.", 1, "A", "192.0.2.2"),
        rrset("ttlmax.example.com.", 2147483647, "A", "192.0.2.3")])
    yield "resp_chaos_version", response("version.bind.", "TXT", 0x400F, rdclass="CH", answer=[
        rrset("version.bind.", 0, "TXT", '"lab-server 1.0"', rdclass="CH")])
    yield "resp_multi_section_mixed", response(
        "example.com.", "ANY", 0x4010, edns=0,
        answer=[rrset("example.com.", 3600, "SOA", "NS1.example.com. dns-admin.Example.com. 7 1 2 3 4"),
                rrset("example.com.", 3600, "MX", "5 mail.example.com."),
                rrset("example.com.", 3600, "TXT", '"hello" "world"'),
                rrset("example.com.", 3600, "CAA", '0 issue "ca.example.net"'),
                rrset("example.com.", 3600, "HTTPS", "1 . alpn=h2")],
        authority=[rrset("example.com.", 3600, "NS", "ns1.example.com.", "ns2.example.com.")],
        additional=[rrset("mail.example.com.", 3600, "A", "192.0.2.25"),
                    rrset("ns1.example.com.", 3600, "A", "192.0.2.53"),
                    rrset("ns2.example.com.", 3600, "AAAA", "2001:db8::35")])
    no_question = dns.message.Message(id=0x4011)
    no_question.flags = dns.flags.QR | dns.flags.AA
    no_question.answer.append(rrset("example.com.", 300, "A", "192.0.2.1"))
    yield "resp_without_question", no_question
    signed = response("example.com.", "SOA", 0x4012, [
        rrset("example.com.", 3600, "SOA", "ns1.example.com. hostmaster.example.com. 1 2 3 4 5")])
    signed.use_tsig(KEYRING, keyname="tsig-key.example.")
    yield "resp_tsig_signed", signed
    yield "resp_class_any_update_style", response("example.com.", "A", 0x4013, rdclass="IN", answer=[
        rrset("gone.example.com.", 0, "TYPE65280", "\\# 0", rdclass="ANY"),
        rrset("none.example.com.", 0, "A", generic(bytes([192, 0, 2, 1])), rdclass="NONE")])


def all_messages():
    yield from queries()
    yield from common_responses()
    yield from dnssec_responses()
    yield from shaped_responses()


def hex_or_dash(data):
    return data.hex() if data else "-"


def record_line(section, rrset_, rd):
    owner = rrset_.name
    header = "# %s %d %s %s %s" % (owner.to_text(), rrset_.ttl, dns.rdataclass.to_text(rrset_.rdclass),
                                   dns.rdatatype.to_text(rrset_.rdtype), rd.to_text()[:200])
    line = "record %s %s %d %d %d %s" % (section, owner.to_wire().hex(), rrset_.rdtype, rrset_.rdclass,
                                         rrset_.ttl, hex_or_dash(rd.to_wire()))
    return [header, line]


def describe(name, wire):
    """What dnspython decodes from `wire`, one record per rrset so that packet order is kept."""
    signed = name.endswith("tsig_signed")
    msg = dns.message.from_wire(wire, keyring=KEYRING if signed else None, one_rr_per_rrset=True)
    msg_id, flags, qd, an, ns, ar = struct.unpack("!HHHHHH", wire[:12])
    lines = ["# %s: generated by tests/golden/generate.py with dnspython %s" % (name, dns.version.version),
             "header %d %d %d %d %d %d" % (msg_id, flags, qd, an, ns, ar)]
    for q in msg.question:
        lines.append("# question %s %s %s" % (q.name.to_text(), dns.rdataclass.to_text(q.rdclass),
                                               dns.rdatatype.to_text(q.rdtype)))
        lines.append("question %s %d %d" % (q.name.to_wire().hex(), q.rdtype, q.rdclass))
    counts = {}
    for section, rrsets in (("answer", msg.answer), ("authority", msg.authority), ("additional", msg.additional)):
        extra = [x for x in (msg.opt, msg.tsig) if x is not None] if section == "additional" else []
        counts[section] = 0
        for rrset_ in list(rrsets) + extra:
            for rd in rrset_:
                lines.extend(record_line(section, rrset_, rd))
                counts[section] += 1
    assert (qd, an, ns, ar) == (len(msg.question), counts["answer"], counts["authority"],
                                counts["additional"]), name
    return "\n".join(lines) + "\n"


def main():
    names = set()
    with mock.patch("time.time", return_value=FIXED_TIME):
        for name, msg in all_messages():
            assert name not in names, name
            names.add(name)
            wire = msg.to_wire(max_size=65535, want_shuffle=False)
            with open(os.path.join(OUT_DIR, name + ".bin"), "wb") as f:
                f.write(wire)
            with open(os.path.join(OUT_DIR, name + ".txt"), "w") as f:
                f.write(describe(name, wire))
    for stale in os.listdir(OUT_DIR):
        stem, ext = os.path.splitext(stale)
        if ext in (".bin", ".txt") and stem not in names:
            os.remove(os.path.join(OUT_DIR, stale))
    print("wrote %d golden messages to %s" % (len(names), OUT_DIR))
    return 0


if __name__ == "__main__":
    sys.exit(main())
