#include "wire/writer.h"

#include <new>

namespace recursor {

namespace {

    constexpr std::size_t initial_capacity = 512;
    // A reader follows at most this many pointers in one name (see DnsName::fromPacket).
    constexpr std::size_t max_pointers_per_name = 16;
    constexpr std::size_t max_labels = 128;

    // The labels of a name stored in the buffer, found by following its pointers. For each label it
    // also keeps how many pointers a reader follows from that label to the end of the name.
    struct StoredLabels {
        std::array<std::size_t, max_labels> pos {};
        std::array<std::uint8_t, max_labels> pointers_after {};
        std::size_t count { 0 };
    };

    // Walks the name stored at `offset`. A walk that does not reach the terminating zero byte (a
    // corrupt byte, the end of the buffer, or more pointers than a reader follows) gives nothing: a
    // name that cannot be read back in full is no compression target.
    bool collectStoredLabels(std::span<const std::uint8_t> buf, std::size_t offset, StoredLabels& out)
    {
        std::array<std::uint8_t, max_labels> pointers_before {};
        std::size_t count = 0;
        std::size_t pointers = 0;
        std::size_t p = offset;
        while (p < buf.size()) {
            const std::uint8_t b = buf[p];
            if (b == 0) {
                for (std::size_t i = 0; i < count; ++i)
                    out.pointers_after[i] = static_cast<std::uint8_t>(pointers - pointers_before[i]);
                out.count = count;
                return true;
            }
            if (b >= 0xC0) {
                if (p + 1 >= buf.size() || pointers == max_pointers_per_name)
                    return false;
                ++pointers;
                p = (static_cast<std::size_t>(b & 0x3F) << 8) | buf[p + 1];
            } else if (b <= 63 && count < max_labels && p + 1 + b <= buf.size()) {
                out.pos[count] = p;
                pointers_before[count++] = static_cast<std::uint8_t>(pointers);
                p += b + 1u;
            } else {
                return false;
            }
        }
        return false;
    }

