// Which output box a control is. Controls all have identifier 0, so a
// notification's control handle is the only way to tell them apart.
#pragma once

constexpr int kOutputCount = 8;

// The output number (1 to 8) of the box whose handle is control, testing
// box 1 first; 0 when control is none of the boxes (the "Send" button).
template <typename Handle>
int OutputOfControl(const Handle (&boxes)[kOutputCount], Handle control) {
    for (int output = 1; output <= kOutputCount; ++output)
        if (boxes[output - 1] == control) return output;
    return 0;
}
