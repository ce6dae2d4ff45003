#include "resolver/machine.h"

#include "base/random.h"
#include "resolver/chain_of_trust.h"
#include "resolver/delegation.h"
#include "resolver/in_flight.h"
#include "resolver/local_zone.h"
#include "resolver/qname_minimisation.h"
#include "resolver/referral.h"
#include "resolver/response.h"
#include "wire/type_names.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace recursor {

namespace {

    // Where a question starts: DS lives on the parent's side of a zone cut, so a DS question starts from
    // the closest delegation above the name, never from the name's own zone (RFC 4035 §4.2).
    DnsName startingPoint(const DnsName& qname, QType qtype)
    {
        DnsName start = qname;
        if (qtype == QType::ds)
            start.chopOff();
        return start;
    }

} // namespace

ResolutionMachine::ResolutionMachine(
    Resolution& resolution, const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy)
    : resolution_(resolution)
    , budget_(resolution.budget())
{
    ctx_.qtype = qtype;
    ctx_.qname = qname;
    ctx_.current_qname = qname;
    // Local zones are consulted as run() starts, and after each CNAME it follows.
    ctx_.adoptDelegation(initialNameservers(resolution, startingPoint(qname, qtype)));
    ctx_.depth = depth;
    ctx_.policy = policy;
}

namespace {

    // An SOA record of `zone` with TTL and MINIMUM 0, so that nothing judged by it is ever kept.
    DnsRecord standInSoa(const DnsName& zone)
    {
        return { RData::make<RDataTag::soa>(rdata::common::SOA { .mname = zone, .rname = zone }), 0,
            QType::soa, QClass::in, zone, Section::authority };
    }

    // The chain of trust, for the steps of one resolution.
    class ChainStepValidator final : public StepValidator {
    public:
        ChainStepValidator(Resolution& resolution, const QueryContext& ctx)
            : resolution_(resolution)
            , ctx_(ctx)
        {
        }
        ResolveResultOr<StepVerdict> answer(
            std::span<const DnsRecord* const> answers, const DnsMessage& response) override
        {
            return validateAnswerRrsets(resolution_, ctx_, answers, response);
        }
        ResolveResultOr<StepVerdict> denial(
            RCode rcode, const DnsRecord* soa, std::span<const DnsRecord* const> authority) override
        {
            if (soa != nullptr)
                return validateDenial(resolution_, ctx_, rcode, *soa, authority);
            // Without an SOA nothing anchors a proof: a signed zone signs the SOA that names the zone a
            // denial speaks for (RFC 4035 §3.1.3), so such an answer from a signed zone is bogus. Kept
            // simple: the denial is judged as if marked by an SOA of the zone asked, so a signed zone
            // fails without its signed SOA among `authority` and an unsigned one is insecure as usual.
            const DnsRecord stand_in = standInSoa(ctx_.zone);
            return validateDenial(resolution_, ctx_, rcode, stand_in, authority);
        }

    private:
        Resolution& resolution_;
        const QueryContext& ctx_;
    };

} // namespace

bool ResolutionMachine::validatesHere() const
{
    // RFC 7646 §1.1: below a negative trust anchor data is treated as insecure, never bogus.
    return ctx_.policy.validate_answers && resolution_.validationEnabled()
        && !underNegativeTrustAnchor(
            resolution_.forwardZones(), resolution_.localZones(), ctx_.current_qname);
}

ResolveResultOr<NetworkAction> ResolutionMachine::applyResponse(const QueryResult& result)
{
    if (!validatesHere())
        return handleNetworkResponse(resolution_, ctx_, result);
    ChainStepValidator validator(resolution_, ctx_);
    return handleNetworkResponse(resolution_, ctx_, result, &validator);
}

namespace {

