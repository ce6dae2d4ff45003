// Code enumerations of the DNS wire format (RFC 1035 §3.2, IANA DNS parameters).
// QType and QClass are open 16-bit codes: unnamed values read from a packet are carried unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

// DNSSEC algorithm numbers (IANA "DNS Security Algorithm Numbers").
enum class DnssecAlgorithm : std::uint8_t {
    delete_ = 0, // "delete" (RFC 8078) is a C++ keyword
    rsamd5 = 1,
    dh = 2,
    dsa = 3,
    rsasha1 = 5,
    dsa_nsec3_sha1 = 6,
    rsasha1_nsec3_sha1 = 7,
    rsasha256 = 8,
    rsasha512 = 10,
    ecc_gost = 12,
    ecdsap256sha256 = 13,
    ecdsap384sha384 = 14,
    ed25519 = 15,
    ed448 = 16,
    indirect = 252,
    privatedns = 253,
    privateoid = 254,
};

// The algorithms whose signatures are checked: RSA/SHA-2 (RFC 5702), ECDSA (RFC 6605), Ed25519 (RFC 8080).
constexpr bool isSupported(DnssecAlgorithm alg)
{
    switch (alg) {
    case DnssecAlgorithm::rsasha256:
    case DnssecAlgorithm::rsasha512:
    case DnssecAlgorithm::ecdsap256sha256:
    case DnssecAlgorithm::ecdsap384sha384:
    case DnssecAlgorithm::ed25519:
        return true;
    default: // an open byte: every other value, named or not
        return false;
    }
}

// DS digest types (RFC 4034 §5.1.3, RFC 4509, RFC 5933, RFC 6605).
enum class DigestType : std::uint8_t { sha1 = 1, sha256 = 2, gost = 3, sha384 = 4 };

// The digest length of a DS digest type; nothing for types without a known length.
constexpr std::optional<std::size_t> digestLength(std::uint8_t digest_type)
{
    switch (digest_type) {
    case static_cast<std::uint8_t>(DigestType::sha1):
        return 20;
    case static_cast<std::uint8_t>(DigestType::sha256):
    case static_cast<std::uint8_t>(DigestType::gost):
        return 32;
    case static_cast<std::uint8_t>(DigestType::sha384):
        return 48;
    default:
        return std::nullopt;
    }
}

} // namespace recursor
