#include "wire/writer.h"

#include "wire/record.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace recursor {
namespace {

    using test::unknown_type;
    using test::wireName;
    using Bytes = std::vector<std::uint8_t>;

    DnsName nameOf(std::string_view text)
    {
        return DnsName::fromText(text).value();
    }

    Bytes slice(const PacketWriter& w, std::size_t from, std::size_t n)
    {
        const auto all = w.bytes();
        return Bytes(all.begin() + static_cast<std::ptrdiff_t>(from),
            all.begin() + static_cast<std::ptrdiff_t>(std::min(from + n, all.size())));
    }

    Bytes concat(std::initializer_list<Bytes> parts)
    {
        Bytes out;
        for (const Bytes& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    }

    std::uint16_t countAt(const PacketWriter& w, std::size_t offset)
    {
        return static_cast<std::uint16_t>((w.bytes()[offset] << 8) | w.bytes()[offset + 1]);
    }

    PacketWriter writerFor(std::string_view qname, QType qtype = QType::a)
    {
        return PacketWriter::init(nameOf(qname), qtype, QClass::in).value();
    }

    // An answer record with a 4-byte RDATA, committed.
    void addA(PacketWriter& w, std::string_view owner, Section section = Section::answer)
    {
        ASSERT_TRUE(w.startRecord(nameOf(owner), QType::a, QClass::in, 60, section));
        ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 1 }));
        ASSERT_TRUE(w.commit());
    }

    DnsMessage parseFinished(PacketWriter& w, Bytes& storage)
    {
        auto bytes = w.finish();
        EXPECT_TRUE(bytes);
        storage = bytes.value_or(Bytes {});
        auto msg = DnsMessage::parse(storage);
        EXPECT_TRUE(msg) << (msg ? "" : errorName(msg.error()));
        return msg.value_or(DnsMessage {});
    }

    TEST(PacketWriter, InitWithRootQuestionWritesSeventeenBytes)
    {
        const Bytes expected = {
            0x00, 0x00, // ID
            0x00, 0x00, // flags
            0x00, 0x01, // QDCOUNT
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // ANCOUNT, NSCOUNT, ARCOUNT
            0x00, // root name
            0x00, 0x02, // QTYPE ns
            0x00, 0x01, // QCLASS in
        };
        for (const DnsName& qname : { DnsName::root(), DnsName {} }) {
            SCOPED_TRACE(qname.isEmpty() ? "empty name" : "root name");
            auto w = PacketWriter::init(qname, QType::ns, QClass::in);
            ASSERT_TRUE(w);
            EXPECT_EQ(slice(*w, 0, 100), expected);
        }
        EXPECT_EQ(PacketWriter::init(DnsName {}, QType::a, QClass::in)->nameCount(), 0u);
    }

    TEST(PacketWriter, InitWritesQuestionUncompressedWithItsCase)
    {
        PacketWriter w = PacketWriter::init(nameOf("Example.COM"), QType::aaaa, QClass::chaos).value();
        const Bytes expected = concat({
            { 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0 }, // header, QDCOUNT 1
            wireName("Example.COM"), { 0x00, 0x1C, 0x00, 0x03 }, // aaaa, chaos
        });
        EXPECT_EQ(slice(w, 0, 100), expected);
        EXPECT_EQ(w.nameCount(), 1u);
        EXPECT_FALSE(w.hasOpenRecord());
    }

    TEST(PacketWriter, CompressesOwnerNamesAgainstTheQuestion)
    {
        struct Case {
            const char* question;
            DnsName owner;
            Bytes expected;
        };
        const Case cases[] = {
            { "example.com", nameOf("example.com"), { 0xC0, 0x0C } },
            { "example.com", nameOf("EXAMPLE.Com"), { 0xC0, 0x0C } },
            { "Example.COM", nameOf("www.example.com"), { 0x03, 'w', 'w', 'w', 0xC0, 0x0C } },
            { "b.c", nameOf("a.b.c"), { 0x01, 'a', 0xC0, 0x0C } },
            { "a.b.c", nameOf("b.c"), { 0xC0, 0x0E } }, // suffix inside the question
            { "b.c", nameOf("x.c"), { 0x01, 'x', 0xC0, 0x0E } },
            { "b.c", nameOf("xb.c"), { 0x02, 'x', 'b', 0xC0, 0x0E } }, // whole labels only
            { "ab.c", nameOf("b.c"), { 0x01, 'b', 0xC0, 0x0F } },
            { "bx.c", nameOf("b.c"), { 0x01, 'b', 0xC0, 0x0F } }, // a label that merely starts alike
            { "example.com", nameOf("example.org"), wireName("example.org") },
            { "example.com", nameOf("com.example"), wireName("com.example") },
            { "a.b", nameOf("a.b.c"), wireName("a.b.c") },
            { ".", nameOf("a"), wireName("a") },
            { "example.com", DnsName::root(), { 0x00 } },
            { "example.com", DnsName {}, { 0x00 } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.owner.toText() << " after question " << c.question);
            PacketWriter w = writerFor(c.question);
            const std::size_t at = w.size();
            ASSERT_TRUE(w.startRecord(c.owner, QType::a, QClass::in, 60, Section::answer));
            EXPECT_EQ(slice(w, at, c.expected.size() + 2), concat({ c.expected, { 0x00, 0x01 } }));
            ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 1 }));
            Bytes storage;
            const DnsMessage msg = parseFinished(w, storage);
            ASSERT_EQ(msg.records.size(), 1u);
            if (!c.owner.isEmpty()) {
                EXPECT_TRUE(msg.records[0].name.eql(c.owner));
            }
        }
    }

    TEST(PacketWriter, PointsAtTheLongestSuffixOfAnyEarlierName)
    {
        PacketWriter w = writerFor("example.com"); // 12: 07 example, 20: 03 com
        const std::size_t a_at = w.size();
        addA(w, "a.example.com"); // 01 'a' C0 0C
        const std::size_t b_at = w.size();
        addA(w, "b.A.example.com");
        EXPECT_EQ(slice(w, b_at, 4), (Bytes { 0x01, 'b', 0xC0, static_cast<std::uint8_t>(a_at) }));
        const std::size_t other_at = w.size();
        addA(w, "other.com");
        EXPECT_EQ(slice(w, other_at, 8), (Bytes { 0x05, 'o', 't', 'h', 'e', 'r', 0xC0, 20 }));

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), 3u);
        EXPECT_EQ(Bytes(msg.records[1].name.wireBytes().begin(), msg.records[1].name.wireBytes().end()),
            wireName("b.a.example.com")); // the pointed-to occurrence decides the case the receiver sees
    }

    TEST(PacketWriter, EqualMatchesGoToTheEarlierCandidate)
    {
        PacketWriter w = writerFor("example.com"); // "com" at 20
        ASSERT_TRUE(w.startRecord(nameOf("example.com"), unknown_type, QClass::in, 60, Section::answer));
        ASSERT_TRUE(w.writeName(nameOf("shop.com"), false)); // a later candidate, also ending in "com"
        ASSERT_TRUE(w.commit());
        const std::size_t z_at = w.size();
        addA(w, "z.com");
        EXPECT_EQ(slice(w, z_at, 4), (Bytes { 0x01, 'z', 0xC0, 20 }));
    }

    // Each owner below compresses against the one before it, so pointer chains grow one hop per level.
    // A reader follows at most 16 pointers per name: no written name may need more, and a stored name
    // whose walk gives up at that limit must not be taken as ending where the walk stopped.
    TEST(PacketWriter, NestedOwnersPastThePointerLimitReadBackAsWritten)
    {
        PacketWriter w = writerFor("a.b");
        std::vector<DnsName> written;
        std::string owner = "a.b";
        for (int level = 1; level <= 24; ++level) {
            owner = "c" + std::to_string(level) + "." + owner;
            written.push_back(nameOf(owner));
        }
        // Names whose suffix is a label deep inside a long chain.
        for (const char* probe :
            { "zzz.c2", "zzz.c2.c1.a.b", "x.c17.c16.c15.c14.c13.c12.c11.c10.c9.c8.c7.c6.c5.c4.c3.c2.c1.a.b",
                "c24.c23.c22.c21.c20.c19.c18.c17.c16.c15.c14.c13.c12.c11.c10.c9.c8.c7.c6.c5.c4.c3.c2.c1.a."
                "b" })
            written.push_back(nameOf(probe));
        for (const DnsName& name : written)
            addA(w, name.toText());

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), written.size());
        for (std::size_t i = 0; i < written.size(); ++i)
            EXPECT_EQ(msg.records[i].name.toText(), written[i].toText());
    }

    TEST(PacketWriter, WritesRdataFieldsBigEndianAndHonoursTheCompressFlag)
    {
        PacketWriter w = writerFor("example.com");
        ASSERT_TRUE(w.startRecord(DnsName::root(), unknown_type, QClass::in, 0x01020304, Section::answer));
        const std::size_t rdata_at = w.size();
        ASSERT_TRUE(w.writeU8(0x01));
        ASSERT_TRUE(w.writeU16(0x0203));
        ASSERT_TRUE(w.writeU32(0x04050607));
        ASSERT_TRUE(w.writeIPv6({ 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x35 }));
        ASSERT_TRUE(w.writeName(nameOf("example.com"), false));
        ASSERT_TRUE(w.writeName(nameOf("example.com"), true));
        ASSERT_TRUE(w.writeBlob(Bytes { 0xEE }));
        ASSERT_TRUE(w.commit());
        const Bytes expected_rdata = concat({
            { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07 },
            { 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x35 },
            wireName("example.com"), // uncompressed as asked
            { 0xC0, 0x0C },
            { 0xEE },
        });
        EXPECT_EQ(slice(w, rdata_at, 1000), expected_rdata);
        // Owner (root), type, class, TTL, RDLENGTH.
        const Bytes fixed = { 0x00, 0xFF, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00,
            static_cast<std::uint8_t>(expected_rdata.size()) };
        EXPECT_EQ(slice(w, rdata_at - fixed.size(), fixed.size()), fixed);
    }

    TEST(PacketWriter, NameStartingBeyondPointerRangeIsCompressedButNotRecorded)
    {
        PacketWriter w = writerFor("example.com");
        ASSERT_TRUE(w.startRecord(DnsName::root(), unknown_type, QClass::in, 0, Section::answer));
        ASSERT_TRUE(w.writeBlob(Bytes(16400 - w.size(), 0)));
        ASSERT_TRUE(w.commit());
        ASSERT_EQ(w.size(), 16400u);
        const std::size_t candidates = w.nameCount();

        addA(w, "www.example.com");
        EXPECT_EQ(slice(w, 16400, 6), (Bytes { 0x03, 'w', 'w', 'w', 0xC0, 0x0C }));
        EXPECT_EQ(w.nameCount(), candidates);

        const std::size_t x_at = w.size();
        addA(w, "x.www.example.com"); // "www" above could not be a pointer target
        EXPECT_EQ(slice(w, x_at, 8), (Bytes { 0x01, 'x', 0x03, 'w', 'w', 'w', 0xC0, 0x0C }));

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), 3u);
        EXPECT_TRUE(msg.records[2].name.eql(nameOf("x.www.example.com")));
    }

    TEST(PacketWriter, MatchWhoseTargetLiesBeyondPointerRangeIsNotUsed)
    {
        PacketWriter w = writerFor("q");
        ASSERT_TRUE(w.startRecord(DnsName::root(), unknown_type, QClass::in, 0, Section::answer));
        ASSERT_TRUE(w.writeBlob(Bytes(0x3FFF - w.size(), 0)));
        ASSERT_TRUE(w.commit());
        ASSERT_EQ(w.size(), 0x3FFFu);

        // Starts at 16383, the last offset a pointer can reach, so it is recorded; its later labels are not
        // reachable.
        addA(w, "aaaa.bbbb.zz");
        const std::size_t full_at = w.size();
        addA(w, "AAAA.bbbb.zz");
        EXPECT_EQ(slice(w, full_at, 2), (Bytes { 0xFF, 0xFF }));
        const std::size_t suffix_at = w.size();
        addA(w, "bbbb.zz"); // best match is at 16388: written in full
        EXPECT_EQ(slice(w, suffix_at, 9), wireName("bbbb.zz"));

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), 4u);
        EXPECT_TRUE(msg.records[2].name.eql(nameOf("aaaa.bbbb.zz")));
        EXPECT_TRUE(msg.records[3].name.eql(nameOf("bbbb.zz")));
    }

    TEST(PacketWriter, StopsRecordingAfter128CandidatesButStillPointsIntoThem)
    {
        PacketWriter w = writerFor("n0.example"); // 15: 07 example
        std::vector<std::size_t> starts = { 12 };
        for (int i = 1; i <= 127; ++i) {
            starts.push_back(w.size());
            addA(w, "n" + std::to_string(i) + ".example");
        }
        EXPECT_EQ(w.nameCount(), 128u);
        addA(w, "n128.example");
        EXPECT_EQ(w.nameCount(), 128u);

        const std::size_t first_at = w.size();
        addA(w, "x.n1.example");
        EXPECT_EQ(slice(w, first_at, 4),
            (Bytes { 0x01, 'x', static_cast<std::uint8_t>(0xC0 | (starts[1] >> 8)),
                static_cast<std::uint8_t>(starts[1]) }));
        const std::size_t last_at = w.size();
        addA(w, "x.n127.example");
        EXPECT_EQ(slice(w, last_at, 4),
            (Bytes { 0x01, 'x', static_cast<std::uint8_t>(0xC0 | (starts[127] >> 8)),
                static_cast<std::uint8_t>(starts[127]) }));
        const std::size_t unrecorded_at = w.size();
        addA(w, "x.n128.example");
        EXPECT_EQ(slice(w, unrecorded_at, 9), (Bytes { 0x01, 'x', 0x04, 'n', '1', '2', '8', 0xC0, 15 }));

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), 131u);
        EXPECT_TRUE(msg.records[129].name.eql(nameOf("x.n127.example")));
    }

    TEST(PacketWriter, RollbackForgetsCandidatesOfTheDiscardedRecord)
    {
        PacketWriter w = writerFor("example.com");
        const std::size_t a_at = w.size();
        addA(w, "a.example.com"); // a candidate from a committed record, which must survive the rollback
        const std::size_t before = w.size();
        const std::size_t candidates = w.nameCount();

        // Both the owner and an RDATA name of the discarded record become candidates.
        ASSERT_TRUE(w.startRecord(nameOf("new.example.com"), unknown_type, QClass::in, 60, Section::answer));
        const std::size_t stale_at = w.size();
        ASSERT_TRUE(w.writeName(nameOf("mail.example.com"), true));
        EXPECT_EQ(w.nameCount(), candidates + 2);
        w.rollback();
        EXPECT_EQ(w.size(), before);
        EXPECT_EQ(w.nameCount(), candidates);
        EXPECT_FALSE(w.hasOpenRecord());
        EXPECT_EQ(countAt(w, 6), 1);

        // Opaque RDATA now holds "mail." exactly where the discarded RDATA name was; a stale candidate
        // would make the next owner point into it.
        ASSERT_TRUE(w.startRecord(nameOf("example.com"), unknown_type, QClass::in, 60, Section::answer));
        const Bytes filler(stale_at - w.size(), 0xAA);
        ASSERT_TRUE(w.writeBlob(filler));
        ASSERT_TRUE(w.writeBlob(wireName("mail")));
        ASSERT_TRUE(w.commit());
        const std::size_t mail_at = w.size();
        addA(w, "mail");
        EXPECT_EQ(slice(w, mail_at, 6), wireName("mail"));
        const std::size_t b_at = w.size();
        addA(w, "b.a.example.com");
        EXPECT_EQ(slice(w, b_at, 4), (Bytes { 0x01, 'b', 0xC0, static_cast<std::uint8_t>(a_at) }));

        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        ASSERT_EQ(msg.records.size(), 4u);
        EXPECT_EQ(msg.header.anCount(), 4);
    }

    TEST(PacketWriter, RollbackAfterFailedCommitRestoresTheBuffer)
    {
        PacketWriter w = writerFor("example.com");
        addA(w, "example.com");
        const Bytes committed(w.bytes().begin(), w.bytes().end());
        ASSERT_TRUE(w.startRecord(nameOf("big.example.com"), unknown_type, QClass::in, 60, Section::answer));
        ASSERT_TRUE(w.writeBlob(Bytes(65536, 0xAB)));
        auto failed = w.commit();
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error(), WireError::RdataTooLong);
        EXPECT_EQ(countAt(w, 6), 1); // ANCOUNT untouched
        EXPECT_TRUE(w.hasOpenRecord());
        w.rollback();
        EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), committed);
        addA(w, "www.example.com");
        EXPECT_EQ(countAt(w, 6), 2);
    }

    TEST(PacketWriter, RdataOf65535BytesFitsAnd65536DoesNot)
    {
        for (std::size_t n : { std::size_t { 65535 }, std::size_t { 65536 } }) {
            SCOPED_TRACE(n);
            PacketWriter w = writerFor("example.com");
            ASSERT_TRUE(w.startRecord(nameOf("example.com"), unknown_type, QClass::in, 60, Section::answer));
            const std::size_t rdata_at = w.size();
            ASSERT_TRUE(w.writeBlob(Bytes(n, 0)));
            const std::size_t size = w.size();
            auto done = w.commit();
            if (n == 65535) {
                ASSERT_TRUE(done);
                EXPECT_EQ(slice(w, rdata_at - 2, 2), (Bytes { 0xFF, 0xFF }));
                EXPECT_EQ(countAt(w, 6), 1);
                continue;
            }
            ASSERT_FALSE(done);
            EXPECT_EQ(done.error(), WireError::RdataTooLong);
            EXPECT_EQ(slice(w, rdata_at - 2, 2), (Bytes { 0x00, 0x00 }));
            EXPECT_EQ(countAt(w, 6), 0);
            // finish hits the same wall and leaves the buffer with the writer.
            auto finished = w.finish();
            ASSERT_FALSE(finished);
            EXPECT_EQ(finished.error(), WireError::RdataTooLong);
            EXPECT_EQ(w.size(), size);
        }
    }

    TEST(PacketWriter, CommitWithoutOpenRecordChangesNothing)
    {
        PacketWriter w = writerFor("example.com");
        const Bytes fresh(w.bytes().begin(), w.bytes().end());
        ASSERT_TRUE(w.commit());
        EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), fresh);

        addA(w, "example.com");
        const Bytes one(w.bytes().begin(), w.bytes().end());
        ASSERT_TRUE(w.commit()); // the record is already counted
        EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), one);
        EXPECT_EQ(countAt(w, 6), 1);
    }

    // Rollback used to truncate to the start of the latest record even after it was committed, taking
    // back counted bytes and leaving ANCOUNT one too high; it now only discards an open record.
    TEST(PacketWriter, RollbackNeverTakesBackACommittedRecord)
    {
        PacketWriter w = writerFor("example.com");
        const Bytes fresh(w.bytes().begin(), w.bytes().end());
        w.rollback(); // nothing begun: the question stays
        EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), fresh);

        addA(w, "example.com");
        ASSERT_TRUE(w.commit());
        const Bytes one(w.bytes().begin(), w.bytes().end());
        w.rollback();
        EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), one);
        EXPECT_EQ(countAt(w, 6), 1);
        auto finished = w.finish();
        ASSERT_TRUE(finished.has_value());
        EXPECT_TRUE(DnsMessage::parse(*finished).has_value());
    }

    TEST(PacketWriter, FinishCommitsTheOpenRecordAndEmptiesTheWriter)
    {
        PacketWriter w = writerFor("example.com");
        ASSERT_TRUE(w.startRecord(nameOf("example.com"), QType::a, QClass::in, 60, Section::answer));
        ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 1 }));
        auto out = w.finish();
        ASSERT_TRUE(out);
        const Bytes expected_record = {
            0xC0,
            0x0C, // owner: pointer to the question name
            0x00,
            0x01,
            0x00,
            0x01, // A, IN
            0x00,
            0x00,
            0x00,
            0x3C, // TTL 60
            0x00,
            0x04, // RDLENGTH filled in by the commit
            192,
            0,
            2,
            1,
        };
        ASSERT_EQ(out->size(), 29 + expected_record.size());
        EXPECT_EQ(Bytes(out->begin() + 29, out->end()), expected_record);
        EXPECT_EQ((*out)[7], 1); // ANCOUNT
        EXPECT_EQ(w.size(), 0u);
        EXPECT_FALSE(w.hasOpenRecord());
    }

    TEST(PacketWriter, CountsEachSectionInItsOwnHeaderField)
    {
        PacketWriter w = writerFor("example.com");
        addA(w, "example.com", Section::answer);
        addA(w, "example.com", Section::authority);
        // The next records are left open: startRecord and finish must count each in its own section.
        ASSERT_TRUE(w.startRecord(nameOf("example.com"), QType::a, QClass::in, 60, Section::authority));
        ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 2 }));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(
                w.startRecord(nameOf("ns.example.com"), QType::a, QClass::in, 60, Section::additional));
            ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 3 }));
        }
        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        EXPECT_EQ(Bytes(storage.begin() + 4, storage.begin() + 12), (Bytes { 0, 1, 0, 1, 0, 2, 0, 3 }));
        ASSERT_EQ(msg.records.size(), 6u);
        const Section expected[] = { Section::answer, Section::authority, Section::authority,
            Section::additional, Section::additional, Section::additional };
        for (std::size_t i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(msg.records[i].section, expected[i]);
        }
    }

    TEST(PacketWriter, SectionCountAtItsLimitFailsTheCommit)
    {
        struct Case {
            Section section;
            std::size_t offset;
        };
        for (const Case& c : { Case { Section::answer, 6 }, Case { Section::authority, 8 },
                 Case { Section::additional, 10 } }) {
            SCOPED_TRACE(c.offset);
            PacketWriter w = writerFor("example.com");
            w.getHeader()[c.offset] = 0xFF;
            w.getHeader()[c.offset + 1] = 0xFF;
            ASSERT_TRUE(w.startRecord(nameOf("example.com"), QType::a, QClass::in, 60, c.section));
            ASSERT_TRUE(w.writeIPv4({ 192, 0, 2, 1 }));
            const Bytes before(w.bytes().begin(), w.bytes().end());
            auto done = w.commit();
            ASSERT_FALSE(done);
            EXPECT_EQ(done.error(), WireError::RdataTooLong);
            EXPECT_EQ(Bytes(w.bytes().begin(), w.bytes().end()), before); // count and RDLENGTH untouched
        }
    }

    TEST(PacketWriter, HeaderViewEditsTheMessage)
    {
        PacketWriter w = writerFor("example.com");
        auto header = w.getHeader();
        header[0] = 0xAB;
        header[1] = 0xCD;
        setHeaderBit(header, 2, flag_qr, true);
        addA(w, "example.com"); // edits made through the view survive later records
        Bytes storage;
        const DnsMessage msg = parseFinished(w, storage);
        EXPECT_EQ(msg.header.id(), 0xABCD);
        EXPECT_TRUE(msg.header.qr());
        EXPECT_EQ(msg.header.qdCount(), 1);
        EXPECT_EQ(msg.header.anCount(), 1);
    }

} // namespace
} // namespace recursor
