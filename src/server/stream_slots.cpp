#include "server/stream_slots.h"

#include "server/access_list.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <sys/socket.h>

namespace recursor {

// One host is commonly given a whole /64 (RFC 4291 §2.5.4), so it could open connections from as many
// addresses as it likes: its share is counted for the /64.
StreamClientKey streamClientKey(const SocketAddress& peer)
{
    return clientKey(peer, 64);
}

std::size_t StreamClientKeyHash::operator()(const StreamClientKey& key) const noexcept
{
    return std::hash<std::string_view> {}(
        std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

StreamSlots::StreamSlots(std::size_t capacity, std::size_t per_client)
    : capacity_(capacity)
    , per_client_(per_client)
{
}

std::expected<StreamSlots::Id, SlotRefusal> StreamSlots::acquire(const SocketAddress& peer, int fd)
{
    const StreamClientKey client = streamClientKey(peer);
    const std::lock_guard lock(mutex_);
    const auto count = per_client_count_.find(client);
    if (count != per_client_count_.end() && count->second >= per_client_)
        return std::unexpected(SlotRefusal::ClientAtLimit);
    if (holders_.size() >= capacity_) {
        if (idle_order_.empty())
            return std::unexpected(SlotRefusal::AllBusy);
        const auto victim = holders_.find(idle_order_.front());
        // Shut down while its slot is still held, so that its descriptor cannot have been closed and
        // its number given to another socket.
        ::shutdown(victim->second.fd, SHUT_RDWR);
        dropLocked(victim);
    }
    try {
        const auto [count_of_client, fresh] = per_client_count_.try_emplace(client, 0);
        try {
            const Id id = next_id_++;
            Holder& holder = holders_.emplace(id, Holder { client, fd }).first->second;
            holder.idle_position = holder.parked.insert(holder.parked.end(), id);
        } catch (const std::bad_alloc&) {
            holders_.erase(next_id_ - 1);
            if (count_of_client->second == 0)
                per_client_count_.erase(count_of_client);
            throw;
        }
        ++count_of_client->second;
        return next_id_ - 1;
    } catch (const std::bad_alloc&) {
        return std::unexpected(SlotRefusal::OutOfMemory);
    }
}

// The holder's one list node moves between its own list and the idle order, so that no transition
// allocates.
void StreamSlots::markIdle(Id id)
{
    const std::lock_guard lock(mutex_);
    const auto holder = holders_.find(id);
    if (holder == holders_.end() || holder->second.idle)
        return;
    idle_order_.splice(idle_order_.end(), holder->second.parked, holder->second.idle_position);
    holder->second.idle = true;
}

bool StreamSlots::markBusy(Id id)
{
    const std::lock_guard lock(mutex_);
    const auto holder = holders_.find(id);
    if (holder == holders_.end())
        return false;
    if (holder->second.idle) {
        holder->second.parked.splice(holder->second.parked.end(), idle_order_, holder->second.idle_position);
        holder->second.idle = false;
    }
    return true;
}

void StreamSlots::release(Id id)
{
    const std::lock_guard lock(mutex_);
    const auto holder = holders_.find(id);
    if (holder != holders_.end())
        dropLocked(holder);
}

std::size_t StreamSlots::size() const
{
    const std::lock_guard lock(mutex_);
    return holders_.size();
}

void StreamSlots::dropLocked(std::unordered_map<Id, Holder>::iterator holder)
{
    if (holder->second.idle)
        idle_order_.erase(holder->second.idle_position);
    const auto count = per_client_count_.find(holder->second.client);
    if (count != per_client_count_.end() && --count->second == 0)
        per_client_count_.erase(count);
    holders_.erase(holder);
}

} // namespace recursor
