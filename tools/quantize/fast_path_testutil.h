// Shared by the differential tests of the fast paths: random images in both
// forms (packed, and rows of pixels for the straightforward code), and the
// number of random trials, scaled by QUANTIZE_DIFF_SCALE (default 1) for
// longer runs.
#ifndef QUANTIZE_FAST_PATH_TESTUTIL_H
#define QUANTIZE_FAST_PATH_TESTUTIL_H

#include <kestrum/common.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "packed_image.h"
#include "quantize_testutil.h"

inline bool operator==(const color_count &a, const color_count &b) {
    return a.color == b.color && a.value == b.value;
}

namespace fastpathtest {

inline int trials(int base) {
    const char *scale = std::getenv("QUANTIZE_DIFF_SCALE");
    const int factor = scale ? std::atoi(scale) : 1;
    return base * (factor > 0 ? factor : 1);
}

// An image as a flat list of pixels, row after row.
struct Image {
    int cols = 0, rows = 0;
    sample maxval = 255;
    std::vector<pixel> px;

    quantize::PackedImage packed() const {
        quantize::PackedImage image;
        image.cols = cols;
        image.rows = rows;
        image.maxval = maxval;
        for (int r = 0; r < rows; ++r)
            image.appendRow(px.data() + static_cast<std::size_t>(r) * cols);
        return image;
    }
};

// The same pixels as an image array (pm_allocarray); frees itself.
struct RowArray {
    explicit RowArray(const Image &img) : rows(img.rows) {
        pixels = reinterpret_cast<pixel **>(pm_allocarray(img.cols, img.rows, sizeof(pixel)));
        for (int r = 0; r < img.rows; ++r)
            for (int c = 0; c < img.cols; ++c)
                pixels[r][c] = img.px[static_cast<std::size_t>(r) * img.cols + c];
    }
    ~RowArray() { pm_freearray(reinterpret_cast<void **>(pixels), rows); }
    RowArray(const RowArray &) = delete;
    RowArray &operator=(const RowArray &) = delete;
    int rows;
    pixel **pixels;
};

// A random sample in 0..maxval.
inline sample randomSample(std::mt19937 &rng, sample maxval) {
    return static_cast<sample>(rng() % (std::uint64_t{maxval} + 1));
}

inline pixel randomColor(std::mt19937 &rng, sample maxval) {
    return pixel{randomSample(rng, maxval), randomSample(rng, maxval), randomSample(rng, maxval)};
}

// An image whose pixels come from a palette of `colors` random colours, in
// runs, with some smooth stretches: photographs' mixture of flat areas and
// many nearby colours.
inline Image randomImage(std::mt19937 &rng, int cols, int rows, sample maxval, int colors) {
    Image img;
    img.cols = cols;
    img.rows = rows;
    img.maxval = maxval;
    std::vector<pixel> palette;
    for (int i = 0; i < colors; ++i)
        palette.push_back(randomColor(rng, maxval));
    pixel current = palette[0];
    for (int i = 0; i < cols * rows; ++i) {
        const unsigned what = rng() % 8;
        if (what < 3)
            current = palette[rng() % palette.size()];
        else if (what == 3)
            current.r = std::min<sample>(maxval, current.r + 1);
        img.px.push_back(current);
    }
    return img;
}

}  // namespace fastpathtest

#endif
