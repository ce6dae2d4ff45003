#include "server/front.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/thread.h"
#include "wire/reader.h"
#include "wire/type_names.h"

#include <algorithm>
#include <cstdio>

namespace recursor {

namespace {

    void recordDnssecOutcome(Metrics& metrics, bool validated, bool has_dnssec_records)
    {
        if (validated || has_dnssec_records) {
            metrics.recordDnssecValidation(
                validated ? DnssecValidationResult::secure : DnssecValidationResult::insecure);
        }
    }

    constexpr std::uint16_t extended_error_prohibited = 18; // RFC 8914 §4.19

    bool checkingDisabled(const QueryParseContext& ctx)
    {
        return ctx.msg.header.cd();
    }

    // A validated resolution; skipped for a client that set CD when the question is known bogus, since
    // it takes the data unchecked anyway (RFC 4035 §3.2.2).
    ResolveOutcome resolveChecked(
        Recursor& recursor, const UpstreamSettings& upstream, const QueryParseContext& ctx)
    {
        if (checkingDisabled(ctx) && recursor.knownBogus(ctx.qname, ctx.qtype))
            return std::unexpected(ResolveFailure(ResolveError::DnssecBogus));
        return recursor.resolveFromNetwork(upstream, ctx.qname, ctx.qtype);
    }

    // What a pending question resolves: its name, or the target of its policy CNAME.
    ResolveOutcome resolvePending(
        Recursor& recursor, const UpstreamSettings& upstream, const PendingQuery& query)
    {
        if (query.policy_cname)
            return recursor.resolveFromNetwork(upstream, query.policy_cname->target, query.ctx.qtype);
        return resolveChecked(recursor, upstream, query.ctx);
    }

    // Whether the client gets the data unchecked instead of SERVFAIL (RFC 4035 §3.2.2).
    bool wantsUnchecked(const ResolveOutcome& outcome, const QueryParseContext& ctx)
    {
        return !outcome && isBogus(outcome.error().kind) && checkingDisabled(ctx);
    }

    // Client questions share a resolution only with one another: a lookup the resolver makes for another
    // question spends that question's budget, at its depth.
    constexpr ResolutionPolicy client_policy {};

    ReplyChannel channelOf(const ReplySink& sink)
    {
        return sink.transport() == Transport::udp ? ReplyChannel::datagram : ReplyChannel::stream;
    }

