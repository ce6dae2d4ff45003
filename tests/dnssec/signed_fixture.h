// Loads the RRsets signed by real tools (fixtures/generate.sh): each fixtures/algN/STEM.bin is a DNS
// response holding one RRset and its RRSIG. Shared by the tests and the benchmark.
#pragma once

#include "wire/record.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace recursor::dnssec::fixture {

inline std::string fixtureDir()
{
    return std::string(RECURSOR_SOURCE_DIR) + "/tests/dnssec/fixtures/";
}

inline std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// One RRset and its signature. Records and RRSIG are views into `packet`, which moves with them.
struct SignedRRset {
    std::vector<std::uint8_t> packet;
    std::vector<DnsRecord> records;
    rdata::dnssec::RRSIG rrsig;
};

// Nothing when the file is missing or is not one RRset with one RRSIG.
inline std::optional<SignedRRset> loadSignedRRset(int algorithm, const std::string& stem)
{
    SignedRRset out;
    out.packet = readFile(fixtureDir() + "alg" + std::to_string(algorithm) + "/" + stem + ".bin");
    auto message = DnsMessage::parse(out.packet);
    if (!message)
        return std::nullopt;
    std::size_t signatures = 0;
    for (const DnsRecord& r : message->records) {
        if (r.rtype != QType::rrsig) {
            out.records.push_back(r);
        } else {
            out.rrsig = r.rdata.get<RDataTag::rrsig>();
            ++signatures;
        }
    }
    if (signatures != 1 || out.records.empty())
        return std::nullopt;
    return out;
}

// A DNSKEY, kept with the packet its key bytes point into.
struct ZoneKey {
    std::vector<std::uint8_t> packet;
    DnsRecord record;
    const rdata::dnssec::DNSKEY& key() const { return record.rdata.get<RDataTag::dnskey>(); }
};

// The first DNSKEY of algN/STEM.bin: "apex_DNSKEY" is the zone's signing key, "other_DNSKEY" a key of
// the same algorithm that signed nothing.
inline std::optional<ZoneKey> loadZoneKey(int algorithm, const std::string& stem = "apex_DNSKEY")
{
    ZoneKey out;
    out.packet = readFile(fixtureDir() + "alg" + std::to_string(algorithm) + "/" + stem + ".bin");
    auto message = DnsMessage::parse(out.packet);
    if (!message)
        return std::nullopt;
    for (const DnsRecord& r : message->records) {
        if (r.rtype == QType::dnskey) {
            out.record = r;
            return out;
        }
    }
    return std::nullopt;
}

} // namespace recursor::dnssec::fixture
