// Shared by the colour unit's tests: images in memory, readable printing of
// colours, and the histogram as a comparable vector.
#ifndef KESTRUM_COLORMAP_TESTUTIL_H
#define KESTRUM_COLORMAP_TESTUTIL_H

#include <kestrum/colormap.h>
#include <kestrum/common.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

inline bool operator==(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
inline void PrintTo(const pixel &p, std::ostream *os) { *os << "(" << p.r << ", " << p.g << ", " << p.b << ")"; }
inline bool operator==(const color_count &a, const color_count &b) { return a.color == b.color && a.value == b.value; }
inline void PrintTo(const color_count &c, std::ostream *os) {
    PrintTo(c.color, os);
    *os << "x" << c.value;
}

namespace colormaptest {

// An image held as the library expects it: an array of row pointers.
struct Image {
    int cols, rows;
    std::vector<pixel> raster;
    std::vector<pixel *> index;
    Image(int c, int r) : cols(c), rows(r), raster(std::size_t(c) * r) {}
    Image(const std::vector<std::vector<pixel>> &image) : cols(int(image[0].size())), rows(int(image.size())) {
        for (const auto &row : image)
            raster.insert(raster.end(), row.begin(), row.end());
    }
    pixel **pixels() {  // rebuilt on each call, so that copies stay sound
        index.clear();
        for (int r = 0; r < rows; ++r)
            index.push_back(raster.data() + std::size_t(r) * cols);
        index.push_back(nullptr);
        return index.data();
    }
    pixel &at(int row, int col) { return raster[std::size_t(row) * cols + col]; }
    std::string plainPpm() const {
        std::string s = "P3\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n65535\n";
        for (const pixel &p : raster)
            s += std::to_string(p.r) + " " + std::to_string(p.g) + " " + std::to_string(p.b) + "\n";
        return s;
    }
};

// Pixels drawn from a palette of `colors` random colours with samples up to
// maxval; a small palette over a large image repeats colours a lot.
inline Image randomImage(int cols, int rows, int colors, sample maxval, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<sample> sampleDist(0, maxval);
    std::vector<pixel> palette(static_cast<std::size_t>(colors));
    for (pixel &p : palette)
        p = pixel{sampleDist(gen), sampleDist(gen), sampleDist(gen)};
    std::uniform_int_distribution<std::size_t> pick(0, palette.size() - 1);
    Image img(cols, rows);
    for (pixel &p : img.raster)
        p = palette[pick(gen)];
    return img;
}

// The used entries of a histogram or colour row (null: none), which it releases.
template <typename T>
std::vector<T> take(T *entries, int n) {
    std::vector<T> v;
    if (entries)
        v.assign(entries, entries + n);
    if constexpr (std::is_same_v<T, color_count>)
        ppm_freecolorhist(entries);
    else
        pm_freerow(entries);
    return v;
}

inline color_count cc(sample r, sample g, sample b, int value) { return color_count{pixel{r, g, b}, value}; }

}  // namespace colormaptest

#endif
