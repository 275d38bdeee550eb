// Whole images converted by the fast path against convertRow with its
// chained cache: the same colours, the same dithering errors, undithered and
// dithered (from the same fixed starting errors), after rescaling, and when
// the chained cache stops taking entries.
#include "fast_convert.h"

#include <kestrum/colormap.h>
#include <kestrum/ppm.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "colormap_source.h"
#include "fast_path_testutil.h"
#include "mediancut.h"
#include "packed_colormap_source.h"
#include "search.h"

namespace {

using fastpathtest::Image;
using fastpathtest::RowArray;

// Six error rows with the given starting errors, going left to right.
struct Errors {
    Errors(int cols, std::mt19937 &rng) {
        for (auto &a : arrays) {
            a.resize(static_cast<std::size_t>(cols) + 2);
            for (auto &e : a)
                e = static_cast<std::int32_t>(rng() % 2048) - 1024;
        }
        fs = quantize::fserr_state{arrays[0].data(), arrays[1].data(), arrays[2].data(),
                                   arrays[3].data(), arrays[4].data(), arrays[5].data(), 1};
    }
    std::vector<std::int32_t> arrays[6];
    quantize::fserr_state fs;
};

struct Run {
    std::vector<pixel> out;
    std::vector<std::int32_t> finalErrors;  // current rows after the last row
};

std::vector<std::int32_t> currentErrors(const quantize::fserr_state &fs, int cols) {
    std::vector<std::int32_t> v;
    for (const std::int32_t *a : {fs.this_red_err, fs.this_green_err, fs.this_blue_err})
        v.insert(v.end(), a, a + cols + 2);
    return v;
}

// The straightforward conversion of img (already at the map's maxval);
// with dropCacheAtRow >= 0, caching stops there as after a refused entry.
Run straightforward(const Image &img, const std::vector<color_count> &map, sample maxval,
                    Errors *errors, int dropCacheAtRow) {
    RowArray rows(img);
    quantize::cht = ppm_alloccolorhash();
    quantize::usehash = 1;
    for (int r = 0; r < img.rows; ++r) {
        if (r == dropCacheAtRow)
            quantize::usehash = 0;
        quantize::convertRow(rows.pixels[r], img.cols, maxval, map.data(),
                             static_cast<int>(map.size()), errors != nullptr, errors ? &errors->fs : nullptr);
    }
    ppm_freecolorhash(quantize::cht);
    quantize::cht = nullptr;
    Run run;
    for (int r = 0; r < img.rows; ++r)
        run.out.insert(run.out.end(), rows.pixels[r], rows.pixels[r] + img.cols);
    if (errors)
        run.finalErrors = currentErrors(errors->fs, img.cols);
    return run;
}

Run fast(const Image &img, const std::vector<color_count> &map, sample maxval,
         const quantize::SampleScale &scale, Errors *errors, std::size_t cellPoolLimit) {
    const quantize::PackedImage image = img.packed();
    quantize::FastConverter converter(map.data(), static_cast<int>(map.size()), maxval, scale, cellPoolLimit);
    Run run;
    std::vector<pixel> out(static_cast<std::size_t>(img.cols));
    for (int r = 0; r < img.rows; ++r) {
        image.dispatch([&](auto word) {
            converter.convert(image.row<decltype(word)>(r), img.cols, out.data(),
                              errors ? &errors->fs : nullptr);
        });
        run.out.insert(run.out.end(), out.begin(), out.end());
    }
    if (errors)
        run.finalErrors = currentErrors(errors->fs, img.cols);
    return run;
}

// The input rescaled in place as the straightforward path does.
Image rescaled(const Image &img, sample maxval) {
    RowArray rows(img);
    quantize::rescaleImage(rows.pixels, img.cols, img.rows, img.maxval, maxval);
    Image out = img;
    out.maxval = maxval;
    for (std::size_t i = 0; i < out.px.size(); ++i)
        out.px[i] = rows.pixels[i / img.cols][i % img.cols];
    return out;
}

// A median-cut map of the image's colours (with duplicates and surplus
// black when more colours are asked for than there are), or random colours.
std::vector<color_count> makeMap(std::mt19937 &rng, const Image &img, int newcolors) {
    RowArray rows(img);
    int colors;
    color_histogram chv = ppm_computecolorhist(rows.pixels, img.cols, img.rows, 0, &colors);
    color_histogram cm = quantize::mediancut(chv, colors, img.cols * img.rows, img.maxval, newcolors);
    std::vector<color_count> map(cm, cm + newcolors);
    ppm_freecolorhist(chv);
    ppm_freecolorhist(cm);
    if (rng() % 2 == 0)
        map.push_back(map[rng() % map.size()]);  // a duplicate
    return map;
}

void expectSameImage(const Image &input, sample mapMaxval, std::mt19937 &rng, int newcolors,
                     const std::string &what,
                     std::size_t cellPoolLimit = quantize::FastConverter::kCellPoolLimit) {
    const Image atMap = input.maxval == mapMaxval ? input : rescaled(input, mapMaxval);
    const auto map = makeMap(rng, atMap, newcolors);
    const quantize::SampleScale scale = quantize::rescaleTable(input.maxval, mapMaxval);
    const int dropAt = static_cast<int>(rng() % (input.rows + 1));

    const Run plainSlow = straightforward(atMap, map, mapMaxval, nullptr, -1);
    const Run plainFast = fast(input, map, mapMaxval, scale, nullptr, cellPoolLimit);
    ASSERT_TRUE(plainFast.out == plainSlow.out) << what << ", undithered";
    const Run plainRefused = straightforward(atMap, map, mapMaxval, nullptr, dropAt);
    ASSERT_TRUE(plainRefused.out == plainSlow.out) << what << ", cache dropped at row " << dropAt;

    const std::uint32_t seed = rng();
    std::mt19937 errorsA(seed), errorsB(seed);
    Errors slowErrors(input.cols, errorsA), fastErrors(input.cols, errorsB);
    const Run ditherSlow = straightforward(atMap, map, mapMaxval, &slowErrors, dropAt);
    const Run ditherFast = fast(input, map, mapMaxval, scale, &fastErrors, cellPoolLimit);
    ASSERT_TRUE(ditherFast.out == ditherSlow.out) << what << ", dithered";
    EXPECT_EQ(ditherFast.finalErrors, ditherSlow.finalErrors) << what;
    EXPECT_EQ(fastErrors.fs.left_to_right, slowErrors.fs.left_to_right) << what;
}

TEST(FastConverter, WholeImagesAgreeWithConvertRow) {
    std::mt19937 rng(31);
    struct Case {
        sample inputMaxval, mapMaxval;
        int colors, newcolors;
    };
    const Case cases[] = {
        {255, 255, 3000, 256}, {255, 255, 40, 300},   {255, 15, 500, 16},     {15, 255, 100, 50},
        {63, 63, 2000, 2},     {65535, 65535, 800, 64}, {65535, 300, 800, 200}, {1000, 1000, 50, 500},
        {1, 1, 8, 3},          {0, 0, 1, 2},          {255, 65535, 200, 40},  {255, 100, 3000, 256},
    };
    for (int trial = 0; trial < fastpathtest::trials(1); ++trial)
        for (const Case &c : cases) {
            const Image img = fastpathtest::randomImage(rng, 1 + static_cast<int>(rng() % 60),
                                                        1 + static_cast<int>(rng() % 30), c.inputMaxval,
                                                        c.colors);
            expectSameImage(img, c.mapMaxval, rng, c.newcolors,
                            std::to_string(c.inputMaxval) + " to " + std::to_string(c.mapMaxval) +
                                ", " + std::to_string(c.newcolors) + " colours");
        }
}

// Dithering cells whose lists find no room fall back to the search.
TEST(FastConverter, StaysExactWhenCellListsRunOutOfRoom) {
    std::mt19937 rng(17);
    // Without room, every cell of several candidates falls back: first to
    // the search, then, after a few thousand cells, to the colour cache.
    for (std::size_t limit : {std::size_t{0}, std::size_t{40}, std::size_t{1000}}) {
        const Image img = fastpathtest::randomImage(rng, 300, 60, 255, 6000);
        expectSameImage(img, 255, rng, 256, "cell pool limit " + std::to_string(limit), limit);
    }
}

TEST(FastConverter, PhotographAgreesWithConvertRow) {
    FILE *f = pm_openr(testsupport::sourcePath("examples/coffee.ppm").c_str());
    Image img;
    pixel **rows = ppm_readppm(f, &img.cols, &img.rows, &img.maxval);
    pm_close(f);
    // A band of the photograph, enough for its colour variety.
    img.rows = 60;
    for (int r = 0; r < img.rows; ++r)
        img.px.insert(img.px.end(), rows[r + 150], rows[r + 150] + img.cols);
    pm_freearray(reinterpret_cast<void **>(rows), 400);
    std::mt19937 rng(8);
    expectSameImage(img, 255, rng, 256, "photograph at 255");
    expectSameImage(img, 63, rng, 256, "photograph at 63");
}

}  // namespace
