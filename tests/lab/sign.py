#!/usr/bin/python3
"""Signs the lab's DNSSEC zones; scripts/lab.sh up runs it, so the signatures are always fresh.

Usage: sign.py STATE_DIR
STATE_DIR/zones holds copies of tests/lab/zones; the zones of PLANS are replaced there by their signed
form (one record per line). Keys and work files go to STATE_DIR/sign. The root's trust anchor is written
as STATE_DIR/root.key (its KSK's DNSKEY) and STATE_DIR/root.ds (that key's DS, SHA-256), in the form of
Debian's /usr/share/dns/root.key and root.ds.

Zones are signed deepest first, so each parent is signed with its signed children's DS records. The bad
zones are damaged after signing; each plan says how. Everything here is throw-away test data.
"""

import base64
import concurrent.futures
import dataclasses
import os
import pathlib
import random
import subprocess
import sys
import time

import dns.dnssec
import dns.name
import dns.rdata
import dns.rdataclass
import dns.rdatatype

P256, P384, RSA256, RSA512, ED25519, ED448 = (
    "ECDSAP256SHA256", "ECDSAP384SHA384", "RSASHA256", "RSASHA512", "ED25519", "ED448",
)
DAY = 86400
KEYTRAP_KEYS = 48  # made-up DNSKEYs sharing the ZSK's tag
KEYTRAP_SIGNATURES = 48  # garbage RRSIGs on www A


@dataclasses.dataclass(frozen=True)
class Plan:
    zone: str
    algorithm: str
    bits: int = 0  # RSA modulus size; 0 for the curves
    separate_zsk: bool = False  # a KSK for DNSKEY and a ZSK for the rest; otherwise one key signs all
    nsec3: bool = False
    optout: bool = False
    ds: str = "published"  # "published": of the zone's key; "unpublished": of a key the zone lacks; "removed"
    expired: bool = False
    damage: str = ""  # "corrupt", "strip" (www A RRSIG and the NSEC at *.w) or "keytrap"


PLANS = [
    Plan(".", RSA256, bits=2048, separate_zsk=True),
    Plan("sec.", P256),
    Plan("alg8.sec.", RSA256, bits=2048),
    Plan("alg10.sec.", RSA512, bits=2048),
    Plan("alg13.sec.", P256),
    Plan("alg14.sec.", P384),
    Plan("alg15.sec.", ED25519),
    Plan("ed448.sec.", ED448),
    Plan("wild.sec.", P256),
    Plan("types.sec.", P256),
    Plan("n3.sec.", P256, nsec3=True),
    Plan("optout.sec.", P256, nsec3=True, optout=True),
    Plan("sub.deep.sec.", P256),
    Plan("badds.sec.", P256, ds="unpublished"),
    Plan("corrupt.sec.", P256, damage="corrupt"),
    Plan("expired.sec.", P256, expired=True),
    Plan("stripped.sec.", P256, damage="strip"),
    Plan("nods.sec.", P256, ds="removed"),
    Plan("keytrap.sec.", RSA256, bits=1024, separate_zsk=True, damage="keytrap"),
]


def zone_file(zone):
    return "root.zone" if zone == "." else zone.rstrip(".") + ".zone"


def run(argv, cwd):
    result = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed:\n{result.stderr}")
    return result.stdout


def keygen(plan, workdir, ksk):
    argv = ["dnssec-keygen", "-q", "-K", str(workdir), "-a", plan.algorithm, "-n", "ZONE", "-L", "3600"]
    argv += ["-b", str(plan.bits)] if plan.bits else []
    argv += ["-f", "KSK"] if ksk else []
    return workdir / run(argv + [plan.zone], workdir).strip()  # the key's base name, e.g. Ksec.+013+12345


def dnskey_line(key):
    """The key's record from its .key file, on one line, the key in one piece: "OWNER TTL IN DNSKEY ..."."""
    text = pathlib.Path(str(key) + ".key").read_text()
    fields = next(l for l in text.splitlines() if not l.startswith(";")).split()
    return " ".join(fields[:7] + ["".join(fields[7:])])


def ds_line(key):
    return " ".join(run(["dnssec-dsfromkey", "-2", str(key) + ".key"], key.parent).split())


def parent_of(zone, signed):
    name = dns.name.from_text(zone)
    while name != dns.name.root:
        name = name.parent()
        if name.to_text() in signed:
            return name.to_text()
    return None


def timestamp(seconds):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(seconds))


def sign(plan, zones, workdir, extra_lines):
    """Signs zones/<file> in place; returns (DS line for the parent or None, KSK base name)."""
    ksk = keygen(plan, workdir, ksk=True)
    keys = [ksk] + ([keygen(plan, workdir, ksk=False)] if plan.separate_zsk else [])
    lines = [dnskey_line(key) for key in keys] + extra_lines
    if plan.damage == "keytrap":
        lines += colliding_keys(plan.zone, dnskey_line(keys[1]))
    path = zones / zone_file(plan.zone)
    unsigned = workdir / (zone_file(plan.zone) + ".unsigned")
    unsigned.write_text(path.read_text() + "\n; added by sign.py\n" + "".join(l + "\n" for l in lines))
    argv = ["dnssec-signzone", "-q", "-O", "full", "-K", str(workdir), "-d", str(workdir), "-o", plan.zone]
    argv += ["-f", str(path)]
    argv += ["-x"] if plan.separate_zsk else ["-z"]
    if plan.nsec3:
        argv += ["-3", "-", "-H", "0"] + (["-A"] if plan.optout else [])
    if plan.expired:
        now = int(time.time())
        argv += ["-P", "-s", timestamp(now - 30 * DAY), "-e", timestamp(now - 3 * DAY)]
    run(argv + [str(unsigned)] + [str(key) for key in keys], workdir)
    if plan.damage:
        damage(path, plan)
    if plan.ds == "unpublished":
        return ds_line(keygen(plan, workdir, ksk=True)), ksk
    return ds_line(ksk), ksk


