// The keys validation starts from: DNSKEY and DS records for the root zone (RFC 4033 §5), either the
// built-in root key-signing keys or those of an operator's file.
#pragma once

#include "base/error.h"
#include "base/read_file.h"
#include "wire/rdata/dnssec.h"

#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#define RECURSOR_TRUST_ANCHOR_ERRORS(X)                                                                      \
    X(MalformedAnchor)                                                                                       \
    X(NoUsableAnchor)                                                                                        \
    RECURSOR_FILE_ERRORS(X)

namespace recursor::dnssec {

class AnchorParser;
RECURSOR_DEFINE_ERROR_ENUM(TrustAnchorError, RECURSOR_TRUST_ANCHOR_ERRORS)

struct AnchorDs {
    std::uint16_t keytag { 0 };
    std::uint8_t algorithm { 0 };
    std::uint8_t digest_type { 0 };
    std::vector<std::uint8_t> digest;

    rdata::dnssec::DS view() const { return { keytag, algorithm, digest_type, digest }; }
};

class TrustAnchorStore {
public:
    // The root zone's key-signing keys: key tag 20326 (2017) and key tag 38696 (2024).
    static TrustAnchorStore builtIn();
    // The DNSKEY and DS records owned by "." in master-file text (RFC 1035 §5.1), as in root.key and
    // root.ds. Other owners and types are skipped, and so are keys and digests this validator cannot
    // use (revoked keys, unsupported algorithms and digest types); none left is NoUsableAnchor.
    static std::expected<TrustAnchorStore, TrustAnchorError> parse(std::string_view text);

    // An independent copy (keys own their bytes); none when memory runs out.
    std::optional<TrustAnchorStore> clone() const;

    std::span<const rdata::dnssec::OwnedDnskey> rootKeys() const { return keys_; }
    std::span<const AnchorDs> rootDs() const { return ds_; }

private:
    friend class AnchorParser;
    std::vector<rdata::dnssec::OwnedDnskey> keys_;
    std::vector<AnchorDs> ds_;
};

// TrustAnchorStore::parse of the file at `path` (at most `max_size` bytes), as root.key or root.ds; a
// file that cannot be read fails with its file error (RECURSOR_FILE_ERRORS).
[[nodiscard]] std::expected<TrustAnchorStore, TrustAnchorError> loadTrustAnchors(
    std::string_view path, std::size_t max_size);

} // namespace recursor::dnssec
