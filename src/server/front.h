// The front door: what every client message gets before and after resolving. A loop answers at once
// everything it can (malformed requests, refusals, cache hits, proofs from validated denial ranges) and
// starts a fiber for each question that needs resolving; the fiber hands the thread back whenever it
// waits on the network. Identical questions in flight on a loop share one resolution; beyond a bound of
// resolutions in flight a new question is shed (counted), so cache hits never wait behind slow ones.
// With serve-stale (RFC 8767) a question whose answer expired is answered from the expired copy when its
// servers fail it or do not answer within the client response timer, while the resolution goes on to
// refresh the cache. With prefetch, a hit in the last tenth of its TTL starts one background refresh.
// The front knows no sockets: a listener hands each message in with a ReplySink to answer through.
#pragma once

#include "base/event_loop.h"
#include "base/published.h"
#include "base/socket_address.h"
#include "ops/log_budget.h"
#include "ops/metrics.h"
#include "resolver/in_flight.h"
#include "resolver/recursor.h"
#include "resolver/rpz.h"
#include "server/access_list.h"
#include "server/cookies.h"
#include "server/reply.h"
#include "server/request.h"
#include "server/server_error.h"
#include "server/server_options.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

namespace recursor {

// Where a reply goes back to its client. The listener that read the question supplies one.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual const SocketAddress& client() const = 0;
    virtual Transport transport() const = 0;
    virtual void send(std::vector<std::uint8_t> reply) = 0;
    // No reply could be built: nothing goes out, but a connection is owed nothing more either.
    virtual void abandon() = 0;
    // A copy of its own for a reply that waits on a resolution, beyond the listener's call.
    virtual std::shared_ptr<ReplySink> keep() const = 0;
};

// A question waiting for its resolution, with everything its reply needs: the request (which `ctx`
// views into; a moved vector keeps its buffer) and where the reply goes.
struct PendingQuery {
    std::vector<std::uint8_t> packet;
    QueryParseContext ctx;
    std::shared_ptr<ReplySink> sink;
    std::int64_t received_us { 0 }; // monotonic
    // A policy's local-data CNAME for the question: the target is resolved, and the client answered with
    // the CNAME and what the target resolved to.
    std::optional<RpzCnameStep> policy_cname;
};

// What the front keeps per event loop; only that loop's thread touches it, but for `resolving`, which
// resolutionsInFlight reads from any thread. The questions being resolved, with the clients that joined
// them, are in the thread's InFlight registry, beside the resolver's own lookups.
struct FrontLoop {
    EventLoop* events { nullptr }; // the loop's, which outlives this
    std::atomic<std::size_t> resolving { 0 };
    std::size_t prefetching { 0 }; // background refreshes in flight, up to Front::max_prefetches_per_loop
    // Questions answered stale whose resolution goes on: their next clients get the stale answer at
    // once rather than another resolution towards the same silent servers (RFC 8767 §5).
    std::unordered_set<CacheKey, CacheKeyContext, CacheKeyContext> refreshing_stale;
    std::unique_ptr<ClientRateLimit> rate_limit;
};

class Front {
public:
    // Clients asking the same question while it is being resolved; more are shed.
    static constexpr std::size_t max_waiters_per_question = InFlight::max_clients_per_question;
    // SERVFAIL lines in the log; the others are counted and told in the next line written.
    static constexpr std::uint32_t servfail_lines_per_second = 10;
    // RFC 8767 §5: how long a client waits before an expired answer kept for it is served stale.
    static constexpr std::int64_t client_response_timer_ms = 1800;
    // Background refreshes in flight per loop; a hit due for one beyond it is served without (its
    // entry may then expire before the next is due, and be resolved like any miss).
    static constexpr std::size_t max_prefetches_per_loop = 32;

    // Borrows all three from the server, which outlives its front.
    Front(const ServerOptions& options, Recursor& recursor, Metrics& metrics);

    // A message a listener of `loop` read at `received_us` (monotonic): answered at once through
    // `sink` where it can be, else resolved on a fiber of `loop` and answered through a copy of `sink`.
    // False when nothing will be sent: not a question, dropped, or an error.
    bool handleMessage(
        FrontLoop& loop, std::span<const std::uint8_t> packet, ReplySink& sink, std::int64_t received_us);

    // One query start to finish on the calling thread. No value means: send nothing (the datagram is not
    // a question).
    ServerResult<std::optional<std::vector<std::uint8_t>>> handleQuery(std::span<const std::uint8_t> packet);
    // The response policy zones, in order: question-name rules apply before the caches, response-IP
    // rules to the answer before it is shaped. Set at start-up and by each reload, while the loops serve:
    // a question being answered keeps the set it began with. Null means none.
    void setResponsePolicy(std::shared_ptr<const RpzSet> policy);
    std::shared_ptr<const RpzSet> responsePolicy() const { return response_policy_.current(); }

private:
    // Whether a client is served: refused questions get REFUSED, dropped ones nothing.
    enum class Admission : std::uint8_t { answer, refuse, drop };
    // What the receiver can do with a datagram without resolving.
    struct FrontAnswer {
        enum class Kind : std::uint8_t { reply, drop, resolve };
        Kind kind { Kind::drop };
        std::vector<std::uint8_t> reply;
        CacheOutcome outcome { CacheOutcome::not_applicable }; // hit for answers from the caches
        std::optional<RpzCnameStep> policy_cname; // for resolve: what is resolved is its target
        bool refresh_due { false }; // a reply from the cache whose entry is to be refreshed (prefetch)
    };
    // What the server knows of a reply as it leaves, for the metrics and the query log.
    struct ReplyNote {
        const SocketAddress& client;
        Transport transport;
        CacheOutcome outcome; // not_applicable: not an answer to a question resolved or looked up
        std::int64_t received_us;
    };

