// A board's rules, in one place for every door: interlocks, auto-off and
// pulses that always end. Whoever asks (a request, the power-on state, a
// pulse's end, an auto-off, the re-send after an adapter came back), the
// writer hands the wish to Request, lets Due apply what time brings,
// transmits Plan::wanted and reports the outcome with Latched or Failed.
// Times are milliseconds on one steady clock that the caller chooses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/changes.h"

// At most one member of a group is ever on; a member comes on no sooner
// than deadTimeMs after another member was latched off.
struct Interlock {
    std::uint64_t members = 0;
    std::int64_t deadTimeMs = 0;
};

struct BoardRules {
    int outputs = 8;
    std::vector<Interlock> interlocks;
    std::vector<std::int64_t> autoOffMs;  // by output, output 1 first; 0: none
};

// The longest auto-off: seven days.
constexpr std::int64_t kLongestAutoOffMs = 7LL * 24 * 3600 * 1000;

// What is latched and what is pending, per output a bit of each mask.
struct Plan {
    std::uint64_t latched = 0;    // what the last good transmission left on the outputs
    std::uint64_t wanted = 0;     // what the next transmission carries
    std::uint64_t waitingOn = 0;  // ONs held back until a dead time has passed
    std::uint64_t pulsing = 0;    // a pulse's output until its OFF is latched: never recorded as on
    std::uint64_t sending = 0;    // what a transmission under way carries (the writer sets it): may be latched yet
    std::vector<std::int64_t> offAt;     // when it goes off by itself (pulse end, auto-off); 0: never
    std::vector<std::int64_t> onFor;     // how long it stays on once its ON is latched; 0: for good
    std::vector<std::int64_t> offSince;  // when the transmission that latched it off ended
};

// A plan for a register that holds `latched`, every output off since `now`
// as far as the dead times go (a restart does not know better).
Plan StartingPlan(const BoardRules& rules, std::uint64_t latched, std::int64_t now);

// What one request asks: outputs on, outputs off, the others left alone;
// of the outputs asked on, those in `pulse` for pulseMs only.
struct Wish {
    std::uint64_t on = 0;
    std::uint64_t off = 0;
    std::uint64_t pulse = 0;
    std::int64_t pulseMs = 0;
};

// The changes applied in order to what is asked so far (wanted and
// waiting): toggles read that, and a later change of an output wins.
Wish WishOfChanges(const Plan& plan, const std::vector<Change>& changes, int outputs);
Wish WishOfValue(std::uint64_t value, int outputs);

// "" or why a value may never be latched: two members of a group on.
std::string InterlockConflict(const BoardRules& rules, std::uint64_t value);

// The outputs whose bits are set, for messages: "1 and 2".
std::string OutputList(std::uint64_t bits, int outputs);

// Takes the wish into the plan: the other members of the groups of each
// output asked on are switched off, an ON that a dead time holds back
// waits in waitingOn, pulses and auto-offs get their lengths. Returns ""
// or the conflict (two members of a group asked on), leaving plan as it was.
std::string Request(const BoardRules& rules, Plan& plan, const Wish& wish, std::int64_t now);

// What time has brought by now: the OFF of every pulse and auto-off that
// is due, the ON of every output whose dead time has passed.
void Due(const BoardRules& rules, Plan& plan, std::int64_t now);

// When Due next has something to do, or 0 for nothing that time alone
// brings (a waiting ON may still wait for a transmission).
std::int64_t NextDue(const BoardRules& rules, const Plan& plan);

// A transmission of value ended well at `end`: pulses and auto-offs start
// their time, and an output's pending end is forgotten only now that its
// OFF is latched.
void Latched(const BoardRules& rules, Plan& plan, std::uint64_t value, std::int64_t end);

// A transmission failed: what was on its way is dropped (the register is
// taken to hold what was last latched), waiting ONs and pulses that never
// came on are forgotten, and every pending end is kept, so that the next
// transmission carries the OFF of each one that is due.
void Failed(Plan& plan);

// What the record keeps: the latched value without pulses, and the
// auto-off deadline of each output it has on.
std::uint64_t RecordedValue(const Plan& plan);
