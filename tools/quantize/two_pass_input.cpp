#include "two_pass_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "colormap_source.h"
#include "image_input.h"
#include "mediancut.h"
#include "packed_image.h"

namespace quantize {

namespace {

// Pixels in a block of rows: each is hashed on both readings, and held
// (packed) by the second until its hash is found right.
constexpr std::size_t kBlockPixels = std::size_t{1} << 20;

long long fileSize(FILE *file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::uint64_t hashSpan(std::uint64_t h, const pixel *span, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint64_t p =
            (std::uint64_t{span[i].r} << 40) ^ (std::uint64_t{span[i].g} << 20) ^ span[i].b;
        h = (h ^ p) * 0x100000001B3ull;
        h ^= h >> 29;
    }
    return h;
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

// Reads rows firstRow .. firstRow + blockRows - 1 a span at a time, handing
// each span to visit(span, row, col, count); the block's hash.
template <typename Visit>
void TwoPassInput::readBlock(int firstRow, int blockRows, pixel *span, Visit visit) {
    const int spanCols = std::min(cols_, kReadSpanPixels);
    for (int r = firstRow; r < firstRow + blockRows; ++r) {
        for (int col = 0; col < cols_; col += spanCols) {
            const int count = std::min(spanCols, cols_ - col);
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
    mallocProduct(&block, kMaxHistogramColors, sizeof(color_count));
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

TwoPassInput::TwoPassInput(FILE *file, const char *fileSpec, bool countColors)
    : file_(file), fileSpec_(fileSpec) {
    size_ = fileSize(file);
    // No limit on the number of pixels: nothing held grows with it, and
    // counts are 64-bit.
    ppm_readppminit(file, &cols_, &rows_, &maxval_, &format_);
    rasterStart_ = ftell(file);
    if (countColors)
        counter_ = std::make_unique<StreamingHistogram>(maxval_);
    // Rows without columns hold no bytes: nothing to read, on either pass.
    if (cols_ == 0 || rows_ == 0)
        return;
    blockRows_ = static_cast<int>(std::max<std::size_t>(1, kBlockPixels / static_cast<std::size_t>(cols_)));
    pixel *span = static_cast<pixel *>(
        pm_allocrow(std::min(cols_, kReadSpanPixels), static_cast<int>(sizeof(pixel))));
    for (int first = 0; first < rows_; first += blockRows_) {
        std::uint64_t hash = 0;
        readBlock(first, std::min(blockRows_, rows_ - first), span,
                  [&](const pixel *s, int row, int col, int count) {
                      checkSpanSamples(s, count, row, col, maxval_, fileSpec_);
                      hash = hashSpan(hash, s, count);
                      if (counter_)
                          counter_->add(s, count);
                  });
        blockHashes_.push_back(hash);
    }
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
        std::uint64_t hash = 0;
        readBlock(first, rows.rows, span, [&](const pixel *s, int, int col, int count) {
            // A sample above maxval now: the file changed after the first
            // reading refused none.
            for (int i = 0; i < count; ++i)
                if (s[i].r > maxval_ || s[i].g > maxval_ || s[i].b > maxval_)
                    fileChanged(fileSpec_);
            hash = hashSpan(hash, s, count);
            rows.appendSpan(s, col, count);
        });
        if (hash != blockHashes_[static_cast<std::size_t>(block)])
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
