// Whole images converted by the fast path against convertRow with its
// chained cache: the same colours and the same dithering errors, undithered
// and dithered from the same starting errors, after rescaling, when the
// chained cache stops taking entries and when the cell lists run out of room.
#include "fast_convert.h"

#include <kestrum/colormap.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "colormap_source.h"
#include "mediancut.h"
#include "packed_colormap_source.h"
#include "quantize_testutil.h"
#include "search.h"

namespace {

using quantizetest::ErrorRows;
using quantizetest::Image;
using quantizetest::RowArray;

// convertRow over img rescaled to the map's maxval, appended to out; caching
// stops at row dropCacheAt, as after a refused entry.
void straightforward(const Image &img, const std::vector<color_count> &map, sample maxval, int dropCacheAt,
                     ErrorRows *errors, std::vector<pixel> *out) {
    RowArray rows(img);
    quantize::rescaleImage(rows.pixels, img.cols, img.rows, img.maxval, maxval);
    quantize::cht = ppm_alloccolorhash();
    for (int r = 0; r < img.rows; ++r) {
        quantize::usehash = r < dropCacheAt;
        quantize::convertRow(rows.pixels[r], img.cols, maxval, map.data(), static_cast<int>(map.size()),
                             errors != nullptr, errors ? &errors->fs : nullptr);
        out->insert(out->end(), rows.pixels[r], rows.pixels[r] + img.cols);
    }
    ppm_freecolorhash(quantize::cht);
    quantize::cht = nullptr;
}

void fast(const Image &img, const std::vector<color_count> &map, sample maxval, std::size_t cellPoolLimit,
          ErrorRows *errors, std::vector<pixel> *out) {
    const quantize::PackedImage image = img.packed();
    quantize::FastConverter converter(map.data(), static_cast<int>(map.size()), maxval,
                                      quantize::rescaleTable(img.maxval, maxval), cellPoolLimit);
    std::vector<pixel> row(img.cols);
    for (int r = 0; r < img.rows; ++r) {
        image.dispatch([&](auto word) {
            converter.convert(image.row<decltype(word)>(r), img.cols, row.data(), errors ? &errors->fs : nullptr);
        });
        out->insert(out->end(), row.begin(), row.end());
    }
}

struct Case {
    sample inputMaxval, mapMaxval;
    int colors, newcolors;
    int cols = 0, rows = 0;  // 0: random, up to 60 by 30
    std::size_t cellPoolLimit = quantize::FastConverter::kCellPoolLimit;
};

TEST(FastConverter, WholeImagesAgreeWithConvertRow) {
    const Case cases[] = {
        {255, 255, 3000, 256},   {255, 255, 40, 300},      {255, 15, 500, 16},     {15, 255, 100, 50},
        {63, 63, 2000, 2},       {65535, 65535, 800, 64},  {65535, 300, 800, 200}, {1000, 1000, 50, 500},
        {1, 1, 8, 3},            {0, 0, 1, 2},             {255, 65535, 200, 40},  {255, 100, 3000, 256},
        // Without room, cells of several candidates fall back to the search,
        // and after a few thousand cells to the colour cache.
        {255, 255, 6000, 256, 300, 60, 0},
        {255, 255, 6000, 256, 300, 60, 40},
        {255, 255, 6000, 256, 300, 60, 1000},
    };
    quantizetest::differential(31, 1, cases, [](std::mt19937 &rng, const Case &c) {
        const int cols = c.cols ? c.cols : 1 + static_cast<int>(rng() % 60);
        const int rows = c.rows ? c.rows : 1 + static_cast<int>(rng() % 30);
        const Image input = quantizetest::randomImage(rng, cols, rows, c.inputMaxval, c.colors);
        // A median-cut map of the colours, with surplus black when there are
        // fewer than asked for, and a duplicate half the time.
        RowArray rescaled(input);
        quantize::rescaleImage(rescaled.pixels, input.cols, input.rows, input.maxval, c.mapMaxval);
        int colors;
        color_histogram chv = ppm_computecolorhist(rescaled.pixels, input.cols, input.rows, 0, &colors);
        color_histogram cm = quantize::mediancut(chv, colors, input.cols * input.rows, c.mapMaxval, c.newcolors);
        std::vector<color_count> map(cm, cm + c.newcolors);
        ppm_freecolorhist(chv);
        ppm_freecolorhist(cm);
        if (rng() % 2 == 0)
            map.push_back(map[rng() % map.size()]);

        const int dropCacheAt = static_cast<int>(rng() % (input.rows + 1));
        quantizetest::Compared<pixel> r{std::to_string(c.inputMaxval) + " to " + std::to_string(c.mapMaxval) +
                                        ", pool " + std::to_string(c.cellPoolLimit) + ", uncached from row " +
                                        std::to_string(dropCacheAt)};
        straightforward(input, map, c.mapMaxval, dropCacheAt, nullptr, &r.oracle);
        fast(input, map, c.mapMaxval, c.cellPoolLimit, nullptr, &r.fast);
        const std::uint32_t seed = rng();
        std::mt19937 seedA(seed), seedB(seed);
        ErrorRows slowErrors(input.cols, &seedA), fastErrors(input.cols, &seedB);
        straightforward(input, map, c.mapMaxval, dropCacheAt, &slowErrors, &r.oracle);
        fast(input, map, c.mapMaxval, c.cellPoolLimit, &fastErrors, &r.fast);
        // The errors left for the next row, and its direction.
        for (auto row : {&quantize::fserr_state::this_red_err, &quantize::fserr_state::this_green_err,
                         &quantize::fserr_state::this_blue_err})
            EXPECT_TRUE(std::equal(fastErrors.fs.*row, fastErrors.fs.*row + input.cols + 2, slowErrors.fs.*row)) << r.what;
        EXPECT_EQ(fastErrors.fs.left_to_right, slowErrors.fs.left_to_right) << r.what;
        return r;
    });
}

}  // namespace
