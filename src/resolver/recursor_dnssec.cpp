#include "resolver/recursor_dnssec.h"

#include "dnssec/keytag.h"
#include "dnssec/nsec3.h"
#include "dnssec/validator.h"
#include "resolver/recursor.h"

#include <algorithm>
#include <optional>

namespace recursor {

namespace {

    using rdata::dnssec::DNSKEY;
    using rdata::dnssec::DS;
    using rdata::dnssec::RRSIG;
    using rdata::misc::NSEC3;
    using RecordRefs = std::span<const DnsRecord* const>;

    constexpr std::uint8_t nsec3_sha1 = 1;
    constexpr std::uint8_t nsec3_opt_out = 0x01;

    // A response fetched for the chain; `msg` views `packet`, whose heap block moves with it.
    struct Fetched {
        std::vector<std::uint8_t> packet;
        DnsMessage msg;
        std::vector<const DnsRecord*> answer;
        std::vector<const DnsRecord*> authority;
    };

    bool sameRrset(const DnsRecord& a, const DnsRecord& b)
    {
        return a.rtype == b.rtype && a.rclass == b.rclass && a.name.eql(b.name);
    }

    // Copies of the records of `records` with this owner and type, in class IN.
    std::vector<DnsRecord> rrsetOf(RecordRefs records, const DnsName& owner, QType type)
    {
        std::vector<DnsRecord> out;
        for (const DnsRecord* rec : records) {
            if (rec->rtype == type && rec->rclass == QClass::in && rec->name.eql(owner))
                out.push_back(*rec);
        }
        return out;
    }

    // The RRSIG of `rec` when it covers the RRset of `first` (RFC 4035 §5.3.1: same owner and class, the
    // type covered), else nothing.
    const RRSIG* signatureOver(const DnsRecord& rec, const DnsRecord& first)
    {
        const RRSIG* sig = rec.rdata.getIf<RDataTag::rrsig>();
        if (sig && rec.rtype == QType::rrsig && rec.rclass == first.rclass && rec.name.eql(first.name)
            && sig->type_covered == toU16(first.rtype))
            return sig;
        return nullptr;
    }

    // The RRSIGs over the RRset of `first` by `signer`.
    std::vector<const RRSIG*> signaturesOver(
        RecordRefs records, const DnsRecord& first, const DnsName& signer)
    {
        std::vector<const RRSIG*> out;
        for (const DnsRecord* rec : records) {
            if (const RRSIG* sig = signatureOver(*rec, first); sig && sig->signer_name.eql(signer))
                out.push_back(sig);
        }
        return out;
    }

    // The signer of the first RRSIG over the RRset of `first` whose signer encloses the owner.
    std::optional<DnsName> signerOf(RecordRefs records, const DnsRecord& first)
    {
        for (const DnsRecord* rec : records) {
            if (const RRSIG* sig = signatureOver(*rec, first); sig && first.name.isPartOf(sig->signer_name))
                return sig->signer_name;
        }
        return std::nullopt;
    }

    // The answer records grouped into RRsets, RRSIGs left out, in order of first appearance.
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

    // RFC 4034 §4.1.2.
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

    // Allocation failures are thrown, as the standard containers do, and caught at the module's edge.
    void addKey(ZoneKeys& keys, const DNSKEY& key)
    {
        auto owned = key.copyOwned();
        if (!owned)
            throw std::bad_alloc();
        keys.keys.push_back(std::move(*owned));
        keys.keytags.push_back(dnssec::computeKeytag(key));
    }

    std::shared_ptr<const ZoneKeys> keysOf(std::span<const DnsRecord> dnskeys, const DnsName& zone)
    {
        auto keys = std::make_shared<ZoneKeys>();
        keys->zone = zone;
        for (const DnsRecord& rec : dnskeys)
            addKey(*keys, rec.rdata.get<RDataTag::dnskey>());
        return keys;
    }

    bool sameKey(const DNSKEY& a, const DNSKEY& b)
    {
        return a.flags == b.flags && a.protocol == b.protocol && a.algorithm == b.algorithm
            && std::ranges::equal(a.public_key, b.public_key);
    }

    bool isUsableDs(const DS& ds)
    {
        return isSupported(static_cast<DnssecAlgorithm>(ds.algorithm))
            && ds.digest_type != static_cast<std::uint8_t>(DigestType::gost) && digestLength(ds.digest_type);
    }

