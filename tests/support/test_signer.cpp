#include "support/test_signer.h"

#include "dnssec/keytag.h"
#include "dnssec/validator.h"
#include "support/packet_builder.h"

#include <ctime>
#include <stdexcept>

namespace recursor::test {

namespace {
    constexpr std::uint16_t ksk = 257;
    constexpr std::uint8_t ed25519 = 15;
    constexpr std::uint8_t sha256 = 2;
} // namespace

TestSigner::TestSigner(std::string_view zone)
    : zone_(zone)
    , key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"))
    , public_key_(32)
{
    std::size_t len = public_key_.size();
    if (!key_ || EVP_PKEY_get_raw_public_key(key_.get(), public_key_.data(), &len) != 1 || len != 32)
        throw std::runtime_error("Ed25519 key generation failed");
}

std::vector<std::uint8_t> TestSigner::dnskey() const
{
    return PacketBuilder().u16(ksk).u8(dnssec::dnskey_protocol).u8(ed25519).raw(public_key_).bytes();
}

std::uint16_t TestSigner::keytag() const
{
    return dnssec::computeKeytag(ksk, dnssec::dnskey_protocol, ed25519, public_key_);
}

std::vector<std::uint8_t> TestSigner::ds() const
{
    const auto digest = dnssec::computeDNSKEYDigest(
        ksk, dnssec::dnskey_protocol, ed25519, public_key_, DnsName::fromText(zone_).value(), sha256);
    return PacketBuilder().u16(keytag()).u8(ed25519).u8(sha256).raw(digest.value()).bytes();
}

std::string TestSigner::anchorLine() const
{
    std::string line = zone_ + " IN DS " + std::to_string(keytag()) + " 15 2 ";
    const auto rdata = ds();
    for (std::size_t i = 4; i < rdata.size(); ++i)
        line += { "0123456789ABCDEF"[rdata[i] >> 4], "0123456789ABCDEF"[rdata[i] & 15] };
    return line + "\n";
}

std::vector<std::uint8_t> TestSigner::sign(std::string_view owner, QType type, std::uint32_t ttl,
    std::span<const std::vector<std::uint8_t>> rdatas) const
{
    PacketBuilder rrset;
    rrset.header(0, 0, 0, static_cast<std::uint16_t>(rdatas.size()), 0, 0);
    for (const auto& rdata : rdatas)
        rrset.record(owner, type, QClass::in, ttl, rdata);
    const DnsMessage msg = DnsMessage::parse(rrset.bytes()).value();
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    const auto labels = static_cast<std::uint8_t>(DnsName::fromText(owner).value().labelCount());
    const rdata::dnssec::RRSIG rrsig { toU16(type), ed25519, labels, ttl, now + 7 * 86400, now - 86400,
        keytag(), DnsName::fromText(zone_).value(), {} };
    const std::vector<std::uint8_t> data = dnssec::signedData(rrsig, msg.records).value();

    std::vector<std::uint8_t> signature(64);
    std::size_t len = signature.size();
    const dnssec::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1
        || EVP_DigestSign(ctx.get(), signature.data(), &len, data.data(), data.size()) != 1)
        throw std::runtime_error("Ed25519 signing failed");
    PacketBuilder out;
    out.u16(rrsig.type_covered).u8(ed25519).u8(labels).u32(ttl).u32(rrsig.sig_expiration);
    return out.u32(rrsig.sig_inception).u16(rrsig.keytag).name(zone_).raw(signature).bytes();
}

} // namespace recursor::test
