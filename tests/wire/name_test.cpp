#include "base/siphash.h"
#include "wire/dns_name_context.h"
#include "wire/name.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::wireName;
    using Bytes = std::vector<std::uint8_t>;

    Bytes toBytes(std::span<const std::uint8_t> s)
    {
        return Bytes(s.begin(), s.end());
    }

    DnsName textName(std::string_view text)
    {
        auto name = DnsName::fromText(text);
        if (!name) {
            ADD_FAILURE() << "cannot parse " << text << ": " << errorName(name.error());
            return {};
        }
        return *name;
    }

    DnsName wireToName(const Bytes& wire)
    {
        auto decoded = DnsName::fromPacket(wire, 0, 0);
        if (!decoded) {
            ADD_FAILURE() << "cannot decode: " << errorName(decoded.error());
            return {};
        }
        return decoded->name;
    }

    // Labels of `sizes` bytes each (filled with 'a'), then the terminating zero.
    Bytes labelsOfSizes(std::initializer_list<std::size_t> sizes)
    {
        PacketBuilder b;
        for (std::size_t n : sizes)
            b.label(std::string(n, 'a'));
        return b.u8(0).bytes();
    }

    // Bit-at-a-time CRC-32 (reflected polynomial 0xEDB88320), the core of the name hash this code used
    // to have; kept here only to show which names collided under it.
    std::uint32_t referenceCrc32(std::span<const std::uint8_t> bytes)
    {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::uint8_t byte : bytes) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    }

    Bytes lowerCased(std::span<const std::uint8_t> wire)
    {
        Bytes out;
        for (std::uint8_t c : wire)
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c);
        return out;
    }

    SipHashKey keyOf(std::uint8_t fill)
    {
        SipHashKey key {};
        key.fill(fill);
        return key;
    }

    TEST(DnsName, RootDecodesFromOneZeroByte)
    {
        const Bytes packet = { 0x00 };
        auto decoded = DnsName::fromPacket(packet, 0, 0);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->consumed, 1u);
        EXPECT_EQ(decoded->name.len, 1);
        EXPECT_TRUE(decoded->name.isRoot());
        EXPECT_FALSE(decoded->name.isEmpty());
        EXPECT_EQ(decoded->name.toText(), ".");
        EXPECT_TRUE(decoded->name.eql(DnsName::root()));
    }

    TEST(DnsName, DecodesNameOfExactly255Bytes)
    {
        const Bytes wire = labelsOfSizes({ 63, 63, 63, 61 }); // 3 * 64 + 62 + the zero = 255
        ASSERT_EQ(wire.size(), 255u);
        auto decoded = DnsName::fromPacket(wire, 0, 0);
        ASSERT_TRUE(decoded) << errorName(decoded.error());
        EXPECT_EQ(decoded->consumed, 255u);
        EXPECT_EQ(decoded->name.len, 255);
        EXPECT_EQ(toBytes(decoded->name.wireBytes()), wire);
    }

    TEST(DnsName, CountsLabelBytesPlusTwoForTrailingPointer)
    {
        PacketBuilder b;
        b.zeros(12).name("b.c"); // 12: 01 'b' 01 'c' 00
        const std::size_t first = b.size();
        b.label("a").pointer(12); // 17: 01 'a' C0 0C
        const std::size_t second = b.size();
        b.label("Xy").pointer(
            static_cast<std::uint16_t>(first)); // 21: 02 'X' 'y' C0 11 (pointer to a pointer)

        auto a = DnsName::fromPacket(b.span(), first, 12);
        ASSERT_TRUE(a) << errorName(a.error());
        EXPECT_EQ(a->consumed, 4u);
        EXPECT_EQ(toBytes(a->name.wireBytes()), wireName("a.b.c"));

        // Only the first pointer counts towards `consumed`; case is kept as written.
        auto xy = DnsName::fromPacket(b.span(), second, 12);
        ASSERT_TRUE(xy) << errorName(xy.error());
        EXPECT_EQ(xy->consumed, 5u);
        EXPECT_EQ(toBytes(xy->name.wireBytes()), wireName("Xy.a.b.c"));
    }

    TEST(DnsName, FollowsSixteenPointersButNotSeventeen)
    {
        // 0: 01 'a' 00, then pointers at 3, 5, 7, ... each pointing at the one before (the first at 0).
        PacketBuilder b;
        b.name("a");
        std::vector<std::size_t> pointer_at;
        std::size_t previous = 0;
        for (int n = 0; n < 17; ++n) {
            pointer_at.push_back(b.size());
            b.pointer(static_cast<std::uint16_t>(previous));
            previous = pointer_at.back();
        }

        auto sixteen = DnsName::fromPacket(b.span(), pointer_at[15], 0);
        ASSERT_TRUE(sixteen) << errorName(sixteen.error());
        EXPECT_EQ(sixteen->consumed, 2u);
        EXPECT_EQ(toBytes(sixteen->name.wireBytes()), wireName("a"));

        auto seventeen = DnsName::fromPacket(b.span(), pointer_at[16], 0);
        ASSERT_FALSE(seventeen);
        EXPECT_EQ(seventeen.error(), WireError::CompressionLoop);
    }

    TEST(DnsName, PointerIntoHeaderIsAcceptedOnlyWithoutMinimumOffset)
    {
        PacketBuilder b;
        b.u16(0).name("h").zeros(7).pointer(2); // 2: 01 'h' 00 inside the "header"; 12: C0 02
        auto guarded = DnsName::fromPacket(b.span(), 12, 12);
        ASSERT_FALSE(guarded);
        EXPECT_EQ(guarded.error(), WireError::InvalidCompressionPointer);
        auto unguarded = DnsName::fromPacket(b.span(), 12, 0);
        ASSERT_TRUE(unguarded) << errorName(unguarded.error());
        EXPECT_EQ(toBytes(unguarded->name.wireBytes()), wireName("h"));
    }

    TEST(DnsName, RejectsMalformedNames)
    {
        const Bytes max_name = labelsOfSizes({ 63, 63, 63, 61 });
        struct Case {
            const char* label;
            Bytes packet;
            std::size_t offset;
            std::size_t min_offset;
            WireError expected;
        };
        const Case cases[] = {
            { "empty packet", {}, 0, 0, WireError::PacketTooShort },
            { "offset at end of packet", { 0x00 }, 1, 0, WireError::PacketTooShort },
            { "offset far beyond packet", { 0x00 }, 1000, 0, WireError::PacketTooShort },
            { "label is the last byte", { 0x01, 'a' }, 0, 0, WireError::PacketTooShort },
            { "label runs past the end", { 0x03, 'a', 'b' }, 0, 0, WireError::PacketTooShort },
            { "pointer lacks its second byte", { 0x00, 0xC0 }, 1, 0, WireError::PacketTooShort },
            { "256-byte name", labelsOfSizes({ 63, 63, 63, 62 }), 0, 0, WireError::NameTooLong },
            { "name reaches 256 bytes through a pointer",
                [&] {
                    PacketBuilder b;
                    b.raw(max_name).label("x").pointer(0); // 'x' + the 255-byte name
                    return b.bytes();
                }(),
                255, 0, WireError::NameTooLong },
            { "pointer to itself", PacketBuilder().zeros(12).pointer(12).bytes(), 12, 12,
                WireError::InvalidCompressionPointer },
            { "pointer forward", PacketBuilder().zeros(12).pointer(14).u8(0).bytes(), 12, 12,
                WireError::InvalidCompressionPointer },
            { "pointer into the header", PacketBuilder().zeros(12).pointer(11).bytes(), 12, 12,
                WireError::InvalidCompressionPointer },
            { "pointer after a label back to the label's start",
                PacketBuilder().zeros(12).label("a").pointer(12).bytes(), 12, 12,
                WireError::CompressionLoop },
            { "pointer with the full 14-bit range forward",
                PacketBuilder().zeros(12).raw({ 0xFF, 0xFF }).bytes(), 12, 0,
                WireError::InvalidCompressionPointer },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto decoded = DnsName::fromPacket(c.packet, c.offset, c.min_offset);
            ASSERT_FALSE(decoded);
            EXPECT_EQ(decoded.error(), c.expected) << errorName(decoded.error());
        }
    }

    TEST(DnsName, RejectsExtendedAndReservedLabelTypes)
    {
        for (unsigned b = 0x40; b <= 0xBF; ++b) {
            SCOPED_TRACE(testing::Message() << "length byte 0x" << std::hex << b);
            const Bytes packet = { static_cast<std::uint8_t>(b), 'a', 'b', 0x00 };
            auto decoded = DnsName::fromPacket(packet, 0, 0);
            ASSERT_FALSE(decoded);
            EXPECT_EQ(decoded.error(), WireError::InvalidLabelType);
        }
    }

    TEST(DnsName, ComparesAndHashesIgnoringAsciiCaseOnly)
    {
        const DnsName upper = textName("A.B.Example");
        const DnsName lower = textName("a.b.example");
        EXPECT_TRUE(upper.eql(lower));
        EXPECT_EQ(upper.hash(), lower.hash());
        EXPECT_EQ(DnsNameContext {}.hash(upper), DnsNameContext {}.hash(lower));
        EXPECT_TRUE(DnsNameContext {}.eql(upper, lower));
        // Case is preserved, only the comparison folds.
        EXPECT_EQ(upper.toText(), "A.B.Example.");

        // Pairs of bytes that differ by 0x20; only A-Z fold, so '@'/'`', '['/'{' and Latin-1 letters differ.
        struct Case {
            std::uint8_t left;
            std::uint8_t right;
            bool equal;
        };
        const Case cases[] = {
            { 'A', 'a', true },
            { 'Z', 'z', true },
            { '@', '`', false },
            { '[', '{', false },
            { 0xC9, 0xE9, false },
            { 0xC1, 0xE1, false },
            { 0xDA, 0xFA, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << int(c.left) << " vs " << int(c.right));
            const DnsName left = wireToName({ 0x03, 'x', c.left, 'y', 0x00 });
            const DnsName right = wireToName({ 0x03, 'x', c.right, 'y', 0x00 });
            EXPECT_EQ(left.eql(right), c.equal);
            EXPECT_EQ(right.eql(left), c.equal);
            EXPECT_EQ(left.hash() == right.hash(), c.equal);
            EXPECT_EQ(dnsToLower(c.left) == dnsToLower(c.right), c.equal);
        }
    }

    TEST(DnsName, EqualityTakesLengthBytesIntoAccount)
    {
        // Same length and same letters, different label boundaries.
        EXPECT_FALSE(textName("ab.c").eql(textName("a.bc")));
        EXPECT_FALSE(textName("example.com").eql(textName("example.co")));
        EXPECT_TRUE(DnsName {}.eql(DnsName {}));
        EXPECT_FALSE(DnsName {}.eql(DnsName::root()));
        EXPECT_FALSE(DnsName::root().eql(DnsName {}));
    }

    TEST(DnsName, HashIsKeyedSipHashOfTheLowerCasedWireForm)
    {
        const SipHashKey key_a = keyOf(0x11);
        const SipHashKey key_b = keyOf(0x22);
        const Bytes names[] = {
            wireName("."), wireName("a.b.example"), wireName("WWW.Example.COM"),
            labelsOfSizes({ 63 }), // 65 bytes
            labelsOfSizes({ 63, 63, 63, 61 }), // 255 bytes
        };
        for (const Bytes& wire : names) {
            SCOPED_TRACE(testing::Message() << wire.size() << "-byte name");
            const DnsName name = wireToName(wire);
            const Bytes lower = lowerCased(wire);
            EXPECT_EQ(name.hashWithKey(key_a), sipHash24(key_a, lower));
            EXPECT_EQ(name.hash(), sipHash24(processSipHashKey(), lower));
            EXPECT_EQ(DnsNameContext {}.hash(name), name.hash());
            // Another key, another hash: a client cannot know where its names land.
            EXPECT_NE(name.hashWithKey(key_a), name.hashWithKey(key_b));
            EXPECT_NE(name.hash(), referenceCrc32(lower));
        }
    }

    TEST(DnsName, NamesThatCollideUnderCrc32DoNotCollide)
    {
        // "plumless" and "buckeroo" have the same CRC-32, and so does any pair of equally long names
        // built around them: a flood of such names used to land in one bucket.
        const std::pair<const char*, const char*> pairs[] = {
            { "plumless", "buckeroo" },
            { "plumless.example", "buckeroo.example" },
            { "www.PLUMLESS.example", "www.buckeroo.example" },
        };
        for (const auto& [left, right] : pairs) {
            SCOPED_TRACE(testing::Message() << left << " vs " << right);
            const DnsName a = textName(left);
            const DnsName b = textName(right);
            ASSERT_EQ(referenceCrc32(lowerCased(a.wireBytes())), referenceCrc32(lowerCased(b.wireBytes())));
            EXPECT_NE(a.hash(), b.hash());
            EXPECT_NE(a.hashWithKey(keyOf(0)), b.hashWithKey(keyOf(0)));
        }
    }

    TEST(DnsName, HashFoldsCaseInEveryChunk)
    {
        PacketBuilder upper;
        PacketBuilder lower;
        upper.label(std::string(63, 'a')).label(std::string(40, 'Q')).u8(0); // the 'Q's sit in chunk two
        lower.label(std::string(63, 'a')).label(std::string(40, 'q')).u8(0);
        const DnsName a = wireToName(upper.bytes());
        const DnsName b = wireToName(lower.bytes());
        EXPECT_TRUE(a.eql(b));
        EXPECT_EQ(a.hash(), b.hash());
    }

    TEST(DnsNameContext, FindsKeysRegardlessOfCase)
    {
        std::unordered_map<DnsName, int, DnsNameContext, DnsNameContext> zones;
        zones[textName("Example.COM")] = 1;
        zones[textName("org")] = 2;
        EXPECT_EQ(zones.count(textName("example.com")), 1u);
        EXPECT_EQ(zones.at(textName("EXAMPLE.com")), 1);
        EXPECT_EQ(zones.count(textName("example.co")), 0u);
    }

    TEST(DnsName, IsPartOf)
    {
        struct Case {
            const char* label;
            DnsName self;
            DnsName parent;
            bool expected;
        };
        const Case cases[] = {
            { "same name", textName("b.c"), textName("b.c"), true },
            { "same name in other case", textName("B.c"), textName("b.C"), true },
            { "child", textName("a.b.c"), textName("b.c"), true },
            { "grandchild in other case", textName("x.A.B.C"), textName("b.c"), true },
            { "tail matches inside a label", textName("xb.c"), textName("b.c"), false },
            { "tail bytes match but not on a label boundary", textName("x\\001b.c"), textName("b.c"), false },
            { "parent of the parent", textName("c"), textName("b.c"), false },
            { "sibling", textName("a.c"), textName("b.c"), false },
            { "anything under the root", textName("a.b.c"), DnsName::root(), true },
            { "root under the root", DnsName::root(), DnsName::root(), true },
            { "root under a name", DnsName::root(), textName("c"), false },
            { "empty under a name", DnsName {}, textName("c"), false },
            { "name under empty", textName("c"), DnsName {}, false },
            { "empty under the root", DnsName {}, DnsName::root(), false },
            { "root under empty", DnsName::root(), DnsName {}, false },
            { "empty under empty", DnsName {}, DnsName {}, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(c.self.isPartOf(c.parent), c.expected);
        }
    }

    TEST(DnsName, ChopOffWalksUpToTheRoot)
    {
        DnsName name = textName("a.B.c");
        ASSERT_TRUE(name.chopOff());
        EXPECT_EQ(toBytes(name.wireBytes()), wireName("B.c")); // case kept
        ASSERT_TRUE(name.chopOff());
        EXPECT_EQ(toBytes(name.wireBytes()), wireName("c"));
        ASSERT_TRUE(name.chopOff());
        EXPECT_TRUE(name.isRoot());
        EXPECT_FALSE(name.chopOff());
        EXPECT_TRUE(name.isRoot());

        DnsName empty;
        EXPECT_FALSE(empty.chopOff());
        EXPECT_TRUE(empty.isEmpty());
    }

    TEST(DnsName, ChopOffOfLongNameKeepsOnlyMeaningfulBytesComparable)
    {
        DnsName name = wireToName(labelsOfSizes({ 63, 63, 63, 61 }));
        ASSERT_TRUE(name.chopOff());
        // Stale bytes remain past len; equality and hashing must not look at them.
        const DnsName fresh = wireToName(labelsOfSizes({ 63, 63, 61 }));
        EXPECT_TRUE(name.eql(fresh));
        EXPECT_EQ(name.hash(), fresh.hash());
    }

    TEST(DnsName, MakeLowerCaseFoldsOnlyAsciiLetters)
    {
        DnsName name = wireToName({ 0x05, 'W', 0xC9, '@', 'z', 'Q', 0x00 });
        name.makeLowerCase();
        EXPECT_EQ(toBytes(name.wireBytes()), (Bytes { 0x05, 'w', 0xC9, '@', 'z', 'q', 0x00 }));
    }

    TEST(DnsName, TextRoundTrips)
    {
        struct Case {
            const char* text;
            Bytes wire;
            const char* back;
        };
        const Case cases[] = {
            { ".", { 0x00 }, "." },
            { "", { 0x00 }, "." },
            { "example.com", wireName("example.com"), "example.com." },
            { "Www.Example.COM.", wireName("Www.Example.COM"), "Www.Example.COM." },
            { "a\\.b.c.", { 0x03, 'a', '.', 'b', 0x01, 'c', 0x00 }, "a\\.b.c." },
            { "a\\\\b.", { 0x03, 'a', '\\', 'b', 0x00 }, "a\\\\b." },
            { "\\065b.", { 0x02, 'A', 'b', 0x00 }, "Ab." },
            { "\\000\\255.x", { 0x02, 0x00, 0xFF, 0x01, 'x', 0x00 }, "\\000\\255.x." },
            { "a b.", { 0x03, 'a', ' ', 'b', 0x00 }, "a\\032b." },
            { "\\\"q", { 0x02, '"', 'q', 0x00 }, "\"q." },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            auto name = DnsName::fromText(c.text);
            ASSERT_TRUE(name) << errorName(name.error());
            EXPECT_EQ(toBytes(name->wireBytes()), c.wire);
            EXPECT_EQ(name->toText(), c.back);
            auto again = DnsName::fromText(name->toText());
            ASSERT_TRUE(again);
            EXPECT_EQ(toBytes(again->wireBytes()), c.wire);
        }
        EXPECT_EQ(DnsName {}.toText(), "");
    }

    TEST(DnsName, FromTextEnforcesWireLimits)
    {
        const std::string l63(63, 'a');
        const std::string longest
            = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'a'); // 255 wire bytes
        auto ok = DnsName::fromText(longest);
        ASSERT_TRUE(ok) << errorName(ok.error());
        EXPECT_EQ(ok->len, 255);
        EXPECT_EQ(toBytes(ok->wireBytes()), labelsOfSizes({ 63, 63, 63, 61 }));
        ASSERT_TRUE(DnsName::fromText(l63 + ".com"));

        struct Case {
            const char* label;
            std::string text;
            WireError expected;
        };
        const Case cases[] = {
            { "64-byte label", std::string(64, 'a') + ".com", WireError::LabelTooLong },
            { "256 wire bytes", longest + "a", WireError::NameTooLong },
            { "256 wire bytes with trailing dot", longest + "a.", WireError::NameTooLong },
            { "one more label", longest + ".b", WireError::NameTooLong },
            { "empty label inside", "a..b", WireError::InvalidLabelType },
            { "leading dot", ".a", WireError::InvalidLabelType },
            { "two dots", "..", WireError::InvalidLabelType },
            { "decimal escape above 255", "\\256.a", WireError::InvalidLabelType },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto name = DnsName::fromText(c.text);
            ASSERT_FALSE(name);
            EXPECT_EQ(name.error(), c.expected) << errorName(name.error());
        }
    }

    TEST(DnsName, FromWireAcceptsOnlyOneUncompressedName)
    {
        auto ok = DnsName::fromWire(wireName("a.b"));
        ASSERT_TRUE(ok);
        EXPECT_EQ(toBytes(ok->wireBytes()), wireName("a.b"));

        struct Case {
            const char* label;
            Bytes wire;
            WireError expected;
        };
        const Case cases[] = {
            { "empty", {}, WireError::PacketTooShort },
            { "trailing byte", { 0x01, 'a', 0x00, 0x00 }, WireError::LengthMismatch },
            // 03 [01 'x' 00] C0 01: the pointer re-reads the label's own content as a name.
            { "pointer back into itself", { 0x03, 0x01, 'x', 0x00, 0xC0, 0x01 },
                WireError::InvalidCompressionPointer },
            { "missing terminator", { 0x01, 'a' }, WireError::PacketTooShort },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto name = DnsName::fromWire(c.wire);
            ASSERT_FALSE(name);
            EXPECT_EQ(name.error(), c.expected) << errorName(name.error());
        }
    }

} // namespace
} // namespace recursor
