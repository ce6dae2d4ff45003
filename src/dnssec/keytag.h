// DNSKEY key tags (RFC 4034 Appendix B).
#pragma once

#include "wire/rdata/dnssec.h"

#include <cstdint>
#include <span>

namespace recursor::dnssec {

// The key tag over the DNSKEY RDATA (flags, protocol, algorithm, key). Algorithm 1 gets no special
// case: it is never supported.
std::uint16_t computeKeytag(std::uint16_t flags, std::uint8_t protocol, std::uint8_t algorithm,
    std::span<const std::uint8_t> public_key);
std::uint16_t computeKeytag(const rdata::dnssec::DNSKEY& key);
std::uint16_t computeKeytag(const rdata::dnssec::OwnedDnskey& key);

} // namespace recursor::dnssec