    // What a reply says of its server for the zone it was asked about, before any of it is used: a
    // refusal or failure moves on to the next server (RFC 1034 §5.3.3 step 4).
    std::optional<LameKind> lamenessOf(const DnsMessage& response)
    {
        switch (response.header.rcode()) {
        case RCode::no_error:
        case RCode::nx_domain:
            return std::nullopt;
        case RCode::serv_fail:
            return LameKind::serv_fail;
        default:
            return LameKind::refused; // REFUSED, NOTIMP, FORMERR and the rest: it will not answer
        }
    }

} // namespace

namespace {

    // What a step's races teach the infrastructure cache, and what they cost the question.
    class StepObserver final : public RaceObserver {
    public:
        StepObserver(Resolution& resolution, const DnsName& zone, bool for_nameservers,
            std::optional<SocketAddress>& last_asked)
            : resolution_(resolution)
            , infra_(resolution.infra())
            , zone_(zone)
            , budget_(resolution.budget())
            , for_nameservers_(for_nameservers)
            , last_asked_(last_asked)
        {
        }
        void asked(const SocketAddress& server) override
        {
            last_asked_ = server;
            if (resolution_.traceActive())
                resolution_.traceLine("  asked " + server.toString());
            infra_.recordAsked();
            --budget_.exchanges_left;
            if (for_nameservers_)
                --budget_.nameserver_exchanges_left;
            ++asked_;
        }
        void replied(const SocketAddress& server, std::int64_t rtt_ms) override
        {
            if (resolution_.traceActive())
                resolution_.traceLine(
                    "  reply from " + server.toString() + " in " + std::to_string(rtt_ms) + " ms");
            infra_.recordReply(server, rtt_ms);
        }
        void timedOut(const SocketAddress& server) override
        {
            if (resolution_.traceActive())
                resolution_.traceLine("  no reply from " + server.toString() + " within its timeout");
            infra_.recordTimeout(server);
            try {
                timed_out_.push_back(server);
            } catch (const std::bad_alloc&) {
                // it only misses its second chance
            }
        }
        bool settles(const SocketAddress& server, const DnsMessage& reply) override
        {
            // An error to a minimised question says nothing of the server's zone: the same server is
            // asked the whole question next (RFC 9156 §2.3), and judged by that reply.
            if (minimised_)
                return true;
            const auto lame = lamenessOf(reply);
            if (lame)
                infra_.recordLame(server, zone_, *lame);
            if (resolution_.traceActive()) {
                constexpr const char* kinds[]
                    = { "REFUSED", "SERVFAIL", "not authoritative", "referral upwards" };
                resolution_.traceLine("  " + server.toString() + ": "
                    + (lame ? std::string("lame (") + kinds[static_cast<int>(*lame)] + "), next server"
                            : "reply taken"));
            }
            return !lame;
        }
        std::size_t takeAsked() { return std::exchange(asked_, 0); }
        void askingMinimised(bool minimised) { minimised_ = minimised; }
        std::vector<SocketAddress> takeTimedOut() { return std::exchange(timed_out_, {}); }

    private:
        Resolution& resolution_;
        InfraCache& infra_;
        const DnsName& zone_;
        ResolutionBudget& budget_;
        bool for_nameservers_; // spends the nameserver lookups' share of the budget too
        std::optional<SocketAddress>& last_asked_;
        std::size_t asked_ { 0 };
        std::vector<SocketAddress> timed_out_;
        bool minimised_ { false };
    };

    // Each server with the timeout the infrastructure cache gives it, within the upstream settings'.
    std::vector<ServerAttempt> attemptsFor(
        InfraCache& infra, const UpstreamSettings& upstream, std::span<const SocketAddress> servers)
    {
        std::vector<ServerAttempt> attempts;
        attempts.reserve(servers.size());
        for (const SocketAddress& server : servers)
            attempts.push_back({ server, std::min(upstream.timeout_ms, infra.timeoutMs(server)) });
        return attempts;
    }

} // namespace

