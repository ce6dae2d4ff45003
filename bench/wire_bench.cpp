// Micro-benchmarks of the wire format on the hot path of every query: parsing a typical upstream
// response, writing it back with compression, and hashing and comparing names (cache keys).
#include "wire/record.h"
#include "wire/writer.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

using namespace recursor;

DnsName name(std::string_view text)
{
    auto parsed = DnsName::fromText(text);
    if (!parsed)
        std::abort();
    return *parsed;
}

struct Rr {
    const char* owner;
    QType rtype;
    Section section;
    RData rdata;
};

RData nameData(QType rtype, const char* target)
{
    if (rtype == QType::cname)
        return RData::make<RDataTag::cname>(rdata::common::CNAME { name(target) });
    return RData::make<RDataTag::ns>(rdata::common::NS { name(target) });
}

RData a(std::uint8_t last)
{
    return RData::make<RDataTag::a>(rdata::common::A { { 192, 0, 2, last } });
}

// A resolver's everyday answer: a CNAME chain into a CDN, its addresses, the CDN's nameservers and
// their glue: ten records in 227 bytes.
std::vector<Rr> typicalResponse()
{
    rdata::common::AAAA v6;
    v6.addr = { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53 };
    return {
        { "www.example.com.", QType::cname, Section::answer, nameData(QType::cname, "web.example.com.") },
        { "web.example.com.", QType::cname, Section::answer, nameData(QType::cname, "lb.cdn.example.net.") },
        { "lb.cdn.example.net.", QType::a, Section::answer, a(10) },
        { "lb.cdn.example.net.", QType::a, Section::answer, a(11) },
        { "lb.cdn.example.net.", QType::a, Section::answer, a(12) },
        { "cdn.example.net.", QType::ns, Section::authority, nameData(QType::ns, "ns1.cdn.example.net.") },
        { "cdn.example.net.", QType::ns, Section::authority, nameData(QType::ns, "ns2.cdn.example.net.") },
        { "ns1.cdn.example.net.", QType::a, Section::additional, a(53) },
        { "ns1.cdn.example.net.", QType::aaaa, Section::additional, RData::make<RDataTag::aaaa>(v6) },
        { "ns2.cdn.example.net.", QType::a, Section::additional, a(54) },
    };
}

struct Record {
    DnsName owner;
    QType rtype;
    Section section;
    RData rdata;
};

std::vector<Record> typicalRecords()
{
    std::vector<Record> out;
    for (const Rr& rr : typicalResponse())
        out.push_back({ name(rr.owner), rr.rtype, rr.section, rr.rdata });
    return out;
}

std::vector<std::uint8_t> writeResponse(const DnsName& qname, const std::vector<Record>& records)
{
    auto writer = PacketWriter::init(qname, QType::a, QClass::in);
    if (!writer)
        std::abort();
    for (const Record& rec : records) {
        if (!writer->startRecord(rec.owner, rec.rtype, QClass::in, 300, rec.section)
            || !rec.rdata.writeTo(*writer))
            std::abort();
    }
    auto packet = writer->finish();
    if (!packet)
        std::abort();
    return std::move(*packet);
}

void perMessage(benchmark::State& state, std::size_t bytes)
{
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ParseTypicalResponse(benchmark::State& state)
{
    const auto packet = writeResponse(name("www.example.com."), typicalRecords());
    for (auto _ : state) {
        auto msg = DnsMessage::parse(packet);
        if (!msg || msg->records.size() != 10)
            std::abort();
        benchmark::DoNotOptimize(msg->records.data());
    }
    perMessage(state, packet.size());
}
BENCHMARK(BM_ParseTypicalResponse);

void BM_WriteTypicalResponseCompressed(benchmark::State& state)
{
    const DnsName qname = name("www.example.com.");
    const auto records = typicalRecords();
    std::size_t size = 0;
    for (auto _ : state) {
        auto packet = writeResponse(qname, records);
        size = packet.size();
        benchmark::DoNotOptimize(packet.data());
    }
    perMessage(state, size);
}
BENCHMARK(BM_WriteTypicalResponseCompressed);

void BM_NameHash(benchmark::State& state)
{
    const DnsName n = name("www.Example.com.");
    for (auto _ : state)
        benchmark::DoNotOptimize(n.hash());
}
BENCHMARK(BM_NameHash);

void eqlBench(benchmark::State& state, const char* left, const char* right, bool want)
{
    const DnsName a_name = name(left);
    const DnsName b_name = name(right);
    for (auto _ : state) {
        benchmark::DoNotOptimize(&a_name);
        benchmark::DoNotOptimize(&b_name);
        if (a_name.eql(b_name) != want)
            std::abort();
    }
}

void BM_NameEqlIdentical(benchmark::State& state)
{
    eqlBench(state, "www.example.com.", "www.example.com.", true);
}
BENCHMARK(BM_NameEqlIdentical);

void BM_NameEqlCaseDiffers(benchmark::State& state)
{
    eqlBench(state, "www.example.com.", "WWW.Example.COM.", true);
}
BENCHMARK(BM_NameEqlCaseDiffers);

void BM_NameEqlDifferentSameLength(benchmark::State& state)
{
    eqlBench(state, "www.example.com.", "www.example.org.", false);
}
BENCHMARK(BM_NameEqlDifferentSameLength);

} // namespace
