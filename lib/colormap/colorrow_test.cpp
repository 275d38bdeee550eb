#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <test_support.h>

#include <string>
#include <vector>

#include "colormap_testutil.h"

namespace {

using colormaptest::Image;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<pixel> takeRow(pixel *row, int n) {
    std::vector<pixel> v;
    if (row) {
        v.assign(row, row + n);
        pm_freerow(row);
    }
    return v;
}

const pixel c5{5, 5, 5}, c1{1, 1, 1}, c2{2, 2, 2};

TEST(ComputeColorRow, FirstOccurrenceOrderUpToTheLimit) {
    Image img({{c5, c1}, {c5, c2}});
    struct Case {
        int maxcolors, ncolors;
        std::vector<pixel> expected;
    };
    const Case cases[] = {
        {3, 3, {c5, c1, c2}},
        {100, 3, {c5, c1, c2}},
        {2, -1, {}},
        {0, -1, {}},
    };
    for (const auto &c : cases) {
        int ncolors = 77;
        pixel *row = ppm_computecolorrow(img.pixels(), 2, 2, c.maxcolors, &ncolors);
        EXPECT_EQ(row != nullptr, c.ncolors >= 0) << "maxcolors " << c.maxcolors;
        EXPECT_EQ(ncolors, c.ncolors) << "maxcolors " << c.maxcolors;
        EXPECT_THAT(takeRow(row, ncolors), ElementsAreArray(c.expected)) << "maxcolors " << c.maxcolors;
    }
    Image empty(3, 0);
    int ncolors = 77;
    pixel *row = ppm_computecolorrow(empty.pixels(), 3, 0, 0, &ncolors);
    EXPECT_NE(row, nullptr);
    EXPECT_EQ(ncolors, 0);
    pm_freerow(row);
}

TEST(MapFileToColorRow, ReadsAnyFormatAndStopsAtTheLimit) {
    struct Case {
        const char *what;
        std::string file;
        int maxcolors, ncolors;
        sample maxval;
        std::vector<pixel> expected;
    };
    const Case cases[] = {
        {"plain PPM", "P3\n2 2\n15\n5 5 5  1 1 1\n5 5 5  2 2 2\n", 3, 3, 15, {c5, c1, c2}},
        {"raw PPM", std::string("P6\n3 1\n255\n\x07\x07\x07\x08\x08\x08\x07\x07\x07", 20), 2, 2, 255,
         {{7, 7, 7}, {8, 8, 8}}},
        {"PGM, promoted", "P2\n3 1\n9\n4 0 4\n", 5, 2, 9, {{4, 4, 4}, {0, 0, 0}}},
        {"PBM, maxval 1", "P1\n2 1\n1 0\n", 2, 2, 1, {{0, 0, 0}, {1, 1, 1}}},
        {"too many colours", "P3\n2 2\n15\n5 5 5  1 1 1\n5 5 5  2 2 2\n", 2, -1, 15, {}},
    };
    for (const auto &c : cases) {
        FILE *f = testsupport::memoryStream(c.file);
        int ncolors = 77;
        sample maxval = 0;
        pixel *row = ppm_mapfiletocolorrow(f, c.maxcolors, &ncolors, &maxval);
        fclose(f);
        EXPECT_EQ(ncolors, c.ncolors) << c.what;
        EXPECT_EQ(maxval, c.maxval) << c.what;
        EXPECT_THAT(takeRow(row, ncolors), ElementsAreArray(c.expected)) << c.what;
    }
}

TEST(ColorRowToColorHash, AColourListedTwiceKeepsItsFirstIndex) {
    const pixel row[] = {{7, 7, 7}, {8, 8, 8}, {7, 7, 7}};
    color_hash cht = ppm_colorrowtocolorhash(row, 3);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[0]), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[1]), 1);
    int entries = 0;
    for (int b = 0; b < COLOR_HASH_BUCKETS; ++b)
        for (const color_hash_entry *e = cht[b]; e; e = e->next)
            ++entries;
    EXPECT_EQ(entries, 2);
    ppm_freecolorhash(cht);
}

int byBlueDescending(const pixel *a, const pixel *b) {
    return a->b == b->b ? 0 : a->b > b->b ? -1 : 1;
}

TEST(SortColorRow, DefaultOrderAndCustomComparator) {
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

TEST(AddToColorRow, FindsAppendsOrRefuses) {
    pixel row[6] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}};
    int ncolors = 5;
    const pixel present{4, 4, 4}, fresh{9, 9, 9}, other{8, 8, 8};
    EXPECT_EQ(ppm_addtocolorrow(row, &ncolors, 5, &present), 4);  // found even when full
    EXPECT_EQ(ppm_addtocolorrow(row, &ncolors, 5, &fresh), -1);
    EXPECT_EQ(ncolors, 5);
    EXPECT_EQ(ppm_addtocolorrow(row, &ncolors, 6, &fresh), 5);
    EXPECT_EQ(ncolors, 6);
    EXPECT_EQ(row[5], fresh);
    EXPECT_EQ(ppm_addtocolorrow(row, &ncolors, 6, &fresh), 5);
    EXPECT_EQ(ppm_addtocolorrow(row, &ncolors, 6, &other), -1);
    EXPECT_EQ(ncolors, 6);
}

TEST(FindClosestColor, NearestWithTiesToTheLowestIndex) {
    struct Case {
        std::vector<pixel> map;
        pixel color;
        int expected;
    };
    const Case cases[] = {
        {{{0, 0, 0}, {10, 10, 10}}, {5, 5, 5}, 0},  // both at 75
        {{{10, 10, 10}, {0, 0, 0}}, {5, 5, 5}, 0},
        {{{9, 9, 9}, {5, 5, 6}, {5, 5, 5}, {5, 5, 5}}, {5, 5, 5}, 2},
        {{{200, 0, 0}, {0, 120, 0}, {0, 0, 130}}, {100, 100, 100}, 1},
        {{{7, 7, 7}}, {65535, 65535, 65535}, 0},
        // Beyond 16-bit samples the distance is still exact.
        {{{0, 0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFEu}}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, 1},
        {{}, {1, 2, 3}, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ppm_findclosestcolor(c.map.data(), static_cast<int>(c.map.size()), &c.color), c.expected)
            << testing::PrintToString(c.color) << " in " << testing::PrintToString(c.map);
}

TEST(ColorRowToMapFile, PlainPpmOfOneRowThatReadsBack) {
    const std::vector<pixel> row = {{1, 2, 3}, {40, 50, 60}, {255, 0, 255}};
    const std::string file = testsupport::captureOutput(
        [&](FILE *f) { ppm_colorrowtomapfile(f, row.data(), 3, 255); });
    EXPECT_EQ(file, "P3\n3 1\n255\n1 2 3\n40 50 60\n255 0 255\n");

    FILE *in = testsupport::memoryStream(file);
    int ncolors = 0;
    sample maxval = 0;
    pixel *back = ppm_mapfiletocolorrow(in, 10, &ncolors, &maxval);
    fclose(in);
    EXPECT_EQ(maxval, 255u);
    EXPECT_THAT(takeRow(back, ncolors), ElementsAreArray(row));
}

}  // namespace