ResolveResultOr<std::optional<ResolveResult>> ResolutionMachine::step()
{
    InfraCache& infra = resolution_.infra();
    UpstreamSettings upstream = resolution_.upstream();
    upstream.recursion_desired = ctx_.forwarding;
    const NameserverSet servers = ctx_.nameservers; // the step may adopt the next delegation
    const DnsName zone = ctx_.zone;
    const std::vector<RankedServer> order = TRY(infra.rank(servers.slice(), zone, infra.now(), randomU64));
    std::vector<SocketAddress> ranked;
    std::vector<ServerAttempt> attempts;
    try {
        for (const RankedServer& server : order)
            ranked.push_back(server.address);
        attempts = attemptsFor(infra, upstream, ranked);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    // The question asked last, traced anew whenever minimisation changes it.
    std::optional<Question> traced;
    const auto traceQuestion = [&](const Question& question) {
        if (!resolution_.traceActive()
            || (traced && traced->name.eql(question.name) && traced->type == question.type))
            return;
        traced = question;
        std::string line = "zone " + zone.toText() + ": " + question.name.toText() + " "
            + typeName(question.type) + ", servers in order:";
        for (const SocketAddress& server : ranked)
            line += " " + server.toString();
        resolution_.traceLine(std::move(line));
    };
    const bool may_minimise = resolution_.limits().qname_minimisation && !ctx_.forwarding;
    const bool for_nameservers = resolution_.insideNameserverLookup();
    last_asked_.reset();
    StepObserver observer(resolution_, zone, for_nameservers, last_asked_);
    bool second_round = false;
    std::size_t begin = 0;
    for (;;) {
        if (begin == attempts.size()) {
            // Servers that only timed out get a second chance, with their backed-off timeouts.
            const std::vector<SocketAddress> again = observer.takeTimedOut();
            if (second_round || again.empty())
                return std::nullopt; // nobody made progress
            second_round = true;
            try {
                attempts = attemptsFor(infra, upstream, again);
            } catch (const std::bad_alloc&) {
                return std::unexpected(ResolveError::OutOfMemory);
            }
            begin = 0;
        }
        if (budget_.deadline_ms <= monotonicMs() || budget_.exchanges_left <= 0)
            return std::unexpected(resolution_.fail(ResolveError::BudgetExhausted, zone, last_asked_));
        if (for_nameservers && budget_.nameserver_exchanges_left <= 0)
            return std::unexpected(
                resolution_.fail(ResolveError::NameserverBudgetExhausted, zone, last_asked_));
        const int left = for_nameservers ? std::min(budget_.exchanges_left, budget_.nameserver_exchanges_left)
                                         : budget_.exchanges_left;
        const auto affordable = std::span(attempts).subspan(
            begin, std::min<std::size_t>(attempts.size() - begin, static_cast<std::size_t>(left)));
        const std::optional<DnsName> minimised = may_minimise ? nextMinimised() : std::nullopt;
        const Question question
            = minimised ? Question { *minimised, QType::ns } : Question { ctx_.current_qname, ctx_.qtype };
        traceQuestion(question);
        observer.askingMinimised(minimised.has_value());
        const std::size_t race_begin = begin;
        auto result = resolution_.transport().race(
            upstream, affordable, question.name, question.type, budget_.deadline_ms, observer);
        begin += std::max<std::size_t>(observer.takeAsked(), 1);
        begin = std::min(begin, attempts.size());
        if (!result) {
            if (result.error() == TransportError::OutOfMemory)
                return std::unexpected(ResolveError::OutOfMemory);
            if (result.error() == TransportError::Cancelled)
                return std::unexpected(ResolveError::ShuttingDown);
            continue;
        }
        const SocketAddress server = result->from;
        ctx_.got_response = true;
        if (minimised && !usesMinimisedReply(result->response, *minimised, zone)) {
            // The server that replied is asked the next question first: it answered for the zone. The
            // race began at `race_begin`, so it sits at or after it.
            const auto from = std::find_if(attempts.begin() + static_cast<std::ptrdiff_t>(race_begin),
                attempts.end(), [&](const ServerAttempt& attempt) { return attempt.server == server; });
            if (from != attempts.end())
                begin = static_cast<std::size_t>(from - attempts.begin());
            continue;
        }
        NetworkAction action = TRY(applyResponse(*result));
        switch (action.tag) {
        case NetworkAction::Tag::done:
            return std::move(action.result);
        case NetworkAction::Tag::follow_delegation:
            // A forwarder refers nowhere: it resolves, and a referral from it is no answer.
            if (ctx_.forwarding)
                infra.recordLame(server, zone, LameKind::not_authoritative);
            else if (auto next = TRY(lookupDelegationNameservers(resolution_, result->response, ctx_))) {
                TRY_VOID(keepReferralDs(result->response));
                ctx_.adoptDelegation(*next);
            } else if (!ctx_.advanced)
                infra.recordLame(server, zone, LameKind::upward_referral);
            break;
        case NetworkAction::Tag::continue_loop:
            if (!ctx_.advanced)
                infra.recordLame(server, zone, LameKind::not_authoritative);
            break;
        }
        if (resolution_.traceActive() && ctx_.advanced) {
            resolution_.traceLine(ctx_.zone.eql(zone)
                    ? "  now " + ctx_.current_qname.toText() + " (CNAME or DNAME)"
                    : "  referral to " + ctx_.zone.toText());
        }
        if (ctx_.advanced)
            return std::nullopt;
    }
}

namespace {

    // The records of a DS RRset owned by `zone` in the authority section, and the RRSIGs over it.
    std::vector<const DnsRecord*> authorityDsOf(const DnsMessage& referral, const DnsName& zone)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord& rec : referral.records) {
            if (rec.section != Section::authority || !rec.name.eql(zone))
                continue;
            const auto* sig = rec.rdata.getIf<RDataTag::rrsig>();
            if (rec.rtype == QType::ds || (sig != nullptr && sig->type_covered == toU16(QType::ds)))
                out.push_back(&rec);
        }
        return out;
    }

} // namespace

