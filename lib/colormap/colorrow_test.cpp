#include <kestrum/colormap.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <test_support.h>

using namespace std::string_literals;

#include "colormap_internal.h"
#include "colormap_testutil.h"

namespace {

using colormaptest::Image;
using colormaptest::take;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const pixel c5{5, 5, 5}, c1{1, 1, 1}, c2{2, 2, 2};

// First occurrence order up to the limit, from memory or from a file of any format.
TEST(ColorRow, ComputedAndReadUpToTheLimit) {
    Image img({{c5, c1}, {c5, c2}}), empty(3, 0);
    for (const int maxcolors : {3, 2, 0}) {
        int ncolors = 77;
        pixel *row = ppm_computecolorrow(img.pixels(), 2, 2, maxcolors, &ncolors);
        EXPECT_EQ(ncolors, maxcolors == 3 ? 3 : -1) << maxcolors;
        EXPECT_THAT(take(row, ncolors), ElementsAreArray(maxcolors == 3 ? std::vector<pixel>{c5, c1, c2}
                                                                        : std::vector<pixel>{}));
    }
    int ncolors = 77;
    pixel *none = ppm_computecolorrow(empty.pixels(), 3, 0, 0, &ncolors);
    EXPECT_TRUE(none != nullptr && ncolors == 0);  // an empty image has an empty row, not a failure
    pm_freerow(none);
    const struct {
        std::string file;
        int maxcolors, ncolors;
        sample maxval;
        std::vector<pixel> expected;
    } files[] = {
        {"P6\n3 1\n255\n\x07\x07\x07\x08\x08\x08\x07\x07\x07"s, 2, 2, 255, {{7, 7, 7}, {8, 8, 8}}},
        {"P2\n3 1\n9\n4 0 4\n", 5, 2, 9, {{4, 4, 4}, {0, 0, 0}}},
        {"P1\n2 1\n1 0\n", 2, 2, 1, {{0, 0, 0}, {1, 1, 1}}},
        {"P3\n2 2\n15\n5 5 5  1 1 1\n5 5 5  2 2 2\n", 2, -1, 15, {}},
    };
    for (const auto &c : files) {
        FILE *f = testsupport::memoryStream(c.file);
        sample maxval = 0;
        pixel *row = ppm_mapfiletocolorrow(f, c.maxcolors, &ncolors, &maxval);
        fclose(f);
        EXPECT_EQ(ncolors, c.ncolors) << c.file;
        EXPECT_EQ(maxval, c.maxval) << c.file;
        EXPECT_THAT(take(row, ncolors), ElementsAreArray(c.expected)) << c.file;
    }
}

TEST(ColorRow, WrittenAsAPlainMapFileThatReadsBack) {
    const std::vector<pixel> row = {{1, 2, 3}, {40, 50, 60}, {255, 0, 255}};
    const std::string file = testsupport::captureOutput([&](FILE *f) { ppm_colorrowtomapfile(f, row.data(), 3, 255); });
    EXPECT_EQ(file, "P3\n3 1\n255\n1 2 3\n40 50 60\n255 0 255\n");
    FILE *in = testsupport::memoryStream(file);
    int ncolors = 0;
    sample maxval = 0;
    pixel *back = ppm_mapfiletocolorrow(in, 10, &ncolors, &maxval);
    fclose(in);
    EXPECT_THAT(take(back, ncolors), ElementsAreArray(row));
}

// A colour listed twice keeps its first index, in one entry.
TEST(ColorRow, ToHashAndAddition) {
    const pixel row[] = {{7, 7, 7}, {8, 8, 8}, {7, 7, 7}};
    color_hash cht = ppm_colorrowtocolorhash(row, 3);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[0]), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[1]), 1);
    const color_hash_entry *head = cht[ppm_colorbucket(row[0])];
    EXPECT_TRUE(head && !head->next);
    ppm_freecolorhash(cht);
    pixel colors[6] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}};
    int ncolors = 5;
    const pixel present{4, 4, 4}, fresh{9, 9, 9};
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 5, &present), 4);  // found even when full
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 5, &fresh), -1);
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 6, &fresh), 5);
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 6, &fresh), 5);
    EXPECT_EQ(ncolors, 6);
    EXPECT_EQ(colors[5], fresh);
}

int byBlueDescending(const pixel *a, const pixel *b) { return a->b == b->b ? 0 : a->b > b->b ? -1 : 1; }

TEST(ColorRow, SortedByDefaultOrderOrComparator) {
    std::vector<pixel> row = {{2, 0, 0}, {1, 9, 9}, {1, 2, 3}};
    ppm_sortcolorrow(row.data(), 3, nullptr);
    EXPECT_THAT(row, ElementsAre(pixel{1, 2, 3}, pixel{1, 9, 9}, pixel{2, 0, 0}));
    ppm_sortcolorrow(row.data(), 3, byBlueDescending);
    EXPECT_THAT(row, ElementsAre(pixel{1, 9, 9}, pixel{1, 2, 3}, pixel{2, 0, 0}));
    // Samples more than 2^31 apart still order by value.
    std::vector<pixel> wide = {{0xF0000000u, 0, 0}, {1, 0, 0}, {0x80000000u, 0, 0}, {0, 0xFFFFFFFFu, 0}};
    ppm_sortcolorrow(wide.data(), 4, nullptr);
    EXPECT_THAT(wide, ElementsAre(pixel{0, 0xFFFFFFFFu, 0}, pixel{1, 0, 0}, pixel{0x80000000u, 0, 0},
                                  pixel{0xF0000000u, 0, 0}));
}

TEST(ColorRow, ClosestColourWithTiesToTheLowestIndex) {
    const struct {
        std::vector<pixel> map;
        pixel color;
        int expected;
    } cases[] = {
        {{{10, 10, 10}, {0, 0, 0}}, {5, 5, 5}, 0},  // both at 75
        {{{9, 9, 9}, {5, 5, 6}, {5, 5, 5}, {5, 5, 5}}, {5, 5, 5}, 2},
        {{{200, 0, 0}, {0, 120, 0}, {0, 0, 130}}, {100, 100, 100}, 1},
        // Beyond 16-bit samples the distance is still exact.
        {{{0, 0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFEu}}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, 1},
        {{}, {1, 2, 3}, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ppm_findclosestcolor(c.map.data(), static_cast<int>(c.map.size()), &c.color), c.expected)
            << testing::PrintToString(c.color) << " in " << testing::PrintToString(c.map);
}

}  // namespace
