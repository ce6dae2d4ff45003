// One DNS over HTTPS request (RFC 8484) as its HTTP/2 stream delivers it: the header fields, then the
// body, each bounded, and the verdict: the DNS message it carries, or the HTTP status that refuses it.
// Knows nothing of sockets or of HTTP/2 framing, so that every hostile request can be tested alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

// The one path served (RFC 8484 §3 leaves it to the server; this is the one clients try first).
inline constexpr std::string_view doh_path = "/dns-query";
inline constexpr std::string_view doh_media_type = "application/dns-message"; // RFC 8484 §6

// base64url without padding (RFC 4648 §5, RFC 8484 §4.1): nothing when a character is outside the
// alphabet, padding is present, or the length leaves bits that no byte can hold.
std::optional<std::vector<std::uint8_t>> decodeBase64Url(std::string_view text);

// What a request gets: a DNS message to answer (status 0), or an HTTP status with no body.
struct DohVerdict {
    int status { 0 };
    std::vector<std::uint8_t> message;
};

class DohRequest {
public:
    // Header names and values of one request, pseudo-header fields included; beyond it 431.
    static constexpr std::size_t max_header_bytes = 8 * 1024;
    static constexpr std::size_t max_message_size = 65535; // RFC 1035 §4.2.2: longer cannot be DNS

    // Names arrive lower case (RFC 9113 §8.2.1; nghttp2 rejects others).
    void addHeader(std::string_view name, std::string_view value);
    // Keeps at most max_message_size bytes; more only marks the request too large.
    void addBody(std::span<const std::uint8_t> chunk);
    // A refusal known before the body ends (404, 405, 413, 415, 431), so that the stream need not be
    // held open for it; nothing while the request may still be good.
    std::optional<int> earlyRefusal() const;
    // Once the request has ended; the body is taken out, whatever the verdict.
    DohVerdict finish();
    std::size_t bodySize() const { return body_.size(); }

private:
    std::string method_;
    std::string path_;
    std::optional<std::string> content_type_;
    std::optional<std::size_t> content_length_;
    std::vector<std::uint8_t> body_;
    std::size_t header_bytes_ { 0 };
    bool headers_too_large_ { false };
    bool body_too_large_ { false };
};

// The freshness lifetime of a DoH reply (RFC 8484 §5.1): the smallest TTL of the answer section, or of
// the authority section when the answer is empty (a negative answer's SOA, RFC 2308 §5); 0 when the
// reply holds no record or cannot be read.
std::uint32_t dohMaxAge(std::span<const std::uint8_t> reply);

} // namespace recursor
