// The input image read twice instead of held: when it is a regular file,
// a first reading checks it whole (with every message and refusal of
// readPackedImage, in the same order, but for the limit on the number of
// pixels, which holds only what holds the image) and counts its colours; a
// second converts and writes it a block of rows at a time. Only the
// histogram and one block of rows are held, so any image whose width and
// height each fit the format can be quantized.
//
// A raw raster of one byte a sample (PPM or PGM up to maxval 255) that the
// file holds whole is read by position instead, in the bands of rows of
// convertAndWriteRows: on the first reading by every thread at once, each
// taking the next free band and counting its colours apart (the counts
// merged after), on the second by each worker the band it converts (or,
// dithered, by the main thread ahead of the one worker). Such a raster is
// checked on the first reading for samples above its maxval; one that has
// any, or a file that ends early, is read again from its start as any
// other, for the first fault's message. From input that cannot be read
// twice (a pipe), such a raster's bytes are held instead and read by bands
// the same way (holdingRaster).
//
// The second reading checks that it sees what the first saw: the file's
// size, and a checksum of each block's (or band's) bytes, compared before any
// row of it is converted. A file changed between the two readings is refused
// rather than written wrong (the rows of the blocks before it are out by
// then).
#ifndef QUANTIZE_TWO_PASS_INPUT_H
#define QUANTIZE_TWO_PASS_INPUT_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <kestrum/colormap.h>
#include <kestrum/format.h>

#include "fast_convert.h"
#include "floyd.h"
#include "packed_colormap_source.h"
#include "streaming_histogram.h"
#include "threads.h"

namespace quantize {

// Whether the open file is a regular file that can be read again from a
// position it has passed.
bool canReadTwice(FILE *file);

// Whether a raster of this format and maxval is read by bands (when the
// file holds it whole).
inline bool readsInBands(format_code format, sample maxval) {
    return (format == RPPM_FORMAT || format == RPGM_FORMAT) && maxval <= 255;
}

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
    // For input that cannot be read twice (a pipe) whose raster is read by
    // bands (readsInBands): its bytes held instead, in address space as
    // large as the header claims of which only the pages the bytes fill are
    // ever made, then read by bands as from a file. With the checks,
    // messages and limits of readPackedRaster. Null, with nothing read, when
    // the claim cannot be mapped.
    static std::unique_ptr<TwoPassInput> holdingRaster(FILE *file, const char *fileSpec, int cols, int rows,
                                                       sample maxval, format_code format, bool countColors,
                                                       unsigned threads);
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

    // Whether the second reading goes by bands, so that convertBands can
    // convert them on several threads.
    bool inBands() const { return channels_ != 0; }
    // convertRows by convertAndWriteRows with `workers` workers, worker w
    // converting with converterOf(w) and its message taken after each band.
    // Only when inBands().
    void convertBands(unsigned workers, fserr_state *fs, sample newmaxval,
                      const std::function<FastConverter &(unsigned worker)> &converterOf);

private:
    TwoPassInput(FILE *file, const char *fileSpec, int cols, int rows, sample maxval, format_code format);
    const unsigned char *fetch(ByteBuffer &scratch, std::size_t n, std::uint64_t offset) const;
    void readFirst(bool countColors, unsigned threads);
    bool readFirstInBands(bool countColors, unsigned threads);
    void readBand(int firstRow, int count, std::size_t slot, bool packed);
    void convertBand(FastConverter &converter, int count, BandOut &out, fserr_state *fs);
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
    // Read by bands: samples a pixel (3, or 1 for grey), else 0.
    int channels_ = 0;
    // Each band in flight, as read and (unless converted from its bytes) as
    // packed for the converter, in the slot convertAndWriteRows gives it.
    struct BandBuffer {
        ByteBuffer bytes;  // as read, unless held
        const unsigned char *data = nullptr;
        std::vector<std::uint32_t> words;
    };
    std::vector<BandBuffer> buffers_;
    // The raster held (holdingRaster): its mapping, its bytes read by bands
    // (null once they are read again as a stream instead), and how many came.
    unsigned char *heldArea_ = nullptr;
    std::size_t heldMapped_ = 0;
    const unsigned char *held_ = nullptr;
    std::size_t heldBytes_ = 0;
    // The stream over the held bytes that a faulty raster is read again
    // from, and the input it stands in for.
    FILE *replayed_ = nullptr;
    FILE *original_ = nullptr;
    std::unique_ptr<StreamingHistogram> counter_;
    // The counters of the parts read on other threads, merged into
    // counter_ and kept until all of them can be freed at once, on a helper
    // thread (`aside_`, when there are helpers) while this one chooses the
    // colours: freeing takes a while.
    std::vector<std::unique_ptr<StreamingHistogram>> spent_;
    bool aside_ = false;
    Task freeing_;
};

}  // namespace quantize

#endif
