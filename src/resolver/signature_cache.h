// Signature checks that succeeded, remembered so that the very same RRSIG over the very same RRset with
// the very same key is not checked again until the signature expires: a zone's SOA and NSEC records
// come back with every negative answer from it. Entries are SHA-256 digests of key, signed data and
// signature (dnssec::verificationDigest), so only identical bytes hit. Bounded; the oldest go first.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace recursor {

class SignatureCache {
public:
    using Digest = std::array<std::uint8_t, 32>;

    explicit SignatureCache(std::size_t capacity);

    // Whether a check with this digest succeeded and its signature is still valid at `now_unix`.
    bool contains(const Digest& digest, std::int64_t now_unix) const;
    // Remembers a successful check until `expires_unix` (wall clock, as signatures count time).
    void insert(const Digest& digest, std::int64_t expires_unix);

private:
    struct DigestHash {
        std::size_t operator()(const Digest& d) const; // the digest is uniform: its first bytes will do
    };

    std::size_t capacity_;
    std::unordered_map<Digest, std::int64_t, DigestHash> expiry_;
    std::deque<Digest> order_; // oldest first
    mutable std::mutex lock_;
};

} // namespace recursor
