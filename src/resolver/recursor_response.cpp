#include "resolver/recursor_response.h"

#include "resolver/recursor.h"
#include "resolver/recursor_delegation.h"

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

    ResolveResultOr<NetworkAction> done(
        Recursor& recursor, const QueryContext& ctx, ResolveResult result, std::uint32_t ttl)
    {
        if (ctx.policy.cache_answers) {
            TRY_VOID(recursor.cache().putAnswer(ctx.qname, ctx.qtype, result.packet, result.answer_count,
                result.rcode, result.validated, result.has_dnssec_records, ttl));
        }
        return NetworkAction { NetworkAction::Tag::done, std::move(result) };
    }

    ResolveResultOr<bool> validateStep(const AnswerValidator& validate,
        std::span<const DnsRecord* const> answers, const DnsMessage& response)
    {
        if (!validate)
            return false;
        return validate(answers, response);
    }

    ResolveResultOr<NetworkAction> buildPositive(Recursor& recursor, const QueryContext& ctx,
        const DnsMessage& response, std::span<const DnsRecord* const> answers, bool validated)
    {
        BuiltPacket built = TRY(
            buildResult(ctx.qname, ctx.qtype, ctx.cname_chain, answers, response.header.rcode(), validated));
        ResolveResult result {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = response.header.rcode(),
            .from_cache = false,
            .validated = validated,
            .has_dnssec_records = responseHasDnssecRecords(response),
        };
        return done(recursor, ctx, std::move(result), extractAnswerTtl(ctx.cname_chain, answers));
    }

    ResolveResultOr<NetworkAction> buildNegative(Recursor& recursor, const QueryContext& ctx,
        const DnsMessage& response, std::span<const DnsRecord* const> authority, RCode rcode)
    {
        BuiltPacket built = TRY(buildNegativePacket(ctx.qname, ctx.qtype, ctx.cname_chain, authority, rcode));
        ResolveResult result {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = rcode,
            .from_cache = false,
            .validated = false,
            .has_dnssec_records = responseHasDnssecRecords(response),
        };
        // The CNAMEs that led here are served too: the answer lives no longer than any of them.
        std::uint32_t ttl = extractNegativeTtl(authority);
        if (!ctx.cname_chain.empty())
            ttl = std::min(ttl, extractAnswerTtl(ctx.cname_chain, {}));
        return done(recursor, ctx, std::move(result), ttl);
    }

    ResolveResultOr<NetworkAction> followCname(Recursor& recursor, QueryContext& ctx, const DnsRecord& cname)
    {
        if (++ctx.cname_count > max_cnames)
            return std::unexpected(ResolveError::CnameLoop);
        try {
            ctx.cname_chain.push_back(cname);
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        const DnsName target = cname.rdata.get<RDataTag::cname>().target;
        ctx.followCname(target, initialNameservers(recursor.cache(), recursor.rootServers(), target));
        return NetworkAction { NetworkAction::Tag::continue_loop, {} };
    }

    // The CNAME followed and the signatures over it.
    std::vector<const DnsRecord*> cnameRrsetOf(
        std::span<const DnsRecord* const> answers, const DnsRecord& cname)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord* rec : answers) {
            if (rec->name.eql(cname.name) && (rec->rtype == QType::cname || rec->rtype == QType::rrsig))
                out.push_back(rec);
        }
        return out;
    }

    // An SOA of the server's zone that covers the name: the mark of a negative answer (RFC 2308 §2).
    bool isNegativeSoaFor(const DnsRecord* soa, const QueryContext& ctx)
    {
        return soa != nullptr && ctx.current_qname.isPartOf(soa->name);
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

ResolveResultOr<NetworkAction> handleNetworkResponse(
    Recursor& recursor, QueryContext& ctx, const QueryResult& result, const AnswerValidator& validate)
{
    const DnsMessage& response = result.response;
    const Header& header = response.header;
    const NetworkAction no_progress { NetworkAction::Tag::continue_loop, {} };
    try {
        if (header.aa() && header.anCount() != 0) {
            const std::vector<const DnsRecord*> answers
                = recordsInZone(response.records, Section::answer, ctx.zone);
            if (answers.empty())
                return no_progress;
            if (ctx.qtype != QType::cname) {
                if (const DnsRecord* cname = findCnameTarget(response.records, ctx.current_qname)) {
                    // Only the CNAME is used from this response; the answer is validated only when
                    // every link of the chain was (RFC 4035 §5.3.3 per RRset).
                    ctx.chain_validated = TRY(validateStep(validate, cnameRrsetOf(answers, *cname), response))
                        && ctx.chain_validated;
                    return followCname(recursor, ctx, *cname);
                }
            }
            const bool validated = TRY(validateStep(validate, answers, response)) && ctx.chain_validated;
            return buildPositive(recursor, ctx, response, answers, validated);
        }
        if (header.aa() && header.anCount() == 0
            && (header.rcode() == RCode::no_error || header.rcode() == RCode::nx_domain)) {
            const std::vector<const DnsRecord*> authority
                = recordsInZone(response.records, Section::authority, ctx.zone);
            if (isNegativeSoaFor(findNegativeSoa(authority), ctx))
                return buildNegative(recursor, ctx, response, authority, header.rcode());
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    if (header.anCount() == 0 && header.nsCount() != 0)
        return NetworkAction { NetworkAction::Tag::follow_delegation, {} };
    return no_progress;
}

} // namespace recursor
