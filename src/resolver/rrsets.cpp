#include "resolver/rrsets.h"

#include <algorithm>

namespace recursor {

using rdata::dnssec::RRSIG;

bool sameRrset(const DnsRecord& a, const DnsRecord& b)
{
    return a.rtype == b.rtype && a.rclass == b.rclass && a.name.eql(b.name);
}

std::vector<DnsRecord> rrsetOf(RecordRefs records, const DnsName& owner, QType type)
{
    std::vector<DnsRecord> out;
    for (const DnsRecord* rec : records) {
        if (rec->rtype == type && rec->rclass == QClass::in && rec->name.eql(owner))
            out.push_back(*rec);
    }
    return out;
}

const RRSIG* signatureOver(const DnsRecord& rec, const DnsRecord& first)
{
    const RRSIG* sig = rec.rdata.getIf<RDataTag::rrsig>();
    if (sig && rec.rtype == QType::rrsig && rec.rclass == first.rclass && rec.name.eql(first.name)
        && sig->type_covered == toU16(first.rtype))
        return sig;
    return nullptr;
}

std::vector<const RRSIG*> signaturesOver(RecordRefs records, const DnsRecord& first, const DnsName& signer)
{
    std::vector<const RRSIG*> out;
    for (const DnsRecord* rec : records) {
        if (const RRSIG* sig = signatureOver(*rec, first); sig && sig->signer_name.eql(signer))
            out.push_back(sig);
    }
    return out;
}

std::optional<DnsName> signerOf(RecordRefs records, const DnsRecord& first)
{
    for (const DnsRecord* rec : records) {
        if (const RRSIG* sig = signatureOver(*rec, first); sig && first.name.isPartOf(sig->signer_name))
            return sig->signer_name;
    }
    return std::nullopt;
}

std::vector<std::vector<DnsRecord>> groupRrsets(RecordRefs records)
{
    std::vector<std::vector<DnsRecord>> groups;
    for (const DnsRecord* rec : records) {
        if (rec->rtype == QType::rrsig)
            continue;
        auto group = std::find_if(groups.begin(), groups.end(),
            [&](const std::vector<DnsRecord>& g) { return sameRrset(g.front(), *rec); });
        if (group == groups.end())
            groups.emplace_back(1, *rec);
        else
            group->push_back(*rec);
    }
    return groups;
}

std::vector<const DnsRecord*> withSignatures(RecordRefs records, RecordRefs members)
{
    std::vector<const DnsRecord*> out(members.begin(), members.end());
    for (const DnsRecord* rec : records) {
        if (std::ranges::any_of(
                members, [&](const DnsRecord* m) { return signatureOver(*rec, *m) != nullptr; }))
            out.push_back(rec);
    }
    return out;
}

} // namespace recursor
