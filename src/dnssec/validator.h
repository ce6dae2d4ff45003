// RRSIG verification with one candidate key (RFC 4035 §5.3) for RSA/SHA-256, RSA/SHA-512 (RFC 5702),
// ECDSA P-256 and P-384 (RFC 6605) and Ed25519 (RFC 8080), and DS matching (RFC 4034 §5).
// Nothing here knows zones or trust: choosing candidate keys and signatures is the caller's work.
#pragma once

#include "dnssec/dnssec_error.h"
#include "wire/record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace recursor::dnssec {

// True when `rrsig` verifies over `records` (one RRset, any order and TTL) with `public_key` (the DNSKEY
// key field) at `now_unix`, false when the cryptographic check says it does not. Errors, in the order
// checked: AlgorithmNotSupported; SignatureNotYetValid, SignatureExpired (RFC 4034 §3.1.5: inception,
// expiration and `now` modulo 2^32 compared in serial number arithmetic, RFC 1982, so a window may span
// the wrap; both ends are inside the window; an expiration not at or after the inception in serial
// order, 2^31 apart included, is SignatureExpired at any time); MixedNames, MixedTypes, MixedClasses;
// InvalidRRSIG (also a labels field above the owner's label count); InvalidPublicKey, KeyTooLarge (RSA,
// rsa.h), InvalidSignature; OpenSSLError; OutOfMemory. Only OutOfMemory means something other than
// "this key does not verify this signature".
// type_covered, keytag, signer_name and original_ttl only go into the signed data.
DnssecResult<bool> verifyRRSIG(const rdata::dnssec::RRSIG& rrsig, std::span<const std::uint8_t> public_key,
    std::span<const DnsRecord> records, std::int64_t now_unix);
// The same check over the signed data already built (signedData), for a caller that tries several keys
// or remembers checks: the RRset errors cannot occur, the others are checked in the same order.
DnssecResult<bool> verifySignedData(const rdata::dnssec::RRSIG& rrsig,
    std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> signed_data,
    std::int64_t now_unix);

// The RRSIG RDATA without its signature (RFC 4034 §3.1.8.1), signer name lower-cased.
DnssecResult<std::vector<std::uint8_t>> serializeRRSIG(const rdata::dnssec::RRSIG& rrsig);

// SHA-256 of the key, the signed data and the signature: what one check is about, so that a check that
// succeeded can be recognised when the very same bytes come again. Nothing when libcrypto fails.
std::optional<std::array<std::uint8_t, 32>> verificationDigest(std::span<const std::uint8_t> public_key,
    std::span<const std::uint8_t> signed_data, std::span<const std::uint8_t> signature);

// The whole data `rrsig` signs over `records` (rrsetDigest collected).
DnssecResult<std::vector<std::uint8_t>> signedData(
    const rdata::dnssec::RRSIG& rrsig, std::span<const DnsRecord> records);

// The DS digest (RFC 4034 §5.1.4, RFC 4509, RFC 6605) of a DNSKEY at `owner`: SHA-1, SHA-256 or SHA-384
// for digest types 1, 2 and 4; nothing for any other type or a key longer than 1020 bytes.
std::optional<std::vector<std::uint8_t>> computeDNSKEYDigest(std::uint16_t flags, std::uint8_t protocol,
    std::uint8_t algorithm, std::span<const std::uint8_t> public_key, const DnsName& owner,
    std::uint8_t digest_type);

// Whether `ds` names `key` at `owner`: key tag, algorithm, digest length of the type, digest bytes.
bool validateDS(const rdata::dnssec::DS& ds, const rdata::dnssec::DNSKEY& key, const DnsName& owner);

// The DS records a validator may follow: a supported algorithm and a digest type it computes (SHA-1,
// SHA-256, SHA-384). A SHA-1 digest is left out for a key (tag and algorithm) that also has a SHA-256
// or SHA-384 one, so that a downgrade to the weaker digest gains nothing (RFC 4509 §3).
std::vector<rdata::dnssec::DS> usableDsRecords(std::span<const rdata::dnssec::DS> ds_set);

// DNSKEY flags and protocol (RFC 4034 §2.1.1, §2.1.2, RFC 5011 §2.1).
inline constexpr std::uint16_t dnskey_flag_zone = 0x0100;
inline constexpr std::uint16_t dnskey_flag_revoke = 0x0080;
inline constexpr std::uint8_t dnskey_protocol = 3;

// Whether `key` may verify signatures of its zone: the Zone Key flag set, the REVOKE flag clear and
// protocol 3. Other flags (SEP included) do not matter.
bool isUsableZoneKey(const rdata::dnssec::DNSKEY& key);

} // namespace recursor::dnssec
