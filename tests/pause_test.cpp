#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "register/pause.h"
#include "tests/fake_serial_line.h"

namespace {

constexpr std::int64_t kMillisecond = 1000000;  // the fake clock counts nanoseconds

std::int64_t OnTime(std::int64_t requested) { return requested; }
std::int64_t Late60us(std::int64_t requested) { return requested + 60000; }
// As under Wine: every wait lasts over a millisecond, however short.
std::int64_t Coarse(std::int64_t requested) { return std::max<std::int64_t>(requested, 1100000) + 50000; }
// One sleep in a hundred wakes 0.9 ms late, the rest 50 us.
std::int64_t NowAndThen(std::int64_t requested) {
    return requested + (Fake::sleeps.size() % 100 == 0 ? 900000 : 50000);
}
// Every wake-up 20 to 80 us late, in a fixed pseudo-random order.
std::int64_t Jittery(std::int64_t requested) {
    return requested + 20000 + static_cast<std::int64_t>(Fake::sleeps.size() * 7919 % 61) * 1000;
}
// A sleep that ends early, as Windows documents for Sleep (up to a tick).
std::int64_t Early(std::int64_t requested) {
    return requested - std::min<std::int64_t>(requested, 15600000);
}
// For the first tenth of a second sleeps wake 2 ms late, then the machine
// calms down.
std::int64_t LateSpell(std::int64_t requested) {
    return requested + (Fake::now < 100 * kMillisecond ? 2 * kMillisecond : 0);
}

// Whatever the sleeps do, no pause is shorter than a millisecond; once the
// pause has learnt how the sleeps behave, it overshoots by little, and it
// sleeps wherever sleeping can hit the millisecond.
TEST(PauseOneMillisecond, NeverShortAndSoonTight) {
    struct Row {
        const char* name;
        std::int64_t (*sleepLength)(std::int64_t);
        std::size_t leastSleeps;  // of the last 200 pauses
        std::size_t mostSleeps;
        std::size_t mostLoose;    // pauses over a millisecond by more than looseBy
        std::int64_t looseBy = 5000;
        std::int64_t leastSleptUs = 0;  // asked for, on average, of the last 200 pauses
    } rows[] = {
        {"sleeps wake on time", OnTime, 200, 200, 0, 5000, 950},
        {"sleeps wake 60 us late", Late60us, 200, 200, 0, 5000, 900},
        {"sleeps wake 20 to 80 us late", Jittery, 200, 200, 0, 20000, 880},
        {"a late wake-up now and then does not stop the sleeping", NowAndThen, 150, 200, 10},
        {"sleeps are coarse", Coarse, 0, 10, 10},
        {"a spell of late wake-ups passes", LateSpell, 200, 200, 0, 5000, 950},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::sleepLength = row.sleepLength;
        std::int64_t shortest = kMillisecond * 100;
        std::size_t sleepsBefore = 0, loose = 0;
        for (int pause = 0; pause < 3000; ++pause) {
            if (pause == 2800) sleepsBefore = Fake::sleeps.size();
            const std::int64_t before = Fake::now;
            PauseOneMillisecond();
            const std::int64_t length = Fake::now - before;
            shortest = std::min(shortest, length);
            if (pause >= 2800 && length > kMillisecond + row.looseBy) ++loose;
        }
        const std::size_t sleeps = Fake::sleeps.size() - sleepsBefore;
        std::int64_t slept = 0;
        for (std::size_t i = sleepsBefore; i < Fake::sleeps.size(); ++i) slept += Fake::sleeps[i];
        if (row.leastSleptUs > 0) {
            EXPECT_GE(slept / 200, row.leastSleptUs) << row.name << ": the clock was watched, not slept through";
        }
        EXPECT_GE(shortest, kMillisecond) << row.name;
        EXPECT_GE(sleeps, row.leastSleeps) << row.name;
        EXPECT_LE(sleeps, row.mostSleeps) << row.name;
        EXPECT_LE(loose, row.mostLoose) << row.name;
    }
}

// A sender starts afresh with every run, so its very first pauses count:
// they are tight already where the sleeps wake a little late.
TEST(PauseOneMillisecond, TheFirstPausesAreTight) {
    Fake::Reset();
    Fake::sleepLength = Late60us;
    // A thread of its own starts with nothing learnt, as a new sender does.
    std::thread([] {
        for (int pause = 0; pause < 17; ++pause) {
            const std::int64_t before = Fake::now;
            PauseOneMillisecond();
            EXPECT_LE(Fake::now - before, kMillisecond + 5000) << "pause " << pause;
            EXPECT_GE(Fake::now - before, kMillisecond) << "pause " << pause;
        }
    }).join();
}

// What one thread's pauses learn stays with it: a board whose sleeps are
// coarse does not keep another from sleeping.
TEST(PauseOneMillisecond, EachThreadLearnsForItself) {
    Fake::Reset();
    Fake::sleepLength = Coarse;
    std::thread([] {
        for (int pause = 0; pause < 3000; ++pause) PauseOneMillisecond();
    }).join();
    Fake::sleepLength = OnTime;
    const std::size_t before = Fake::sleeps.size();
    PauseOneMillisecond();
    EXPECT_EQ(Fake::sleeps.size(), before + 1) << "another thread's coarse sleeps kept this one from sleeping";
}

// One wake-up 10 ms late makes the pause watch the clock for a while;
// within about a hundred pauses it trusts the sleeps again.
TEST(PauseOneMillisecond, SleepsAgainSoonAfterOneVeryLateWakeUp) {
    Fake::Reset();
    Fake::sleepLength = OnTime;
    for (int pause = 0; pause < 50; ++pause) PauseOneMillisecond();
    Fake::sleepLength = [](std::int64_t requested) { return requested + 10 * kMillisecond; };
    PauseOneMillisecond();
    Fake::sleepLength = OnTime;
    const std::size_t sleepsBefore = Fake::sleeps.size();
    int pauses = 0;
    while (Fake::sleeps.size() == sleepsBefore && pauses < 1000) {
        const std::int64_t before = Fake::now;
        PauseOneMillisecond();
        EXPECT_GE(Fake::now - before, kMillisecond);
        ++pauses;
    }
    EXPECT_GE(pauses, 10) << "one late wake-up was forgotten at once";
    EXPECT_LE(pauses, 120) << "the pause went on watching the clock";
}

TEST(WaitUntil, ReturnsAtTheMomentWhateverTheSleepsDo) {
    struct Row {
        const char* name;
        std::int64_t (*sleepLength)(std::int64_t);
        std::int64_t wait;
    } rows[] = {
        {"an hour, sleeps on time", OnTime, 3600 * 1000 * kMillisecond},
        {"five seconds, late sleeps", Late60us, 5000 * kMillisecond},
        {"half a millisecond, coarse sleeps", Coarse, kMillisecond / 2},
        {"a moment already past", OnTime, -kMillisecond},
        {"ten seconds, sleeps that end a tick early", Early, 10000 * kMillisecond},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::sleepLength = row.sleepLength;
        const std::int64_t until = Fake::now + row.wait;
        WaitUntil(until);
        EXPECT_GE(Fake::now, until) << row.name;
        EXPECT_LE(Fake::now, std::max(until, std::int64_t{0}) + 1200000) << row.name;
    }
}

// A long wait is slept, not spun: the clock is read a few times per
// sleep, and the sleeps make up nearly all of it.
TEST(WaitUntil, SleepsThroughLongWaits) {
    for (const std::int64_t seconds : {1, 5, 60}) {
        Fake::Reset();
        Fake::clockStep = 1000;
        WaitUntil(Fake::now + seconds * 1000 * kMillisecond);
        std::int64_t slept = 0;
        for (const std::int64_t microseconds : Fake::sleeps) slept += microseconds * 1000;
        EXPECT_GE(slept, seconds * 1000 * kMillisecond * 999 / 1000) << seconds << " s";
        EXPECT_LE(Fake::sleeps.size(), static_cast<std::size_t>(seconds * 10 + 2)) << seconds << " s";
    }
}

TEST(WaitUntil, StopsAsSoonAsAskedTo) {
    Fake::Reset();
    static int asked;
    asked = 0;
    const bool reached = WaitUntil(Fake::now + 3600LL * 1000 * kMillisecond, [] { return ++asked > 3; });
    EXPECT_FALSE(reached);
    EXPECT_LE(Fake::now, 400 * kMillisecond) << "it slept on after being asked to stop";
}

}  // namespace
