#include "resolver/rpz.h"

#include "wire/header.h"
#include "wire/writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace recursor {
namespace {

    constexpr std::uint32_t skip_rule = 0xFFFFFFFF;
    constexpr std::uint8_t flag_ra = 0x80; // header byte 3
    constexpr std::size_t max_local_records = 0xFFFF;

    DnsName lowerCased(const DnsName& name)
    {
        DnsName lower = name;
        lower.makeLowerCase();
        return lower;
    }

    // The labels of an uncompressed wire name, leftmost first, without the root.
    std::vector<std::string_view> labelsOf(std::span<const std::uint8_t> wire)
    {
        std::vector<std::string_view> labels;
        std::size_t pos = 0;
        while (pos < wire.size() && wire[pos] != 0) {
            labels.emplace_back(reinterpret_cast<const char*>(wire.data() + pos + 1), wire[pos]);
            pos += 1 + wire[pos];
        }
        return labels;
    }

    template <typename T> bool parseNumber(std::string_view text, T& out, int base)
    {
        if (text.empty())
            return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
        return ec == std::errc {} && end == text.data() + text.size();
    }

    void maskTo(std::array<std::uint8_t, 16>& bytes, std::size_t length)
    {
        for (std::size_t bit = length; bit < 128; ++bit)
            bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }

    struct IpTriggerOwner {
        std::array<std::uint8_t, 16> bytes {};
        std::uint8_t length { 0 };
        bool v6 { false };
    };

    // `labels` are those before "rpz-ip": the prefix length, then the address reversed. IPv4 has four
    // decimal octets; IPv6 has eight hexadecimal groups, or fewer with one "zz" for the zero run.
    std::expected<IpTriggerOwner, RpzError> parseIpTrigger(std::span<const std::string_view> labels)
    {
        IpTriggerOwner out;
        unsigned length = 0;
        if (labels.size() < 2 || !parseNumber(labels[0], length, 10))
            return std::unexpected(RpzError::BadPrefixLength);
        auto address = labels.subspan(1);
        bool has_zz = std::ranges::count(address, std::string_view("zz")) > 0;
        if (address.size() == 4 && !has_zz) {
            if (length < 1 || length > 32)
                return std::unexpected(RpzError::BadPrefixLength);
            for (std::size_t i = 0; i < 4; ++i) {
                unsigned octet = 0;
                if (!parseNumber(address[3 - i], octet, 10) || octet > 255)
                    return std::unexpected(RpzError::BadIpTrigger);
                out.bytes[i] = static_cast<std::uint8_t>(octet);
            }
        } else {
            if (length < 1 || length > 128)
                return std::unexpected(RpzError::BadPrefixLength);
            if (std::ranges::count(address, std::string_view("zz")) > 1 || address.size() > 8
                || (address.size() < 8 && !has_zz) || (address.size() == 8 && has_zz))
                return std::unexpected(RpzError::BadIpTrigger);
            std::size_t group = 0;
            for (auto it = address.rbegin(); it != address.rend(); ++it) {
                if (*it == "zz") {
                    group += 9 - address.size();
                    continue;
                }
                unsigned value = 0;
                if (it->size() > 4 || !parseNumber(*it, value, 16))
                    return std::unexpected(RpzError::BadIpTrigger);
                out.bytes[2 * group] = static_cast<std::uint8_t>(value >> 8);
                out.bytes[2 * group + 1] = static_cast<std::uint8_t>(value);
                ++group;
            }
            out.v6 = true;
        }
        out.length = static_cast<std::uint8_t>(length);
        maskTo(out.bytes, length);
        return out;
    }

    bool isWellFormedTxt(std::span<const std::uint8_t> rdata)
    {
        std::size_t pos = 0;
        while (pos < rdata.size())
            pos += 1 + rdata[pos];
        return !rdata.empty() && pos == rdata.size();
    }

    std::optional<RpzAction> actionOfCnameTarget(const DnsName& target)
    {
        if (target.isRoot())
            return RpzAction::nxdomain;
        std::string text = lowerCased(target).toText();
        if (text == "*.")
            return RpzAction::nodata;
        if (text == "rpz-passthru.")
            return RpzAction::passthru;
        if (text == "rpz-drop.")
            return RpzAction::drop;
        if (text == "rpz-tcp-only.")
            return RpzAction::tcp_only;
        return std::nullopt;
    }

