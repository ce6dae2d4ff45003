#!/usr/bin/python3
"""A scriptable authoritative server for the lab: the misbehaviour real servers won't show.

--mode fake (default): authoritative for fake.test.; the first label of the question picks the act:

  ok              an honest answer: A 192.0.2.53
  wrong-id        first a reply with another ID carrying A 192.0.2.66, then the honest one
  other-port      first the 192.0.2.66 reply from another source port, then the honest one from 53
  other-question  first a reply for poison.fake.test. (right ID and port), then the honest one
  tc              over UDP only an empty reply with TC set; the answer comes over TCP
  silent          no reply at all
  garbage         bytes that are no DNS message (one starting with the query ID, one runt), nothing else
  not-auth        the right answer with AA clear
  up-referral     a referral for test. (above this zone) to ns.attacker.fake.test. at 10.53.6.6
  root-referral   the same for the root
  out-of-zone     the honest answer plus victim.glue.test. A 192.0.2.66, and glue.test. NS pointing
                  at the attacker in the authority section
  cname-out       CNAME victim2.glue.test., with victim2.glue.test. A 192.0.2.66 next to it
  case            owner CaSe.FaKe.TeSt. CNAME WwW.GlUe.TeSt. (odd letter case on both)

Other names in the zone get NXDOMAIN, other types NODATA, both with the SOA at its raw TTL of 3600
and MINIMUM 900: the resolver has to cut the negative TTL to 900 itself. Over TCP every act except
silent and garbage answers honestly.

--mode attacker: answers every A question with 192.0.2.66 and AA set (whatever reaches it was misled).
--mode silent: bound to UDP and TCP port 53, never answers.
"""

import argparse
import os
import random
import socket
import struct
import sys
import threading

import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdatatype
import dns.renderer
import dns.rrset

ZONE = dns.name.from_text("fake.test.")
NS_NAME = dns.name.from_text("ns.fake.test.")
ATTACKER_NAME = dns.name.from_text("ns.attacker.fake.test.")
ATTACKER_ADDRESS = "10.53.6.6"
GOOD = "192.0.2.53"
POISON = "192.0.2.66"
SOA = "ns.fake.test. hostmaster.fake.test. 1 3600 600 604800 900"
TTL = 3600
ACTS = {
    "ok", "wrong-id", "other-port", "other-question", "tc", "silent", "garbage", "not-auth",
    "up-referral", "root-referral", "out-of-zone", "cname-out", "case",
}
# act -> (owner, or None for the name asked; target)
CNAMES = {"cname-out": (None, "victim2.glue.test."), "case": ("CaSe.FaKe.TeSt.", "WwW.GlUe.TeSt.")}


def rrset(name, rdtype, *rdatas, ttl=TTL):
    owner = name if isinstance(name, dns.name.Name) else dns.name.from_text(name, ZONE)
    return dns.rrset.from_text(owner, ttl, "IN", rdtype, *rdatas)


def response(query, aa=True):
    reply = dns.message.make_response(query, our_payload=1232)
    if aa:
        reply.flags |= dns.flags.AA
    return reply


def act_of(name):
    """The act a name below the zone asks for: its first label, lower-cased."""
    if len(name) != len(ZONE) + 1 or not name.is_subdomain(ZONE):
        return ""
    return name.labels[0].decode("ascii", "replace").lower()


class NoCompression(dict):
    def __setitem__(self, key, value):
        pass


def render(message):
    """Wire form without name compression, so every name keeps the letter case it was given in."""
    renderer = dns.renderer.Renderer(message.id, message.flags, 65535)
    renderer.compress = NoCompression()
    for question in message.question:
        renderer.add_question(question.name, question.rdtype, question.rdclass)
    for section, rrsets in ((dns.renderer.ANSWER, message.answer), (dns.renderer.AUTHORITY, message.authority),
                            (dns.renderer.ADDITIONAL, message.additional)):
        for item in rrsets:
            renderer.add_rrset(section, item)
    if message.edns >= 0:
        renderer.add_edns(message.edns, message.ednsflags, message.payload)
    renderer.write_header()
    return renderer.get_wire()


def honest(query):
    """The reply a correct server would give, with the planted extras of out-of-zone and cname-out."""
    question = query.question[0]
    name, rdtype = question.name, question.rdtype
    reply = response(query)
    if not name.is_subdomain(ZONE):
        reply.flags &= ~dns.flags.AA
        reply.set_rcode(dns.rcode.REFUSED)
        return reply
    act = act_of(name)
    if name == ZONE and rdtype in (dns.rdatatype.SOA, dns.rdatatype.NS):
        data = SOA if rdtype == dns.rdatatype.SOA else str(NS_NAME)
        reply.answer.append(rrset(name, rdtype, data))
    elif name == NS_NAME and rdtype == dns.rdatatype.A:
        reply.answer.append(rrset(name, "A", "10.53.4.1"))
    elif act in CNAMES:
        owner, target = CNAMES[act]
        reply.answer.append(rrset(owner or name, "CNAME", target))
        if act == "cname-out" and rdtype != dns.rdatatype.CNAME:
            reply.answer.append(rrset("victim2.glue.test.", "A", POISON))
    elif act in ACTS and rdtype == dns.rdatatype.A:
        reply.answer.append(rrset(name, "A", GOOD))
    if act == "out-of-zone":
        reply.answer.append(rrset("victim.glue.test.", "A", POISON))
        reply.authority.append(rrset("glue.test.", "NS", str(ATTACKER_NAME)))
        reply.additional.append(rrset(ATTACKER_NAME, "A", ATTACKER_ADDRESS))
    if not reply.answer:
        known = act in ACTS or name in (ZONE, NS_NAME)
        reply.set_rcode(dns.rcode.NOERROR if known else dns.rcode.NXDOMAIN)
        reply.authority.append(rrset(ZONE, "SOA", SOA))
    return reply


