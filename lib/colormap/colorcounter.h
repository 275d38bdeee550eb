// Private to the colour unit: counting the distinct colours of an image
// fast, for the histogram and colour-row builders.
//
// The public color_hash costs one heap block per colour and walks chains of
// a fixed number of buckets, which crawls once an image has hundreds of
// thousands of colours. This counter keeps the colours in one dense array
// in order of first occurrence and finds them in one of two ways:
//
// - direct: while every sample seen is below 64 (then below 128), a table
//   indexed by the colour itself holds each colour's count: one memory
//   access per pixel, no hashing, no probing. This is where the quantizer
//   ends up after lowering the maxval of a photograph.
// - hashed: from the first larger sample on, an open-addressing index of
//   32-bit entry numbers keyed on the full colour (all 96 bits), kept at
//   most half full, the counts living in the entries.
//
// First-occurrence order is all it takes to rebuild exactly what the chained
// table gives: histogram order is ascending bucket and, within a bucket,
// the colour first seen last first (chains are pushed at their head).
//
// With a limit, the hashed index is sized for it up front, so counting stops
// at the first colour beyond the limit without ever having grown.
#ifndef KESTRUM_COLORMAP_COLORCOUNTER_H
#define KESTRUM_COLORMAP_COLORCOUNTER_H

#include <kestrum/colormap.h>

#include <cstdint>

namespace kestrum {

class ColorCounter {
public:
    static constexpr std::uint32_t unlimited = UINT32_MAX;

    // Allows at most `limit` distinct colours. Running out of memory is
    // fatal: "out of memory allocating hash table" for the first table,
    // `growthFailure` when it has to grow.
    ColorCounter(std::uint32_t limit, const char *growthFailure);
    ~ColorCounter();
    ColorCounter(const ColorCounter &) = delete;
    ColorCounter &operator=(const ColorCounter &) = delete;

    // Counts cols pixels. False, at once, on the first colour beyond the
    // limit (that pixel and the rest of the row are not counted).
    bool countRow(const pixel *row, int cols);

    // Distinct colours counted so far.
    int size() const { return static_cast<int>(size_); }

    // The histogram in the chained table's order, entries 0 to size() - 1,
    // in a new array with room for `room` entries (at least size()). Fatal
    // "out of memory generating histogram" when that cannot be had.
    color_histogram histogram(std::uint64_t room) const;

    // The colours in order of first occurrence into out[0 .. size() - 1].
    void firstSeenColors(pixel *out) const;

private:
    struct Entry {
        sample r, g, b;
        std::int32_t count;  // kept in the direct table instead while there is one
    };

    int countDirect(const pixel *row, int col, int cols);
    bool countHashed(const pixel *row, int cols);
    std::int32_t countOf(std::uint32_t i) const;
    void widenDirect(unsigned bits);
    void leaveDirect();
    std::uint32_t home(const pixel &color) const;
    void buildIndex(std::uint32_t size, const char *failure);
    void appendEntry(const pixel &color);

    Entry *entries_ = nullptr;  // in order of first occurrence
    std::uint32_t size_ = 0;
    std::uint32_t entryRoom_ = 0;
    std::int32_t *counts_ = nullptr;  // the direct table, or null once hashed
    unsigned directBits_ = 0;         // its samples are below 2^directBits_
    std::uint32_t *index_ = nullptr;  // entry number + 1; 0: empty slot
    std::uint32_t indexSize_ = 0;     // a power of two
    std::uint32_t firstIndexSize_;
    unsigned shift_ = 0;  // 64 - log2(indexSize_)
    std::uint32_t limit_;
    const char *growthFailure_;
};

}  // namespace kestrum

#endif
