#include "wire/header.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace recursor {
namespace {

    // ID 0xBEEF; QR, OPCODE 0, AA, RD; RA, RCODE 3; counts chosen so every byte differs.
    constexpr std::array<std::uint8_t, 12> sample = {
        0xBE, 0xEF, // ID
        0x85, // QR | AA | RD
        0x83, // RA | RCODE nx_domain
        0x01, 0x02, // QDCOUNT 258
        0x03, 0x04, // ANCOUNT 772
        0x05, 0x06, // NSCOUNT 1286
        0x07, 0x08, // ARCOUNT 1800
    };

    TEST(Header, ReadsFieldsBigEndian)
    {
        const Header h = Header::fromBytes(sample);
        EXPECT_EQ(h.id(), 0xBEEF);
        EXPECT_TRUE(h.aa());
        EXPECT_FALSE(h.tc());
        EXPECT_TRUE(h.rd());
        EXPECT_EQ(h.rcode(), RCode::nx_domain);
        EXPECT_EQ(h.qdCount(), 0x0102);
        EXPECT_EQ(h.anCount(), 0x0304);
        EXPECT_EQ(h.nsCount(), 0x0506);
        EXPECT_EQ(h.arCount(), 0x0708);
        EXPECT_EQ(h.totalRecordCount(), 0x0304u + 0x0506u + 0x0708u);
    }

    TEST(Header, FromSliceTakesTheFirstTwelveBytes)
    {
        std::vector<std::uint8_t> packet(sample.begin(), sample.end());
        packet.push_back(0xAA);
        packet.push_back(0xBB);
        EXPECT_EQ(Header::fromSlice(packet).bytes, sample);
    }

    TEST(Header, TotalRecordCountExcludesQuestionsAndDoesNotWrap)
    {
        Header h;
        h.bytes.fill(0xFF);
        EXPECT_EQ(h.qdCount(), 0xFFFF);
        EXPECT_EQ(h.totalRecordCount(), 3u * 0xFFFF);
    }