def referral(query, zone):
    reply = response(query, aa=False)
    reply.authority.append(rrset(zone, "NS", str(ATTACKER_NAME)))
    reply.additional.append(rrset(ATTACKER_NAME, "A", ATTACKER_ADDRESS))
    return reply


def poisoned(query, qid=None, name=None):
    """A reply carrying 192.0.2.66, for the query or (name given) for another question."""
    asked = query.question[0].name if name is None else dns.name.from_text(name)
    reply = response(dns.message.make_query(asked, "A", id=query.id if qid is None else qid))
    reply.flags &= ~dns.flags.RD
    reply.answer.append(rrset(asked, "A", POISON))
    return reply


def fake_plan(query, tcp):
    """The messages to send, in order, as (from the other port?, message or raw bytes)."""
    act = act_of(query.question[0].name)
    if act == "silent":
        return []
    if act == "garbage":
        return [(False, struct.pack("!H", query.id) + random.randbytes(30)), (False, b"\x00\x01\x02")]
    right = (False, honest(query))
    if tcp:
        return [right]
    if act == "wrong-id":
        return [(False, poisoned(query, qid=query.id ^ 0x5A5A)), right]
    if act == "other-port":
        return [(True, poisoned(query)), right]
    if act == "other-question":
        return [(False, poisoned(query, name="poison.fake.test.")), right]
    if act == "tc":
        reply = response(query)
        reply.flags |= dns.flags.TC
        return [(False, reply)]
    if act == "not-auth":
        right[1].flags &= ~dns.flags.AA
    if act in ("up-referral", "root-referral"):
        return [(False, referral(query, "test." if act == "up-referral" else "."))]
    return [right]


def attacker_plan(query, tcp):
    reply = response(query)
    question = query.question[0]
    if question.rdtype == dns.rdatatype.A:
        reply.answer.append(rrset(question.name, "A", POISON))
    return [(False, reply)]


class Server:
    def __init__(self, address, plan):
        self.plan = plan
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((address, 53))
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other.bind((address, 0))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((address, 53))
        self.tcp.listen(64)

    def serve(self):
        if self.plan is None:  # silent: the kernel completes TCP handshakes, nobody ever reads
            threading.Event().wait()
        threading.Thread(target=self.serve_tcp, daemon=True).start()
        while True:
            data, peer = self.udp.recvfrom(65535)
            for from_other, payload in self.respond(data, tcp=False):
                (self.other if from_other else self.udp).sendto(payload, peer)

    def serve_tcp(self):
        while True:
            conn, _ = self.tcp.accept()
            threading.Thread(target=self.serve_connection, args=(conn,), daemon=True).start()

    def serve_connection(self, conn):
        with conn:
            conn.settimeout(30)
            try:
                while (head := recv_exact(conn, 2)) is not None:
                    data = recv_exact(conn, struct.unpack("!H", head)[0])
                    if data is None:
                        return
                    for _, payload in self.respond(data, tcp=True):
                        conn.sendall(struct.pack("!H", len(payload)) + payload)
            except OSError:
                pass

    def respond(self, data, tcp):
        try:
            query = dns.message.from_wire(data)
        except Exception:  # noqa: BLE001 - whatever does not parse gets no reply
            return []
        if query.flags & dns.flags.QR or len(query.question) != 1:
            return []
        question = query.question[0]
        plan = [(other, item if isinstance(item, bytes) else render(item)) for other, item in self.plan(query, tcp)]
        print(f"{'tcp' if tcp else 'udp'} {question.name} {dns.rdatatype.to_text(question.rdtype)}: "
              f"{len(plan)} message(s)", flush=True)
        return plan


def recv_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--mode", choices=("fake", "attacker", "silent"), default="fake")
    parser.add_argument("--pidfile")
    args = parser.parse_args()
    plans = {"fake": fake_plan, "attacker": attacker_plan, "silent": None}
    server = Server(args.address, plans[args.mode])
    if args.pidfile:
        with open(args.pidfile, "w") as f:
            f.write(f"{os.getpid()}\n")
    print(f"{args.mode} server on {args.address}:53", flush=True)
    try:
        server.serve()
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
