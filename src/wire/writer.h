// Builds DNS messages front to back: header and question, then records with name compression
// (RFC 1035 §4.1.4), record commit and rollback. The buffer grows as needed; size limits are the caller's.
#pragma once

#include "wire/constants.h"
#include "wire/header.h"
#include "wire/name.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace recursor {

class PacketWriter {
public:
    static constexpr std::size_t max_candidates = 128;
    static constexpr std::size_t max_pointer_offset = 0x3FFF;

    // How writeName puts names down: as each field asks (compressed where the type allows it), always
    // in full, or in full and lower-cased as in the DNSSEC canonical form (RFC 4034 §6.2).
    enum class NameForm : std::uint8_t { as_asked, in_full, canonical };

    struct LookupResult {
        std::size_t offset { 0 }; // 0 = nothing found
        std::size_t match_len { 0 };
    };

    // Writes a zero header with QDCOUNT 1 and the question (name uncompressed).
    static WireResult<PacketWriter> init(const DnsName& qname, QType qtype, QClass qclass);

    std::span<std::uint8_t> getHeader() { return { buf_.data(), Header::size }; }

    // Commits the open record, then writes the owner name (compressed), type, class, TTL and a zero RDLENGTH.
    WireResult<void> startRecord(
        const DnsName& rec_name, QType rtype, QClass rclass, std::uint32_t ttl, Section section);

    WireResult<void> writeU8(std::uint8_t val);
    WireResult<void> writeU16(std::uint16_t val);
    WireResult<void> writeU32(std::uint32_t val);
    WireResult<void> writeIPv4(const std::array<std::uint8_t, 4>& addr) { return writeBlob(addr); }
    WireResult<void> writeIPv6(const std::array<std::uint8_t, 16>& addr) { return writeBlob(addr); }
    WireResult<void> writeBlob(std::span<const std::uint8_t> bytes);
    WireResult<void> writeName(const DnsName& name, bool compress);
    void setNameForm(NameForm form) { name_form_ = form; }

    // Closes the open record: fills in RDLENGTH and counts it in its section.
    WireResult<void> commit();
    // Discards the open (or partly started) record and every compression candidate recorded since it
    // began. Without such a record it does nothing, so a committed record can never be taken back.
    void rollback();
    // Commits and hands over the message; the writer is empty afterwards.
    WireResult<std::vector<std::uint8_t>> finish();

    LookupResult lookupName(const DnsName& name) const;

    std::size_t size() const { return buf_.size(); }
    std::span<const std::uint8_t> bytes() const { return buf_; }
    std::size_t nameCount() const { return name_count_; }
    bool hasOpenRecord() const { return rdata_start_ != 0; }
    std::size_t openRdataLength() const { return rdata_start_ ? buf_.size() - rdata_start_ : 0; }

private:
    PacketWriter() = default;
    WireResult<void> append(std::span<const std::uint8_t> bytes);
    void recordNamePosition(std::size_t pos);
    std::uint16_t readHeaderU16(std::size_t offset) const;
    void writeHeaderU16(std::size_t offset, std::uint16_t val);

    std::vector<std::uint8_t> buf_;
    std::size_t name_count_ { 0 };
    std::size_t rdata_start_ { 0 };
    std::size_t rollback_pos_ { 0 };
    std::size_t rollback_name_count_ { 0 };
    bool record_begun_ { false }; // startRecord ran and the record was neither committed nor rolled back
    std::array<std::uint16_t, max_candidates> name_positions_ {};
    Section current_section_ { Section::answer };
    NameForm name_form_ { NameForm::as_asked };
};

} // namespace recursor
