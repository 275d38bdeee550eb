#include "search.h"

#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "quantize_testutil.h"

namespace {

using ::testing::ElementsAre;

std::vector<color_count> colormap(std::initializer_list<pixel> colors) {
    std::vector<color_count> map;
    for (const pixel &c : colors)
        map.push_back(color_count{c, 0});
    return map;
}

// Each test starts with an empty cache in use, as the driver sets it up.
class Search : public ::testing::Test {
protected:
    void SetUp() override {
        quantize::cht = ppm_alloccolorhash();
        quantize::usehash = 1;
    }
    void TearDown() override {
        ppm_freecolorhash(quantize::cht);
        quantize::cht = nullptr;
    }
    static int nearest(const std::vector<color_count> &map, pixel c, sample maxval) {
        int index = -1;
        quantize::searchColormap(map.data(), static_cast<int>(map.size()), c.r, c.g, c.b, maxval,
                                 &index);
        return index;
    }
};

struct NearestCase {
    const char *what;
    std::vector<pixel> map;
    pixel color;
    sample maxval;
    int expected;
};

TEST_F(Search, FindsTheFirstEntryOfLeastDistance) {
    const NearestCase cases[] = {
        {"equidistant: lowest index", {{0, 0, 0}, {10, 10, 10}}, {5, 5, 5}, 255, 0},
        {"duplicate entries: lowest index", {{9, 9, 9}, {7, 7, 7}, {7, 7, 7}}, {7, 7, 7}, 255, 1},
        {"nearest last", {{0, 0, 0}, {3, 3, 3}, {2, 2, 2}}, {2, 2, 1}, 255, 2},
        {"8-bit: 4 against 0", {{2, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 255, 1},
        {"16-bit: 4 / 16 = 0 ties with 0", {{2, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 65535, 0},
        {"16-bit: 16 / 16 = 1 against 0", {{4, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 65535, 1},
        {"16-bit differences above 46340", {{0, 0, 0}, {65535, 65535, 65535}}, {40000, 40000, 40000}, 65535, 1},
        {"16-bit extremes", {{65535, 65535, 65535}, {0, 0, 0}}, {0, 0, 1}, 65535, 1},
        {"single entry", {{1, 2, 3}}, {255, 0, 255}, 255, 0},
        {"maxval 256 scales", {{3, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 256, 0},
    };
    for (const NearestCase &c : cases) {
        std::vector<color_count> map;
        for (const pixel &p : c.map)
            map.push_back(color_count{p, 0});
        EXPECT_EQ(nearest(map, c.color, c.maxval), c.expected) << c.what;
    }
}

TEST(ColorDistance, ScaledFormDividesEachSquareBeforeAdding) {
    EXPECT_EQ(quantize::colorDistance({0, 0, 0}, {3, 3, 3}, 255), 27u);
    EXPECT_EQ(quantize::colorDistance({0, 0, 0}, {3, 3, 3}, 256), 0u);
    EXPECT_EQ(quantize::colorDistance({0, 0, 0}, {65535, 65535, 65535}, 65535),
              3u * (65535ull * 65535ull / 16));
    EXPECT_EQ(quantize::sqr(-46341), 2147488281u);
}

TEST_F(Search, AgreesWithABruteForceScanOnRandomMaps) {
    std::mt19937 rng(11);
    for (sample maxval : {sample(15), sample(255), sample(1000), sample(65535)}) {
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<color_count> map(1 + rng() % 20);
            for (auto &e : map)
                e.color = pixel{sample(rng() % (maxval + 1)), sample(rng() % (maxval + 1)),
                                sample(rng() % (maxval + 1))};
            map[rng() % map.size()].color = map[0].color;  // a duplicate
            const pixel c{sample(rng() % (maxval + 1)), sample(rng() % (maxval + 1)),
                          sample(rng() % (maxval + 1))};
            int expected = 0;
            for (size_t i = 1; i < map.size(); ++i)
                if (quantize::colorDistance(c, map[i].color, maxval) <
                    quantize::colorDistance(c, map[expected].color, maxval))
                    expected = static_cast<int>(i);
            ASSERT_EQ(nearest(map, c, maxval), expected);
        }
    }
}

TEST_F(Search, RemembersEachAnswerWhileTheCacheIsInUse) {
    const auto map = colormap({{0, 0, 0}, {200, 200, 200}});
    nearest(map, {150, 150, 150}, 255);
    const pixel seen{150, 150, 150};
    EXPECT_EQ(ppm_lookupcolor(quantize::cht, &seen), 1);

    quantize::usehash = 0;
    nearest(map, {10, 10, 10}, 255);
    const pixel unseen{10, 10, 10};
    EXPECT_EQ(ppm_lookupcolor(quantize::cht, &unseen), -1);
}

TEST_F(Search, ConvertRowAnswersFromTheCacheBeforeSearching) {
    const auto map = colormap({{0, 0, 0}, {250, 250, 250}, {100, 0, 0}});
    // A planted answer that a search would never give proves the lookup.
    const pixel planted{1, 1, 1};
    ppm_addtocolorhash(quantize::cht, &planted, 2);
    quantize::usehash = 0;  // the cache keeps answering after caching stops
    std::vector<pixel> row{{1, 1, 1}, {240, 240, 240}, {1, 1, 1}, {5, 5, 5}};
    quantize::convertRow(row.data(), 4, 255, map.data(), 3, 0, nullptr);
    EXPECT_THAT(row, ElementsAre(pixel{100, 0, 0}, pixel{250, 250, 250}, pixel{100, 0, 0},
                                 pixel{0, 0, 0}));
    const pixel searched{240, 240, 240};
    EXPECT_EQ(ppm_lookupcolor(quantize::cht, &searched), -1);
}

TEST_F(Search, ConvertRowLeavesEmptyRowsAndMapsAlone) {
    const auto map = colormap({{0, 0, 0}});
    std::vector<pixel> row{{9, 9, 9}};
    quantize::convertRow(row.data(), 0, 255, map.data(), 1, 0, nullptr);
    quantize::convertRow(row.data(), 1, 255, map.data(), 0, 0, nullptr);
    EXPECT_EQ(row[0], (pixel{9, 9, 9}));
}

// A state over test-owned arrays with every error 0.
struct ZeroErrors {
    explicit ZeroErrors(int cols) {
        for (auto &a : arrays)
            a.assign(cols + 2, 0);
        fs = quantize::fserr_state{arrays[0].data(), arrays[1].data(), arrays[2].data(),
                                   arrays[3].data(), arrays[4].data(), arrays[5].data(), 1};
    }
    std::vector<std::int32_t> arrays[6];
    quantize::fserr_state fs;
};

TEST_F(Search, DitheredRowsAlternateDirection) {
    const auto map = colormap({{0, 0, 0}, {255, 255, 255}});
    ZeroErrors e(3);
    // Left to right: 100 -> 0 pushes +43 on, 143 -> 255 pushes -49 on,
    // 200 - 49 = 151 -> 255 pushes -104 down.
    std::vector<pixel> row{{100, 100, 100}, {100, 100, 100}, {200, 200, 200}};
    quantize::convertRow(row.data(), 3, 255, map.data(), 2, 1, &e.fs);
    EXPECT_THAT(row, ElementsAre(pixel{0, 0, 0}, pixel{255, 255, 255}, pixel{255, 255, 255}));
    EXPECT_EQ(e.fs.left_to_right, 0);
    // The cache holds the adjusted colour, not the pixel as read.
    const pixel adjusted{143, 143, 143};
    EXPECT_EQ(ppm_lookupcolor(quantize::cht, &adjusted), 1);
    // What the row spread below it is now the current row's error:
    // 3/16, 5/16 and 1/16 of +100, -112 and -104 steps (1024 each).
    EXPECT_THAT(std::vector<std::int32_t>(e.fs.this_red_err, e.fs.this_red_err + 5),
                ElementsAre(19200, 32000 - 21504, 6400 - 35840 - 19968, -7168 - 33280, -6656));

    // The same pixels right to left, from zero errors: 200 -> 255 pushes
    // -24 left, 76 -> 0 pushes +33 left, 133 -> 255.
    ZeroErrors back(3);
    back.fs.left_to_right = 0;
    row = {{100, 100, 100}, {100, 100, 100}, {200, 200, 200}};
    quantize::convertRow(row.data(), 3, 255, map.data(), 2, 1, &back.fs);
    EXPECT_THAT(row, ElementsAre(pixel{255, 255, 255}, pixel{0, 0, 0}, pixel{255, 255, 255}));
    EXPECT_EQ(back.fs.left_to_right, 1);
}

}  // namespace
