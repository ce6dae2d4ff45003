#include "wire/reader.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::wireName;
    using Bytes = std::vector<std::uint8_t>;

    // Runs one read and reports only its error, if any.
    using Read = std::function<std::optional<WireError>(PacketReader&)>;

    template <typename F> Read reading(F f)
    {
        return [f](PacketReader& r) -> std::optional<WireError> {
            auto result = f(r);
            if (result)
                return std::nullopt;
            return result.error();
        };
    }

    struct ReadCase {
        const char* label;
        std::size_t needs;
        Read read;
    };

    std::vector<ReadCase> everyRead()
    {
        return {
            { "readU8", 1, reading([](PacketReader& r) { return r.readU8(); }) },
            { "readU16", 2, reading([](PacketReader& r) { return r.readU16(); }) },
            { "readU32", 4, reading([](PacketReader& r) { return r.readU32(); }) },
            { "readIPv4", 4, reading([](PacketReader& r) { return r.readIPv4(); }) },
            { "readIPv6", 16, reading([](PacketReader& r) { return r.readIPv6(); }) },
            { "readBlob(3)", 3, reading([](PacketReader& r) { return r.readBlob(3); }) },
            { "skip(5)", 5, reading([](PacketReader& r) { return r.skip(5); }) },
            { "readRecordHeader", 10, reading([](PacketReader& r) { return r.readRecordHeader(); }) },
        };
    }

    TEST(PacketReader, EveryReadPastTheEndFailsWithoutMoving)
    {
        for (const ReadCase& c : everyRead()) {
            SCOPED_TRACE(c.label);
            const Bytes exact(12 + c.needs, 0x01);
            const std::span<const std::uint8_t> short_by_one(exact.data(), exact.size() - 1);

            PacketReader fits(exact);
            EXPECT_EQ(c.read(fits), std::nullopt);
            EXPECT_EQ(fits.pos(), exact.size());
            EXPECT_TRUE(fits.atEnd());

            PacketReader cut(short_by_one);
            EXPECT_EQ(c.read(cut), WireError::PacketTooShort);
            EXPECT_EQ(cut.pos(), 12u);

            PacketReader at_end(exact, exact.size());
            EXPECT_EQ(c.read(at_end), WireError::PacketTooShort);
            EXPECT_EQ(at_end.pos(), exact.size());
        }
    }

    TEST(PacketReader, HugeLengthsFailInsteadOfWrapping)
    {
        const Bytes packet(20, 0);
        const std::size_t huge = std::numeric_limits<std::size_t>::max();
        PacketReader r(packet);
        auto blob = r.readBlob(huge);
        ASSERT_FALSE(blob);
        EXPECT_EQ(blob.error(), WireError::PacketTooShort);
        auto skipped = r.skip(huge - 4);
        ASSERT_FALSE(skipped);
        EXPECT_EQ(skipped.error(), WireError::PacketTooShort);
        EXPECT_EQ(r.pos(), 12u);
    }

    TEST(PacketReader, PositionBeyondThePacketIsTreatedAsEnd)
    {
        // A reader whose start lies past a 5-byte slice (no header at all) must not read anything.
        const Bytes packet(5, 0);
        PacketReader r(packet);
        EXPECT_TRUE(r.atEnd());
        EXPECT_EQ(r.remaining(), 0u);
        for (const ReadCase& c : everyRead()) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(c.read(r), WireError::PacketTooShort);
        }
        auto name = r.readName();
        ASSERT_FALSE(name);
        EXPECT_EQ(name.error(), WireError::PacketTooShort);
        EXPECT_EQ(r.pos(), 12u);
    }

    TEST(PacketReader, ReadsBigEndianAndViewsThePacket)
    {
        PacketBuilder b;
        b.zeros(12)
            .u16(0x1234) // 12
            .u32(0xDEADBEEF) // 14
            .raw({ 192, 0, 2, 1 }) // 18: IPv4
            .raw({ 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01 }) // 22: IPv6
            .raw({ 0xAA, 0xBB, 0xCC }) // 38: blob
            .u8(0x80); // 41
        PacketReader r(b.span());
        EXPECT_EQ(r.readU16().value(), 0x1234);
        EXPECT_EQ(r.readU32().value(), 0xDEADBEEFu);
        EXPECT_EQ(r.readIPv4().value(), (std::array<std::uint8_t, 4> { 192, 0, 2, 1 }));
        EXPECT_EQ(r.readIPv6().value()[15], 0x01);
        auto blob = r.readBlob(3).value();
        EXPECT_EQ(blob.data(), b.span().data() + 38); // a view, not a copy
        EXPECT_EQ(blob.size(), 3u);
        EXPECT_EQ(r.remaining(), 1u);
        EXPECT_EQ(r.readU8().value(), 0x80);
        EXPECT_TRUE(r.atEnd());
        EXPECT_TRUE(r.readBlob(0)); // nothing asked, nothing missing
    }

    TEST(PacketReader, ReadNameAdvancesPastPointer)
    {
        PacketBuilder b;
        b.zeros(12).name("b.c"); // 12: 01 'b' 01 'c' 00
        b.label("a").pointer(12).u16(0xABCD); // 17: 01 'a' C0 0C, then a field
        PacketReader r(b.span(), 17);
        auto name = r.readName();
        ASSERT_TRUE(name) << errorName(name.error());
        EXPECT_TRUE(name->eql(DnsName::fromText("a.b.c").value()));
        EXPECT_EQ(r.pos(), 21u);
        EXPECT_EQ(r.readU16().value(), 0xABCD);
    }

    TEST(PacketReader, ReadNameHonoursMinimumOffset)
    {
        PacketBuilder b;
        b.u16(0).name("h").zeros(7).pointer(2).name("tail"); // 2: "h" inside the header; 12: C0 02
        PacketReader guarded(b.span(), 12, 12);
        auto rejected = guarded.readName();
        ASSERT_FALSE(rejected);
        EXPECT_EQ(rejected.error(), WireError::InvalidCompressionPointer);
        EXPECT_EQ(guarded.pos(), 12u); // a failed name read leaves the cursor alone

        PacketReader unguarded(b.span(), 12, 0);
        auto accepted = unguarded.readName();
        ASSERT_TRUE(accepted);
        EXPECT_EQ(Bytes(accepted->wireBytes().begin(), accepted->wireBytes().end()), wireName("h"));
        EXPECT_EQ(unguarded.pos(), 14u);
    }

} // namespace
} // namespace recursor
