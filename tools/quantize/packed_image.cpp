#include "packed_image.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <new>

#include "image_checks.h"

namespace quantize {

namespace {

// Words per block: a few MiB, few enough allocations for any image.
constexpr std::size_t kBlockWords = std::size_t{1} << 20;

template <typename Word>
void packInto(const pixel *row, int cols, Word *out) {
    for (int col = 0; col < cols; ++col)
        out[col] = Packing<Word>::pack(row[col].r, row[col].g, row[col].b);
}

}  // namespace

void PackedImage::appendRow(const pixel *pixelRow) {
    if (cols == 0)
        return;
    const std::size_t wordSize = isNarrow() ? sizeof(std::uint32_t) : sizeof(std::uint64_t);
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * wordSize;
    if (blockRowsLeft_ == 0) {
        const std::size_t blockRows = std::max<std::size_t>(1, kBlockWords / cols);
        const std::size_t left = static_cast<std::size_t>(rows) - rowStart_.size();
        blockRowsLeft_ = std::min(blockRows, left);
        // Uninitialised: every row is written here before anyone reads it.
        unsigned char *block = new (std::nothrow) unsigned char[rowBytes * blockRowsLeft_ + 1];
        if (block == nullptr)
            pm_error("out of memory allocating a row");
        blocks_.emplace_back(block);
        rowStart_.push_back(block);
    } else {
        rowStart_.push_back(static_cast<unsigned char *>(rowStart_.back()) + rowBytes);
    }
    --blockRowsLeft_;
    if (isNarrow())
        packInto(pixelRow, cols, static_cast<std::uint32_t *>(rowStart_.back()));
    else
        packInto(pixelRow, cols, static_cast<std::uint64_t *>(rowStart_.back()));
}

PackedImage readPackedImage(const char *fileSpec) {
    FILE *file = pm_openr(fileSpec);
    PackedImage image;
    format_code format;
    ppm_readppminit(file, &image.cols, &image.rows, &image.maxval, &format);
    checkImageSize(fileSpec, image.cols, image.rows);

    // Rows without columns hold no bytes in any format, so there is nothing
    // to read: a header claiming 0 columns by 500000000 rows ends at once.
    if (image.cols == 0) {
        pm_close(file);
        return image;
    }

    // One row of full pixels at a time, as the format layer delivers them.
    pixel *row = static_cast<pixel *>(pm_allocrow(image.cols, static_cast<int>(sizeof(pixel))));
    for (int r = 0; r < image.rows; ++r) {
        ppm_readppmrow(file, row, image.cols, image.maxval, format);
        checkRowSamples(row, image.cols, r, image.maxval, fileSpec);
        image.appendRow(row);
    }
    pm_freerow(row);
    pm_close(file);
    return image;
}

}  // namespace quantize
