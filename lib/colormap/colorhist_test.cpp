#include <kestrum/colormap.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <test_support.h>

#include <functional>

#include "colormap_testutil.h"

namespace {

using colormaptest::cc;
using colormaptest::Image;
using colormaptest::take;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The image as a file positioned at its raster.
struct RasterFile {
    FILE *f;
    int cols, rows;
    sample maxval;
    format_code format;
    explicit RasterFile(const Image &img) : f(testsupport::memoryStream(img.plainPpm())) {
        ppm_readppminit(f, &cols, &rows, &maxval, &format);
    }
    ~RasterFile() { fclose(f); }
};

color_histogram viaHash(color_hash cht, int maxcolors) {
    if (cht == nullptr)
        return nullptr;
    color_histogram chv = ppm_colorhashtocolorhist(cht, maxcolors);
    ppm_freecolorhash(cht);
    return chv;
}

// The four ways to count an image into a histogram: in memory or from a
// file, on the fast counter or through the public hash table.
using Count = std::function<color_histogram(Image &, int, int *)>;
const std::pair<const char *, Count> counters[] = {
    {"computecolorhist", [](Image &img, int max, int *n) { return ppm_computecolorhist(img.pixels(), img.cols, img.rows, max, n); }},
    {"computecolorhist2",
     [](Image &img, int max, int *n) {
         RasterFile in(img);
         return ppm_computecolorhist2(in.f, in.cols, in.rows, in.maxval, in.format, max, n);
     }},
    {"computecolorhash",
     [](Image &img, int max, int *n) {
         return viaHash(ppm_computecolorhash(img.pixels(), img.cols, img.rows, max, n), max);
     }},
    {"computecolorhash2",
     [](Image &img, int max, int *n) {
         RasterFile in(img);
         return viaHash(ppm_computecolorhash2(in.f, in.cols, in.rows, in.maxval, in.format, max, n), max);
     }},
};

const pixel black{0, 0, 0}, bucket0{6, 34, 9}, blue1{0, 0, 1};

TEST(Histogram, EveryCounterAgreesOnOrderLimitAndRoom) {
    // (0, 0, 0) and (6, 34, 9) share bucket 0: the one first seen last comes
    // first, lower buckets first whatever the order in the image; rows count top down.
    const std::pair<std::vector<std::vector<pixel>>, std::vector<color_count>> orders[] = {
        {{{black, bucket0}}, {cc(6, 34, 9, 1), cc(0, 0, 0, 1)}},
        {{{blue1, black}}, {cc(0, 0, 0, 1), cc(0, 0, 1, 1)}},
        {{{bucket0, black, bucket0}, {blue1, blue1, black}}, {cc(0, 0, 0, 2), cc(6, 34, 9, 2), cc(0, 0, 1, 2)}},
        {{{blue1, blue1, black}, {bucket0, black, bucket0}}, {cc(6, 34, 9, 2), cc(0, 0, 0, 2), cc(0, 0, 1, 2)}},
    };
    // With a limit of N exactly N colours succeed; colour N + 1 gives null
    // and a count of N + 1 however many more follow.
    Image five({{{1, 0, 0}, {2, 0, 0}, {1, 0, 0}}, {{3, 0, 0}, {4, 0, 0}, {5, 0, 0}}}), none(4, 0);
    const int limits[][3] = {{0, 1, 5}, {5, 1, 5}, {6, 1, 5}, {4, 0, 5}, {2, 0, 3}, {1, 0, 2}};
    for (const auto &[name, count] : counters) {
        SCOPED_TRACE(name);
        for (const auto &[rows, expected] : orders) {
            Image img(rows);
            int colors = -7;
            color_histogram chv = count(img, 0, &colors);
            EXPECT_THAT(take(chv, colors), ElementsAreArray(expected));
        }
        for (const auto &l : limits) {
            int colors = -7;
            color_histogram chv = count(five, l[0], &colors);
            EXPECT_EQ(chv != nullptr, l[1] == 1) << "maxcolors " << l[0];
            EXPECT_EQ(colors, l[2]) << "maxcolors " << l[0];
            // The room is maxcolors, or the colours plus 5 without a limit:
            // filling it all touches the whole block (the sanitizer build
            // catches a short one).
            const int room = l[0] ? l[0] : colors + 5;
            for (int i = colors; chv && i < room; ++i)
                chv[i] = cc(100, 0, sample(i), 1);
            EXPECT_TRUE(!chv || malloc_usable_size(chv) >= room * sizeof(color_count));
            ppm_freecolorhist(chv);
        }
        int colors = -1;
        color_histogram chv = count(none, 10, &colors);
        EXPECT_NE(chv, nullptr);
        EXPECT_EQ(colors, 0);
        ppm_freecolorhist(chv);
    }
}

// After the limit is passed the file variants stop reading at once: the
// next row read is the one after the pixel that passed it.
TEST(Histogram, FileCountStopsInTheRaster) {
    Image img({{{1, 1, 1}, {2, 2, 2}}, {{3, 3, 3}, {4, 4, 4}}, {{5, 5, 5}, {6, 6, 6}}});
    for (const bool viaTable : {false, true}) {
        RasterFile in(img);
        int colors = 0;
        EXPECT_EQ(viaTable ? static_cast<void *>(ppm_computecolorhash2(in.f, 2, 3, in.maxval, in.format, 3, &colors))
                           : ppm_computecolorhist2(in.f, 2, 3, in.maxval, in.format, 3, &colors), nullptr);
        EXPECT_EQ(colors, 4);
        pixel row[2];
        ppm_readppmrow(in.f, row, 2, in.maxval, in.format);
        EXPECT_THAT(row, ElementsAre(pixel{5, 5, 5}, pixel{6, 6, 6}));
    }
}

TEST(Histogram, ConversionsBetweenHashAndHistogram) {
    color_hash cht = ppm_alloccolorhash();
    const pixel a{0, 0, 1}, b{6, 34, 9}, c{0, 0, 0};
    ppm_addtocolorhash(cht, &a, 5);
    ppm_addtocolorhash(cht, &b, 6);
    ppm_addtocolorhash(cht, &c, 7);
    ppm_addtocolorhash(cht, &b, 8);  // a duplicate entry is copied too
    // Every entry in bucket and chain order; two more than maxcolors: the
    // room grows rather than overrun.
    color_histogram chv = ppm_colorhashtocolorhist(cht, 2);
    EXPECT_GE(malloc_usable_size(chv), 4 * sizeof(color_count));
    EXPECT_THAT(take(chv, 4), ElementsAre(cc(6, 34, 9, 8), cc(0, 0, 0, 7), cc(6, 34, 9, 6), cc(0, 0, 1, 5)));
    EXPECT_EQ(ppm_lookupcolor(cht, &b), 8);  // the table is left as it was
    ppm_freecolorhash(cht);
    const color_count hist[] = {cc(7, 7, 7, 40), cc(0, 0, 0, 30), cc(6, 34, 9, 20), cc(1, 2, 3, 10)};
    cht = ppm_colorhisttocolorhash(hist, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ppm_lookupcolor(cht, &hist[i].color), i);
    ppm_freecolorhash(cht);
}

TEST(HistogramDeath, Messages) {
    Image img({{{1, 1, 1}, {2, 2, 2}}});
    const color_count twice[] = {cc(1, 2, 3, 5), cc(4, 5, 6, 5), cc(1, 2, 3, 9)};
    int colors;
    pm_init("colormap_test", 0);
    // A negative limit asks for too much room.
    EXPECT_EXIT(ppm_computecolorhist(img.pixels(), 2, 1, -1, &colors), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: out of memory generating histogram\n"));
    EXPECT_EXIT(ppm_colorhisttocolorhash(twice, 3), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: same color found twice - 1 2 3\n"));
}

// Placing a colour: an existing one moves (its value replaced), a new one
// is inserted while there is room, entries in between shift by one;
// positions beyond the used entries go to the nearest end.
TEST(Histogram, AddMovesInsertsAndRespectsRoom) {
    const color_count x1 = cc(1, 1, 1, 1), x2 = cc(2, 2, 2, 2), x3 = cc(3, 3, 3, 3), x4 = cc(4, 4, 4, 4),
                      x5 = cc(5, 5, 5, 5), x2new = cc(2, 2, 2, 50);
    const struct {
        color_count entry;
        int position, room;
        std::vector<color_count> expected;
    } cases[] = {
        {x3, 0, 4, {x3, x1, x2, x4}},       {x2new, 3, 4, {x1, x3, x4, x2new}}, {x5, 1, 5, {x1, x5, x2, x3, x4}},
        {x5, 4, 5, {x1, x2, x3, x4, x5}},   {x5, 1, 4, {x1, x2, x3, x4}},       {x1, 9, 4, {x2, x3, x4, x1}},
        {x5, -3, 8, {x5, x1, x2, x3, x4}},
    };
    for (const auto &c : cases) {
        color_count chv[8] = {x1, x2, x3, x4};
        int colors = 4;
        ppm_addtocolorhist(chv, &colors, c.room, &c.entry.color, c.entry.value, c.position);
        EXPECT_THAT(std::vector<color_count>(chv, chv + colors), ElementsAreArray(c.expected))
            << testing::PrintToString(c.entry) << " at " << c.position;
    }
}

}  // namespace
