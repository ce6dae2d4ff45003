#include "resolver/local_zone.h"

#include "wire/header.h"
#include "wire/writer.h"

// libzscanner's error.h declares zs_strerror without C linkage of its own.
extern "C" {
#include <libzscanner/scanner.h>
}

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <new>

namespace recursor {

std::string ZoneLoadFailure::describe() const
{
    std::string out = file;
    if (line != 0)
        out += ":" + std::to_string(line);
    return out + ": " + problem;
}

namespace {

    struct ScannerDeleter {
        void operator()(zs_scanner_t* scanner) const
        {
            zs_deinit(scanner);
            delete scanner;
        }
    };
    using Scanner = std::unique_ptr<zs_scanner_t, ScannerDeleter>;

    // What the scanner's callbacks need: the zone, the taker of records, and the first failure, which
    // stops the scan.
    struct ScanState {
        const DnsName& apex;
        std::string label;
        const ScannedRecordTaker& take;
        std::optional<ZoneLoadFailure> failure;
    };

    std::string fileOf(const zs_scanner_t& scanner, const ScanState& state)
    {
        // Inside an $INCLUDE the scanner is a nested one that names the included file.
        return scanner.file.name != nullptr ? std::string(scanner.file.name) : state.label;
    }

    void stopWith(zs_scanner_t* scanner, ScanState& state, ZoneFileError kind, std::string problem)
    {
        if (!state.failure)
            state.failure = ZoneLoadFailure { kind, fileOf(*scanner, state), scanner->line_counter, problem };
        scanner->state = ZS_STATE_STOP;
    }

    bool isFileError(int code)
    {
        return code == ZS_FILE_OPEN || code == ZS_FILE_INVALID || code == ZS_FILE_ACCESS;
    }

    void onScanError(zs_scanner_t* scanner)
    {
        auto& state = *static_cast<ScanState*>(scanner->process.data);
        const int code = scanner->error.code;
        stopWith(scanner, state, isFileError(code) ? ZoneFileError::FileUnreadable : ZoneFileError::Syntax,
            zs_strerror(code));
    }

    void onRecord(zs_scanner_t* scanner)
    {
        auto& state = *static_cast<ScanState*>(scanner->process.data);
        const std::span<const std::uint8_t> owner_wire(scanner->r_owner, scanner->r_owner_length);
        auto owner = DnsName::fromWire(owner_wire);
        if (!owner)
            return stopWith(scanner, state, ZoneFileError::Syntax, "bad owner name");
        if (!owner->isPartOf(state.apex))
            return stopWith(scanner, state, ZoneFileError::OutOfZone,
                owner->toText() + " is outside the zone " + state.apex.toText());
        try {
            const ScannedRecord record { owner_wire, static_cast<QType>(scanner->r_type), scanner->r_ttl,
                { scanner->r_data, scanner->r_data_length }, scanner->line_counter };
            if (auto stop = state.take(record))
                stopWith(scanner, state, stop->kind, std::move(stop->problem));
        } catch (const std::bad_alloc&) {
            stopWith(scanner, state, ZoneFileError::OutOfMemory, "out of memory");
        }
    }

    // The zone's name as the scanner's first $ORIGIN.
    std::string originText(const DnsName& apex)
    {
        return apex.isRoot() ? "." : apex.toText();
    }

    constexpr std::uint8_t flag_aa = 0x04; // byte 2 (RFC 1035 §4.1.1)
    constexpr std::uint8_t flag_ra = 0x80; // byte 3

    ResolveError fromWriter(WireError e)
    {
        return e == WireError::OutOfMemory ? ResolveError::OutOfMemory : ResolveError::UnwritableAnswer;
    }

    // "*" under `name` (RFC 4592 §2.1.1), or nothing when that would be too long.
    std::optional<DnsName> wildcardUnder(const DnsName& name)
    {
        std::vector<std::uint8_t> wire { 1, '*' };
        const auto bytes = name.wireBytes();
        wire.insert(wire.end(), bytes.begin(), bytes.end());
        auto made = DnsName::fromWire(wire);
        return made ? std::optional(*made) : std::nullopt;
    }

