// A fresh Ed25519 key-signing key (RFC 8080; flags 257, protocol 3) of one zone, so that tests can build
// a chain of trust of their own. Signatures run from a day ago to a week ahead of the wall clock.
#pragma once

#include "dnssec/openssl_util.h"
#include "wire/constants.h"

#include <span>
#include <string>
#include <vector>

namespace recursor::test {

class TestSigner {
public:
    explicit TestSigner(std::string_view zone); // "example." or "."

    std::vector<std::uint8_t> dnskey() const; // RDATA
    std::uint16_t keytag() const;
    std::vector<std::uint8_t> ds() const; // RDATA, SHA-256 digest
    std::string anchorLine() const; // the DS as a master-file line, for TrustAnchorStore::parse
    // RRSIG RDATA over the RRset of `rdatas` at `owner`/`type`, class IN, every record with `ttl`.
    std::vector<std::uint8_t> sign(std::string_view owner, QType type, std::uint32_t ttl,
        std::span<const std::vector<std::uint8_t>> rdatas) const;

private:
    std::string zone_;
    dnssec::EvpPkeyPtr key_;
    std::vector<std::uint8_t> public_key_;
};

} // namespace recursor::test