    // The table's hash folds a name's labels from the root down, so one pass over a question name gives
    // the hash of each of its suffixes: the exact probe and every wildcard probe cost one walk. It is not
    // a PRF, and need not be: the keys are the operator's, and a stranger who picks the question names
    // cannot add keys to make a probe run long. The seed still differs per process.
    std::uint64_t mix(std::uint64_t x)
    {
        x *= 0x9E3779B97F4A7C15ULL;
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ULL;
        x ^= x >> 32;
        return x;
    }

    std::uint64_t rootSeed()
    {
        static const std::uint64_t seed = [] {
            std::uint64_t s = 0;
            std::memcpy(&s, processSipHashKey().data(), sizeof s);
            return mix(s);
        }();
        return seed;
    }

    // `label` starts at its length byte.
    std::uint64_t foldLabel(std::uint64_t hash, const std::uint8_t* label)
    {
        const std::size_t size = 1 + std::size_t(label[0]);
        for (std::size_t i = 0; i < size; i += 8) {
            std::uint64_t chunk = 0;
            std::memcpy(&chunk, label + i, std::min<std::size_t>(8, size - i));
            hash = mix(hash ^ chunk);
        }
        return hash;
    }

    constexpr std::size_t max_labels = 128;

    // A lower-cased question name with the start and hash of each of its suffixes; lives on the stack.
    struct Suffixes {
        std::array<std::uint8_t, DnsName::max_len> wire;
        std::array<std::uint8_t, max_labels> start;
        std::array<std::uint64_t, max_labels + 1> hash; // hash[labels] is the root's
        std::size_t size { 0 };
        std::size_t labels { 0 };

        explicit Suffixes(std::span<const std::uint8_t> name)
        {
            size = name.size();
            for (std::size_t i = 0; i < size; ++i)
                wire[i] = dnsToLower(name[i]);
            for (std::size_t pos = 0; pos < size && wire[pos] != 0 && labels < max_labels;
                 pos += 1 + wire[pos])
                start[labels++] = static_cast<std::uint8_t>(pos);
            hash[labels] = rootSeed();
            for (std::size_t i = labels; i-- > 0;)
                hash[i] = foldLabel(hash[i + 1], &wire[start[i]]);
        }
        // The suffix that starts at label `i` (i == labels: the root).
        std::span<const std::uint8_t> suffix(std::size_t i) const
        {
            const std::size_t from = i < labels ? start[i] : size - 1;
            return { wire.data() + from, size - from };
        }
    };

    // The hash of a whole lower-cased wire name, as the question-name tables key it.
    std::uint64_t suffixHash(std::span<const std::uint8_t> lower_wire)
    {
        return Suffixes(lower_wire).hash[0];
    }

} // namespace

std::string RpzBuildError::text() const
{
    return owner + ": " + dottedErrorName(kind);
}

std::string_view rpzActionName(RpzAction action)
{
    switch (action) {
    case RpzAction::nxdomain:
        return "nxdomain";
    case RpzAction::nodata:
        return "nodata";
    case RpzAction::passthru:
        return "passthru";
    case RpzAction::drop:
        return "drop";
    case RpzAction::tcp_only:
        return "tcp-only";
    case RpzAction::local_data:
        return "local-data";
    }
    return "unknown";
}

std::vector<const RpzLocalRecord*> RpzMatch::recordsFor(QType qtype) const
{
    std::vector<const RpzLocalRecord*> out;
    for (const auto& record : local_data) {
        if (record.rtype == QType::cname)
            return { &record };
        if (record.rtype == qtype)
            out.push_back(&record);
    }
    return out;
}

RpzReply rpzReply(const RpzMatch& match, QType qtype, bool over_udp)
{
    using Kind = RpzReply::Kind;
    switch (match.action) {
    case RpzAction::passthru:
        return {};
    case RpzAction::drop:
        return { .kind = Kind::drop };
    case RpzAction::tcp_only:
        return { .kind = over_udp ? Kind::truncate : Kind::answer_normally };
    case RpzAction::nxdomain:
        return { .kind = Kind::rewrite, .rcode = RCode::nx_domain, .extended_error = RpzReply::ede_blocked };
    case RpzAction::nodata:
        return { .kind = Kind::rewrite, .extended_error = RpzReply::ede_blocked };
    case RpzAction::local_data:
        return {
            .kind = Kind::rewrite, .extended_error = RpzReply::ede_filtered, .answer = match.recordsFor(qtype)
        };
    }
    return {};
}

