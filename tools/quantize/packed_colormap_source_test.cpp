// The packed histogram against the straightforward one: the same
// messages, entries, counts, order, maxval reductions and samples.
#include "packed_colormap_source.h"

#include <kestrum/common.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "colormap_source.h"
#include "quantize_testutil.h"

namespace {

using quantizetest::Compared;
using quantizetest::Image;
using quantizetest::messagesOf;
using quantizetest::RowArray;

std::vector<pixel> scaled(const std::vector<pixel> &px, const quantize::SampleScale &scale) {
    std::vector<pixel> out;
    for (const pixel &p : px)
        out.push_back(pixel{scale.at(p.r), scale.at(p.g), scale.at(p.b)});
    return out;
}

std::vector<color_count> entriesOf(color_histogram chv, int colors) {
    std::vector<color_count> v(chv, chv + colors);
    ppm_freecolorhist(chv);
    return v;
}

// Both histograms; the packed path's scale table must give the samples that
// the straightforward one rescaled in place.
Compared<color_count> histograms(const Image &img, const std::string &what) {
    RowArray rows(img);
    color_histogram slow, fast;
    int slowColors, fastColors;
    sample slowMaxval, fastMaxval;
    quantize::SampleScale scale;
    Compared<color_count> r{what};
    r.oracleMessages = messagesOf([&] {
        quantize::computeHistogram(rows.pixels, img.cols, img.rows, img.maxval, &slow, &slowColors, &slowMaxval);
    });
    r.fastMessages = messagesOf([&] {
        quantize::computeHistogramPacked(img.packed(), &fast, &fastColors, &fastMaxval, &scale);
    });
    r.oracle = entriesOf(slow, slowColors);
    r.fast = entriesOf(fast, fastColors);
    EXPECT_EQ(fastMaxval, slowMaxval) << what;
    EXPECT_EQ(scaled(img.px, scale), rows.flat()) << what;
    return r;
}

// Every colour of the cube of side `side`, once each in scrambled order, less
// the last `drop`, in rows of 256 filled up with the first colour.
Image cube(int side, int drop, sample maxval) {
    Image img{256, (side * side * side - drop + 255) / 256, maxval, {}};
    for (int i = 0; i < side * side * side; ++i)
        img.px.push_back(pixel{sample(i % side), sample(i / side % side), sample(i / side / side)});
    std::mt19937 rng(5);
    std::shuffle(img.px.begin(), img.px.end(), rng);
    img.px.resize(img.px.size() - drop);
    img.px.resize(static_cast<std::size_t>(img.cols * img.rows), img.px[0]);
    return img;
}

TEST(PackedHistogram, AtTheColourLimitAndWithoutPixels) {
    const Image images[] = {
        cube(32, 0, 31),   // 32768 colours: one too many, so the maxval halves
        cube(32, 1, 31),   // 32767 fit
        cube(32, 0, 255),  // halved twice
        cube(33, 0, 40),
        Image{5, 0, 255, {}},
        Image{0, 4, 255, {}},
    };
    quantizetest::differential(0, 1, images, [](std::mt19937 &, const Image &img) {
        return histograms(img, std::to_string(img.cols) + " by " + std::to_string(img.rows) +
                                   " at maxval " + std::to_string(img.maxval));
    });
}

TEST(PackedHistogram, RandomImagesAtEveryDepth) {
    struct Case {
        sample maxval;
        int cols, rows, colors;
    };
    std::vector<Case> cases;
    for (sample maxval : {0, 1, 15, 31, 63, 100, 255, 256, 1000, 4095, 65535})
        for (const Case &size : {Case{0, 37, 23, 50}, Case{0, 211, 180, 40000}})  // few, too many
            cases.push_back(Case{maxval, size.cols, size.rows, size.colors});
    quantizetest::differential(3, 2, cases, [](std::mt19937 &rng, const Case &c) {
        return histograms(quantizetest::randomImage(rng, c.cols, c.rows, c.maxval, c.colors),
                          std::to_string(c.colors) + " colours at maxval " + std::to_string(c.maxval));
    });
}

}  // namespace