    ReplyChannel channelOf(const PendingQuery& query)
    {
        return channelOf(*query.sink);
    }

} // namespace

Front::Front(const ServerOptions& options, Recursor& recursor, Metrics& metrics)
    : options_(options)
    , recursor_(&recursor)
    , metrics_(&metrics)
    , cookie_secrets_(options.cookie_secrets ? *options.cookie_secrets : CookieSecrets::random())
{
}

bool Front::handleMessage(
    FrontLoop& loop, std::span<const std::uint8_t> packet, ReplySink& sink, std::int64_t received_us)
{
    const ReplyChannel channel = channelOf(sink);
    std::optional<QueryParseContext> ctx;
    auto front = answerFront(packet, ctx, channel, sink.client(), admission(loop, sink.client(), channel));
    if (!front) {
        logWarningWithError("recursor query error: ", front.error());
        return false;
    }
    switch (front->kind) {
    case FrontAnswer::Kind::drop:
        return false;
    case FrontAnswer::Kind::reply:
        if (front->reply.empty()) // dropped by policy: the client, over a connection too, gets nothing
            return false;
        recordReply(front->reply, { sink.client(), sink.transport(), front->outcome, received_us });
        sink.send(std::move(front->reply));
        if (front->refresh_due && ctx)
            startPrefetch(loop, ctx->qname, ctx->qtype);
        return true;
    case FrontAnswer::Kind::resolve:
        break;
    }
    // A question that waits needs a packet of its own; its context is parsed again to view into it.
    PendingQuery query { { packet.begin(), packet.end() }, {}, sink.keep(), received_us,
        front->policy_cname };
    auto own = parseRequest(query.packet);
    if (!own)
        return false;
    query.ctx = std::move(*own);
    query.ctx.reply_cookie = ctx ? ctx->reply_cookie : std::nullopt;
    startResolution(loop, std::move(query));
    return true;
}

void Front::recordReply(std::span<const std::uint8_t> reply, const ReplyNote& note)
{
    const std::int64_t elapsed_us = std::max<std::int64_t>(0, monotonicUs() - note.received_us);
    if (note.outcome != CacheOutcome::not_applicable)
        metrics_->recordAnswerTime(note.outcome, static_cast<std::uint64_t>(elapsed_us));
    if (reply.size() < Header::size)
        return;
    metrics_->recordAnswer(note.transport, static_cast<std::uint16_t>(Header::fromSlice(reply).rcode()));
    if (options_.log_queries)
        logQuery(reply, note, elapsed_us);
}

// One line per reply: "query <client> <name> <type> <transport> <rcode> <cache|miss|-> <ms> ms". The
// question is read back from the reply, which echoes it (a FORMERR may have none: "-").
void Front::logQuery(std::span<const std::uint8_t> reply, const ReplyNote& note, std::int64_t elapsed_us)
{
    const Header header = Header::fromSlice(reply);
    std::string question = "- -";
    if (header.qdCount() != 0) {
        PacketReader reader(reply);
        auto name = reader.readName();
        auto type = reader.readU16();
        if (name && type)
            question = name->toText() + " " + typeName(static_cast<QType>(*type));
    }
    const std::string_view cache = note.outcome == CacheOutcome::hit ? "hit"
        : note.outcome == CacheOutcome::miss                         ? "miss"
                                                                     : "-";
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.3f ms", static_cast<double>(elapsed_us) / 1000.0);
    logInfo("query " + note.client.toString() + " " + question + " "
        + std::string(transportName(note.transport)) + " "
        + rcodeName(static_cast<std::uint16_t>(header.rcode())) + " " + std::string(cache) + " " + elapsed);
}

// Beyond its rate a client's datagrams are dropped (a reply would serve a reflection attack with a
// spoofed source), while a connection, whose source is real, is told REFUSED. The rate counts refused
// clients too: a REFUSED reply to a spoofed source reflects as well as an answer does. Outside the
// access list a question is refused without any work on its behalf.
Front::Admission Front::admission(FrontLoop& loop, const SocketAddress& client, ReplyChannel channel)
{
    if (loop.rate_limit && !loop.rate_limit->admit(client, monotonicSeconds())) {
        metrics_->recordRateLimited();
        return channel == ReplyChannel::datagram ? Admission::drop : Admission::refuse;
    }
    if (!options_.allowed_clients.allows(client))
        return Admission::refuse;
    return Admission::answer;
}

ServerResult<Front::FrontAnswer> Front::answerFront(std::span<const std::uint8_t> packet,
    std::optional<QueryParseContext>& ctx, ReplyChannel channel, const SocketAddress& client,
    Admission admitted)
{
    if (admitted == Admission::drop)
        return FrontAnswer {};
    // A message with QR set is a response, not a question. Answering it would let one spoofed packet
    // set two resolvers (or one resolver and itself) answering each other forever.
    if (packet.size() >= Header::size && Header::fromSlice(packet).qr())
        return FrontAnswer {};

    auto formErr = [&]() -> ServerResult<FrontAnswer> {
        metrics_->recordQuery(RCode::form_err, CacheOutcome::not_applicable);
        auto reply = buildFormErrReply(packet, options_.edns_buffer_size);
        if (!reply)
            return std::unexpected(replyBuildError(reply.error()));
        return FrontAnswer { FrontAnswer::Kind::reply, std::move(*reply) };
    };

    auto parsed = parseRequest(packet);
    if (!parsed) {
        if (parsed.error() == WireError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        return admitted == Admission::answer ? formErr() : FrontAnswer {};
    }
    if (!parsed->valid_question)
        return admitted == Admission::answer ? formErr() : FrontAnswer {};
    const bool cookie_verified = takeCookie(*parsed, client);
    if (admitted == Admission::refuse) {
        metrics_->recordQuery(RCode::refused, CacheOutcome::not_applicable);
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(rcodeReply(*parsed, static_cast<std::uint16_t>(RCode::refused), extended_error_prohibited)) };
    }
    if (const auto rcode = refusal(*parsed)) {
        metrics_->recordQuery(*rcode == rcode_badvers ? RCode::form_err : static_cast<RCode>(*rcode),
            CacheOutcome::not_applicable);
        return FrontAnswer { FrontAnswer::Kind::reply, TRY(rcodeReply(*parsed, *rcode)) };
    }
    // RFC 7873 §5.2.3: a datagram from a source that has not proved it receives there gets no work, only
    // the cookie to prove it with. A connection has proved it already.
    if (options_.cookie_require && channel == ReplyChannel::datagram && parsed->cookie && !cookie_verified) {
        metrics_->recordBadCookie();
        return FrontAnswer { FrontAnswer::Kind::reply, TRY(rcodeReply(*parsed, rcode_badcookie)) };
    }
    if (auto by_policy = answerByPolicy(*parsed, channel)) {
        if (*by_policy && (*by_policy)->kind == FrontAnswer::Kind::resolve)
            ctx = std::move(*parsed);
        return std::move(*by_policy);
    }
    // Local zones come before the cache and the network, and are served like a cache hit.
    auto local = recursor_->answerLocally(parsed->qname, parsed->qtype);
    if (!local && local.error() == ResolveError::OutOfMemory)
        return std::unexpected(ServerError::OutOfMemory);
    if (!local || *local)
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(replyFromResolution(*parsed,
                local ? ResolveOutcome(std::move(**local))
                      : ResolveOutcome(std::unexpected(ResolveFailure { local.error() })),
                channel)),
            CacheOutcome::hit };
    auto hit = recursor_->cache().getAnswerCopy(parsed->qname, parsed->qtype);
    if (!hit)
        return std::unexpected(ServerError::OutOfMemory);
    if (*hit && !((*hit)->meta.bogus && checkingDisabled(*parsed))) {
        const bool refresh_due = (*hit)->refresh_due && options_.prefetch;
        FrontAnswer answer { FrontAnswer::Kind::reply,
            TRY(replyFromCache(*parsed, std::move(**hit), channel)), CacheOutcome::hit, std::nullopt,
            refresh_due };
        if (refresh_due) // the question names what to refresh once the reply is out
            ctx = std::move(*parsed);
        return answer;
    }
    if (*hit) { // bogus, and this client takes the data unchecked: kept apart, or resolved apart
        auto kept = recursor_->keptUncheckedAnswer(parsed->qname, parsed->qtype);
        if (!kept)
            return std::unexpected(ServerError::OutOfMemory);
        if (*kept)
            return FrontAnswer { FrontAnswer::Kind::reply,
                TRY(replyFromResolution(*parsed, std::move(**kept), channel)), CacheOutcome::hit };
        ctx = std::move(*parsed);
        return FrontAnswer { FrontAnswer::Kind::resolve, {} };
    }
    auto proven = recursor_->answerFromValidatedRanges(parsed->qname, parsed->qtype);
    if (!proven)
        return std::unexpected(ServerError::OutOfMemory);
    if (*proven)
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(replyFromResolution(*parsed, std::move(**proven), channel)), CacheOutcome::hit };
    ctx = std::move(*parsed);
    return FrontAnswer { FrontAnswer::Kind::resolve, {} };
}

