#include "board/rules.h"

#include "board/output_bits.h"

namespace {

std::size_t Index(int output) {
    return static_cast<std::size_t>(output - 1);
}

// Whether output k, asked on, must wait: another member of one of its
// groups with a dead time is still on (or on its way), or went off less
// than the dead time ago. With no dead time the others go off in the same
// transmission.
bool MustWait(const BoardRules& rules, const Plan& plan, int output, std::int64_t now) {
    const std::uint64_t bit = BitOfOutput(output, rules.outputs);
    for (const Interlock& group : rules.interlocks) {
        if (!(group.members & bit) || group.deadTimeMs == 0) continue;
        for (int other = 1; other <= rules.outputs; ++other) {
            const std::uint64_t otherBit = BitOfOutput(other, rules.outputs);
            if (other == output || !(group.members & otherBit)) continue;
            if ((plan.latched | plan.wanted | plan.sending) & otherBit) return true;
            if (plan.offSince[Index(other)] + group.deadTimeMs > now) return true;
        }
    }
    return false;
}

// When a waiting ON may go, once no other member is on: 0 while one is.
std::int64_t WaitEnds(const BoardRules& rules, const Plan& plan, int output) {
    const std::uint64_t bit = BitOfOutput(output, rules.outputs);
    std::int64_t ends = 1;
    for (const Interlock& group : rules.interlocks) {
        if (!(group.members & bit) || group.deadTimeMs == 0) continue;
        for (int other = 1; other <= rules.outputs; ++other) {
            const std::uint64_t otherBit = BitOfOutput(other, rules.outputs);
            if (other == output || !(group.members & otherBit)) continue;
            if ((plan.latched | plan.wanted | plan.sending) & otherBit) return 0;
            if (plan.offSince[Index(other)] + group.deadTimeMs > ends)
                ends = plan.offSince[Index(other)] + group.deadTimeMs;
        }
    }
    return ends;
}

}  // namespace

std::string OutputList(std::uint64_t bits, int outputs) {
    std::string list;
    for (int output = 1; output <= outputs; ++output)
        if (bits & BitOfOutput(output, outputs))
            list += (list.empty() ? "" : " and ") + std::to_string(output);
    return list;
}

Plan StartingPlan(const BoardRules& rules, std::uint64_t latched, std::int64_t now) {
    Plan plan;
    plan.latched = plan.wanted = latched;
    const std::size_t outputs = static_cast<std::size_t>(rules.outputs);
    plan.offAt.assign(outputs, 0);
    plan.onFor.assign(outputs, 0);
    plan.offSince.assign(outputs, now);
    return plan;
}

Wish WishOfChanges(const Plan& plan, const std::vector<Change>& changes, int outputs) {
    Wish wish;
    std::uint64_t value = plan.wanted | plan.waitingOn, touched = 0;
    for (const Change& change : changes) {
        const std::uint64_t bits = change.output == 0 ? AllOutputs(outputs) : BitOfOutput(change.output, outputs);
        value = AppliedChange(value, change, outputs);
        touched |= bits;
        if (change.action == Switch::Pulse) {
            wish.pulse |= bits;
            wish.pulseMs = change.pulseMs;
        } else {
            wish.pulse &= ~bits;
        }
    }
    wish.on = value & touched;
    wish.off = ~value & touched;
    wish.pulse &= wish.on;
    return wish;
}

Wish WishOfValue(std::uint64_t value, int outputs) {
    Wish wish;
    wish.on = value & AllOutputs(outputs);
    wish.off = ~value & AllOutputs(outputs);
    return wish;
}

std::string InterlockConflict(const BoardRules& rules, std::uint64_t value) {
    for (const Interlock& group : rules.interlocks) {
        const std::uint64_t on = value & group.members;
        if (on & (on - 1))
            return "outputs " + OutputList(on, rules.outputs) + " are interlocked: at most one of them may be on";
    }
    return "";
}

