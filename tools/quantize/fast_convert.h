// Row conversion for the packed image: what convertRow does to each row
// (the same colours, the same dithering state afterwards), reading packed
// words and writing the colour-map colours to a separate row.
//
// The colour cache here cannot fail, so the message about the full hash
// table never appears, as in any straightforward run with enough memory: a
// direct table indexed by the colour (2 bytes a colour) when the maxval
// allows at most 2^24 colours, else a direct-mapped memo of recent colours
// keyed on the whole colour. Either only remembers exact answers.
#ifndef QUANTIZE_FAST_CONVERT_H
#define QUANTIZE_FAST_CONVERT_H

#include <cstdint>
#include <memory>
#include <vector>

#include <kestrum/colormap.h>

#include "floyd.h"
#include "nearest.h"
#include "packed_colormap_source.h"

namespace quantize {

class FastConverter {
public:
    // colormap: ncolors > 0 entries of maxval `maxval`; scale maps each
    // sample of the input image to its value at that maxval.
    FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale);
    ~FastConverter();
    FastConverter(const FastConverter &) = delete;
    FastConverter &operator=(const FastConverter &) = delete;

    // Converts one row of cols packed pixels into out. With fs null the row
    // goes left to right undithered; otherwise it is dithered with fs, set up
    // by initFserr, exactly as convertRow would (fs ends as convertRow leaves it).
    template <typename Word>
    void convert(const Word *row, int cols, pixel *out, fserr_state *fs);

private:
    std::uint32_t lookup(sample r, sample g, sample b);
    template <typename Word>
    void convertPlain(const Word *row, int cols, pixel *out);
    template <typename Word, bool LeftToRight>
    void convertDithered(const Word *row, int cols, pixel *out, fserr_state *fs);

    NearestColorIndex index_;
    std::vector<pixel> colors_;  // the colour of each distinct colour number
    SampleScale scale_;
    sample maxval_;
    // Direct table: distinct colour number + 1, 0 when not yet searched.
    unsigned bits_ = 0;
    std::uint16_t *direct_ = nullptr;
    std::vector<std::uint32_t> spread_;  // sample -> its bits 3 apart
    // Memo of 2^kMemoBits colours otherwise.
    struct MemoSlot {
        std::uint64_t key;  // colour + 1 (0: empty)
        std::uint32_t id;
    };
    std::vector<MemoSlot> memo_;
};

}  // namespace quantize

#endif