WireResult<std::vector<std::uint8_t>> rpzRewritePacket(
    const DnsName& qname, QType qtype, const RpzReply& reply)
{
    auto writer = TRY(PacketWriter::init(qname, qtype, QClass::in));
    auto header = writer.getHeader();
    header[2] = flag_qr;
    header[3] = flag_ra;
    setHeaderRcode(header, reply.rcode);
    for (const RpzLocalRecord* record : reply.answer) {
        TRY_VOID(writer.startRecord(qname, record->rtype, QClass::in, record->ttl, Section::answer));
        TRY_VOID(writer.writeBlob(record->rdata));
        TRY_VOID(writer.commit());
    }
    return writer.finish();
}

std::optional<RpzCnameStep> rpzCnameStep(const RpzReply& reply, QType qtype)
{
    if (reply.kind != RpzReply::Kind::rewrite || reply.answer.size() != 1
        || reply.answer[0]->rtype != QType::cname || qtype == QType::cname || qtype == QType::any)
        return std::nullopt;
    auto target = DnsName::fromWire(reply.answer[0]->rdata);
    if (!target)
        return std::nullopt; // checked at build: cannot happen
    return RpzCnameStep { *target, reply.answer[0]->ttl };
}

namespace {

    bool isDnssecType(QType type)
    {
        return type == QType::rrsig || type == QType::nsec || type == QType::nsec3 || type == QType::ds
            || type == QType::dnskey;
    }

} // namespace

WireResult<std::vector<std::uint8_t>> rpzFollowedPacket(
    const DnsName& qname, QType qtype, const RpzCnameStep& step, std::span<const std::uint8_t> target_answer)
{
    const DnsMessage target = TRY(DnsMessage::parse(target_answer));
    auto writer = TRY(PacketWriter::init(qname, qtype, QClass::in));
    auto header = writer.getHeader();
    header[2] = flag_qr;
    header[3] = flag_ra;
    setHeaderRcode(header, Header::fromSlice(target_answer).rcode());
    TRY_VOID(writer.startRecord(qname, QType::cname, QClass::in, step.ttl, Section::answer));
    TRY_VOID(writer.writeName(step.target, false));
    TRY_VOID(writer.commit());
    for (const DnsRecord& record : target.records) {
        if (record.section == Section::additional || (isDnssecType(record.rtype) && record.rtype != qtype))
            continue;
        TRY_VOID(writer.startRecord(record.name, record.rtype, record.rclass, record.ttl, record.section));
        TRY_VOID(record.rdata.writeTo(writer));
        TRY_VOID(writer.commit());
    }
    return writer.finish();
}

// --- NameTable ---

bool RpzPolicy::NameTable::keyEquals(const Slot& slot, std::span<const std::uint8_t> lower_wire) const
{
    // Wire names end at their root byte, so a key in the arena cannot be a strict prefix of another.
    return slot.key_offset + lower_wire.size() <= arena_.size()
        && std::memcmp(arena_.data() + slot.key_offset, lower_wire.data(), lower_wire.size()) == 0;
}

void RpzPolicy::NameTable::grow()
{
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot { 0, no_rule });
    for (const Slot& slot : old) {
        if (slot.rule == no_rule)
            continue;
        // The key's length: its labels up to the root byte.
        std::size_t len = 0;
        while (arena_[slot.key_offset + len] != 0)
            len += 1 + arena_[slot.key_offset + len];
        std::span<const std::uint8_t> key { arena_.data() + slot.key_offset, len + 1 };
        std::size_t i = slotOf(suffixHash(key));
        while (slots_[i].rule != no_rule)
            i = (i + 1) & (slots_.size() - 1);
        slots_[i] = slot;
    }
}

std::optional<std::uint32_t> RpzPolicy::NameTable::insert(
    std::span<const std::uint8_t> lower_wire, std::uint32_t rule)
{
    Suffixes whole(lower_wire);
    if (std::uint32_t existing = find(lower_wire, whole.hash[0], whole.labels); existing != no_rule)
        return existing;
    // At most half full, so that probe runs stay short.
    if ((count_ + 1) * 2 > slots_.size())
        grow();
    depths_.set(whole.labels);
    std::size_t i = slotOf(whole.hash[0]);
    while (slots_[i].rule != no_rule)
        i = (i + 1) & (slots_.size() - 1);
    slots_[i] = Slot { static_cast<std::uint32_t>(arena_.size()), rule };
    arena_.insert(arena_.end(), lower_wire.begin(), lower_wire.end());
    ++count_;
    return std::nullopt;
}

