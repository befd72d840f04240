#include <gtest/gtest.h>

#include <string>

#include "service/events.h"

namespace {

// A change published while a new reader's first state is being taken
// reaches that reader after its first state, never before and never not.
TEST(Events, AChangeDuringTheFirstStateIsNotLost) {
    Events events(2);
    int wakes = 0;
    auto queue = events.Follow(
        [&events] {
            events.Publish("during");
            return std::deque<std::string>{"state"};
        },
        [&wakes] { ++wakes; });
    ASSERT_TRUE(queue);
    std::string text;
    const auto sleep = [] {};
    ASSERT_EQ(queue->Take(&text, sleep), EventQueue::Text);
    EXPECT_EQ(text, "state");
    ASSERT_EQ(queue->Take(&text, sleep), EventQueue::Text);
    EXPECT_EQ(text, "during");
    EXPECT_EQ(queue->Take(&text, sleep), EventQueue::Nothing);
    events.Publish("after");
    EXPECT_EQ(wakes, 1);
    events.Unfollow(queue);
    EXPECT_EQ(events.Following(), 0u);
}

}  // namespace
