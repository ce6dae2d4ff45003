#include "dnssec/denial.h"

#include "dnssec/nsec3.h"
#include "wire/type_names.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace recursor::dnssec {

namespace {

    using rdata::dnssec::NSEC;
    using rdata::misc::NSEC3;
    using Bitmap = std::span<const std::uint8_t>;

    constexpr std::uint8_t nsec3_sha1 = 1;
    constexpr std::uint8_t nsec3_opt_out = 0x01;
    constexpr std::size_t sha1_text_length = 32; // base32hex of 20 bytes, no padding
    constexpr std::size_t max_labels = 127; // 255 bytes hold at most 127 one-byte labels and the root

    // Where each label of a name starts in its wire form, the leftmost first; `at[count]` is the root's
    // zero byte. The name with the k rightmost labels (an ancestor, or the name itself) starts at
    // at[count - k].
    struct LabelOffsets {
        explicit LabelOffsets(std::span<const std::uint8_t> wire)
        {
            std::size_t pos = 0;
            while (pos < wire.size() && wire[pos] != 0 && count < max_labels) {
                at[count++] = static_cast<std::uint8_t>(pos);
                pos += wire[pos] + 1u;
            }
            at[count] = static_cast<std::uint8_t>(std::min<std::size_t>(pos, 255));
        }
        std::array<std::uint8_t, max_labels + 1> at {};
        std::size_t count = 0;
    };

    std::span<const std::uint8_t> labelAt(std::span<const std::uint8_t> wire, std::size_t offset)
    {
        return wire.subspan(offset + 1, wire[offset]);
    }

    int compareLabels(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
    {
        const auto order = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end(),
            [](std::uint8_t x, std::uint8_t y) { return dnsToLower(x) <=> dnsToLower(y); });
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }

    // The number of rightmost labels `a` and `b` share: the label count of their closest common ancestor.
    std::size_t commonLabels(const DnsName& a, const DnsName& b)
    {
        const auto wa = a.wireBytes();
        const auto wb = b.wireBytes();
        const LabelOffsets la(wa);
        const LabelOffsets lb(wb);
        std::size_t n = 0;
        while (n < la.count && n < lb.count
            && compareLabels(labelAt(wa, la.at[la.count - n - 1]), labelAt(wb, lb.at[lb.count - n - 1])) == 0)
            ++n;
        return n;
    }

    // Strictly below `ancestor`.
    bool isBelow(const DnsName& name, const DnsName& ancestor)
    {
        return name.isPartOf(ancestor) && !name.eql(ancestor);
    }

    // A zone cut seen from the parent (NS without SOA) or a DNAME: nothing below the owner belongs to the
    // zone that signed the record, so it denies nothing there (RFC 6840 §4.1).
    bool endsTheZoneBelow(Bitmap bitmap)
    {
        return bitmapHasType(bitmap, QType::dname)
            || (bitmapHasType(bitmap, QType::ns) && !bitmapHasType(bitmap, QType::soa));
    }

    // Whether a type bitmap has no bit set in any of its windows (RFC 4034 §4.1.2).
    bool listsNoType(Bitmap bitmap)
    {
        while (bitmap.size() >= 2) {
            const std::size_t length = std::min<std::size_t>(bitmap[1], bitmap.size() - 2);
            if (std::ranges::any_of(bitmap.subspan(2, length), [](std::uint8_t bits) { return bits != 0; }))
                return false;
            bitmap = bitmap.subspan(2 + length);
        }
        return true;
    }

    // Whether the types of a name that exists prove that it has no `qtype` RRset: neither the type nor a
    // CNAME (RFC 6840 §4.3). At a zone cut seen from the parent only DS can be denied (RFC 6840 §4.1); a DS
    // is denied by the parent, never by the child's apex (SOA), the root excepted, which has no parent (RFC
    // 4035 §5.2).
    bool bitmapDenies(Bitmap bitmap, QType qtype, bool is_root)
    {
        // No bitmap lists a meta-type or ANY (RFC 6895 §3.1), so a missing bit proves nothing of them.
        // ANY is denied only where the name holds no RRset at all: an empty non-terminal's NSEC3 lists
        // no type (RFC 5155 §7.1); an NSEC always lists itself and its RRSIG.
        if (isMetaType(qtype))
            return qtype == QType::any && listsNoType(bitmap);
        if (bitmapHasType(bitmap, qtype) || bitmapHasType(bitmap, QType::cname))
            return false;
        const bool has_soa = bitmapHasType(bitmap, QType::soa);
        if (qtype == QType::ds)
            return !has_soa || is_root;
        return has_soa || !bitmapHasType(bitmap, QType::ns);
    }

