// Response policy zones (RPZ, draft-vixie-dnsop-dns-rpz): rules that rewrite answers, built from the
// records of a policy zone. The engine is independent of how the zone is read: it takes records whose
// owners lie at or below the policy zone's name and whose data is in uncompressed wire form.
//
// Triggers, owners relative to the policy zone NAME:
//   bad.example.NAME.              the question name bad.example. itself
//   *.bad.example.NAME.            names strictly below bad.example. (an exact rule beats it; the
//                                  closest wildcard beats a farther one)
//   24.0.3.2.1.rpz-ip.NAME.        an A record of the answer in 1.2.3.0/24
//   48.zz.1.db8.2001.rpz-ip.NAME.  an AAAA record in 2001:db8:1::/48 ("zz" is the longest zero run)
// Within a zone the longest matching prefix wins. rpz-nsdname, rpz-nsip and rpz-client-ip triggers are
// not supported: they are skipped and counted, so that a feed carrying them still loads.
//
// Actions, from the trigger's records: CNAME . (NXDOMAIN), CNAME *. (NODATA), CNAME rpz-passthru.
// (answer normally, and look no further), CNAME rpz-drop. (no reply), CNAME rpz-tcp-only. (TC=1 over UDP,
// a normal answer over TCP), or local data: A, AAAA, TXT records, or one CNAME to another name, given
// with the question name as owner.
//
// Memory: a rule is a few bytes plus its trigger name once in an arena; the question-name tables are
// open-addressed arrays of 8-byte slots, about 80 bytes per rule in all (bench/rpz_bench.cpp).
// A question-name lookup allocates nothing, walks the name once to hash all its suffixes, and probes
// at most (labels + 1) of them.
#pragma once

#include "base/error.h"
#include "base/siphash.h"
#include "resolver/local_zone.h"
#include "wire/constants.h"
#include "wire/name.h"
#include "wire/record.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace recursor {

#define RECURSOR_RPZ_ERRORS(X)                                                                               \
    X(BadOwner)                                                                                              \
    X(OwnerOutsideZone)                                                                                      \
    X(DataAtApex)                                                                                            \
    X(BadIpTrigger)                                                                                          \
    X(BadPrefixLength)                                                                                       \
    X(UnsupportedRecordType)                                                                                 \
    X(BadRdata)                                                                                              \
    X(CnameWithOtherData)                                                                                    \
    X(DuplicateCname)                                                                                        \
    X(TooManyRecords)
RECURSOR_DEFINE_ERROR_ENUM(RpzError, RECURSOR_RPZ_ERRORS)

// Why a policy zone was refused, and at which owner name.
struct RpzBuildError {
    RpzError kind;
    std::string owner; // presentation form; "" when the owner itself is not a name
    std::size_t record { 0 }; // index of the record at fault among those given to build()
    // "<owner>: error.<Kind>"
    std::string text() const;
};

enum class RpzAction : std::uint8_t { nxdomain, nodata, passthru, drop, tcp_only, local_data };
std::string_view rpzActionName(RpzAction action);

// One record of the policy zone as the zone reader hands it over (libzscanner gives both owner and data
// in uncompressed wire form); the bytes need to live only during build().
struct RpzInputRecord {
    std::span<const std::uint8_t> owner;
    QType rtype {};
    std::uint32_t ttl { 0 };
    std::span<const std::uint8_t> rdata;
};

// A record a local-data rule answers with; the owner is the question name.
struct RpzLocalRecord {
    QType rtype {};
    std::uint32_t ttl { 0 };
    std::vector<std::uint8_t> rdata; // uncompressed wire form
};

enum class RpzTrigger : std::uint8_t { qname, response_ip };

// A hit: which policy zone, why, and what to do. The span views the policy that matched, which the
// caller keeps alive (and unchanged) while it uses the match.
struct RpzMatch {
    const DnsName* zone { nullptr };
    std::size_t zone_index { 0 }; // in its RpzSet
    RpzTrigger trigger { RpzTrigger::qname };
    RpzAction action { RpzAction::passthru };
    std::span<const RpzLocalRecord> local_data; // only for local_data

    // The local records that answer `qtype`: the CNAME if there is one, else those of that type.
    std::vector<const RpzLocalRecord*> recordsFor(QType qtype) const;
};

