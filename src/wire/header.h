// The 12-byte message header (RFC 1035 §4.1.1) and the 10 fixed bytes of a resource record.
#pragma once

#include "wire/constants.h"
#include "wire/wire_error.h"

#include <array>
#include <cstdint>
#include <span>

namespace recursor {

std::uint16_t readU16(std::span<const std::uint8_t> bytes);
std::uint32_t readU32(std::span<const std::uint8_t> bytes);

// Header flag masks, for code that edits a packet in place; a `Header` has a named accessor for each.
inline constexpr std::uint8_t flag_qr = 0x80; // byte 2
inline constexpr std::uint8_t flag_ad = 0x20; // byte 3
inline constexpr std::uint8_t flag_cd = 0x10; // byte 3

// Sets or clears one flag bit of a header held anywhere: a `Header` or a packet being written.
void setHeaderBit(std::span<std::uint8_t> header, std::size_t index, std::uint8_t mask, bool val);
// Replaces the RCODE in the low 4 bits of byte 3, keeping RA, Z, AD and CD.
void setHeaderRcode(std::span<std::uint8_t> header, RCode rc);

struct Header {
    static constexpr std::size_t size = 12;

    static Header fromBytes(const std::array<std::uint8_t, size>& raw) { return Header { raw }; }
    // The caller has checked that `slice` holds at least 12 bytes.
    static Header fromSlice(std::span<const std::uint8_t> slice);

    std::uint16_t id() const { return readU16(std::span(bytes).subspan(0, 2)); }
    bool qr() const { return (bytes[2] & flag_qr) != 0; }
    // OPCODE, the four bits after QR (RFC 1035 §4.1.1).
    std::uint8_t opcode() const { return static_cast<std::uint8_t>((bytes[2] >> 3) & 0x0F); }
    bool aa() const { return (bytes[2] & aa_bit) != 0; }
    bool tc() const { return (bytes[2] & tc_bit) != 0; }
    bool rd() const { return (bytes[2] & rd_bit) != 0; }
    bool ra() const { return (bytes[3] & ra_bit) != 0; }
    bool ad() const { return (bytes[3] & flag_ad) != 0; } // RFC 4035 §3.2.3
    bool cd() const { return (bytes[3] & flag_cd) != 0; } // RFC 4035 §3.2.2
    RCode rcode() const { return static_cast<RCode>(bytes[3] & 0x0F); }
    std::uint16_t qdCount() const { return readU16(std::span(bytes).subspan(4, 2)); }
    std::uint16_t anCount() const { return readU16(std::span(bytes).subspan(6, 2)); }
    std::uint16_t nsCount() const { return readU16(std::span(bytes).subspan(8, 2)); }
    std::uint16_t arCount() const { return readU16(std::span(bytes).subspan(10, 2)); }
    std::uint32_t totalRecordCount() const { return std::uint32_t { anCount() } + nsCount() + arCount(); }

    void setId(std::uint16_t id);
    void setQr(bool val) { setHeaderBit(bytes, 2, flag_qr, val); }
    void setAa(bool val) { setHeaderBit(bytes, 2, aa_bit, val); }
    void setTc(bool val) { setHeaderBit(bytes, 2, tc_bit, val); }
    void setRd(bool val) { setHeaderBit(bytes, 2, rd_bit, val); }
    void setRa(bool val) { setHeaderBit(bytes, 3, ra_bit, val); }
    void setAd(bool val) { setHeaderBit(bytes, 3, flag_ad, val); }
    void setCd(bool val) { setHeaderBit(bytes, 3, flag_cd, val); }
    void setRcode(RCode rc) { setHeaderRcode(bytes, rc); }

    std::array<std::uint8_t, size> bytes {};

private:
    static constexpr std::uint8_t aa_bit = 0x04; // byte 2
    static constexpr std::uint8_t tc_bit = 0x02; // byte 2
    static constexpr std::uint8_t rd_bit = 0x01; // byte 2
    static constexpr std::uint8_t ra_bit = 0x80; // byte 3
};

struct RecordHeader {
    static constexpr std::size_t size = 10;
    static WireResult<RecordHeader> fromSlice(std::span<const std::uint8_t> slice);

    QType rtype {};
    QClass rclass {};
    std::uint32_t ttl { 0 };
    std::uint16_t rdlength { 0 };
};

} // namespace recursor