namespace {

    // What a question for a meta-type gets (RFC 6895 §3.1), or nothing for a type that is looked up.
    // TYPE0, OPT, TKEY, TSIG and the unassigned meta codes name nothing one can ask for: FORMERR. A
    // resolver transfers no zones, so AXFR and IXFR are refused as a policy, not as something unknown.
    // MAILA and MAILB (RFC 1035 §3.2.3) are obsolete and not implemented. ANY is resolved.
    std::optional<RCode> metaTypeRefusal(QType qtype)
    {
        if (!isMetaType(qtype) || qtype == QType::any)
            return std::nullopt;
        switch (qtype) {
        case QType::axfr:
        case QType::ixfr:
            return RCode::refused;
        case QType::maila:
        case QType::mailb:
            return RCode::not_imp;
        default: // an open 16-bit code: every other meta value
            return RCode::form_err;
        }
    }

} // namespace

// A client cookie gets a fresh server cookie beside it in every reply (RFC 7873 §5.2.3, §5.2.4); true
// when the server cookie it sent is one of ours for its address, still valid.
bool Front::takeCookie(QueryParseContext& ctx, const SocketAddress& client) const
{
    if (!ctx.cookie)
        return false;
    const auto ip = CookieClientIp::of(client);
    const auto now = static_cast<std::uint32_t>(wallClockSeconds());
    ctx.reply_cookie = cookie_secrets_.reply(ctx.cookie->client, ip, now);
    return cookie_secrets_.verifies(*ctx.cookie, ip, now);
}

