#include "mediancut.h"

#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "quantize_testutil.h"

namespace {

using ::testing::ElementsAre;
using quantize::color_box;
using quantize::mediancut;
using quantizetest::colorsOf;
using quantizetest::histogram;

constexpr pixel kBlack{0, 0, 0};

// The colour map of n entries that the median cut makes from the histogram.
std::vector<pixel> cut(std::vector<color_count> hist, sample maxval, int n) {
    int sum = 0;
    for (const auto &e : hist)
        sum += e.value;
    color_histogram map = mediancut(hist.data(), static_cast<int>(hist.size()), sum, maxval, n);
    std::vector<pixel> colors = colorsOf(map, n);
    ppm_freecolorhist(map);
    return colors;
}

TEST(MedianCut, SingleColourIsFollowedByBlackEntries) {
    EXPECT_THAT(cut(histogram({{{40, 50, 60}, 7}}), 255, 4),
                ElementsAre(pixel{40, 50, 60}, kBlack, kBlack, kBlack));
}

TEST(MedianCut, EnoughBoxesGiveEveryColourOnceMostPixelsFirst) {
    // Sorted by green, stable: red(g 0), blue(g 0), green(g 255); half of 9
    // is 4, reached by red alone. The second cut splits blue from green.
    EXPECT_THAT(cut(histogram({{{255, 0, 0}, 5}, {{0, 255, 0}, 3}, {{0, 0, 255}, 1}}), 255, 5),
                ElementsAre(pixel{255, 0, 0}, pixel{0, 255, 0}, pixel{0, 0, 255}, kBlack, kBlack));
}

TEST(MedianCut, CutStopsOneEntryBeforeTheEndOfTheRun) {
    // Counts 1, 1, 10 along red: lower grows to 2 and stops at i = 2.
    EXPECT_THAT(cut(histogram({{{0, 0, 0}, 1}, {{10, 0, 0}, 1}, {{200, 0, 0}, 10}}), 255, 2),
                ElementsAre(pixel{200, 0, 0}, pixel{5, 0, 0}));
    // Counts 10, 1, 1: the first entry alone reaches half.
    EXPECT_THAT(cut(histogram({{{0, 0, 0}, 10}, {{10, 0, 0}, 1}, {{200, 0, 0}, 1}}), 255, 2),
                ElementsAre(pixel{0, 0, 0}, pixel{105, 0, 0}));
}

TEST(MedianCut, BoxesOfEqualPixelCountsKeepTheirOrder) {
    // (10)x3 + (11)x1 make the lower box of 4 pixels, (200)x4 the upper one.
    EXPECT_THAT(cut(histogram({{{200, 0, 0}, 4}, {{11, 0, 0}, 1}, {{10, 0, 0}, 3}}), 255, 2),
                ElementsAre(pixel{10, 0, 0}, pixel{200, 0, 0}));
}

TEST(MedianCut, MeanIsWeightedByPixelCountAndTruncates) {
    // Black and white share the box left after the heavy colour is cut off.
    EXPECT_THAT(cut(histogram({{{0, 0, 0}, 1}, {{255, 255, 255}, 1}, {{128, 255, 128}, 10}}), 255, 2),
                ElementsAre(pixel{128, 255, 128}, pixel{127, 127, 127}));
}

TEST(MedianCut, MeansOfSixteenBitColoursDoNotOverflow) {
    // 200000 pixels near 65535 sum to far more than 2^31.
    EXPECT_THAT(cut(histogram({{{65535, 65535, 65535}, 100000},
                               {{65533, 65533, 65533}, 100000},
                               {{0, 0, 0}, 300000}}),
                    65535, 2),
                ElementsAre(pixel{0, 0, 0}, pixel{65534, 65534, 65534}));
}

TEST(MedianCut, MeanAboveMaxvalIsCutToMaxval) {
    // Two boxes of 2 pixels each: the lower one along red stays first.
    EXPECT_THAT(cut(histogram({{{200, 5, 300}, 2}, {{0, 0, 0}, 2}}), 100, 2),
                ElementsAre(kBlack, pixel{100, 5, 100}));
}

// Three colours whose order along red differs from their order along green:
// sorted by red the cut gives {A} and {C, B}; sorted by green, {B} and {C, A}.
struct ComponentCase {
    const char *name;
    pixel a, b, c;
    sample maxval;
    std::vector<pixel> expected;
    friend void PrintTo(const ComponentCase &c, std::ostream *os) { *os << c.name; }
};

class SortComponent : public ::testing::TestWithParam<ComponentCase> {};

TEST_P(SortComponent, FollowsTheWidestWeightedExtent) {
    const ComponentCase &t = GetParam();
    EXPECT_EQ(cut(histogram({{t.a, 5}, {t.b, 5}, {t.c, 1}}), t.maxval, 2), t.expected);
}

INSTANTIATE_TEST_SUITE_P(
    MedianCut, SortComponent,
    ::testing::Values(
        // Extents 100, 50, 255 weigh 29.89, 29.33, 29.1975: red.
        ComponentCase{"red", {0, 50, 128}, {100, 0, 0}, {50, 25, 255}, 255,
                      {{91, 4, 42}, {0, 50, 128}}},
        // Green 51 weighs 29.9166: green.
        ComponentCase{"green", {0, 51, 128}, {100, 0, 0}, {50, 25, 255}, 255,
                      {{8, 46, 149}, {100, 0, 0}}},
        // 838 * 0.2989 and 427 * 0.5866 differ in double but not in single
        // precision: the tie goes to red.
        ComponentCase{"single precision tie", {0, 427, 0}, {838, 0, 0}, {400, 200, 0}, 65535,
                      {{765, 33, 0}, {0, 427, 0}}},
        // 1145 * 0.5866 equals 5866 * 0.1145: the tie goes to green, whose
        // order puts B first.
        ComponentCase{"green over blue", {0, 1145, 0}, {0, 0, 5866}, {0, 500, 3000}, 65535,
                      {{0, 1037, 500}, {0, 0, 5866}}}),
    [](const ::testing::TestParamInfo<ComponentCase> &info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(MedianCut, ColoursEqualInTheSortComponentKeepTheirOrder) {
    // 40 colours of red 0 in a scrambled green order, then a heavy red one:
    // the cut falls after the 25th entry of the red-0 run, so which greens
    // end up in the lower box depends on the sort keeping their order.
    std::vector<color_count> hist;
    for (int i = 0; i < 40; ++i)
        hist.push_back(color_count{pixel{0, sample((i * 7) % 40 * 2), 0}, 1});
    hist.push_back(color_count{pixel{255, 0, 0}, 10});
    sample lowerGreen = 0, upperGreen = 0;
    for (int i = 0; i < 40; ++i)
        (i < 25 ? lowerGreen : upperGreen) += hist[i].color.g;
    EXPECT_THAT(cut(hist, 255, 2),
                ElementsAre(pixel{0, lowerGreen / 25, 0}, pixel{2550 / 25, upperGreen / 25, 0}));
}

TEST(MedianCut, EmptyHistogramGivesBlackWithoutDividingByZero) {
    EXPECT_THAT(cut({}, 255, 3), ElementsAre(kBlack, kBlack, kBlack));
}

TEST(MedianCut, TwoColoursMakeExactlyOneCut) {
    std::vector<pixel> map = cut(histogram({{{1, 2, 3}, 2}, {{9, 9, 9}, 1}, {{200, 0, 0}, 5}}), 255, 2);
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0], (pixel{200, 0, 0}));
}

TEST(MedianCut, StableResortMatchesAFullStableSort) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const int count = 2 + static_cast<int>(rng() % 40);
        std::vector<color_box> boxes(count);
        // Few distinct counts, so that ties are common.
        for (int i = 0; i < count; ++i)
            boxes[i] = color_box{i, 1, static_cast<int>(rng() % 8)};
        std::stable_sort(boxes.begin(), boxes.end() - 1, [](const color_box &a, const color_box &b) {
            return quantize::sumcompare(a, b) < 0;
        });
        const int cutAt = static_cast<int>(rng() % (count - 1));
        boxes[cutAt].pixel_count = static_cast<int>(rng() % (boxes[cutAt].pixel_count + 1));