    // An NSEC of `zone`, or nothing.
    const NSEC* nsecOf(const DnsRecord& rec, const DnsName& zone)
    {
        if (rec.rtype != QType::nsec)
            return nullptr;
        const NSEC* nsec = rec.rdata.getIf<RDataTag::nsec>();
        return nsec && rec.name.isPartOf(zone) ? nsec : nullptr;
    }

    // Whether the NSEC shows that nothing is at `name`: it covers the name, and is not a zone cut or a
    // DNAME above it. The name may still be an empty non-terminal.
    bool nsecSpans(const DnsRecord& rec, const NSEC& nsec, const DnsName& name, const DnsName& zone)
    {
        return nsecCovers(rec.name, nsec.next_name, name, zone)
            && !(name.isPartOf(rec.name) && endsTheZoneBelow(nsec.type_bitmaps));
    }

    // Whether the NSEC proves that `name` does not exist: it spans the name, and its next name is not
    // below it (which would make it an empty non-terminal).
    bool nsecDenies(const DnsRecord& rec, const NSEC& nsec, const DnsName& name, const DnsName& zone)
    {
        return nsecSpans(rec, nsec, name, zone) && !isBelow(nsec.next_name, name);
    }

    bool anyNsec(const DnsName& name, const DnsName& zone, DenialRecords records,
        bool (*proves)(const DnsRecord&, const NSEC&, const DnsName&, const DnsName&))
    {
        return std::ranges::any_of(records, [&](const DnsRecord* rec) {
            const NSEC* nsec = nsecOf(*rec, zone);
            return nsec && proves(*rec, *nsec, name, zone);
        });
    }

    // The name with the `labels` rightmost labels of `name` (at most as many as it has).
    DnsName ancestorOf(const DnsName& name, std::size_t labels)
    {
        const auto wire = name.wireBytes();
        const LabelOffsets offsets(wire);
        const std::size_t k = std::min(labels, offsets.count);
        auto out = DnsName::fromWire(wire.subspan(offsets.at[offsets.count - k]));
        return out ? *out : DnsName::root();
    }

    // ---- NSEC (RFC 4035 §5.4, RFC 7129) ----

    // The closest encloser of `qname` an NSEC covering it shows (RFC 4035 §5.4): the longer of the
    // closest common ancestors of qname with the owner and with the next name, both of which exist. Every
    // name between it and qname lies inside the NSEC's span, so it does not exist.
    std::size_t nsecClosestEncloser(const DnsName& qname, const DnsRecord& rec, const NSEC& nsec)
    {
        return std::max(commonLabels(qname, rec.name), commonLabels(qname, nsec.next_name));
    }

    // Whether an NSEC denies `*.<the ancestor of qname with ce_labels labels>` (`match` empty), or matches
    // it without the type `match` holds.
    bool nsecWildcardProof(const DnsName& qname, std::size_t ce_labels, const DnsName& zone,
        DenialRecords records, std::optional<QType> match)
    {
        const auto wildcard = wildcardOf(ancestorOf(qname, ce_labels));
        if (!wildcard)
            return false;
        return std::ranges::any_of(records, [&](const DnsRecord* rec) {
            const NSEC* nsec = nsecOf(*rec, zone);
            if (!nsec)
                return false;
            if (match)
                return rec->name.eql(*wildcard) && bitmapDenies(nsec->type_bitmaps, *match, false);
            return nsecDenies(*rec, *nsec, *wildcard, zone);
        });
    }

    // A covering NSEC whose closest encloser lies at or below the apex and above qname (else qname would
    // be an empty non-terminal), with the wildcard there denied (`wildcard_type` empty) or matched
    // without that type.
    bool nsecAbsentWithWildcard(
        const DnsName& qname, const DnsName& zone, DenialRecords records, std::optional<QType> wildcard_type)
    {
        const std::size_t qlabels = qname.labelCount();
        const std::size_t zlabels = zone.labelCount();
        return std::ranges::any_of(records, [&](const DnsRecord* rec) {
            const NSEC* nsec = nsecOf(*rec, zone);
            if (!nsec || !nsecDenies(*rec, *nsec, qname, zone))
                return false;
            const std::size_t ce = nsecClosestEncloser(qname, *rec, *nsec);
            return ce >= zlabels && ce < qlabels
                && nsecWildcardProof(qname, ce, zone, records, wildcard_type);
        });
    }

