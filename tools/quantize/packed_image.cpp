#include "packed_image.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cstdlib>

#include <sys/mman.h>

#include "image_checks.h"
#include "streaming_histogram.h"
#include "threads.h"

namespace quantize {

namespace {

// Words per block: a few MiB, few enough allocations for any image.
constexpr std::size_t kBlockWords = std::size_t{1} << 21;

// A block of huge pages where the system offers them: faulting in the held
// image 4 KiB at a time would cost more than decoding it. Only advice.
void *allocateBlock(std::size_t bytes) {
    constexpr std::size_t hugePage = std::size_t{2} << 20;
    if (bytes < hugePage)
        return std::malloc(bytes);
    const std::size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
    void *block = std::aligned_alloc(hugePage, rounded);
#ifdef MADV_HUGEPAGE
    if (block != nullptr)
        madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return block;
}

template <typename Word>
void packInto(const pixel *row, int cols, Word *out) {
    for (int col = 0; col < cols; ++col)
        out[col] = Packing<Word>::pack(row[col].r, row[col].g, row[col].b);
}

}  // namespace

void PackedImage::FreeDeleter::operator()(void *p) const { std::free(p); }

void PackedImage::appendSpan(const pixel *span, int col, int count) {
    if (cols == 0 || count <= 0)
        return;
    const std::size_t wordSize = isNarrow() ? sizeof(std::uint32_t) : sizeof(std::uint64_t);
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * wordSize;
    if (col == 0) {
        if (blockRowsLeft_ == 0) {
            const std::size_t blockRows = std::max<std::size_t>(1, kBlockWords / cols);
            const std::size_t left = static_cast<std::size_t>(rows) - rowStart_.size();
            blockRowsLeft_ = std::min(blockRows, left);
            // Uninitialised: every row is written here before anyone reads it.
            blockCapacity_ = std::min(rowBytes * blockRowsLeft_, kBlockWords * wordSize);
            auto *block = static_cast<unsigned char *>(allocateBlock(blockCapacity_));
            if (block == nullptr)
                pm_error("out of memory allocating a row");
            blocks_.emplace_back(block);
            rowStart_.push_back(block);
        } else {
            rowStart_.push_back(static_cast<unsigned char *>(rowStart_.back()) + rowBytes);
        }
        --blockRowsLeft_;
    }
    const std::size_t end = (static_cast<std::size_t>(col) + count) * wordSize;
    if (end > blockCapacity_) {
        // Only a row wider than a block gets here: it is alone in its block.
        const std::size_t wanted = std::min(rowBytes, std::max(end, 2 * blockCapacity_));
        void *grown = std::realloc(blocks_.back().get(), wanted);
        if (grown == nullptr)
            pm_error("out of memory allocating a row");
        (void)blocks_.back().release();
        blocks_.back().reset(static_cast<unsigned char *>(grown));
        rowStart_.back() = grown;
        blockCapacity_ = wanted;
    }
    if (isNarrow())
        packInto(span, count, static_cast<std::uint32_t *>(rowStart_.back()) + col);
    else
        packInto(span, count, static_cast<std::uint64_t *>(rowStart_.back()) + col);
}

PackedImage readPackedImage(const char *fileSpec) { return readPackedImage(pm_openr(fileSpec), fileSpec); }

PackedImage readPackedImage(FILE *file, const char *fileSpec) {
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    return readPackedRaster(file, fileSpec, cols, rows, maxval, format);
}

PackedImage readPackedRaster(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                             format_code format) {
    return readPackedRaster(file, fileSpec, cols, rows, maxval, format, nullptr, 1);
}

PackedImage readPackedRaster(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                             format_code format, StreamingHistogram *counter, unsigned threads) {
    PackedImage image;
    image.cols = cols;
    image.rows = rows;
    image.maxval = maxval;
    checkImageSize(fileSpec, image.cols, image.rows);

    // Rows without columns hold no bytes in any format, so there is nothing
    // to read: a header claiming 0 columns by 500000000 rows ends at once.
    // Each row is read a span at a time, so that a header claiming a wide
    // row costs memory only as its pixels arrive: a row in several calls
    // reads the same bytes as in one, the spans (but the last) being whole
    // bytes of a raw PBM row.
    if (image.cols == 0 || image.rows == 0) {
        pm_close(file);
        return image;
    }
    const int spanCols = std::min(image.cols, kReadSpanPixels);
    const auto readAll = [&](const SpanRoom &room) {
        for (int r = 0; r < image.rows; ++r) {
            for (int col = 0; col < image.cols; col += spanCols) {
                const int count = std::min(spanCols, image.cols - col);
                pixel *span = room(count);
                ppm_readppmrow(file, span, count, image.maxval, format);
                checkSpanSamples(span, count, r, col, image.maxval, fileSpec);
                image.appendSpan(span, col, count);
            }
        }
    };
    const std::uint64_t pixels = static_cast<std::uint64_t>(image.cols) * static_cast<std::uint64_t>(image.rows);
    if (counter != nullptr && threads > 1 && pixels > kBandPixels) {
        // Read, checked (every message and refusal in order, here) and
        // packed on this thread, counted on another.
        counter->reserveAll();
        consumeAlongside(spanCols, readAll, [&](const pixel *p, int count) { counter->add(p, count); });
    } else {
        pixel *span = static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel))));
        int spanCount = 0;
        readAll([&](int count) {
            if (counter != nullptr && spanCount != 0)
                counter->add(span, spanCount);
            spanCount = count;
            return span;
        });
        if (counter != nullptr)
            counter->add(span, spanCount);
        pm_freerow(span);
    }
    pm_close(file);
    return image;
}

}  // namespace quantize
