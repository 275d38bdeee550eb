#include "two_pass_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "colormap_rules.h"
#include "image_checks.h"
#include "malloc_product.h"
#include "mediancut.h"
#include "packed_image.h"
#include "threads.h"

namespace quantize {

namespace {

// Pixels in a block of rows: each block is summed on both readings, and
// held (packed) by the second until its sum is found right.
constexpr std::size_t kBlockPixels = std::size_t{1} << 20;

long long fileSize(FILE *file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A checksum of the pixels in order: two running sums of the mixed pixels
// (the second sums the first, so that it depends on where each pixel is),
// cheap beside decoding them.
struct BlockSum {
    std::uint64_t first = 0, second = 0;
    void add(const pixel *span, int count) {
        for (int i = 0; i < count; ++i) {
            const std::uint64_t p = (std::uint64_t{span[i].r} << 42) | (std::uint64_t{span[i].g} << 21) | span[i].b;
            first += p * 0x9E3779B97F4A7C15ull;
            second += first;
        }
    }
    std::uint64_t value() const { return first ^ (second * 0xC2B2AE3D27D4EB4Full); }
};

// The largest sample of a span: one comparison with maxval for all of it.
sample largestSample(const pixel *span, int count) {
    sample largest = 0;
    for (int i = 0; i < count; ++i)
        largest = std::max({largest, span[i].r, span[i].g, span[i].b});
    return largest;
}

[[noreturn]] void fileChanged(const char *fileSpec) {
    const std::string what =
        std::strcmp(fileSpec, "-") == 0 ? "standard input" : std::string("file '") + fileSpec + "'";
    pm_error("the image in %s changed between its first and second reading", what.c_str());
}

}  // namespace

bool canReadTwice(FILE *file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && ftell(file) >= 0;
}

// Reads rows firstRow .. firstRow + blockRows - 1 a span at a time, each
// into room(count), handing each span to visit(span, row, col, count).
template <typename Room, typename Visit>
void TwoPassInput::readBlock(int firstRow, int blockRows, Room room, Visit visit) {
    const int spanCols = std::min(cols_, kReadSpanPixels);
    for (int r = firstRow; r < firstRow + blockRows; ++r) {
        for (int col = 0; col < cols_; col += spanCols) {
            const int count = std::min(spanCols, cols_ - col);
            pixel *span = room(count);
            ppm_readppmrow(file_, span, count, maxval_, format_);
            visit(span, r, col, count);
        }
    }
}

void computeColorMapFromMapFile(sample inputMaxval, const char *mapSpec, color_histogram *colormapP,
                                int *colorsP, sample *mapMaxvalP, SampleScale *scaleP) {
    FILE *file = pm_openr(mapSpec);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    // Counting stops at the limit, but the rest is read and checked, as
    // when the map was read whole before it was counted.
    StreamingHistogram counter(maxval, false);
    if (cols > 0 && rows > 0) {
        const int spanCols = std::min(cols, kReadSpanPixels);
        pixel *span = static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel))));
        for (int r = 0; r < rows; ++r) {
            for (int col = 0; col < cols; col += spanCols) {
                const int count = std::min(spanCols, cols - col);
                ppm_readppmrow(file, span, count, maxval, format);
                checkSpanSamples(span, count, r, col, maxval, mapSpec);
                counter.add(span, count);
            }
        }
        pm_freerow(span);
    }
    pm_close(file);
    if (cols == 0 || rows == 0)
        pm_error("colormap in file '%s' contains no pixels", mapSpec);
    if (maxval != inputMaxval)
        pm_message("rescaling input image to match colormap maxval");
    *scaleP = rescaleTable(inputMaxval, maxval);
    if (counter.overflowed())
        pm_error("too many colors in colormap!");
    const std::vector<WideColorCount> hist = counter.histogram();
    const int colors = static_cast<int>(hist.size());
    pm_message("%d colors found in colormap", colors);
    // Room for the limit, as the histogram of the whole map has.
    void *block = nullptr;
    kestrum::mallocProduct(&block, kMaxHistogramColors, sizeof(color_count));
    if (block == nullptr)
        pm_error("out of memory generating histogram");
    auto *colormap = static_cast<color_histogram>(block);
    for (int i = 0; i < colors; ++i) {
        const WideColorCount &e = hist[static_cast<std::size_t>(i)];
        colormap[i] = color_count{e.color, static_cast<int>(std::min<std::uint64_t>(e.value, INT32_MAX))};
    }
    *colormapP = colormap;
    *colorsP = colors;
    *mapMaxvalP = maxval;
}

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, bool countColors) : file_(file), fileSpec_(fileSpec) {
    ppm_readppminit(file, &cols_, &rows_, &maxval_, &format_);
    readFirst(countColors, 1);
}

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                           format_code format, bool countColors, unsigned threads)
    : file_(file), fileSpec_(fileSpec), cols_(cols), rows_(rows), maxval_(maxval), format_(format) {
    readFirst(countColors, threads);
}