    // How a parent's answer without DS speaks of the child name.
    enum class DsDenial : std::uint8_t {
        insecure_delegation, // a delegation proven to have no DS
        not_a_cut, // a name of the parent's zone proven to be no delegation
        unproven,
    };

    DsDenial denialByBitmap(std::span<const std::uint8_t> bitmap)
    {
        if (bitmapHasType(bitmap, QType::ds) || bitmapHasType(bitmap, QType::soa))
            return DsDenial::unproven;
        return bitmapHasType(bitmap, QType::ns) ? DsDenial::insecure_delegation : DsDenial::not_a_cut;
    }

    std::uint32_t minTtl(std::span<const DnsRecord> records, std::uint32_t ttl)
    {
        for (const DnsRecord& rec : records)
            ttl = std::min(ttl, rec.ttl);
        return ttl;
    }

    // A negative answer whose SOA belongs to a zone above `name`: `name` is no zone apex.
    bool answeredByEnclosingZone(const DnsName& name, const Fetched& fetched)
    {
        if (!fetched.answer.empty())
            return false;
        return std::ranges::any_of(fetched.authority, [&](const DnsRecord* rec) {
            return rec->rtype == QType::soa && !rec->name.eql(name) && name.isPartOf(rec->name);
        });
    }

    // The labels of a name, the root left out, from the leftmost.
    std::vector<std::span<const std::uint8_t>> labelsOf(const DnsName& name)
    {
        std::vector<std::span<const std::uint8_t>> labels;
        const auto wire = name.wireBytes();
        for (std::size_t pos = 0; pos < wire.size() && wire[pos] != 0; pos += wire[pos] + 1u)
            labels.push_back(wire.subspan(pos + 1, wire[pos]));
        return labels;
    }

    // RFC 4034 §6.1: label by label from the root, each label's lower-cased bytes, a missing label first.
    int canonicalCompare(const DnsName& a, const DnsName& b)
    {
        const auto la = labelsOf(a);
        const auto lb = labelsOf(b);
        for (auto ia = la.rbegin(), ib = lb.rbegin(); ia != la.rend() && ib != lb.rend(); ++ia, ++ib) {
            const auto order = std::lexicographical_compare_three_way(ia->begin(), ia->end(), ib->begin(),
                ib->end(), [](std::uint8_t x, std::uint8_t y) { return dnsToLower(x) <=> dnsToLower(y); });
            if (order != 0)
                return order < 0 ? -1 : 1;
        }
        return la.size() == lb.size() ? 0 : (la.size() < lb.size() ? -1 : 1);
    }

    // Whether an NSEC proves that `name` does not exist: it lies strictly between owner and next, the
    // last NSEC of a zone (whose next name is the apex) covering everything after its owner.
    bool nsecCovers(const DnsRecord& nsec, const DnsName& name)
    {
        const DnsName& next = nsec.rdata.get<RDataTag::nsec>().next_name;
        if (canonicalCompare(nsec.name, name) >= 0)
            return false;
        return canonicalCompare(name, next) < 0 || canonicalCompare(nsec.name, next) >= 0;
    }

    // Whether a signature with this labels field made `owner` from a wildcard (RFC 4035 §5.3.2).
    bool isWildcardExpansion(const DnsName& owner, std::uint8_t labels)
    {
        const auto wire = owner.wireBytes();
        const bool starred = wire.size() >= 2 && wire[0] == 1 && wire[1] == '*';
        return labels < owner.labelCount() - (starred ? 1 : 0);
    }

    struct Nsec3Candidate {
        const DnsRecord* record;
        const NSEC3* nsec3;
        std::vector<std::uint8_t> owner_hash;
    };

    // The NSEC3 records of one zone in a response that share the first one's SHA-1 parameters.
    struct Nsec3Chain {
        static Nsec3Chain of(RecordRefs authority, const DnsName& zone)
        {
            Nsec3Chain chain;
            for (const DnsRecord* rec : authority) {
                const NSEC3* nsec3 = rec->rdata.getIf<RDataTag::nsec3>();
                DnsName parent = rec->name;
                if (!nsec3 || rec->rtype != QType::nsec3 || nsec3->hash_algorithm != nsec3_sha1
                    || !parent.chopOff() || !parent.eql(zone))
                    continue;
                if (!chain.records.empty()
                    && (nsec3->iterations != chain.params().iterations
                        || !std::ranges::equal(nsec3->salt, chain.params().salt)))
                    continue;
                const auto label = rec->name.wireBytes().subspan(1, rec->name.wireBytes()[0]);
                auto hash = dnssec::base32hexDecode(
                    std::string_view(reinterpret_cast<const char*>(label.data()), label.size()));
                if (hash && hash->size() == nsec3->next_hashed.size())
                    chain.records.push_back({ rec, nsec3, std::move(*hash) });
            }
            return chain;
        }

