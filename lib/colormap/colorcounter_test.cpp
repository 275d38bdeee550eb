// The fast counter against the straightforward count through the public
// hash table, and both against the ordering rule written out on its own.
#include "colorcounter.h"

#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <gtest/gtest.h>

#include <test_support.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "colormap_internal.h"
#include "colormap_testutil.h"

namespace {

using colormaptest::Image;
using colormaptest::randomImage;
using colormaptest::takeHistogram;

struct Counted {
    bool complete;
    int colors;
    std::vector<color_count> entries;
};

Counted fastCount(Image &img, int maxcolors) {
    Counted c;
    color_histogram chv = ppm_computecolorhist(img.pixels(), img.cols(), img.rows(), maxcolors, &c.colors);
    c.complete = chv != nullptr;
    c.entries = takeHistogram(chv, c.colors);
    return c;
}

// Pixel by pixel through the chained table, then bucket by bucket.
Counted tableCount(Image &img, int maxcolors) {
    Counted c;
    color_hash cht = ppm_computecolorhash(img.pixels(), img.cols(), img.rows(), maxcolors, &c.colors);
    c.complete = cht != nullptr;
    if (cht) {
        c.entries = takeHistogram(ppm_colorhashtocolorhist(cht, maxcolors), c.colors);
        ppm_freecolorhash(cht);
    }
    return c;
}

// The rule itself: distinct colours by ascending bucket, and within a
// bucket by descending first occurrence in raster order.
std::vector<color_count> ruleHistogram(const Image &img) {
    struct Seen {
        std::size_t first;
        int count;
    };
    auto key = [](const pixel &p) { return std::make_tuple(p.r, p.g, p.b); };
    std::map<std::tuple<sample, sample, sample>, Seen> seen;
    const auto &raster = img.raster();
    for (std::size_t i = 0; i < raster.size(); ++i) {
        auto it = seen.emplace(key(raster[i]), Seen{i, 0}).first;
        ++it->second.count;
    }
    std::vector<std::pair<Seen, color_count>> all;
    for (const auto &[k, s] : seen)
        all.push_back({s, color_count{pixel{std::get<0>(k), std::get<1>(k), std::get<2>(k)}, s.count}});
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
        const int ba = ppm_colorbucket(a.second.color), bb = ppm_colorbucket(b.second.color);
        return ba != bb ? ba < bb : a.first.first > b.first.first;
    });
    std::vector<color_count> v;
    for (const auto &e : all)
        v.push_back(e.second);
    return v;
}

// Same outcome, count and entries, for no limit and for limits around the
// number of colours (or every limit up to it).
void expectSameCounts(Image &img, const std::string &what, bool everyLimit = false) {
    const Counted unlimited = tableCount(img, 0);
    ASSERT_TRUE(unlimited.complete);
    const int n = unlimited.colors;
    std::vector<int> limits = {0, n - 1, n, n + 1, 32767};
    for (int maxcolors = 1; everyLimit && maxcolors < n; ++maxcolors)
        limits.push_back(maxcolors);
    for (const int maxcolors : limits) {
        if (maxcolors < 0)
            continue;
        const Counted fast = fastCount(img, maxcolors), table = tableCount(img, maxcolors);
        ASSERT_EQ(fast.complete, table.complete) << what << ", maxcolors " << maxcolors;
        ASSERT_EQ(fast.colors, table.colors) << what << ", maxcolors " << maxcolors;
        // Not EXPECT_EQ on the vectors: hundreds of thousands of entries
        // would be printed. The first difference says enough.
        ASSERT_EQ(fast.entries.size(), table.entries.size()) << what;
        const auto diff = std::mismatch(fast.entries.begin(), fast.entries.end(), table.entries.begin());
        ASSERT_TRUE(diff.first == fast.entries.end())
            << what << ", maxcolors " << maxcolors << ": entry " << (diff.first - fast.entries.begin())
            << " is " << testing::PrintToString(*diff.first) << ", the table gives "
            << testing::PrintToString(*diff.second);
    }
    const auto rule = ruleHistogram(img);
    ASSERT_TRUE(unlimited.entries == rule) << what << ": the table breaks the ordering rule";
}

struct RandomCase {
    int cols, rows, palette;
    sample maxval;
};

