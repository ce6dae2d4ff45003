#include "dnssec/trust_anchor.h"

#include "base/text.h"
#include "wire/constants.h"

#include <openssl/evp.h>

#include <charconv>
#include <optional>
#include <string>

namespace recursor::dnssec {

namespace {

    // As in Debian's dns-root-data root.key.
    constexpr std::string_view built_in_root_keys
        = ". IN DNSKEY 257 3 8 "
          "AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/4RgWOq7HrxRixHlFlExOLAJr5emLvN7S"
          "WXgnLh4+B5xQlNVz8Og8kvArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8efS3rCj/"
          "EWgvIWgb9tarpV"
          "UDK/b58Da+sqqls3eNbuv7pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLYA4/"
          "ilBmSVIzuDWfdRUfhHdY6+cn8HFRm+2hM8AnXG"
          "Xws9555KrUB5qihylGa8subX2Nn6UwNR1AkUTV74bU=\n"
          ". IN DNSKEY 257 3 8 "
          "AwEAAa96jeuknZlaeSrvyAJj6ZHv28hhOKkx3rLGXVaC6rXTsDc449/cidltpkyGwCJNnOAlFNKF2jBosZBU5eeHspa"
          "QWOmOElZsjICMQMC3aeHbGiShvZsx4wMYSjH8e7Vrhbu6irwCzVBApESjbUdpWWmEnhathWu1jo+siFUiRAAxm9qyJNg/"
          "wOZqqzL/dL/q8Pkc"
          "RU5oUKEpUge71M3ej2/"
          "7CPqpdVwuMoTvoB+ZOT4YeGyxMvHmbrxlFzGOHOijtzN+u1TQNatX2XBuzZNQ1K+s2CXkPIZo7s6JgZyvaBevYtxPv"
          "YLw4z9mR7K2vaF18UYH9Z9GNUUeayffKC73PYc=\n";

    constexpr std::uint16_t zone_key_flag = 0x0100; // RFC 4034 §2.1.1
    constexpr std::uint16_t revoke_flag = 0x0080; // RFC 5011 §2.1
    constexpr std::uint8_t dnssec_protocol = 3;

    // Master-file entries with comments removed and parenthesised groups joined onto one line.
    std::vector<std::string> logicalLines(std::string_view text)
    {
        std::vector<std::string> lines(1);
        int depth = 0;
        bool comment = false;
        for (char c : text) {
            if (c == '\n') {
                comment = false;
                if (depth == 0)
                    lines.emplace_back();
                else
                    lines.back() += ' ';
            } else if (comment || c == ';') {
                comment = true;
            } else if (c == '(' || c == ')') {
                depth += c == '(' ? 1 : (depth > 0 ? -1 : 0);
                lines.back() += ' ';
            } else {
                lines.back() += c;
            }
        }
        return lines;
    }

    template <typename T> std::optional<T> parseNumber(std::string_view token)
    {
        T value {};
        const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
        if (ec != std::errc {} || end != token.data() + token.size() || token.empty())
            return std::nullopt;
        return value;
    }

    std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text)
    {
        if (text.empty() || text.size() % 4 != 0)
            return std::nullopt;
        std::vector<std::uint8_t> out(text.size() / 4 * 3);
        const int n = EVP_DecodeBlock(
            out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        if (n < 0)
            return std::nullopt;
        const std::size_t padding = text.ends_with("==") ? 2 : (text.ends_with('=') ? 1 : 0);
        out.resize(static_cast<std::size_t>(n) - padding);
        return out;
    }

    std::optional<std::vector<std::uint8_t>> decodeHex(std::string_view text)
    {
        if (text.empty() || text.size() % 2 != 0)
            return std::nullopt;
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < text.size(); i += 2) {
            std::uint8_t byte = 0;
            const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
            if (ec != std::errc {} || end != text.data() + i + 2)
                return std::nullopt;
            out.push_back(byte);
        }
        return out;
    }

    // The rest of the line without blanks: base64 and hex fields may be split into groups.
    std::string joinedRest(std::string_view rest)
    {
        std::string joined;
        for (std::string_view token = nextToken(rest); !token.empty(); token = nextToken(rest))
            joined += token;
        return joined;
    }

    bool isUsableKey(const rdata::dnssec::DNSKEY& key)
    {
        return key.protocol == dnssec_protocol && (key.flags & zone_key_flag) != 0
            && (key.flags & revoke_flag) == 0 && isSupported(static_cast<DnssecAlgorithm>(key.algorithm));
    }