// What the front door sends for a hit, to a question of `qtype` over UDP or over a stream. One rule for
// extended errors (RFC 8914): EDE 15 (Blocked, §4.16) when the policy withholds the answer (NXDOMAIN,
// NODATA); EDE 17 (Filtered, §4.18) when the policy answers with its own data, even if it has none of
// the type asked (NODATA); none when the client gets the normal answer (passthru, tcp-only over a
// stream), nothing at all (drop), or only the empty TC=1 reply that sends it to TCP (tcp-only over UDP).
// A rewritten reply has AA=0 and AD=0: the policy is neither the zone's authority nor validated.
struct RpzReply {
    enum class Kind : std::uint8_t { answer_normally, drop, truncate, rewrite };
    static constexpr std::uint16_t ede_blocked = 15;
    static constexpr std::uint16_t ede_filtered = 17;

    Kind kind { Kind::answer_normally };
    RCode rcode { RCode::no_error }; // for rewrite
    std::optional<std::uint16_t> extended_error; // for rewrite
    std::vector<const RpzLocalRecord*> answer; // for rewrite: owner the question name, views the policy
};
RpzReply rpzReply(const RpzMatch& match, QType qtype, bool over_udp);

// The rewritten answer in the resolver's form (ID 0, QR and RA set, AA and AD clear, no OPT): the
// question, `reply.rcode`, and the local records with `qname` as their owner. The front shapes it for the
// client like any resolved answer and adds the extended error.
WireResult<std::vector<std::uint8_t>> rpzRewritePacket(
    const DnsName& qname, QType qtype, const RpzReply& reply);

// A local-data CNAME to another name: the question goes on at the target by normal resolution, as for a
// CNAME out of a local zone (RFC 1034 §4.3.2 step 3a), and the client gets the CNAME and what the target
// resolves to. Held by value, so that it outlives the policy while the target is resolved.
struct RpzCnameStep {
    DnsName target;
    std::uint32_t ttl { 0 };
};
// The step `reply` asks for: a rewrite whose whole answer is one CNAME, to a question of another type
// than CNAME (and ANY, which gets the CNAME alone).
std::optional<RpzCnameStep> rpzCnameStep(const RpzReply& reply, QType qtype);
// The rewritten answer to (qname, qtype) when the target resolved to `target_answer` (a packet in the
// resolver's form): the CNAME, then the target's answer and authority records without DNSSEC records
// (the policy answer is never validated), the target's RCODE; AA and AD clear.
WireResult<std::vector<std::uint8_t>> rpzFollowedPacket(
    const DnsName& qname, QType qtype, const RpzCnameStep& step, std::span<const std::uint8_t> target_answer);

// One policy zone, immutable once built.
class RpzPolicy {
public:
    static std::expected<RpzPolicy, RpzBuildError> build(
        const DnsName& zone, std::span<const RpzInputRecord> records);

    const DnsName& zone() const { return zone_; }
    std::optional<RpzMatch> matchQname(const DnsName& qname) const;
    // The longest prefix among the A and AAAA records of `answer` (other sections and types ignored).
    std::optional<RpzMatch> matchResponse(std::span<const DnsRecord> answer) const;

    std::size_t qnameRuleCount() const { return exact_.size() + wildcard_.size(); }
    std::size_t ipRuleCount() const;
    // Triggers of kinds this engine does not support, skipped at build.
    std::size_t skippedCount() const { return skipped_; }
    // Heap bytes held by the policy (tables, arena, rules, local data), for the operator and the bench.
    std::size_t memoryBytes() const;

    struct Rule {
        std::uint32_t local_first { 0 }; // index into local_
        std::uint16_t local_count { 0 };
        RpzAction action { RpzAction::passthru };
    };

    // An open-addressed set of lower-cased wire-form names, each mapped to a rule index. Keys live once,
    // back to back, in an arena; a slot is the key's arena offset and the rule index (8 bytes).
    class NameTable {
    public:
        // `lower_wire` must be lower-cased; returns the rule index already there, if any.
        std::optional<std::uint32_t> insert(std::span<const std::uint8_t> lower_wire, std::uint32_t rule);
        static constexpr std::uint32_t no_rule = 0xFFFFFFFF;
        // The rule of `lower_wire`, or no_rule; `hash` is its table hash, `labels` its label count.
        std::uint32_t find(
            std::span<const std::uint8_t> lower_wire, std::uint64_t hash, std::size_t labels) const;
        // Whether some key has this many labels: a probe for a depth no key has is skipped.
        bool hasDepth(std::size_t labels) const { return labels < depths_.size() && depths_[labels]; }
        std::size_t size() const { return count_; }
        std::size_t memoryBytes() const { return slots_.capacity() * sizeof(Slot) + arena_.capacity(); }

