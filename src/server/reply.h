// Every reply the server sends is built here: refusals and errors from the request alone, and answers
// shaped from the resolver's packet for one client. A reply carries the client's ID, RD bit and spelling
// of the name; DNSSEC records only when it set DO (RFC 4035 §3.2.1); AD only for secure data it asked AD
// or DO for, never under CD (RFC 6840 §5.7, §5.9); CD echoed; an OPT record exactly when it sent one
// (RFC 6891 §6.1.1), with our size and version 0; and no more bytes than its channel carries.
#pragma once

#include "server/cookies.h"
#include "server/edns.h"
#include "server/request.h"
#include "server/server_error.h"
#include "wire/header.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

enum class ReplyChannel : std::uint8_t { datagram, stream };

// RFC 6891 §7: 16 in the extended RCODE space, 0 in the header and 1 in the OPT record.
inline constexpr std::uint16_t rcode_badvers = 16;
// The UDP size we advertise and answer up to by default: what fits unfragmented on common paths.
inline constexpr std::uint16_t default_edns_buffer_size = 1232;

// One reply: a message with its header and question, whose flags, RCODE and OPT record are set by name
// and written by finish().
class ReplyBuilder {
public:
    // Header and question (`qname`, `qtype`, `qclass`), all flags clear but QR, RCODE 0.
    static WireResult<ReplyBuilder> withQuestion(const DnsName& qname, QType qtype, QClass qclass);
    // The 12 bytes of a header, QR set, for a request whose question cannot be echoed.
    static ReplyBuilder headerOnly();
    // A finished message (the resolver's answer), its flags and counts kept until set.
    // PacketTooShort for less than a header.
    static WireResult<ReplyBuilder> fromMessage(std::vector<std::uint8_t> message);

    ReplyBuilder& setId(std::uint16_t id);
    // The low four bits go in the header, the upper ones in the OPT record (RFC 6891 §6.1.3), if any.
    ReplyBuilder& setRcode(std::uint16_t rcode);
    ReplyBuilder& setAa(bool on);
    ReplyBuilder& setTc(bool on);
    ReplyBuilder& setRd(bool on);
    ReplyBuilder& setRa(bool on);
    ReplyBuilder& setAd(bool on);
    ReplyBuilder& setCd(bool on);
    // The question name as the client spelled it, byte for byte: a stored answer carries the spelling
    // of whoever asked first, and a client that varies letter case checks it (RFC 5452 §9.1).
    ReplyBuilder& setQuestionSpelling(const DnsName& asked);
    // Re-encodes the message with only the records `keep` accepts. OutOfMemory, or the parser's error.
    WireResult<void> keepRecords(const std::function<bool(const DnsRecord&)>& keep);
    // An OPT record: `udp_payload_size` (ours), version 0, DO as given.
    ReplyBuilder& setOpt(std::uint16_t udp_payload_size, bool dnssec_ok);
    // An extended DNS error (RFC 8914 §2) in the OPT record; nothing without one.
    ReplyBuilder& setExtendedError(std::uint16_t info_code);
    // A COOKIE option (RFC 7873 §4) in the OPT record; nothing without one.
    ReplyBuilder& setCookie(const ReplyCookie& cookie);

    const Header& header() const { return header_; }
    // The message, with the OPT record last. Beyond `limit` bytes only the leading records that fit are
    // kept, and the OPT record if it still fits, and TC is set (RFC 1035 §4.2.1, RFC 6891 §7).
    WireResult<std::vector<std::uint8_t>> finish(std::size_t limit = max_message_size) &&;

    static constexpr std::size_t max_message_size = 0xFFFF;

private:
    explicit ReplyBuilder(std::vector<std::uint8_t> message);

    // The header written back into `message_`, for a step that reads the whole message.
    void writeHeader();

    std::vector<std::uint8_t> message_;
    Header header_;
    DnsName asked_; // the question name when the message has none to re-encode from
    std::uint8_t ext_rcode_ { 0 };
    std::optional<std::uint16_t> opt_size_;
    bool dnssec_ok_ { false };
    std::optional<std::uint16_t> extended_error_;
    std::optional<ReplyCookie> cookie_;
};

// FORMERR for a raw request, with RA set: its question when it has exactly one, else the header alone
// (with the request's ID, or 0 when it is shorter than a header). When the request had a valid OPT, so
// has the reply: our size and our version, 0 (RFC 6891 §6.1.3), DO echoed.
WireResult<std::vector<std::uint8_t>> buildFormErrReply(
    std::span<const std::uint8_t> packet, std::uint16_t edns_buffer_size = default_edns_buffer_size);

// A reply with the question and no records (SERVFAIL, REFUSED, NOTIMP, BADVERS): ID, RD, CD, RA, and
// an OPT record when the request had one, carrying the upper bits of `rcode` and, when given, an
// extended DNS error (RFC 8914).
WireResult<std::vector<std::uint8_t>> buildRcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error = std::nullopt);

// Over a stream, a message's whole 16-bit length; over UDP the client's EDNS size capped at ours, or 512.
std::size_t replyLimit(const QueryParseContext& ctx, ReplyChannel channel, std::uint16_t edns_buffer_size);

// The resolver's packet (ID 0, AD when validated, no OPT) shaped for the client of `ctx`, and cut to
// its limit with TC set (RFC 1035 §4.2.1, RFC 6891 §6.2.5). An extended error (RFC 8914) goes to a
// client that spoke EDNS.
ServerResult<std::vector<std::uint8_t>> shapeReply(std::vector<std::uint8_t> packet,
    const QueryParseContext& ctx, bool has_dnssec_records, ReplyChannel channel,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error = std::nullopt);

} // namespace recursor
