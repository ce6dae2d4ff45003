#include "dnssec/rsa.h"

#include "dnssec/openssl_util.h"

#include <openssl/core_names.h>

#include <bit>

namespace recursor::dnssec {

namespace {

    std::span<const std::uint8_t> withoutLeadingZeros(std::span<const std::uint8_t> number)
    {
        std::size_t zeros = 0;
        while (zeros < number.size() && number[zeros] == 0)
            ++zeros;
        return number.subspan(zeros);
    }

    DnssecResult<EvpPkeyPtr> rsaKey(const RsaPublicKey& parts)
    {
        const BignumPtr n = TRY(toBignum(parts.modulus));
        const BignumPtr e = TRY(toBignum(parts.exponent));
        ParamBldPtr builder(OSSL_PARAM_BLD_new());
        if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1
            || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
            return std::unexpected(DnssecError::OutOfMemory);
        ParamsPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
        if (!params)
            return std::unexpected(DnssecError::OutOfMemory);
        return publicKeyFromParams("RSA", params.get());
    }

} // namespace

DnssecResult<RsaPublicKey> parseDNSSECPublicKey(std::span<const std::uint8_t> public_key)
{
    if (public_key.size() < 3)
        return std::unexpected(DnssecError::InvalidPublicKey);
    std::size_t exponent_len = public_key[0];
    std::size_t exponent_start = 1;
    if (exponent_len == 0) {
        exponent_len = (static_cast<std::size_t>(public_key[1]) << 8) | public_key[2];
        exponent_start = 3;
    }
    if (exponent_start + exponent_len >= public_key.size())
        return std::unexpected(DnssecError::InvalidPublicKey);
    return RsaPublicKey { public_key.subspan(exponent_start, exponent_len),
        public_key.subspan(exponent_start + exponent_len) };
}

DnssecResult<void> checkRsaKeySize(const RsaPublicKey& key)
{
    const auto exponent = withoutLeadingZeros(key.exponent);
    const auto modulus = withoutLeadingZeros(key.modulus);
    if (exponent.size() > max_rsa_exponent_bytes)
        return std::unexpected(DnssecError::KeyTooLarge);
    if (modulus.size() > (max_rsa_modulus_bits + 7) / 8)
        return std::unexpected(DnssecError::KeyTooLarge);
    const std::size_t modulus_bits = modulus.empty()
        ? 0
        : (modulus.size() - 1) * 8 + static_cast<std::size_t>(std::bit_width(modulus[0]));
    if (modulus_bits > max_rsa_modulus_bits)
        return std::unexpected(DnssecError::KeyTooLarge);
    return {};
}

DnssecResult<bool> verifyRSA(std::span<const std::uint8_t> public_key,
    std::span<const std::uint8_t> signed_data, std::span<const std::uint8_t> signature, RsaHash hash)
{
    const RsaPublicKey parts = TRY(parseDNSSECPublicKey(public_key));
    TRY_VOID(checkRsaKeySize(parts));
    const EvpPkeyPtr key = TRY(rsaKey(parts));
    return verifySignature(
        key.get(), hash == RsaHash::sha256 ? EVP_sha256() : EVP_sha512(), signed_data, signature);
}

} // namespace recursor::dnssec
