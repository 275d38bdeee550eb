// Shared by the quantizer's unit tests: comparable colours, error rows owned
// by the test, random images in the row-array and packed forms, and the one
// driver that checks every fast path against the straightforward code.
#ifndef QUANTIZE_TESTUTIL_H
#define QUANTIZE_TESTUTIL_H

#include <kestrum/colormap.h>
#include <kestrum/common.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "floyd.h"
#include "packed_image.h"

inline bool operator==(const pixel &a, const pixel &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
inline bool operator==(const color_count &a, const color_count &b) {
    return a.color == b.color && a.value == b.value;
}
inline void PrintTo(const pixel &p, std::ostream *os) {
    *os << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}
inline void PrintTo(const color_count &e, std::ostream *os) {
    PrintTo(e.color, os);
    *os << " x" << e.value;
}

namespace quantizetest {

// Error rows of cols + 2 slots, 0 or random within one step, going right;
// arrays[]: this red, next red, this green, next green, this blue, next blue.
struct ErrorRows {
    explicit ErrorRows(int cols, std::mt19937 *rng = nullptr) {
        for (auto &a : arrays)
            for (int k = 0; k < cols + 2; ++k)
                a.push_back(rng ? static_cast<std::int32_t>((*rng)() % 2048) - 1024 : 0);
        fs = {arrays[0].data(), arrays[1].data(), arrays[2].data(),
              arrays[3].data(), arrays[4].data(), arrays[5].data(), 1};
    }
    ErrorRows(const ErrorRows &) = delete;
    std::vector<std::int32_t> arrays[6];
    quantize::fserr_state fs;
};

// An image as its pixels, row after row.
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

// The same pixels as an image array (pm_allocarray), freed with this.
struct RowArray {
    explicit RowArray(const Image &img) : cols(img.cols), rows(img.rows) {
        pixels = reinterpret_cast<pixel **>(pm_allocarray(cols, rows, sizeof(pixel)));
        for (std::size_t i = 0; i < img.px.size(); ++i)
            pixels[i / cols][i % cols] = img.px[i];
    }
    ~RowArray() { pm_freearray(reinterpret_cast<void **>(pixels), rows); }
    RowArray(const RowArray &) = delete;
    std::vector<pixel> flat() const {
        std::vector<pixel> out;
        for (int r = 0; r < rows; ++r)
            out.insert(out.end(), pixels[r], pixels[r] + cols);
        return out;
    }
    int cols, rows;
    pixel **pixels;
};

inline pixel randomColor(std::mt19937 &rng, sample maxval) {
    const auto s = [&] { return static_cast<sample>(rng() % (std::uint64_t{maxval} + 1)); };
    return pixel{s(), s(), s()};
}

// Pixels from a palette of `colors` random colours, in runs, with smooth
// stretches: the flat areas and many nearby colours of photographs.
inline Image randomImage(std::mt19937 &rng, int cols, int rows, sample maxval, int colors) {
    std::vector<pixel> palette;
    for (int i = 0; i < colors; ++i)
        palette.push_back(randomColor(rng, maxval));
    Image img{cols, rows, maxval, {}};
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

// What f printed, with messages on.
template <typename F>
std::string messagesOf(F f) {
    pm_init("quantize", 0);
    pm_setMessage(1, nullptr);
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

// The straightforward code's and a fast path's results on one input.
template <typename T>
struct Compared {
    std::string what;
    std::vector<T> oracle = {}, fast = {};
    std::string oracleMessages = {}, fastMessages = {};
};

// The differential driver: compare(rng, c) runs both paths on an input made
// for case c. Every case, trials(base) times over (times QUANTIZE_DIFF_SCALE
// for longer runs), must give the same results and messages.
template <typename Cases, typename Compare>
void differential(std::uint32_t seed, int base, const Cases &cases, Compare compare) {
    const char *scale = std::getenv("QUANTIZE_DIFF_SCALE");
    std::mt19937 rng(seed);
    for (int trial = 0; trial < base * std::max(1, scale ? std::atoi(scale) : 1); ++trial)
        for (const auto &c : cases) {
            const auto r = compare(rng, c);
            using Results = std::decay_t<decltype(r.fast)>;
            ASSERT_EQ(r.fastMessages, r.oracleMessages) << r.what;
            const auto at = std::mismatch(r.fast.begin(), r.fast.end(), r.oracle.begin(), r.oracle.end());
            ASSERT_TRUE(r.fast == r.oracle)
                << r.what << ", from result " << at.first - r.fast.begin() << " on: "
                << ::testing::PrintToString(Results(at.first, r.fast.end())) << " instead of "
                << ::testing::PrintToString(Results(at.second, r.oracle.end()));
        }
}

}  // namespace quantizetest

#endif
