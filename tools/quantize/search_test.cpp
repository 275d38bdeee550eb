#include "search.h"

#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
    static int cached(pixel c) { return ppm_lookupcolor(quantize::cht, &c); }
};

struct NearestCase {
    const char *what;
    std::initializer_list<pixel> map;
    pixel color;
    sample maxval;
    int expected;
};

TEST_F(Search, FindsTheFirstEntryOfLeastDistance) {
    const NearestCase cases[] = {
        {"equidistant: lowest index", {{0, 0, 0}, {10, 10, 10}}, {5, 5, 5}, 255, 0},
        {"duplicates: lowest index", {{9, 9, 9}, {7, 7, 7}, {7, 7, 7}}, {7, 7, 7}, 255, 1},
        {"nearest last", {{0, 0, 0}, {3, 3, 3}, {2, 2, 2}}, {2, 2, 1}, 255, 2},
        {"8-bit: 4 against 0", {{2, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 255, 1},
        {"16-bit: 4 / 16 = 0 ties with 0", {{2, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 65535, 0},
        {"16-bit: 16 / 16 = 1 against 0", {{4, 0, 0}, {0, 0, 0}}, {0, 0, 0}, 65535, 1},
        {"maxval 256 scales: each square / 16", {{3, 3, 3}, {0, 0, 0}}, {0, 0, 0}, 256, 0},
        {"differences above 46340", {{50000, 0, 0}, {40000, 40000, 0}}, {0, 0, 0}, 65535, 0},
        {"16-bit extremes", {{65535, 65535, 65535}, {0, 0, 0}}, {0, 0, 1}, 65535, 1},
    };
    for (const NearestCase &c : cases) {
        int index = -1;
        quantize::searchColormap(colormap(c.map).data(), static_cast<int>(c.map.size()), c.color.r,
                                 c.color.g, c.color.b, c.maxval, &index);
        EXPECT_EQ(index, c.expected) << c.what;
    }
}

TEST_F(Search, ConvertRowAsksTheCacheFirstAndStopsFillingItWhenRefused) {
    const auto map = colormap({{0, 0, 0}, {200, 200, 200}, {100, 0, 0}});
    // A planted answer that a search would never give proves the lookup.
    const pixel planted{1, 1, 1};
    ppm_addtocolorhash(quantize::cht, &planted, 2);
    std::vector<pixel> row{{1, 1, 1}, {150, 150, 150}, {1, 1, 1}};
    quantize::convertRow(row.data(), 3, 255, map.data(), 3, 0, nullptr);
    EXPECT_THAT(row, ElementsAre(pixel{100, 0, 0}, pixel{200, 200, 200}, pixel{100, 0, 0}));
    EXPECT_EQ(cached({150, 150, 150}), 1);

    quantize::usehash = 0;  // as after a refused entry: still asked, not filled
    row = {{1, 1, 1}, {5, 5, 5}};
    quantize::convertRow(row.data(), 2, 255, map.data(), 3, 0, nullptr);
    EXPECT_THAT(row, ElementsAre(pixel{100, 0, 0}, pixel{0, 0, 0}));
    EXPECT_EQ(cached({5, 5, 5}), -1);

    // No columns or no colours: nothing to do, nothing read.
    quantize::convertRow(row.data(), 0, 255, map.data(), 3, 0, nullptr);
    quantize::convertRow(row.data(), 2, 255, map.data(), 0, 0, nullptr);
    EXPECT_THAT(row, ElementsAre(pixel{100, 0, 0}, pixel{0, 0, 0}));
}

TEST_F(Search, DitheredRowsAlternateDirection) {
    const auto map = colormap({{0, 0, 0}, {255, 255, 255}});
    quantizetest::ErrorRows e(3);
    // Left to right: 100 -> 0 pushes +43 on, 143 -> 255 pushes -49 on,
    // 200 - 49 = 151 -> 255 pushes -104 down.
    std::vector<pixel> row{{100, 100, 100}, {100, 100, 100}, {200, 200, 200}};
    quantize::convertRow(row.data(), 3, 255, map.data(), 2, 1, &e.fs);
    EXPECT_THAT(row, ElementsAre(pixel{0, 0, 0}, pixel{255, 255, 255}, pixel{255, 255, 255}));
    EXPECT_EQ(e.fs.left_to_right, 0);
    EXPECT_EQ(cached({143, 143, 143}), 1);  // the adjusted colour, not the one read
    // The row spread below is now the current one: 3/16, 5/16 and 1/16 of
    // +100, -112 and -104 steps (1024 each).
    EXPECT_THAT(std::vector<std::int32_t>(e.fs.this_red_err, e.fs.this_red_err + 5),
                ElementsAre(19200, 32000 - 21504, 6400 - 35840 - 19968, -7168 - 33280, -6656));

    // The same pixels right to left, from zero errors: 200 -> 255 pushes
    // -24 left, 76 -> 0 pushes +33 left, 133 -> 255.
    quantizetest::ErrorRows back(3);
    back.fs.left_to_right = 0;
    row = {{100, 100, 100}, {100, 100, 100}, {200, 200, 200}};
    quantize::convertRow(row.data(), 3, 255, map.data(), 2, 1, &back.fs);
    EXPECT_THAT(row, ElementsAre(pixel{255, 255, 255}, pixel{0, 0, 0}, pixel{255, 255, 255}));
    EXPECT_EQ(back.fs.left_to_right, 1);
}

}  // namespace