    bool nsecNodata(const DnsName& qname, QType qtype, const DnsName& zone, DenialRecords records)
    {
        for (const DnsRecord* rec : records) {
            const NSEC* nsec = nsecOf(*rec, zone);
            if (!nsec)
                continue;
            if (rec->name.eql(qname) && bitmapDenies(nsec->type_bitmaps, qtype, qname.isRoot()))
                return true;
            // An empty non-terminal: nothing at qname, something below it (RFC 7129 §3.2, RFC 4035 §3.1.3.2).
            if (isBelow(nsec->next_name, qname) && nsecSpans(*rec, *nsec, qname, zone))
                return true;
        }
        return nsecAbsentWithWildcard(qname, zone, records, qtype);
    }

    // ---- NSEC3 (RFC 5155 §8) ----

    struct Nsec3Entry {
        const NSEC3* nsec3;
        Nsec3Digest owner;
        std::size_t params; // index of the first entry with the same hash parameters
    };

    // The NSEC3 records fit for proofs in `zone`: SHA-1, flags 0 or opt-out (RFC 5155 §8.2), the owner one
    // label below the apex and that label the base32hex of a SHA-1 digest, the next hash a digest too.
    std::vector<Nsec3Entry> nsec3Entries(const DnsName& zone, DenialRecords records)
    {
        std::vector<Nsec3Entry> entries;
        const std::size_t zlabels = zone.labelCount();
        for (const DnsRecord* rec : records) {
            const NSEC3* nsec3 = rec->rtype == QType::nsec3 ? rec->rdata.getIf<RDataTag::nsec3>() : nullptr;
            if (!nsec3 || nsec3->hash_algorithm != nsec3_sha1 || (nsec3->flags & ~nsec3_opt_out) != 0
                || nsec3->next_hashed.size() != Nsec3Digest {}.size() || !rec->name.isPartOf(zone)
                || rec->name.labelCount() != zlabels + 1)
                continue;
            const auto owner = nsec3OwnerHash(rec->name);
            if (!owner)
                continue;
            if (entries.empty())
                entries.reserve(records.size());
            Nsec3Entry entry { nsec3, *owner, entries.size() };
            for (const Nsec3Entry& other : entries) {
                if (other.nsec3->iterations == nsec3->iterations
                    && std::ranges::equal(other.nsec3->salt, nsec3->salt)) {
                    entry.params = other.params;
                    break;
                }
            }
            entries.push_back(entry);
        }
        return entries;
    }

    bool optOut(const Nsec3Entry& e)
    {
        return (e.nsec3->flags & nsec3_opt_out) != 0;
    }

    // Whether the hash lies strictly between owner and next hash; the last NSEC3 of the ring (next at or
    // before owner) covers the hashes after its owner and before its next hash.
    bool nsec3Covers(const Nsec3Entry& e, const Nsec3Digest& hash)
    {
        const std::span<const std::uint8_t> owner = e.owner;
        const std::span<const std::uint8_t> next = e.nsec3->next_hashed;
        const auto less = [](std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
            return std::ranges::lexicographical_compare(a, b);
        };
        if (less(owner, next))
            return less(owner, hash) && less(hash, next);
        return less(owner, hash) || less(hash, next);
    }

    // The NSEC3 records of one parameter set, asked about the ancestors of one name (the name included) and
    // the wildcards below them. Each name is hashed at most once.
    class Nsec3Chain {
    public:
        Nsec3Chain(std::span<const Nsec3Entry> entries, std::size_t params, const DnsName& base)
            : entries_(entries)
            , params_(params)
            , base_(base)
            , offsets_(base.wireBytes())
        {
        }

        std::size_t baseLabels() const { return offsets_.count; }

