#include "server/reply.h"

#include "wire/writer.h"

#include <algorithm>
#include <array>
#include <new>

namespace recursor {

namespace {

    constexpr std::uint16_t option_extended_error = 15; // RFC 8914 §2

    // The raw RDATA of an OPT record (parsed as an opaque type).
    std::span<const std::uint8_t> optData(const DnsRecord& rec)
    {
        const auto* raw = rec.rdata.getIf<RData::Unknown>();
        return raw ? raw->data : std::span<const std::uint8_t> {};
    }

    // Owner name + fixed fields + RDATA, without compression.
    std::size_t encodedRecordSize(const DnsRecord& rec)
    {
        return rec.name.len + RecordHeader::size + optData(rec).size();
    }

    // Re-encodes the leading records of `response` that `keep` accepts (all when empty) and that fit in
    // `limit` bytes, and the OPT record if it still fits; TC only when `set_tc`.
    WireResult<std::vector<std::uint8_t>> rewriteResponse(std::span<const std::uint8_t> response,
        std::size_t limit, const std::function<bool(const DnsRecord&)>& keep, bool set_tc,
        const DnsName& request_qname)
    {
        const DnsMessage msg = TRY(DnsMessage::parse(response));
        const DnsName& qname = msg.question_name.isEmpty() ? request_qname : msg.question_name;
        auto writer = TRY(PacketWriter::init(qname, msg.question_type, msg.question_class));
        Header flags = msg.header; // ID, flags and RCODE; the counts are the writer's
        if (set_tc)
            flags.setTc(true);
        std::copy_n(flags.bytes.begin(), 4, writer.getHeader().begin());

        const DnsRecord* opt = nullptr;
        for (const DnsRecord& rec : msg.records) {
            if (rec.rtype == QType::opt && rec.section == Section::additional) {
                opt = &rec;
                break;
            }
        }
        const std::size_t reserve = opt ? encodedRecordSize(*opt) : 0;

        for (const DnsRecord& rec : msg.records) {
            if (rec.rtype == QType::opt || (keep && !keep(rec)))
                continue;
            if (auto started = writer.startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section);
                !started) {
                if (started.error() == WireError::OutOfMemory)
                    return std::unexpected(WireError::OutOfMemory);
                writer.rollback();
                break;
            }
            if (auto written = rec.rdata.writeTo(writer); !written) {
                if (written.error() == WireError::OutOfMemory)
                    return std::unexpected(WireError::OutOfMemory);
                writer.rollback();
                continue;
            }
            if (writer.openRdataLength() > 0xFFFF) {
                writer.rollback();
                continue;
            }
            if (writer.size() + reserve > limit) {
                writer.rollback(); // later, smaller records are not tried
                break;
            }
            if (auto committed = writer.commit(); !committed) {
                if (committed.error() == WireError::OutOfMemory)
                    return std::unexpected(WireError::OutOfMemory);
                writer.rollback();
            }
        }

        if (opt) {
            auto written
                = writer.startRecord(DnsName::root(), QType::opt, opt->rclass, opt->ttl, Section::additional);
            if (written)
                written = writer.writeBlob(optData(*opt));
            if (!written && written.error() == WireError::OutOfMemory)
                return std::unexpected(WireError::OutOfMemory);
            if (!written || writer.openRdataLength() > 0xFFFF || writer.size() > limit || !writer.commit())
                writer.rollback();
        }
        return writer.finish();
    }

    bool askedWithDo(const QueryParseContext& ctx)
    {
        return ctx.edns_info && ctx.edns_info->dnssec_ok;
    }

} // namespace

ReplyBuilder::ReplyBuilder(std::vector<std::uint8_t> message)
    : message_(std::move(message))
    , header_(Header::fromSlice(message_))
{
}

WireResult<ReplyBuilder> ReplyBuilder::withQuestion(const DnsName& qname, QType qtype, QClass qclass)
{
    auto writer = TRY(PacketWriter::init(qname, qtype, qclass));
    ReplyBuilder reply(TRY(writer.finish()));
    reply.header_.setQr(true);
    return reply;
}

