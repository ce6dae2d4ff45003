#include "dnssec/validator.h"

#include "dnssec/canonical.h"
#include "dnssec/keytag.h"
#include "dnssec/openssl_util.h"
#include "dnssec/rsa.h"
#include "dnssec/signature_window.h"

#include <openssl/core_names.h>

#include <algorithm>
#include <array>
#include <new>

namespace recursor::dnssec {

namespace {

    using Bytes = std::span<const std::uint8_t>;

    struct Curve {
        const char* group;
        std::size_t coordinate_len;
        const EVP_MD* (*md)();
    };
    const Curve p256 { "P-256", 32, EVP_sha256 };
    const Curve p384 { "P-384", 48, EVP_sha384 };

    void appendU16(std::vector<std::uint8_t>& out, std::uint16_t v)
    {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }

    void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v)
    {
        appendU16(out, static_cast<std::uint16_t>(v >> 16));
        appendU16(out, static_cast<std::uint16_t>(v));
    }

    // RFC 6605 §4: the key is X then Y, an uncompressed point without its 0x04 prefix.
    DnssecResult<EvpPkeyPtr> ecKey(const Curve& curve, Bytes public_key)
    {
        if (public_key.size() != 2 * curve.coordinate_len)
            return std::unexpected(DnssecError::InvalidPublicKey);
        std::array<std::uint8_t, 97> point {};
        point[0] = 0x04;
        std::ranges::copy(public_key, point.begin() + 1);
        const std::array<OSSL_PARAM, 3> params = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(curve.group), 0),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), 1 + public_key.size()),
            OSSL_PARAM_construct_end(),
        };
        return publicKeyFromParams("EC", params.data());
    }

    // RFC 6605 §4: the signature is r then s; libcrypto verifies the DER form of RFC 3279.
    DnssecResult<std::vector<std::uint8_t>> ecdsaSignatureToDer(const Curve& curve, Bytes signature)
    {
        if (signature.size() != 2 * curve.coordinate_len)
            return std::unexpected(DnssecError::InvalidSignature);
        BignumPtr r = TRY(toBignum(signature.first(curve.coordinate_len)));
        BignumPtr s = TRY(toBignum(signature.subspan(curve.coordinate_len)));
        EcdsaSigPtr sig(ECDSA_SIG_new());
        if (!sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
            return std::unexpected(DnssecError::OutOfMemory);
        r.release(); // owned by sig now
        s.release();
        const int der_len = i2d_ECDSA_SIG(sig.get(), nullptr);
        if (der_len <= 0)
            return std::unexpected(DnssecError::OpenSSLError);
        std::vector<std::uint8_t> der(static_cast<std::size_t>(der_len));
        unsigned char* out = der.data();
        i2d_ECDSA_SIG(sig.get(), &out);
        return der;
    }

    DnssecResult<bool> verifyECDSA(const Curve& curve, Bytes public_key, Bytes signed_data, Bytes signature)
    {
        const EvpPkeyPtr key = TRY(ecKey(curve, public_key));
        const std::vector<std::uint8_t> der = TRY(ecdsaSignatureToDer(curve, signature));
        return verifySignature(key.get(), curve.md(), signed_data, der);
    }

    DnssecResult<bool> verifyEd25519(Bytes public_key, Bytes signed_data, Bytes signature)
    {
        if (public_key.size() != 32)
            return std::unexpected(DnssecError::InvalidPublicKey);
        if (signature.size() != 64)
            return std::unexpected(DnssecError::InvalidSignature);
        EvpPkeyPtr key(
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
        if (!key)
            return std::unexpected(DnssecError::InvalidPublicKey);
        return verifySignature(key.get(), nullptr, signed_data, signature);
    }

    DnssecResult<bool> verifyByAlgorithm(
        DnssecAlgorithm alg, Bytes public_key, Bytes signed_data, Bytes signature)
    {
        switch (alg) {
        case DnssecAlgorithm::rsasha256:
            return verifyRSA(public_key, signed_data, signature, RsaHash::sha256);
        case DnssecAlgorithm::rsasha512:
            return verifyRSA(public_key, signed_data, signature, RsaHash::sha512);
        case DnssecAlgorithm::ecdsap256sha256:
            return verifyECDSA(p256, public_key, signed_data, signature);
        case DnssecAlgorithm::ecdsap384sha384:
            return verifyECDSA(p384, public_key, signed_data, signature);
        case DnssecAlgorithm::ed25519:
            return verifyEd25519(public_key, signed_data, signature);
        default:
            return std::unexpected(DnssecError::AlgorithmNotSupported);
        }
    }

    // RFC 4034 §3.1.5 (signature_window.h).
    DnssecResult<void> checkValidityWindow(const rdata::dnssec::RRSIG& rrsig, std::int64_t now_unix)
    {
        const auto now = static_cast<std::uint32_t>(now_unix); // modulo 2^32
        if (isWindowInverted(rrsig))
            return std::unexpected(DnssecError::SignatureExpired);
        if (!serialAtOrAfter(now, rrsig.sig_inception))
            return std::unexpected(DnssecError::SignatureNotYetValid);
        if (!serialAtOrAfter(rrsig.sig_expiration, now))
            return std::unexpected(DnssecError::SignatureExpired);
        return {};
    }

    const EVP_MD* dsDigest(std::uint8_t digest_type)
    {
        switch (digest_type) {
        case static_cast<std::uint8_t>(DigestType::sha1):
            return EVP_sha1();
        case static_cast<std::uint8_t>(DigestType::sha256):
            return EVP_sha256();
        case static_cast<std::uint8_t>(DigestType::sha384):
            return EVP_sha384();
        default:
            return nullptr;
        }
    }

} // namespace

DnssecResult<std::vector<std::uint8_t>> serializeRRSIG(const rdata::dnssec::RRSIG& rrsig)
{
    try {
        std::vector<std::uint8_t> out;
        out.reserve(18 + rrsig.signer_name.len);
        appendU16(out, rrsig.type_covered);
        out.push_back(rrsig.algorithm);
        out.push_back(rrsig.labels);
        appendU32(out, rrsig.original_ttl);
        appendU32(out, rrsig.sig_expiration);
        appendU32(out, rrsig.sig_inception);
        appendU16(out, rrsig.keytag);
        const DnsName signer = canonicalName(rrsig.signer_name);
        out.insert(out.end(), signer.wireBytes().begin(), signer.wireBytes().end());
        return out;
    } catch (const std::bad_alloc&) {
        return std::unexpected(DnssecError::OutOfMemory);
    }
}

DnssecResult<std::vector<std::uint8_t>> signedData(
    const rdata::dnssec::RRSIG& rrsig, std::span<const DnsRecord> records)
{
    const CanonicalRRset rrset = TRY(CanonicalRRset::init(records));
    const std::vector<std::uint8_t> prefix = TRY(serializeRRSIG(rrsig));
    try {
        std::vector<std::uint8_t> data;
        TRY_VOID(rrsetDigest(
            prefix, rrset, [&data](Bytes piece) { data.insert(data.end(), piece.begin(), piece.end()); }));
        return data;
    } catch (const std::bad_alloc&) {
        return std::unexpected(DnssecError::OutOfMemory);
    }
}

namespace {

    // The checks that come before the signed data is built: the algorithm, then the time window.
    DnssecResult<DnssecAlgorithm> checkBeforeData(const rdata::dnssec::RRSIG& rrsig, std::int64_t now_unix)
    {
        const auto alg = static_cast<DnssecAlgorithm>(rrsig.algorithm);
        if (!isSupported(alg))
            return std::unexpected(DnssecError::AlgorithmNotSupported);
        TRY_VOID(checkValidityWindow(rrsig, now_unix));
        return alg;
    }

} // namespace

DnssecResult<bool> verifyRRSIG(const rdata::dnssec::RRSIG& rrsig, std::span<const std::uint8_t> public_key,
    std::span<const DnsRecord> records, std::int64_t now_unix)
{
    const DnssecAlgorithm alg = TRY(checkBeforeData(rrsig, now_unix));
    const std::vector<std::uint8_t> data = TRY(signedData(rrsig, records));
    return verifyByAlgorithm(alg, public_key, data, rrsig.signature);
}

DnssecResult<bool> verifySignedData(const rdata::dnssec::RRSIG& rrsig,
    std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> signed_data,
    std::int64_t now_unix)
{
    const DnssecAlgorithm alg = TRY(checkBeforeData(rrsig, now_unix));
    return verifyByAlgorithm(alg, public_key, signed_data, rrsig.signature);
}

std::optional<std::array<std::uint8_t, 32>> verificationDigest(std::span<const std::uint8_t> public_key,
    std::span<const std::uint8_t> signed_data, std::span<const std::uint8_t> signature)
{
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::array<std::uint8_t, 32> digest {};
    unsigned int length = 0;
    // The lengths first, so that no other split of the same bytes gives the same digest.
    const std::uint32_t lengths[] = { static_cast<std::uint32_t>(public_key.size()),
        static_cast<std::uint32_t>(signed_data.size()), static_cast<std::uint32_t>(signature.size()) };
    const bool hashed = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1
        && EVP_DigestUpdate(ctx.get(), lengths, sizeof lengths) == 1
        && EVP_DigestUpdate(ctx.get(), public_key.data(), public_key.size()) == 1
        && EVP_DigestUpdate(ctx.get(), signed_data.data(), signed_data.size()) == 1
        && EVP_DigestUpdate(ctx.get(), signature.data(), signature.size()) == 1
        && EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) == 1 && length == digest.size();
    if (!hashed)
        return std::nullopt;
    return digest;
}

