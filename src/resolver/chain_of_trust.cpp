#include "resolver/chain_of_trust.h"

#include "dnssec/keytag.h"
#include "dnssec/signature_window.h"
#include "dnssec/validator.h"
#include "resolver/chain_fetch.h"
#include "resolver/resolution.h"
#include "resolver/rrsets.h"
#include "wire/type_names.h"

#include <algorithm>
#include <optional>

namespace recursor {

namespace {

    using rdata::dnssec::DNSKEY;
    using rdata::dnssec::DS;
    using rdata::dnssec::RRSIG;

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
        for (const DnsRecord& rec : dnskeys) {
            // Only zone keys that are not revoked sign anything (RFC 4034 §2.1.1, RFC 5011 §2.1).
            if (dnssec::isUsableZoneKey(rec.rdata.get<RDataTag::dnskey>()))
                addKey(*keys, rec.rdata.get<RDataTag::dnskey>());
        }
        return keys;
    }

    bool sameKey(const DNSKEY& a, const DNSKEY& b)
    {
        return a.flags == b.flags && a.protocol == b.protocol && a.algorithm == b.algorithm
            && std::ranges::equal(a.public_key, b.public_key);
    }

    std::vector<DS> usableDigests(std::span<const DnsRecord> ds_set)
    {
        std::vector<DS> all;
        for (const DnsRecord& rec : ds_set)
            all.push_back(rec.rdata.get<RDataTag::ds>());
        return dnssec::usableDsRecords(all);
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

    // Whether a signature with this labels field made `owner` from a wildcard (RFC 4035 §5.3.2).
    bool isWildcardExpansion(const DnsName& owner, std::uint8_t labels)
    {
        const auto wire = owner.wireBytes();
        const bool starred = wire.size() >= 2 && wire[0] == 1 && wire[1] == '*';
        return labels < owner.labelCount() - (starred ? 1 : 0);
    }

} // namespace

// A signature check that succeeded: how long its RRset may be trusted, and the signature's labels field.
struct Verified {
    std::uint32_t ttl { 0 };
    std::uint8_t labels { 0 };
};

// Whether a signature may have made its RRset from a wildcard. Denial records and the SOA of a negative
// answer never are: their signatures must name their own owner, or a real record could be moved to any
// owner below its wildcard's parent (RFC 4035 §5.3.4, RFC 4592 §4.4).
enum class Owner : std::uint8_t { own_only, may_expand };

// A signature check's outcome: how long the RRset may be trusted, or why no signature verified.
using Verification = std::expected<Verified, ResolveError>;

class ChainValidator {
public:
    ChainValidator(Resolution& resolution, std::uint8_t depth, std::span<const ReferralDs> referral_ds)
        : resolution_(resolution)
        , budget_(resolution.budget())
        , now_(wallClockSeconds())
        , fetch_(resolution, depth, referral_ds)
    {
    }

    ResolveResultOr<StepVerdict> validateAnswer(
        const DnsName& serving_zone, RecordRefs answers, RecordRefs authority)
    {
        const auto rrsets = groupRrsets(answers);
        StepVerdict verdict { !rrsets.empty() };
        for (const auto& rrset : rrsets) {
            const StepVerdict one = TRY(validateRrset(serving_zone, answers, authority, rrset));
            verdict.secure = verdict.secure && one.secure;
            verdict.ttl_cap = std::min(verdict.ttl_cap, one.ttl_cap);
        }
        return verdict;
    }

