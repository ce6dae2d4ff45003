// Fitting a finished response into the client's UDP payload limit (RFC 1035 §4.2.1, RFC 6891 §6.2.5).
#pragma once

#include "server/edns.h"
#include "server/server_error.h"

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

// Re-encodes the leading records that fit in `limit` bytes, keeps the OPT record if it still fits, sets TC.
WireResult<std::vector<std::uint8_t>> truncateUdpResponse(
    std::span<const std::uint8_t> response, std::size_t limit, const DnsName& request_qname = {});

// The same re-encoding with only the records `keep` accepts (all when empty); TC only when `set_tc`.
WireResult<std::vector<std::uint8_t>> rewriteResponse(std::span<const std::uint8_t> response,
    std::size_t limit, const std::function<bool(const DnsRecord&)>& keep, bool set_tc,
    const DnsName& request_qname = {});

// Owner name + fixed fields + RDATA, without compression.
std::size_t encodedRecordSize(const DnsRecord& rec);

} // namespace recursor