    // A record as written: owned by `owner`, which differs from the record's own for a wildcard.
    struct Written {
        const ZoneRecord* record;
        DnsName owner;
        std::uint32_t ttl;
    };

    ResolveResultOr<ResolveResult> writeAnswer(const DnsName& qname, QType qtype, RCode rcode,
        std::span<const Written> answer, std::span<const Written> authority)
    {
        auto writer = PacketWriter::init(qname, qtype, QClass::in);
        if (!writer)
            return std::unexpected(fromWriter(writer.error()));
        auto header = writer->getHeader();
        setHeaderBit(header, 2, flag_qr, true);
        setHeaderBit(header, 2, flag_aa, true);
        setHeaderBit(header, 3, flag_ra, true);
        setHeaderRcode(header, rcode);
        auto section = [&](std::span<const Written> records, Section where) -> ResolveResultOr<void> {
            for (const Written& item : records) {
                auto started
                    = writer->startRecord(item.owner, item.record->type, QClass::in, item.ttl, where);
                if (!started)
                    return std::unexpected(fromWriter(started.error()));
                if (auto blob = writer->writeBlob(item.record->rdata); !blob)
                    return std::unexpected(fromWriter(blob.error()));
            }
            return {};
        };
        TRY_VOID(section(answer, Section::answer));
        TRY_VOID(section(authority, Section::authority));
        auto bytes = writer->finish();
        if (!bytes)
            return std::unexpected(fromWriter(bytes.error()));
        ResolveResult result;
        result.packet = std::move(*bytes);
        result.answer_count = static_cast<std::uint16_t>(answer.size());
        result.rcode = rcode;
        result.from_cache = true; // served without upstream work, as a cache hit is
        return result;
    }

    std::uint32_t readU32At(std::span<const std::uint8_t> bytes, std::size_t offset)
    {
        return (std::uint32_t { bytes[offset] } << 24) | (std::uint32_t { bytes[offset + 1] } << 16)
            | (std::uint32_t { bytes[offset + 2] } << 8) | bytes[offset + 3];
    }

    std::optional<SocketAddress> socketAddressOf(const ZoneRecord& record, std::uint16_t port)
    {
        if (record.type == QType::a && record.rdata.size() == 4) {
            sockaddr_in in {};
            in.sin_family = AF_INET;
            in.sin_port = htons(port);
            std::memcpy(&in.sin_addr, record.rdata.data(), 4);
            return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&in), sizeof in);
        }
        if (record.type == QType::aaaa && record.rdata.size() == 16) {
            sockaddr_in6 in6 {};
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(port);
            std::memcpy(&in6.sin6_addr, record.rdata.data(), 16);
            return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
        }
        return std::nullopt;
    }

    // SERIAL and MINIMUM, the first and last of the five numbers that end an SOA's RDATA.
    constexpr std::size_t soa_numbers_size = 20;

} // namespace

std::expected<LocalZone, ZoneLoadFailure> LocalZone::loadFile(const DnsName& apex, const std::string& path)
{
    return load(apex, std::nullopt, path);
}

std::expected<LocalZone, ZoneLoadFailure> LocalZone::loadText(
    const DnsName& apex, std::string_view text, std::string_view label)
{
    return load(apex, text, label);
}

std::expected<void, ZoneLoadFailure> scanMasterFile(const DnsName& apex, std::optional<std::string_view> text,
    std::string_view label, const ScannedRecordTaker& take)
{
    const auto failure = [&](ZoneFileError kind, std::string problem) {
        return std::unexpected(ZoneLoadFailure { kind, std::string(label), 0, std::move(problem) });
    };
    Scanner scanner(new (std::nothrow) zs_scanner_t {});
    if (!scanner)
        return failure(ZoneFileError::OutOfMemory, "out of memory");
    ScanState state { apex, std::string(label), take, std::nullopt };
    const std::string origin = originText(apex);
    if (zs_init(scanner.get(), origin.c_str(), static_cast<std::uint16_t>(QClass::in), 3600) != 0)
        return failure(ZoneFileError::Syntax, "bad zone name");
    const std::string path(label);
    const int input = text ? zs_set_input_string(scanner.get(), text->data(), text->size())
                           : zs_set_input_file(scanner.get(), path.c_str());
    if (input != 0)
        return failure(ZoneFileError::FileUnreadable, zs_strerror(scanner->error.code));
    zs_set_processing(scanner.get(), onRecord, onScanError, &state);
    if (zs_parse_all(scanner.get()) != 0 && !state.failure)
        state.failure = ZoneLoadFailure { ZoneFileError::Syntax, state.label, scanner->line_counter,
            zs_strerror(scanner->error.code) };
    if (state.failure)
        return std::unexpected(std::move(*state.failure));
    return {};
}

