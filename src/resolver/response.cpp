#include "resolver/response.h"

#include "resolver/delegation.h"
#include "resolver/resolution.h"

#include <algorithm>

namespace recursor {

namespace {

    // Records a server may speak for: its own zone and below. Anything else is neither served nor cached.
    std::vector<const DnsRecord*> recordsInZone(
        std::span<const DnsRecord> records, Section section, const DnsName& zone)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord& rec : records) {
            if (rec.section == section && rec.name.isPartOf(zone))
                out.push_back(&rec);
        }
        return out;
    }

    bool hasType(const DnsRecord& rec, QType type)
    {
        if (rec.rtype == QType::rrsig) {
            const auto* sig = rec.rdata.getIf<RDataTag::rrsig>();
            return sig != nullptr
                && (type == QType::any || type == QType::rrsig || sig->type_covered == toU16(type));
        }
        return type == QType::any || rec.rtype == type;
    }

    // The answer RRset of `owner` and `type` (every type for ANY) with the RRSIGs over it: all of a
    // response that may answer for that name (RFC 2181 §5.4.1 with §6.1 of RFC 4035).
    std::vector<const DnsRecord*> rrsetWithSignatures(
        std::span<const DnsRecord* const> answers, const DnsName& owner, QType type)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord* rec : answers) {
            if (rec->name.eql(owner) && hasType(*rec, type))
                out.push_back(rec);
        }
        return out;
    }

    // Records beyond the signatures over them, or the signatures themselves when they were asked for.
    bool holdsData(std::span<const DnsRecord* const> records, QType qtype)
    {
        return std::ranges::any_of(records,
            [&](const DnsRecord* rec) { return rec->rtype != QType::rrsig || qtype == QType::rrsig; });
    }

    // A DNAME owned by a proper ancestor of `name`, in the server's zone (RFC 6672 §3.2).
    const DnsRecord* findDname(std::span<const DnsRecord* const> answers, const DnsName& name)
    {
        for (const DnsRecord* rec : answers) {
            if (rec->rtype == QType::dname && rec->rdata.tag() == RDataTag::dname && name.isPartOf(rec->name)
                && !name.eql(rec->name))
                return rec;
        }
        return nullptr;
    }

    std::uint32_t cappedTtl(std::uint32_t ttl, const StepVerdict& verdict, std::uint32_t limit)
    {
        return std::min({ ttl, verdict.ttl_cap, limit });
    }

    ResolveResultOr<NetworkAction> done(
        Resolution& resolution, const QueryContext& ctx, ResolveResult result, std::uint32_t ttl)
    {
        // A TTL of 0 means use once (RFC 1035 §3.2.1): served, never cached.
        if (ctx.policy.cache_answers && ttl != 0) {
            TRY_VOID(resolution.cache().putAnswer(ctx.qname, ctx.qtype, result.packet, result.answer_count,
                result.rcode, result.validated, result.has_dnssec_records, ttl));
        }
        return NetworkAction { NetworkAction::Tag::done, std::move(result) };
    }

    ResolveResultOr<StepVerdict> judgeAnswer(
        StepValidator* validator, std::span<const DnsRecord* const> answers, const DnsMessage& response)
    {
        if (validator == nullptr)
            return StepVerdict {};
        return validator->answer(answers, response);
    }

    ResolveResultOr<NetworkAction> buildPositive(Resolution& resolution, const QueryContext& ctx,
        const DnsMessage& response, std::span<const DnsRecord* const> answers, const StepVerdict& verdict)
    {
        const bool validated = verdict.secure && ctx.chain_validated;
        const std::uint32_t cap = std::min(verdict.ttl_cap, resolution.limits().cache_max_ttl);
        BuiltPacket built = TRY(
            buildResult(ctx.qname, ctx.qtype, ctx.cname_chain, answers, RCode::no_error, validated, cap));
        ResolveResult result {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = RCode::no_error,
            .from_cache = false,
            .validated = validated,
            .has_dnssec_records = responseHasDnssecRecords(response),
        };
        return done(
            resolution, ctx, std::move(result), std::min(extractAnswerTtl(ctx.cname_chain, answers), cap));
    }

    // RFC 2308 §5: a negative answer without SOA is served but never cached, since nothing would bound
    // how long it may be passed on.
    ResolveResultOr<NetworkAction> buildNegative(Resolution& resolution, const QueryContext& ctx,
        const DnsMessage& response, std::span<const DnsRecord* const> authority, const DnsRecord* soa,
        const StepVerdict& verdict)
    {
        const RCode rcode = response.header.rcode();
        const bool validated = verdict.secure && ctx.chain_validated;
        const std::uint32_t cap = std::min(verdict.ttl_cap, resolution.limits().cache_max_negative_ttl);
        BuiltPacket built = TRY(
            buildNegativePacket(ctx.qname, ctx.qtype, ctx.cname_chain, authority, rcode, validated, cap));
        ResolveResult result {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = rcode,
            .from_cache = false,
            .validated = validated,
            .has_dnssec_records = responseHasDnssecRecords(response),
        };
        if (soa == nullptr)
            return done(resolution, ctx, std::move(result), 0);
        // The CNAMEs that led here are served too: the answer lives no longer than any of them.
        std::uint32_t ttl = std::min(extractNegativeTtl(authority), cap);
        if (!ctx.cname_chain.empty())
            ttl = std::min(ttl, extractAnswerTtl(ctx.cname_chain, {}));
        return done(resolution, ctx, std::move(result), ttl);
    }

    // A negative answer marked by `soa` (none: an authoritative one without SOA), with the proof a signed
    // zone owes.
    ResolveResultOr<NetworkAction> useNegative(Resolution& resolution, const QueryContext& ctx,
        const DnsMessage& response, std::span<const DnsRecord* const> authority, const DnsRecord* soa,
        StepValidator* validator)
    {
        const StepVerdict verdict
            = validator ? TRY(validator->denial(response.header.rcode(), soa, authority)) : StepVerdict {};
        return buildNegative(resolution, ctx, response, authority, soa, verdict);
    }

    // Adds a link to the chain served before the final answer, its TTL capped as its step allows.
    ResolveResultOr<void> addLink(
        Resolution& resolution, QueryContext& ctx, DnsRecord link, const StepVerdict& verdict)
    {
        link.ttl = cappedTtl(link.ttl, verdict, resolution.limits().cache_max_ttl);
        try {
            ctx.cname_chain.push_back(std::move(link));
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        return {};
    }

    // Whether `target` is a name the chain has already passed through: the question's, or the owner of
    // one of its CNAMEs (made from a DNAME or not).
    bool closesLoop(const QueryContext& ctx, const DnsName& target)
    {
        return target.eql(ctx.qname) || std::ranges::any_of(ctx.cname_chain, [&](const DnsRecord& link) {
            return link.rtype == QType::cname && link.name.eql(target);
        });
    }

    // A chain that comes back on itself can never end in an answer: SERVFAIL at once, with the chain up
    // to and with the link that closes the loop, so the client sees where it turns (RFC 1034 §3.6.2:
    // such loops are a configuration error). Neither validated nor cached.
    ResolveResultOr<NetworkAction> endInLoop(const QueryContext& ctx)
    {
        BuiltPacket built = TRY(buildResult(
            ctx.qname, ctx.qtype, ctx.cname_chain, {}, RCode::serv_fail, false, StepVerdict::no_cap));
        ResolveResult result {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = RCode::serv_fail,
        };
        return NetworkAction { NetworkAction::Tag::done, std::move(result) };
    }

    ResolveResultOr<NetworkAction> followTo(Resolution& resolution, QueryContext& ctx, const DnsName& target)
    {
        if (closesLoop(ctx, target))
            return endInLoop(ctx);
        ctx.followCname(target, initialNameservers(resolution, target));
        return NetworkAction { NetworkAction::Tag::continue_loop, {} };
    }

    // The answer is validated only when every link of the chain was (RFC 4035 §5.3.3 per RRset).
    ResolveResultOr<NetworkAction> followCname(
        Resolution& resolution, QueryContext& ctx, const DnsRecord& cname, const StepVerdict& verdict)
    {
        if (++ctx.cname_count > max_cnames)
            return std::unexpected(ResolveError::CnameLoop);
        ctx.chain_validated = ctx.chain_validated && verdict.secure;
        TRY_VOID(addLink(resolution, ctx, cname, verdict));
        return followTo(resolution, ctx, cname.rdata.get<RDataTag::cname>().target);
    }

    // RFC 6672 §3.2: the DNAME is what the signature covers; the CNAME is made here from it, never taken
    // from the server, and both go to the client. The chain counts DNAMEs like CNAMEs.
    ResolveResultOr<NetworkAction> followDname(
        Resolution& resolution, QueryContext& ctx, const DnsRecord& dname, const StepVerdict& verdict)
    {
        if (++ctx.cname_count > max_cnames)
            return std::unexpected(ResolveError::CnameLoop);
        const auto target
            = substituteDname(ctx.current_qname, dname.name, dname.rdata.get<RDataTag::dname>().target);
        if (!target)
            return std::unexpected(ResolveError::NameTooLong);
        ctx.chain_validated = ctx.chain_validated && verdict.secure;
        DnsRecord cname { RData::make<RDataTag::cname>(rdata::common::CNAME { *target }), dname.ttl,
            QType::cname, dname.rclass, ctx.current_qname, Section::answer };
        TRY_VOID(addLink(resolution, ctx, dname, verdict));
        TRY_VOID(addLink(resolution, ctx, std::move(cname), verdict));
        return followTo(resolution, ctx, *target);
    }

    // An SOA of the server's zone that covers the name: the mark of a negative answer (RFC 2308 §2).
    bool isNegativeSoaFor(const DnsRecord* soa, const QueryContext& ctx)
    {
        return soa != nullptr && ctx.current_qname.isPartOf(soa->name);
    }

    // Authority NS records of a zone other than the one asked: the reply refers the question on (down,
    // or up when the server is lame), whatever its AA bit says.
    bool refersElsewhere(std::span<const DnsRecord> records, const DnsName& zone)
    {
        return std::ranges::any_of(records, [&](const DnsRecord& rec) {
            return rec.section == Section::authority && rec.rtype == QType::ns && !rec.name.eql(zone);
        });
    }

    // The answer section of a NOERROR or NXDOMAIN, bound to the question: a DNAME above the current name,
    // a CNAME at it, or its RRset of the asked type; anything else is no answer.
    ResolveResultOr<std::optional<NetworkAction>> useAnswers(
        Resolution& resolution, QueryContext& ctx, const DnsMessage& response, StepValidator* validator)
    {
        const auto in_zone = recordsInZone(response.records, Section::answer, ctx.zone);
        if (ctx.qtype != QType::dname) {
            if (const DnsRecord* dname = findDname(in_zone, ctx.current_qname)) {
                const auto rrset = rrsetWithSignatures(in_zone, dname->name, QType::dname);
                return followDname(resolution, ctx, *dname, TRY(judgeAnswer(validator, rrset, response)));
            }
        }
        if (ctx.qtype != QType::cname && ctx.qtype != QType::any) {
            if (const DnsRecord* cname = findCnameTarget(response.records, ctx.current_qname)) {
                const auto rrset = rrsetWithSignatures(in_zone, cname->name, QType::cname);
                return followCname(resolution, ctx, *cname, TRY(judgeAnswer(validator, rrset, response)));
            }
        }
        const auto answers = rrsetWithSignatures(in_zone, ctx.current_qname, ctx.qtype);
        if (response.header.rcode() != RCode::no_error || !holdsData(answers, ctx.qtype))
            return std::nullopt;
        return buildPositive(
            resolution, ctx, response, answers, TRY(judgeAnswer(validator, answers, response)));
    }

} // namespace