    bool isUsableDs(const AnchorDs& ds)
    {
        const auto length = digestLength(ds.digest_type);
        return ds.digest_type != static_cast<std::uint8_t>(DigestType::gost) && length
            && *length == ds.digest.size() && isSupported(static_cast<DnssecAlgorithm>(ds.algorithm));
    }

} // namespace

class AnchorParser {
public:
    std::expected<void, TrustAnchorError> parseEntry(std::string_view line)
    {
        const bool owner_omitted = !line.empty() && (line.front() == ' ' || line.front() == '\t');
        std::string_view owner = owner_omitted ? last_owner_ : nextToken(line);
        if (owner.empty() || owner.front() == '$')
            return {};
        last_owner_ = owner;
        std::string_view type = nextToken(line);
        while (parseNumber<std::uint32_t>(type) || equalsIgnoringAsciiCase(type, "IN"))
            type = nextToken(line); // TTL and class, in either order
        if (owner != ".")
            return {};
        if (equalsIgnoringAsciiCase(type, "DNSKEY"))
            return parseDnskey(line);
        if (equalsIgnoringAsciiCase(type, "DS"))
            return parseDs(line);
        return {};
    }

    bool empty() const { return store_.keys_.empty() && store_.ds_.empty(); }
    TrustAnchorStore take() { return std::move(store_); }

private:
    std::expected<void, TrustAnchorError> parseDnskey(std::string_view rest)
    {
        const auto flags = parseNumber<std::uint16_t>(nextToken(rest));
        const auto protocol = parseNumber<std::uint8_t>(nextToken(rest));
        const auto algorithm = parseNumber<std::uint8_t>(nextToken(rest));
        const auto key = decodeBase64(joinedRest(rest));
        if (!flags || !protocol || !algorithm || !key)
            return std::unexpected(TrustAnchorError::MalformedAnchor);
        const rdata::dnssec::DNSKEY view { *flags, *protocol, *algorithm, *key };
        if (!isUsableKey(view))
            return {};
        auto owned = view.copyOwned();
        if (!owned)
            return std::unexpected(TrustAnchorError::OutOfMemory);
        store_.keys_.push_back(std::move(*owned));
        return {};
    }

    std::expected<void, TrustAnchorError> parseDs(std::string_view rest)
    {
        const auto keytag = parseNumber<std::uint16_t>(nextToken(rest));
        const auto algorithm = parseNumber<std::uint8_t>(nextToken(rest));
        const auto digest_type = parseNumber<std::uint8_t>(nextToken(rest));
        auto digest = decodeHex(joinedRest(rest));
        if (!keytag || !algorithm || !digest_type || !digest)
            return std::unexpected(TrustAnchorError::MalformedAnchor);
        AnchorDs ds { *keytag, *algorithm, *digest_type, std::move(*digest) };
        if (isUsableDs(ds))
            store_.ds_.push_back(std::move(ds));
        return {};
    }

    TrustAnchorStore store_;
    std::string_view last_owner_;
};

std::expected<TrustAnchorStore, TrustAnchorError> TrustAnchorStore::parse(std::string_view text)
{
    try {
        const std::vector<std::string> lines = logicalLines(text);
        AnchorParser parser;
        for (const std::string& line : lines)
            TRY_VOID(parser.parseEntry(line));
        if (parser.empty())
            return std::unexpected(TrustAnchorError::NoUsableAnchor);
        return parser.take();
    } catch (const std::bad_alloc&) {
        return std::unexpected(TrustAnchorError::OutOfMemory);
    }
}

std::optional<TrustAnchorStore> TrustAnchorStore::clone() const
{
    TrustAnchorStore copy;
    try {
        for (const auto& key : keys_) {
            auto owned = key.view().copyOwned();
            if (!owned)
                return std::nullopt;
            copy.keys_.push_back(std::move(*owned));
        }
        copy.ds_ = ds_;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    return copy;
}

std::expected<TrustAnchorStore, TrustAnchorError> loadTrustAnchors(
    std::string_view path, std::size_t max_size)
{
    const auto text = readWholeFile(path, max_size);
    if (!text)
        return std::unexpected(fileErrorAs<TrustAnchorError>(text.error()));
    return TrustAnchorStore::parse(*text);
}

TrustAnchorStore TrustAnchorStore::builtIn()
{
    auto store = parse(built_in_root_keys);
    return store ? std::move(*store) : TrustAnchorStore {};
}

} // namespace recursor::dnssec