ResolveResultOr<void> ResolutionMachine::keepReferralDs(const DnsMessage& referral)
{
    if (!validatesHere())
        return {};
    // The owner is the delegated zone, the one the referral leads to: the chain of trust takes a DS
    // only for the cut it is owned at, and only with a signature of the parent's keys.
    const std::optional<DnsName> zone = extractDelegationName(referral.records);
    if (!zone)
        return {};
    try {
        const std::vector<const DnsRecord*> ds = authorityDsOf(referral, *zone);
        if (std::ranges::none_of(ds, [](const DnsRecord* rec) { return rec->rtype == QType::ds; }))
            return {};
        auto built = buildResult(*zone, QType::ds, {}, ds, RCode::no_error, false, StepVerdict::no_cap);
        if (!built && built.error() == ResolveError::OutOfMemory)
            return std::unexpected(ResolveError::OutOfMemory);
        // One that cannot be kept is asked of the parent as before.
        if (built && built->packet.size() <= ReferralDs::max_packet_bytes)
            ctx_.referral_ds.push_back({ *zone, std::move(built->packet) });
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

std::optional<DnsName> ResolutionMachine::nextMinimised()
{
    QueryContext::Minimisation& state = ctx_.minimisation;
    if (state.stopped || !ctx_.current_qname.isPartOf(ctx_.zone))
        return std::nullopt;
    const std::size_t known = std::max<std::size_t>(ctx_.zone.labelCount(), state.revealed_labels);
    auto next = nextMinimisedName(ctx_.current_qname, known, state.asked);
    if (!next)
        return std::nullopt;
    if (next->label_limit && !state.grouped) {
        state.grouped = true;
        resolution_.infra().recordMinimisationFallback(MinimisationFallback::label_limit);
    }
    return std::move(next->name);
}

bool ResolutionMachine::usesMinimisedReply(const DnsMessage& reply, const DnsName& asked, const DnsName& zone)
{
    QueryContext::Minimisation& state = ctx_.minimisation;
    ++state.asked;
    state.revealed_labels = static_cast<std::uint8_t>(asked.labelCount());
    MinimisationFallback fallback = MinimisationFallback::server_error;
    switch (classifyMinimisedReply(reply, asked, zone)) {
    case MinimisedReply::judge_as_usual:
        return true;
    case MinimisedReply::reveal_more:
        return false;
    case MinimisedReply::ask_whole_after_error:
        break;
    case MinimisedReply::ask_whole_after_answer:
        fallback = MinimisationFallback::unusable_answer;
        break;
    }
    state.stopped = true;
    resolution_.infra().recordMinimisationFallback(fallback);
    if (resolution_.traceActive())
        resolution_.traceLine("  minimised question not answered (" + std::string(fallbackName(fallback))
            + "), the whole name next");
    return false;
}

ResolveResultOr<bool> ResolutionMachine::resolveUnresolvedNameservers()
{
    const NameserverSet tried = ctx_.nameservers;
    ctx_.nameservers = {};
    if (!ctx_.unresolved_nameservers.empty()) {
        const NameserverNames names = std::exchange(ctx_.unresolved_nameservers, {});
        ctx_.nameservers = TRY(resolveNameserverNames(resolution_, ctx_.zone, names.span(), ctx_));
        if (!ctx_.nameservers.empty())
            return true;
    }
    // The last resort: glue nothing vouches for, but for the addresses already asked.
    const NameserverSet fallback = std::exchange(ctx_.fallback_nameservers, {});
    for (const SocketAddress& addr : fallback.slice()) {
        if (std::ranges::find(tried.slice(), addr) == tried.slice().end())
            ctx_.nameservers.append(addr);
    }
    return !ctx_.nameservers.empty();
}

namespace {

    // The local answer joined to the chain that led to it: the chain's links first, then the zone's
    // records (its own CNAMEs among them), never with AD, since local data is not validated.
    ResolveResultOr<ResolveResult> joinLocalAnswer(
        Resolution& resolution, const QueryContext& ctx, ResolveResult local)
    {
        if (ctx.cname_chain.empty())
            return local;
        const auto msg = DnsMessage::parse(local.packet);
        if (!msg)
            return std::unexpected(ResolveError::OutOfMemory);
        std::vector<const DnsRecord*> answers;
        std::vector<const DnsRecord*> authority;
        try {
            for (const DnsRecord& rec : msg->records)
                (rec.section == Section::answer ? answers : authority).push_back(&rec);
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        const AnswerLimits& limits = resolution.limits();
        if (local.rcode == RCode::no_error && !answers.empty()) {
            BuiltPacket built = TRY(buildResult(ctx.qname, ctx.qtype, ctx.cname_chain, answers,
                RCode::no_error, false, limits.cache_max_ttl));
            return ResolveResult {
                .packet = std::move(built.packet), .answer_count = built.answer_count, .rcode = local.rcode
            };
        }
        // A negative answer keeps the zone's own CNAMEs that led to the missing name (RFC 2308 §2.1).
        std::vector<DnsRecord> chain;
        try {
            chain = ctx.cname_chain;
            for (const DnsRecord* link : answers)
                chain.push_back(*link);
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        BuiltPacket built = TRY(buildNegativePacket(
            ctx.qname, ctx.qtype, chain, authority, local.rcode, false, limits.cache_max_negative_ttl));
        return ResolveResult {
            .packet = std::move(built.packet), .answer_count = built.answer_count, .rcode = local.rcode
        };
    }

    // The current name's answer when a local zone holds it: a CNAME from upstream (or from another
    // local zone) into a local zone ends there, not at the public servers (RFC 1034 §4.3.2 step 3a).
    // When the zone's own chain leaves it, its links join the question's and its target is started
    // afresh, from a local delegation if one holds it. Not cached: a reload may change the zone.
    ResolveResultOr<std::optional<ResolveResult>> consultLocalZones(
        Resolution& resolution, QueryContext& ctx, std::optional<DnsName>& consulted)
    {
        const LocalZones* local_zones = resolution.localZones();
        while (local_zones != nullptr && !(consulted && consulted->eql(ctx.current_qname))) {
            consulted = ctx.current_qname;
            const LocalZone* zone = local_zones->covering(ctx.current_qname);
            if (zone == nullptr)
                return std::nullopt;
            if (auto local = TRY(zone->answer(ctx.current_qname, ctx.qtype))) {
                if (resolution.traceActive())
                    resolution.traceLine(ctx.current_qname.toText() + " answered from the local zone "
                        + zone->apex().toText());
                return TRY(joinLocalAnswer(resolution, ctx, std::move(*local)));
            }
            std::vector<DnsRecord> chain = TRY(zone->chainToResolve(ctx.current_qname, ctx.qtype));
            if (chain.empty())
                return std::nullopt; // below a zone cut: the child's servers are asked
            const std::size_t links = ctx.cname_count + chain.size();
            if (links > max_cnames)
                return std::unexpected(ResolveError::CnameLoop);
            ctx.cname_count = static_cast<std::uint8_t>(links);
            const DnsName target = chain.back().rdata.get<RDataTag::cname>().target;
            try {
                ctx.cname_chain.insert(ctx.cname_chain.end(), std::make_move_iterator(chain.begin()),
                    std::make_move_iterator(chain.end()));
            } catch (const std::bad_alloc&) {
                return std::unexpected(ResolveError::OutOfMemory);
            }
            ctx.chain_validated = false;
            ctx.followCname(target, initialNameservers(resolution, startingPoint(target, ctx.qtype)));
        }
        return std::nullopt;
    }

} // namespace

ResolveResultOr<ResolveResult> ResolutionMachine::run()
{
    if (ctx_.depth > max_resolution_depth)
        return std::unexpected(resolution_.fail(ResolveError::MaxDepthExceeded, ctx_.zone));
    std::optional<DnsName> consulted; // the last name local zones were asked about
    for (;;) {
        if (auto local = TRY(consultLocalZones(resolution_, ctx_, consulted)))
            return std::move(*local);
        ctx_.resetStep();
        if (ctx_.nameservers.empty())
            return std::unexpected(resolution_.fail(ResolveError::NoNameservers, ctx_.zone));
        if (auto result = TRY(step()))
            return std::move(*result);
        if (!ctx_.advanced && !TRY(resolveUnresolvedNameservers()))
            return std::unexpected(
                resolution_.fail(ResolveError::NoReachableAuthority, ctx_.zone, last_asked_));
        if (++ctx_.iteration >= max_resolution_steps)
            return std::unexpected(resolution_.fail(ResolveError::TooManySteps, ctx_.zone));
    }
}

// Declared with the Resolution, defined beside the machine it runs, so that the resolution's own file
// stays below the machine. On a fiber, a question already in flight for the same resolver and policy is
// waited for rather than asked again.
ResolveResultOr<ResolveResult> Resolution::lookup(
    const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy)
{
    Fiber* const self = Fiber::current();
    if (self == nullptr) {
        ResolutionMachine machine(*this, qname, qtype, depth, policy);
        return machine.run();
    }
    InFlight& in_flight = InFlight::ofThisThread();
    const CacheKey key(qtype, qname);
    if (auto shared = in_flight.joinable(services_.owner, key, policy, self)) {
        if (auto outcome = TRY(in_flight.wait(shared, self))) {
            if (!*outcome) // the leader's detail becomes this resolution's
                return std::unexpected(
                    fail(outcome->error().kind, outcome->error().zone, outcome->error().server));
            return std::move(**outcome);
        }
    }
    InFlight::Leading leading = TRY(in_flight.lead(services_.owner, key, policy, self));
    ResolutionMachine machine(*this, qname, qtype, depth, policy);
    auto result = machine.run();
    // Moved in and out again: the waiters' copies are made only when there are waiters.
    InFlightOutcome outcome = result ? InFlightOutcome(std::move(*result))
                                     : InFlightOutcome(std::unexpected(failureOf(result.error())));
    leading.finish(outcome);
    if (!outcome)
        return std::unexpected(outcome.error().kind);
    return std::move(*outcome);
}

} // namespace recursor
