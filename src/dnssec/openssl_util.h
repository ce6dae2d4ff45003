// libcrypto objects held by RAII, and the one signature check every DNSSEC algorithm shares.
#pragma once

#include "dnssec/dnssec_error.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <span>

namespace recursor::dnssec {

template <auto Free> struct OpenSSLDeleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using BignumPtr = std::unique_ptr<BIGNUM, OpenSSLDeleter<BN_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OpenSSLDeleter<ECDSA_SIG_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSSLDeleter<EVP_MD_CTX_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSSLDeleter<EVP_PKEY_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSSLDeleter<EVP_PKEY_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OpenSSLDeleter<OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, OpenSSLDeleter<OSSL_PARAM_free>>;

// A big-endian unsigned integer as a BIGNUM; OutOfMemory.
DnssecResult<BignumPtr> toBignum(std::span<const std::uint8_t> bytes);

// A public key of `key_type` ("RSA", "EC") from its parameters; InvalidPublicKey when libcrypto refuses
// them (an EC point off the curve among them).
DnssecResult<EvpPkeyPtr> publicKeyFromParams(const char* key_type, const OSSL_PARAM* params);

// Checks `signature` over `message`, hashed with `md` first, or as it is when `md` is null (EdDSA).
// False when the signature does not verify; OpenSSLError when libcrypto could not check.
DnssecResult<bool> verifySignature(EVP_PKEY* key, const EVP_MD* md, std::span<const std::uint8_t> message,
    std::span<const std::uint8_t> signature);

} // namespace recursor::dnssec
