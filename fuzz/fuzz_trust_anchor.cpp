// Reads arbitrary bytes as a trust anchor file (DNSKEY and DS lines for ".", as root.key and root.ds).
// Every anchor kept must be one the validator can use; CRLF line ends must not change what is read; the
// anchors written out as master-file lines again must read back as the same anchors, in the same order;
// a clone must equal its original.
#include "dnssec/trust_anchor.h"
#include "fuzz_text.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using recursor::dnssec::TrustAnchorStore;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_trust_anchor: %s\n", what);
    std::abort();
}

std::string base64(std::span<const std::uint8_t> bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    for (const std::uint8_t b : bytes) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", b);
        out += text;
    }
    return out;
}

// The anchors as master-file lines; equal stores give equal text.
std::string anchorText(const TrustAnchorStore& store)
{
    std::string out;
    for (const auto& owned : store.rootKeys()) {
        const auto key = owned.view();
        out += ". 172800 IN DNSKEY " + std::to_string(key.flags) + " " + std::to_string(key.protocol) + " "
            + std::to_string(key.algorithm) + " " + base64(key.public_key) + "\n";
    }
    for (const auto& ds : store.rootDs()) {
        out += ". IN 86400 DS " + std::to_string(ds.keytag) + " " + std::to_string(ds.algorithm) + " "
            + std::to_string(ds.digest_type) + " " + hex(ds.digest) + "\n";
    }
    return out;
}

std::string outcome(const std::expected<TrustAnchorStore, recursor::dnssec::TrustAnchorError>& parsed)
{
    return parsed ? anchorText(*parsed) : "error." + std::string(recursor::dnssec::errorName(parsed.error()));
}

void expectUsable(const TrustAnchorStore& store)
{
    for (const auto& owned : store.rootKeys()) {
        const auto key = owned.view();
        // RFC 4034 §2.1.1-2: a zone key of protocol 3; RFC 5011 §2.1: not revoked.
        if (key.protocol != 3 || (key.flags & 0x0100) == 0 || (key.flags & 0x0080) != 0
            || key.public_key.empty())
            fail("a key the validator cannot use was kept");
    }
    for (const auto& ds : store.rootDs()) {
        if (ds.digest.empty())
            fail("a DS without a digest was kept");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = TrustAnchorStore::parse(text);
    const std::string read = outcome(parsed);
    if (read != outcome(TrustAnchorStore::parse(recursor::fuzz::withCrlf(text))))
        fail("CRLF line ends change the anchors");
    if (!parsed)
        return 0;
    expectUsable(*parsed);
    if (outcome(TrustAnchorStore::parse(read)) != read)
        fail("the anchors written out read back as other anchors");
    const auto copy = parsed->clone();
    if (!copy || anchorText(*copy) != read)
        fail("a clone differs from its original");
    return 0;
}