        const NSEC3& params() const { return *records.front().nsec3; }
        // Hashing is not worth its cost beyond this (RFC 9276 §3.2).
        bool tooCostly() const { return params().iterations > max_nsec3_iterations; }
        std::optional<dnssec::Nsec3Digest> hash(const DnsName& name) const
        {
            return dnssec::nsec3Hash(name, params().salt, params().iterations);
        }
        const Nsec3Candidate* matching(const DnsName& name) const
        {
            const auto digest = hash(name);
            for (const auto& c : records) {
                if (digest && std::ranges::equal(c.owner_hash, *digest))
                    return &c;
            }
            return nullptr;
        }

        std::vector<Nsec3Candidate> records;
    };

    bool covers(const Nsec3Candidate& c, std::span<const std::uint8_t> hash)
    {
        const std::span<const std::uint8_t> owner = c.owner_hash;
        const std::span<const std::uint8_t> next = c.nsec3->next_hashed;
        const auto less = [](std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
            return std::ranges::lexicographical_compare(a, b);
        };
        if (less(owner, next))
            return less(owner, hash) && less(hash, next);
        return less(owner, hash) || less(hash, next); // the last NSEC3 of the chain wraps around
    }

} // namespace

// A signature check that succeeded: how long its RRset may be trusted, and the signature's labels field.
struct Verified {
    std::uint32_t ttl { 0 };
    std::uint8_t labels { 0 };
};

// What a response proves about the name a wildcard answer was made for.
enum class WildcardProof : std::uint8_t { proven, unproven, too_costly };

class ChainValidator {
public:
    ChainValidator(
        Recursor& recursor, const UpstreamEngine& engine, ResolutionBudget& budget, std::uint8_t depth)
        : recursor_(recursor)
        , engine_(engine)
        , budget_(budget)
        , depth_(depth)
        , now_(recursor.cache().now())
    {
    }

    ResolveResultOr<bool> validateAnswer(
        const DnsName& serving_zone, RecordRefs answers, RecordRefs authority)
    {
        const auto rrsets = groupRrsets(answers);
        bool secure = !rrsets.empty();
        for (const auto& rrset : rrsets) {
            const bool rrset_secure = TRY(validateRrset(serving_zone, answers, authority, rrset));
            secure = secure && rrset_secure;
        }
        return secure;
    }

private:
    ResolveResultOr<bool> validateRrset(const DnsName& serving_zone, RecordRefs answers, RecordRefs authority,
        std::span<const DnsRecord> rrset)
    {
        const DnsRecord& first = rrset.front();
        if (const auto signer = signerOf(answers, first)) {
            const ZoneSecurity security = TRY(securityOf(*signer));
            if (!security.secure())
                return false;
            // A signer that is no zone apex of the chain cannot have signed anything.
            const auto verified = security.keys->zone.eql(*signer)
                ? TRY(verify(rrset, answers, *security.keys))
                : std::nullopt;
            if (!verified)
                return std::unexpected(ResolveError::DnssecBogus);
            if (!isWildcardExpansion(first.name, verified->labels))
                return true;
            switch (TRY(proveWildcardExpansion(first.name, verified->labels, authority, *security.keys))) {
            case WildcardProof::proven:
                return true;
            case WildcardProof::too_costly:
                return false;
            case WildcardProof::unproven:
                break;
            }
            return std::unexpected(ResolveError::DnssecBogus);
        }
        // Unsigned: fine only below a delegation proven to be unsigned, which may lie between the zone of
        // the servers and the owner when one server holds both.
        if (TRY(securityOf(serving_zone)).secure() && TRY(securityOf(first.name)).secure())
            return std::unexpected(ResolveError::DnssecBogus);
        return false;
    }

