// Raster decoding shared by the PBM, PGM and PPM readers: spans of pixels in
// each of the six encodings, and the growing image array of the whole-image
// readers.
#include "formats_internal.h"
#include "malloc_product.h"

#include <kestrum/pbm.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestrum::formats {

std::size_t imageInitialBlock = std::size_t{64} << 20;
std::size_t imageBlockLimit = std::numeric_limits<std::size_t>::max();

namespace {

// Asks for huge pages under a large image block: faulting in hundreds of
// megabytes a 4 KiB page at a time costs more than decoding the raster. Only
// advice; where the system has no such pages nothing changes.
void adviseHugePages(void *block, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t hugePage = std::size_t{2} << 20;
    if (bytes < 2 * hugePage)
        return;
    // The whole pages the block touches: a large block is a mapping of its
    // own, and advising all of it keeps it one mapping that realloc can
    // still move without copying.
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = start / page * page;
    const std::uintptr_t last = (start + bytes + page - 1) / page * page;
    madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

// Raw PBM: `count` pixels from (count + 7) / 8 bytes, the leftmost pixel in
// each byte's most significant bit.
void readRawBits(FILE *file, pbm_bit *dst, std::size_t count) {
    constexpr std::size_t chunkBytes = kSpanPixels / 8;
    unsigned char raw[chunkBytes];
    std::size_t done = 0;
    while (done < count) {
        const std::size_t pixels = std::min(count - done, kSpanPixels);
        const std::size_t bytes = (pixels + 7) / 8;
        static_assert(chunkBytes * 8 == kSpanPixels, "spans end on byte boundaries");
        readExactly(file, raw, bytes, kEofOneByteSample);
        pbm_bit *out = dst + done;
        const std::size_t whole = pixels / 8;
        for (std::size_t i = 0; i < whole; ++i) {
            const unsigned int byte = raw[i];
            for (int bit = 0; bit < 8; ++bit)
                out[i * 8 + bit] = static_cast<pbm_bit>((byte >> (7 - bit)) & 1u);
        }
        for (std::size_t i = whole * 8; i < pixels; ++i)
            out[i] = static_cast<pbm_bit>((raw[i / 8] >> (7 - i % 8)) & 1u);
        done += pixels;
    }
}

// Raw samples, one byte each or two big-endian bytes each: `count` values
// handed to store(index, value).
template <typename Store>
void readRawSamples(FILE *file, std::size_t count, sample maxval, Store store) {
    const bool twoBytes = isTwoByte(maxval);
    const std::size_t width = twoBytes ? 2 : 1;
    unsigned char raw[kChunkBytes];
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = std::min(count - done, kChunkBytes / width);
        readExactly(file, raw, n * width, twoBytes ? kEofLongSample : kEofOneByteSample);
        if (twoBytes) {
            for (std::size_t i = 0; i < n; ++i)
                store(done + i, static_cast<sample>(raw[2 * i] << 8 | raw[2 * i + 1]));
        } else {
            for (std::size_t i = 0; i < n; ++i)
                store(done + i, static_cast<sample>(raw[i]));
        }
        done += n;
    }
}

// Promotes a span through a smaller family: decodes chunks of it into a
// temporary row and hands each value to store(index, value).
template <typename Element, typename Decode, typename Store>
void promoteSpan(std::size_t count, Decode decode, Store store) {
    std::array<Element, kSpanPixels> temporary;
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(count - done, kSpanPixels);
        decode(temporary.data(), n);
        for (std::size_t i = 0; i < n; ++i)
            store(done + i, temporary[i]);
        done += n;
    }
}

}  // namespace

void readBitSpan(FILE *file, pbm_bit *dst, std::size_t count, format_code format) {
    switch (format) {
    case PBM_FORMAT: {
        StreamLock lock(file);
        for (std::size_t i = 0; i < count; ++i)
            dst[i] = getBitLocked(file);
        break;
    }
    case RPBM_FORMAT:
        readRawBits(file, dst, count);
        break;
    default:
        pm_error("%s", kCantHappen);
    }
}

void readGraySpan(FILE *file, sample *dst, std::size_t count, sample maxval, format_code format) {
    switch (format) {
    case PGM_FORMAT: {
        StreamLock lock(file);
        for (std::size_t i = 0; i < count; ++i)
            dst[i] = getUintLocked(file);
        break;
    }
    case RPGM_FORMAT:
        readRawSamples(file, count, maxval, [dst](std::size_t i, sample v) { dst[i] = v; });
        break;
    case PBM_FORMAT:
    case RPBM_FORMAT:
        promoteSpan<pbm_bit>(
            count, [&](pbm_bit *bits, std::size_t n) { readBitSpan(file, bits, n, format); },
            [dst, maxval](std::size_t i, pbm_bit bit) { dst[i] = bit == PBM_WHITE ? maxval : 0; });
        break;
    default:
        pm_error("%s", kCantHappen);
    }
}

