#include "server/doh_request.h"

#include "wire/record.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <utility>

namespace recursor {

namespace {

    constexpr std::uint8_t not_base64 = 0xFF;

    constexpr std::array<std::uint8_t, 256> base64UrlValues()
    {
        std::array<std::uint8_t, 256> values {};
        values.fill(not_base64);
        constexpr std::string_view alphabet
            = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        for (std::size_t i = 0; i < alphabet.size(); ++i)
            values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
        return values;
    }

    bool equalsIgnoringCase(std::string_view a, std::string_view b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
            auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
            return lower(x) == lower(y);
        });
    }

    std::string_view trimmed(std::string_view text)
    {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.remove_suffix(1);
        return text;
    }

    // The value of `key` in a URL query ("a=1&dns=...&b"); nothing when it is absent.
    std::optional<std::string_view> queryParameter(std::string_view query, std::string_view key)
    {
        while (!query.empty()) {
            const std::size_t amp = query.find('&');
            const std::string_view pair = query.substr(0, amp);
            if (pair.size() > key.size() && pair.starts_with(key) && pair[key.size()] == '=')
                return pair.substr(key.size() + 1);
            if (amp == std::string_view::npos)
                break;
            query.remove_prefix(amp + 1);
        }
        return std::nullopt;
    }

    // A message the front can be handed: a whole DNS query (RFC 8484 §4.1: "undecodable" is 400).
    // Replies (QR set) are refused here too: the front would drop them without a word, and an HTTP
    // stream must get an answer.
    bool isDnsQuery(std::span<const std::uint8_t> message)
    {
        return message.size() >= 12 && (message[2] & 0x80) == 0 && DnsMessage::parse(message).has_value();
    }

} // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text)
{
    static constexpr auto values = base64UrlValues();
    if (text.size() % 4 == 1)
        return std::nullopt; // six bits cannot make a byte
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t bits = 0;
    int bit_count = 0;
    for (const char c : text) {
        const std::uint8_t value = values[static_cast<unsigned char>(c)];
        if (value == not_base64)
            return std::nullopt;
        bits = (bits << 6) | value;
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> bit_count));
        }
    }
    // RFC 4648 §3.5: the bits left over must be zero, so that each message has one spelling.
    if ((bits & ((1U << bit_count) - 1)) != 0)
        return std::nullopt;
    return out;
}

void DohRequest::addHeader(std::string_view name, std::string_view value)
{
    header_bytes_ += name.size() + value.size();
    if (header_bytes_ > max_header_bytes) {
        headers_too_large_ = true;
        return;
    }
    if (name == ":method")
        method_ = value;
    else if (name == ":path")
        path_ = value;
    else if (name == "content-type")
        content_type_ = std::string(value);
    else if (name == "content-length") {
        std::size_t length = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
        content_length_ = error == std::errc {} && end == value.data() + value.size()
            ? length
            : std::numeric_limits<std::size_t>::max();
    }
}

void DohRequest::addBody(std::span<const std::uint8_t> chunk)
{
    if (body_too_large_ || chunk.size() > max_message_size - body_.size()) {
        body_too_large_ = true;
        return;
    }
    body_.insert(body_.end(), chunk.begin(), chunk.end());
}

std::optional<int> DohRequest::earlyRefusal() const
{
    if (headers_too_large_)
        return 431; // RFC 6585 §5
    if (path_.substr(0, path_.find('?')) != doh_path)
        return 404;
    if (method_ == "GET")
        return std::nullopt;
    if (method_ != "POST")
        return 405;
    // The media type alone decides; parameters such as a charset mean nothing to a binary body.
    const std::string_view type = content_type_ ? std::string_view(*content_type_) : std::string_view();
    if (!equalsIgnoringCase(trimmed(type.substr(0, type.find(';'))), doh_media_type))
        return 415;
    if (body_too_large_ || (content_length_ && *content_length_ > max_message_size))
        return 413;
    return std::nullopt;
}

DohVerdict DohRequest::finish()
{
    std::vector<std::uint8_t> message = std::exchange(body_, {}); // the holder counts it gone
    if (const auto refusal = earlyRefusal())
        return { *refusal, {} };
    if (method_ != "POST") {
        const std::size_t question_mark = path_.find('?');
        const auto encoded = question_mark == std::string::npos
            ? std::nullopt
            : queryParameter(std::string_view(path_).substr(question_mark + 1), "dns");
        auto decoded = encoded ? decodeBase64Url(*encoded) : std::nullopt;
        if (!decoded)
            return { 400, {} };
        message = std::move(*decoded);
    }
    if (!isDnsQuery(message))
        return { 400, {} };
    return { 0, std::move(message) };
}

std::uint32_t dohMaxAge(std::span<const std::uint8_t> reply)
{
    const auto message = DnsMessage::parse(reply);
    if (!message)
        return 0;
    auto smallestIn = [&](Section section) -> std::optional<std::uint32_t> {
        std::optional<std::uint32_t> smallest;
        for (const DnsRecord& record : message->records)
            if (record.section == section)
                smallest = std::min(record.ttl, smallest.value_or(record.ttl));
        return smallest;
    };
    return smallestIn(Section::answer).value_or(smallestIn(Section::authority).value_or(0));
}

} // namespace recursor