// No limit on the number of pixels: nothing held grows with it, and counts
// are 64-bit.
void TwoPassInput::readFirst(bool countColors, unsigned threads) {
    size_ = fileSize(file_);
    rasterStart_ = ftell(file_);
    if (countColors)
        counter_ = std::make_unique<StreamingHistogram>(maxval_);
    // Rows without columns hold no bytes: nothing to read, on either pass.
    if (cols_ == 0 || rows_ == 0)
        return;
    blockRows_ = static_cast<int>(std::max<std::size_t>(1, kBlockPixels / static_cast<std::size_t>(cols_)));
    // Counted on another thread when there is one, else span by span here.
    const bool alongside = counter_ && threads > 1;
    const auto readAll = [&](const SpanRoom &room) {
        for (int first = 0; first < rows_; first += blockRows_) {
            BlockSum sum;
            readBlock(first, std::min(blockRows_, rows_ - first), room,
                      [&](const pixel *s, int row, int col, int count) {
                          if (largestSample(s, count) > maxval_)
                              checkSpanSamples(s, count, row, col, maxval_, fileSpec_);
                          sum.add(s, count);
                          if (counter_ && !alongside)
                              counter_->add(s, count);
                      });
            blockSums_.push_back(sum.value());
        }
    };
    const int spanCols = std::min(cols_, kReadSpanPixels);
    if (alongside) {
        counter_->reserveAll();
        consumeAlongside(spanCols, readAll, [&](const pixel *p, int count) { counter_->add(p, count); });
        return;
    }
    pixel *span = static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel))));
    readAll([span](int) { return span; });
    pm_freerow(span);
}

TwoPassInput::~TwoPassInput() { pm_close(file_); }

void TwoPassInput::chooseColorMap(int newcolors, bool dithered, color_histogram *colormapP,
                                  int *mapColorsP, sample *newmaxvalP, SampleScale *scaleP) {
    std::vector<WideColorCount> hist;
    counter_->finish(&hist, newmaxvalP, scaleP);
    counter_.reset();
    quantize::chooseColorMap(std::move(hist), static_cast<std::uint64_t>(rows_) * static_cast<std::uint64_t>(cols_),
                             *newmaxvalP, newcolors, dithered, colormapP, mapColorsP);
}

void TwoPassInput::convertRows(FastConverter &converter, fserr_state *fs, sample newmaxval) {
    if (cols_ == 0 || rows_ == 0)
        return;
    if (fileSize(file_) != size_ || fseek(file_, rasterStart_, SEEK_SET) != 0)
        fileChanged(fileSpec_);
    pixel *span = static_cast<pixel *>(
        pm_allocrow(std::min(cols_, kReadSpanPixels), static_cast<int>(sizeof(pixel))));
    std::vector<pixel> out(static_cast<std::size_t>(cols_));
    for (int first = 0, block = 0; first < rows_; first += blockRows_, ++block) {
        PackedImage rows;
        rows.cols = cols_;
        rows.rows = std::min(blockRows_, rows_ - first);
        rows.maxval = maxval_;
        BlockSum sum;
        readBlock(first, rows.rows, [span](int) { return span; }, [&](const pixel *s, int, int col, int count) {
            // A sample above maxval now: the file changed after the first
            // reading refused none.
            if (largestSample(s, count) > maxval_)
                fileChanged(fileSpec_);
            sum.add(s, count);
            rows.appendSpan(s, col, count);
        });
        if (sum.value() != blockSums_[static_cast<std::size_t>(block)])
            fileChanged(fileSpec_);
        for (int r = 0; r < rows.rows; ++r) {
            rows.dispatch([&](auto word) {
                converter.convert(rows.row<decltype(word)>(r), cols_, out.data(), fs);
            });
            ppm_writeppmrow(stdout, out.data(), cols_, newmaxval, 0);
        }
    }
    pm_freerow(span);
}

}  // namespace quantize
