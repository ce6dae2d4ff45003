#include "dnssec/nsec3.h"

#include "dnssec/canonical.h"
#include "dnssec/openssl_util.h"

namespace recursor::dnssec {

namespace {

    constexpr std::string_view base32hex_alphabet = "0123456789abcdefghijklmnopqrstuv";

    std::optional<std::uint8_t> base32hexValue(char c)
    {
        const char lower = static_cast<char>(dnsToLower(static_cast<std::uint8_t>(c)));
        const std::size_t pos = base32hex_alphabet.find(lower);
        if (pos == std::string_view::npos)
            return std::nullopt;
        return static_cast<std::uint8_t>(pos);
    }

    bool sha1Of(EVP_MD_CTX* ctx, std::span<const std::uint8_t> data, std::span<const std::uint8_t> salt,
        Nsec3Digest& out)
    {
        return EVP_DigestInit_ex2(ctx, EVP_sha1(), nullptr) == 1
            && EVP_DigestUpdate(ctx, data.data(), data.size()) == 1
            && EVP_DigestUpdate(ctx, salt.data(), salt.size()) == 1
            && EVP_DigestFinal_ex(ctx, out.data(), nullptr) == 1;
    }

} // namespace

std::optional<Nsec3Digest> nsec3Hash(
    const DnsName& name, std::span<const std::uint8_t> salt, std::uint16_t iterations)
{
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    Nsec3Digest digest {};
    if (!ctx || !sha1Of(ctx.get(), canonicalName(name).wireBytes(), salt, digest))
        return std::nullopt;
    for (std::uint16_t i = 0; i < iterations; ++i) {
        const Nsec3Digest previous = digest;
        if (!sha1Of(ctx.get(), previous, salt, digest))
            return std::nullopt;
    }
    return digest;
}

std::optional<std::vector<std::uint8_t>> base32hexDecode(std::string_view text)
{
    // Each character carries 5 bits; 1, 3 or 6 characters left over cannot end a whole byte.
    const std::size_t tail = text.size() % 8;
    if (tail == 1 || tail == 3 || tail == 6)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 5 / 8);
    std::uint32_t bits = 0;
    std::size_t bit_count = 0;
    for (const char c : text) {
        const auto value = base32hexValue(c);
        if (!value)
            return std::nullopt;
        bits = (bits << 5) | *value;
        bit_count += 5;
        if (bit_count >= 8) {
            bit_count -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> bit_count));
            bits &= (1u << bit_count) - 1;
        }
    }
    if (bits != 0) // RFC 4648 §3.5: the pad bits are zero
        return std::nullopt;
    return out;
}

std::string base32hexEncode(std::span<const std::uint8_t> bytes)
{
    std::string out;
    std::uint32_t bits = 0;
    std::size_t bit_count = 0;
    for (const std::uint8_t b : bytes) {
        bits = (bits << 8) | b;
        bit_count += 8;
        while (bit_count >= 5) {
            bit_count -= 5;
            out.push_back(base32hex_alphabet[(bits >> bit_count) & 0x1F]);
        }
        bits &= (1u << bit_count) - 1;
    }
    if (bit_count > 0)
        out.push_back(base32hex_alphabet[(bits << (5 - bit_count)) & 0x1F]);
    return out;
}

} // namespace recursor::dnssec
