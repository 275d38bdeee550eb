// The input image read twice instead of held: when it is a regular file,
// a first reading checks it whole (with every message and refusal of
// readPackedImage, in the same order, but for the limit on the number of
// pixels, which holds only what holds the image) and counts its colours; a
// second converts and writes it a block of rows at a time. Only the
// histogram and one block of rows are held, so any image whose width and
// height each fit the format can be quantized.
//
// The second reading checks that it sees what the first saw: the file's
// size, and a checksum of each block's pixels, compared before any row of the
// block is converted. A file changed between the two readings is refused
// rather than written wrong (the rows of the blocks before it are out by
// then).
#ifndef QUANTIZE_TWO_PASS_INPUT_H
#define QUANTIZE_TWO_PASS_INPUT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <kestrum/colormap.h>
#include <kestrum/format.h>

#include "fast_convert.h"
#include "floyd.h"
#include "packed_colormap_source.h"
#include "streaming_histogram.h"

namespace quantize {

// Whether the open file is a regular file that can be read again from a
// position it has passed.
bool canReadTwice(FILE *file);

// computeColorMapFromMapPacked for the map image in the file mapSpec, read
// once and not held: only its distinct colours are kept. The same checks,
// messages and refusals, in the same order, as reading the map whole, the
// driver's check for a map without pixels, then
// computeColorMapFromMapPacked; *mapMaxvalP receives the map's maxval.
void computeColorMapFromMapFile(sample inputMaxval, const char *mapSpec, color_histogram *colormapP,
                                int *colorsP, sample *mapMaxvalP, SampleScale *scaleP);

class TwoPassInput {
public:
    // The first reading of the open file (fileSpec names it in messages):
    // header, raster and checks, and the colour count when countColors.
    TwoPassInput(FILE *file, const char *fileSpec, bool countColors);
    // The same when the header has been read (cols, rows, maxval, format),
    // counting on another thread when threads > 1.
    TwoPassInput(FILE *file, const char *fileSpec, int cols, int rows, sample maxval, format_code format,
                 bool countColors, unsigned threads = 1);
    ~TwoPassInput();
    TwoPassInput(const TwoPassInput &) = delete;
    TwoPassInput &operator=(const TwoPassInput &) = delete;

    int cols() const { return cols_; }
    int rows() const { return rows_; }
    sample maxval() const { return maxval_; }

    // computeChosenColorMapPacked from the colours counted.
    void chooseColorMap(int newcolors, bool dithered, color_histogram *colormapP, int *mapColorsP,
                        sample *newmaxvalP, SampleScale *scaleP);

    // The second reading: each row converted (dithered with fs when not
    // null) and written to standard output at maxval newmaxval. Fatal when
    // the file is not what the first reading saw.
    void convertRows(FastConverter &converter, fserr_state *fs, sample newmaxval);

private:
    void readFirst(bool countColors, unsigned threads);
    template <typename Room, typename Visit>
    void readBlock(int firstRow, int blockRows, Room room, Visit visit);

    FILE *file_;
    const char *fileSpec_;
    int cols_ = 0, rows_ = 0;
    sample maxval_ = 0;
    format_code format_ = 0;
    long rasterStart_ = 0;
    long long size_ = 0;
    int blockRows_ = 1;
    std::vector<std::uint64_t> blockSums_;
    std::unique_ptr<StreamingHistogram> counter_;
};

}  // namespace quantize

#endif