    // A wildcard answer holds only with a signed proof that the next closer name does not exist, so that
    // no closer name could have answered instead (RFC 4035 §5.3.4, RFC 5155 §8.8).
    ResolveResultOr<WildcardProof> proveWildcardExpansion(
        const DnsName& owner, std::uint8_t labels, RecordRefs authority, const ZoneKeys& keys)
    {
        DnsName next_closer = owner;
        for (std::size_t n = owner.labelCount(); n > labels + 1u; --n)
            next_closer.chopOff();
        for (const DnsRecord* rec : authority) {
            if (rec->rtype == QType::nsec && rec->rdata.tag() == RDataTag::nsec
                && rec->name.isPartOf(keys.zone) && nsecCovers(*rec, next_closer)
                && TRY(verify(rrsetOf(authority, rec->name, QType::nsec), authority, keys)))
                return WildcardProof::proven;
        }
        const auto chain = Nsec3Chain::of(authority, keys.zone);
        if (chain.records.empty())
            return WildcardProof::unproven;
        if (chain.tooCostly())
            return WildcardProof::too_costly;
        const auto hash = chain.hash(next_closer);
        std::uint32_t ttl = max_zone_security_ttl;
        for (const auto& c : chain.records) {
            if (hash && covers(c, *hash) && TRY(verifyCandidate(c, authority, keys, ttl)))
                return WildcardProof::proven;
        }
        return WildcardProof::unproven;
    }

    // Climbs to the closest name whose security is known (cached, or the root), then walks back down.
    ResolveResultOr<ZoneSecurity> securityOf(const DnsName& name)
    {
        std::vector<DnsName> below;
        DnsName n = name;
        std::optional<ZoneSecurity> known;
        while (!(known = recursor_.cache().findZoneSecurity(n))) {
            if (n.isRoot()) {
                known = TRY(rootSecurity());
                break;
            }
            below.push_back(n);
            n.chopOff();
        }
        ZoneSecurity security = std::move(*known);
        for (auto it = below.rbegin(); it != below.rend() && security.secure(); ++it) {
            if (++chain_levels_ > max_chain_levels)
                return std::unexpected(ResolveError::ServFail);
            security = TRY(childSecurity(*it, security));
        }
        return security;
    }

    // The root's DNSKEY RRset, accepted when a key that an anchor names verifies it. When it cannot be
    // had, anchors given as keys stand in for it (not remembered); anchors given as DS cannot.
    ResolveResultOr<ZoneSecurity> rootSecurity()
    {
        const DnsName root = DnsName::root();
        const dnssec::TrustAnchorStore& anchors = recursor_.trustAnchors();
        if (auto fetched = TRY(fetch(root, QType::dnskey))) {
            const auto keyset = rrsetOf(fetched->answer, root, QType::dnskey);
            for (const DnsRecord& candidate : keyset) {
                if (!isAnchored(candidate.rdata.get<RDataTag::dnskey>()))
                    continue;
                if (auto verified = TRY(verify(keyset, fetched->answer, *keysOf({ &candidate, 1 }, root))))
                    return remember(root, ZoneSecurity { keysOf(keyset, root) }, verified->ttl);
            }
        }
        if (anchors.rootKeys().empty())
            return std::unexpected(ResolveError::DnssecBogus);
        auto keys = std::make_shared<ZoneKeys>();
        keys->zone = root;
        for (const auto& anchor : anchors.rootKeys())
            addKey(*keys, anchor.view());
        return ZoneSecurity { std::move(keys) };
    }

    bool isAnchored(const DNSKEY& key) const
    {
        const dnssec::TrustAnchorStore& anchors = recursor_.trustAnchors();
        const DnsName root = DnsName::root();
        return std::ranges::any_of(anchors.rootKeys(), [&](const auto& a) { return sameKey(a.view(), key); })
            || std::ranges::any_of(
                anchors.rootDs(), [&](const auto& ds) { return dnssec::validateDS(ds.view(), key, root); });
    }