        std::vector<color_box> expected = boxes;
        std::stable_sort(expected.begin(), expected.end(), [](const color_box &a, const color_box &b) {
            return quantize::sumcompare(a, b) < 0;
        });
        quantize::resortBoxesAfterCut(boxes.data(), count, cutAt);
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(boxes[i].first_entry, expected[i].first_entry) << "trial " << trial << " at " << i;
            ASSERT_EQ(boxes[i].pixel_count, expected[i].pixel_count);
        }
    }
}

TEST(MallocProduct, RefusesProductsBeyondThirtyTwoBits) {
    void *p = reinterpret_cast<void *>(1);
    quantize::mallocProduct(&p, 268435456u, 16u);
    EXPECT_EQ(p, nullptr);
    quantize::mallocProduct(&p, 1000u, 16u);
    EXPECT_NE(p, nullptr);
    free(p);
}

TEST(MedianCutDeath, ColourMapBeyondThirtyTwoBitsIsOutOfMemory) {
    std::vector<color_count> hist = histogram({{{1, 2, 3}, 1}});
    EXPECT_EXIT(
        {
            pm_init("quantize", 0);
            mediancut(hist.data(), 1, 1, 255, 2147483647);
        },
        ::testing::ExitedWithCode(1), ::testing::Eq("quantize: out of memory\n"));
}

}  // namespace