    ResolveResultOr<StepVerdict> validateDenial(
        const DnsName& qname, QType qtype, RCode rcode, const DnsRecord& soa, RecordRefs authority)
    {
        const ZoneSecurity security = TRY(securityOf(soa.name));
        if (!security.secure())
            return StepVerdict {};
        const ZoneKeys& keys = *security.keys;
        // The SOA names the zone the denial speaks for; a signed zone signs it under its own name.
        const auto soa_verified
            = TRY(verify(rrsetOf(authority, soa.name, QType::soa), authority, keys, Owner::own_only));
        if (!soa_verified)
            return std::unexpected(resolution_.fail(soa_verified.error(), keys.zone));
        std::uint32_t ttl = soa_verified->ttl;
        const auto evidence = TRY(denialEvidence(authority, keys, ttl));
        const dnssec::Denial denial = rcode == RCode::nx_domain
            ? dnssec::proveNxdomain(qname, keys.zone, evidence)
            : dnssec::proveNodata(qname, qtype, keys.zone, evidence);
        switch (denial) {
        case dnssec::Denial::proven:
            TRY_VOID(fetch_.rememberDenial(keys.zone, soa, authority, evidence, ttl));
            return StepVerdict { true, ttl };
        case dnssec::Denial::opt_out:
        case dnssec::Denial::too_costly:
            return StepVerdict { false, ttl };
        case dnssec::Denial::unproven:
            break;
        }
        return std::unexpected(resolution_.fail(ResolveError::DnssecBogus, keys.zone));
    }

private:
    ResolveResultOr<StepVerdict> validateRrset(const DnsName& serving_zone, RecordRefs answers,
        RecordRefs authority, std::span<const DnsRecord> rrset)
    {
        const DnsRecord& first = rrset.front();
        if (const auto signer = signerOf(answers, first)) {
            const ZoneSecurity security = TRY(securityOf(*signer));
            if (!security.secure())
                return StepVerdict {};
            // A signer that is no zone apex of the chain cannot have signed anything.
            const auto verified = security.keys->zone.eql(*signer)
                ? TRY(verify(rrset, answers, *security.keys, Owner::may_expand))
                : Verification(std::unexpect, ResolveError::DnssecBogus);
            if (!verified)
                return std::unexpected(resolution_.fail(verified.error(), *signer));
            StepVerdict verdict { true, verified->ttl };
            if (!isWildcardExpansion(first.name, verified->labels))
                return verdict;
            // A wildcard answer holds only with a signed proof that the next closer name does not
            // exist, so that no closer name could have answered instead (RFC 4035 §5.3.4, RFC 5155 §8.8).
            const auto evidence = TRY(denialEvidence(authority, *security.keys, verdict.ttl_cap));
            switch (
                dnssec::proveWildcardAnswer(first.name, verified->labels, security.keys->zone, evidence)) {
            case dnssec::Denial::proven:
                TRY_VOID(fetch_.rememberWildcard(security.keys->zone, verified->labels, answers, rrset,
                    authority, evidence, verdict.ttl_cap));
                return verdict;
            case dnssec::Denial::opt_out:
            case dnssec::Denial::too_costly:
                verdict.secure = false;
                return verdict;
            case dnssec::Denial::unproven:
                break;
            }
            return std::unexpected(resolution_.fail(ResolveError::DnssecBogus, security.keys->zone));
        }
        // Unsigned: fine only below a delegation proven to be unsigned, which may lie between the zone of
        // the servers and the owner when one server holds both.
        if (TRY(securityOf(serving_zone)).secure() && TRY(securityOf(first.name)).secure())
            return std::unexpected(resolution_.fail(ResolveError::SignaturesMissing, serving_zone));
        return StepVerdict {};
    }

    // The NSEC and NSEC3 records of `records` whose RRSIG verified with `keys` under their own owner
    // name: the only records a denial may rest on. `ttl` shrinks to what their signatures allow.
    ResolveResultOr<std::vector<const DnsRecord*>> denialEvidence(
        RecordRefs records, const ZoneKeys& keys, std::uint32_t& ttl)
    {
        std::vector<const DnsRecord*> evidence;
        std::vector<const DnsRecord*> tried;
        for (const DnsRecord* rec : records) {
            if ((rec->rtype != QType::nsec && rec->rtype != QType::nsec3) || !rec->name.isPartOf(keys.zone))
                continue;
            if (std::ranges::any_of(tried, [&](const DnsRecord* t) { return sameRrset(*t, *rec); }))
                continue;
            tried.push_back(rec);
            const auto rrset = rrsetOf(records, rec->name, rec->rtype);
            const auto verified = TRY(verify(rrset, records, keys, Owner::own_only));
            if (!verified)
                continue;
            ttl = std::min(ttl, verified->ttl);
            for (const DnsRecord* member : records) {
                if (sameRrset(*member, *rec))
                    evidence.push_back(member);
            }
        }
        return evidence;
    }

