// RSA/SHA-256 and RSA/SHA-512 signatures (RFC 5702) with keys in the RFC 3110 layout.
#pragma once

#include "dnssec/dnssec_error.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace recursor::dnssec {

// Views into the key bytes.
struct RsaPublicKey {
    std::span<const std::uint8_t> exponent;
    std::span<const std::uint8_t> modulus;
};

// RFC 3110 §2: a length byte and the exponent, or a zero byte, a 16-bit length and the exponent; the
// modulus is the rest. A key under 3 bytes, an exponent past the end or no modulus is InvalidPublicKey.
DnssecResult<RsaPublicKey> parseDNSSECPublicKey(std::span<const std::uint8_t> public_key);

// The largest key used: a modulus of at most 4096 bits and an exponent of at most 8 bytes, leading zero
// bytes not counted. Larger keys are KeyTooLarge: no DNSSEC signer makes them, and a huge exponent makes
// each check cost milliseconds of a resolver thread.
inline constexpr std::size_t max_rsa_modulus_bits = 4096;
inline constexpr std::size_t max_rsa_exponent_bytes = 8;
DnssecResult<void> checkRsaKeySize(const RsaPublicKey& key);

enum class RsaHash : std::uint8_t { sha256, sha512 };

// PKCS #1 v1.5 over `signed_data` hashed with `hash`: true when it verifies, false when it does not;
// InvalidPublicKey, KeyTooLarge (checkRsaKeySize, before libcrypto sees the key), OpenSSLError,
// OutOfMemory.
DnssecResult<bool> verifyRSA(std::span<const std::uint8_t> public_key,
    std::span<const std::uint8_t> signed_data, std::span<const std::uint8_t> signature, RsaHash hash);

} // namespace recursor::dnssec
