// Row conversion for the packed image: what convertRow does to each row
// (the same colours, the same dithering state afterwards), reading packed
// words and writing the colour-map colours to a separate row.
//
// The colour cache here never fills up: a direct table indexed by the
// colour (2 bytes a colour) when the maxval allows at most 2^24 colours,
// else a direct-mapped memo of recent colours keyed on the whole colour.
// Either only remembers exact answers. The message about the full hash
// table appears only when there is no memory for the cache at all; the
// search then answers alone, with the same colours.
//
// Dithering up to maxval 63 goes through a table in the direct table's
// order holding the nearest colours themselves (4 bytes a colour), so that
// one load takes a colour to what it spreads to its neighbours.
//
// Dithering above maxval 63 (up to 255) goes through a grid of small cells
// instead. A dithered photograph meets millions of distinct colours, each
// once or twice, scattered over a table far larger than the processor's
// caches; the grid's cells are 4 samples a side, 2 bytes each (512 KiB in
// Morton order). A cell names a list of the few map colours that can be
// nearest to one of its colours (NearestColorIndex::cellCandidates), and a
// colour is looked up by scanning them in map order: exact by
// construction. Neighbouring cells mostly share lists, so the lists stay a
// few thousand, in the cache too. A map too dense for short lists (tens of
// thousands of colours) sends its cells back to the colour cache, and once
// they are most of the cells, the grid is left for the cache alone.
#ifndef QUANTIZE_FAST_CONVERT_H
#define QUANTIZE_FAST_CONVERT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
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

    // convert dithered (fs not null) into the raw bytes of the colours,
    // three a pixel, for a map of maxval 255 at most: written by the loop
    // that dithers, a quarter of the pixels' bytes.
    template <typename Word>
    void convertDitheredBytes(const Word *row, int cols, unsigned char *out, fserr_state *fs);
    struct RawPixel {
        unsigned char r, g, b;
    };
    static_assert(sizeof(RawPixel) == 3, "a raw pixel is its three bytes");

    // Converts `pixels` pixels of raw bytes (`channels` samples a pixel: 3,
    // or 1 for grey), undithered, straight into the raw bytes of their
    // colours (3 a pixel): what convert and the writer make of them. False,
    // with nothing done, where this converter has no direct table for it
    // (prepare(false) makes one where it can).
    bool convertBytes(const unsigned char *in, int channels, std::size_t pixels, unsigned char *out);

    // The image to convert has this many pixels: the colour table of a
    // large one asks for huge pages, that of a small one touches only the
    // pages its colours need. Before the first row; without it, small.
    void expectPixels(std::uint64_t pixels);

    // Cells' candidate lists stop growing at this many colours in all
    // (4 bytes each); later cells with new lists fall back to the search.
    static constexpr std::size_t kCellPoolLimit = std::size_t{1} << 21;

    // cellPoolLimit: the limit of the cells' lists, for tests.
    FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale,
                  std::size_t cellPoolLimit);

    // A converter for another thread, beside the one that speaks for the
    // run: the same colours, but it never prints (without the memory for
    // its colour cache it searches, which gives the same colours).
    struct Quiet {};
    FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale, Quiet);

    // Makes now what the first row would make (and say) for rows dithered
    // or not, so that converting rows on another thread prints nothing.
    void prepare(bool dithered);
    // prepare(false) for a converter beside `first` (made from the same
    // colours and prepared), whose colour table, where it has one, this
    // one shares: a colour searched by either serves both, and the table
    // is made and faulted in once. `first` outlives this converter.
    void prepareSharing(FastConverter &first);
    // Dithering on one thread spends much of its time searching colours met
    // for the first time; another thread can search them all beforehand.
    // makeWarmTable makes this converter (Quiet, from the same colours) a
    // table of the dithered colour of every colour, empty yet (false, with
    // nothing made, where dithering does not go through such a table);
    // warmAll fills it, on another thread, until done or `stop`; a
    // converter given it by readWarmTable takes a colour from it, once
    // there, instead of searching.
    bool makeWarmTable();
    void warmAll(const std::atomic<bool> &stop);
    void readWarmTable(const FastConverter &warmer) { warm_ = warmer.warmTable_.get(); }

    // From now on the message of a missing colour cache is kept instead of
    // printed, for takeMessage to hand to the thread that prints.
    void deferMessages() { deferMessages_ = true; }
    // The message kept since the last call, or null.
    const char *takeMessage();