# --- Damage done to signed zone files (one record per line, as written with -O full) -----------------


def is_rrsig_of(fields, owner, covered):
    return len(fields) > 5 and fields[0] == owner and fields[3] == "RRSIG" and fields[4] == covered


def damage(path, plan):
    owner = "www." + plan.zone
    lines = path.read_text().splitlines()
    out = []
    for line in lines:
        fields = line.split()
        if plan.damage == "strip" and fields[:1] == ["*.w." + plan.zone] and "NSEC" in fields[3:5]:
            continue  # the NSEC that proves wildcard answers below w, and its RRSIG
        if not is_rrsig_of(fields, owner, "A"):
            out.append(line)
        elif plan.damage == "corrupt":
            signature = bytearray(base64.b64decode("".join(fields[12:])))
            signature[10] ^= 0xFF
            signature[-10] ^= 0xFF
            out.append(" ".join(fields[:12] + [base64.b64encode(signature).decode()]))
        elif plan.damage == "keytrap":
            # fields: owner ttl IN RRSIG A algorithm labels original-ttl expiration inception tag signer signature
            size = len(base64.b64decode("".join(fields[12:])))
            for _ in range(KEYTRAP_SIGNATURES):
                garbage = base64.b64encode(random.randbytes(size)).decode()
                out.append(" ".join(fields[:12] + [garbage]))
        # "strip": the line is dropped
    path.write_text("\n".join(out) + "\n")


def key_tag_sum(rdata):
    """The unfolded sum of RFC 4034 Appendix B: the key tag is (sum + (sum >> 16)) & 0xFFFF."""
    return sum(byte if i & 1 else byte << 8 for i, byte in enumerate(rdata))


def colliding_keys(zone, zsk_line):
    """Made-up RSA DNSKEYs of the ZSK's flags, algorithm and key tag: random modulus bytes whose last two
    (one 16-bit word of the checksum, the RDATA length being even) are chosen so that the tag is the ZSK's.
    dnssec-signzone loads every DNSKEY of the zone, so they have to be well-formed keys."""
    zsk = dns.rdata.from_text(dns.rdataclass.IN, dns.rdatatype.DNSKEY, " ".join(zsk_line.split()[4:]))
    target = dns.dnssec.key_id(zsk)
    head = bytes([zsk.flags >> 8, zsk.flags & 0xFF, zsk.protocol, zsk.algorithm])
    keys = set()
    while len(keys) < KEYTRAP_KEYS:
        # RSA (RFC 3110): the ZSK's exponent, then a random modulus of its size.
        exponent = zsk.key[: 1 + zsk.key[0]]
        key = exponent + random.randbytes(len(zsk.key) - len(exponent) - 2)
        partial = key_tag_sum(head + key + b"\0\0")
        word = (target - partial - (partial >> 16)) % 0x10000
        wire = head + key + word.to_bytes(2, "big")
        rdata = dns.rdata.from_wire(dns.rdataclass.IN, dns.rdatatype.DNSKEY, wire, 0, len(wire))
        if dns.dnssec.key_id(rdata) == target and rdata.key != zsk.key:  # a carry can spoil the sum: try again
            keys.add(f"{zone} 3600 IN DNSKEY {rdata.to_text()}")
    return sorted(keys)


def remove_ds(path, owner):
    """Deletes owner's DS and its RRSIG from a signed file; the NSEC at owner still lists DS."""
    kept = [l for l in path.read_text().splitlines() if not (l.split()[:1] == [owner] and (
        l.split()[3:4] == ["DS"] or is_rrsig_of(l.split(), owner, "DS")))]
    path.write_text("\n".join(kept) + "\n")


def main():
    state = pathlib.Path(sys.argv[1])
    zones, workdir = state / "zones", state / "sign"
    workdir.mkdir(exist_ok=True)
    plans = {plan.zone: plan for plan in PLANS}
    ds_lines = {zone: [] for zone in plans}
    depth = lambda zone: len(dns.name.from_text(zone))
    removed = []
    root_ksk = None
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for level in sorted({depth(zone) for zone in plans}, reverse=True):
            batch = [plan for plan in PLANS if depth(plan.zone) == level]
            results = pool.map(lambda plan: sign(plan, zones, workdir, ds_lines[plan.zone]), batch)
            for plan, (ds, ksk) in zip(batch, list(results)):
                parent = parent_of(plan.zone, plans)
                if parent is None:
                    root_ksk = ksk
                    continue
                ds_lines[parent].append(ds)
                if plan.ds == "removed":
                    removed.append((parent, plan.zone))
    for parent, child in removed:
        remove_ds(zones / zone_file(parent), child)
    (state / "root.key").write_text(dnskey_line(root_ksk).replace(" 3600 IN ", " IN ") + "\n")
    (state / "root.ds").write_text(ds_line(root_ksk) + "\n")


if __name__ == "__main__":
    main()