    // A child of a signed zone: signed when a DS the parent signed leads to its keys (RFC 4035 §5.2).
    ResolveResultOr<ZoneSecurity> childSecurity(const DnsName& name, const ZoneSecurity& parent)
    {
        auto ds_response = TRY(fetch(name, QType::ds));
        if (!ds_response)
            return std::unexpected(ResolveError::ServFail);
        const auto ds_set = rrsetOf(ds_response->answer, name, QType::ds);
        if (ds_set.empty())
            return securityWithoutDs(name, parent, *ds_response);
        const auto ds_verified = TRY(verify(ds_set, ds_response->answer, *parent.keys));
        if (!ds_verified)
            return std::unexpected(ResolveError::DnssecBogus);
        std::vector<DS> usable;
        for (const DnsRecord& rec : ds_set) {
            if (isUsableDs(rec.rdata.get<RDataTag::ds>()))
                usable.push_back(rec.rdata.get<RDataTag::ds>());
        }
        // Only algorithms or digests this validator lacks: insecure (RFC 4035 §5.2, RFC 6840 §5.2).
        if (usable.empty())
            return remember(name, ZoneSecurity {}, ds_verified->ttl);
        return securityFromDs(name, usable, ds_verified->ttl);
    }

    ResolveResultOr<ZoneSecurity> securityFromDs(
        const DnsName& name, std::span<const DS> ds_set, std::uint32_t ds_ttl)
    {
        auto key_response = TRY(fetch(name, QType::dnskey));
        if (!key_response)
            return std::unexpected(ResolveError::ServFail);
        const auto keyset = rrsetOf(key_response->answer, name, QType::dnskey);
        for (const DnsRecord& candidate : keyset) {
            const DNSKEY& key = candidate.rdata.get<RDataTag::dnskey>();
            if (std::ranges::none_of(ds_set, [&](const DS& ds) { return dnssec::validateDS(ds, key, name); }))
                continue;
            if (auto verified = TRY(verify(keyset, key_response->answer, *keysOf({ &candidate, 1 }, name))))
                return remember(name, ZoneSecurity { keysOf(keyset, name) }, std::min(verified->ttl, ds_ttl));
        }
        return std::unexpected(ResolveError::DnssecBogus);
    }

    // The parent's answer holds no DS: an insecure delegation only with a signed proof (RFC 4035 §5.2,
    // RFC 5155 §8.6 and §8.9). A name that is no zone apex keeps the parent's keys.
    ResolveResultOr<ZoneSecurity> securityWithoutDs(
        const DnsName& name, const ZoneSecurity& parent, const Fetched& ds_response)
    {
        std::uint32_t ttl = max_zone_security_ttl;
        switch (TRY(dsDenial(name, ds_response.authority, *parent.keys, ttl))) {
        case DsDenial::insecure_delegation:
            return remember(name, ZoneSecurity {}, ttl);
        case DsDenial::not_a_cut:
            return remember(name, parent, ttl);
        case DsDenial::unproven:
            break;
        }
        auto key_response = TRY(fetch(name, QType::dnskey));
        if (key_response && answeredByEnclosingZone(name, *key_response))
            return parent;
        return std::unexpected(ResolveError::DnssecBogus);
    }

    ResolveResultOr<DsDenial> dsDenial(
        const DnsName& name, RecordRefs authority, const ZoneKeys& keys, std::uint32_t& ttl)
    {
        const auto nsec = rrsetOf(authority, name, QType::nsec);
        if (!nsec.empty()) {
            const auto verified = TRY(verify(nsec, authority, keys));
            if (!verified)
                return DsDenial::unproven;
            ttl = verified->ttl;
            return denialByBitmap(nsec.front().rdata.get<RDataTag::nsec>().type_bitmaps);
        }
        return nsec3Denial(name, authority, keys, ttl);
    }

    ResolveResultOr<DsDenial> nsec3Denial(
        const DnsName& name, RecordRefs authority, const ZoneKeys& keys, std::uint32_t& ttl)
    {
        const auto chain = Nsec3Chain::of(authority, keys.zone);
        if (chain.records.empty())
            return DsDenial::unproven;
        if (chain.tooCostly())
            return DsDenial::insecure_delegation;
        if (const Nsec3Candidate* match = chain.matching(name)) {
            if (!TRY(verifyCandidate(*match, authority, keys, ttl)))
                return DsDenial::unproven;
            return denialByBitmap(match->nsec3->type_bitmaps);
        }
        // Opt-out: the closest provable encloser matched, the next closer name covered by an opt-out NSEC3.
        DnsName next_closer = name;
        DnsName encloser = name;
        while (encloser.chopOff() && encloser.isPartOf(keys.zone)) {
            if (const Nsec3Candidate* match = chain.matching(encloser)) {
                const auto hash = chain.hash(next_closer);
                for (const auto& c : chain.records) {
                    if (hash && (c.nsec3->flags & nsec3_opt_out) != 0 && covers(c, *hash)
                        && TRY(verifyCandidate(*match, authority, keys, ttl))
                        && TRY(verifyCandidate(c, authority, keys, ttl)))
                        return DsDenial::insecure_delegation;
                }
                return DsDenial::unproven;
            }
            next_closer = encloser;
        }
        return DsDenial::unproven;
    }

