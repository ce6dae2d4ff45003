#include "wire/record.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::unknown_type;
    using test::wireName;
    using Bytes = std::vector<std::uint8_t>;

    constexpr std::uint16_t response = 0x8180; // QR, RD, RA

    Bytes toBytes(std::span<const std::uint8_t> s)
    {
        return Bytes(s.begin(), s.end());
    }

    std::string errorText(const WireResult<DnsMessage>& msg)
    {
        return msg ? std::string("parsed") : std::string(errorName(msg.error()));
    }

    Bytes maxLengthName()
    {
        PacketBuilder b;
        b.label(std::string(63, 'a')).label(std::string(63, 'b')).label(std::string(63, 'c'));
        return b.label(std::string(61, 'd')).u8(0).bytes(); // 255 bytes
    }

    TEST(DnsMessage, RejectsPacketsShorterThanAHeader)
    {
        const Bytes header(12, 0);
        for (std::size_t n = 0; n < header.size(); ++n) {
            SCOPED_TRACE(testing::Message() << n << " bytes");
            auto msg = DnsMessage::parse(std::span(header).first(n));
            ASSERT_FALSE(msg);
            EXPECT_EQ(msg.error(), WireError::PacketTooShort) << errorText(msg);
        }
    }

    TEST(DnsMessage, BareHeaderParsesToMessageWithoutQuestion)
    {
        PacketBuilder b;
        b.header(0xBEEF, response, 0, 0, 0, 0);
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        EXPECT_TRUE(msg->records.empty());
        EXPECT_TRUE(msg->question_name.isEmpty());
        EXPECT_EQ(msg->question_type, QType::a);
        EXPECT_EQ(msg->question_class, QClass::in);
        EXPECT_EQ(msg->header.id(), 0xBEEF);
        EXPECT_EQ(toBytes(msg->header.bytes), b.bytes());
    }

    TEST(DnsMessage, ParsesQuestionKeepingCase)
    {
        PacketBuilder b;
        b.header(7, 0x0100, 1, 0, 0, 0).question("Www.Example.COM", QType::aaaa, QClass::chaos);
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        EXPECT_EQ(toBytes(msg->question_name.wireBytes()), wireName("Www.Example.COM"));
        EXPECT_EQ(msg->question_type, QType::aaaa);
        EXPECT_EQ(msg->question_class, QClass::chaos);
        EXPECT_TRUE(msg->records.empty());
    }

    TEST(DnsMessage, RejectsMalformedMessages)
    {
        const Bytes a_rdata = { 192, 0, 2, 1 };
        struct Case {
            const char* label;
            Bytes packet;
            WireError expected;
        };
        const Case cases[] = {
            { "two questions",
                PacketBuilder()
                    .header(1, 0, 2, 0, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .question("b", QType::a, QClass::in)
                    .bytes(),
                WireError::InvalidQuestion },
            { "two questions announced ahead of a valid response",
                PacketBuilder()
                    .header(1, response, 2, 1, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .pointer(12)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .bytes(),
                WireError::InvalidQuestion },
            { "QDCOUNT 65535", PacketBuilder().header(1, 0, 0xFFFF, 0, 0, 0).bytes(),
                WireError::InvalidQuestion },
            { "question announced but absent", PacketBuilder().header(1, 0, 1, 0, 0, 0).bytes(),
                WireError::PacketTooShort },
            { "question without type and class", PacketBuilder().header(1, 0, 1, 0, 0, 0).name("a").bytes(),
                WireError::PacketTooShort },
            { "question class cut in half",
                PacketBuilder().header(1, 0, 1, 0, 0, 0).name("a").u16(1).u8(0).bytes(),
                WireError::PacketTooShort },
            { "question name cut", PacketBuilder().header(1, 0, 1, 0, 0, 0).raw({ 0x03, 'w', 'w' }).bytes(),
                WireError::PacketTooShort },
            { "question name with reserved label type",
                PacketBuilder().header(1, 0, 1, 0, 0, 0).raw({ 0x80, 'a', 0x00 }).u16(1).u16(1).bytes(),
                WireError::InvalidLabelType },
            { "ANCOUNT 2 with one answer",
                PacketBuilder()
                    .header(1, response, 1, 2, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .pointer(12)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .bytes(),
                WireError::TruncatedRecord },
            { "NSCOUNT 1 without authority records",
                PacketBuilder()
                    .header(1, response, 0, 1, 1, 0)
                    .record("a", QType::a, QClass::in, 60, a_rdata)
                    .bytes(),
                WireError::TruncatedRecord },
            { "ARCOUNT 1 without additional records",
                PacketBuilder().header(1, response, 1, 0, 0, 1).question("a", QType::a, QClass::in).bytes(),
                WireError::TruncatedRecord },
            { "every count at 65535 and no records",
                PacketBuilder().header(1, response, 0, 0xFFFF, 0xFFFF, 0xFFFF).bytes(),
                WireError::TruncatedRecord },
            { "byte after the header", PacketBuilder().header(1, 0, 0, 0, 0, 0).u8(0).bytes(),
                WireError::LengthMismatch },
            { "byte after the question",
                PacketBuilder().header(1, 0, 1, 0, 0, 0).question("a", QType::a, QClass::in).u8(0).bytes(),
                WireError::LengthMismatch },
            { "byte after the last record",
                PacketBuilder()
                    .header(1, response, 1, 1, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .pointer(12)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .u8(0)
                    .bytes(),
                WireError::LengthMismatch },
            { "fixed record bytes cut",
                PacketBuilder().header(1, response, 0, 1, 0, 0).name("a").zeros(9).bytes(),
                WireError::PacketTooShort },
            { "RDLENGTH beyond the packet",
                PacketBuilder()
                    .header(1, response, 0, 1, 0, 0)
                    .name("a")
                    .fixed(unknown_type, QClass::in, 0, 10)
                    .raw({ 1, 2, 3 })
                    .bytes(),
                WireError::PacketTooShort },
            { "A record whose RDLENGTH 6 overruns the packet",
                PacketBuilder()
                    .header(1, response, 0, 1, 0, 0)
                    .name("a")
                    .fixed(QType::a, QClass::in, 0, 6)
                    .raw({ 192, 0, 2, 1, 0 })
                    .bytes(),
                WireError::PacketTooShort },
            { "owner pointer into the header",
                PacketBuilder()
                    .header(1, response, 1, 1, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .pointer(4)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .bytes(),
                WireError::InvalidCompressionPointer },
            { "owner pointer to itself",
                PacketBuilder()
                    .header(1, response, 1, 1, 0, 0)
                    .question("a", QType::a, QClass::in)
                    .pointer(19)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .bytes(),
                WireError::InvalidCompressionPointer },
            { "owner pointer forward into its own RDATA",
                PacketBuilder()
                    .header(1, response, 0, 1, 0, 0)
                    .pointer(24)
                    .fixed(unknown_type, QClass::in, 60, 3)
                    .name("x")
                    .bytes(),
                WireError::InvalidCompressionPointer },
            { "owner of 257 bytes built on the question name",
                PacketBuilder()
                    .header(1, response, 1, 1, 0, 0)
                    .raw(maxLengthName())
                    .u16(1)
                    .u16(1)
                    .label("x")
                    .pointer(12)
                    .fixed(QType::a, QClass::in, 60, 4)
                    .raw(a_rdata)
                    .bytes(),
                WireError::NameTooLong },
            { "owner following 17 pointers smuggled into an earlier RDATA",
                [&] {
                    PacketBuilder b;
                    b.header(1, response, 1, 2, 0, 0).question("a", QType::a, QClass::in);
                    b.u8(0).fixed(unknown_type, QClass::in, 0, 32); // carrier of 16 chained pointers
                    std::size_t previous = 12;
                    for (int n = 0; n < 16; ++n) {
                        const std::size_t here = b.size();
                        b.pointer(static_cast<std::uint16_t>(previous));
                        previous = here;
                    }
                    return b
                        .pointer(static_cast<std::uint16_t>(previous)) // the 17th pointer of the name
                        .fixed(QType::a, QClass::in, 0, 4)
                        .raw(a_rdata)
                        .bytes();
                }(),
                WireError::CompressionLoop },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto msg = DnsMessage::parse(c.packet);
            ASSERT_FALSE(msg);
            EXPECT_EQ(msg.error(), c.expected) << errorText(msg);
        }
    }

    TEST(DnsMessage, ChainOfSixteenPointersInOwnerNameIsAccepted)
    {
        PacketBuilder b;
        b.header(1, response, 1, 2, 0, 0).question("a", QType::a, QClass::in);
        b.u8(0).fixed(unknown_type, QClass::in, 0, 30); // carrier of 15 chained pointers
        std::size_t previous = 12;
        for (int n = 0; n < 15; ++n) {
            const std::size_t here = b.size();
            b.pointer(static_cast<std::uint16_t>(previous));
            previous = here;
        }
        b.pointer(static_cast<std::uint16_t>(previous))
            .fixed(QType::a, QClass::in, 0, 4)
            .raw({ 192, 0, 2, 1 });
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        ASSERT_EQ(msg->records.size(), 2u);
        EXPECT_EQ(toBytes(msg->records[1].name.wireBytes()), wireName("a"));
    }

    TEST(DnsMessage, ARecordDataMustMatchItsLength)
    {
        const auto aRecord = [](std::uint16_t rdlength, Bytes data) {
            return PacketBuilder()
                .header(1, response, 0, 1, 0, 0)
                .name("a")
                .fixed(QType::a, QClass::in, 60, rdlength)
                .raw(data)
                .bytes();
        };
        struct Case {
            const char* label;
            Bytes packet;
            WireError expected;
        };
        const Case cases[] = {
            { "RDLENGTH 2 followed by two more bytes", aRecord(2, { 192, 0, 2, 1 }),
                WireError::RdataLengthMismatch },
            { "RDLENGTH 2 followed by more than two bytes", aRecord(2, { 192, 0, 2, 1, 9, 9 }),
                WireError::RdataLengthMismatch },
            { "RDLENGTH 2 followed by one byte", aRecord(2, { 192, 0, 2 }), WireError::PacketTooShort },
            { "RDLENGTH 2 at the end of the packet", aRecord(2, { 192, 0 }), WireError::PacketTooShort },
            { "RDLENGTH 0", aRecord(0, {}), WireError::PacketTooShort },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto msg = DnsMessage::parse(c.packet);
            ASSERT_FALSE(msg);
            EXPECT_EQ(msg.error(), c.expected) << errorText(msg);
        }
    }

    TEST(DnsMessage, SkipsUnreadRdataOfAnARecord)
    {
        PacketBuilder b;
        b.header(1, response, 1, 2, 0, 0).question("example.com", QType::a, QClass::in);
        b.pointer(12).fixed(QType::a, QClass::in, 300, 6).raw({ 192, 0, 2, 1, 0xEE, 0xEE }); // 2 extra bytes
        b.pointer(12).fixed(unknown_type, QClass::in, 301, 1).u8(0x42); // must be found right after them
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        ASSERT_EQ(msg->records.size(), 2u);
        EXPECT_EQ(msg->records[0].rtype, QType::a);
        EXPECT_EQ(msg->records[0].ttl, 300u);
        EXPECT_EQ(msg->records[1].rtype, unknown_type);
        EXPECT_EQ(msg->records[1].ttl, 301u);
    }

    TEST(DnsMessage, OwnerPointersIntoTheQuestionDecodeToFullNames)
    {
        PacketBuilder b;
        b.header(1, response, 1, 2, 0, 0);
        b.question("www.Example.com", QType::a, QClass::in); // 12: 03 www, 16: 07 Example, 24: 03 com, 28: 00
        b.pointer(12).fixed(QType::a, QClass::in, 60, 4).raw({ 192, 0, 2, 1 });
        b.label("X").pointer(16).fixed(QType::a, QClass::in, 60, 4).raw({ 192, 0, 2, 2 });
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        ASSERT_EQ(msg->records.size(), 2u);
        EXPECT_EQ(toBytes(msg->records[0].name.wireBytes()), wireName("www.Example.com"));
        EXPECT_EQ(toBytes(msg->records[1].name.wireBytes()), wireName("X.Example.com"));
    }

    // A referral with two NS records whose targets have glue, and an OPT record.
    struct Referral {
        Bytes packet;
        std::vector<std::size_t> record_ends; // offsets where the question and each record end
    };

    Referral referral()
    {
        Referral r;
        PacketBuilder b;
        b.header(0x1234, 0x8000, 1, 0, 2, 3);
        b.question("www.example.com", QType::a, QClass::in); // 16: "example.com"
        r.record_ends.push_back(b.size());
        b.pointer(16).fixed(QType::ns, QClass::in, 172800, 6); // authority NS
        const std::size_t ns1 = b.size();
        b.label("ns1").pointer(16);
        r.record_ends.push_back(b.size());
        b.pointer(16).fixed(QType::ns, QClass::in, 172800, 6);
        const std::size_t ns2 = b.size();
        b.label("NS2").pointer(16);
        r.record_ends.push_back(b.size());
        b.pointer(static_cast<std::uint16_t>(ns1))
            .fixed(QType::a, QClass::in, 3600, 4)
            .raw({ 192, 0, 2, 53 });
        r.record_ends.push_back(b.size());
        b.pointer(static_cast<std::uint16_t>(ns2))
            .fixed(QType::a, QClass::in, 3600, 4)
            .raw({ 192, 0, 2, 54 });
        r.record_ends.push_back(b.size());
        b.u8(0).fixed(
            QType::opt, QClass { 4096 }, 0x00008000, 0); // OPT: payload size in class, DO bit in TTL
        r.packet = b.bytes();
        return r;
    }

    TEST(DnsMessage, TagsRecordsWithTheirSection)
    {
        const Referral r = referral();
        auto msg = DnsMessage::parse(r.packet);
        ASSERT_TRUE(msg) << errorText(msg);
        ASSERT_EQ(msg->records.size(), 5u);
        struct Expected {
            Section section;
            QType rtype;
            const char* owner;
            std::uint32_t ttl;
        };
        const Expected expected[] = {
            { Section::authority, QType::ns, "example.com", 172800 },
            { Section::authority, QType::ns, "example.com", 172800 },
            { Section::additional, QType::a, "ns1.example.com", 3600 },
            { Section::additional, QType::a, "NS2.example.com", 3600 },
            { Section::additional, QType::opt, ".", 0x8000 },
        };
        for (std::size_t i = 0; i < msg->records.size(); ++i) {
            SCOPED_TRACE(i);
            const DnsRecord& rec = msg->records[i];
            EXPECT_EQ(rec.section, expected[i].section);
            EXPECT_EQ(rec.rtype, expected[i].rtype);
            EXPECT_EQ(toBytes(rec.name.wireBytes()), wireName(expected[i].owner));
            EXPECT_EQ(rec.ttl, expected[i].ttl);
        }
        EXPECT_EQ(msg->records[0].rclass, QClass::in);
        EXPECT_EQ(toU16(msg->records[4].rclass), 4096); // open class code carried unchanged
    }

    TEST(DnsMessage, KeepsAllThreeSectionsInPacketOrder)
    {
        PacketBuilder b;
        b.header(1, response, 0, 1, 1, 1);
        b.record("a", unknown_type, QClass::in, 1, Bytes { 1 });
        b.record("b", unknown_type, QClass::chaos, 2, Bytes {});
        b.record("c", QType { 0xFFFF }, QClass { 0xFFFF }, 0xFFFFFFFF, Bytes { 3, 3 });
        auto msg = DnsMessage::parse(b.span());
        ASSERT_TRUE(msg) << errorText(msg);
        ASSERT_EQ(msg->records.size(), 3u);
        EXPECT_EQ(msg->records[0].section, Section::answer);
        EXPECT_EQ(msg->records[1].section, Section::authority);
        EXPECT_EQ(msg->records[1].rclass, QClass::chaos);
        EXPECT_EQ(msg->records[2].section, Section::additional);
        EXPECT_EQ(toU16(msg->records[2].rtype), 0xFFFF);
        EXPECT_EQ(toU16(msg->records[2].rclass), 0xFFFF);
        EXPECT_EQ(msg->records[2].ttl, 0u); // the top bit set: RFC 2181 §8
        EXPECT_EQ(toBytes(msg->records[2].name.wireBytes()), wireName("c"));
    }

    TEST(DnsMessage, TtlsWithTheTopBitSetReadAsZero)
    {
        // RFC 2181 §8: a TTL is 0 to 2^31 - 1; a value with the most significant bit set is read as 0.
        // The OPT pseudo-record's TTL field is no TTL (extended RCODE, version, flags) and is kept.
        const struct {
            QType rtype;
            std::uint32_t wire_ttl;
            std::uint32_t expected;
        } cases[] = {
            { QType::a, 0, 0 },
            { QType::a, 1, 1 },
            { QType::a, 0x7FFFFFFF, 0x7FFFFFFF },
            { QType::a, 0x80000000, 0 },
            { QType::a, 0x80000001, 0 },
            { QType::a, 0xFFFFFFFF, 0 },
            { QType::ns, 0x90000000, 0 },
            { unknown_type, 0xC0000000, 0 },
            { QType::opt, 0x80008000, 0x80008000 },
            { QType::opt, 0xFFFFFFFF, 0xFFFFFFFF },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << toU16(c.rtype) << " TTL " << std::hex << c.wire_ttl);
            PacketBuilder b;
            b.header(1, response, 0, 0, 0, 1);
            Bytes rdata;
            if (c.rtype == QType::a)
                rdata = { 192, 0, 2, 1 };
            else if (c.rtype == QType::ns)
                rdata = wireName("ns.example");
            if (c.rtype == QType::opt)
                b.u8(0).fixed(QType::opt, QClass { 1232 }, c.wire_ttl, 0);
            else
                b.record("example", c.rtype, QClass::in, c.wire_ttl, rdata);
            auto msg = DnsMessage::parse(b.span());
            ASSERT_TRUE(msg) << errorText(msg);
            ASSERT_EQ(msg->records.size(), 1u);
            EXPECT_EQ(msg->records[0].ttl, c.expected);
        }
    }

    TEST(DnsMessage, EveryTruncatedPrefixOfAResponseFails)
    {
        const Referral r = referral();
        ASSERT_TRUE(DnsMessage::parse(r.packet));
        const std::set<std::size_t> boundaries(r.record_ends.begin(), r.record_ends.end());
        for (std::size_t n = 0; n < r.packet.size(); ++n) {
            SCOPED_TRACE(testing::Message() << "first " << n << " of " << r.packet.size() << " bytes");
            // A copy of exactly n bytes, so the sanitizer sees any read past the cut.
            const Bytes prefix(r.packet.begin(), r.packet.begin() + static_cast<std::ptrdiff_t>(n));
            auto msg = DnsMessage::parse(prefix);
            ASSERT_FALSE(msg);
            // Cut between records: the header promises more; cut inside anything: a read runs out.
            const WireError expected
                = boundaries.count(n) ? WireError::TruncatedRecord : WireError::PacketTooShort;
            EXPECT_EQ(msg.error(), expected) << errorText(msg);
        }
    }

} // namespace
} // namespace recursor

// The parser must size its record array by what the packet can hold, not by what the header claims.
// Watching allocations needs the sanitizer runtime's hooks, so this check runs in sanitizer builds only.
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t), void (*free_hook)(const volatile void*));
#endif