        // The NSEC3 whose owner is the hash of the ancestor with `labels` labels, or of its wildcard.
        const Nsec3Entry* matching(std::size_t labels, bool wildcard)
        {
            const Nsec3Digest* hash = hashOf(labels, wildcard);
            if (!hash)
                return nullptr;
            for (const Nsec3Entry& e : entries_) {
                if (e.params == params_ && e.owner == *hash)
                    return &e;
            }
            return nullptr;
        }

        // An NSEC3 covering that name's hash, one without opt-out if there is one.
        const Nsec3Entry* covering(std::size_t labels, bool wildcard)
        {
            const Nsec3Digest* hash = hashOf(labels, wildcard);
            if (!hash)
                return nullptr;
            const Nsec3Entry* found = nullptr;
            for (const Nsec3Entry& e : entries_) {
                if (e.params != params_ || !nsec3Covers(e, *hash))
                    continue;
                if (!optOut(e))
                    return &e;
                found = &e;
            }
            return found;
        }

    private:
        const Nsec3Digest* hashOf(std::size_t labels, bool wildcard)
        {
            if (labels > offsets_.count)
                return nullptr;
            const std::size_t slot = labels * 2 + (wildcard ? 1 : 0);
            if (!known_[slot]) {
                known_[slot] = true;
                hashed_[slot] = false;
                const auto wire = base_.wireBytes().subspan(offsets_.at[offsets_.count - labels]);
                std::optional<DnsName> name;
                if (auto ancestor = DnsName::fromWire(wire))
                    name = wildcard ? wildcardOf(*ancestor) : std::optional(*ancestor);
                const NSEC3& params = *entries_[params_].nsec3;
                if (name) {
                    if (const auto digest = nsec3Hash(*name, params.salt, params.iterations)) {
                        digests_[slot] = *digest;
                        hashed_[slot] = true;
                    }
                }
            }
            return hashed_[slot] ? &digests_[slot] : nullptr;
        }

        static constexpr std::size_t slots = (max_labels + 1) * 2;
        std::span<const Nsec3Entry> entries_;
        std::size_t params_;
        const DnsName& base_;
        LabelOffsets offsets_;
        std::array<bool, slots> known_ {};
        std::array<bool, slots> hashed_ {};
        std::array<Nsec3Digest, slots> digests_;
    };

    // RFC 5155 §8.3: the closest encloser (the longest ancestor of the base name, at or below the apex,
    // with a matching NSEC3; not the base name itself) and a covering NSEC3 for the next closer name.
    struct EncloserProof {
        std::size_t encloser_labels;
        bool opt_out; // the next closer name is covered only by an opt-out NSEC3
    };

    std::optional<EncloserProof> closestEncloserProof(Nsec3Chain& chain, std::size_t zone_labels)
    {
        const std::size_t qlabels = chain.baseLabels();
        for (std::size_t k = qlabels + 1; k-- > zone_labels;) {
            const Nsec3Entry* match = chain.matching(k, false);
            if (!match)
                continue;
            // The name exists; and a cut or DNAME cannot enclose names of this zone (RFC 6840 §4.1).
            if (k == qlabels || endsTheZoneBelow(match->nsec3->type_bitmaps))
                return std::nullopt;
            const Nsec3Entry* cover = chain.covering(k + 1, false);
            if (!cover)
                return std::nullopt;
            return EncloserProof { k, optOut(*cover) };
        }
        return std::nullopt;
    }

    Denial provenOrOptOut(bool opt_out)
    {
        return opt_out ? Denial::opt_out : Denial::proven;
    }

    // The better of two outcomes: proven, then opt_out, too_costly, unproven.
    Denial better(Denial a, Denial b)
    {
        return std::min(a, b);
    }

    // Runs `prove` over each parameter set of the zone's NSEC3 records that is cheap enough to hash and
    // keeps the best outcome; too_costly when nothing cheap proves anything but a costly set was there.
    template <typename Prove>
    Denial overNsec3Chains(const DnsName& base, const DnsName& zone, DenialRecords records, Prove&& prove)
    {
        const auto entries = nsec3Entries(zone, records);
        Denial result = Denial::unproven;
        bool costly = false;
        for (std::size_t i = 0; i < entries.size() && result != Denial::proven; ++i) {
            if (entries[i].params != i)
                continue;
            if (entries[i].nsec3->iterations > max_nsec3_iterations) {
                costly = true;
                continue;
            }
            Nsec3Chain chain(entries, i, base);
            result = better(result, prove(chain));
        }
        return result == Denial::unproven && costly ? Denial::too_costly : result;
    }

