// Shared by the colour unit's tests: images in memory, readable printing of
// colours, and the histogram as a comparable vector.
#ifndef KESTRUM_COLORMAP_TESTUTIL_H
#define KESTRUM_COLORMAP_TESTUTIL_H

#include <kestrum/colormap.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

inline bool operator==(const pixel &a, const pixel &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
inline void PrintTo(const pixel &p, std::ostream *os) {
    *os << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}
inline bool operator==(const color_count &a, const color_count &b) {
    return a.color == b.color && a.value == b.value;
}
inline void PrintTo(const color_count &c, std::ostream *os) {
    PrintTo(c.color, os);
    *os << "x" << c.value;
}

namespace colormaptest {

// An image held as the library expects it: an array of row pointers.
class Image {
public:
    Image(int cols, int rows)
        : cols_(cols), rows_(rows), data_(static_cast<std::size_t>(cols) * rows) { index(); }
    explicit Image(const std::vector<std::vector<pixel>> &rows)
        : cols_(rows.empty() ? 0 : static_cast<int>(rows[0].size())),
          rows_(static_cast<int>(rows.size())) {
        for (const auto &row : rows)
            data_.insert(data_.end(), row.begin(), row.end());
        index();
    }
    Image(const Image &other) : cols_(other.cols_), rows_(other.rows_), data_(other.data_) { index(); }

    int cols() const { return cols_; }
    int rows() const { return rows_; }
    pixel **pixels() { return rowIndex_.data(); }
    pixel &at(int row, int col) { return data_[static_cast<std::size_t>(row) * cols_ + col]; }
    const std::vector<pixel> &raster() const { return data_; }

    // The image as a plain PPM file.
    std::string plainPpm(sample maxval) const {
        std::string s = "P3\n" + std::to_string(cols_) + " " + std::to_string(rows_) + "\n" +
                        std::to_string(maxval) + "\n";
        for (const pixel &p : data_)
            s += std::to_string(p.r) + " " + std::to_string(p.g) + " " + std::to_string(p.b) + "\n";
        return s;
    }

private:
    void index() {
        rowIndex_.clear();
        for (int r = 0; r < rows_; ++r)
            rowIndex_.push_back(data_.data() + static_cast<std::size_t>(r) * cols_);
        rowIndex_.push_back(nullptr);
    }
    int cols_, rows_;
    std::vector<pixel> data_;
    std::vector<pixel *> rowIndex_;
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
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            img.at(r, c) = palette[pick(gen)];
    return img;
}

// The used entries of a histogram (null: no entries), which it releases.
inline std::vector<color_count> takeHistogram(color_histogram chv, int colors) {
    std::vector<color_count> v;
    if (chv == nullptr)
        return v;
    v.assign(chv, chv + colors);
    ppm_freecolorhist(chv);
    return v;
}

inline color_count cc(sample r, sample g, sample b, int value) { return color_count{pixel{r, g, b}, value}; }

}  // namespace colormaptest

#endif
