// The decision function every change goes through: interlocks with their
// dead time, auto-off and pulses that end only once their OFF is latched.
#include <gtest/gtest.h>

#include "board/rules.h"

namespace {

// Eight outputs: 1 and 2 interlocked with 500 ms of dead time, 2 and 3
// without; output 4 goes off by itself after 1000 ms.
BoardRules Rules() {
    BoardRules rules;
    rules.interlocks = {{0x80 | 0x40, 500}, {0x40 | 0x20, 0}};
    rules.autoOffMs = {0, 0, 0, 1000, 0, 0, 0, 0};
    return rules;
}

// One step of a story: a wish at a time, then what time and transmissions
// bring. `latch` transmits what is wanted (ending at `at`), `fail` fails it.
struct Step {
    enum Kind { Ask, Pass, Latch, Fail } kind;
    std::int64_t at;
    Wish wish;
    std::uint64_t wanted;   // after the step and Due
    std::uint64_t latched;
    const char* refusal;    // Ask: "" or a part of the conflict
};

TEST(Rules, EveryPathThroughOneFunction) {
    const Wish none;
    struct Row {
        const char* name;
        std::vector<Step> steps;
    } rows[] = {
        {"a member on switches its partner off in the same transmission without dead time",
         {{Step::Ask, 600, {0x20, 0, 0, 0}, 0x20, 0x00, ""},
          {Step::Latch, 610, none, 0x20, 0x20, ""},
          {Step::Ask, 700, {0x40, 0, 0, 0}, 0x40, 0x20, ""},
          {Step::Latch, 710, none, 0x40, 0x40, ""}}},
        {"the dead time runs from the start too: a restart does not know when a member went off",
         {{Step::Ask, 10, {0x40, 0, 0, 0}, 0x00, 0x00, ""},
          {Step::Pass, 500, none, 0x00, 0x00, ""},
          {Step::Pass, 501, none, 0x40, 0x00, ""}}},
        {"with a dead time: the partner off first, the member on no sooner than the dead time after",
         {{Step::Pass, 600, none, 0x00, 0x00, ""},
          {Step::Ask, 600, {0x80, 0, 0, 0}, 0x80, 0x00, ""},
          {Step::Latch, 610, none, 0x80, 0x80, ""},
          {Step::Ask, 700, {0x40, 0, 0, 0}, 0x00, 0x80, ""},
          {Step::Pass, 5000, none, 0x00, 0x80, ""},  // waits for the OFF's transmission
          {Step::Latch, 5010, none, 0x00, 0x00, ""},
          {Step::Pass, 5509, none, 0x00, 0x00, ""},
          {Step::Pass, 5510, none, 0x40, 0x00, ""}}},
        {"two members asked on together are refused, nothing changes",
         {{Step::Ask, 600, {0xC0, 0, 0, 0}, 0x00, 0x00, "outputs 1 and 2 are interlocked"},
          {Step::Ask, 600, {0x60, 0x9F, 0, 0}, 0x00, 0x00, "outputs 2 and 3 are interlocked"}}},
        {"a member asked off while it waits for its dead time never comes on",
         {{Step::Pass, 600, none, 0x00, 0x00, ""},
          {Step::Ask, 600, {0x80, 0, 0, 0}, 0x80, 0x00, ""},
          {Step::Latch, 610, none, 0x80, 0x80, ""},
          {Step::Ask, 620, {0x40, 0, 0, 0}, 0x00, 0x80, ""},
          {Step::Latch, 630, none, 0x00, 0x00, ""},
          {Step::Ask, 640, {0, 0x40, 0, 0}, 0x00, 0x00, ""},
          {Step::Pass, 2000, none, 0x00, 0x00, ""}}},
        {"a pulse's OFF survives failed transmissions and goes out with the re-send",
         {{Step::Ask, 10, {0x08 >> 1, 0, 0x04, 100}, 0x04, 0x00, ""},
          {Step::Latch, 20, none, 0x04, 0x04, ""},
          {Step::Pass, 119, none, 0x04, 0x04, ""},
          {Step::Pass, 120, none, 0x00, 0x04, ""},
          {Step::Fail, 130, none, 0x00, 0x04, ""},
          {Step::Fail, 1130, none, 0x00, 0x04, ""},
          {Step::Latch, 2130, none, 0x00, 0x00, ""},
          {Step::Pass, 9000, none, 0x00, 0x00, ""}}},
        {"an explicit OFF that fails during a pulse keeps the pulse's end",
         {{Step::Ask, 10, {0x04, 0, 0x04, 1000}, 0x04, 0x00, ""},
          {Step::Latch, 20, none, 0x04, 0x04, ""},
          {Step::Ask, 30, {0, 0x04, 0, 0}, 0x00, 0x04, ""},
          {Step::Fail, 40, none, 0x04, 0x04, ""},
          {Step::Latch, 50, none, 0x04, 0x04, ""},
          {Step::Pass, 1020, none, 0x00, 0x04, ""}}},
        {"auto-off: every ON ends, from when it was latched; a failed ON is forgotten",
         {{Step::Ask, 10, {0x10, 0, 0, 0}, 0x10, 0x00, ""},
          {Step::Fail, 20, none, 0x00, 0x00, ""},
          {Step::Ask, 30, {0x10, 0, 0, 0}, 0x10, 0x00, ""},
          {Step::Latch, 100, none, 0x10, 0x10, ""},
          {Step::Pass, 1099, none, 0x10, 0x10, ""},
          {Step::Pass, 1100, none, 0x00, 0x10, ""}}},
        {"auto-off: an ON of an output that is on starts its time again",
         {{Step::Ask, 10, {0x10, 0, 0, 0}, 0x10, 0x00, ""},
          {Step::Latch, 100, none, 0x10, 0x10, ""},
          {Step::Ask, 900, {0x10, 0, 0, 0}, 0x10, 0x10, ""},
          {Step::Pass, 1899, none, 0x10, 0x10, ""},
          {Step::Pass, 1900, none, 0x00, 0x10, ""}}},
        {"a pulse longer than the auto-off ends with the auto-off",
         {{Step::Ask, 10, {0x10, 0, 0x10, 5000}, 0x10, 0x00, ""},
          {Step::Latch, 100, none, 0x10, 0x10, ""},
          {Step::Pass, 1100, none, 0x00, 0x10, ""}}},
    };
    const BoardRules rules = Rules();
    for (const Row& row : rows) {
        Plan plan = StartingPlan(rules, 0, 1);
        int number = 0;
        for (const Step& step : row.steps) {
            ++number;
            std::string refusal;
            switch (step.kind) {
                case Step::Ask: refusal = Request(rules, plan, step.wish, step.at); break;
                case Step::Pass: break;
                case Step::Latch: Latched(rules, plan, plan.wanted, step.at); break;
                case Step::Fail: Failed(plan); break;
            }
            Due(rules, plan, step.at);
            const std::string where = std::string(row.name) + ", step " + std::to_string(number);
            EXPECT_EQ(refusal.empty(), step.refusal[0] == '\0') << where << ": " << refusal;
            EXPECT_NE(refusal.find(step.refusal), std::string::npos) << where << ": " << refusal;
            EXPECT_EQ(plan.wanted, step.wanted) << where;
            EXPECT_EQ(plan.latched, step.latched) << where;
            EXPECT_EQ(InterlockConflict(rules, plan.wanted), "") << where;
            EXPECT_EQ(InterlockConflict(rules, plan.latched), "") << where;
            EXPECT_EQ(RecordedValue(plan) & plan.pulsing, 0u) << where << ": a pulse recorded as on";
        }
    }
}

TEST(Rules, WishesFromChangesAndValues) {
    Plan plan = StartingPlan(Rules(), 0x81, 1);
    const Wish toggled = WishOfChanges(plan, {{1, Switch::Toggle, 0}, {3, Switch::On, 0}, {8, Switch::Pulse, 50}}, 8);
    EXPECT_EQ(toggled.on, 0x21u);
    EXPECT_EQ(toggled.off, 0x80u);
    EXPECT_EQ(toggled.pulse, 0x01u);
    EXPECT_EQ(toggled.pulseMs, 50);
    const Wish value = WishOfValue(0xA0, 8);
    EXPECT_EQ(value.on, 0xA0u);
    EXPECT_EQ(value.off, 0x5Fu);
}

}  // namespace
