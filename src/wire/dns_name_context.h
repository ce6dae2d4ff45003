// Hash-map context for DnsName keys: case-insensitive equality and hash (keyed SipHash, DnsName::hash).
#pragma once

#include "wire/name.h"

namespace recursor {

struct DnsNameContext {
    std::uint64_t hash(const DnsName& key) const { return key.hash(); }
    bool eql(const DnsName& a, const DnsName& b) const { return a.eql(b); }

    // Adapters so the context plugs straight into std::unordered_map.
    std::size_t operator()(const DnsName& key) const { return static_cast<std::size_t>(hash(key)); }
    bool operator()(const DnsName& a, const DnsName& b) const { return eql(a, b); }
};

} // namespace recursor
