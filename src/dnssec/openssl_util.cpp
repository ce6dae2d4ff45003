#include "dnssec/openssl_util.h"

#include <openssl/err.h>

namespace recursor::dnssec {

DnssecResult<BignumPtr> toBignum(std::span<const std::uint8_t> bytes)
{
    BignumPtr bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    if (!bn)
        return std::unexpected(DnssecError::OutOfMemory);
    return bn;
}

DnssecResult<EvpPkeyPtr> publicKeyFromParams(const char* key_type, const OSSL_PARAM* params)
{
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, key_type, nullptr));
    if (!ctx)
        return std::unexpected(DnssecError::OpenSSLError);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1
        || EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) != 1) {
        ERR_clear_error();
        return std::unexpected(DnssecError::InvalidPublicKey);
    }
    return EvpPkeyPtr(key);
}

DnssecResult<bool> verifySignature(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> message,
    std::span<const std::uint8_t> signature)
{
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx)
        return std::unexpected(DnssecError::OutOfMemory);
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1) {
        ERR_clear_error();
        return std::unexpected(DnssecError::OpenSSLError);
    }
    const int rc
        = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size());
    if (rc == 1)
        return true;
    // A failed check leaves its reasons queued on this thread; they belong to no later call.
    ERR_clear_error();
    if (rc < 0)
        return std::unexpected(DnssecError::OpenSSLError);
    return false;
}

} // namespace recursor::dnssec
