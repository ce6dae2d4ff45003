#include "resolver/signature_cache.h"

#include <cstring>

namespace recursor {

std::size_t SignatureCache::DigestHash::operator()(const Digest& d) const
{
    std::size_t h = 0;
    std::memcpy(&h, d.data(), sizeof h);
    return h;
}

SignatureCache::SignatureCache(std::size_t capacity)
    : capacity_(capacity)
{
}

bool SignatureCache::contains(const Digest& digest, std::int64_t now_unix) const
{
    std::lock_guard lock(lock_);
    const auto it = expiry_.find(digest);
    return it != expiry_.end() && it->second >= now_unix;
}

void SignatureCache::insert(const Digest& digest, std::int64_t expires_unix)
{
    if (capacity_ == 0)
        return;
    std::lock_guard lock(lock_);
    const auto [it, inserted] = expiry_.insert_or_assign(digest, expires_unix);
    if (!inserted)
        return;
    order_.push_back(digest);
    while (expiry_.size() > capacity_) {
        expiry_.erase(order_.front());
        order_.pop_front();
    }
}

} // namespace recursor
