// The packed colour-map sources against the straightforward ones: the same
// messages, histograms (entries, counts, order), maxvals and samples.
#include "packed_colormap_source.h"

#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "colormap_source.h"
#include "fast_path_testutil.h"
#include "quantize_testutil.h"

namespace {

using fastpathtest::Image;
using fastpathtest::RowArray;

struct Histogram {
    std::vector<color_count> entries;
    sample maxval;
    std::string messages;
};

std::vector<color_count> entriesOf(color_histogram chv, int colors) {
    std::vector<color_count> v(chv, chv + colors);
    ppm_freecolorhist(chv);
    return v;
}

void messagesOn() {
    pm_init("quantize", 0);
    pm_setMessage(1, nullptr);
}

// The straightforward histogram; img.px receives the rescaled samples.
Histogram straightforward(Image &img) {
    RowArray rows(img);
    messagesOn();
    color_histogram chv;
    int colors;
    Histogram h;
    ::testing::internal::CaptureStderr();
    quantize::computeHistogram(rows.pixels, img.cols, img.rows, img.maxval, &chv, &colors, &h.maxval);
    h.messages = ::testing::internal::GetCapturedStderr();
    h.entries = entriesOf(chv, colors);
    for (int r = 0; r < img.rows; ++r)
        for (int c = 0; c < img.cols; ++c)
            img.px[static_cast<std::size_t>(r) * img.cols + c] = rows.pixels[r][c];
    return h;
}

Histogram packed(const Image &img, quantize::SampleScale *scale) {
    const quantize::PackedImage image = img.packed();
    messagesOn();
    color_histogram chv;
    int colors;
    Histogram h;
    ::testing::internal::CaptureStderr();
    quantize::computeHistogramPacked(image, &chv, &colors, &h.maxval, scale);
    h.messages = ::testing::internal::GetCapturedStderr();
    h.entries = entriesOf(chv, colors);
    return h;
}

void expectSameHistogram(const Image &img, const std::string &what) {
    quantize::SampleScale scale;
    const Histogram fast = packed(img, &scale);
    Image rescaled = img;
    const Histogram slow = straightforward(rescaled);
    EXPECT_EQ(fast.messages, slow.messages) << what;
    EXPECT_EQ(fast.maxval, slow.maxval) << what;
    ASSERT_EQ(fast.entries.size(), slow.entries.size()) << what;
    EXPECT_TRUE(fast.entries == slow.entries) << what;
    ASSERT_EQ(scale.size(), std::size_t{img.maxval} + 1) << what;
    for (std::size_t i = 0; i < img.px.size(); ++i) {
        const pixel &p = img.px[i];
        ASSERT_EQ((pixel{scale[p.r], scale[p.g], scale[p.b]}), rescaled.px[i]) << what << " pixel " << i;
    }
}

// Every colour of the cube of side `side` (side^3 colours), each once, in a
// scrambled order, less the last `drop`.
Image cube(int side, int drop, sample maxval) {
    Image img;
    std::vector<pixel> colors;
    for (int i = 0; i < side * side * side; ++i)
        colors.push_back(pixel{sample(i % side), sample(i / side % side), sample(i / side / side)});
    std::mt19937 rng(5);
    std::shuffle(colors.begin(), colors.end(), rng);
    colors.resize(colors.size() - static_cast<std::size_t>(drop));
    img.cols = 256;
    img.rows = static_cast<int>((colors.size() + 255) / 256);
    img.maxval = maxval;
    img.px = colors;
    while (img.px.size() < static_cast<std::size_t>(img.cols * img.rows))
        img.px.push_back(colors[0]);
    return img;
}

TEST(PackedHistogram, LimitBoundaries) {
    // 32768 colours at maxval 31 are one too many; 32767 fit.
    expectSameHistogram(cube(32, 0, 31), "32768 colours");
    expectSameHistogram(cube(32, 1, 31), "32767 colours");
    expectSameHistogram(cube(32, 0, 255), "32768 colours at maxval 255");
    expectSameHistogram(cube(33, 0, 40), "35937 colours at maxval 40");
}

TEST(PackedHistogram, RandomImagesAtEveryDepth) {
    std::mt19937 rng(3);
    const sample maxvals[] = {0, 1, 15, 31, 63, 100, 255, 256, 1000, 4095, 65535};
    for (int trial = 0; trial < fastpathtest::trials(2); ++trial)
        for (sample maxval : maxvals) {
            // Few colours, and far more than the limit.
            expectSameHistogram(fastpathtest::randomImage(rng, 37, 23, maxval, 50),
                                "few colours, maxval " + std::to_string(maxval));
            expectSameHistogram(fastpathtest::randomImage(rng, 211, 180, maxval, 40000),
                                "many colours, maxval " + std::to_string(maxval));
        }
}

TEST(PackedHistogram, EmptyImages) {
    Image none;
    none.cols = 5;
    expectSameHistogram(none, "no rows");
    none.cols = 0;
    none.rows = 4;
    expectSameHistogram(none, "no columns");
}

TEST(PackedColorMapSource, MapImageAgainstTheStraightforwardPath) {
    std::mt19937 rng(9);
    for (sample inputMaxval : {sample(255), sample(65535), sample(15)})
        for (sample mapMaxval : {sample(255), sample(7), sample(1000)}) {
            Image input = fastpathtest::randomImage(rng, 30, 20, inputMaxval, 300);
            const Image map = fastpathtest::randomImage(rng, 40, 10, mapMaxval, 200);
            RowArray inputRows(input), mapRows(map);
            messagesOn();
            color_histogram slowMap, fastMap;
            int slowColors, fastColors;
            ::testing::internal::CaptureStderr();
            quantize::computeColorMapFromMap(inputRows.pixels, input.cols, input.rows, input.maxval,
                                             mapRows.pixels, map.cols, map.rows, map.maxval,
                                             &slowMap, &slowColors);
            const std::string slowMessages = ::testing::internal::GetCapturedStderr();
            quantize::SampleScale scale;
            ::testing::internal::CaptureStderr();
            quantize::computeColorMapFromMapPacked(input.packed(), map.packed(), &fastMap,
                                                   &fastColors, &scale);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), slowMessages);
            EXPECT_TRUE(entriesOf(fastMap, fastColors) == entriesOf(slowMap, slowColors));
            for (std::size_t i = 0; i < input.px.size(); ++i) {
                const pixel &p = input.px[i];
                const pixel &q = inputRows.pixels[i / input.cols][i % input.cols];
                ASSERT_EQ((pixel{scale[p.r], scale[p.g], scale[p.b]}), q);
            }
        }
}

TEST(PackedColorMapSourceDeath, MapOfTooManyColours) {
    const Image map = cube(32, 0, 31);
    Image input;
    input.cols = input.rows = 1;
    input.px = {pixel{1, 2, 3}};
    quantize::SampleScale scale;
    color_histogram colormap;
    int colors;
    EXPECT_EXIT(
        {
            pm_init("quantize", 0);
            quantize::computeColorMapFromMapPacked(input.packed(), map.packed(), &colormap,
                                                   &colors, &scale);
        },
        ::testing::ExitedWithCode(1), ::testing::Eq("quantize: too many colors in colormap!\n"));
}

}  // namespace