std::uint32_t RpzPolicy::NameTable::find(
    std::span<const std::uint8_t> lower_wire, std::uint64_t hash, std::size_t labels) const
{
    if (!hasDepth(labels))
        return no_rule;
    for (std::size_t i = slotOf(hash);; i = (i + 1) & (slots_.size() - 1)) {
        const Slot& slot = slots_[i];
        if (slot.rule == no_rule || keyEquals(slot, lower_wire))
            return slot.rule;
    }
}

// --- building ---

std::size_t RpzPolicy::PrefixHash::operator()(const Prefix& p) const
{
    return sipHash24(processSipHashKey(), p.bytes);
}

std::expected<std::uint32_t, RpzError> RpzPolicy::ruleFor(const RpzInputRecord& record)
{
    auto parsed = DnsName::fromWire(record.owner);
    if (!parsed)
        return std::unexpected(RpzError::BadOwner);
    DnsName owner = lowerCased(*parsed);
    if (!owner.isPartOf(zone_))
        return std::unexpected(RpzError::OwnerOutsideZone);
    std::size_t prefix_len = owner.len - zone_.len;
    if (prefix_len == 0) {
        // The zone's own SOA and NS are not rules.
        if (record.rtype == QType::soa || record.rtype == QType::ns)
            return skip_rule;
        return std::unexpected(RpzError::DataAtApex);
    }
    std::vector<std::uint8_t> trigger(owner.storage.begin(), owner.storage.begin() + prefix_len);
    trigger.push_back(0);
    auto labels = labelsOf(trigger);
    auto next_rule = static_cast<std::uint32_t>(rules_.size());
    std::string_view last = labels.back();
    if (last == "rpz-nsdname" || last == "rpz-nsip" || last == "rpz-client-ip") {
        ++skipped_;
        return skip_rule;
    }
    std::optional<std::uint32_t> existing;
    if (last == "rpz-ip") {
        auto ip = TRY(parseIpTrigger(std::span(labels).first(labels.size() - 1)));
        IpTable& table = ip.v6 ? v6_ : v4_;
        if (table.by_length.empty())
            table.by_length.resize(129);
        auto& by_prefix = table.by_length[ip.length];
        if (by_prefix.empty()) {
            table.lengths.push_back(ip.length);
            std::ranges::sort(table.lengths, std::greater {});
        }
        auto [it, inserted] = by_prefix.try_emplace(Prefix { ip.bytes }, next_rule);
        if (!inserted)
            existing = it->second;
    } else if (labels.front() == "*") {
        existing = wildcard_.insert(std::span(trigger).subspan(2), next_rule);
    } else {
        existing = exact_.insert(trigger, next_rule);
    }
    if (existing)
        return *existing;
    rules_.push_back(Rule {});
    return next_rule;
}

std::expected<void, RpzError> RpzPolicy::finishRule(std::uint32_t rule, std::span<const Pending> pending,
    std::span<const RpzInputRecord> records, std::uint32_t& failed)
{
    Rule& out = rules_[rule];
    failed = pending.front().input;
    out.local_first = static_cast<std::uint32_t>(local_.size());
    out.action = RpzAction::local_data;
    if (pending.size() > max_local_records)
        return std::unexpected(RpzError::TooManyRecords);
    // A CNAME stands alone at its owner (RFC 1034 §3.6.2), whether it names an action or data.
    auto cnames = std::ranges::count_if(
        pending, [&](const Pending& p) { return records[p.input].rtype == QType::cname; });
    if (cnames > 1)
        return std::unexpected(RpzError::DuplicateCname);
    if (cnames == 1 && pending.size() > 1)
        return std::unexpected(RpzError::CnameWithOtherData);
    for (const Pending& p : pending) {
        const RpzInputRecord& record = records[p.input];
        failed = p.input;
        switch (record.rtype) {
        case QType::cname: {
            auto target = DnsName::fromWire(record.rdata);
            if (!target)
                return std::unexpected(RpzError::BadRdata);
            if (auto action = actionOfCnameTarget(*target))
                out.action = *action;
            break;
        }
        case QType::a:
            if (record.rdata.size() != 4)
                return std::unexpected(RpzError::BadRdata);
            break;
        case QType::aaaa:
            if (record.rdata.size() != 16)
                return std::unexpected(RpzError::BadRdata);
            break;
        case QType::txt:
            if (!isWellFormedTxt(record.rdata))
                return std::unexpected(RpzError::BadRdata);
            break;
        default:
            return std::unexpected(RpzError::UnsupportedRecordType);
        }
        if (out.action == RpzAction::local_data)
            local_.push_back(RpzLocalRecord { record.rtype, record.ttl,
                std::vector<std::uint8_t>(record.rdata.begin(), record.rdata.end()) });
    }
    out.local_count = static_cast<std::uint16_t>(local_.size() - out.local_first);
    return {};
}

