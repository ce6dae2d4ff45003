// NSEC3 owner hashing (RFC 5155 §5) and the base32hex text of hashed owner labels (RFC 4648 §7).
#pragma once

#include "wire/name.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace recursor::dnssec {

using Nsec3Digest = std::array<std::uint8_t, 20>;

// IH(salt, x, k) of RFC 5155 §5 with SHA-1 over the lower-cased wire name: the hash of name and salt,
// then `iterations` more times over hash and salt. Any iteration count is computed; limiting it is
// policy. Nothing only when libcrypto fails.
std::optional<Nsec3Digest> nsec3Hash(
    const DnsName& name, std::span<const std::uint8_t> salt, std::uint16_t iterations);

// Base32 with the extended hex alphabet, without padding, as NSEC3 owner labels carry it. Letters of
// either case; a character outside the alphabet, an impossible length or non-zero trailing bits give
// nothing.
std::optional<std::vector<std::uint8_t>> base32hexDecode(std::string_view text);
// Lower-case letters, no padding.
std::string base32hexEncode(std::span<const std::uint8_t> bytes);

} // namespace recursor::dnssec