// Only standard queries are resolved (RFC 1035 §4.1.1; NOTIFY and UPDATE are for authoritative
// servers), only EDNS version 0 is spoken (RFC 6891 §6.1.3), and only the Internet class is looked up:
// a CH question resolved as IN would answer something nobody asked. Meta-type questions never go
// upstream.
std::optional<std::uint16_t> Front::refusal(const QueryParseContext& ctx) const
{
    if (ctx.msg.header.opcode() != 0)
        return static_cast<std::uint16_t>(RCode::not_imp);
    if (ctx.edns_info && ctx.edns_info->version != 0)
        return rcode_badvers;
    if (const auto rcode = metaTypeRefusal(ctx.qtype))
        return static_cast<std::uint16_t>(*rcode);
    if (ctx.qclass != QClass::in)
        return static_cast<std::uint16_t>(RCode::refused);
    return std::nullopt;
}

ServerResult<std::vector<std::uint8_t>> Front::replyFromCache(
    const QueryParseContext& ctx, CacheHit hit, ReplyChannel channel)
{
    if (hit.meta.bogus) {
        metrics_->recordDnssecValidation(DnssecValidationResult::bogus);
        return servFail(ctx, hit.meta.bogus_reason);
    }
    if (auto by_policy = replyByResponseIp(ctx, hit.packet, channel))
        return std::move(*by_policy);
    metrics_->recordQuery(hit.meta.rcode, CacheOutcome::hit);
    recordDnssecOutcome(*metrics_, hit.meta.validated, hit.meta.has_dnssec_records);
    return shapeReply(
        std::move(hit.packet), ctx, hit.meta.has_dnssec_records, channel, options_.edns_buffer_size);
}

ServerResult<std::vector<std::uint8_t>> Front::rcodeReply(
    const QueryParseContext& ctx, std::uint16_t rcode, std::optional<std::uint16_t> extended_error)
{
    auto reply = buildRcodeReply(ctx, rcode, options_.edns_buffer_size, extended_error);
    if (!reply)
        return std::unexpected(replyBuildError(reply.error()));
    if (extended_error && ctx.edns_info)
        metrics_->recordExtendedError(*extended_error);
    return std::move(*reply);
}

ServerResult<std::vector<std::uint8_t>> Front::servFail(
    const QueryParseContext& ctx, const ResolveFailure& why)
{
    metrics_->recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
    logServFail(ctx, why);
    return rcodeReply(ctx, static_cast<std::uint16_t>(RCode::serv_fail), why.ede);
}

// Each with its reason, so the operator can tell a dead zone from a forged one; at most
// servfail_lines_per_second lines, since strangers choose the names that fail.
void Front::logServFail(const QueryParseContext& ctx, const ResolveFailure& why)
{
    const auto suppressed = servfail_log_.take(monotonicSeconds());
    if (!suppressed)
        return;
    std::string line
        = "SERVFAIL for " + ctx.qname.toText() + " " + typeName(ctx.qtype) + ": " + describe(why);
    if (*suppressed != 0)
        line += " (" + std::to_string(*suppressed) + " more SERVFAIL lines held back)";
    logInfo(line);
}

void Front::setResponsePolicy(std::shared_ptr<const RpzSet> policy)
{
    std::vector<std::string> names;
    if (policy)
        for (const auto& zone : policy->policies())
            names.push_back(zone->zone().toText());
    metrics_->setPolicyZoneNames(std::move(names));
    response_policy_.replace(policy ? std::move(policy) : std::make_shared<const RpzSet>());
}

// Question-name rules apply before the caches: a blocked name is not answered from them either.
std::optional<ServerResult<Front::FrontAnswer>> Front::answerByPolicy(
    const QueryParseContext& ctx, ReplyChannel channel)
{
    auto match = response_policy_.current()->matchQname(ctx.qname);
    if (!match)
        return std::nullopt;
    const RpzReply policy = takePolicyHit(ctx, *match, channel);
    switch (policy.kind) {
    case RpzReply::Kind::answer_normally:
        return std::nullopt;
    case RpzReply::Kind::drop:
        return FrontAnswer {};
    case RpzReply::Kind::truncate:
    case RpzReply::Kind::rewrite: {
        if (auto step = rpzCnameStep(policy, ctx.qtype)) {
            auto at_once = answerTargetAtOnce(ctx, *step);
            if (!at_once) // resolved on a fiber, like any question
                return FrontAnswer { FrontAnswer::Kind::resolve, {}, CacheOutcome::not_applicable, *step };
            auto reply = followedReply(ctx, *step, *at_once, channel);
            if (!reply)
                return std::unexpected(reply.error());
            return FrontAnswer { FrontAnswer::Kind::reply, std::move(*reply), CacheOutcome::hit };
        }
        auto reply = policyReply(ctx, policy, channel);
        if (!reply)
            return std::unexpected(reply.error());
        return FrontAnswer { FrontAnswer::Kind::reply, std::move(*reply) };
    }
    }
    return std::nullopt;
}

