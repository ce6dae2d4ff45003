// The names a minimising resolution asks on the way to a question (RFC 9156 §2.3, §3).
#include "resolver/qname_minimisation.h"

#include <gtest/gtest.h>

namespace recursor {
namespace {

    // One label at a time for the first MINIMISE_ONE_LAB questions, then the hidden labels shared out
    // over the questions left; never a name as long as the question, never past MAX_MINIMISE_COUNT.
    TEST(NextMinimisedName, RevealsOneLabelThenSharesTheRestOut)
    {
        const std::string twenty = "t.s.r.q.p.o.n.m.l.k.j.i.h.g.f.e.d.c.b.a.";
        struct Case {
            const char* label;
            std::string qname;
            std::size_t known;
            std::uint8_t asked;
            const char* expected; // none: the question is due
            bool label_limit;
        };
        const Case cases[] {
            { "from the root", "www.example.com.", 0, 0, "com.", false },
            { "below a known zone", "www.example.com.", 1, 1, "example.com.", false },
            { "one label hidden: the question", "www.example.com.", 2, 2, nullptr, false },
            { "nothing hidden", "example.com.", 2, 0, nullptr, false },
            { "last single label", twenty, 3, 3, "d.c.b.a.", false },
            // 16 hidden over 6 questions left: three at once.
            { "shared out", twenty, 4, 4, "g.f.e.d.c.b.a.", true },
            // 3 hidden, one question left: the question.
            { "last question", twenty, 17, 9, nullptr, false },
            { "bound spent", twenty, 4, max_minimise_count, nullptr, false },
            { "underscore labels ahead", "_25._tcp.mail.example.", 1, 1, "mail.example.", false },
            // RFC 9156 §3 step 5: the parent of a _service name is not asked.
            { "underscore label next but one", "_25._tcp.mail.example.", 2, 2, nullptr, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const auto next = nextMinimisedName(*DnsName::fromText(c.qname), c.known, c.asked);
            ASSERT_EQ(next.has_value(), c.expected != nullptr);
            if (!next)
                continue;
            EXPECT_EQ(next->name.toText(), c.expected);
            EXPECT_EQ(next->label_limit, c.label_limit);
        }
    }

} // namespace
} // namespace recursor
