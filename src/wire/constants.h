// Code enumerations of the DNS wire format (RFC 1035 §3.2, IANA DNS parameters).
// QType and QClass are open 16-bit codes: unnamed values read from a packet are carried unchanged.
#pragma once

#include <cstdint>

namespace recursor {

enum class QType : std::uint16_t {
    ent = 0, // the program's own code for an empty non-terminal
    a = 1,
    ns = 2,
    cname = 5,
    soa = 6,
    mb = 7,
    mg = 8,
    mr = 9,
    ptr = 12,
    hinfo = 13,
    minfo = 14,
    mx = 15,
    txt = 16,
    rp = 17,
    afsdb = 18,
    sig = 24,
    key = 25,
    aaaa = 28,
    loc = 29,
    srv = 33,
    naptr = 35,
    kx = 36,
    cert = 37,
    a6 = 38,
    dname = 39,
    opt = 41,
    apl = 42,
    ds = 43,
    sshfp = 44,
    ipseckey = 45,
    rrsig = 46,
    nsec = 47,
    dnskey = 48,
    dhcid = 49,
    nsec3 = 50,
    nsec3param = 51,
    tlsa = 52,
    smimea = 53,
    rkey = 57,
    cds = 59,
    cdnskey = 60,
    openpgpkey = 61,
    csync = 62,
    zonemd = 63,
    svcb = 64,
    https = 65,
    spf = 99,
    nid = 104,
    l32 = 105,
    l64 = 106,
    lp = 107,
    eui48 = 108,
    eui64 = 109,
    tkey = 249,
    tsig = 250,
    ixfr = 251,
    axfr = 252,
    mailb = 253,
    maila = 254,
    any = 255,
    uri = 256,
    caa = 257,
    dlv = 32769,
    // Private-use codes (RFC 6895 §3.1) the program gives its own meaning.
    addr = 65400,
    alias = 65401,
    lua = 65402,
};

enum class QClass : std::uint16_t { in = 1, chaos = 3, none = 254, any = 255 };

// Header RCODE: the low 4 bits of byte 3, so 11-15 occur unnamed.
enum class RCode : std::uint8_t {
    no_error = 0,
    form_err = 1,
    serv_fail = 2,
    nx_domain = 3,
    not_imp = 4,
    refused = 5,
    yx_domain = 6,
    yx_rrset = 7,
    nx_rrset = 8,
    not_auth = 9,
    not_zone = 10,
};

enum class Section : std::uint8_t { question = 0, answer = 1, authority = 2, additional = 3 };

constexpr std::uint16_t toU16(QType t)
{
    return static_cast<std::uint16_t>(t);
}
constexpr std::uint16_t toU16(QClass c)
{
    return static_cast<std::uint16_t>(c);
}

} // namespace recursor
