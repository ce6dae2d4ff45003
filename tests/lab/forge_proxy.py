#!/usr/bin/python3
"""A forging proxy for the lab: an attacker on the path between the resolver and the signed zones' servers.

    forge_proxy.py --scenario NAME --listen ADDR --upstream ADDR [--listen ADDR --upstream ADDR ...]

Each --listen address is paired, in order, with the --upstream address at the same place: the proxy
answers UDP on LISTEN:53 and forwards each query, unchanged, to UPSTREAM:53 from LISTEN (an ephemeral
port), so that the server the query was meant for answers it. A reply the scenario names is rewritten
(records moved, stripped, renamed or retyped with dnspython; the lab's real records and signatures only,
nothing is signed here); every other reply passes byte for byte. TCP is not handled: a resolver that
falls back to TCP gets honest data.

Putting it in the path (as root in the lab's namespace, what tests/e2e/dnssec_test.py's ForgeryTest does):
one address per upstream on lo, and one DNAT rule per upstream that leaves the proxy's own traffic alone;
conntrack un-NATs the replies, so the resolver sees them come from the real server's address:

    ip addr add 10.53.9.1/32 dev lo; ip addr add 10.53.9.2/32 dev lo
    forge_proxy.py --scenario big-ttl --listen 10.53.9.1 --upstream 10.53.7.1 \\
                                      --listen 10.53.9.2 --upstream 10.53.8.1 &
    iptables -t nat -A OUTPUT -p udp -d 10.53.7.1 --dport 53 ! -s 10.53.9.0/24 -j DNAT --to-destination 10.53.9.1:53
    iptables -t nat -A OUTPUT -p udp -d 10.53.8.1 --dport 53 ! -s 10.53.9.0/24 -j DNAT --to-destination 10.53.9.2:53

Scenarios (question of the reply rewritten, from sec.'s server 10.53.7.1 for DS questions and from the
signed zones' server 10.53.8.1 for the others: what the resolver gets instead):

  nsec3-iterations  alg8.sec. DS: NOERROR/NODATA with sec.'s signed SOA and one unsigned NSEC3 of 151
                    iterations at the hash of alg8.sec. (type NS only); www.alg8.sec. A: 6.6.6.6, no RRSIG
  moved-nsec        www.wild.sec. A: the *.wild.sec. A RRset and its RRSIG renamed to www.wild.sec. (a
                    wildcard expansion), with the real *.wild.sec. NSEC and its RRSIG moved to wwv.wild.sec.
  forged-nxdomain   www.alg13.sec. A: NXDOMAIN, alg13.sec.'s signed SOA at TTL 2147483647, no NSEC
  stripped-denial   nx.alg13.sec. A: the real NXDOMAIN without its NSEC records and their RRSIGs
  other-type        www.alg10.sec. A: NOERROR whose answer is only the signed AAAA RRset of www.alg10.sec.
  big-ttl           www.alg14.sec. A: the real answer, the A RRset's TTL set to 2147483647 (RRSIG untouched)
  unsigned-nodata   www.alg13.sec. TXT: the real NODATA without the RRSIG of its NSEC
  pass              nothing rewritten (checks the plumbing)

Each reply is logged on stdout: "forged NAME TYPE from SERVER for CLIENT" when rewritten, "passed ..."
otherwise, and "could not forge ..." when a record the forgery needs was not there (the reply passes).
"""

import argparse
import os
import socket
import sys
import threading

import dns.dnssec
import dns.flags
import dns.message
import dns.name
import dns.query
import dns.rcode
import dns.rdatatype
import dns.rrset

HUGE_TTL = 2147483647
UPSTREAM_TIMEOUT = 3.0
A, AAAA, DS, NSEC, RRSIG, SOA, TXT = (dns.rdatatype.A, dns.rdatatype.AAAA, dns.rdatatype.DS, dns.rdatatype.NSEC,
                                      dns.rdatatype.RRSIG, dns.rdatatype.SOA, dns.rdatatype.TXT)


def name(text):
    return dns.name.from_text(text)


class Upstream:
    """The real server behind one listening address; extra records are fetched from it over TCP."""

    def __init__(self, listen, address):
        self.listen, self.address = listen, address

    def fetch(self, owner, rdtype):
        query = dns.message.make_query(owner, rdtype, want_dnssec=True, payload=4096)
        query.flags = 0
        return dns.query.tcp(query, self.address, timeout=UPSTREAM_TIMEOUT, source=self.listen)


