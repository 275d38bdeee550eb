#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <test_support.h>

#include <functional>
#include <vector>

#include "colormap_internal.h"
#include "colormap_testutil.h"

namespace {

using colormaptest::cc;
using colormaptest::Image;
using colormaptest::takeHistogram;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Eq;
using ::testing::ExitedWithCode;

// The four ways to count an image into a histogram: in memory or from a
// file, on the fast counter or through the public hash table. All four
// must agree on every result.
struct Counter {
    const char *name;
    std::function<color_histogram(Image &, int, int *)> count;
};

color_histogram viaHash(color_hash cht, int maxcolors) {
    if (cht == nullptr)
        return nullptr;
    color_histogram chv = ppm_colorhashtocolorhist(cht, maxcolors);
    ppm_freecolorhash(cht);
    return chv;
}

// Opens the image as a file positioned at its raster.
struct RasterFile {
    FILE *f;
    int cols, rows;
    sample maxval;
    format_code format;
    explicit RasterFile(const Image &img) : f(testsupport::memoryStream(img.plainPpm(65535))) {
        ppm_readppminit(f, &cols, &rows, &maxval, &format);
    }
    ~RasterFile() { fclose(f); }
};

const Counter counters[] = {
    {"ppm_computecolorhist",
     [](Image &img, int maxcolors, int *colorsP) {
         return ppm_computecolorhist(img.pixels(), img.cols(), img.rows(), maxcolors, colorsP);
     }},
    {"ppm_computecolorhist2",
     [](Image &img, int maxcolors, int *colorsP) {
         RasterFile in(img);
         return ppm_computecolorhist2(in.f, in.cols, in.rows, in.maxval, in.format, maxcolors,
                                      colorsP);
     }},
    {"ppm_computecolorhash",
     [](Image &img, int maxcolors, int *colorsP) {
         return viaHash(ppm_computecolorhash(img.pixels(), img.cols(), img.rows(), maxcolors, colorsP),
                        maxcolors);
     }},
    {"ppm_computecolorhash2",
     [](Image &img, int maxcolors, int *colorsP) {
         RasterFile in(img);
         return viaHash(ppm_computecolorhash2(in.f, in.cols, in.rows, in.maxval, in.format,
                                              maxcolors, colorsP),
                        maxcolors);
     }},
};

void PrintTo(const Counter &c, std::ostream *os) { *os << c.name; }

class EveryCounter : public ::testing::TestWithParam<Counter> {};

INSTANTIATE_TEST_SUITE_P(Histogram, EveryCounter, ::testing::ValuesIn(counters),
                         [](const auto &info) { return std::string(info.param.name); });

const pixel black{0, 0, 0}, bucket0{6, 34, 9}, blue1{0, 0, 1};

// (0, 0, 0) and (6, 34, 9) share bucket 0: the one seen last comes first.
// Lower buckets come first whatever the order in the image.
TEST_P(EveryCounter, OrderIsBucketThenLastSeenFirst) {
    struct Case {
        std::vector<std::vector<pixel>> image;
        std::vector<color_count> expected;
    };
    const Case cases[] = {
        {{{black, bucket0}}, {cc(6, 34, 9, 1), cc(0, 0, 0, 1)}},
        {{{bucket0, black}}, {cc(0, 0, 0, 1), cc(6, 34, 9, 1)}},
        {{{blue1, black}}, {cc(0, 0, 0, 1), cc(0, 0, 1, 1)}},
        // First occurrence decides, not the last one; rows count top down.
        {{{bucket0, black, bucket0}, {blue1, blue1, black}},
         {cc(0, 0, 0, 2), cc(6, 34, 9, 2), cc(0, 0, 1, 2)}},
        {{{blue1, blue1, black}, {bucket0, black, bucket0}},
         {cc(6, 34, 9, 2), cc(0, 0, 0, 2), cc(0, 0, 1, 2)}},
    };
    for (const auto &c : cases) {
        Image img(c.image);
        int colors = -7;
        color_histogram chv = GetParam().count(img, 0, &colors);
        auto hist = takeHistogram(chv, colors);
        EXPECT_EQ(colors, static_cast<int>(c.expected.size()));
        EXPECT_THAT(hist, ElementsAreArray(c.expected));
    }
}

TEST_P(EveryCounter, OneColourCountsEveryPixel) {
    Image img(7, 5);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 7; ++c)
            img.at(r, c) = pixel{3, 1, 4};
    int colors = 0;
    color_histogram chv = GetParam().count(img, 32767, &colors);
    EXPECT_THAT(takeHistogram(chv, colors), ElementsAre(cc(3, 1, 4, 35)));
    EXPECT_EQ(colors, 1);
}

