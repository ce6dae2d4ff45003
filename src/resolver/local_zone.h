// Zones served from local master files (RFC 1035 §5): read once at start-up with libzscanner, kept
// as owned records, and answered as an authoritative server would (RFC 1034 §4.3.2), AA set and AD
// clear. Local data is never validated against the public chain: a local zone is a negative trust
// anchor at its apex.
#pragma once

#include "base/error.h"
#include "resolver/nameserver.h"
#include "resolver/result_builder.h"
#include "wire/constants.h"
#include "wire/name.h"
#include "wire/record.h"

#include <cstdint>
#include <ctime>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace recursor {

// FileUnreadable  the file (or an $INCLUDE) cannot be opened or read
// Syntax          the scanner rejects a line (a class other than IN among them)
// NoApexSoa       no SOA record owned by the zone's name
// OutOfZone       a record owned by a name outside the zone
// TooManyRecords  more records than a zone may hold
// OutOfMemory     the records do not fit in memory
// BadRule         a record a response policy zone cannot take as a rule
#define RECURSOR_ZONE_FILE_ERRORS(X)                                                                         \
    X(FileUnreadable) X(Syntax) X(NoApexSoa) X(OutOfZone) X(TooManyRecords) X(OutOfMemory) X(BadRule)
RECURSOR_DEFINE_ERROR_ENUM(ZoneFileError, RECURSOR_ZONE_FILE_ERRORS)

// Why a zone file was refused, where, and what the scanner said: printed "FILE:LINE: problem".
struct ZoneLoadFailure {
    ZoneFileError kind { ZoneFileError::Syntax };
    std::string file;
    std::uint64_t line { 0 };
    std::string problem;

    std::string describe() const;
};

// One record as read from the file: RDATA in uncompressed wire form, names inside it in full.
struct ZoneRecord {
    DnsName owner;
    QType type {};
    std::uint32_t ttl { 0 };
    std::vector<std::uint8_t> rdata;

    bool operator==(const ZoneRecord&) const = default;
};

// One record as the scanner hands it over, views valid only during the call: owner and RDATA in
// uncompressed wire form, names inside the RDATA in full, and the line the record ends on.
struct ScannedRecord {
    std::span<const std::uint8_t> owner;
    QType type {};
    std::uint32_t ttl { 0 };
    std::span<const std::uint8_t> rdata;
    std::uint64_t line { 0 };
};
// Why a record stops the scan, as the taker of records says it.
struct ScanStop {
    ZoneFileError kind { ZoneFileError::Syntax };
    std::string problem;
};
using ScannedRecordTaker = std::function<std::optional<ScanStop>(const ScannedRecord&)>;

// Reads an RFC 1035 master file with libzscanner, $ORIGIN starting as `apex`, and hands each record
// owned at or below `apex` to `take` in file order; an owner outside it stops the scan (OutOfZone).
// `text` is the file's content when given (`label` naming it in errors), else `label` is read as a path.
std::expected<void, ZoneLoadFailure> scanMasterFile(const DnsName& apex, std::optional<std::string_view> text,
    std::string_view label, const ScannedRecordTaker& take);

class LocalZone {
public:
    // A bound on what one file may make the process hold.
    static constexpr std::size_t max_records = 1'000'000;
    // CNAMEs followed inside the zone before the chain is cut short (RFC 1034 §3.6.2 loops).
    static constexpr std::size_t max_cname_steps = 8;

    // Reads the master file at `path`; $ORIGIN starts as `apex`.
    static std::expected<LocalZone, ZoneLoadFailure> loadFile(const DnsName& apex, const std::string& path);
    // The same over text in memory (`label` names it in errors); $INCLUDE still reads files.
    static std::expected<LocalZone, ZoneLoadFailure> loadText(
        const DnsName& apex, std::string_view text, std::string_view label);

    const DnsName& apex() const { return apex_; }
    std::uint32_t serial() const;
    std::size_t recordCount() const { return record_count_; }
    const std::string& file() const { return file_; }
    std::time_t loadedAt() const { return loaded_at_; }
    // The same apex and records, whatever the file and load time: a reload that reads the same data
    // keeps what the cache learnt below the zone.
    bool sameRecords(const LocalZone& other) const { return apex_ == other.apex_ && nodes_ == other.nodes_; }

