// The reply builder's own rules; the replies the server sends are pinned byte for byte in
// recursor_server_test.cpp.
#include "server/reply.h"

#include "wire/writer.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // An answer as the resolver hands it over: QR, `count` A records for `qname`.
    Bytes answerWith(std::string_view qname, std::size_t count)
    {
        auto writer = *PacketWriter::init(name(qname), QType::a, QClass::in);
        writer.getHeader()[2] = flag_qr;
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(writer.startRecord(name(qname), QType::a, QClass::in, 300, Section::answer));
            const std::array<std::uint8_t, 4> addr { 192, 0, 2, static_cast<std::uint8_t>(i) };
            EXPECT_TRUE(writer.writeIPv4(addr));
        }
        return *writer.finish();
    }

    TEST(ReplyBuilder, EachFlagSetterSetsOneBitBesideQr)
    {
        struct Case {
            const char* label;
            std::function<void(ReplyBuilder&)> set;
            std::size_t index;
            std::uint8_t mask;
        };
        const Case cases[] = {
            { "AA", [](ReplyBuilder& r) { r.setAa(true); }, 2, 0x04 },
            { "TC", [](ReplyBuilder& r) { r.setTc(true); }, 2, 0x02 },
            { "RD", [](ReplyBuilder& r) { r.setRd(true); }, 2, 0x01 },
            { "RA", [](ReplyBuilder& r) { r.setRa(true); }, 3, 0x80 },
            { "AD", [](ReplyBuilder& r) { r.setAd(true); }, 3, 0x20 },
            { "CD", [](ReplyBuilder& r) { r.setCd(true); }, 3, 0x10 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            ReplyBuilder reply = ReplyBuilder::headerOnly();
            c.set(reply);
            const Bytes bytes = *std::move(reply).finish();
            Bytes expected(Header::size, 0);
            expected[2] = flag_qr;
            expected[c.index] |= c.mask;
            EXPECT_EQ(bytes, expected);
        }
    }

    // RFC 6891 §6.1.3: BADVERS (16) is 0 in the header and 1 in the OPT record's upper RCODE byte.
    TEST(ReplyBuilder, SplitsAnExtendedRcodeBetweenHeaderAndOpt)
    {
        const Bytes bytes
            = *std::move(ReplyBuilder::headerOnly().setId(0x1234).setRcode(rcode_badvers).setOpt(1232, true))
                   .finish();
        const Bytes expected {
            0x12, 0x34, 0x80, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, // ID, QR, RCODE 0, ARCOUNT 1
            0, 0, 41, 0x04, 0xD0, // root owner, OPT, our size 1232
            1, 0, 0x80, 0, 0, 0, // upper RCODE 1, version 0, DO, RDLENGTH 0
        };
        EXPECT_EQ(bytes, expected);
    }

    TEST(ReplyBuilder, WritesAnExtendedErrorOnlyInsideAnOptRecord)
    {
        const Bytes without_opt = *std::move(ReplyBuilder::headerOnly().setExtendedError(18)).finish();
        EXPECT_EQ(without_opt.size(), Header::size) << "no OPT record made up for the error";

        const Bytes with_opt
            = *std::move(ReplyBuilder::headerOnly().setOpt(512, false).setExtendedError(18)).finish();
        const Bytes rdata(with_opt.end() - 6, with_opt.end());
        EXPECT_EQ(rdata, (Bytes { 0, 15, 0, 2, 0, 18 })) << "option 15, length 2, Prohibited";
        EXPECT_EQ(with_opt.size(), Header::size + 11 + 6);
    }

    TEST(ReplyBuilder, FinishBeyondTheLimitKeepsLeadingRecordsAndTheOptAndSetsTc)
    {
        auto reply = ReplyBuilder::fromMessage(answerWith("www.example.test", 40));
        ASSERT_TRUE(reply);
        reply->setOpt(1232, false);
        const Bytes bytes = *std::move(*reply).finish(512);
        auto msg = DnsMessage::parse(bytes);
        ASSERT_TRUE(msg);
        EXPECT_LE(bytes.size(), 512u);
        EXPECT_TRUE(msg->header.tc());
        EXPECT_GT(msg->header.anCount(), 0);
        EXPECT_LT(msg->header.anCount(), 40);
        EXPECT_EQ(msg->header.arCount(), 1) << "the OPT record still fits and stays";
    }

    TEST(ReplyBuilder, FinishWithinTheLimitLeavesTcClear)
    {
        const Bytes answer = answerWith("www.example.test", 2);
        const Bytes bytes = *std::move(*ReplyBuilder::fromMessage(answer)).finish(answer.size());
        EXPECT_EQ(bytes, answer);
    }

    // RFC 5452 §9.1: a client that varies letter case checks its own spelling in the reply.
    TEST(ReplyBuilder, QuestionSpellingIsTheClientsByteForByte)
    {
        auto reply = ReplyBuilder::fromMessage(answerWith("www.example.test", 1));
        ASSERT_TRUE(reply);
        const DnsName asked = name("WwW.ExAmple.TEST");
        const Bytes bytes = *std::move(reply->setQuestionSpelling(asked)).finish();
        const auto spelled = asked.wireBytes();
        EXPECT_TRUE(std::equal(spelled.begin(), spelled.end(), bytes.begin() + Header::size));
    }

    TEST(ReplyBuilder, FromMessageRefusesLessThanAHeader)
    {
        auto reply = ReplyBuilder::fromMessage(Bytes(Header::size - 1, 0));
        ASSERT_FALSE(reply);
        EXPECT_EQ(reply.error(), WireError::PacketTooShort);
    }

} // namespace
} // namespace recursor