std::string Request(const BoardRules& rules, Plan& plan, const Wish& wish, std::int64_t now) {
    const std::string conflict = InterlockConflict(rules, wish.on);
    if (!conflict.empty()) return conflict;
    std::uint64_t off = wish.off;
    for (const Interlock& group : rules.interlocks)
        if (group.members & wish.on) off |= group.members & ~wish.on;
    const std::uint64_t asked = ((plan.wanted | plan.waitingOn) & ~off) | wish.on;
    plan.waitingOn &= ~off & ~wish.on;

    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        const std::size_t k = Index(output);
        if (off & bit) plan.onFor[k] = 0;
        if (!(wish.on & bit)) continue;
        std::int64_t length = wish.pulse & bit ? wish.pulseMs : 0;
        const std::int64_t autoOff = rules.autoOffMs.empty() ? 0 : rules.autoOffMs[k];
        if (autoOff > 0 && (length == 0 || autoOff < length)) length = autoOff;
        if (wish.pulse & bit)
            plan.pulsing |= bit;
        else
            plan.pulsing &= ~bit;
        // On at the register and staying on: its time runs from now.
        const bool stayingOn = plan.latched & plan.wanted & bit;
        plan.offAt[k] = length > 0 && stayingOn ? now + length : 0;
        plan.onFor[k] = length > 0 && !stayingOn ? length : 0;
    }
    plan.wanted = asked;
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        if ((wish.on & bit) && MustWait(rules, plan, output, now)) plan.waitingOn |= bit;
    }
    plan.wanted &= ~plan.waitingOn;
    return "";
}

void Due(const BoardRules& rules, Plan& plan, std::int64_t now) {
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        const std::size_t k = Index(output);
        if (plan.offAt[k] != 0 && plan.offAt[k] <= now) {
            plan.wanted &= ~bit;
            plan.waitingOn &= ~bit;
            plan.onFor[k] = 0;
        }
    }
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        if ((plan.waitingOn & bit) && !MustWait(rules, plan, output, now)) {
            plan.waitingOn &= ~bit;
            plan.wanted |= bit;
        }
    }
}

std::int64_t NextDue(const BoardRules& rules, const Plan& plan) {
    std::int64_t next = 0;
    const auto consider = [&next](std::int64_t at) {
        if (at != 0 && (next == 0 || at < next)) next = at;
    };
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        if (plan.wanted & bit) consider(plan.offAt[Index(output)]);
        if (plan.waitingOn & bit) consider(WaitEnds(rules, plan, output));
    }
    return next;
}

void Latched(const BoardRules& rules, Plan& plan, std::uint64_t value, std::int64_t end) {
    const std::uint64_t settled = ~value & ~plan.wanted & ~plan.waitingOn;
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::uint64_t bit = BitOfOutput(output, rules.outputs);
        const std::size_t k = Index(output);
        if (plan.latched & ~value & bit) plan.offSince[k] = end;
        if (settled & bit) plan.offAt[k] = plan.onFor[k] = 0;
        if ((value & bit) && plan.onFor[k] > 0 && plan.offAt[k] == 0) {
            plan.offAt[k] = end + plan.onFor[k];
            plan.onFor[k] = 0;
        }
    }
    plan.pulsing &= ~settled;
    plan.latched = value;
}

void Failed(Plan& plan) {
    const std::uint64_t off = ~plan.latched;
    for (std::size_t k = 0; k < plan.offAt.size(); ++k) {
        const std::uint64_t bit = std::uint64_t{1} << (plan.offAt.size() - 1 - k);
        if (off & bit) plan.offAt[k] = plan.onFor[k] = 0;
    }
    plan.pulsing &= plan.latched;
    plan.wanted = plan.latched;
    plan.waitingOn = 0;
}

std::uint64_t RecordedValue(const Plan& plan) {
    return plan.latched & ~plan.pulsing;
}