ReplyBuilder ReplyBuilder::headerOnly()
{
    ReplyBuilder reply(std::vector<std::uint8_t>(Header::size, 0));
    reply.header_.setQr(true);
    return reply;
}

WireResult<ReplyBuilder> ReplyBuilder::fromMessage(std::vector<std::uint8_t> message)
{
    if (message.size() < Header::size)
        return std::unexpected(WireError::PacketTooShort);
    return ReplyBuilder(std::move(message));
}

ReplyBuilder& ReplyBuilder::setId(std::uint16_t id)
{
    header_.setId(id);
    return *this;
}

ReplyBuilder& ReplyBuilder::setRcode(std::uint16_t rcode)
{
    header_.setRcode(static_cast<RCode>(rcode & 0x0F));
    ext_rcode_ = static_cast<std::uint8_t>(rcode >> 4);
    return *this;
}

ReplyBuilder& ReplyBuilder::setAa(bool on)
{
    header_.setAa(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setTc(bool on)
{
    header_.setTc(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setRd(bool on)
{
    header_.setRd(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setRa(bool on)
{
    header_.setRa(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setAd(bool on)
{
    header_.setAd(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setCd(bool on)
{
    header_.setCd(on);
    return *this;
}

ReplyBuilder& ReplyBuilder::setQuestionSpelling(const DnsName& asked)
{
    asked_ = asked;
    const auto spelled = asked.wireBytes();
    if (message_.size() >= Header::size + spelled.size() && header_.qdCount() == 1)
        std::copy(spelled.begin(), spelled.end(), message_.begin() + Header::size);
    return *this;
}

WireResult<void> ReplyBuilder::keepRecords(const std::function<bool(const DnsRecord&)>& keep)
{
    try {
        writeHeader();
        message_ = TRY(rewriteResponse(message_, max_message_size, keep, false, asked_));
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    header_ = Header::fromSlice(message_);
    return {};
}

ReplyBuilder& ReplyBuilder::setOpt(std::uint16_t udp_payload_size, bool dnssec_ok)
{
    opt_size_ = udp_payload_size;
    dnssec_ok_ = dnssec_ok;
    return *this;
}

ReplyBuilder& ReplyBuilder::setExtendedError(std::uint16_t info_code)
{
    extended_error_ = info_code;
    return *this;
}

ReplyBuilder& ReplyBuilder::setCookie(const ReplyCookie& cookie)
{
    cookie_ = cookie;
    return *this;
}

void ReplyBuilder::writeHeader()
{
    std::copy(header_.bytes.begin(), header_.bytes.end(), message_.begin());
}

WireResult<std::vector<std::uint8_t>> ReplyBuilder::finish(std::size_t limit) &&
{
    try {
        writeHeader();
        if (opt_size_) {
            std::array<std::uint8_t, 6 + 4 + std::tuple_size_v<ReplyCookie>> buffer {};
            std::size_t used = 0;
            if (extended_error_) {
                const std::array<std::uint8_t, 6> ede { 0, option_extended_error, 0, 2,
                    static_cast<std::uint8_t>(*extended_error_ >> 8),
                    static_cast<std::uint8_t>(*extended_error_) };
                used = std::copy(ede.begin(), ede.end(), buffer.begin()) - buffer.begin();
            }
            if (cookie_) {
                const std::array<std::uint8_t, 4> head { 0, option_cookie, 0,
                    static_cast<std::uint8_t>(cookie_->size()) };
                auto end = std::copy(head.begin(), head.end(), buffer.begin() + used);
                used = std::copy(cookie_->begin(), cookie_->end(), end) - buffer.begin();
            }
            const std::span<const std::uint8_t> options = std::span(buffer).first(used);
            appendOptRecord(message_,
                OptRecord { .udp_payload_size = *opt_size_,
                    .ext_rcode = ext_rcode_,
                    .version = 0,
                    .dnssec_ok = dnssec_ok_,
                    .options = options });
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    if (message_.size() <= limit)
        return std::move(message_);
    return rewriteResponse(message_, limit, {}, true, asked_);
}

WireResult<std::vector<std::uint8_t>> buildFormErrReply(
    std::span<const std::uint8_t> packet, std::uint16_t edns_buffer_size)
{
    auto request = DnsMessage::parse(packet);
    if (!request && request.error() == WireError::OutOfMemory)
        return std::unexpected(WireError::OutOfMemory);
    auto reply = ReplyBuilder::headerOnly();
    if (!request) {
        reply.setId(packet.size() >= Header::size ? readU16(packet) : 0);
    } else {
        if (request->header.qdCount() == 1)
            reply = TRY(ReplyBuilder::withQuestion(
                request->question_name, request->question_type, request->question_class));
        reply.setId(request->header.id());
        // Its OPT record states our size and our version, 0 (RFC 6891 §6.1.3).
        if (const std::optional<EdnsInfo> edns = EdnsInfo::fromResponse(*request))
            reply.setOpt(edns_buffer_size, edns->dnssec_ok);
    }
    reply.setRcode(static_cast<std::uint16_t>(RCode::form_err)).setRa(true);
    return std::move(reply).finish();
}

WireResult<std::vector<std::uint8_t>> buildRcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error)
{
    auto reply = TRY(ReplyBuilder::withQuestion(ctx.qname, ctx.qtype, ctx.qclass));
    reply.setId(ctx.query_id)
        .setRcode(rcode)
        .setRd(ctx.msg.header.rd())
        .setRa(true)
        .setCd(ctx.msg.header.cd());
    if (ctx.edns_info) {
        reply.setOpt(edns_buffer_size, askedWithDo(ctx));
        if (extended_error)
            reply.setExtendedError(*extended_error);
        if (ctx.reply_cookie)
            reply.setCookie(*ctx.reply_cookie);
    }
    return std::move(reply).finish();
}

std::size_t replyLimit(const QueryParseContext& ctx, ReplyChannel channel, std::uint16_t edns_buffer_size)
{
    if (channel == ReplyChannel::stream)
        return ReplyBuilder::max_message_size;
    if (!ctx.edns_info)
        return min_udp_payload;
    return clampUdpPayloadSize(std::min(ctx.edns_info->udp_payload_size, edns_buffer_size));
}

// The client's ID, RD and CD bits and its spelling of the name. AD stays only for a client that can
// make use of it, and never under CD: data handed out unchecked must not look checked. RFC 4035 §3.2.1:
// without DO, signatures and denial records go only to a client that asked for that very type.
ServerResult<std::vector<std::uint8_t>> shapeReply(std::vector<std::uint8_t> packet,
    const QueryParseContext& ctx, bool has_dnssec_records, ReplyChannel channel,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error)
{
    auto reply = ReplyBuilder::fromMessage(std::move(packet));
    if (!reply)
        return std::unexpected(ServerError::BufferTooSmall);
    const bool cd = ctx.msg.header.cd();
    const bool wants_ad = askedWithDo(ctx) || ctx.msg.header.ad();
    reply->setId(ctx.query_id)
        .setRd(ctx.msg.header.rd())
        .setAd(reply->header().ad() && wants_ad && !cd)
        .setCd(cd)
        .setQuestionSpelling(ctx.qname);
    if (has_dnssec_records && !askedWithDo(ctx)) {
        auto stripped = reply->keepRecords([&](const DnsRecord& rec) {
            const bool dnssec_only
                = rec.rtype == QType::rrsig || rec.rtype == QType::nsec || rec.rtype == QType::nsec3;
            return !dnssec_only || (rec.section == Section::answer && rec.rtype == ctx.qtype);
        });
        if (!stripped)
            return std::unexpected(replyBuildError(stripped.error()));
    }
    if (ctx.edns_info) {
        reply->setOpt(edns_buffer_size, askedWithDo(ctx));
        if (extended_error)
            reply->setExtendedError(*extended_error);
    }
    if (ctx.reply_cookie)
        reply->setCookie(*ctx.reply_cookie);
    auto finished = std::move(*reply).finish(replyLimit(ctx, channel, edns_buffer_size));
    if (!finished)
        return std::unexpected(replyBuildError(finished.error()));
    return std::move(*finished);
}

} // namespace recursor
