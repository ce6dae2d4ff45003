#include "wire/name.h"

#include <cstdio>
#include <cstring>

namespace recursor {

namespace {

    constexpr std::size_t max_pointers = 16;

} // namespace

DnsName DnsName::root()
{
    DnsName n;
    n.len = 1;
    return n;
}

WireResult<DnsName::Decoded> DnsName::fromPacket(
    std::span<const std::uint8_t> packet, std::size_t offset, std::size_t min_offset)
{
    const std::size_t size = packet.size();
    if (offset >= size)
        return std::unexpected(WireError::PacketTooShort);

    DnsName name;
    std::size_t p = offset;
    std::size_t i = 0;
    std::size_t consumed = 0;
    std::size_t pointers = 0;
    bool followed = false;
    for (;;) {
        const std::uint8_t b = packet[p];
        switch (b & 0xC0) {
        case 0x00:
            if (b == 0) {
                if (i > 254)
                    return std::unexpected(WireError::NameTooLong);
                name.storage[i] = 0;
                name.len = static_cast<std::uint8_t>(i + 1);
                if (!followed)
                    consumed = p - offset + 1;
                return Decoded { consumed, name };
            }
            if (b > 63)
                return std::unexpected(WireError::LabelTooLong);
            if (p + 1 + b > size)
                return std::unexpected(WireError::PacketTooShort);
            if (i + 1 + b > max_len)
                return std::unexpected(WireError::NameTooLong);
            std::memcpy(name.storage.data() + i, packet.data() + p, 1 + b);
            i += 1 + b;
            p += 1 + b;
            if (p >= size)
                return std::unexpected(WireError::PacketTooShort);
            break;
        case 0xC0: {
            if (p + 1 >= size)
                return std::unexpected(WireError::PacketTooShort);
            if (!followed)
                consumed = p - offset + 2;
            const std::size_t target = (static_cast<std::size_t>(b & 0x3F) << 8) | packet[p + 1];
            if (target >= p || target < min_offset)
                return std::unexpected(WireError::InvalidCompressionPointer);
            if (pointers == max_pointers)
                return std::unexpected(WireError::CompressionLoop);
            ++pointers;
            followed = true;
            p = target;
            break;
        }
        default:
            return std::unexpected(WireError::InvalidLabelType);
        }
    }
}

WireResult<DnsName> DnsName::fromWire(std::span<const std::uint8_t> wire)
{
    auto decoded = TRY(fromPacket(wire, 0, 0));
    if (decoded.consumed != wire.size())
        return std::unexpected(WireError::LengthMismatch);
    // A pointer in stand-alone wire form has nothing to point at.
    if (decoded.name.len != wire.size())
        return std::unexpected(WireError::InvalidCompressionPointer);
    return decoded.name;
}

WireResult<DnsName> DnsName::fromText(std::string_view text)
{
    DnsName name;
    if (text.empty() || text == ".")
        return root();
    std::size_t i = 0; // write position
    std::size_t label_start = 0;
    auto openLabel = [&]() -> bool {
        if (i + 1 > max_len)
            return false;
        label_start = i++;
        name.storage[label_start] = 0;
        return true;
    };
    if (!openLabel())
        return std::unexpected(WireError::NameTooLong);
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        std::uint8_t c = static_cast<std::uint8_t>(text[pos]);
        if (c == '.') {
            if (name.storage[label_start] == 0)
                return std::unexpected(WireError::InvalidLabelType);
            if (pos + 1 == text.size())
                break;
            if (!openLabel())
                return std::unexpected(WireError::NameTooLong);
            continue;
        }
        if (c == '\\' && pos + 1 < text.size()) {
            const auto isDigit = [](char d) { return d >= '0' && d <= '9'; };
            if (pos + 3 < text.size() + 0 && isDigit(text[pos + 1]) && isDigit(text[pos + 2])
                && isDigit(text[pos + 3])) {
                const int v
                    = (text[pos + 1] - '0') * 100 + (text[pos + 2] - '0') * 10 + (text[pos + 3] - '0');
                if (v > 255)
                    return std::unexpected(WireError::InvalidLabelType);
                c = static_cast<std::uint8_t>(v);
                pos += 3;
            } else {
                c = static_cast<std::uint8_t>(text[++pos]);
            }
        }
        if (name.storage[label_start] == 63)
            return std::unexpected(WireError::LabelTooLong);
        if (i + 1 > max_len - 1)
            return std::unexpected(WireError::NameTooLong);
        name.storage[i++] = c;
        ++name.storage[label_start];
    }
    if (name.storage[label_start] == 0)
        return std::unexpected(WireError::InvalidLabelType);
    if (i + 1 > max_len)
        return std::unexpected(WireError::NameTooLong);
    name.storage[i++] = 0;
    name.len = static_cast<std::uint8_t>(i);
    return name;
}

bool DnsName::eql(const DnsName& other) const
{
    if (len != other.len)
        return false;
    if (len == 0)
        return true;
    if (std::memcmp(storage.data(), other.storage.data(), len) == 0)
        return true;
    for (std::size_t k = 0; k < len; ++k) {
        if (dnsToLower(storage[k]) != dnsToLower(other.storage[k]))
            return false;
    }
    return true;
}

std::uint64_t DnsName::hashWithKey(const SipHashKey& key) const
{
    std::array<std::uint8_t, max_len> lower;
    for (std::size_t k = 0; k < len; ++k)
        lower[k] = dnsToLower(storage[k]);
    return sipHash24(key, { lower.data(), len });
}

bool DnsName::isPartOf(const DnsName& parent) const
{
    if (isEmpty() || parent.isEmpty())
        return false;
    if (parent.isRoot())
        return true;
    if (len < parent.len)
        return false;
    const std::size_t k = len - parent.len;
    if (std::memcmp(storage.data() + k, parent.storage.data(), parent.len) != 0) {
        for (std::size_t j = 0; j < parent.len; ++j) {
            if (dnsToLower(storage[k + j]) != dnsToLower(parent.storage[j]))
                return false;
        }
    }
    if (k == 0)
        return true;
    std::size_t pos = 0;
    while (pos < len) {
        if (pos == k)
            return true;
        if (storage[pos] == 0)
            return false;
        pos += storage[pos] + 1u;
    }
    return false;
}

bool DnsName::chopOff()
{
    if (isEmpty() || isRoot())
        return false;
    const std::size_t l = storage[0];
    std::memmove(storage.data(), storage.data() + l + 1, len - (l + 1));
    len = static_cast<std::uint8_t>(len - (l + 1));
    return true;
}

void DnsName::makeLowerCase()
{
    for (std::size_t k = 0; k < len; ++k)
        storage[k] = dnsToLower(storage[k]);
}

std::size_t DnsName::labelCount() const
{
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < len && storage[pos] != 0; pos += storage[pos] + 1u)
        ++count;
    return count;
}

std::string DnsName::toText() const
{
    if (isEmpty())
        return {};
    if (isRoot())
        return ".";
    std::string out;
    for (std::size_t pos = 0; pos < len && storage[pos] != 0;) {
        const std::size_t l = storage[pos];
        for (std::size_t k = pos + 1; k <= pos + l && k < len; ++k) {
            const std::uint8_t c = storage[k];
            if (c == '.' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x21 || c > 0x7E) {
                char esc[5];
                std::snprintf(esc, sizeof esc, "\\%03u", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '.';
        pos += l + 1;
    }
    return out;
}

} // namespace recursor