def find(section, owner, rdtype, covers=dns.rdatatype.NONE):
    owner = name(owner) if isinstance(owner, str) else owner
    return next((r for r in section if r.name == owner and r.rdtype == rdtype and r.covers == covers), None)


def signed(section, owner, rdtype):
    """The RRset of owner/rdtype and the RRSIG RRset covering it, from a section (either may be None)."""
    return find(section, owner, rdtype), find(section, owner, RRSIG, rdtype)


def renamed(rrset, owner, ttl=None):
    """A copy of rrset at another owner name (and TTL), the records themselves untouched."""
    copy = dns.rrset.RRset(name(owner) if isinstance(owner, str) else owner, rrset.rdclass, rrset.rdtype, rrset.covers)
    copy.update(rrset)
    copy.ttl = rrset.ttl if ttl is None else ttl
    return copy


def emptied(reply, rcode=None):
    """The reply with its sections cleared (question, ID, flags and EDNS kept)."""
    reply.answer, reply.authority, reply.additional = [], [], []
    if rcode is not None:
        reply.set_rcode(rcode)
    return reply


def need(*rrsets):
    """The RRsets as a list; LookupError (the reply then passes unchanged) when one is missing."""
    if any(r is None for r in rrsets):
        raise LookupError("a record the forgery is made of is missing")
    return list(rrsets)


# --- The rewrites: rewrite(reply from the server, its Upstream) -> the reply to send instead --------------


def nsec3_nodata_ds(reply, upstream):
    """alg8.sec. DS: NODATA claimed by one unsigned NSEC3 of 151 iterations next to sec.'s signed SOA."""
    soa = need(*signed(upstream.fetch("sec.", "SOA").answer, "sec.", SOA))
    owner_hash = dns.dnssec.nsec3_hash("alg8.sec.", salt=None, iterations=151, algorithm=1)
    next_hash = dns.dnssec.nsec3_hash("zzz.alg8.sec.", salt=None, iterations=151, algorithm=1)
    nsec3 = dns.rrset.from_text(f"{owner_hash.lower()}.sec.", 3600, "IN", "NSEC3", f"1 0 151 - {next_hash} NS")
    emptied(reply, dns.rcode.NOERROR).authority = [*soa, nsec3]
    return reply


def unsigned_address(reply, upstream):
    """www.alg8.sec. A: 6.6.6.6 and no signature."""
    owner = reply.question[0].name
    emptied(reply).answer = [dns.rrset.from_text(owner, 3600, "IN", "A", "6.6.6.6")]
    return reply


def moved_nsec(reply, upstream):
    """www.wild.sec. A: the wildcard's signed A renamed to www, its NSEC (and RRSIG) moved to wwv."""
    wildcard = name("*.wild.sec.")
    address = need(*signed(upstream.fetch(wildcard, "A").answer, wildcard, A))
    nsec = need(*signed(upstream.fetch(wildcard, "NSEC").answer, wildcard, NSEC))
    emptied(reply, dns.rcode.NOERROR)
    reply.answer = [renamed(r, reply.question[0].name) for r in address]
    reply.authority = [renamed(r, "wwv.wild.sec.") for r in nsec]
    return reply


def forged_nxdomain(reply, upstream):
    """www.alg13.sec. A: NXDOMAIN with the zone's real signed SOA at TTL 2^31-1, and no NSEC."""
    soa = need(*signed(upstream.fetch("alg13.sec.", "SOA").answer, "alg13.sec.", SOA))
    emptied(reply, dns.rcode.NXDOMAIN).authority = [renamed(r, r.name, ttl=HUGE_TTL) for r in soa]
    return reply


def stripped_denial(reply, upstream):
    """nx.alg13.sec. A: the real NXDOMAIN, its NSEC records and their RRSIGs removed."""
    need(find(reply.authority, "alg13.sec.", SOA))
    reply.authority = [r for r in reply.authority if NSEC not in (r.rdtype, r.covers)]
    return reply


def other_type(reply, upstream):
    """www.alg10.sec. A: the answer is the name's signed AAAA RRset instead."""
    owner = reply.question[0].name
    aaaa = need(*signed(upstream.fetch(owner, "AAAA").answer, owner, AAAA))
    emptied(reply, dns.rcode.NOERROR).answer = aaaa
    return reply


def big_ttl(reply, upstream):
    """www.alg14.sec. A: the real answer with the A RRset's TTL at 2^31-1; its RRSIG (original TTL 3600) kept."""
    owner = reply.question[0].name
    [address] = need(find(reply.answer, owner, A))
    reply.answer = [renamed(r, r.name, ttl=HUGE_TTL) if r is address else r for r in reply.answer]
    return reply