    template <typename NsecProof, typename Nsec3Proof>
    Denial prove(const DnsName& base, const DnsName& zone, DenialRecords records, NsecProof&& nsec_proof,
        Nsec3Proof&& nsec3_proof)
    {
        if (base.isEmpty() || zone.isEmpty() || !base.isPartOf(zone))
            return Denial::unproven;
        if (nsec_proof())
            return Denial::proven;
        return overNsec3Chains(base, zone, records, nsec3_proof);
    }

    // RFC 4035 §5.2, RFC 6840 §4.4: an insecure delegation needs NS, and neither DS nor SOA.
    NoDs noDsByBitmap(Bitmap bitmap)
    {
        if (bitmapHasType(bitmap, QType::ds) || bitmapHasType(bitmap, QType::soa))
            return NoDs::unproven;
        return bitmapHasType(bitmap, QType::ns) ? NoDs::insecure_delegation : NoDs::not_a_cut;
    }

    // What NSEC records matching `name` say; unproven too when they disagree. Nothing when none matches.
    std::optional<NoDs> nsecNoDsMatching(const DnsName& name, const DnsName& zone, DenialRecords records)
    {
        std::optional<NoDs> said;
        for (const DnsRecord* rec : records) {
            const NSEC* nsec = nsecOf(*rec, zone);
            if (!nsec || !rec->name.eql(name))
                continue;
            const NoDs says = noDsByBitmap(nsec->type_bitmaps);
            said = !said || *said == says ? says : NoDs::unproven;
        }
        return said;
    }

    // NSEC3 records of one parameter set on a DS question for the chain's base name.
    NoDs nsec3NoDs(Nsec3Chain& chain, std::size_t zone_labels)
    {
        if (const Nsec3Entry* match = chain.matching(chain.baseLabels(), false))
            return noDsByBitmap(match->nsec3->type_bitmaps);
        // RFC 5155 §8.9 (and §8.6): an opt-out span over the next closer name may hide an unsigned
        // delegation. Without opt-out the name does not exist, so it is no cut.
        const auto proof = closestEncloserProof(chain, zone_labels);
        if (!proof)
            return NoDs::unproven;
        return proof->opt_out ? NoDs::insecure_delegation : NoDs::not_a_cut;
    }

} // namespace

std::optional<DnsName> wildcardOf(const DnsName& name)
{
    const auto wire = name.wireBytes();
    if (wire.size() + 2 > DnsName::max_len)
        return std::nullopt;
    std::array<std::uint8_t, DnsName::max_len> buffer {};
    buffer[0] = 1;
    buffer[1] = '*';
    std::ranges::copy(wire, buffer.begin() + 2);
    auto out = DnsName::fromWire(std::span(buffer).first(wire.size() + 2));
    return out ? std::optional(*out) : std::nullopt;
}

std::optional<Nsec3Digest> nsec3OwnerHash(const DnsName& owner)
{
    const auto label = labelAt(owner.wireBytes(), 0);
    if (label.size() != sha1_text_length)
        return std::nullopt;
    const auto decoded
        = base32hexDecode(std::string_view(reinterpret_cast<const char*>(label.data()), label.size()));
    Nsec3Digest digest {};
    if (!decoded || decoded->size() != digest.size())
        return std::nullopt;
    std::ranges::copy(*decoded, digest.begin());
    return digest;
}

int canonicalCompare(const DnsName& a, const DnsName& b)
{
    const auto wa = a.wireBytes();
    const auto wb = b.wireBytes();
    const LabelOffsets la(wa);
    const LabelOffsets lb(wb);
    for (std::size_t n = 0; n < la.count && n < lb.count; ++n) {
        const int order
            = compareLabels(labelAt(wa, la.at[la.count - n - 1]), labelAt(wb, lb.at[lb.count - n - 1]));
        if (order != 0)
            return order;
    }
    return la.count == lb.count ? 0 : (la.count < lb.count ? -1 : 1);
}

bool bitmapHasType(std::span<const std::uint8_t> bitmap, QType type)
{
    const auto code = toU16(type);
    const std::uint8_t window = code >> 8;
    const std::size_t byte = (code & 0xFF) / 8;
    while (bitmap.size() >= 2) {
        const std::uint8_t block = bitmap[0];
        const std::size_t length = std::min<std::size_t>(bitmap[1], bitmap.size() - 2);
        if (block == window)
            return byte < length && (bitmap[2 + byte] & (0x80 >> (code % 8))) != 0;
        bitmap = bitmap.subspan(2 + length);
    }
    return false;
}

