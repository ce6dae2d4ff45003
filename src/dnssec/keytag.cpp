#include "dnssec/keytag.h"

namespace recursor::dnssec {

std::uint16_t computeKeytag(std::uint16_t flags, std::uint8_t protocol, std::uint8_t algorithm,
    std::span<const std::uint8_t> public_key)
{
    std::uint32_t ac = flags + (static_cast<std::uint32_t>(protocol) << 8) + algorithm;
    for (std::size_t i = 0; i < public_key.size(); ++i)
        ac += (i % 2 == 0) ? static_cast<std::uint32_t>(public_key[i]) << 8 : public_key[i];
    ac += ac >> 16;
    return static_cast<std::uint16_t>(ac);
}

std::uint16_t computeKeytag(const rdata::dnssec::DNSKEY& key)
{
    return computeKeytag(key.flags, key.protocol, key.algorithm, key.public_key);
}

std::uint16_t computeKeytag(const rdata::dnssec::OwnedDnskey& key)
{
    return computeKeytag(key.view());
}

} // namespace recursor::dnssec