ServerResult<std::vector<std::uint8_t>> Front::policyReply(
    const QueryParseContext& ctx, const RpzReply& policy, ReplyChannel channel)
{
    return shapePolicyReply(ctx, rpzRewritePacket(ctx.qname, ctx.qtype, policy),
        policy.kind == RpzReply::Kind::truncate, policy.extended_error, channel);
}

// The reply a policy imposes, as the client gets it: its ID, RD and CD echoed, EDNS when it spoke EDNS,
// with the extended error. Over UDP tcp-only sends the client to TCP with an empty, truncated reply.
ServerResult<std::vector<std::uint8_t>> Front::shapePolicyReply(const QueryParseContext& ctx,
    WireResult<std::vector<std::uint8_t>> packet, bool truncated, std::optional<std::uint16_t> extended_error,
    ReplyChannel channel)
{
    if (!packet)
        return std::unexpected(replyBuildError(packet.error()));
    const RCode rcode = Header::fromSlice(*packet).rcode();
    auto reply = ReplyBuilder::fromMessage(std::move(*packet));
    if (!reply)
        return std::unexpected(replyBuildError(reply.error()));
    reply->setId(ctx.query_id).setRd(ctx.msg.header.rd()).setCd(ctx.msg.header.cd());
    if (truncated)
        reply->setTc(true);
    if (ctx.edns_info) {
        reply->setOpt(options_.edns_buffer_size, false);
        if (extended_error) {
            reply->setExtendedError(*extended_error);
            metrics_->recordExtendedError(*extended_error);
        }
        if (ctx.reply_cookie)
            reply->setCookie(*ctx.reply_cookie);
    }
    auto finished = std::move(*reply).finish(replyLimit(ctx, channel, options_.edns_buffer_size));
    if (!finished)
        return std::unexpected(replyBuildError(finished.error()));
    metrics_->recordQuery(rcode, CacheOutcome::not_applicable);
    return std::move(*finished);
}

std::optional<ResolveOutcome> Front::answerTargetAtOnce(
    const QueryParseContext& ctx, const RpzCnameStep& step)
{
    auto local = recursor_->answerLocally(step.target, ctx.qtype);
    if (!local)
        return ResolveOutcome(std::unexpected(ResolveFailure { local.error() }));
    if (*local)
        return ResolveOutcome(std::move(**local));
    auto hit = recursor_->cache().getAnswerCopy(step.target, ctx.qtype);
    if (!hit)
        return ResolveOutcome(std::unexpected(ResolveFailure { hit.error() }));
    if (!*hit || (*hit)->meta.bogus)
        return std::nullopt;
    ResolveResult cached;
    cached.packet = std::move((*hit)->packet);
    cached.rcode = (*hit)->meta.rcode;
    cached.from_cache = true;
    return ResolveOutcome(std::move(cached));
}