void readPixelSpan(FILE *file, pixel *dst, std::size_t count, sample maxval, format_code format) {
    switch (format) {
    case PPM_FORMAT: {
        StreamLock lock(file);
        for (std::size_t i = 0; i < count; ++i) {
            dst[i].r = getUintLocked(file);
            dst[i].g = getUintLocked(file);
            dst[i].b = getUintLocked(file);
        }
        break;
    }
    case RPPM_FORMAT:
        // Whole pixels per chunk, so that the sample index maps to a
        // component without a division in the common case.
        unsigned char raw[kChunkBytes];
        for (std::size_t done = 0; done < count;) {
            const bool twoBytes = isTwoByte(maxval);
            const std::size_t n = std::min(count - done, kChunkBytes / (twoBytes ? 6 : 3));
            const std::size_t bytes = n * (twoBytes ? 6 : 3);
            readExactly(file, raw, bytes, twoBytes ? kEofLongSample : kEofOneByteSample);
            pixel *out = dst + done;
            if (twoBytes) {
                for (std::size_t i = 0; i < n; ++i) {
                    const unsigned char *p = raw + 6 * i;
                    out[i].r = static_cast<sample>(p[0] << 8 | p[1]);
                    out[i].g = static_cast<sample>(p[2] << 8 | p[3]);
                    out[i].b = static_cast<sample>(p[4] << 8 | p[5]);
                }
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    const unsigned char *p = raw + 3 * i;
                    out[i].r = p[0];
                    out[i].g = p[1];
                    out[i].b = p[2];
                }
            }
            done += n;
        }
        break;
    case PGM_FORMAT:
    case RPGM_FORMAT:
        promoteSpan<sample>(
            count, [&](sample *grays, std::size_t n) { readGraySpan(file, grays, n, maxval, format); },
            [dst](std::size_t i, sample g) { dst[i] = pixel{g, g, g}; });
        break;
    case PBM_FORMAT:
    case RPBM_FORMAT:
        promoteSpan<pbm_bit>(
            count, [&](pbm_bit *bits, std::size_t n) { readBitSpan(file, bits, n, format); },
            [dst, maxval](std::size_t i, pbm_bit bit) {
                const sample v = bit == PBM_WHITE ? maxval : 0;
                dst[i] = pixel{v, v, v};
            });
        break;
    default:
        pm_error("%s", kCantHappen);
    }
}

// --- ImageBuilder ---------------------------------------------------------

ImageBuilder::ImageBuilder(int cols, int rows, std::size_t elementSize)
    : cols_(cols), rows_(rows), elementSize_(elementSize) {
    // The row index follows the library's allocation rule: no more than a
    // 32-bit size, whatever the platform allows. It is refused from the
    // header, but made as the rows arrive.
    const unsigned int entries = static_cast<unsigned int>(rows) + 1;
    if (UINT32_MAX / sizeof(void *) < entries)
        indexFailure();
    if (__builtin_mul_overflow(static_cast<std::size_t>(cols), elementSize, &rowBytes_) ||
        __builtin_mul_overflow(rowBytes_, static_cast<std::size_t>(rows), &totalBytes_))
        rowByRow_ = true;
}

ImageBuilder::~ImageBuilder() { free(index_); }

void ImageBuilder::indexFailure() const {
    pm_error("out of memory allocating row index (%u rows) for an array",
             static_cast<unsigned int>(rows_));
}

void ImageBuilder::reserveIndex(std::size_t entries) {
    if (entries <= indexRoom_)
        return;
    const std::size_t wanted = std::min(std::max(entries, 2 * indexRoom_),
                                        static_cast<std::size_t>(rows_) + 1);
    void *grown = realloc(index_, wanted * sizeof(void *));
    if (grown == nullptr)
        indexFailure();
    index_ = static_cast<void **>(grown);
    indexRoom_ = wanted;
}

void *ImageBuilder::span(int row, int col, std::size_t count) {
    const std::size_t offset = static_cast<std::size_t>(row) * rowBytes_ +
                               static_cast<std::size_t>(col) * elementSize_;
    if (!rowByRow_) {
        const std::size_t end = offset + count * elementSize_;
        if (end > capacity_) {
            const std::size_t wanted =
                std::min(totalBytes_, std::max({end, 2 * capacity_, imageInitialBlock}));
            void *grown = wanted <= imageBlockLimit ? realloc(block_, wanted) : nullptr;
            if (grown == nullptr) {
                moveToRowByRow(row, col);
            } else {
                block_ = static_cast<unsigned char *>(grown);
                capacity_ = wanted;
                adviseHugePages(block_, capacity_);
            }
        }
        if (!rowByRow_)
            return block_ + offset;
    }
    reserveIndex(static_cast<std::size_t>(row) + 1);
    while (rowsAllocated_ <= row)
        index_[rowsAllocated_++] = pm_allocrow(cols_, static_cast<int>(elementSize_));
    return static_cast<unsigned char *>(index_[row]) + static_cast<std::size_t>(col) * elementSize_;
}

void ImageBuilder::moveToRowByRow(int row, int col) {
    reserveIndex(static_cast<std::size_t>(row) + 1);
    for (int r = 0; r <= row; ++r) {
        index_[r] = pm_allocrow(cols_, static_cast<int>(elementSize_));
        const std::size_t filled = r < row ? rowBytes_ : static_cast<std::size_t>(col) * elementSize_;
        if (filled != 0)
            memcpy(index_[r], block_ + static_cast<std::size_t>(r) * rowBytes_, filled);
    }
    rowsAllocated_ = row + 1;
    free(block_);
    block_ = nullptr;
    capacity_ = 0;
    rowByRow_ = true;
}

void **ImageBuilder::finish() {
    // Every row has arrived (or an image without columns has only its
    // index to give).
    reserveIndex(static_cast<std::size_t>(rows_) + 1);
    if (!rowByRow_ && block_ == nullptr) {
        // An image without pixels still gets its (empty) block, as
        // pm_allocarray gives it one.
        block_ = static_cast<unsigned char *>(malloc(1));
        if (block_ == nullptr)
            rowByRow_ = true;
    }
    if (rowByRow_) {
        while (rowsAllocated_ < rows_)
            index_[rowsAllocated_++] = pm_allocrow(cols_, static_cast<int>(elementSize_));
        index_[rows_] = nullptr;
    } else {
        for (int r = 0; r < rows_; ++r)
            index_[r] = block_ + static_cast<std::size_t>(r) * rowBytes_;
        index_[rows_] = block_;
    }
    void **index = index_;
    index_ = nullptr;
    return index;
}

}  // namespace kestrum::formats
