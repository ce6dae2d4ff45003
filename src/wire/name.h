// A domain name in uncompressed wire form (RFC 1035 §3.1), held by value.
// Case is preserved as received; comparison and hashing fold ASCII letters only.
#pragma once

#include "base/siphash.h"
#include "wire/wire_error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace recursor {

class DnsName {
public:
    static constexpr std::size_t max_len = 255;

    struct Decoded;

    // The empty name (len 0): no name at all.
    DnsName() = default;

    static DnsName root();

    // Decodes the possibly compressed name at `offset`. Pointers must go strictly backwards and
    // not below `min_offset`; at most 16 per name.
    static WireResult<Decoded> fromPacket(
        std::span<const std::uint8_t> packet, std::size_t offset, std::size_t min_offset);

    // Builds a name from uncompressed wire bytes; rejects anything that is not one well-formed name.
    static WireResult<DnsName> fromWire(std::span<const std::uint8_t> wire);

    // Parses presentation text such as "www.example.com." or "example.com" (always absolute).
    // Supports \DDD and \X escapes. Returns NameTooLong, LabelTooLong or InvalidLabelType (empty label).
    static WireResult<DnsName> fromText(std::string_view text);

    std::span<const std::uint8_t> wireBytes() const { return { storage.data(), len }; }
    bool isEmpty() const { return len == 0; }
    bool isRoot() const { return len == 1 && storage[0] == 0; }
    bool eql(const DnsName& other) const;
    // SipHash-2-4 of the lower-cased wire bytes under the process's random key: names a client chooses
    // cannot be made to collide in the hash maps without that key.
    std::uint64_t hash() const { return hashWithKey(processSipHashKey()); }
    // The same under `key`.
    std::uint64_t hashWithKey(const SipHashKey& key) const;
    bool isPartOf(const DnsName& parent) const;
    bool chopOff();
    void makeLowerCase();
    // Number of labels, not counting the root.
    std::size_t labelCount() const;
    // Presentation form with a trailing dot ("." for the root, "" for the empty name).
    std::string toText() const;

    bool operator==(const DnsName& other) const { return eql(other); }

    std::array<std::uint8_t, max_len> storage {};
    std::uint8_t len { 0 };
};

struct DnsName::Decoded {
    std::size_t consumed;
    DnsName name;
};

constexpr std::uint8_t dnsToLower(std::uint8_t c)
{
    return (c >= 0x41 && c <= 0x5A) ? (c | 0x20) : c;
}

} // namespace recursor
