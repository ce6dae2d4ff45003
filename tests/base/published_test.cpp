// Published: the value a reload replaces while loop threads read it without a lock.
#include "base/published.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace recursor {
namespace {

    // Each thread keeps the value it last took: a replace must reach it, and a thread reading two
    // instances of one type in turn must never be handed the other instance's value.
    TEST(Published, EveryThreadSeesTheLatestValueOfItsOwnInstance)
    {
        Published<std::string> first(std::make_shared<const std::string>("first v1"));
        Published<std::string> second(std::make_shared<const std::string>("second v1"));
        EXPECT_EQ(*first.current(), "first v1");
        EXPECT_EQ(*second.current(), "second v1");
        EXPECT_EQ(*first.current(), "first v1");

        const std::shared_ptr<const std::string> held = first.current();
        EXPECT_EQ(*first.replace(std::make_shared<const std::string>("first v2")), "first v1");
        EXPECT_EQ(*held, "first v1") << "a holder keeps the value it took";
        EXPECT_EQ(*first.current(), "first v2");
        std::thread([&] { EXPECT_EQ(*first.current(), "first v2"); }).join();
        EXPECT_EQ(*second.current(), "second v1");
    }

} // namespace
} // namespace recursor