bool nsecCovers(const DnsName& owner, const DnsName& next, const DnsName& name, const DnsName& zone)
{
    if (!name.isPartOf(zone) || canonicalCompare(owner, name) >= 0)
        return false;
    if (canonicalCompare(owner, next) < 0)
        return canonicalCompare(name, next) < 0;
    // The last NSEC of the zone: its next name is the apex, else it is no last NSEC and covers nothing.
    return next.eql(zone);
}

Denial proveNxdomain(const DnsName& qname, const DnsName& zone, DenialRecords records)
{
    return prove(
        qname, zone, records, [&] { return nsecAbsentWithWildcard(qname, zone, records, std::nullopt); },
        [&](Nsec3Chain& chain) {
            const auto proof = closestEncloserProof(chain, zone.labelCount());
            if (!proof || !chain.covering(proof->encloser_labels, true))
                return Denial::unproven;
            return provenOrOptOut(proof->opt_out);
        });
}

Denial proveNodata(const DnsName& qname, QType qtype, const DnsName& zone, DenialRecords records)
{
    if (isMetaType(qtype) && qtype != QType::any)
        return Denial::unproven;
    return prove(
        qname, zone, records, [&] { return nsecNodata(qname, qtype, zone, records); },
        [&](Nsec3Chain& chain) {
            // RFC 5155 §8.5 and §8.6: the name exists (an empty non-terminal too has its NSEC3).
            if (const Nsec3Entry* match = chain.matching(chain.baseLabels(), false))
                return bitmapDenies(match->nsec3->type_bitmaps, qtype, qname.isRoot()) ? Denial::proven
                                                                                       : Denial::unproven;
            const auto proof = closestEncloserProof(chain, zone.labelCount());
            if (!proof)
                return Denial::unproven;
            Denial result = Denial::unproven;
            // §8.7: the wildcard at the closest encloser without the type.
            if (const Nsec3Entry* wildcard = chain.matching(proof->encloser_labels, true);
                wildcard && bitmapDenies(wildcard->nsec3->type_bitmaps, qtype, false))
                result = provenOrOptOut(proof->opt_out);
            // §8.6: no DS under an opt-out span.
            if (qtype == QType::ds && proof->opt_out)
                result = better(result, Denial::opt_out);
            return result;
        });
}

Denial proveWildcardAnswer(
    const DnsName& qname, std::uint8_t rrsig_labels, const DnsName& zone, DenialRecords records)
{
    // The wildcard's parent lies at or below the apex, strictly above qname.
    if (rrsig_labels >= qname.labelCount() || rrsig_labels < zone.labelCount())
        return Denial::unproven;
    const DnsName next_closer = ancestorOf(qname, rrsig_labels + 1u);
    return prove(
        qname, zone, records, [&] { return anyNsec(next_closer, zone, records, nsecDenies); },
        [&](Nsec3Chain& chain) {
            const Nsec3Entry* cover = chain.covering(rrsig_labels + 1u, false);
            return cover ? provenOrOptOut(optOut(*cover)) : Denial::unproven;
        });
}

NoDs proveNoDs(const DnsName& name, const DnsName& zone, DenialRecords records)
{
    if (name.isEmpty() || zone.isEmpty() || !name.isPartOf(zone))
        return NoDs::unproven;
    if (const auto said = nsecNoDsMatching(name, zone, records))
        return *said;
    // Nothing at `name` (absent, or an empty non-terminal): no delegation there.
    if (anyNsec(name, zone, records, nsecSpans))
        return NoDs::not_a_cut;
    const auto entries = nsec3Entries(zone, records);
    bool costly = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].params != i)
            continue;
        if (entries[i].nsec3->iterations > max_nsec3_iterations) {
            costly = true;
            continue;
        }
        Nsec3Chain chain(entries, i, name);
        if (const NoDs says = nsec3NoDs(chain, zone.labelCount()); says != NoDs::unproven)
            return says;
    }
    return costly ? NoDs::insecure_delegation : NoDs::unproven;
}

} // namespace recursor::dnssec