const DnsRecord* findCnameTarget(std::span<const DnsRecord> records, const DnsName& current)
{
    for (const DnsRecord& rec : records) {
        if (rec.section == Section::answer && rec.rtype == QType::cname && rec.rdata.tag() == RDataTag::cname
            && rec.name.eql(current))
            return &rec;
    }
    return nullptr;
}

std::optional<DnsName> substituteDname(const DnsName& qname, const DnsName& owner, const DnsName& target)
{
    if (!qname.isPartOf(owner))
        return std::nullopt;
    const auto prefix = qname.wireBytes().first(qname.len - owner.len);
    if (prefix.size() + target.len > DnsName::max_len)
        return std::nullopt;
    std::array<std::uint8_t, DnsName::max_len> wire {};
    std::ranges::copy(prefix, wire.begin());
    std::ranges::copy(target.wireBytes(), wire.begin() + static_cast<std::ptrdiff_t>(prefix.size()));
    auto name = DnsName::fromWire(std::span(wire).first(prefix.size() + target.len));
    if (!name)
        return std::nullopt;
    return *name;
}

ResolveResultOr<NetworkAction> handleNetworkResponse(
    Resolution& resolution, QueryContext& ctx, const QueryResult& result, StepValidator* validator)
{
    const DnsMessage& response = result.response;
    const Header& header = response.header;
    const NetworkAction no_progress { NetworkAction::Tag::continue_loop, {} };
    const bool answered = header.rcode() == RCode::no_error || header.rcode() == RCode::nx_domain;
    try {
        if (answered) {
            // What the server's zone holds for the question is usable without AA too (RFC 1034 §5.3.3
            // step 4a; RFC 2181 §5.4.1 ranks it below authoritative data): the question and the zone
            // bound what is taken, not the bit.
            if (header.anCount() != 0) {
                if (auto action = TRY(useAnswers(resolution, ctx, response, validator)))
                    return std::move(*action);
            }
            // No answer to the question: a negative answer, marked by the zone's SOA. Without AA, NS
            // records of another zone beside it still make a referral.
            const auto authority = recordsInZone(response.records, Section::authority, ctx.zone);
            const DnsRecord* soa = findNegativeSoa(authority);
            const bool refers = refersElsewhere(response.records, ctx.zone);
            if (isNegativeSoaFor(soa, ctx) && (header.aa() || !refers))
                return useNegative(resolution, ctx, response, authority, soa, validator);
            // An authoritative NXDOMAIN, or an empty NOERROR that refers nowhere, needs no SOA to be a
            // negative answer (RFC 2308 §2.1, §2.2).
            if (header.aa() && header.anCount() == 0 && (header.rcode() == RCode::nx_domain || !refers))
                return useNegative(resolution, ctx, response, authority, nullptr, validator);
            if (header.anCount() != 0)
                return no_progress;
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    if (header.anCount() == 0 && header.nsCount() != 0)
        return NetworkAction { NetworkAction::Tag::follow_delegation, {} };
    return no_progress;
}

} // namespace recursor
