#include "floyd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using quantize::fserr_state;

// A state over test-owned arrays, every error 0, going left to right.
struct TestState {
    explicit TestState(int cols) : slots(cols + 2) {
        for (auto &a : arrays)
            a.assign(slots, 0);
        fs = fserr_state{arrays[0].data(), arrays[1].data(), arrays[2].data(),
                         arrays[3].data(), arrays[4].data(), arrays[5].data(), 1};
    }
    std::vector<std::int32_t> thisRed() const { return {fs.this_red_err, fs.this_red_err + slots}; }
    std::vector<std::int32_t> nextRed() const { return {fs.next_red_err, fs.next_red_err + slots}; }
    int slots;
    std::vector<std::int32_t> arrays[6];
    fserr_state fs;
};

struct AdjustCase {
    sample value;
    std::int32_t error;
    sample expected;
};

TEST(FloydAdjust, AddsTheErrorTruncatedAndClamped) {
    const AdjustCase cases[] = {
        {10, -1023, 10}, {10, -1024, 9}, {10, 1023, 10}, {10, 2048, 12},
        {0, -5000, 0},   {255, 5000, 255}, {250, 10 * 1024, 255}, {3, -4 * 1024, 0},
    };
    for (const AdjustCase &c : cases) {
        TestState s(3);
        s.fs.this_red_err[2] = c.error;      // column 1
        s.fs.this_green_err[2] = -c.error;
        s.fs.this_blue_err[1] = c.error;     // column 0: not read for column 1
        pixel p{c.value, 100, 7};
        quantize::floydAdjustColor(&p, 255, &s.fs, 1);
        EXPECT_EQ(p.r, c.expected) << c.value << " with " << c.error;
        EXPECT_EQ(p.g, static_cast<sample>(100 - c.error / 1024)) << c.value << " with " << c.error;
        EXPECT_EQ(p.b, 7u);
    }
}

TEST(FloydPropagate, LeftToRightSharesGoRightAndBelow) {
    TestState s(4);
    quantize::floydPropagateErr(&s.fs, 1, 100, 50, 7, 90, 50, 7);
    EXPECT_THAT(s.thisRed(), ::testing::ElementsAre(0, 0, 0, 4480, 0, 0));
    EXPECT_THAT(s.nextRed(), ::testing::ElementsAre(0, 1920, 3200, 640, 0, 0));
    // An exact match spreads nothing.
    EXPECT_TRUE(std::all_of(s.arrays[2].begin(), s.arrays[2].end(), [](int e) { return e == 0; }));
    EXPECT_TRUE(std::all_of(s.arrays[5].begin(), s.arrays[5].end(), [](int e) { return e == 0; }));
}

TEST(FloydPropagate, RightToLeftSharesGoLeftAndBelow) {
    TestState s(4);
    s.fs.left_to_right = 0;
    quantize::floydPropagateErr(&s.fs, 2, 100, 0, 0, 90, 3, 0);
    EXPECT_THAT(s.thisRed(), ::testing::ElementsAre(0, 0, 4480, 0, 0, 0));
    EXPECT_THAT(s.nextRed(), ::testing::ElementsAre(0, 0, 640, 3200, 1920, 0));
    // A negative error of 3 steps: 7, 3, 5, 1 sixteenths of -3072.
    EXPECT_EQ(s.fs.this_green_err[2], -1344);
    EXPECT_EQ(s.fs.next_green_err[4], -576);
    EXPECT_EQ(s.fs.next_green_err[3], -960);
    EXPECT_EQ(s.fs.next_green_err[2], -192);
}

TEST(FloydPropagate, OneColumnSpillsIntoTheGuardSlots) {
    TestState s(1);
    quantize::floydPropagateErr(&s.fs, 0, 20, 0, 0, 10, 0, 0);
    EXPECT_THAT(s.thisRed(), ::testing::ElementsAre(0, 0, 4480));
    EXPECT_THAT(s.nextRed(), ::testing::ElementsAre(1920, 3200, 640));
    s.fs.left_to_right = 0;
    quantize::floydPropagateErr(&s.fs, 0, 20, 0, 0, 10, 0, 0);
    EXPECT_THAT(s.thisRed(), ::testing::ElementsAre(4480, 0, 4480));
    EXPECT_THAT(s.nextRed(), ::testing::ElementsAre(2560, 6400, 2560));
}

TEST(FloydRows, InitRowClearsTheNextRowOnlyAndSwitchTradesAndTurns) {
    TestState s(2);
    for (auto &a : s.arrays)
        std::fill(a.begin(), a.end(), 9);
    quantize::floydInitRow(&s.fs, 2);
    EXPECT_THAT(s.nextRed(), ::testing::Each(0));
    EXPECT_THAT(s.arrays[3], ::testing::Each(0));
    EXPECT_THAT(s.arrays[5], ::testing::Each(0));
    EXPECT_THAT(s.thisRed(), ::testing::Each(9));

    const fserr_state before = s.fs;
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

TEST(FloydInit, StartingErrorsAreWithinOneStepAndTheRowGoesRight) {
    fserr_state fs;
    quantize::initFserr(&fs, 500);
    EXPECT_EQ(fs.left_to_right, 1);
    int distinct = 0;
    for (int k = 0; k < 502; ++k) {
        for (std::int32_t e : {fs.this_red_err[k], fs.this_green_err[k], fs.this_blue_err[k]}) {
            EXPECT_GE(e, -1024);
            EXPECT_LE(e, 1023);
        }
        distinct += fs.this_red_err[k] != fs.this_red_err[0];
    }
    EXPECT_GT(distinct, 0);
    quantize::freeFserr(&fs);
}

}  // namespace