// A failed target fails the question as it would have failed it: SERVFAIL with its reason.
ServerResult<std::vector<std::uint8_t>> Front::followedReply(const QueryParseContext& ctx,
    const RpzCnameStep& step, const ResolveOutcome& resolved, ReplyChannel channel)
{
    if (!resolved) {
        if (resolved.error().kind == ResolveError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        return servFail(ctx, resolved.error());
    }
    return shapePolicyReply(ctx, rpzFollowedPacket(ctx.qname, ctx.qtype, step, resolved->packet), false,
        RpzReply::ede_filtered, channel);
}

// Response-IP rules judge the addresses of the answer, cached or fresh, before it is shaped for the
// client. They apply only when no question-name rule matched: that one came first and decided, even a
// passthru or a tcp-only answered over TCP. Without any response-IP rule the answer is not parsed.
std::optional<ServerResult<std::vector<std::uint8_t>>> Front::replyByResponseIp(
    const QueryParseContext& ctx, std::span<const std::uint8_t> answer, ReplyChannel channel)
{
    // Used before this function returns, which no fiber switch interrupts: the thread's kept set lives.
    const RpzSet& policy_set = *response_policy_.current();
    if (!policy_set.hasResponseIpRules())
        return std::nullopt;
    auto message = DnsMessage::parse(answer);
    if (!message)
        return std::nullopt; // our own packet; nothing to judge in one we cannot read
    auto match = policy_set.matchResponse(message->records);
    if (!match || policy_set.matchQname(ctx.qname))
        return std::nullopt;
    const RpzReply policy = takePolicyHit(ctx, *match, channel);
    switch (policy.kind) {
    case RpzReply::Kind::answer_normally:
        return std::nullopt;
    case RpzReply::Kind::drop:
        return std::vector<std::uint8_t> {};
    case RpzReply::Kind::truncate:
    case RpzReply::Kind::rewrite:
        return policyReply(ctx, policy, channel);
    }
    return std::nullopt;
}

// Every hit is counted and logged, whatever it does to the reply.
RpzReply Front::takePolicyHit(const QueryParseContext& ctx, const RpzMatch& match, ReplyChannel channel)
{
    metrics_->recordPolicyHit(match.zone_index);
    logPolicyHit(ctx, match);
    return rpzReply(match, ctx.qtype, channel == ReplyChannel::datagram);
}

// At most servfail_lines_per_second lines, like the SERVFAIL lines: strangers choose the names that hit.
void Front::logPolicyHit(const QueryParseContext& ctx, const RpzMatch& match)
{
    const auto suppressed = policy_log_.take(monotonicSeconds());
    if (!suppressed)
        return;
    std::string line = "policy " + match.zone->toText() + " " + std::string(rpzActionName(match.action))
        + " for " + ctx.qname.toText() + " " + typeName(ctx.qtype);
    if (match.trigger == RpzTrigger::response_ip)
        line += " (response IP)";
    if (*suppressed != 0)
        line += " (" + std::to_string(*suppressed) + " more policy lines held back)";
    logInfo(line);
}

ServerResult<std::vector<std::uint8_t>> Front::replyFromResolution(
    const QueryParseContext& ctx, const ResolveOutcome& resolved, ReplyChannel channel)
{
    if (!resolved) {
        if (resolved.error().kind == ResolveError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        if (isBogus(resolved.error().kind))
            metrics_->recordDnssecValidation(DnssecValidationResult::bogus);
        return servFail(ctx, resolved.error());
    }
    if (auto by_policy = replyByResponseIp(ctx, resolved->packet, channel))
        return std::move(*by_policy);
    metrics_->recordQuery(resolved->rcode, resolved->from_cache ? CacheOutcome::hit : CacheOutcome::miss);
    recordDnssecOutcome(*metrics_, resolved->validated, resolved->has_dnssec_records);
    std::vector<std::uint8_t> packet;
    try {
        packet = resolved->packet;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ServerError::OutOfMemory);
    }
    if (const auto ede = resolved->extended_error) {
        if (*ede == extended_error_stale_answer || *ede == extended_error_stale_nxdomain)
            metrics_->recordStaleAnswer();
        if (ctx.edns_info)
            metrics_->recordExtendedError(*ede);
    }
    return shapeReply(std::move(packet), ctx, resolved->has_dnssec_records, channel,
        options_.edns_buffer_size, resolved->extended_error);
}

ServerResult<std::optional<std::vector<std::uint8_t>>> Front::handleQuery(
    std::span<const std::uint8_t> packet)
{
    std::optional<QueryParseContext> ctx;
    FrontAnswer front = TRY(answerFront(packet, ctx, ReplyChannel::datagram, SocketAddress {}));
    switch (front.kind) {
    case FrontAnswer::Kind::drop:
        return std::nullopt;
    case FrontAnswer::Kind::reply:
        if (front.reply.empty()) // dropped by policy
            return std::nullopt;
        return std::move(front.reply);
    case FrontAnswer::Kind::resolve:
        break;
    }
    if (front.policy_cname)
        return TRY(followedReply(*ctx, *front.policy_cname,
            recursor_->resolveFromNetwork(options_.upstream, front.policy_cname->target, ctx->qtype),
            ReplyChannel::datagram));
    auto resolved = resolveChecked(*recursor_, options_.upstream, *ctx);
    if (wantsUnchecked(resolved, *ctx))
        resolved = recursor_->resolveUnchecked(options_.upstream, ctx->qname, ctx->qtype);
    resolved = orStale(std::move(resolved), ctx->qname, ctx->qtype);
    auto reply = TRY(replyFromResolution(*ctx, resolved, ReplyChannel::datagram));
    if (reply.empty()) // dropped by policy
        return std::nullopt;
    return reply;
}

// A new question starts a resolution on a fiber of this loop; one already in flight is joined.
// A client that asked a question while the same was being resolved on its loop. It owns itself from the
// moment it joins until the resolution's outcome is delivered, on the leader's fiber.
class Front::JoinedQuery final : public ClientWaiter {
public:
    JoinedQuery(Front& front, PendingQuery query)
        : front_(front)
        , query_(std::move(query))
    {
    }

    PendingQuery& query() { return query_; }

    void deliver(const ResolveOutcome& outcome) override
    {
        std::unique_ptr<JoinedQuery> self(this);
        runGuarded("recursor query error", [&] { front_.answerResolved(query_, outcome); });
    }

private:
    Front& front_;
    PendingQuery query_;
};

void Front::startResolution(FrontLoop& loop, PendingQuery query)
{
    InFlight& in_flight = InFlight::ofThisThread();
    const CacheKey key(query.ctx.qtype, query.ctx.qname);
    if (!query.policy_cname && loop.refreshing_stale.contains(key)) {
        auto stale = recursor_->staleAnswer(query.ctx.qname, query.ctx.qtype);
        if (stale && *stale)
            return queueReply(
                query, replyFromResolution(query.ctx, ResolveOutcome(std::move(**stale)), channelOf(query)));
    }
    if (auto joined = in_flight.find(this, key, client_policy)) {
        if (joined->clients() < max_waiters_per_question) {
            auto waiter = std::make_unique<JoinedQuery>(*this, std::move(query));
            if (joined->addClient(*waiter)) {
                static_cast<void>(waiter.release()); // delivered once, when the resolution ends
                return;
            }
            query = std::move(waiter->query());
        }
    } else if (loop.resolving.load() < options_.resolution_capacity) {
        // Registered before its fiber runs, so that the same question arriving meanwhile joins it. Only
        // clients join it, and a client waits on no fiber, so it needs no leader to guard against cycles.
        if (auto lead = in_flight.lead(this, key, client_policy, nullptr)) {
            // The fiber's own copy: the views of a moved packet stay valid, those of a copied one would not.
            auto leader = std::make_shared<PendingQuery>(std::move(query));
            auto leading = std::make_shared<InFlight::Leading>(std::move(*lead));
            ++loop.resolving;
            // Detached: a question from a connection outlives the connection's fiber that read it.
            if (loop.events->spawnDetached([this, &loop, leader, leading] {
                    runGuarded("recursor query error", [&] { resolveAndAnswer(loop, leading, leader); });
                }))
                return;
            --loop.resolving;
            query = std::move(*leader);
        }
    }
    metrics_->recordShed();
    if (channelOf(query) == ReplyChannel::stream) // a connection waits for every answer it is owed
        queueReply(query, servFail(query.ctx, ResolveError::BudgetExhausted));
}

// Resolves one question and answers it, and every client that asked the same meanwhile, each with its
// own ID, RD bit, EDNS size and spelling of the name. However it ends, the registry lets the question go
// and every client that joined is answered (SERVFAIL when there was no outcome).
void Front::resolveAndAnswer(
    FrontLoop& loop, std::shared_ptr<InFlight::Leading> leading, std::shared_ptr<const PendingQuery> leader)
{
    const QueryParseContext& ctx = leader->ctx;
    // Whether the clients have their reply: the stale timer and the resolution race to give it.
    auto answered = std::make_shared<bool>(false);
    if (!leader->policy_cname && recursor_->servesStale()) {
        auto stale = recursor_->staleAnswer(ctx.qname, ctx.qtype);
        if (stale && *stale)
            armStaleTimer(
                loop, leading, leader, std::make_shared<ResolveResult>(std::move(**stale)), answered);
    }
    std::optional<ResolveOutcome> resolved;
    {
        struct Settled {
            ~Settled() { --loop.resolving; }
            FrontLoop& loop;
        } settled { loop };
        resolved.emplace(resolvePending(*recursor_, options_.upstream, *leader));
    }
    if (*answered) { // served stale meanwhile; the resolution has refreshed the cache if it could
        loop.refreshing_stale.erase(CacheKey(ctx.qtype, ctx.qname));
        return;
    }
    *answered = true;
    if (!leader->policy_cname)
        resolved = orStale(std::move(*resolved), ctx.qname, ctx.qtype);
    answerResolved(*leader, *resolved);
    leading->finish(*resolved);
}

void Front::armStaleTimer(FrontLoop& loop, std::shared_ptr<InFlight::Leading> leading,
    std::shared_ptr<const PendingQuery> leader, std::shared_ptr<ResolveResult> stale,
    std::shared_ptr<bool> answered)
{
    // One waiting fiber per question with a stale answer, at most resolution_capacity of them per loop.
    static_cast<void>(loop.events->spawnDetached([this, &loop, leading, leader, stale, answered] {
        const std::int64_t waited_ms = (monotonicUs() - leader->received_us) / 1000;
        const std::int64_t wait_ms = std::max<std::int64_t>(1, client_response_timer_ms - waited_ms);
        if (loop.events->waitInFiber({}, static_cast<int>(wait_ms)) != 0 || *answered)
            return; // stopping, or answered by the resolution
        *answered = true;
        // Marked before any reply goes out, so that the resolution, however soon it ends, unmarks it.
        runGuarded("recursor query error",
            [&] { loop.refreshing_stale.insert(CacheKey(leader->ctx.qtype, leader->ctx.qname)); });
        runGuarded("recursor query error", [&] {
            const ResolveOutcome outcome(std::move(*stale));
            answerResolved(*leader, outcome);
            leading->finish(outcome);
        });
    }));
}

ResolveOutcome Front::orStale(ResolveOutcome outcome, const DnsName& qname, QType qtype)
{
    // RFC 8767 §4: stale data stands in for servers that fail, never for data that failed validation.
    if (outcome || isBogus(outcome.error().kind) || outcome.error().kind == ResolveError::OutOfMemory)
        return outcome;
    auto stale = recursor_->staleAnswer(qname, qtype);
    if (stale && *stale)
        return std::move(**stale);
    return outcome;
}

// The refresh is registered in flight like a client's resolution: a client whose entry expires meanwhile
// joins it instead of asking again.
void Front::startPrefetch(FrontLoop& loop, const DnsName& qname, QType qtype)
{
    if (loop.prefetching >= max_prefetches_per_loop)
        return;
    InFlight& in_flight = InFlight::ofThisThread();
    const CacheKey key(qtype, qname);
    if (in_flight.find(this, key, client_policy))
        return;
    auto lead = in_flight.lead(this, key, client_policy, nullptr);
    if (!lead)
        return;
    auto leading = std::make_shared<InFlight::Leading>(std::move(*lead));
    ++loop.prefetching;
    if (!loop.events->spawnDetached([this, &loop, leading, name = qname, qtype] {
            struct Settled {
                ~Settled() { --loop.prefetching; }
                FrontLoop& loop;
            } settled { loop };
            runGuarded("recursor prefetch error", [&] {
                leading->finish(
                    orStale(recursor_->resolveFromNetwork(options_.upstream, name, qtype), name, qtype));
            });
        })) {
        --loop.prefetching;
        return;
    }
    metrics_->recordPrefetch();
}

void Front::answerResolved(const PendingQuery& query, const ResolveOutcome& outcome)
{
    if (query.policy_cname)
        return queueReply(query, followedReply(query.ctx, *query.policy_cname, outcome, channelOf(query)));
    if (!wantsUnchecked(outcome, query.ctx))
        return queueReply(query, replyFromResolution(query.ctx, outcome, channelOf(query)));
    // Fetched once for every CD client of the question: kept apart from the answer cache for a few
    // seconds, the next CD client is answered from there.
    const ResolveOutcome unchecked
        = recursor_->resolveUnchecked(options_.upstream, query.ctx.qname, query.ctx.qtype);
    queueReply(query, replyFromResolution(query.ctx, unchecked, channelOf(query)));
}

void Front::queueReply(const PendingQuery& query, ServerResult<std::vector<std::uint8_t>> reply)
{
    if (!reply) {
        logWarningWithError("recursor query error: ", reply.error());
        query.sink->abandon();
        return;
    }
    if (reply->empty()) // dropped by policy: nothing goes out, and the client is owed nothing more
        return query.sink->abandon();
    recordReply(
        *reply, { query.sink->client(), query.sink->transport(), CacheOutcome::miss, query.received_us });
    query.sink->send(std::move(*reply));
}

} // namespace recursor