std::expected<LocalZone, ZoneLoadFailure> LocalZone::load(
    const DnsName& apex, std::optional<std::string_view> text, std::string_view label)
{
    const auto failure = [&](ZoneFileError kind, std::string problem) {
        return std::unexpected(ZoneLoadFailure { kind, std::string(label), 0, std::move(problem) });
    };
    std::vector<ZoneRecord> records;
    const auto keep = [&](const ScannedRecord& scanned) -> std::optional<ScanStop> {
        if (records.size() >= LocalZone::max_records)
            return ScanStop { ZoneFileError::TooManyRecords,
                "more than " + std::to_string(LocalZone::max_records) + " records" };
        records.push_back({ *DnsName::fromWire(scanned.owner), scanned.type, scanned.ttl,
            { scanned.rdata.begin(), scanned.rdata.end() } });
        return std::nullopt;
    };
    TRY_VOID(scanMasterFile(apex, text, label, keep));

    LocalZone zone;
    zone.apex_ = apex;
    zone.file_ = std::string(label);
    zone.loaded_at_ = std::time(nullptr);
    try {
        for (ZoneRecord& record : records) {
            // Every name between the owner and the apex exists, as an empty non-terminal at least.
            DnsName above = record.owner;
            while (above.chopOff() && above.isPartOf(apex))
                zone.nodes_.try_emplace(key(above));
            zone.nodes_[key(record.owner)].push_back(std::move(record));
            ++zone.record_count_;
        }
    } catch (const std::bad_alloc&) {
        return failure(ZoneFileError::OutOfMemory, "out of memory");
    }
    const ZoneRecord* soa = zone.soa();
    if (soa == nullptr || soa->rdata.size() < soa_numbers_size)
        return failure(ZoneFileError::NoApexSoa, "no SOA record at " + apex.toText());
    return zone;
}

std::string LocalZone::key(const DnsName& name)
{
    DnsName lower = name;
    lower.makeLowerCase();
    const auto bytes = lower.wireBytes();
    return { bytes.begin(), bytes.end() };
}

const LocalZone::Node* LocalZone::find(const DnsName& name) const
{
    const auto it = nodes_.find(key(name));
    return it == nodes_.end() ? nullptr : &it->second;
}

const ZoneRecord* LocalZone::soa() const
{
    const Node* node = find(apex_);
    if (node == nullptr)
        return nullptr;
    const auto it = std::ranges::find(*node, QType::soa, &ZoneRecord::type);
    return it == node->end() ? nullptr : &*it;
}

std::uint32_t LocalZone::serial() const
{
    const auto& rdata = soa()->rdata;
    return readU32At(rdata, rdata.size() - soa_numbers_size);
}

// The highest NS RRset strictly below the apex on the way to `qname`: everything at and below it
// belongs to the child (RFC 1034 §4.2.1), whose servers the file names.
const ZoneRecord* LocalZone::zoneCutAbove(const DnsName& qname) const
{
    const ZoneRecord* cut = nullptr;
    DnsName name = qname;
    while (!(name == apex_)) {
        if (const Node* node = find(name)) {
            const auto it = std::ranges::find(*node, QType::ns, &ZoneRecord::type);
            if (it != node->end())
                cut = &*it;
        }
        if (!name.chopOff())
            break;
    }
    return cut;
}