    TEST(Header, FlagReadersSeeOnlyTheirBit)
    {
        struct Case {
            std::uint8_t byte2;
            bool aa, tc, rd;
        };
        const Case cases[] = {
            { 0x04, true, false, false },
            { 0x02, false, true, false },
            { 0x01, false, false, true },
            { 0xF8, false, false, false }, // QR and all OPCODE bits
            { 0xFF, true, true, true },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "byte 2 = 0x" << std::hex << int(c.byte2));
            Header h;
            h.bytes[2] = c.byte2;
            h.bytes[3] = 0xFF; // RA and friends live in byte 3 and must not leak into byte-2 flags
            EXPECT_EQ(h.aa(), c.aa);
            EXPECT_EQ(h.tc(), c.tc);
            EXPECT_EQ(h.rd(), c.rd);
        }
    }

    TEST(Header, SettersChangeOnlyTheirBit)
    {
        struct Case {
            const char* label;
            std::function<void(Header&, bool)> set;
            std::size_t index;
            std::uint8_t mask;
        };
        const Case cases[] = {
            { "setQr", [](Header& h, bool v) { h.setQr(v); }, 2, 0x80 },
            { "setAa", [](Header& h, bool v) { h.setAa(v); }, 2, 0x04 },
            { "setTc", [](Header& h, bool v) { h.setTc(v); }, 2, 0x02 },
            { "setRd", [](Header& h, bool v) { h.setRd(v); }, 2, 0x01 },
            { "setRa", [](Header& h, bool v) { h.setRa(v); }, 3, 0x80 },
            { "setAd", [](Header& h, bool v) { h.setAd(v); }, 3, 0x20 },
            { "setCd", [](Header& h, bool v) { h.setCd(v); }, 3, 0x10 },
        };
        for (const Case& c : cases) {
            for (std::uint8_t fill : { 0x00, 0xFF, 0x5A }) {
                for (bool value : { true, false }) {
                    SCOPED_TRACE(
                        testing::Message() << c.label << "(" << value << ") on 0x" << std::hex << int(fill));
                    Header h;
                    h.bytes.fill(fill);
                    auto expected = h.bytes;
                    expected[c.index] = value ? (fill | c.mask) : (fill & ~c.mask);
                    c.set(h, value);
                    EXPECT_EQ(h.bytes, expected);
                }
            }
        }
    }

    // Each reader against the byte it reads filled with every bit but its own, then with its bit alone:
    // a reader that looked at a neighbour's bit, or at the other flag byte, fails one of the two.
    TEST(Header, EveryFlagReaderSeesItsOwnBitAndNoOther)
    {
        struct Case {
            const char* label;
            std::function<bool(const Header&)> read;
            std::size_t index;
            std::uint8_t mask;
        };
        const Case cases[] = {
            { "qr", [](const Header& h) { return h.qr(); }, 2, 0x80 },
            { "aa", [](const Header& h) { return h.aa(); }, 2, 0x04 },
            { "tc", [](const Header& h) { return h.tc(); }, 2, 0x02 },
            { "rd", [](const Header& h) { return h.rd(); }, 2, 0x01 },
            { "ra", [](const Header& h) { return h.ra(); }, 3, 0x80 },
            { "ad", [](const Header& h) { return h.ad(); }, 3, 0x20 },
            { "cd", [](const Header& h) { return h.cd(); }, 3, 0x10 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            Header others;
            others.bytes.fill(0xFF);
            others.bytes[c.index] = static_cast<std::uint8_t>(~c.mask);
            EXPECT_FALSE(c.read(others));
            Header alone;
            alone.bytes[c.index] = c.mask;
            EXPECT_TRUE(c.read(alone));
        }
    }

    TEST(Header, OpcodeIsTheFourBitsAfterQr)
    {
        Header h;
        h.bytes[2] = 0x80 | (5 << 3) | 0x07; // QR, OPCODE 5 (UPDATE), AA, TC, RD
        h.bytes[3] = 0xFF;
        EXPECT_EQ(h.opcode(), 5);
        h.bytes[2] = 0x87; // OPCODE 0 among set neighbours
        EXPECT_EQ(h.opcode(), 0);
        h.bytes[2] = 0x78; // OPCODE 15 alone
        EXPECT_EQ(h.opcode(), 15);
    }

    TEST(Header, SetIdWritesBigEndianAndLeavesTheFlags)
    {
        Header h;
        h.bytes.fill(0x5A);
        h.setId(0xBEEF);
        EXPECT_EQ(h.id(), 0xBEEF);
        EXPECT_EQ(h.bytes[0], 0xBE);
        EXPECT_EQ(h.bytes[1], 0xEF);
        EXPECT_EQ(h.bytes[2], 0x5A);
    }

    TEST(Header, SetRcodeKeepsRaAndAd)
    {
        Header h;
        h.bytes[2] = 0x81;
        h.bytes[3] = 0x80 | flag_ad | 0x05; // RA, AD, RCODE refused
        h.setRcode(RCode::serv_fail);
        EXPECT_EQ(h.bytes[3], 0x80 | flag_ad | 0x02);
        EXPECT_EQ(h.bytes[2], 0x81);
        EXPECT_EQ(h.rcode(), RCode::serv_fail);

        h.bytes[3] = 0xFF;
        h.setRcode(RCode::no_error);
        EXPECT_EQ(h.bytes[3], 0xF0);
    }

    TEST(Header, CarriesUnnamedRcodesUpToFifteen)
    {
        for (unsigned code = 0; code <= 15; ++code) {
            SCOPED_TRACE(code);
            Header h;
            h.bytes[3] = 0xB0; // RA, AD, CD
            h.setRcode(static_cast<RCode>(code));
            EXPECT_EQ(static_cast<unsigned>(h.rcode()), code);
            EXPECT_EQ(h.bytes[3] & 0xF0, 0xB0);
        }
    }

    TEST(Header, SetHeaderBitEditsAMutableView)
    {
        std::array<std::uint8_t, 12> raw {};
        raw[2] = 0x01;
        setHeaderBit(raw, 2, flag_qr, true);
        setHeaderBit(raw, 3, flag_ad, true);
        setHeaderBit(raw, 2, 0x01, false);
        EXPECT_EQ(raw[2], flag_qr);
        EXPECT_EQ(raw[3], flag_ad);
        EXPECT_TRUE(Header::fromBytes(raw).qr());
    }

    TEST(RecordHeader, DecodesTheTenFixedBytes)
    {
        const std::uint8_t raw[] = {
            0x12, 0x34, // TYPE 0x1234 (unnamed, carried as is)
            0x00, 0xFE, // CLASS none
            0xFF, 0xFF, 0xFF, 0xFE, // TTL with the top bit set
            0xFF, 0xFD, // RDLENGTH
            0xAA, // first RDATA byte, not part of the header
        };
        auto rh = RecordHeader::fromSlice(raw);
        ASSERT_TRUE(rh);
        EXPECT_EQ(toU16(rh->rtype), 0x1234);
        EXPECT_EQ(rh->rclass, QClass::none);
        EXPECT_EQ(rh->ttl, 0xFFFFFFFEu);
        EXPECT_EQ(rh->rdlength, 0xFFFD);
    }

    TEST(RecordHeader, RejectsFewerThanTenBytes)
    {
        const std::array<std::uint8_t, 10> raw {};
        for (std::size_t n = 0; n < raw.size(); ++n) {
            SCOPED_TRACE(testing::Message() << n << " bytes");
            auto rh = RecordHeader::fromSlice(std::span(raw).first(n));
            ASSERT_FALSE(rh);
            EXPECT_EQ(rh.error(), WireError::PacketTooShort);
        }
        EXPECT_TRUE(RecordHeader::fromSlice(raw));
    }

} // namespace
} // namespace recursor
