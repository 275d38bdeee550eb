// The fast counter against the straightforward count through the public
// hash table: the same outcome, count and entries in the same order.
#include <kestrum/ppm.h>

#include <gtest/gtest.h>

#include <test_support.h>

#include <algorithm>

#include "colormap_testutil.h"

namespace {

using colormaptest::Image;
using colormaptest::randomImage;
using colormaptest::take;

struct Counted {
    bool complete;
    int colors;
    std::vector<color_count> entries;
};

Counted fastCount(Image &img, int maxcolors) {
    int colors = 0;
    color_histogram chv = ppm_computecolorhist(img.pixels(), img.cols, img.rows, maxcolors, &colors);
    return {chv != nullptr, colors, take(chv, colors)};
}

// Pixel by pixel through the chained table, then bucket by bucket.
Counted tableCount(Image &img, int maxcolors) {
    int colors = 0;
    color_hash cht = ppm_computecolorhash(img.pixels(), img.cols, img.rows, maxcolors, &colors);
    Counted c{cht != nullptr, colors, {}};
    if (cht) {
        c.entries = take(ppm_colorhashtocolorhist(cht, maxcolors), colors);
        ppm_freecolorhash(cht);
    }
    return c;
}

// For no limit and limits around the number of colours (or every limit up to it).
void expectSameCounts(Image &img, const std::string &what, bool everyLimit = false) {
    const int n = tableCount(img, 0).colors;
    std::vector<int> limits = {0, n - 1, n, n + 1, 32767};
    for (int maxcolors = 1; everyLimit && maxcolors < n; ++maxcolors)
        limits.push_back(maxcolors);
    for (const int maxcolors : limits) {
        const Counted fast = fastCount(img, maxcolors), table = tableCount(img, maxcolors);
        const std::string at = what + ", maxcolors " + std::to_string(maxcolors);
        ASSERT_EQ(fast.complete, table.complete) << at;
        ASSERT_EQ(fast.colors, table.colors) << at;
        ASSERT_TRUE(fast.entries == table.entries) << at;  // printing whole histograms would drown the log
    }
}

// Samples that outgrow the counter's small-sample tables part way through
// a row, so that counts gathered in one layout carry over to the next.
Image growingSamples() {
    const sample widths[] = {4, 64, 128, 4, 256, 70000, 64};
    Image img(40, 7);
    std::mt19937 gen(5);
    for (int r = 0; r < img.rows; ++r)
        for (int c = 0; c < img.cols; ++c) {
            // The first half of a row repeats colours of the rows before.
            std::uniform_int_distribution<sample> s(0, (c < 20 && r > 0 ? widths[r - 1] : widths[r]) - 1);
            img.at(r, c) = pixel{s(gen), s(gen) / 2, s(gen)};
        }
    return img;
}

// Small palettes crowd the buckets; large ones make the fast table grow
// several times; wide samples exercise every key bit. Colours that differ
// in one high bit, and the colour of an empty slot (black) arriving late,
// must not be confused.
TEST(ColorCounter, MatchesTheTable) {
    const struct {
        int cols, rows, palette;
        sample maxval;
    } cases[] = {{64, 64, 3, 1},           {97, 61, 40, 15},           {600, 500, 200000, 255},
                 {400, 300, 60000, 65535}, {200, 150, 20000, 0xFFFFFFFFu}};
    std::uint32_t seed = 1;
    for (const auto &c : cases) {
        Image img = randomImage(c.cols, c.rows, c.palette, c.maxval, seed++);
        expectSameCounts(img, std::to_string(c.cols) + "x" + std::to_string(c.rows) + " of " +
                                  std::to_string(c.palette) + ", maxval " + std::to_string(c.maxval));
    }
    Image bits(64, 4);
    for (int c = 0; c < 64; ++c) {
        bits.at(0, c) = pixel{1u << (c % 32), 0, 0};
        bits.at(1, c) = pixel{0, 1u << (c % 32), 0};
        bits.at(2, c) = pixel{0, 0, 1u << (c % 32)};
    }
    expectSameCounts(bits, "single-bit colours");
    Image growing = growingSamples();
    expectSameCounts(growing, "growing samples", true);
}

// Colour rows come out in order of first occurrence, also across growth.
TEST(ColorCounter, FirstSeenOrderSurvivesGrowth) {
    for (Image img : {randomImage(500, 400, 150000, 65535, 99), growingSamples()}) {
        std::vector<pixel> expected;
        color_hash seen = ppm_alloccolorhash();
        for (const pixel &p : img.raster)
            if (ppm_lookupcolor(seen, &p) < 0) {
                ppm_addtocolorhash(seen, &p, 0);
                expected.push_back(p);
            }
        ppm_freecolorhash(seen);
        int ncolors = 0;
        pixel *row = ppm_computecolorrow(img.pixels(), img.cols, img.rows, int(expected.size()), &ncolors);
        EXPECT_TRUE(take(row, ncolors) == expected);
    }
}

// The quantizer's loop on a photograph: count under 32767, halving the
// maxval while that fails. Every step must agree with the table.
TEST(ColorCounter, PhotographAtEveryReduction) {
    FILE *f = pm_openr(testsupport::sourcePath("examples/coffee.ppm").c_str());
    int cols, rows;
    sample maxval;
    pixel **pixels = ppm_readppm(f, &cols, &rows, &maxval);
    pm_close(f);
    Image img(cols, rows);
    for (int r = 0; r < rows; ++r)
        std::copy(pixels[r], pixels[r] + cols, &img.at(r, 0));
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
    for (;;) {
        expectSameCounts(img, "coffee.ppm at maxval " + std::to_string(maxval));
        if (HasFatalFailure() || fastCount(img, 32767).complete || maxval <= 1)
            return;
        const sample reduced = maxval / 2;
        for (pixel &p : img.raster)
            p = pixel{p.r * reduced / maxval, p.g * reduced / maxval, p.b * reduced / maxval};
        maxval = reduced;
    }
}

}  // namespace