    // Climbs to the closest name whose security is known (cached, or the root), then walks back down.
    ResolveResultOr<ZoneSecurity> securityOf(const DnsName& name)
    {
        std::vector<DnsName> below;
        DnsName n = name;
        std::optional<ZoneSecurity> known;
        while (!(known = resolution_.cache().findZoneSecurity(n))) {
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
                return std::unexpected(resolution_.fail(ResolveError::ChainTooLong, *it));
            fetch_.setNextLevel(std::next(it) != below.rend() ? &*std::next(it) : nullptr);
            security = TRY(childSecurity(*it, security));
        }
        fetch_.endWalk();
        return security;
    }

    // The root's DNSKEY RRset, accepted when a key that an anchor names verifies it. When it cannot be
    // had, anchors given as keys stand in for it (not remembered); anchors given as DS cannot.
    ResolveResultOr<ZoneSecurity> rootSecurity()
    {
        const DnsName root = DnsName::root();
        const dnssec::TrustAnchorStore& anchors = resolution_.trustAnchors();
        if (auto fetched = TRY(fetch_.fetch(root, QType::dnskey))) {
            const auto keyset = rrsetOf(fetched->answer, root, QType::dnskey);
            for (const DnsRecord& candidate : keyset) {
                if (!isAnchored(candidate.rdata.get<RDataTag::dnskey>()))
                    continue;
                if (auto verified
                    = TRY(verify(keyset, fetched->answer, *keysOf({ &candidate, 1 }, root), Owner::own_only)))
                    return fetch_.remember(root, ZoneSecurity { keysOf(keyset, root) }, verified->ttl);
            }
        }
        if (anchors.rootKeys().empty())
            return std::unexpected(resolution_.fail(ResolveError::DnssecBogus, root));
        auto keys = std::make_shared<ZoneKeys>();
        keys->zone = root;
        for (const auto& anchor : anchors.rootKeys())
            addKey(*keys, anchor.view());
        return ZoneSecurity { std::move(keys) };
    }

    bool isAnchored(const DNSKEY& key) const
    {
        const dnssec::TrustAnchorStore& anchors = resolution_.trustAnchors();
        const DnsName root = DnsName::root();
        return std::ranges::any_of(anchors.rootKeys(), [&](const auto& a) { return sameKey(a.view(), key); })
            || std::ranges::any_of(
                anchors.rootDs(), [&](const auto& ds) { return dnssec::validateDS(ds.view(), key, root); });
    }

    // A child of a signed zone: signed when a DS the parent signed leads to its keys (RFC 4035 §5.2).
    ResolveResultOr<ZoneSecurity> childSecurity(const DnsName& name, const ZoneSecurity& parent)
    {
        if (auto from_referral = TRY(fetch_.referralDs(name))) {
            const auto ds_set = rrsetOf(from_referral->answer, name, QType::ds);
            if (const auto verified
                = TRY(verify(ds_set, from_referral->answer, *parent.keys, Owner::own_only))) {
                if (resolution_.traceActive())
                    resolution_.traceLine(
                        "chain of trust: DS of " + name.toText() + " taken from the referral");
                return securityFromVerifiedDs(name, ds_set, verified->ttl);
            }
            // Not signed by the parent's keys as it came: the parent is asked, as without it.
        }
        auto ds_response = TRY(fetch_.fetchDs(name));
        if (!ds_response)
            return std::unexpected(resolution_.fail(ResolveError::DsUnavailable, name));
        const auto ds_set = rrsetOf(ds_response->answer, name, QType::ds);
        if (ds_set.empty())
            return securityWithoutDs(name, parent, *ds_response);
        const auto ds_verified = TRY(verify(ds_set, ds_response->answer, *parent.keys, Owner::own_only));
        if (!ds_verified)
            return std::unexpected(resolution_.fail(ds_verified.error(), name));
        return securityFromVerifiedDs(name, ds_set, ds_verified->ttl);
    }

