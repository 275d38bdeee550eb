// The input image held compactly for the fast conversion path: one word per
// pixel instead of three 32-bit samples. Samples up to 255 take 8 bits each
// in a 32-bit word, larger ones 16 bits each in a 64-bit word, red highest.
// A quarter (or half) of the memory traffic of the row-array form, and a
// whole colour compares or hashes as one integer.
#ifndef QUANTIZE_PACKED_IMAGE_H
#define QUANTIZE_PACKED_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <kestrum/format.h>
#include <kestrum/types.h>

namespace quantize {

// The packing of one colour into a Word (std::uint32_t or std::uint64_t).
template <typename Word>
struct Packing {
    static constexpr unsigned kShift = sizeof(Word) == 4 ? 8 : 16;
    static constexpr Word kMask = (Word{1} << kShift) - 1;
    static Word pack(sample r, sample g, sample b) {
        return (Word{r} << (2 * kShift)) | (Word{g} << kShift) | Word{b};
    }
    static sample red(Word w) { return static_cast<sample>(w >> (2 * kShift)); }
    static sample green(Word w) { return static_cast<sample>((w >> kShift) & kMask); }
    static sample blue(Word w) { return static_cast<sample>(w & kMask); }
};

// The largest maxval held in 32-bit words.
constexpr sample kNarrowMaxval = 255;

// The raster lives in blocks of whole rows, allocated as the rows arrive, so
// that a header claiming more than the file holds reserves no more than what
// was read (and a block of a few MiB ahead of it).
class PackedImage {
public:
    int cols = 0;
    int rows = 0;
    sample maxval = 0;

    bool isNarrow() const { return maxval <= kNarrowMaxval; }

    // The words of row r, which must have been appended; null in an image
    // without columns, which keeps no rows.
    template <typename Word>
    const Word *row(int r) const {
        return cols == 0 ? nullptr : static_cast<const Word *>(rowStart_[r]);
    }

    // Packs one more row of cols pixels whose samples lie in 0..maxval.
    void appendRow(const pixel *row) { appendSpan(row, 0, cols); }

    // Packs `count` pixels of a row from column col, spans arriving in
    // raster order (col 0 starts the next row).
    void appendSpan(const pixel *span, int col, int count);

    // Calls f(Word{}) with a value of the raster's word type, so that generic
    // code can pick its instantiation: f(std::uint32_t{}) or f(std::uint64_t{}).
    template <typename F>
    decltype(auto) dispatch(F &&f) const {
        return isNarrow() ? f(std::uint32_t{}) : f(std::uint64_t{});
    }

private:
    struct FreeDeleter {
        void operator()(void *p) const;
    };
    std::vector<void *> rowStart_;
    std::vector<std::unique_ptr<unsigned char, FreeDeleter>> blocks_;
    std::size_t blockRowsLeft_ = 0;
    // Bytes of the last block; a row wider than a block has one of its own,
    // which grows as the row's pixels arrive.
    std::size_t blockCapacity_ = 0;
};

// Reads the whole image like readImage, with the same checks, messages and
// order of failures, into the packed form.
PackedImage readPackedImage(const char *fileSpec);
// The same from the file already open (and closed here), and from the
// file whose header has been read.
PackedImage readPackedImage(FILE *file, const char *fileSpec);
PackedImage readPackedRaster(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                             format_code format);
// The same, each pixel also handed to counter (when not null) in raster
// order; with more than one thread, counting goes on in a worker while
// this thread reads, checks and packs.
class StreamingHistogram;
PackedImage readPackedRaster(FILE *file, const char *fileSpec, int cols, int rows, sample maxval,
                             format_code format, StreamingHistogram *counter, unsigned threads);

// The readers take a row this many pixels at a time: a row read in several
// calls takes the same bytes as in one (a multiple of 8: every span but a
// row's last ends on a byte of a raw PBM row), and a header claiming a wide
// row costs memory only as its pixels arrive.
constexpr int kReadSpanPixels = 16384;

}  // namespace quantize

#endif
