#include <gtest/gtest.h>

#include "window/output_boxes.h"

namespace {

TEST(OutputOfControl, NamesTheBoxAControlIsOrNone) {
    int controls[10];
    const void* const boxes[kOutputCount] = {&controls[0], &controls[1], &controls[2],
                                             &controls[3], &controls[4], &controls[5],
                                             &controls[6], &controls[7]};
    struct Row {
        const char* name;
        const void* control;
        int output;
    } rows[] = {
        {"box 1", &controls[0], 1},
        {"box 3", &controls[2], 3},
        {"box 8", &controls[7], 8},
        {"the Send button", &controls[8], 0},
        {"the port selector", &controls[9], 0},
        {"no control", nullptr, 0},
    };
    for (const Row& row : rows) EXPECT_EQ(OutputOfControl(boxes, row.control), row.output) << row.name;
}

}  // namespace
