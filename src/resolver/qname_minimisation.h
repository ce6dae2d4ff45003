// QNAME minimisation (RFC 9156), relaxed mode: each zone's servers are asked for the NS RRset of the name
// one label below the zone, not the whole question, until a server's reply shows where the question's
// own zone is; then the question is asked whole. Pure decisions, so that they can be tested alone.
#pragma once

#include "wire/name.h"
#include "wire/record.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace recursor {

// RFC 9156 §2.3: at most this many minimised questions per name; the first few reveal one label each,
// the later ones share out the labels left so that the bound holds for names of any length.
inline constexpr std::uint8_t max_minimise_count = 10; // MAX_MINIMISE_COUNT
inline constexpr std::uint8_t minimise_one_label = 4; // MINIMISE_ONE_LAB

// Why a resolution stopped minimising a name and asked it whole, for the operator's counters.
#define RECURSOR_MINIMISATION_FALLBACKS(X)                                                                   \
    X(server_error) /* REFUSED, SERVFAIL, FORMERR, NOTIMP or another error to a minimised question */        \
    X(unusable_answer) /* data other than the NS RRset asked for (a CNAME at the minimised name) */          \
    X(label_limit) /* more labels than the §2.3 bounds reveal one at a time */

enum class MinimisationFallback : std::uint8_t {
#define RECURSOR_X(name) name,
    RECURSOR_MINIMISATION_FALLBACKS(RECURSOR_X)
#undef RECURSOR_X
};
inline constexpr std::size_t minimisation_fallback_kinds = 3;
std::string_view fallbackName(MinimisationFallback reason);

// The next name to ask on the way to `qname` when its last `known_labels` labels are known to exist (the
// zone asked, or the last minimised name found there) and `asked` minimised questions were already spent
// on it: one label more, or more once §2.3's bounds share the rest out (then `label_limit` is set). None
// when `qname` itself is due: one label is left (or none), the bounds are spent, or only the question's
// last label is left and it starts with an underscore (RFC 9156 §3 step 5: a _service label is no zone
// cut in practice, and its parent's NS question would teach nothing).
struct MinimisedStep {
    DnsName name;
    bool label_limit { false };
};
std::optional<MinimisedStep> nextMinimisedName(
    const DnsName& qname, std::size_t known_labels, std::uint8_t asked);

// What a reply to a minimised question means for the resolution.
enum class MinimisedReply : std::uint8_t {
    // A referral, an NXDOMAIN or a reply of a lame server: judged as a reply to the question itself. An
    // NXDOMAIN for an ancestor denies everything below it (RFC 8020).
    judge_as_usual,
    // The name exists in the servers' zones (an empty non-terminal, a name without NS, or a zone cut the
    // same servers serve): one label more is asked of them. Never a denial of the question.
    reveal_more,
    ask_whole_after_error, // a server error: the question is asked whole of the same server
    ask_whole_after_answer, // data that answers nothing asked: the question is asked whole
};
// `reply` to "`asked` NS" sent to the servers of `zone`.
MinimisedReply classifyMinimisedReply(const DnsMessage& reply, const DnsName& asked, const DnsName& zone);

} // namespace recursor