namespace recursor {
namespace {

    // Notes the largest single heap allocation made on this thread while it is alive.
    struct AllocationWatch {
        static inline thread_local bool active = false;
        static inline thread_local std::size_t largest = 0;

        AllocationWatch()
        {
#if defined(__SANITIZE_ADDRESS__)
            [[maybe_unused]] static const int installed = __sanitizer_install_malloc_and_free_hooks(
                [](const volatile void*, std::size_t size) {
                    if (active)
                        largest = std::max(largest, size);
                },
                [](const volatile void*) {});
#endif
            largest = 0;
            active = true;
        }
        ~AllocationWatch()
        {
            active = false;
        }
        static bool available()
        {
#if defined(__SANITIZE_ADDRESS__)
            return true;
#else
            return false;
#endif
        }
    };

    TEST(DnsMessage, HeaderAnnouncingMoreRecordsThanFitIsRejectedAfterReservingWhatFits)
    {
        // 12 header bytes + eight 11-byte records = 100 bytes, but the header claims 65535 answers.
        PacketBuilder b;
        b.header(1, response, 0, 0xFFFF, 0, 0);
        for (int n = 0; n < 8; ++n)
            b.u8(0).fixed(test::unknown_type, QClass::in, 0, 0); // root owner, unknown type, empty RDATA
        ASSERT_EQ(b.size(), 100u);

        std::size_t largest = 0;
        WireResult<DnsMessage> msg = std::unexpected(WireError::OutOfMemory);
        {
            AllocationWatch watch;
            msg = DnsMessage::parse(b.span());
            largest = AllocationWatch::largest;
        }
        ASSERT_FALSE(msg);
        EXPECT_EQ(msg.error(), WireError::TruncatedRecord) << errorText(msg);
        if (!AllocationWatch::available())
            GTEST_SKIP() << "allocation sizes are only visible under the address sanitizer";
        EXPECT_EQ(largest, 8 * sizeof(DnsRecord));
    }

} // namespace
} // namespace recursor
