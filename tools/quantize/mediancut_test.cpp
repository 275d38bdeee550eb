#include "mediancut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "quantize_testutil.h"

namespace {

using quantize::color_box;

// The colour map of as many entries as expected that the cut makes.
std::vector<pixel> cut(std::vector<color_count> hist, sample maxval, std::size_t n) {
    int sum = 0;
    for (const auto &e : hist)
        sum += e.value;
    color_histogram map = quantize::mediancut(hist.data(), static_cast<int>(hist.size()), sum,
                                              maxval, static_cast<int>(n));
    std::vector<pixel> colors;
    for (std::size_t i = 0; i < n; ++i)
        colors.push_back(map[i].color);
    ppm_freecolorhist(map);
    return colors;
}

struct CutCase {
    const char *what;
    std::vector<color_count> hist;
    sample maxval;
    std::vector<pixel> expected;
};

TEST(MedianCut, WorkedExamples) {
    const CutCase cases[] = {
        {"one colour, then surplus black", {{{40, 50, 60}, 7}}, 255, {{40, 50, 60}, {0, 0, 0}, {0, 0, 0}}},
        {"empty histogram: black, no division by 0", {}, 255, {{0, 0, 0}, {0, 0, 0}}},
        // Sorted by green, stably: red, blue, green; red alone reaches half
        // of 9. Boxes come most pixels first.
        {"every colour its box", {{{255, 0, 0}, 5}, {{0, 255, 0}, 3}, {{0, 0, 255}, 1}}, 255,
         {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}}},
        // The lower part grows to 2 and the cut stops one entry before the end.
        {"counts 1, 1, 10", {{{0, 0, 0}, 1}, {{10, 0, 0}, 1}, {{200, 0, 0}, 10}}, 255,
         {{200, 0, 0}, {5, 0, 0}}},
        {"counts 10, 1, 1", {{{0, 0, 0}, 10}, {{10, 0, 0}, 1}, {{200, 0, 0}, 1}}, 255,
         {{0, 0, 0}, {105, 0, 0}}},
        // Boxes of 4 pixels each keep their order; 43 / 4 truncates to 10.
        {"equal boxes, truncated mean", {{{200, 0, 0}, 4}, {{11, 0, 0}, 1}, {{10, 0, 0}, 3}}, 255,
         {{10, 0, 0}, {200, 0, 0}}},
        {"black and white mean 127", {{{0, 0, 0}, 1}, {{255, 255, 255}, 1}, {{128, 255, 128}, 10}},
         255, {{128, 255, 128}, {127, 127, 127}}},
        {"sums beyond 2^31", {{{65535, 65535, 65535}, 100000}, {{65533, 65533, 65533}, 100000},
          {{0, 0, 0}, 300000}}, 65535, {{0, 0, 0}, {65534, 65534, 65534}}},
        {"mean above maxval is cut", {{{200, 5, 300}, 2}, {{0, 0, 0}, 2}}, 100, {{0, 0, 0}, {100, 5, 100}}},
        // Three colours whose orders along red and green differ. Extents
        // 100, 50, 255 weigh 29.89, 29.33, 29.1975: red; green 51: 29.9166.
        {"red widest", {{{0, 50, 128}, 5}, {{100, 0, 0}, 5}, {{50, 25, 255}, 1}}, 255,
         {{91, 4, 42}, {0, 50, 128}}},
        {"green widest", {{{0, 51, 128}, 5}, {{100, 0, 0}, 5}, {{50, 25, 255}, 1}}, 255,
         {{8, 46, 149}, {100, 0, 0}}},
        // 838 * 0.2989 and 427 * 0.5866 tie in single precision: red wins.
        {"red over green", {{{0, 427, 0}, 5}, {{838, 0, 0}, 5}, {{400, 200, 0}, 1}}, 65535,
         {{765, 33, 0}, {0, 427, 0}}},
        // 1145 * 0.5866 equals 5866 * 0.1145: green wins.
        {"green over blue", {{{0, 1145, 0}, 5}, {{0, 0, 5866}, 5}, {{0, 500, 3000}, 1}}, 65535,
         {{0, 1037, 500}, {0, 0, 5866}}},
    };
    for (const CutCase &c : cases)
        EXPECT_EQ(cut(c.hist, c.maxval, c.expected.size()), c.expected) << c.what;
}

TEST(MedianCut, ColoursEqualInTheSortComponentKeepTheirOrder) {
    // 40 colours of red 0 in scrambled green order, then a heavy red one: the
    // cut falls after the 25th of them, so an unstable sort moves greens
    // between the boxes.
    std::vector<color_count> hist;
    sample lowerGreen = 0, upperGreen = 0;
    for (int i = 0; i < 40; ++i) {
        hist.push_back(color_count{pixel{0, sample((i * 7) % 40 * 2), 0}, 1});
        (i < 25 ? lowerGreen : upperGreen) += hist.back().color.g;
    }
    hist.push_back(color_count{pixel{255, 0, 0}, 10});
    EXPECT_EQ(cut(hist, 255, 2), (std::vector<pixel>{{0, lowerGreen / 25, 0}, {102, upperGreen / 25, 0}}));
}

TEST(MedianCut, ResortAfterACutMatchesAFullStableSort) {
    const auto byCount = [](const color_box &a, const color_box &b) { return quantize::sumcompare(a, b) < 0; };
    std::mt19937 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<color_box> boxes(2 + rng() % 40);
        for (std::size_t i = 0; i < boxes.size(); ++i)
            boxes[i] = color_box{static_cast<int>(i), 1, static_cast<int>(rng() % 8)};  // many ties
        std::stable_sort(boxes.begin(), boxes.end() - 1, byCount);
        const std::size_t at = rng() % (boxes.size() - 1);
        boxes[at].pixel_count = static_cast<int>(rng() % (boxes[at].pixel_count + 1));
        std::vector<color_box> expected = boxes;
        std::stable_sort(expected.begin(), expected.end(), byCount);
        quantize::resortBoxesAfterCut(boxes.data(), static_cast<int>(boxes.size()), static_cast<int>(at));
        for (std::size_t i = 0; i < boxes.size(); ++i)
            ASSERT_EQ(boxes[i].first_entry, expected[i].first_entry) << "trial " << trial << " at " << i;
    }
}

}  // namespace