TEST_P(EveryCounter, NoRowsNoColours) {
    Image img(4, 0);
    int colors = -1;
    color_histogram chv = GetParam().count(img, 10, &colors);
    ASSERT_NE(chv, nullptr);
    EXPECT_EQ(colors, 0);
    ppm_freecolorhist(chv);
}

// With a limit of N, exactly N colours succeed; colour N + 1 gives null and
// a count of N + 1 however many more colours follow.
TEST_P(EveryCounter, LimitIsInclusive) {
    Image img({{{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}, {{3, 0, 0}, {4, 0, 0}, {5, 0, 0}}});
    struct Case {
        int maxcolors;
        bool counted;
        int colors;
    };
    const Case cases[] = {{0, true, 5}, {5, true, 5}, {6, true, 5}, {32767, true, 5},
                          {4, false, 5}, {2, false, 3}, {1, false, 2}};
    for (const auto &c : cases) {
        int colors = -7;
        color_histogram chv = GetParam().count(img, c.maxcolors, &colors);
        EXPECT_EQ(chv != nullptr, c.counted) << "maxcolors " << c.maxcolors;
        EXPECT_EQ(colors, c.colors) << "maxcolors " << c.maxcolors;
        ppm_freecolorhist(chv);
    }
    Image square({{{0, 0, 0}, {0, 0, 1}}, {{0, 1, 0}, {1, 0, 0}}});
    int colors = 0;
    color_histogram chv = GetParam().count(square, 4, &colors);
    auto hist = takeHistogram(chv, colors);
    EXPECT_EQ(colors, 4);
    ASSERT_EQ(hist.size(), 4u);
    for (const auto &entry : hist)
        EXPECT_EQ(entry.value, 1);
    EXPECT_EQ(GetParam().count(square, 3, &colors), nullptr);
    EXPECT_EQ(colors, 4);
}

// The room is maxcolors, or the number of colours plus 5 without a limit.
TEST_P(EveryCounter, RoomFollowsTheLimit) {
    Image img({{{9, 9, 9}, {8, 8, 8}, {9, 9, 9}}});
    for (const int maxcolors : {0, 2, 32767}) {
        int colors = 0;
        color_histogram chv = GetParam().count(img, maxcolors, &colors);
        ASSERT_NE(chv, nullptr);
        const int room = maxcolors ? maxcolors : colors + 5;
        EXPECT_GE(malloc_usable_size(chv), room * sizeof(color_count));
        // Filling every entry touches the whole room (the sanitizer build
        // catches a short block).
        for (int i = colors; i < room; ++i)
            chv[i] = cc(100, 0, static_cast<sample>(i), 1);
        ppm_freecolorhist(chv);
    }
}

TEST(HistogramDeath, NegativeLimitAsksForTooMuchRoom) {
    Image img({{{1, 1, 1}, {2, 2, 2}}});
    EXPECT_EXIT(
        {
            pm_init("colormap_test", 0);
            int colors;
            ppm_computecolorhist(img.pixels(), 2, 1, -1, &colors);
        },
        ExitedWithCode(1), Eq("colormap_test: out of memory generating histogram\n"));
}

// After the limit is passed the file variants stop reading at once: the
// next row read is the one after the pixel that passed it.
TEST(Histogram, FileCountStopsInTheRaster) {
    Image img({{{1, 1, 1}, {2, 2, 2}}, {{3, 3, 3}, {4, 4, 4}}, {{5, 5, 5}, {6, 6, 6}}});
    for (const bool viaTable : {false, true}) {
        RasterFile in(img);
        int colors = 0;
        if (viaTable)
            EXPECT_EQ(ppm_computecolorhash2(in.f, 2, 3, in.maxval, in.format, 3, &colors), nullptr);
        else
            EXPECT_EQ(ppm_computecolorhist2(in.f, 2, 3, in.maxval, in.format, 3, &colors), nullptr);
        EXPECT_EQ(colors, 4);
        pixel row[2];
        ppm_readppmrow(in.f, row, 2, in.maxval, in.format);
        EXPECT_THAT(row, ElementsAre(pixel{5, 5, 5}, pixel{6, 6, 6}));
    }
}

TEST(HashToHistogram, CopiesEveryEntryInBucketAndChainOrder) {
    color_hash cht = ppm_alloccolorhash();
    const pixel a{0, 0, 1}, b{6, 34, 9}, c{0, 0, 0};
    ppm_addtocolorhash(cht, &a, 5);
    ppm_addtocolorhash(cht, &b, 6);
    ppm_addtocolorhash(cht, &c, 7);
    ppm_addtocolorhash(cht, &b, 8);  // a duplicate entry is copied too
    // Two more entries than maxcolors: the room grows rather than overrun.
    color_histogram chv = ppm_colorhashtocolorhist(cht, 2);
    EXPECT_GE(malloc_usable_size(chv), 4 * sizeof(color_count));
    EXPECT_THAT(takeHistogram(chv, 4),
                ElementsAre(cc(6, 34, 9, 8), cc(0, 0, 0, 7), cc(6, 34, 9, 6), cc(0, 0, 1, 5)));
    EXPECT_EQ(ppm_lookupcolor(cht, &b), 8);  // the table is left as it was
    ppm_freecolorhash(cht);
}

TEST(HistogramToHash, MapsEachColourToItsIndex) {
    const color_count chv[] = {cc(7, 7, 7, 40), cc(0, 0, 0, 30), cc(6, 34, 9, 20), cc(1, 2, 3, 10)};
    color_hash cht = ppm_colorhisttocolorhash(chv, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ppm_lookupcolor(cht, &chv[i].color), i);
    const pixel absent{3, 2, 1};
    EXPECT_EQ(ppm_lookupcolor(cht, &absent), -1);
    ppm_freecolorhash(cht);
}

TEST(HistogramToHashDeath, DuplicateColourIsFatal) {
    const color_count chv[] = {cc(1, 2, 3, 5), cc(4, 5, 6, 5), cc(1, 2, 3, 9)};
    EXPECT_EXIT(
        {
            pm_init("colormap_test", 0);
            ppm_colorhisttocolorhash(chv, 3);
        },
        ExitedWithCode(1), Eq("colormap_test: same color found twice - 1 2 3\n"));
}

// Placing a colour: an existing one moves (its value replaced), a new one
// is inserted while there is room, entries in between shift by one.
TEST(AddToHistogram, MovesInsertsAndRespectsRoom) {
    const color_count x1 = cc(1, 1, 1, 1), x2 = cc(2, 2, 2, 2), x3 = cc(3, 3, 3, 3),
                      x4 = cc(4, 4, 4, 4), x5 = cc(5, 5, 5, 5);
    struct Case {
        const char *what;
        color_count entry;
        int position, room;
        std::vector<color_count> expected;
    };
    const Case cases[] = {
        {"X3 to the front", x3, 0, 4, {x3, x1, x2, x4}},
        {"X1 to position 2", x1, 2, 4, {x2, x3, x1, x4}},
        {"X4 in place, new value", cc(4, 4, 4, 99), 3, 4, {x1, x2, x3, cc(4, 4, 4, 99)}},
        {"X2 to the end, new value", cc(2, 2, 2, 50), 3, 4, {x1, x3, x4, cc(2, 2, 2, 50)}},
        {"new X5 at 1 with room", x5, 1, 5, {x1, x5, x2, x3, x4}},
        {"new X5 appended", x5, 4, 5, {x1, x2, x3, x4, x5}},
        {"new X5 without room", x5, 1, 4, {x1, x2, x3, x4}},
        // Positions beyond the used entries go to the nearest end.
        {"X1 past the end", x1, 9, 4, {x2, x3, x4, x1}},
        {"new X5 before the start", x5, -3, 8, {x5, x1, x2, x3, x4}},
    };
    for (const auto &c : cases) {
        color_count chv[8] = {x1, x2, x3, x4};
        int colors = 4;
        ppm_addtocolorhist(chv, &colors, c.room, &c.entry.color, c.entry.value, c.position);
        EXPECT_EQ(colors, static_cast<int>(c.expected.size())) << c.what;
        EXPECT_THAT(std::vector<color_count>(chv, chv + colors), ElementsAreArray(c.expected)) << c.what;
    }
}

}  // namespace
