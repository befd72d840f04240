#include <gtest/gtest.h>

#include <algorithm>

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
        std::size_t mostLoose;    // pauses over a millisecond by more than 5 us
    } rows[] = {
        {"sleeps wake on time", OnTime, 200, 200, 0},
        {"sleeps wake 60 us late", Late60us, 200, 200, 0},
        {"a late wake-up now and then does not stop the sleeping", NowAndThen, 150, 200, 10},
        {"sleeps are coarse", Coarse, 0, 10, 10},
        {"a spell of late wake-ups passes", LateSpell, 200, 200, 0},
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
            if (pause >= 2800 && length > kMillisecond + 5000) ++loose;
        }
        const std::size_t sleeps = Fake::sleeps.size() - sleepsBefore;
        EXPECT_GE(shortest, kMillisecond) << row.name;
        EXPECT_GE(sleeps, row.leastSleeps) << row.name;
        EXPECT_LE(sleeps, row.mostSleeps) << row.name;
        EXPECT_LE(loose, row.mostLoose) << row.name;
    }
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

}  // namespace