    // The authoritative answer to (qname, qtype) for a name at or below the apex: records, a CNAME
    // chain (followed while it stays in the zone), a wildcard synthesis (RFC 4592), NXDOMAIN or
    // NODATA with the SOA. ID 0, QR AA RA set, AD clear. Nothing below a zone cut (that belongs to the
    // child, whose servers delegationFor names), nor for a chain that leaves the zone (chainToResolve).
    ResolveResultOr<std::optional<ResolveResult>> answer(const DnsName& qname, QType qtype) const;
    // The CNAME chain of the zone's answer when it ends at a name the zone does not answer for (outside
    // it, or below a cut): the resolution continues from the last target, as from a CNAME upstream
    // (RFC 1034 §4.3.2 step 3a). Empty otherwise.
    ResolveResultOr<std::vector<DnsRecord>> chainToResolve(const DnsName& qname, QType qtype) const;
    // The child zone the file delegates `name` to, with the addresses the file gives its servers
    // (glue, asked on `port`); nothing when `name` is not below a cut or no server has an address.
    std::optional<Delegation> delegationFor(const DnsName& name, std::uint16_t port) const;

private:
    // The records at one name; a name with none exists still when it has names below it (an empty
    // non-terminal, RFC 4592 §2.2.2).
    using Node = std::vector<ZoneRecord>;
    struct Walk;

    Walk walk(const DnsName& qname, QType qtype) const;

    static std::expected<LocalZone, ZoneLoadFailure> load(
        const DnsName& apex, std::optional<std::string_view> text, std::string_view label);
    const Node* find(const DnsName& name) const;
    const ZoneRecord* soa() const;
    const ZoneRecord* zoneCutAbove(const DnsName& qname) const;
    void collect(const Node& node, QType qtype, std::vector<const ZoneRecord*>& out) const;
    static std::string key(const DnsName& name);
    friend class LocalZones; // indexes zones by key()

    DnsName apex_;
    std::unordered_map<std::string, Node> nodes_; // by lower-cased wire name
    std::size_t record_count_ { 0 };
    std::string file_;
    std::time_t loaded_at_ { 0 };
};

// Every configured zone; a question is answered by the zone with the longest apex that holds it.
class LocalZones {
public:
    // A second zone with the apex of one already held is kept but never answers.
    void add(LocalZone zone);
    // The locally served zones every resolver answers itself (RFC 6761 §6.3 localhost. and §6.4
    // invalid., RFC 6303 §4 loopback, RFC 1918 and link-local reverse zones), each unless a zone
    // already held, or one of `sent_elsewhere` (the [forward:] and [stub:] sections), is at or above it.
    // A section below a zone's apex takes its names from the zone: the longest name wins, whatever kind
    // of section it is. Call after the configured zones are added.
    void addBuiltIns(std::span<const DnsName> sent_elsewhere = {});
    bool empty() const { return zones_.empty(); }
    const std::vector<LocalZone>& zones() const { return zones_; }
    // The zone with the longest apex at or above `qname`. Asked ahead of every cache hit, so it looks the
    // name's suffixes up from the root down, and stops at the first one no zone lies at or under.
    const LocalZone* covering(const DnsName& qname) const;
    // Those of the zone covering the name (LocalZone::delegationFor, LocalZone::chainToResolve).
    std::optional<Delegation> delegationFor(const DnsName& name, std::uint16_t port) const;
    ResolveResultOr<std::vector<DnsRecord>> chainToResolve(const DnsName& qname, QType qtype) const;
    // /zones: [{"name","serial","records","file","loaded_at"}], loaded_at in seconds since 1970.
    std::string describeJson() const;

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const noexcept
        {
            return std::hash<std::string_view> {}(key);
        }
    };
    static constexpr std::size_t above_zones = SIZE_MAX;
    static constexpr std::size_t handed_on = SIZE_MAX - 1; // a [forward:] or [stub:] below an apex
    void keyAbove(const std::string& key);

    std::vector<LocalZone> zones_;
    // By lower-cased wire name: each apex with its zone's position in zones_, and each name above an
    // apex (the root included) with above_zones, each section below an apex with handed_on.
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> by_name_;
    // A bit for each apex's last label (by its length and first letter): most public names end in a
    // label no zone ends in, and miss without a lookup. All bits when the root is a zone.
    std::uint64_t top_label_bits_ { 0 };
};

} // namespace recursor
