#include "floyd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "quantize_testutil.h"

namespace {

using ::testing::Each;
using quantizetest::ErrorRows;

struct AdjustCase {
    sample value;
    std::int32_t error;
    sample expected;
};

TEST(FloydAdjust, AddsTheErrorTruncatedAndClamped) {
    const AdjustCase cases[] = {
        {10, -1023, 10}, {10, -1024, 9},   {10, 1023, 10},        {10, 2048, 12},
        {0, -5000, 0},   {255, 5000, 255}, {250, 10 * 1024, 255}, {3, -4 * 1024, 0},
    };
    for (const AdjustCase &c : cases) {
        ErrorRows s(3);
        s.fs.this_red_err[2] = c.error;  // column 1
        s.fs.this_green_err[2] = -c.error;
        s.fs.this_blue_err[1] = c.error;  // column 0's: not read
        pixel p{c.value, 100, 7};
        quantize::floydAdjustColor(&p, 255, &s.fs, 1);
        EXPECT_EQ(p, (pixel{c.expected, static_cast<sample>(100 - c.error / 1024), 7}))
            << c.value << " with " << c.error;
    }
}

struct PropagateCase {
    int cols, leftToRight, col;
    sample from, to;
    std::vector<std::int32_t> thisRed, nextRed;
};

TEST(FloydPropagate, SharesGoAheadAndBelowIntoTheGuardSlots) {
    const PropagateCase cases[] = {
        {4, 1, 1, 100, 90, {0, 0, 0, 4480, 0, 0}, {0, 1920, 3200, 640, 0, 0}},
        {4, 0, 2, 100, 90, {0, 0, 4480, 0, 0, 0}, {0, 0, 640, 3200, 1920, 0}},
        {1, 1, 0, 20, 10, {0, 0, 4480}, {1920, 3200, 640}},
        {1, 0, 0, 10, 20, {-4480, 0, 0}, {-640, -3200, -1920}},
    };
    for (const PropagateCase &c : cases) {
        ErrorRows s(c.cols);
        s.fs.left_to_right = c.leftToRight;
        // Green errs the other way; blue matches exactly and spreads nothing.
        quantize::floydPropagateErr(&s.fs, c.col, c.from, c.to, 7, c.to, c.from, 7);
        EXPECT_EQ(s.arrays[0], c.thisRed) << c.cols << " columns, to column " << c.col;
        EXPECT_EQ(s.arrays[1], c.nextRed) << c.cols << " columns, to column " << c.col;
        for (std::size_t k = 0; k < s.arrays[0].size(); ++k) {
            EXPECT_EQ(s.arrays[2][k], -s.arrays[0][k]);
            EXPECT_EQ(s.arrays[3][k], -s.arrays[1][k]);
        }
        EXPECT_THAT(s.arrays[4], Each(0));
        EXPECT_THAT(s.arrays[5], Each(0));
    }
}

TEST(FloydRows, InitRowClearsTheNextRowsAndSwitchTradesThemAndTurns) {
    ErrorRows s(2);
    for (auto &a : s.arrays)
        a.assign(a.size(), 9);
    quantize::floydInitRow(&s.fs, 2);
    for (int k = 0; k < 6; ++k)
        EXPECT_THAT(s.arrays[k], Each(k % 2 ? 0 : 9));

    const quantize::fserr_state before = s.fs;
    quantize::floydSwitchDir(&s.fs);
    EXPECT_EQ(s.fs.this_red_err, before.next_red_err);
    EXPECT_EQ(s.fs.next_red_err, before.this_red_err);
    EXPECT_EQ(s.fs.this_green_err, before.next_green_err);
    EXPECT_EQ(s.fs.next_blue_err, before.this_blue_err);
    EXPECT_EQ(s.fs.left_to_right, 0);
    quantize::floydSwitchDir(&s.fs);
    EXPECT_EQ(s.fs.this_red_err, before.this_red_err);
    EXPECT_EQ(s.fs.left_to_right, 1);
}

TEST(FloydInit, StartingErrorsVaryWithinOneStepAndTheFirstRowGoesRight) {
    quantize::fserr_state fs;
    quantize::initFserr(&fs, 500);
    EXPECT_EQ(fs.left_to_right, 1);
    for (const std::int32_t *row : {fs.this_red_err, fs.this_green_err, fs.this_blue_err}) {
        const auto [lo, hi] = std::minmax_element(row, row + 502);
        EXPECT_GE(*lo, -1024);
        EXPECT_LE(*hi, 1023);
        EXPECT_LT(*lo, *hi);
    }
    quantize::freeFserr(&fs);
}

}  // namespace
