// The cut-short colour map of the quantizer against the straightforward
// median cut: the same colours in the same order, then at most one black
// entry where mediancut fills up to N; the same limit on N without
// allocating for it; and whole runs with it, undithered and dithered, the
// same as with the straightforward colour map of N entries.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "colormap_source.h"
#include "fast_convert.h"
#include "mediancut.h"
#include "packed_colormap_source.h"
#include "quantize_testutil.h"
#include "search.h"

namespace {

using quantizetest::ErrorRows;
using quantizetest::Image;

TEST(MedianCutColors, AgreeWithMediancutOnRandomHistograms) {
    std::mt19937 rng(18);
    for (int trial = 0; trial < 400; ++trial) {
        // Few distinct values and counts: many equal boxes, whose order
        // the two must settle alike.
        std::vector<color_count> hist;
        const int colors = static_cast<int>(rng() % 120);
        const sample maxval = trial % 3 == 0 ? 3 : 255;
        for (int i = 0; i < colors; ++i) {
            auto component = [&] { return static_cast<sample>(rng() % (maxval + 1)); };
            const pixel c{component(), component(), component()};
            bool seen = false;
            for (const color_count &e : hist)
                seen = seen || e.color == c;
            if (!seen)
                hist.push_back(color_count{c, static_cast<int>(1 + rng() % (trial % 2 ? 3 : 500))});
        }
        int sum = 0;
        for (const color_count &e : hist)
            sum += e.value;
        const int n = static_cast<int>(hist.size());
        for (int newcolors : {2, 3, n / 2, n - 1, n, n + 1, n + 7}) {
            if (newcolors < 2)
                continue;
            std::vector<color_count> a = hist, b = hist;
            color_histogram full = quantize::mediancut(a.data(), n, sum, maxval, newcolors);
            int mapColors = -1;
            color_histogram chosen = quantize::mediancutColors(b.data(), n, sum, maxval, newcolors, &mapColors);
            ASSERT_GE(mapColors, 1);
            ASSERT_LE(mapColors, newcolors);
            // Beyond the boxes, the straightforward map holds only black.
            const int boxes = mapColors < newcolors ? mapColors - 1 : mapColors;
            for (int k = 0; k < newcolors; ++k) {
                const pixel expected = k < mapColors ? chosen[k].color : pixel{0, 0, 0};
                ASSERT_EQ(full[k].color, expected) << "trial " << trial << ", N " << newcolors << ", entry " << k;
            }
            if (mapColors > boxes) {
                EXPECT_EQ(chosen[boxes].color, (pixel{0, 0, 0}));
            }
            ppm_freecolorhist(full);
            ppm_freecolorhist(chosen);
        }
    }
}

TEST(MedianCutColors, CountsBeyond32BitsCutAsTheirSmallerForm) {
    // With every count even, every box's half is exact, so multiplying all
    // counts by 2^40 changes no choice and no mean: any count, sum or
    // weighted sum cut to 32 bits would.
    std::mt19937 rng(33);
    for (int trial = 0; trial < 100; ++trial) {
        std::vector<quantize::WideColorCount> small, large;
        std::uint64_t sum = 0;
        for (int i = 0; i < 1 + static_cast<int>(rng() % 150); ++i) {
            const pixel c{static_cast<sample>(i * 37 % 251), static_cast<sample>(rng() % 65536),
                          static_cast<sample>(rng() % 4)};
            const std::uint64_t count = 2 * (1 + rng() % 1000);
            small.push_back({c, count});
            large.push_back({c, count << 40});
            sum += count;
        }
        const int colors = static_cast<int>(small.size());
        const int n = 2 + static_cast<int>(rng() % 200);
        int smallColors, largeColors;
        color_histogram a = quantize::mediancutWide(small.data(), colors, sum, 65535, n, &smallColors);
        color_histogram b = quantize::mediancutWide(large.data(), colors, sum << 40, 65535, n, &largeColors);
        ASSERT_EQ(largeColors, smallColors);
        for (int k = 0; k < smallColors; ++k)
            ASSERT_EQ(b[k].color, a[k].color) << "trial " << trial << ", entry " << k;
        ppm_freecolorhist(a);
        ppm_freecolorhist(b);
    }
}

TEST(MedianCutColorsDeathTest, TheLimitOnNIsArithmetic) {
    // The largest N whose map and box list fit a 32-bit size costs the
    // colours of the histogram; one more is refused as mediancut refuses it.
    std::vector<color_count> hist{{{1, 2, 3}, 4}, {{5, 6, 7}, 1}};
    int mapColors = 0;
    color_histogram chosen = quantize::mediancutColors(hist.data(), 2, 5, 255, 268435455, &mapColors);
    ASSERT_EQ(mapColors, 3);
    EXPECT_EQ(chosen[2].color, (pixel{0, 0, 0}));
    ppm_freecolorhist(chosen);
    EXPECT_EXIT(quantize::mediancutColors(hist.data(), 2, 5, 255, 268435456, &mapColors),
                testing::ExitedWithCode(1), "out of memory");
}

// The image after choosing n colours and converting, with the output
// maxval: the straightforward colour map of n entries and convertRow...
std::pair<std::vector<pixel>, sample> straightforwardRun(const Image &img, int n, ErrorRows *errors) {
    quantizetest::RowArray rows(img);
    color_histogram map;
    sample maxval;
    quantize::computeColorMapFromInput(rows.pixels, img.cols, img.rows, img.maxval, n, &map, &maxval);
    quantize::cht = ppm_alloccolorhash();
    quantize::usehash = 1;
    for (int r = 0; r < img.rows; ++r)
        quantize::convertRow(rows.pixels[r], img.cols, maxval, map, n, errors != nullptr,
                             errors ? &errors->fs : nullptr);
    ppm_freecolorhash(quantize::cht);
    quantize::cht = nullptr;
    ppm_freecolorhist(map);
    return {rows.flat(), maxval};
}

// ... and the program's: the chosen colours alone, and the fast conversion.
std::pair<std::vector<pixel>, sample> chosenRun(const Image &img, int n, ErrorRows *errors) {
    const quantize::PackedImage image = img.packed();
    color_histogram map;
    int mapColors;
    sample maxval;
    quantize::SampleScale scale;
    quantize::computeChosenColorMapPacked(image, n, errors != nullptr, &map, &mapColors, &maxval, &scale);
    quantize::FastConverter converter(map, mapColors, maxval, std::move(scale));
    std::vector<pixel> out(img.px.size());
    for (int r = 0; r < img.rows; ++r)
        image.dispatch([&](auto word) {
            converter.convert(image.row<decltype(word)>(r), img.cols, out.data() + std::size_t{1} * r * img.cols,
                              errors ? &errors->fs : nullptr);
        });
    ppm_freecolorhist(map);
    return {out, maxval};
}

TEST(ChosenColorMap, WholeRunsAgreeWithTheMapOfNEntries) {
    // N below, at and above the image's colours; maxvals where surplus black
    // is plain or scaled distance, and where every colour kept is copied.
    const struct {
        sample maxval;
        int colors;
    } cases[] = {{255, 40}, {255, 400}, {15, 30}, {65535, 60}, {1, 4}};
    std::mt19937 rng(1800);
    for (int trial = 0; trial < 6; ++trial) {
        for (const auto &c : cases) {
            const Image img = quantizetest::randomImage(rng, 1 + rng() % 40, 1 + rng() % 20, c.maxval, c.colors);
            for (int n : {2, c.colors / 2 + 2, c.colors, c.colors * 2 + 3}) {
                const std::string what = "maxval " + std::to_string(c.maxval) + ", " + std::to_string(c.colors) +
                                         " colours, N " + std::to_string(n);
                ASSERT_EQ(chosenRun(img, n, nullptr), straightforwardRun(img, n, nullptr)) << what;
                const std::uint32_t seed = rng();
                std::mt19937 seedA(seed), seedB(seed);
                ErrorRows fastErrors(img.cols, &seedA), slowErrors(img.cols, &seedB);
                ASSERT_EQ(chosenRun(img, n, &fastErrors), straightforwardRun(img, n, &slowErrors))
                    << what << ", dithered";
            }
        }
    }
}

}  // namespace