std::vector<rdata::dnssec::DS> usableDsRecords(std::span<const rdata::dnssec::DS> ds_set)
{
    const auto sha1 = static_cast<std::uint8_t>(DigestType::sha1);
    std::vector<rdata::dnssec::DS> usable;
    for (const auto& ds : ds_set) {
        if (isSupported(static_cast<DnssecAlgorithm>(ds.algorithm))
            && ds.digest_type != static_cast<std::uint8_t>(DigestType::gost) && digestLength(ds.digest_type))
            usable.push_back(ds);
    }
    const auto has_stronger = [&](const rdata::dnssec::DS& weak) {
        return std::ranges::any_of(usable, [&](const rdata::dnssec::DS& ds) {
            return ds.keytag == weak.keytag && ds.algorithm == weak.algorithm && ds.digest_type != sha1;
        });
    };
    std::erase_if(
        usable, [&](const rdata::dnssec::DS& ds) { return ds.digest_type == sha1 && has_stronger(ds); });
    return usable;
}

bool isUsableZoneKey(const rdata::dnssec::DNSKEY& key)
{
    return (key.flags & dnskey_flag_zone) != 0 && (key.flags & dnskey_flag_revoke) == 0
        && key.protocol == dnskey_protocol;
}

std::optional<std::vector<std::uint8_t>> computeDNSKEYDigest(std::uint16_t flags, std::uint8_t protocol,
    std::uint8_t algorithm, std::span<const std::uint8_t> public_key, const DnsName& owner,
    std::uint8_t digest_type)
{
    constexpr std::size_t max_key_len = 1020;
    const EVP_MD* md = dsDigest(digest_type);
    if (md == nullptr || public_key.size() > max_key_len)
        return std::nullopt;
    const DnsName name = canonicalName(owner);
    const std::array<std::uint8_t, 4> fixed
        = { static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags), protocol, algorithm };
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1
        || EVP_DigestUpdate(ctx.get(), name.wireBytes().data(), name.len) != 1
        || EVP_DigestUpdate(ctx.get(), fixed.data(), fixed.size()) != 1
        || EVP_DigestUpdate(ctx.get(), public_key.data(), public_key.size()) != 1
        || EVP_DigestFinal_ex(ctx.get(), digest.data(), nullptr) != 1)
        return std::nullopt;
    return digest;
}

bool validateDS(const rdata::dnssec::DS& ds, const rdata::dnssec::DNSKEY& key, const DnsName& owner)
{
    if (ds.keytag != computeKeytag(key) || ds.algorithm != key.algorithm)
        return false;
    const auto expected_len = digestLength(ds.digest_type);
    if (!expected_len || ds.digest.size() != *expected_len)
        return false;
    const auto digest
        = computeDNSKEYDigest(key.flags, key.protocol, key.algorithm, key.public_key, owner, ds.digest_type);
    return digest && std::ranges::equal(*digest, ds.digest);
}

} // namespace recursor::dnssec
