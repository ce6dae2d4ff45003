#include "resolver/in_flight.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recursor {
namespace {

    CacheKey key(const char* name)
    {
        return CacheKey(QType::a, *DnsName::fromText(name));
    }

    InFlightOutcome answer(std::uint16_t answer_count)
    {
        return ResolveResult {
            .packet = { 1, 2, 3 }, .answer_count = answer_count, .rcode = RCode::no_error
        };
    }

    // Runs `bodies` as fibers of one loop, in order, until every one has finished.
    void runFibers(const std::vector<std::function<void()>>& bodies)
    {
        auto loop = EventLoop::create();
        ASSERT_TRUE(loop);
        for (const auto& body : bodies)
            ASSERT_TRUE(loop->spawn(body));
        loop->stop();
        loop->run();
    }

    struct RecordingClient final : ClientWaiter {
        void deliver(const InFlightOutcome& outcome) override { delivered.push_back(outcome); }
        std::vector<InFlightOutcome> delivered;
    };

    // Two owners (Recursors, or resolutions for the nameserver marks): only their addresses count.
    int owner_a = 0;
    int owner_b = 0;

    // A second fiber asking what a first one leads waits for its outcome instead of asking again, but
    // only for the same Recursor and the same policy: a helper's unvalidated answer is nobody's answer.
    TEST(InFlight, FibersJoinOnlyTheSameQuestionOfTheSameOwnerAndPolicy)
    {
        struct Case {
            const char* label;
            const void* owner;
            const char* name;
            ResolutionPolicy policy;
            bool joins;
        };
        const Case cases[] = {
            { "same question", &owner_a, "a.test", {}, true },
            { "same name, ASCII case aside", &owner_a, "A.TEST", {}, true },
            { "other owner", &owner_b, "a.test", {}, false },
            { "other policy", &owner_a, "a.test", ResolutionPolicy::helper(), false },
            { "other name", &owner_a, "b.test", {}, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            InFlight& in_flight = InFlight::ofThisThread();
            FiberSignal gate;
            bool joined = false;
            std::optional<InFlightOutcome> got;
            runFibers({
                [&] {
                    auto leading = in_flight.lead(&owner_a, key("a.test"), {}, Fiber::current());
                    ASSERT_TRUE(leading);
                    gate.wait();
                    leading->finish(answer(7));
                },
                [&] {
                    auto entry = in_flight.joinable(c.owner, key(c.name), c.policy, Fiber::current());
                    joined = entry != nullptr;
                    gate.notifyAll();
                    if (joined)
                        got = in_flight.wait(entry, Fiber::current()).value();
                },
            });
            EXPECT_EQ(joined, c.joins);
            if (c.joins) {
                ASSERT_TRUE(got && *got);
                EXPECT_EQ((*got)->answer_count, 7);
            }
            EXPECT_EQ(in_flight.size(), 0u) << "the entry leaves with its leader";
        }
    }

    // A wait that ends up waiting for the waiter itself never ends: the leader's own side-by-side child,
    // or the leader of a question that already waits for the joiner, resolves on its own instead.
    TEST(InFlight, NoFiberJoinsAQuestionThatWaitsForIt)
    {
        InFlight& in_flight = InFlight::ofThisThread();
        FiberSignal gate;
        std::vector<std::string> seen;
        auto loop = EventLoop::create();
        ASSERT_TRUE(loop);
        // A leads a.test; its child asks a.test again. B leads b.test and joins a.test; A then asks b.test.
        loop->spawn([&] {
            auto leading = in_flight.lead(&owner_a, key("a.test"), {}, Fiber::current());
            ASSERT_TRUE(leading);
            FiberSignal child_done;
            loop->spawn([&] {
                if (!in_flight.joinable(&owner_a, key("a.test"), {}, Fiber::current()))
                    seen.push_back("child of the leader resolves alone");
                child_done.notifyAll();
            });
            child_done.wait();
            gate.wait(); // B now waits for a.test
            if (!in_flight.joinable(&owner_a, key("b.test"), {}, Fiber::current()))
                seen.push_back("leader of what B waits for resolves alone");
            leading->finish(answer(1));
        });
        loop->spawn([&] {
            auto leading = in_flight.lead(&owner_a, key("b.test"), {}, Fiber::current());
            ASSERT_TRUE(leading);
            auto entry = in_flight.joinable(&owner_a, key("a.test"), {}, Fiber::current());
            ASSERT_TRUE(entry) << "nothing it leads is waited for by A yet";
            gate.notifyAll();
            EXPECT_TRUE(in_flight.wait(entry, Fiber::current()).value());
        });
        loop->stop();
        loop->run();
        EXPECT_EQ(seen,
            (std::vector<std::string> {
                "child of the leader resolves alone", "leader of what B waits for resolves alone" }));
    }

    // Client questions ride on one resolution up to a bound; each is delivered the outcome once, and
    // one that left before is delivered nothing.
    TEST(InFlight, ClientWaitersAreBoundedAndEachDeliveredOnce)
    {
        InFlight& in_flight = InFlight::ofThisThread();
        std::vector<RecordingClient> clients(InFlight::max_clients_per_question + 1);
        {
            auto leading = in_flight.lead(&owner_a, key("a.test"), {}, nullptr);
            ASSERT_TRUE(leading);
            for (std::size_t i = 0; i < InFlight::max_clients_per_question; ++i) {
                auto entry = in_flight.find(&owner_a, key("a.test"), {});
                ASSERT_TRUE(entry);
                ASSERT_TRUE(entry->addClient(clients[i]));
            }
            EXPECT_FALSE(in_flight.find(&owner_a, key("a.test"), {})->addClient(clients.back()));
            EXPECT_FALSE(in_flight.find(&owner_b, key("a.test"), {}));
            (*leading)->removeClient(clients[0]);
            leading->finish(answer(3));
            EXPECT_EQ(in_flight.size(), 0u);
        } // and the lead ends: nothing is delivered twice
        EXPECT_TRUE(clients.front().delivered.empty()) << "removed before the outcome";
        EXPECT_TRUE(clients.back().delivered.empty()) << "over the bound";
        for (std::size_t i = 1; i < InFlight::max_clients_per_question; ++i) {
            ASSERT_EQ(clients[i].delivered.size(), 1u);
            ASSERT_TRUE(clients[i].delivered.front());
            EXPECT_EQ(clients[i].delivered.front()->answer_count, 3);
        }
    }

    // A leader that leaves without an outcome still takes its entry away and wakes every waiter: fibers
    // resolve on their own, clients are told the resolution ended.
    TEST(InFlight, ALeaderLeavingWithoutAnOutcomeReleasesItsWaiters)
    {
        InFlight& in_flight = InFlight::ofThisThread();
        RecordingClient client;
        std::optional<std::optional<InFlightOutcome>> fiber_got;
        FiberSignal gate;
        runFibers({
            [&] {
                auto leading = in_flight.lead(&owner_a, key("a.test"), {}, Fiber::current());
                ASSERT_TRUE(leading);
                ASSERT_TRUE((*leading)->addClient(client));
                gate.wait();
            },
            [&] {
                auto entry = in_flight.joinable(&owner_a, key("a.test"), {}, Fiber::current());
                ASSERT_TRUE(entry);
                gate.notifyAll();
                fiber_got = in_flight.wait(entry, Fiber::current()).value();
            },
        });
        ASSERT_TRUE(fiber_got);
        EXPECT_FALSE(*fiber_got) << "no outcome: the waiter resolves on its own";
        ASSERT_EQ(client.delivered.size(), 1u);
        ASSERT_FALSE(client.delivered.front());
        EXPECT_EQ(client.delivered.front().error().kind, ResolveError::ShuttingDown);
        EXPECT_EQ(in_flight.size(), 0u);
    }

    // The nameservers of a zone being looked up are seen from the lookups nested below (on child fibers
    // too), for the same resolution only, and only while the lookup lasts.
    TEST(InFlight, NameserverLookupsAreSeenBelowThemForTheirResolutionOnly)
    {
        InFlight& in_flight = InFlight::ofThisThread();
        const DnsName zone = *DnsName::fromText("example.test");
        const DnsName other = *DnsName::fromText("other.test");
        std::vector<bool> seen;
        runFibers({ [&] {
            auto marked = in_flight.lookUpNameserversOf(&owner_a, zone);
            ASSERT_TRUE(marked);
            FiberSignal child_done;
            EventLoop::current()->spawn([&] {
                seen = { in_flight.lookingUpNameserversOf(&owner_a, zone),
                    in_flight.lookingUpNameserversOf(&owner_a, other),
                    in_flight.lookingUpNameserversOf(&owner_b, zone),
                    in_flight.insideNameserverLookup(&owner_a), in_flight.insideNameserverLookup(&owner_b) };
                child_done.notifyAll();
            });
            child_done.wait();
        } });
        EXPECT_EQ(seen, (std::vector<bool> { true, false, false, true, false }));
        EXPECT_FALSE(in_flight.lookingUpNameserversOf(&owner_a, zone)) << "the mark ends with the lookup";
        EXPECT_FALSE(in_flight.insideNameserverLookup(&owner_a));
    }

} // namespace
} // namespace recursor