    Admission admission(FrontLoop& loop, const SocketAddress& client, ReplyChannel channel);
    // Parse, FORMERR, cache hit; `ctx` is filled for a question that needs resolving.
    ServerResult<FrontAnswer> answerFront(std::span<const std::uint8_t> packet,
        std::optional<QueryParseContext>& ctx, ReplyChannel channel, const SocketAddress& client,
        Admission admitted = Admission::answer);
    bool takeCookie(QueryParseContext& ctx, const SocketAddress& client) const;
    // NOTIMP, BADVERS or REFUSED for a question this server does not resolve.
    std::optional<std::uint16_t> refusal(const QueryParseContext& ctx) const;
    // Both apply the response-IP rules first; an empty reply is a policy drop: nothing is sent.
    ServerResult<std::vector<std::uint8_t>> replyFromCache(
        const QueryParseContext& ctx, CacheHit hit, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> replyFromResolution(
        const QueryParseContext& ctx, const ResolveOutcome& resolved, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> servFail(const QueryParseContext& ctx, const ResolveFailure& why);
    ServerResult<std::vector<std::uint8_t>> rcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
        std::optional<std::uint16_t> extended_error = std::nullopt);
    void logServFail(const QueryParseContext& ctx, const ResolveFailure& why);
    // The reply a response policy zone imposes on the question, if one matches and does not pass it.
    std::optional<ServerResult<FrontAnswer>> answerByPolicy(
        const QueryParseContext& ctx, ReplyChannel channel);
    // The reply a response-IP rule imposes on `answer` (in the resolver's form), if one matches and no
    // question-name rule did; an empty packet for a drop.
    std::optional<ServerResult<std::vector<std::uint8_t>>> replyByResponseIp(
        const QueryParseContext& ctx, std::span<const std::uint8_t> answer, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> policyReply(
        const QueryParseContext& ctx, const RpzReply& policy, ReplyChannel channel);
    // The client's reply to a policy CNAME followed to its target, which resolved to `resolved`.
    ServerResult<std::vector<std::uint8_t>> followedReply(const QueryParseContext& ctx,
        const RpzCnameStep& step, const ResolveOutcome& resolved, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> shapePolicyReply(const QueryParseContext& ctx,
        WireResult<std::vector<std::uint8_t>> packet, bool truncated,
        std::optional<std::uint16_t> extended_error, ReplyChannel channel);
    // A policy CNAME's target answered from the local zones or the cache, if either has it.
    std::optional<ResolveOutcome> answerTargetAtOnce(const QueryParseContext& ctx, const RpzCnameStep& step);
    RpzReply takePolicyHit(const QueryParseContext& ctx, const RpzMatch& match, ReplyChannel channel);
    void logPolicyHit(const QueryParseContext& ctx, const RpzMatch& match);
    class JoinedQuery;
    void startResolution(FrontLoop& loop, PendingQuery query);
    void resolveAndAnswer(FrontLoop& loop, std::shared_ptr<InFlight::Leading> leading,
        std::shared_ptr<const PendingQuery> leader);
    // Answers the leader and its joined clients with `stale` at the client response timer, unless the
    // resolution has answered them by then (`answered`).
    void armStaleTimer(FrontLoop& loop, std::shared_ptr<InFlight::Leading> leading,
        std::shared_ptr<const PendingQuery> leader, std::shared_ptr<ResolveResult> stale,
        std::shared_ptr<bool> answered);
    // A failure, but for bogus data and exhausted memory, becomes the stale answer when one is kept.
    ResolveOutcome orStale(ResolveOutcome outcome, const DnsName& qname, QType qtype);
    // Refreshes (qname, qtype) on a fiber of `loop`, registered in flight so that clients may join it.
    void startPrefetch(FrontLoop& loop, const DnsName& qname, QType qtype);
    // The reply to one client of a resolution that ended with `outcome`: a client that set CD gets bogus
    // data unchecked (RFC 4035 §3.2.2), the others SERVFAIL.
    void answerResolved(const PendingQuery& query, const ResolveOutcome& outcome);
    void queueReply(const PendingQuery& query, ServerResult<std::vector<std::uint8_t>> reply);
    void recordReply(std::span<const std::uint8_t> reply, const ReplyNote& note);
    void logQuery(std::span<const std::uint8_t> reply, const ReplyNote& note, std::int64_t elapsed_us);

    const ServerOptions& options_;
    Recursor* recursor_; // the server's; never null
    Metrics* metrics_; // the server's; never null
    LogBudget servfail_log_ { servfail_lines_per_second };
    // Never null (an empty set for none), so that no reader can find it gone between two looks. Read it
    // once per question with current().
    Published<RpzSet> response_policy_ { std::make_shared<const RpzSet>() };
    LogBudget policy_log_ { servfail_lines_per_second }; // strangers choose the names that hit
    CookieSecrets cookie_secrets_; // the configured ones, or a random secret for this run
};

} // namespace recursor