void LocalZone::collect(const Node& node, QType qtype, std::vector<const ZoneRecord*>& out) const
{
    for (const ZoneRecord& record : node) {
        if (qtype == QType::any || record.type == qtype)
            out.push_back(&record);
    }
}

// The first NS RRset's servers with the A and AAAA records the file holds for them: operator-named
// addresses, loopback and private ones included.
std::optional<Delegation> LocalZone::delegationFor(const DnsName& name, std::uint16_t port) const
{
    const ZoneRecord* cut = zoneCutAbove(name);
    if (cut == nullptr)
        return std::nullopt;
    Delegation delegation { .zone = cut->owner, .nameservers = {}, .unresolved = {}, .fallback = {} };
    static const Node no_records;
    for (const ZoneRecord& ns : *find(cut->owner)) {
        if (ns.type != QType::ns)
            continue;
        auto target = DnsName::fromWire(ns.rdata);
        const Node* node = target ? find(*target) : nullptr;
        for (const ZoneRecord& address : node != nullptr ? *node : no_records) {
            if (auto socket = socketAddressOf(address, port))
                delegation.nameservers.append(*socket);
        }
    }
    if (delegation.nameservers.empty())
        return std::nullopt;
    return delegation;
}

// What the zone says of (qname, qtype): the answer records (the chain first), and whether the name or
// type is missing, or the chain leaves for a name the zone does not answer for.
struct LocalZone::Walk {
    std::vector<Written> answer;
    RCode rcode { RCode::no_error };
    bool negative { false };
    bool leaves { false };
};

// RFC 1034 §4.3.2 step 3 for one zone, with wildcards as RFC 4592 §3.3.1 has them: a wildcard
// answers only a name that does not exist, from the "*" child of its closest encloser.
LocalZone::Walk LocalZone::walk(const DnsName& qname, QType qtype) const
{
    Walk walked;
    std::vector<const ZoneRecord*> matched;
    DnsName name = qname;
    for (std::size_t step = 0;; ++step) {
        if (!name.isPartOf(apex_) || (step > 0 && zoneCutAbove(name) != nullptr)) {
            walked.leaves = true;
            return walked;
        }
        const Node* node = find(name);
        if (node == nullptr) {
            DnsName encloser = name;
            while (find(encloser) == nullptr && encloser.chopOff()) { }
            const auto wildcard = wildcardUnder(encloser);
            node = wildcard ? find(*wildcard) : nullptr;
        }
        if (node == nullptr) {
            walked.rcode = RCode::nx_domain;
            walked.negative = true;
            return walked;
        }
        matched.clear();
        collect(*node, qtype, matched);
        for (const ZoneRecord* record : matched)
            walked.answer.push_back({ record, name, record->ttl });
        if (!matched.empty())
            return walked;
        const auto cname = std::ranges::find(*node, QType::cname, &ZoneRecord::type);
        if (cname == node->end()) {
            walked.negative = true; // NODATA
            return walked;
        }
        walked.answer.push_back({ &*cname, name, cname->ttl });
        auto target = DnsName::fromWire(cname->rdata);
        if (!target || step == max_cname_steps)
            return walked;
        name = *target;
    }
}

ResolveResultOr<std::optional<ResolveResult>> LocalZone::answer(const DnsName& qname, QType qtype) const
{
    const ZoneRecord* cut = zoneCutAbove(qname);
    if (cut != nullptr && !(cut->owner == qname && qtype == QType::ds)) // DS lives on the parent side
        return std::optional<ResolveResult> {};
    const Walk walked = walk(qname, qtype);
    if (walked.leaves)
        return std::optional<ResolveResult> {};
    std::vector<Written> authority;
    if (walked.negative) {
        // RFC 2308 §3: the SOA's TTL for a negative answer is the lesser of its TTL and MINIMUM.
        const ZoneRecord& zone_soa = *soa();
        const std::uint32_t minimum = readU32At(zone_soa.rdata, zone_soa.rdata.size() - 4);
        authority.push_back({ &zone_soa, apex_, std::min(zone_soa.ttl, minimum) });
    }
    return std::optional<ResolveResult>(
        TRY(writeAnswer(qname, qtype, walked.rcode, walked.answer, authority)));
}