std::expected<RpzPolicy, RpzBuildError> RpzPolicy::build(
    const DnsName& zone, std::span<const RpzInputRecord> records)
{
    RpzPolicy policy;
    policy.zone_ = lowerCased(zone);
    auto fail = [&](RpzError kind, std::size_t index) {
        auto parsed = DnsName::fromWire(records[index].owner);
        return std::unexpected(RpzBuildError { kind, parsed ? parsed->toText() : std::string(), index });
    };
    std::vector<Pending> pending;
    pending.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        auto rule = policy.ruleFor(records[i]);
        if (!rule)
            return fail(rule.error(), i);
        if (*rule != skip_rule)
            pending.push_back(Pending { *rule, static_cast<std::uint32_t>(i) });
    }
    // The records of one rule may be scattered through the zone: gather them, keeping zone order.
    std::ranges::stable_sort(pending, {}, &Pending::rule);
    for (auto first = pending.begin(); first != pending.end();) {
        auto last
            = std::find_if(first, pending.end(), [&](const Pending& p) { return p.rule != first->rule; });
        std::uint32_t failed = 0;
        auto done = policy.finishRule(first->rule, std::span(first, last), records, failed);
        if (!done)
            return fail(done.error(), failed);
        first = last;
    }
    return policy;
}

// --- matching ---

RpzMatch RpzPolicy::matchOf(std::uint32_t rule, RpzTrigger trigger) const
{
    const Rule& r = rules_[rule];
    return RpzMatch { .zone = &zone_,
        .trigger = trigger,
        .action = r.action,
        .local_data = std::span(local_).subspan(r.local_first, r.local_count) };
}

std::optional<RpzMatch> RpzPolicy::matchQname(const DnsName& qname) const
{
    if (qname.isEmpty() || (exact_.size() == 0 && wildcard_.size() == 0))
        return std::nullopt;
    const Suffixes name(qname.wireBytes());
    if (std::uint32_t rule = exact_.find(name.suffix(0), name.hash[0], name.labels);
        rule != NameTable::no_rule)
        return matchOf(rule, RpzTrigger::qname);
    // The closest enclosing wildcard wins: each strict ancestor, nearest first.
    for (std::size_t i = 1; i <= name.labels; ++i)
        if (std::uint32_t rule = wildcard_.find(name.suffix(i), name.hash[i], name.labels - i);
            rule != NameTable::no_rule)
            return matchOf(rule, RpzTrigger::qname);
    return std::nullopt;
}

std::optional<RpzPolicy::IpHit> RpzPolicy::matchAddress(
    const IpTable& table, std::span<const std::uint8_t> addr) const
{
    for (std::uint8_t length : table.lengths) {
        Prefix key;
        std::copy(addr.begin(), addr.end(), key.bytes.begin());
        maskTo(key.bytes, length);
        const auto& by_prefix = table.by_length[length];
        if (auto it = by_prefix.find(key); it != by_prefix.end())
            return IpHit { it->second, length };
    }
    return std::nullopt;
}

std::optional<RpzMatch> RpzPolicy::matchResponse(std::span<const DnsRecord> answer) const
{
    std::optional<IpHit> best;
    for (const DnsRecord& record : answer) {
        if (record.section != Section::answer)
            continue;
        std::optional<IpHit> hit;
        if (const auto* a = record.rdata.getIf<RDataTag::a>(); a && !v4_.lengths.empty())
            hit = matchAddress(v4_, a->addr);
        else if (const auto* aaaa = record.rdata.getIf<RDataTag::aaaa>(); aaaa && !v6_.lengths.empty())
            hit = matchAddress(v6_, aaaa->addr);
        if (hit && (!best || hit->length > best->length))
            best = hit;
    }
    if (!best)
        return std::nullopt;
    return matchOf(best->rule, RpzTrigger::response_ip);
}