// Small palettes crowd the buckets; large ones make the fast table grow
// several times; wide samples exercise every key bit.
TEST(ColorCounter, RandomImagesMatchTheTable) {
    const RandomCase cases[] = {
        {1, 1, 1, 255},         {64, 64, 3, 1},          {97, 61, 40, 15},
        {300, 200, 5000, 255},  {600, 500, 200000, 255}, {400, 300, 60000, 65535},
        {200, 150, 20000, 0xFFFFFFFFu},
    };
    std::uint32_t seed = 1;
    for (const auto &c : cases) {
        Image img = randomImage(c.cols, c.rows, c.palette, c.maxval, seed++);
        expectSameCounts(img, std::to_string(c.cols) + "x" + std::to_string(c.rows) + " of " +
                                  std::to_string(c.palette) + " colours, maxval " + std::to_string(c.maxval));
    }
}

// Colours that differ only in one high bit, and the colour of an empty slot
// (black) arriving late, must not be confused.
TEST(ColorCounter, NearlyEqualKeysStayApart) {
    Image img(64, 4);
    for (int c = 0; c < 64; ++c) {
        img.at(0, c) = pixel{1u << (c % 32), 0, 0};
        img.at(1, c) = pixel{0, 1u << (c % 32), 0};
        img.at(2, c) = pixel{0, 0, 1u << (c % 32)};
        img.at(3, c) = pixel{0, 0, 0};
    }
    expectSameCounts(img, "single-bit colours");
}

// Samples that outgrow the counter's small-sample tables part way through
// a row, so that counts gathered in one layout carry over to the next.
Image growingSamples() {
    const sample widths[] = {4, 64, 128, 4, 256, 70000, 64};
    Image img(40, 7);
    std::mt19937 gen(5);
    for (int r = 0; r < img.rows(); ++r)
        for (int c = 0; c < img.cols(); ++c) {
            // The first half of a row repeats colours of the rows before.
            const sample width = c < 20 && r > 0 ? widths[r - 1] : widths[r];
            std::uniform_int_distribution<sample> s(0, width - 1);
            img.at(r, c) = pixel{s(gen), s(gen) / 2, s(gen)};
        }
    return img;
}

TEST(ColorCounter, SamplesGrowingMidImage) {
    Image img = growingSamples();
    expectSameCounts(img, "growing samples", true);
}

// Colour rows come out in order of first occurrence, also across growth.
TEST(ColorCounter, FirstSeenOrderSurvivesGrowth) {
    for (Image img : {randomImage(500, 400, 150000, 65535, 99), growingSamples()}) {
        kestrum::ColorCounter counter(kestrum::ColorCounter::unlimited, "growth failed");
        for (int r = 0; r < img.rows(); ++r)
            ASSERT_TRUE(counter.countRow(img.pixels()[r], img.cols()));
        std::vector<pixel> expected;
        {
            color_hash seen = ppm_alloccolorhash();
            for (const pixel &p : img.raster())
                if (ppm_lookupcolor(seen, &p) < 0) {
                    ppm_addtocolorhash(seen, &p, 0);
                    expected.push_back(p);
                }
            ppm_freecolorhash(seen);
        }
        ASSERT_EQ(counter.size(), static_cast<int>(expected.size()));
        std::vector<pixel> got(expected.size());
        counter.firstSeenColors(got.data());
        EXPECT_TRUE(got == expected);
    }
}

// The quantizer's loop on a photograph: count under 32767, halve the
// maxval while that fails. Every step must agree with the table.
void expectSameOnEveryReduction(Image img, sample maxval, const std::string &name) {
    for (;;) {
        expectSameCounts(img, name + " at maxval " + std::to_string(maxval));
        if (testing::Test::HasFatalFailure() || fastCount(img, 32767).complete || maxval <= 1)
            return;
        const sample newMaxval = maxval / 2;
        for (int r = 0; r < img.rows(); ++r)
            for (int c = 0; c < img.cols(); ++c) {
                pixel &p = img.at(r, c);
                p = pixel{p.r * newMaxval / maxval, p.g * newMaxval / maxval, p.b * newMaxval / maxval};
            }
        maxval = newMaxval;
    }
}

Image readImage(const std::string &path, sample *maxvalP) {
    FILE *f = pm_openr(path.c_str());
    int cols, rows;
    pixel **pixels = ppm_readppm(f, &cols, &rows, maxvalP);
    pm_close(f);
    Image img(cols, rows);
    for (int r = 0; r < rows; ++r)
        std::copy(pixels[r], pixels[r] + cols, img.pixels()[r]);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
    return img;
}

TEST(ColorCounter, PhotographMatchesTheTable) {
    sample maxval;
    Image img = readImage(testsupport::sourcePath("examples/coffee.ppm"), &maxval);
    int colors = 0;
    color_histogram chv = ppm_computecolorhist(img.pixels(), img.cols(), img.rows(), 0, &colors);
    EXPECT_EQ(colors, 94478);
    ppm_freecolorhist(chv);
    expectSameOnEveryReduction(img, maxval, "coffee.ppm");
}

}  // namespace