ResolveResultOr<std::vector<DnsRecord>> LocalZone::chainToResolve(const DnsName& qname, QType qtype) const
{
    std::vector<DnsRecord> chain;
    if (zoneCutAbove(qname) != nullptr)
        return chain;
    const Walk walked = walk(qname, qtype);
    if (!walked.leaves)
        return chain;
    try {
        for (const Written& link : walked.answer) {
            auto target = DnsName::fromWire(link.record->rdata);
            chain.push_back({ RData::make<RDataTag::cname>(rdata::common::CNAME { *target }), link.ttl,
                QType::cname, QClass::in, link.owner, Section::answer });
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return chain;
}

ResolveResultOr<std::vector<DnsRecord>> LocalZones::chainToResolve(const DnsName& qname, QType qtype) const
{
    const LocalZone* zone = covering(qname);
    return zone != nullptr ? zone->chainToResolve(qname, qtype) : std::vector<DnsRecord> {};
}

namespace {

    // RFC 6303 §3: the SOA and NS every built-in zone has; "@" is the zone itself.
    constexpr std::string_view built_in_apex
        = "$TTL 10800\n@ SOA @ nobody.invalid. 1 3600 1200 604800 10800\n@ NS @\n";

    struct BuiltInZone {
        std::string_view name;
        std::string_view records; // after the SOA and NS
    };

    std::vector<BuiltInZone> builtInZones()
    {
        // RFC 6761 §6.3: every name under localhost. is the loopback address.
        std::vector<BuiltInZone> zones {
            { "localhost.", "@ A 127.0.0.1\n@ AAAA ::1\n* A 127.0.0.1\n* AAAA ::1\n" },
            { "127.in-addr.arpa.", "1.0.0 PTR localhost.\n" },
            { "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa.",
                "@ PTR localhost.\n" },
            { "invalid.", "" },
            { "10.in-addr.arpa.", "" },
            { "168.192.in-addr.arpa.", "" },
            { "254.169.in-addr.arpa.", "" },
            { "8.e.f.ip6.arpa.", "" },
            { "9.e.f.ip6.arpa.", "" },
            { "a.e.f.ip6.arpa.", "" },
            { "b.e.f.ip6.arpa.", "" },
        };
        static constexpr std::array<std::string_view, 16> rfc1918_172 { "16.172.in-addr.arpa.",
            "17.172.in-addr.arpa.", "18.172.in-addr.arpa.", "19.172.in-addr.arpa.", "20.172.in-addr.arpa.",
            "21.172.in-addr.arpa.", "22.172.in-addr.arpa.", "23.172.in-addr.arpa.", "24.172.in-addr.arpa.",
            "25.172.in-addr.arpa.", "26.172.in-addr.arpa.", "27.172.in-addr.arpa.", "28.172.in-addr.arpa.",
            "29.172.in-addr.arpa.", "30.172.in-addr.arpa.", "31.172.in-addr.arpa." };
        for (const std::string_view name : rfc1918_172)
            zones.push_back({ name, "" });
        return zones;
    }

} // namespace

void LocalZones::addBuiltIns(std::span<const DnsName> sent_elsewhere)
{
    const std::size_t configured = zones_.size();
    for (const BuiltInZone& built_in : builtInZones()) {
        const auto apex = DnsName::fromText(built_in.name);
        const bool covered
            = std::any_of(zones_.begin(), zones_.begin() + static_cast<std::ptrdiff_t>(configured),
                  [&](const LocalZone& zone) { return apex->isPartOf(zone.apex()); })
            || std::ranges::any_of(sent_elsewhere, [&](const DnsName& name) { return apex->isPartOf(name); });
        if (covered)
            continue;
        const std::string text = std::string(built_in_apex) + std::string(built_in.records);
        auto zone = LocalZone::loadText(*apex, text, "built-in");
        if (zone)
            add(std::move(*zone));
    }
    for (const DnsName& name : sent_elsewhere) {
        const LocalZone* zone = covering(name);
        if (zone == nullptr || zone->apex().eql(name))
            continue; // at an apex the zone stays: it is the more specific section's equal
        const std::string key = LocalZone::key(name);
        by_name_[key] = handed_on;
        keyAbove(key);
    }
}

std::optional<Delegation> LocalZones::delegationFor(const DnsName& name, std::uint16_t port) const
{
    const LocalZone* zone = covering(name);
    return zone != nullptr ? zone->delegationFor(name, port) : std::nullopt;
}

namespace {

    // The bit of LocalZones' filter for a last label, given at `label` in a wire name.
    std::uint64_t topLabelBit(const std::uint8_t* label)
    {
        return std::uint64_t { 1 } << ((label[0] * 31u + dnsToLower(label[1])) % 64u);
    }

} // namespace

void LocalZones::add(LocalZone zone)
{
    // Keys for the apex and every name above it, so that a lookup may stop at the first miss.
    std::string key = LocalZone::key(zone.apex());
    zones_.push_back(std::move(zone));
    const std::size_t position = zones_.size() - 1;
    if (auto [it, added] = by_name_.try_emplace(key, position); !added && it->second == above_zones)
        it->second = position;
    keyAbove(key);
}

void LocalZones::keyAbove(const std::string& key)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(key.data());
    std::size_t last_label = key.size() - 1; // the root: every name ends under it
    for (std::size_t at = 0; bytes[at] != 0; at += bytes[at] + 1u) {
        last_label = at;
        by_name_.try_emplace(key.substr(at + bytes[at] + 1u), above_zones);
    }
    top_label_bits_ |= bytes[last_label] == 0 ? ~std::uint64_t { 0 } : topLabelBit(bytes + last_label);
}

const LocalZone* LocalZones::covering(const DnsName& qname) const
{
    if (zones_.empty())
        return nullptr;
    const auto wire = qname.wireBytes();
    std::array<std::uint8_t, DnsName::max_len / 2 + 1> label_starts; // only those written are read
    std::size_t labels = 0;
    for (std::size_t at = 0; at < wire.size() && wire[at] != 0 && labels < label_starts.size();
         at += wire[at] + 1u)
        label_starts[labels++] = static_cast<std::uint8_t>(at);
    if (labels != 0 && (top_label_bits_ & topLabelBit(wire.data() + label_starts[labels - 1])) == 0)
        return nullptr;
    // The root is above every apex, so always held: a zone only when one is configured at it.
    const std::size_t at_root = by_name_.find(std::string_view("\0", 1))->second;
    const LocalZone* best = at_root != above_zones ? &zones_[at_root] : nullptr;
    std::array<char, DnsName::max_len> lower; // only the suffixes lowered are read
    std::size_t lowered_from = wire.size(); // lower-cased one label at a time, as the walk goes down
    while (labels-- > 0) {
        const std::size_t start = label_starts[labels];
        for (std::size_t at = start; at < lowered_from; ++at)
            lower[at] = static_cast<char>(dnsToLower(wire[at])); // length bytes are below 'A'
        lowered_from = start;
        const auto it = by_name_.find(std::string_view(lower.data() + start, wire.size() - start));
        if (it == by_name_.end())
            break;
        if (it->second == handed_on)
            best = nullptr;
        else if (it->second != above_zones)
            best = &zones_[it->second];
    }
    return best;
}

namespace {

    std::string jsonString(std::string_view text)
    {
        std::string out = "\"";
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
        return out + "\"";
    }

} // namespace

std::string LocalZones::describeJson() const
{
    std::string out = "[";
    for (const LocalZone& zone : zones_) {
        if (out.size() > 1)
            out += ",";
        out += "{\"name\":" + jsonString(zone.apex().toText())
            + ",\"serial\":" + std::to_string(zone.serial())
            + ",\"records\":" + std::to_string(zone.recordCount()) + ",\"file\":" + jsonString(zone.file())
            + ",\"loaded_at\":" + std::to_string(static_cast<long long>(zone.loadedAt())) + "}";
    }
    return out + "]";
}

} // namespace recursor
