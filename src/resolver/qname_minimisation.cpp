#include "resolver/qname_minimisation.h"

#include <algorithm>

namespace recursor {

std::string_view fallbackName(MinimisationFallback reason)
{
    switch (reason) {
#define RECURSOR_X(name)                                                                                     \
    case MinimisationFallback::name:                                                                         \
        return #name;
        RECURSOR_MINIMISATION_FALLBACKS(RECURSOR_X)
#undef RECURSOR_X
    }
    return "unknown";
}

namespace {

    // `name` without its first `labels` labels.
    DnsName dropLabels(DnsName name, std::size_t labels)
    {
        for (std::size_t i = 0; i < labels; ++i)
            name.chopOff();
        return name;
    }

    bool startsWithUnderscore(const DnsName& name)
    {
        const auto wire = name.wireBytes();
        return wire.size() > 1 && wire[0] != 0 && wire[1] == '_';
    }

} // namespace

std::optional<MinimisedStep> nextMinimisedName(
    const DnsName& qname, std::size_t known_labels, std::uint8_t asked)
{
    const std::size_t total = qname.labelCount();
    if (known_labels >= total || asked >= max_minimise_count)
        return std::nullopt;
    const std::size_t hidden = total - known_labels;
    // RFC 9156 §2.3: one label at a time at first; then the labels left are shared out over the
    // questions left, so that the last minimised question leaves only the whole name to ask.
    std::size_t reveal = 1;
    if (asked >= minimise_one_label) {
        const std::size_t questions_left = max_minimise_count - asked;
        reveal = std::max<std::size_t>(1, (hidden + questions_left - 1) / questions_left);
    }
    if (reveal >= hidden)
        return std::nullopt;
    if (hidden - reveal == 1 && startsWithUnderscore(qname))
        return std::nullopt;
    return MinimisedStep { dropLabels(qname, hidden - reveal), reveal > 1 };
}

namespace {

    bool isNsAt(const DnsRecord& rec, const DnsName& owner)
    {
        if (!rec.name.eql(owner))
            return false;
        if (rec.rtype == QType::rrsig) {
            const auto* sig = rec.rdata.getIf<RDataTag::rrsig>();
            return sig != nullptr && sig->type_covered == toU16(QType::ns);
        }
        return rec.rtype == QType::ns;
    }

    // NS records of a zone other than `zone`: a referral, downwards or (from a lame server) up.
    bool refersElsewhere(const DnsMessage& reply, const DnsName& zone)
    {
        return std::ranges::any_of(reply.records, [&](const DnsRecord& rec) {
            return rec.section == Section::authority && rec.rtype == QType::ns && !rec.name.eql(zone);
        });
    }

    // An SOA of the servers' zone, or one below it: the mark of a NODATA (RFC 2308 §2.2).
    bool hasZoneSoa(const DnsMessage& reply, const DnsName& zone)
    {
        return std::ranges::any_of(reply.records, [&](const DnsRecord& rec) {
            return rec.section == Section::authority && rec.rtype == QType::soa && rec.name.isPartOf(zone);
        });
    }

} // namespace

MinimisedReply classifyMinimisedReply(const DnsMessage& reply, const DnsName& asked, const DnsName& zone)
{
    const RCode rcode = reply.header.rcode();
    const bool has_answers = std::ranges::any_of(
        reply.records, [](const DnsRecord& rec) { return rec.section == Section::answer; });
    if (rcode != RCode::no_error && rcode != RCode::nx_domain)
        return MinimisedReply::ask_whole_after_error;
    if (rcode == RCode::nx_domain)
        return has_answers ? MinimisedReply::ask_whole_after_answer : MinimisedReply::judge_as_usual;
    if (has_answers) {
        const bool only_ns_asked = std::ranges::all_of(reply.records,
            [&](const DnsRecord& rec) { return rec.section != Section::answer || isNsAt(rec, asked); });
        return only_ns_asked ? MinimisedReply::reveal_more : MinimisedReply::ask_whole_after_answer;
    }
    if (refersElsewhere(reply, zone))
        return MinimisedReply::judge_as_usual;
    // An empty NOERROR counts only from a server that speaks for the zone: a lame one's is judged as
    // usual, and marks it.
    if (reply.header.aa() || hasZoneSoa(reply, zone))
        return MinimisedReply::reveal_more;
    return MinimisedReply::judge_as_usual;
}

} // namespace recursor