    ResolveResultOr<ZoneSecurity> securityFromVerifiedDs(
        const DnsName& name, std::span<const DnsRecord> ds_set, std::uint32_t ds_ttl)
    {
        const std::vector<DS> usable = usableDigests(ds_set);
        // Only algorithms or digests this validator lacks: insecure (RFC 4035 §5.2, RFC 6840 §5.2).
        if (usable.empty())
            return fetch_.remember(name, ZoneSecurity {}, ds_ttl);
        return securityFromDs(name, usable, ds_ttl);
    }

    ResolveResultOr<ZoneSecurity> securityFromDs(
        const DnsName& name, std::span<const DS> ds_set, std::uint32_t ds_ttl)
    {
        auto key_response = TRY(fetch_.fetchKeysAndNextDs(name));
        if (!key_response)
            return std::unexpected(resolution_.fail(ResolveError::DnskeyUnavailable, name));
        const auto keyset = rrsetOf(key_response->answer, name, QType::dnskey);
        // No key the DS names signs the key set: missing, or its signatures fail (RFC 8914 §4.10).
        ResolveError failure = ResolveError::DnskeyMissing;
        for (const DnsRecord& candidate : keyset) {
            const DNSKEY& key = candidate.rdata.get<RDataTag::dnskey>();
            if (std::ranges::none_of(ds_set, [&](const DS& ds) { return dnssec::validateDS(ds, key, name); }))
                continue;
            const auto verified = TRY(
                verify(keyset, key_response->answer, *keysOf({ &candidate, 1 }, name), Owner::own_only));
            if (verified)
                return fetch_.remember(
                    name, ZoneSecurity { keysOf(keyset, name) }, std::min(verified->ttl, ds_ttl));
            failure = verified.error();
        }
        return std::unexpected(resolution_.fail(failure, name));
    }

    // The parent's answer holds no DS: an insecure delegation only with a signed proof (RFC 4035 §5.2,
    // RFC 5155 §8.6 and §8.9). A name that is no zone apex keeps the parent's keys.
    ResolveResultOr<ZoneSecurity> securityWithoutDs(
        const DnsName& name, const ZoneSecurity& parent, const Fetched& ds_response)
    {
        std::uint32_t ttl = max_zone_security_ttl;
        const auto evidence = TRY(denialEvidence(ds_response.authority, *parent.keys, ttl));
        switch (dnssec::proveNoDs(name, parent.keys->zone, evidence)) {
        case dnssec::NoDs::insecure_delegation:
            return fetch_.remember(name, ZoneSecurity {}, ttl);
        case dnssec::NoDs::not_a_cut:
            return fetch_.remember(name, parent, ttl);
        case dnssec::NoDs::unproven:
            break;
        }
        auto key_response = TRY(fetch_.fetch(name, QType::dnskey));
        if (key_response && answeredByEnclosingZone(name, *key_response))
            return parent;
        return std::unexpected(resolution_.fail(ResolveError::DnssecBogus, name));
    }