    ResolveResultOr<bool> verifyCandidate(
        const Nsec3Candidate& c, RecordRefs authority, const ZoneKeys& keys, std::uint32_t& ttl)
    {
        const auto verified = TRY(verify(rrsetOf(authority, c.record->name, QType::nsec3), authority, keys));
        if (verified)
            ttl = std::min(ttl, verified->ttl);
        return verified.has_value();
    }

    // Whether a signature by `keys` over `rrset` verifies; if so, how long the RRset may be trusted.
    ResolveResultOr<std::optional<Verified>> verify(
        std::span<const DnsRecord> rrset, RecordRefs sig_source, const ZoneKeys& keys)
    {
        if (rrset.empty())
            return std::nullopt;
        int failures = 0;
        const auto now = static_cast<std::uint32_t>(now_);
        for (const RRSIG* sig : signaturesOver(sig_source, rrset.front(), keys.zone)) {
            if (now < sig->sig_inception || now > sig->sig_expiration)
                continue;
            for (std::size_t i = 0; i < keys.keys.size(); ++i) {
                const DNSKEY key = keys.keys[i].view();
                if (key.algorithm != sig->algorithm || keys.keytags[i] != sig->keytag)
                    continue;
                if (failures >= max_failed_verifications_per_rrset || verifications_left_ <= 0)
                    return std::unexpected(ResolveError::DnssecBogus);
                --verifications_left_;
                const auto verified = dnssec::verifyRRSIG(*sig, key.public_key, rrset, now_);
                if (verified && *verified)
                    return Verified { minTtl(rrset, std::min(sig->original_ttl, sig->sig_expiration - now)),
                        sig->labels };
                if (!verified && verified.error() == dnssec::DnssecError::OutOfMemory)
                    return std::unexpected(ResolveError::OutOfMemory);
                ++failures;
            }
        }
        return std::nullopt;
    }

    ResolveResultOr<std::optional<Fetched>> fetch(const DnsName& qname, QType qtype)
    {
        auto result = recursor_.resolveFromNetworkWithPolicy(
            engine_, qname, qtype, depth_ + 1, ResolutionPolicy::helper(), budget_);
        if (!result) {
            if (result.error() == ResolveError::OutOfMemory)
                return std::unexpected(ResolveError::OutOfMemory);
            return std::nullopt;
        }
        Fetched fetched;
        fetched.packet = std::move(result->packet);
        auto msg = DnsMessage::parse(fetched.packet);
        if (!msg)
            return std::nullopt;
        fetched.msg = std::move(*msg);
        for (const DnsRecord& rec : fetched.msg.records) {
            if (rec.section == Section::answer)
                fetched.answer.push_back(&rec);
            else if (rec.section == Section::authority)
                fetched.authority.push_back(&rec);
        }
        return fetched;
    }

    ResolveResultOr<ZoneSecurity> remember(const DnsName& name, ZoneSecurity security, std::uint32_t ttl)
    {
        TRY_VOID(recursor_.cache().putZoneSecurity(name, security, std::min(ttl, max_zone_security_ttl)));
        return security;
    }

    Recursor& recursor_;
    const UpstreamEngine& engine_;
    ResolutionBudget& budget_;
    std::uint8_t depth_;
    std::int64_t now_;
    int verifications_left_ { max_verifications_per_response };
    int chain_levels_ { 0 };
};

ResolveResultOr<bool> validateAnswerRrsets(Recursor& recursor, const UpstreamEngine& engine,
    ResolutionBudget& budget, const QueryContext& ctx, std::span<const DnsRecord* const> answers,
    const DnsMessage& response)
{
    try {
        std::vector<const DnsRecord*> authority;
        for (const DnsRecord& rec : response.records) {
            if (rec.section == Section::authority)
                authority.push_back(&rec);
        }
        ChainValidator validator(recursor, engine, budget, ctx.depth);
        return validator.validateAnswer(ctx.zone, answers, authority);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

} // namespace recursor