std::size_t RpzPolicy::ipRuleCount() const
{
    std::size_t count = 0;
    for (const IpTable* table : { &v4_, &v6_ })
        for (const auto& by_prefix : table->by_length)
            count += by_prefix.size();
    return count;
}

std::size_t RpzPolicy::memoryBytes() const
{
    std::size_t bytes = exact_.memoryBytes() + wildcard_.memoryBytes() + rules_.capacity() * sizeof(Rule)
        + local_.capacity() * sizeof(RpzLocalRecord);
    for (const auto& record : local_)
        bytes += record.rdata.capacity();
    // An unordered_map node holds the pair and a next pointer; each bucket is a pointer.
    constexpr std::size_t node = sizeof(Prefix) + sizeof(std::uint32_t) + 2 * sizeof(void*);
    for (const IpTable* table : { &v4_, &v6_ })
        for (const auto& by_prefix : table->by_length)
            bytes += by_prefix.size() * node + by_prefix.bucket_count() * sizeof(void*);
    return bytes;
}

// --- reading a file ---

namespace {

    // The records of a policy zone as scanned: their bytes back to back in one arena, so that a million
    // rules cost a few dozen bytes each until the policy is built.
    struct ScannedZone {
        struct Entry {
            std::uint64_t owner_offset;
            std::uint64_t rdata_offset;
            std::uint64_t line;
            std::uint32_t ttl;
            std::uint16_t rdata_size;
            std::uint8_t owner_size;
            QType type;
        };
        std::vector<std::uint8_t> arena;
        std::vector<Entry> entries;

        std::optional<ScanStop> take(const ScannedRecord& record)
        {
            if (entries.size() >= max_rpz_records)
                return ScanStop { ZoneFileError::TooManyRecords,
                    "more than " + std::to_string(max_rpz_records) + " records" };
            const std::uint64_t owner_offset = arena.size();
            arena.insert(arena.end(), record.owner.begin(), record.owner.end());
            arena.insert(arena.end(), record.rdata.begin(), record.rdata.end());
            entries.push_back({ owner_offset, owner_offset + record.owner.size(), record.line, record.ttl,
                static_cast<std::uint16_t>(record.rdata.size()),
                static_cast<std::uint8_t>(record.owner.size()), record.type });
            return std::nullopt;
        }

        // Views into the arena, which no longer grows.
        std::vector<RpzInputRecord> inputs() const
        {
            std::vector<RpzInputRecord> out;
            out.reserve(entries.size());
            for (const Entry& e : entries)
                out.push_back({ std::span(arena).subspan(e.owner_offset, e.owner_size), e.type, e.ttl,
                    std::span(arena).subspan(e.rdata_offset, e.rdata_size) });
            return out;
        }
    };

} // namespace

std::expected<RpzPolicy, ZoneLoadFailure> loadRpzPolicy(
    const DnsName& zone, std::optional<std::string_view> text, std::string_view label)
{
    try {
        ScannedZone scanned;
        TRY_VOID(scanMasterFile(
            zone, text, label, [&](const ScannedRecord& record) { return scanned.take(record); }));
        auto policy = RpzPolicy::build(zone, scanned.inputs());
        if (!policy)
            return std::unexpected(ZoneLoadFailure { ZoneFileError::BadRule, std::string(label),
                scanned.entries[policy.error().record].line, policy.error().text() });
        return std::move(*policy);
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            ZoneLoadFailure { ZoneFileError::OutOfMemory, std::string(label), 0, "out of memory" });
    }
}

// --- the set ---

std::shared_ptr<const RpzPolicy> RpzSet::find(const DnsName& zone) const
{
    const auto it = std::ranges::find_if(
        policies_, [&](const std::shared_ptr<const RpzPolicy>& policy) { return policy->zone().eql(zone); });
    return it == policies_.end() ? nullptr : *it;
}

std::optional<RpzMatch> RpzSet::matchQname(const DnsName& qname) const
{
    for (std::size_t i = 0; i < policies_.size(); ++i)
        if (auto match = policies_[i]->matchQname(qname)) {
            match->zone_index = i;
            return match;
        }
    return std::nullopt;
}

std::optional<RpzMatch> RpzSet::matchResponse(std::span<const DnsRecord> answer) const
{
    for (std::size_t i = 0; i < policies_.size(); ++i)
        if (auto match = policies_[i]->matchResponse(answer)) {
            match->zone_index = i;
            return match;
        }
    return std::nullopt;
}

} // namespace recursor