    // Whether a signature by `keys` over `rrset` verifies: if so, how long the RRset may be trusted; if
    // not, why (RFC 8914: missing, expired, not yet valid, or bogus).
    ResolveResultOr<Verification> verify(
        std::span<const DnsRecord> rrset, RecordRefs sig_source, const ZoneKeys& keys, Owner owner)
    {
        ResolveError failure = ResolveError::SignaturesMissing;
        if (rrset.empty())
            return Verification(std::unexpect, failure);
        int failures = 0;
        bool in_window = false;
        for (const RRSIG* sig : signaturesOver(sig_source, rrset.front(), keys.zone)) {
            if (owner == Owner::own_only && isWildcardExpansion(rrset.front().name, sig->labels))
                continue;
            if (!dnssec::isWithinValidity(*sig, now_)) {
                // The reason told is that of the signatures seen, unless one was in its window.
                if (!in_window) {
                    failure = dnssec::serialAtOrAfter(static_cast<std::uint32_t>(now_), sig->sig_inception)
                        ? ResolveError::SignatureExpired
                        : ResolveError::SignatureNotYetValid;
                }
                continue;
            }
            in_window = true;
            failure = ResolveError::DnssecBogus;
            // Built once per signature, for every candidate key and for the digest of the check.
            std::optional<dnssec::DnssecResult<std::vector<std::uint8_t>>> data;
            for (std::size_t i = 0; i < keys.keys.size(); ++i) {
                const DNSKEY key = keys.keys[i].view();
                if (key.algorithm != sig->algorithm || keys.keytags[i] != sig->keytag)
                    continue;
                if (failures >= max_failed_verifications_per_rrset || budget_.verifications_left <= 0)
                    return std::unexpected(resolution_.fail(ResolveError::DnssecBogus, keys.zone));
                if (!data)
                    data = dnssec::signedData(*sig, rrset);
                const auto digest = *data ? dnssec::verificationDigest(key.public_key, **data, sig->signature)
                                          : std::nullopt;
                const auto traced = [&](std::string_view outcome) {
                    if (resolution_.traceActive())
                        resolution_.traceLine("  RRSIG over " + rrset.front().name.toText() + " "
                            + typeName(rrset.front().rtype) + " by " + keys.zone.toText() + " (key tag "
                            + std::to_string(sig->keytag) + ", algorithm " + std::to_string(sig->algorithm)
                            + "): " + std::string(outcome));
                };
                if (digest && resolution_.signatures().contains(*digest, now_)) {
                    traced("valid (checked before)");
                    return Verified { trustedTtl(rrset, *sig), sig->labels };
                }
                --budget_.verifications_left;
                const dnssec::DnssecResult<bool> verified = *data
                    ? dnssec::verifySignedData(*sig, key.public_key, **data, now_)
                    : std::unexpected((*data).error());
                traced(verified && *verified ? "valid" : "does not verify");
                if (verified && *verified) {
                    if (digest)
                        resolution_.signatures().insert(
                            *digest, now_ + dnssec::secondsUntilExpiration(*sig, now_));
                    return Verified { trustedTtl(rrset, *sig), sig->labels };
                }
                if (!verified && verified.error() == dnssec::DnssecError::OutOfMemory)
                    return std::unexpected(ResolveError::OutOfMemory);
                ++failures;
            }
        }
        return Verification(std::unexpect, failure);
    }

    // RFC 4035 §5.3.3: no longer than the records say, than the signature's original TTL, or than
    // the signature has left to live.
    std::uint32_t trustedTtl(std::span<const DnsRecord> rrset, const RRSIG& sig) const
    {
        const std::uint32_t left = dnssec::secondsUntilExpiration(sig, now_);
        return minTtl(rrset, std::min(sig.original_ttl, left));
    }

    Resolution& resolution_;
    ResolutionBudget& budget_;
    std::int64_t now_; // wall clock: signature validity is absolute time
    int chain_levels_ { 0 };
    ChainFetch fetch_;
};

namespace {

    std::vector<const DnsRecord*> sectionOf(const DnsMessage& response, Section section)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord& rec : response.records) {
            if (rec.section == section)
                out.push_back(&rec);
        }
        return out;
    }

} // namespace

ResolveResultOr<StepVerdict> validateAnswerRrsets(Resolution& resolution, const QueryContext& ctx,
    std::span<const DnsRecord* const> answers, const DnsMessage& response)
{
    try {
        ChainValidator validator(resolution, ctx.depth, ctx.referral_ds);
        return validator.validateAnswer(ctx.zone, answers, sectionOf(response, Section::authority));
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

ResolveResultOr<StepVerdict> validateDenial(Resolution& resolution, const QueryContext& ctx, RCode rcode,
    const DnsRecord& soa, std::span<const DnsRecord* const> authority)
{
    try {
        ChainValidator validator(resolution, ctx.depth, ctx.referral_ds);
        return validator.validateDenial(ctx.current_qname, ctx.qtype, rcode, soa, authority);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

} // namespace recursor