    private:
        struct Slot {
            std::uint32_t key_offset;
            std::uint32_t rule; // no_rule when free
        };
        void grow();
        std::size_t slotOf(std::uint64_t hash) const { return hash & (slots_.size() - 1); }
        bool keyEquals(const Slot& slot, std::span<const std::uint8_t> lower_wire) const;

        std::vector<Slot> slots_;
        std::vector<std::uint8_t> arena_;
        std::size_t count_ { 0 };
        std::bitset<128> depths_;
    };

private:
    RpzPolicy() = default;
    struct Prefix {
        std::array<std::uint8_t, 16> bytes {}; // masked to the prefix length
        bool operator==(const Prefix&) const = default;
    };
    struct PrefixHash {
        std::size_t operator()(const Prefix& p) const;
    };
    // Per address family, per prefix length: the masked prefixes and their rules.
    struct IpTable {
        std::vector<std::unordered_map<Prefix, std::uint32_t, PrefixHash>> by_length; // index = length
        std::vector<std::uint8_t> lengths; // the lengths in use, longest first
    };
    struct IpHit {
        std::uint32_t rule;
        std::uint8_t length;
    };
    std::optional<IpHit> matchAddress(const IpTable& table, std::span<const std::uint8_t> addr) const;
    RpzMatch matchOf(std::uint32_t rule, RpzTrigger trigger) const;
    struct Pending {
        std::uint32_t rule;
        std::uint32_t input;
    };
    std::expected<std::uint32_t, RpzError> ruleFor(const RpzInputRecord& record);
    // `failed` is set to the input index of the record at fault.
    std::expected<void, RpzError> finishRule(std::uint32_t rule, std::span<const Pending> pending,
        std::span<const RpzInputRecord> records, std::uint32_t& failed);

    DnsName zone_;
    NameTable exact_;
    NameTable wildcard_; // keyed by the name below "*."
    IpTable v4_;
    IpTable v6_;
    std::vector<Rule> rules_;
    std::vector<RpzLocalRecord> local_;
    std::size_t skipped_ { 0 };
};

// A policy zone read from an RFC 1035 master file (scanMasterFile: owners outside `zone` are refused)
// and built. `text` is the file's content when given, else `label` is read as a path. A rule the engine
// refuses fails as BadRule at the line of the record at fault: "FILE:LINE: OWNER: error.Kind".
constexpr std::size_t max_rpz_records = 5'000'000;
std::expected<RpzPolicy, ZoneLoadFailure> loadRpzPolicy(
    const DnsName& zone, std::optional<std::string_view> text, std::string_view label);

// The policy zones in configuration order: the first that matches wins. The question name is known
// before the answer, so the front asks matchQname of every zone first and matchResponse of the answer
// only after none matched; a passthru hit ends both.
class RpzSet {
public:
    void add(RpzPolicy policy) { add(std::make_shared<const RpzPolicy>(std::move(policy))); }
    // Shared, so that a reload keeps a zone whose file failed without copying its tables.
    void add(std::shared_ptr<const RpzPolicy> policy)
    {
        has_ip_rules_ = has_ip_rules_ || policy->ipRuleCount() != 0;
        policies_.push_back(std::move(policy));
    }
    bool empty() const { return policies_.empty(); }
    // Whether any zone has a response-IP rule: without one an answer need not be parsed to be checked.
    bool hasResponseIpRules() const { return has_ip_rules_; }
    std::span<const std::shared_ptr<const RpzPolicy>> policies() const { return policies_; }
    // The policy of the zone named `zone`, if the set has one.
    std::shared_ptr<const RpzPolicy> find(const DnsName& zone) const;
    std::optional<RpzMatch> matchQname(const DnsName& qname) const;
    std::optional<RpzMatch> matchResponse(std::span<const DnsRecord> answer) const;

private:
    std::vector<std::shared_ptr<const RpzPolicy>> policies_;
    bool has_ip_rules_ { false };
};

} // namespace recursor