    bool labelsMatch(const std::uint8_t* a, const std::uint8_t* b)
    {
        if (a[0] != b[0])
            return false;
        for (std::size_t k = 1; k <= a[0]; ++k) {
            if (dnsToLower(a[k]) != dnsToLower(b[k]))
                return false;
        }
        return true;
    }

} // namespace

WireResult<PacketWriter> PacketWriter::init(const DnsName& qname, QType qtype, QClass qclass)
{
    PacketWriter w;
    try {
        w.buf_.reserve(initial_capacity);
        w.buf_.resize(Header::size, 0);
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    w.buf_[5] = 1; // QDCOUNT
    TRY_VOID(w.writeName(qname, false));
    TRY_VOID(w.writeU16(toU16(qtype)));
    TRY_VOID(w.writeU16(toU16(qclass)));
    return w;
}

WireResult<void> PacketWriter::append(std::span<const std::uint8_t> bytes)
{
    try {
        buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    return {};
}

WireResult<void> PacketWriter::writeU8(std::uint8_t val)
{
    return append(std::span(&val, 1));
}

WireResult<void> PacketWriter::writeU16(std::uint16_t val)
{
    const std::uint8_t b[2] = { static_cast<std::uint8_t>(val >> 8), static_cast<std::uint8_t>(val) };
    return append(b);
}

WireResult<void> PacketWriter::writeU32(std::uint32_t val)
{
    const std::uint8_t b[4] = { static_cast<std::uint8_t>(val >> 24), static_cast<std::uint8_t>(val >> 16),
        static_cast<std::uint8_t>(val >> 8), static_cast<std::uint8_t>(val) };
    return append(b);
}

WireResult<void> PacketWriter::writeBlob(std::span<const std::uint8_t> bytes)
{
    return append(bytes);
}

void PacketWriter::recordNamePosition(std::size_t pos)
{
    if (pos <= max_pointer_offset && name_count_ < max_candidates)
        name_positions_[name_count_++] = static_cast<std::uint16_t>(pos);
}

PacketWriter::LookupResult PacketWriter::lookupName(const DnsName& name) const
{
    std::array<std::size_t, max_labels> own {};
    std::size_t k = 0;
    for (std::size_t p = 0; p < name.len && name.storage[p] != 0 && k < max_labels; p += name.storage[p] + 1u)
        own[k++] = p;

    LookupResult best;
    StoredLabels cand;
    for (std::size_t c = 0; c < name_count_; ++c) {
        if (!collectStoredLabels(buf_, name_positions_[c], cand) || cand.count == 0)
            continue;
        const std::size_t n = cand.count;
        std::size_t match_len = 1;
        for (std::size_t matched = 1; matched <= k && matched <= n; ++matched) {
            const std::size_t mine = own[k - matched];
            const std::size_t target = n - matched;
            if (!labelsMatch(name.storage.data() + mine, buf_.data() + cand.pos[target]))
                break;
            match_len += name.storage[mine] + 1u;
            // Our own pointer is one more hop for the reader on top of the candidate's.
            const bool readable = 1u + cand.pointers_after[target] <= max_pointers_per_name;
            if (readable && match_len > best.match_len)
                best = { cand.pos[target], match_len };
        }
    }
    return best;
}

WireResult<void> PacketWriter::writeName(const DnsName& name, bool compress)
{
    const std::size_t start = buf_.size();
    if (name.isEmpty())
        return writeU8(0);
    if (name_form_ == NameForm::canonical) {
        DnsName lower = name;
        lower.makeLowerCase();
        return append(lower.wireBytes());
    }
    if (compress && name_form_ == NameForm::as_asked && !name.isRoot()) {
        const LookupResult best = lookupName(name);
        if (best.offset >= 1 && best.offset <= max_pointer_offset) {
            if (best.match_len < name.len) {
                TRY_VOID(append(std::span(name.storage.data(), name.len - best.match_len)));
                recordNamePosition(start);
            }
            return writeU16(static_cast<std::uint16_t>(0xC000 | best.offset));
        }
    }
    TRY_VOID(append(name.wireBytes()));
    recordNamePosition(start);
    return {};
}

WireResult<void> PacketWriter::startRecord(
    const DnsName& rec_name, QType rtype, QClass rclass, std::uint32_t ttl, Section section)
{
    TRY_VOID(commit());
    rollback_pos_ = buf_.size();
    rollback_name_count_ = name_count_;
    record_begun_ = true;
    current_section_ = section;
    TRY_VOID(writeName(rec_name, true));
    TRY_VOID(writeU16(toU16(rtype)));
    TRY_VOID(writeU16(toU16(rclass)));
    TRY_VOID(writeU32(ttl));
    TRY_VOID(writeU16(0));
    rdata_start_ = buf_.size();
    return {};
}

std::uint16_t PacketWriter::readHeaderU16(std::size_t offset) const
{
    return static_cast<std::uint16_t>((buf_[offset] << 8) | buf_[offset + 1]);
}

void PacketWriter::writeHeaderU16(std::size_t offset, std::uint16_t val)
{
    buf_[offset] = static_cast<std::uint8_t>(val >> 8);
    buf_[offset + 1] = static_cast<std::uint8_t>(val);
}

WireResult<void> PacketWriter::commit()
{
    if (rdata_start_ == 0)
        return {};
    const std::size_t rdlength = buf_.size() - rdata_start_;
    if (rdlength > 0xFFFF)
        return std::unexpected(WireError::RdataTooLong);
    std::size_t count_offset = 6;
    switch (current_section_) {
    case Section::question:
    case Section::answer:
        count_offset = 6;
        break;
    case Section::authority:
        count_offset = 8;
        break;
    case Section::additional:
        count_offset = 10;
        break;
    }
    const std::uint16_t count = readHeaderU16(count_offset);
    if (count == 0xFFFF)
        return std::unexpected(WireError::RdataTooLong);
    buf_[rdata_start_ - 2] = static_cast<std::uint8_t>(rdlength >> 8);
    buf_[rdata_start_ - 1] = static_cast<std::uint8_t>(rdlength);
    writeHeaderU16(count_offset, static_cast<std::uint16_t>(count + 1));
    rdata_start_ = 0;
    record_begun_ = false;
    return {};
}

void PacketWriter::rollback()
{
    if (!record_begun_)
        return;
    record_begun_ = false;
    buf_.resize(rollback_pos_);
    name_count_ = rollback_name_count_;
    rdata_start_ = 0;
}

WireResult<std::vector<std::uint8_t>> PacketWriter::finish()
{
    TRY_VOID(commit());
    std::vector<std::uint8_t> out = std::move(buf_);
    buf_ = {};
    name_count_ = 0;
    return out;
}

} // namespace recursor