def unsigned_nodata(reply, upstream):
    """www.alg13.sec. TXT: the real NODATA, the RRSIG over its NSEC removed."""
    need(find(reply.authority, reply.question[0].name, NSEC))
    reply.authority = [r for r in reply.authority if r.covers != NSEC]
    return reply


# The lab's servers whose replies get rewritten (tests/lab/hosts): only the reply of the server named is
# touched, so that a referral from sec. for the same question passes.
SEC, SIGNED = "10.53.7.1", "10.53.8.1"  # ns.nic.sec (sec.), ns1.sec (the signed zones below sec.)

# scenario -> {(question name, type, server): rewrite}
SCENARIOS = {
    "nsec3-iterations": {("alg8.sec.", DS, SEC): nsec3_nodata_ds, ("www.alg8.sec.", A, SIGNED): unsigned_address},
    "moved-nsec": {("www.wild.sec.", A, SIGNED): moved_nsec},
    "forged-nxdomain": {("www.alg13.sec.", A, SIGNED): forged_nxdomain},
    "stripped-denial": {("nx.alg13.sec.", A, SIGNED): stripped_denial},
    "other-type": {("www.alg10.sec.", A, SIGNED): other_type},
    "big-ttl": {("www.alg14.sec.", A, SIGNED): big_ttl},
    "unsigned-nodata": {("www.alg13.sec.", TXT, SIGNED): unsigned_nodata},
    "pass": {},
}


class Proxy:
    def __init__(self, scenario, pairs):
        self.rewrites = {(name(owner), rdtype, server): rewrite
                         for (owner, rdtype, server), rewrite in SCENARIOS[scenario].items()}
        self.sockets = []
        for listen, address in pairs:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind((listen, 53))
            self.sockets.append((sock, Upstream(listen, address)))

    def serve(self):
        for sock, upstream in self.sockets[1:]:
            threading.Thread(target=self.serve_socket, args=(sock, upstream), daemon=True).start()
        self.serve_socket(*self.sockets[0])

    def serve_socket(self, sock, upstream):
        while True:
            data, peer = sock.recvfrom(65535)
            threading.Thread(target=self.relay, args=(sock, upstream, data, peer), daemon=True).start()

    def relay(self, sock, upstream, data, peer):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
            out.bind((upstream.listen, 0))
            out.connect((upstream.address, 53))
            out.settimeout(UPSTREAM_TIMEOUT)
            try:
                out.send(data)
                reply = out.recv(65535)
            except OSError:
                return  # no reply from the server: none to the resolver either
        sock.sendto(self.rewrite(data, reply, upstream, peer), peer)

    def rewrite(self, query_wire, reply_wire, upstream, peer):
        try:
            reply = dns.message.from_wire(reply_wire)
            question = reply.question[0]
        except Exception:  # noqa: BLE001 - whatever does not parse is none of the scenario's business
            return reply_wire
        label = f"{question.name} {dns.rdatatype.to_text(question.rdtype)} from {upstream.address} for {peer[0]}:{peer[1]}"
        rewrite = self.rewrites.get((question.name, question.rdtype, upstream.address))
        if rewrite is None or reply.flags & dns.flags.TC:
            print(f"passed {label}", flush=True)
            return reply_wire
        try:
            forged = rewrite(reply, upstream).to_wire(max_size=65535)
        except Exception as error:  # noqa: BLE001 - a forgery that cannot be made: the honest reply goes
            print(f"could not forge {label}: {error!r}; passed", flush=True)
            return reply_wire
        print(f"forged {label}", flush=True)
        return forged


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    parser.add_argument("--listen", action="append", required=True, help="address to answer on (port 53)")
    parser.add_argument("--upstream", action="append", required=True, help="the real server of the --listen at the same place")
    parser.add_argument("--pidfile")
    args = parser.parse_args()
    if len(args.listen) != len(args.upstream):
        parser.error("give one --listen per --upstream, in the same order")
    proxy = Proxy(args.scenario, zip(args.listen, args.upstream))
    if args.pidfile:
        with open(args.pidfile, "w") as f:
            f.write(f"{os.getpid()}\n")
    pairs = ", ".join(f"{listen} -> {address}" for listen, address in zip(args.listen, args.upstream))
    print(f"forge proxy ({args.scenario}) on {pairs}", flush=True)
    try:
        proxy.serve()
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