private:
    void init();
    std::uint32_t lookup(sample r, sample g, sample b);
    void makeMemo();
    void makeDirectTable();
    void makeCells();
    std::uint32_t cellLookup(sample r, sample g, sample b);
    std::uint32_t cellChoice(std::uint32_t key, sample r, sample g, sample b);
    std::uint16_t buildCell(sample r, sample g, sample b);
    std::uint16_t storeCellList();
    std::uint16_t fallbackCell();
    template <typename Word>
    void convertPlain(const Word *row, int cols, pixel *out);
    template <typename Word, bool LeftToRight, bool Cells>
    void convertDithered(const Word *row, int cols, pixel *out, fserr_state *fs);
    // For dithering through the colour table or the cells, indexed by an
    // adjusted sample before clamping plus kKeyMargin (it lies within
    // kKeyMargin of 0..maxval): its clamped value's bits of the colour's
    // index in the table (the three channels' or'ed make the index), the
    // clamped value's share ahead, and the clamped value. Of a fixed size,
    // so that one address reaches them all.
    static constexpr int kKeyMargin = 512;
    static constexpr int kKeySpan = 256 + 2 * kKeyMargin;
    struct DitherKeys {
        std::uint32_t keys[3][kKeySpan];
        std::int32_t clamped[kKeySpan];
        std::int64_t shares[3][kKeySpan];
    };
    bool errorsInBounds(const fserr_state *fs, int cols) const;
    bool ditherScratch(int cols);
    template <typename Word, typename Out>
    void convertDitheredInto(const Word *row, int cols, Out *out, fserr_state *fs);
    template <typename Word, bool LeftToRight, typename Out, typename Choose>
    void ditherRow(const Word *row, int cols, Out *out, fserr_state *fs, const DitherKeys &tables, Choose choose);
    std::unique_ptr<DitherKeys> makeDitherKeys(const std::vector<std::uint32_t> &spread) const;
    bool makeSpread();
    void *allocateTable(std::size_t bytes, std::size_t *mapped) const;
    void makeDitherTable();

    bool quiet_ = false;
    bool deferMessages_ = false;
    const char *deferred_ = nullptr;
    NearestColorIndex index_;
    std::vector<pixel> colors_;  // the colour of each distinct colour number
    SampleScale scale_;
    sample maxval_;
    // Direct table: distinct colour number + 1, 0 when not yet searched.
    // Made on the first undithered row.
    unsigned bits_ = 0;
    bool directWanted_ = false;
    std::uint16_t *direct_ = nullptr;
    bool directShared_ = false;  // another converter's, not freed here
    std::size_t directMapped_ = 0;  // its bytes when mapped, 0 from calloc
    std::uint64_t expectedPixels_ = 0;
    std::vector<std::uint32_t> spread_;  // sample -> its bits 3 apart
    // For convertBytes: each input sample's part of the direct table's
    // index, red, green then blue (maxval + 1 each), and each colour's
    // three bytes in a word as they lie in memory. Empty without a direct
    // table.
    std::vector<std::uint32_t> byteIndex_;
    std::vector<std::uint32_t> colorWords_;
    // Dithering up to maxval 63 goes through a table like the direct one
    // (the same index) of the nearest colours themselves, packed with
    // kKnownColor, 0 when not yet searched: one load from a colour to what
    // it spreads. Made on the first dithered row instead of the direct one.
    bool ditherWanted_ = false;
    std::uint32_t *ditherTable_ = nullptr;
    std::size_t ditherMapped_ = 0;
    std::unique_ptr<DitherKeys> ditherKeys_;
    std::unique_ptr<DitherKeys> cellKeys_;
    std::vector<std::int32_t> diffs_;  // a dithered row's differences, by channel
    std::vector<pixel> rowScratch_;    // a row of pixels on the way to bytes
    std::vector<std::int32_t> raisedScale_;  // (scale_[v] + kKeyMargin) * kFserrScale
    std::ptrdiff_t shareAhead_ = kShareAhead;
    // Memo of 2^kMemoBits colours otherwise.
    struct MemoSlot {
        std::uint64_t key;  // colour + 1 (0: empty)
        std::uint32_t id;
    };
    struct FreeDeleter {
        void operator()(void *p) const { std::free(p); }
    };
    std::unique_ptr<MemoSlot[], FreeDeleter> memo_;  // zeroed by calloc
    // The table this converter fills for another (makeWarmTable), and the
    // one another fills for it (readWarmTable), read and written with
    // relaxed atomic accesses: each entry is 0 or its one right value.
    std::unique_ptr<std::uint32_t[], FreeDeleter> warmTable_;
    const std::uint32_t *warm_ = nullptr;
    // The grid for dithering, made on the first dithered row when
    // useCells_. Each cell: 0 until built, kFallbackCell when its colours go
    // to the search or the colour cache (too many candidates, or no room),
    // else the number (from 1) of its list in cellLists_. A list: its count
    // of candidates in the low 8 bits and above them the candidate's colour,
    // packed 8 bits a sample, when there is one, or the start of its colours
    // in cellPool_. Each distinct list is kept once.
    bool useCells_ = false;
    unsigned cellBits_ = 0;  // cells a side: 2^cellBits_
    unsigned cellShift_ = 0;
    std::size_t cellPoolLimit_;
    std::unique_ptr<std::uint16_t[], FreeDeleter> cells_;  // zeroed by calloc
    std::vector<std::uint32_t> cellSpread_;  // sample -> its cell's bits 3 apart
    std::vector<std::uint32_t> cellLists_;
    std::vector<std::uint32_t> cellPool_;  // packed colours
    // By list: its first two colours, or its one twice (lists of more
    // than two are scanned).
    std::vector<std::uint64_t> cellPairs_;
    std::unordered_map<std::u32string, std::uint16_t> cellListNumbers_;
    std::vector<std::uint32_t> cellScratch_;
    std::u32string cellKey_;
    std::size_t builtCells_ = 0;
    std::size_t fallbackCells_ = 0;
};

}  // namespace quantize

#endif
