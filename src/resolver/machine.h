// One resolution: the iterative loop from the starting nameservers down the delegation tree
// (RFC 1034 §5.3.3), following referrals and CNAMEs until an answer, a negative answer or a limit.
#pragma once

#include "resolver/resolution.h"

#include <cstdint>
#include <optional>

namespace recursor {

inline constexpr std::uint8_t max_resolution_depth = 20;
inline constexpr std::uint8_t max_resolution_steps = 20;

class ResolutionMachine {
public:
    // Spends `resolution`'s budget; `depth` levels below the client's question.
    ResolutionMachine(Resolution& resolution, const DnsName& qname, QType qtype, std::uint8_t depth,
        ResolutionPolicy policy);

    ResolveResultOr<ResolveResult> run();
    // The response classifier acting on this context.
    ResolveResultOr<NetworkAction> applyResponse(const QueryResult& result);
    // Whether this step's answers are validated: the policy says so, validation is on and no negative
    // trust anchor covers the name.
    bool validatesHere() const;

    const QueryContext& context() const { return ctx_; }

private:
    // One step: the servers of the current delegation, each asked alone in the order the infrastructure
    // cache ranks them, until one reply makes progress. The result when it finished the resolution.
    ResolveResultOr<std::optional<ResolveResult>> step();
    // After a step without progress: the addresses of the delegation's nameserver names that came
    // without glue become the servers to ask; once those are spent too, the unvalidated glue. Whether
    // there are any.
    ResolveResultOr<bool> resolveUnresolvedNameservers();
    // RFC 9156: the name to ask the current zone's servers for NS instead of the question, when one is due.
    std::optional<DnsName> nextMinimised();
    // Whether the reply to "`asked` NS", sent to the servers of `zone`, is judged as the question's own
    // reply; when not, the next question goes to the same servers: one label more, or (after an error
    // or an answer that did not fit, counted) the whole question.
    bool usesMinimisedReply(const DnsMessage& reply, const DnsName& asked, const DnsName& zone);
    // Keeps the DS RRset a signed referral carries for the zone it leads to (RFC 4035 §3.1.4).
    ResolveResultOr<void> keepReferralDs(const DnsMessage& referral);

    Resolution& resolution_;
    ResolutionBudget& budget_;
    QueryContext ctx_;
    // The last server the current step asked: where a zone whose servers all failed failed last.
    std::optional<SocketAddress> last_asked_;
};

} // namespace recursor
