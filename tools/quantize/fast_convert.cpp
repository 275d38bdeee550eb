#include "fast_convert.h"

#include <kestrum/common.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <sys/mman.h>

#include "packed_image.h"

namespace quantize {

namespace {

constexpr unsigned kMemoBits = 16;
// The direct table is used up to 2^24 colours (32 MiB, touched only where
// colours occur) and only while colour numbers fit 16 bits.
constexpr unsigned kDirectMaxBits = 24;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Images of fewer pixels than this touch too little of the direct table for
// huge pages to pay: each would be a 2 MiB page cleared for a few colours.
constexpr std::uint64_t kHugePagePixels = std::uint64_t{1} << 20;
// Dithering goes through the grid of cells when the direct table would be
// larger than this many colours (512 KiB: it then stays in the processor's
// cache).
constexpr unsigned kCellsAboveBits = 18;
// Colours searched beforehand for dithering from maxval 32 (6 bits) up.
constexpr unsigned kWarmBits = 6;
// Cells 2^2 samples a side: small enough for a few candidates each, and a
// grid of at most 2^18 cells.
constexpr unsigned kCellSampleBits = 2;
// Cells are numbers of lists (from 1); this one sends a cell's colours to
// the colour cache instead. Lists longer than kMaxCellCandidates would cost
// more to scan than the cache (many-coloured maps); the search keeps at
// most kCellSearchLimit before dropping candidates that never win.
constexpr std::uint16_t kFallbackCell = 0xFFFF;
constexpr std::size_t kMaxCellCandidates = 16;
// A few such cells search for each colour; more (a map of many colours) make
// the colour cache worth its 32 MiB.
constexpr std::size_t kCellsBeforeCache = 2048;
constexpr std::size_t kCellSearchLimit = 48;

inline std::uint32_t packColor(sample r, sample g, sample b) { return (r << 16) | (g << 8) | b; }

// A colour written as a pixel, or as the three bytes of a raw row.
inline void put(pixel &p, sample r, sample g, sample b) { p = pixel{r, g, b}; }
inline void put(FastConverter::RawPixel &p, sample r, sample g, sample b) {
    p = FastConverter::RawPixel{static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                                static_cast<unsigned char>(b)};
}

// The colour number + 1 in a direct table entry, searched and stored when
// 0. The table may be shared by the converters of several threads: each
// entry is 0 or its one right value, read and written whole (relaxed
// atomic accesses, plain moves on the machines that matter).
template <typename Search>
inline std::uint16_t directSlot(std::uint16_t *entry, Search search) {
    std::uint16_t slot = __atomic_load_n(entry, __ATOMIC_RELAXED);
    if (slot == 0) {
        slot = static_cast<std::uint16_t>(search() + 1);
        __atomic_store_n(entry, slot, __ATOMIC_RELAXED);
    }
    return slot;
}

// A colour of the dithering table found by the search (never 0).
constexpr std::uint32_t kKnownColor = std::uint32_t{1} << 24;

}  // namespace

FastConverter::FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale)
    : FastConverter(colormap, ncolors, maxval, std::move(scale), kCellPoolLimit) {}

FastConverter::FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale,
                             std::size_t cellPoolLimit)
    : index_(colormap, ncolors, maxval), scale_(std::move(scale)), maxval_(maxval),
      cellPoolLimit_(std::min(cellPoolLimit, kCellPoolLimit)) {
    init();
}

void FastConverter::init() {
    for (std::uint32_t id = 0; id < index_.distinctCount(); ++id)
        colors_.push_back(index_.colorOf(id));
    while (bits_ < 16 && (sample{1} << bits_) <= maxval_)
        ++bits_;
    directWanted_ = 3 * bits_ <= kDirectMaxBits && index_.distinctCount() < 65535;
    useCells_ = maxval_ <= 255 && 3 * bits_ > kCellsAboveBits;
    ditherWanted_ = 3 * bits_ <= kCellsAboveBits;
    if (!directWanted_)
        makeMemo();
}

// The memo as the colour cache. Without the memory for it the search alone
// answers: the same colours, only slower.
void FastConverter::makeMemo() {
    memo_.reset(static_cast<MemoSlot *>(std::calloc(std::size_t{1} << kMemoBits, sizeof(MemoSlot))));
    if (memo_ || quiet_)
        return;
    static const char *const kNoCache = "out of memory adding to hash table; proceeding without it";
    if (deferMessages_)
        deferred_ = kNoCache;
    else
        pm_message("%s", kNoCache);
}

FastConverter::FastConverter(const color_count *colormap, int ncolors, sample maxval, SampleScale scale, Quiet)
    : quiet_(true), index_(colormap, ncolors, maxval), scale_(std::move(scale)), maxval_(maxval),
      cellPoolLimit_(kCellPoolLimit) {
    init();
}

void FastConverter::prepare(bool dithered) {
    // As the first row of each kind does it.
    if (dithered && useCells_ && !cells_)
        makeCells();
    if (dithered && !useCells_ && ditherWanted_)
        makeDitherTable();
    if (directWanted_ && !(dithered && (useCells_ || ditherTable_ != nullptr)))
        makeDirectTable();
}

void FastConverter::prepareSharing(FastConverter &first) {
    if (first.direct_ == nullptr || !directWanted_ || direct_ != nullptr) {
        prepare(false);
        return;
    }
    // Copied whole before any is taken, so that running out of memory half
    // way leaves this converter as it was.
    std::vector<std::uint32_t> spread = first.spread_, byteIndex = first.byteIndex_, colorWords = first.colorWords_;
    directWanted_ = false;
    spread_.swap(spread);
    byteIndex_.swap(byteIndex);
    colorWords_.swap(colorWords);
    direct_ = first.direct_;
    directShared_ = true;
}

const char *FastConverter::takeMessage() {
    const char *message = deferred_;
    deferred_ = nullptr;
    return message;
}

// Morton order: the bits of the three samples interleaved, so that nearby
// colours (neighbouring pixels, dithered variants of one colour) share
// cache lines and pages.
bool FastConverter::makeSpread() {
    if (!spread_.empty())
        return true;
    try {
        spread_.resize(std::size_t{1} << bits_);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (sample v = 0; v < (sample{1} << bits_); ++v) {
        std::uint32_t spread = 0;
        for (unsigned bit = 0; bit < bits_; ++bit)
            spread |= ((v >> bit) & 1u) << (3 * bit);
        spread_[v] = spread;
    }
    return true;
}

// Zeroed memory for a colour table of `bytes`; *mapped: its size when
// mapped, 0 from calloc. Null without the memory.
void *FastConverter::allocateTable(std::size_t bytes, std::size_t *mapped) const {
    *mapped = 0;
    // A table of half a huge page or more, read all over by a large image,
    // still gains from one: without it, its hundreds of small pages miss
    // the processor's first TLB.
    if (bytes < kHugePage && !(2 * bytes >= kHugePage && expectedPixels_ >= kHugePagePixels))
        return std::calloc(bytes, 1);
    // Zeroed pages from the system, never cleared here: a run touches only
    // the pages its colours fall in. A large image reads the table all
    // over, and there a TLB miss per lookup would cost more than the search
    // it saves, so it asks for huge pages (aligned to them).
    const std::size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *area = mmap(nullptr, whole + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        munmap(area, aligned - start);
    munmap(reinterpret_cast<void *>(aligned + whole), start + kHugePage - aligned);
    if (expectedPixels_ >= kHugePagePixels)
        madvise(reinterpret_cast<void *>(aligned), whole, MADV_HUGEPAGE);
    *mapped = whole;
    return reinterpret_cast<void *>(aligned);
}

// Without the memory for it, dithering goes through the direct table.
void FastConverter::makeDitherTable() {
    ditherWanted_ = false;
    if (!makeSpread())
        return;
    try {
        ditherKeys_ = makeDitherKeys(spread_);
    } catch (const std::bad_alloc &) {
        return;
    }
    ditherTable_ = static_cast<std::uint32_t *>(
        allocateTable((std::size_t{1} << (3 * bits_)) * sizeof(std::uint32_t), &ditherMapped_));
}

void FastConverter::makeDirectTable() {
    directWanted_ = false;
    if (!makeSpread()) {
        makeMemo();
        return;
    }
    direct_ = static_cast<std::uint16_t *>(
        allocateTable((std::size_t{1} << (3 * bits_)) * sizeof(std::uint16_t), &directMapped_));
    if (direct_ == nullptr) {
        makeMemo();
        return;
    }
    // Each distinct colour of the map is its own nearest: at distance 0,
    // the first entry of its colour, and in the plain distance form of
    // maxvals up to 255 no other colour is at distance 0. An image whose
    // colours the map keeps then needs no search at all.
    for (std::uint32_t id = 0; id < colors_.size(); ++id) {
        const pixel &c = colors_[id];
        direct_[(spread_[c.r] << 2) | (spread_[c.g] << 1) | spread_[c.b]] = static_cast<std::uint16_t>(id + 1);
    }
    // Raw bytes in and out need an input maxval of at most 255 and colours
    // of one byte a sample; without the memory, convertBytes declines.
    if (scale_.size() > 256 || maxval_ > 255)
        return;
    try {
        const std::size_t n = scale_.size();
        byteIndex_.resize(3 * n);
        for (std::size_t v = 0; v < n; ++v) {
            byteIndex_[v] = spread_[scale_[v]] << 2;
            byteIndex_[n + v] = spread_[scale_[v]] << 1;
            byteIndex_[2 * n + v] = spread_[scale_[v]];
        }
        for (const pixel &c : colors_) {
            const unsigned char bytes[4] = {static_cast<unsigned char>(c.r), static_cast<unsigned char>(c.g),
                                            static_cast<unsigned char>(c.b), 0};
            std::uint32_t word;
            std::memcpy(&word, bytes, 4);
            colorWords_.push_back(word);
        }
    } catch (const std::bad_alloc &) {
        byteIndex_.clear();
        colorWords_.clear();
    }
}

bool FastConverter::convertBytes(const unsigned char *in, int channels, std::size_t pixels, unsigned char *out) {
    if (directWanted_)
        makeDirectTable();
    if (byteIndex_.empty())
        return false;
    const std::size_t n = byteIndex_.size() / 3;
    const std::uint32_t *red = byteIndex_.data(), *green = red + n, *blue = green + n;
    const sample *scale = scale_.data();
    const std::uint32_t *words = colorWords_.data();
    std::uint16_t *direct = direct_;
    const auto one = [&](unsigned r, unsigned g, unsigned b) {
        return words[directSlot(&direct[red[r] | green[g] | blue[b]],
                                [&] { return index_.nearestDistinct(scale[r], scale[g], scale[b]); }) -
                     1u];
    };
    // Each colour's three bytes written as one word, whose fourth byte the
    // next pixel overwrites: all but the last pixel.
    std::size_t i = 0;
    for (; i + 1 < pixels; ++i) {
        const unsigned char *p = in + i * static_cast<std::size_t>(channels);
        const std::uint32_t c = channels == 3 ? one(p[0], p[1], p[2]) : one(p[0], p[0], p[0]);
        std::memcpy(out + 3 * i, &c, 4);
    }
    if (i < pixels) {
        const unsigned char *p = in + i * static_cast<std::size_t>(channels);
        const std::uint32_t c = channels == 3 ? one(p[0], p[1], p[2]) : one(p[0], p[0], p[0]);
        std::memcpy(out + 3 * i, &c, 3);
    }
    return true;
}

void FastConverter::expectPixels(std::uint64_t pixels) { expectedPixels_ = pixels; }

FastConverter::~FastConverter() {
    if (directShared_)
        direct_ = nullptr;  // the first converter's
    if (directMapped_ != 0)
        munmap(direct_, directMapped_);
    else
        std::free(direct_);
    if (ditherMapped_ != 0)
        munmap(ditherTable_, ditherMapped_);
    else
        std::free(ditherTable_);
}

// The distinct colour number nearest to (r, g, b), through the cache.
inline std::uint32_t FastConverter::lookup(sample r, sample g, sample b) {
    if (direct_ != nullptr)
        return directSlot(&direct_[(spread_[r] << 2) | (spread_[g] << 1) | spread_[b]],
                          [&] { return index_.nearestDistinct(r, g, b); }) -
               1u;
    if (!memo_)
        return index_.nearestDistinct(r, g, b);
    const std::uint64_t key = ((std::uint64_t{r} << 32) | (std::uint64_t{g} << 16) | b) + 1;
    MemoSlot &slot = memo_[static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kMemoBits))];
    if (slot.key != key) {
        slot.key = key;
        slot.id = index_.nearestDistinct(r, g, b);
    }
    return slot.id;
}

// The colour of the cell's candidates nearest to (r, g, b), packed: the
// first in map order at the least distance.
inline std::uint32_t FastConverter::cellLookup(sample r, sample g, sample b) {
    return cellChoice((cellSpread_[r] << 2) | (cellSpread_[g] << 1) | cellSpread_[b], r, g, b);
}

// The same for the cell at `key` of the grid.
inline std::uint32_t FastConverter::cellChoice(std::uint32_t key, sample r, sample g, sample b) {
    std::uint16_t &cell = cells_[key];
    if (cell == 0)
        cell = buildCell(r, g, b);
    if (cell == kFallbackCell) {
        const pixel c = colors_[fallbackCells_ > kCellsBeforeCache ? lookup(r, g, b) : index_.nearestDistinct(r, g, b)];
        return packColor(c.r, c.g, c.b);
    }
    auto distance = [r, g, b](std::uint32_t c) {
        const std::int32_t dr = static_cast<std::int32_t>(c >> 16) - static_cast<std::int32_t>(r);
        const std::int32_t dg = static_cast<std::int32_t>((c >> 8) & 0xFF) - static_cast<std::int32_t>(g);
        const std::int32_t db = static_cast<std::int32_t>(c & 0xFF) - static_cast<std::int32_t>(b);
        return static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
    };
    const std::uint32_t list = cellLists_[cell - 1u];
    const std::uint32_t count = list & 0xFF;
    if (count <= 2) {
        // Most cells: their first two compared at once (a cell of one
        // holds it twice), without reading the list.
        const std::uint64_t pair = cellPairs_[cell - 1u];
        const auto first = static_cast<std::uint32_t>(pair), second = static_cast<std::uint32_t>(pair >> 32);
        return distance(second) < distance(first) ? second : first;
    }
    const std::uint32_t *cand = cellPool_.data() + (list >> 8);
    std::uint32_t best = cand[0];
    std::uint32_t bestDistance = distance(best);
    for (std::uint32_t k = 1; k < count; ++k) {
        const std::uint32_t d = distance(cand[k]);
        const bool nearer = d < bestDistance;
        best = nearer ? cand[k] : best;
        bestDistance = nearer ? d : bestDistance;
    }
    return best;
}

// A cell whose colours go to the search, or through the colour cache once
// there are many such cells.
std::uint16_t FastConverter::fallbackCell() {
    if (++fallbackCells_ > kCellsBeforeCache) {
        if (directWanted_)
            makeDirectTable();
        // Mostly such cells: a map too dense for the grid, whose building
        // would only add to the cache's work. The cache alone from the
        // next row.
        if (2 * fallbackCells_ > builtCells_)
            useCells_ = false;
    }
    return kFallbackCell;
}

std::uint16_t FastConverter::buildCell(sample r, sample g, sample b) {
    const sample lo[3] = {r >> cellShift_ << cellShift_, g >> cellShift_ << cellShift_,
                          b >> cellShift_ << cellShift_};
    ++builtCells_;
    cellScratch_.clear();
    if (!index_.cellCandidates(lo, cellShift_, kCellSearchLimit, &cellScratch_) ||
        cellScratch_.size() > kMaxCellCandidates)
        return fallbackCell();
    // Neighbouring cells often have the same list: each list is kept once,
    // which keeps the lists few enough to stay in the processor's cache.
    // Without the memory for one more, the cell's colours go to the search.
    try {
        return storeCellList();
    } catch (const std::bad_alloc &) {
        return fallbackCell();
    }
}

// The number of the list of cellScratch_'s colours, stored if new. A list
// left half stored by a failed allocation is never named by a cell.
std::uint16_t FastConverter::storeCellList() {
    cellKey_.clear();
    for (std::uint32_t id : cellScratch_) {
        const pixel c = colors_[id];
        cellKey_.push_back(static_cast<char32_t>(packColor(c.r, c.g, c.b)));
    }
    const auto known = cellListNumbers_.find(cellKey_);
    if (known != cellListNumbers_.end())
        return known->second;
    const std::uint32_t count = static_cast<std::uint32_t>(cellKey_.size());
    if (cellLists_.size() + 1 >= kFallbackCell ||
        (count > 1 && cellPool_.size() + count > cellPoolLimit_))
        return fallbackCell();
    // The pairs follow the lists; one left over by a failed allocation goes.
    cellPairs_.resize(cellLists_.size());
    cellPairs_.push_back(cellKey_[0] | (std::uint64_t{cellKey_[count > 1 ? 1 : 0]} << 32));
    if (count == 1) {
        cellLists_.push_back((cellKey_[0] << 8) | 1);
    } else {
        cellLists_.push_back((static_cast<std::uint32_t>(cellPool_.size()) << 8) | count);
        cellPool_.insert(cellPool_.end(), cellKey_.begin(), cellKey_.end());
    }
    const auto number = static_cast<std::uint16_t>(cellLists_.size());
    cellListNumbers_.emplace(cellKey_, number);
    return number;
}

// The grid of cells; without the memory for it, dithering goes through the
// colour cache alone, which gives the same colours.
void FastConverter::makeCells() {
    cellShift_ = std::min(bits_, kCellSampleBits);
    cellBits_ = bits_ - cellShift_;
    cells_.reset(static_cast<std::uint16_t *>(std::calloc(std::size_t{1} << (3 * cellBits_), sizeof(std::uint16_t))));
    try {
        cellSpread_.resize(std::size_t{maxval_} + 1);
    } catch (const std::bad_alloc &) {
        cells_.reset();
    }
    if (!cells_) {
        useCells_ = false;
        return;
    }
    for (sample v = 0; v <= maxval_; ++v) {
        std::uint32_t spread = 0;
        for (unsigned bit = 0; bit < cellBits_; ++bit)
            spread |= ((v >> (cellShift_ + bit)) & 1u) << (3 * bit);
        cellSpread_[v] = spread;
    }
    try {
        cellKeys_ = makeDitherKeys(cellSpread_);
    } catch (const std::bad_alloc &) {
        cellKeys_.reset();  // the slower way through the same cells
    }
}

std::unique_ptr<FastConverter::DitherKeys> FastConverter::makeDitherKeys(const std::vector<std::uint32_t> &spread) const {
    auto tables = std::make_unique<DitherKeys>();
    const std::int32_t maxval = static_cast<std::int32_t>(maxval_);
    for (unsigned k = 0; k < 3; ++k)
        for (std::int32_t at = 0; at < kKeySpan; ++at) {
            const std::int32_t clamped = std::clamp(at - kKeyMargin, 0, maxval);
            tables->keys[k][at] = spread[static_cast<std::size_t>(clamped)] << (2 - k);
            tables->clamped[at] = clamped;
            tables->shares[k][at] = clamped * kShareAhead;
        }
    return tables;
}

template <typename Word>
void FastConverter::convert(const Word *row, int cols, pixel *out, fserr_state *fs) {
    if (cols <= 0)
        return;
    if (fs == nullptr) {
        if (directWanted_)
            makeDirectTable();
        convertPlain(row, cols, out);
        return;
    }
    convertDitheredInto(row, cols, out, fs);
}

template <typename Word>
void FastConverter::convertDitheredBytes(const Word *row, int cols, unsigned char *out, fserr_state *fs) {
    if (cols > 0)
        convertDitheredInto(row, cols, reinterpret_cast<RawPixel *>(out), fs);
}

template <typename Word, typename Out>
void FastConverter::convertDitheredInto(const Word *row, int cols, Out *out, fserr_state *fs) {
    if (useCells_ && !cells_)
        makeCells();
    if (!useCells_ && ditherWanted_)
        makeDitherTable();
    if (!useCells_ && ditherTable_ == nullptr && directWanted_)
        makeDirectTable();
    const bool tables = useCells_ ? cellKeys_ != nullptr : ditherTable_ != nullptr;
    if (tables && ditherScratch(cols) && errorsInBounds(fs, cols)) {
        if (useCells_) {
            const auto choose = [this](std::uint32_t key, sample r, sample g, sample b) {
                return cellChoice(key, r, g, b);
            };
            fs->left_to_right ? ditherRow<Word, true>(row, cols, out, fs, *cellKeys_, choose)
                              : ditherRow<Word, false>(row, cols, out, fs, *cellKeys_, choose);
        } else {
            std::uint32_t *table = ditherTable_;
            const std::uint32_t *warm = warm_;
            const auto choose = [this, table, warm](std::uint32_t key, sample r, sample g, sample b) {
                std::uint32_t &known = table[key];
                if (known == 0 && warm != nullptr)
                    known = __atomic_load_n(&warm[key], __ATOMIC_RELAXED);
                if (known == 0) {
                    const pixel c = colors_[index_.nearestDistinct(r, g, b)];
                    known = packColor(c.r, c.g, c.b) | kKnownColor;
                }
                return known;
            };
            fs->left_to_right ? ditherRow<Word, true>(row, cols, out, fs, *ditherKeys_, choose)
                              : ditherRow<Word, false>(row, cols, out, fs, *ditherKeys_, choose);
        }
        return;
    }
    // Without the tables or the memory for a row, or errors beyond those
    // the tables allow: a row of pixels, then their bytes.
    pixel *pixels = nullptr;
    if constexpr (std::is_same_v<Out, pixel>) {
        pixels = out;
    } else {
        rowScratch_.resize(static_cast<std::size_t>(cols));
        pixels = rowScratch_.data();
    }
    if (useCells_)
        fs->left_to_right ? convertDithered<Word, true, true>(row, cols, pixels, fs)
                          : convertDithered<Word, false, true>(row, cols, pixels, fs);
    else
        fs->left_to_right ? convertDithered<Word, true, false>(row, cols, pixels, fs)
                          : convertDithered<Word, false, false>(row, cols, pixels, fs);
    if constexpr (!std::is_same_v<Out, pixel>)
        for (int col = 0; col < cols; ++col)
            put(out[col], pixels[col].r, pixels[col].g, pixels[col].b);
}

bool FastConverter::makeWarmTable() {
    // A table of fewer colours (maxval 31 or less) has few to search, fewer
    // than a second thread would cost the one that dithers.
    if (!ditherWanted_ || useCells_ || maxval_ > 255 || bits_ < kWarmBits)
        return false;
    warmTable_.reset(static_cast<std::uint32_t *>(std::calloc(std::size_t{1} << (3 * bits_), sizeof(std::uint32_t))));
    return warmTable_ != nullptr;
}

// In the order of the keys (Morton order), so that the search's lists
// serve neighbouring colours one after another.
void FastConverter::warmAll(const std::atomic<bool> &stop) {
    const std::uint32_t keys = std::uint32_t{1} << (3 * bits_);
    for (std::uint32_t key = 0; key < keys && !stop.load(std::memory_order_relaxed); ++key) {
        sample s[3] = {0, 0, 0};
        for (unsigned bit = 0; bit < bits_; ++bit)
            for (unsigned k = 0; k < 3; ++k)
                s[k] |= ((key >> (3 * bit + 2 - k)) & 1u) << bit;
        if (s[0] > maxval_ || s[1] > maxval_ || s[2] > maxval_)
            continue;
        const pixel c = colors_[index_.nearestDistinct(s[0], s[1], s[2])];
        __atomic_store_n(&warmTable_[key], packColor(c.r, c.g, c.b) | kKnownColor, __ATOMIC_RELAXED);
    }
}

// Makes what ditherRow needs for rows of cols pixels; false without the
// memory for it (the plain loop then does the work).
bool FastConverter::ditherScratch(int cols) {
    try {
        if (diffs_.size() < 3 * (static_cast<std::size_t>(cols) + 4))
            diffs_.resize(3 * (static_cast<std::size_t>(cols) + 4));
        if (raisedScale_.size() != scale_.size()) {
            raisedScale_.resize(scale_.size());
            for (std::size_t v = 0; v < scale_.size(); ++v)
                raisedScale_[v] = (static_cast<std::int32_t>(scale_[v]) + kKeyMargin) * kFserrScale;
        }
    } catch (const std::bad_alloc &) {
        raisedScale_.clear();
        return false;
    }
    return true;
}

// Whether the errors this row reads stay within 1024 * (maxval + 1) (every
// row the dithering itself makes does, 9/16 of one difference at most), so
// that an adjusted sample never leaves the key tables: the largest error,
// with 7/16 of the difference before it, is less than kKeyMargin steps.
bool FastConverter::errorsInBounds(const fserr_state *fs, int cols) const {
    // Both sums stay below 2^31 exactly when -bound <= err <= bound.
    const std::uint32_t bound = kFserrScale * (std::min<sample>(maxval_, 255) + 1);
    const std::int32_t *red = fs->this_red_err, *green = fs->this_green_err, *blue = fs->this_blue_err;
    std::uint32_t sums = 0;
    for (int slot = 1; slot <= cols; ++slot)
        for (const std::uint32_t err : {static_cast<std::uint32_t>(red[slot]), static_cast<std::uint32_t>(green[slot]),
                                        static_cast<std::uint32_t>(blue[slot])})
            sums |= (err + bound) | (bound - err);
    return sums >> 31 == 0;
}

// Floyd-Steinberg along one row as convertDithered does it, shortening
// what each pixel waits for from the one before. A pixel's error is its
// slot with the previous pixel's adjusted sample's share ahead (both known
// early) less the share ahead of the colour chosen for it, the last to
// arrive. One load per channel then gives the clamped sample and its bits
// of the colour's index, and one more the colour. The loop keeps the
// differences; the shares ahead left in this row's slots and the next
// row's slots (each written whole, so the row needs no clearing first)
// follow from them after the row, in loops that vectorize.
template <typename Word, bool LeftToRight, typename Out, typename Choose>
void FastConverter::ditherRow(const Word *row, int cols, Out *out, fserr_state *fs, const DitherKeys &tables,
                              Choose choose) {
    using P = Packing<Word>;
    const std::size_t padded = static_cast<std::size_t>(cols) + 4;
    // [col + 2]: the differences of column col, and 0 on either side.
    std::int32_t *diffs[3] = {diffs_.data(), diffs_.data() + padded, diffs_.data() + 2 * padded};
    const DitherKeys *t = &tables;
    std::int32_t *thisErr[3] = {fs->this_red_err, fs->this_green_err, fs->this_blue_err};
    std::int32_t *nextErr[3] = {fs->next_red_err, fs->next_green_err, fs->next_blue_err};
    const int first = LeftToRight ? 0 : cols - 1;
    std::ptrdiff_t slotRed = thisErr[0][first + 1], slotGreen = thisErr[1][first + 1], slotBlue = thisErr[2][first + 1];
    std::ptrdiff_t aheadRed = 0, aheadGreen = 0, aheadBlue = 0;
    // The adjusted sample, from kKeyMargin up: original + (slot - ahead) /
    // kFserrScale truncating toward zero, as in floydAdjustColor. With the
    // original and the margin added first in whole steps, the sum is never
    // negative, and the division floors once the error, when negative, is
    // raised by one step less one.
    const auto at = [](std::ptrdiff_t slot, std::ptrdiff_t ahead, std::int32_t raisedOriginal) {
        const std::ptrdiff_t raised = slot + raisedOriginal;
        const std::size_t floor = static_cast<std::size_t>(raised - ahead);
        const std::size_t up = static_cast<std::size_t>(raised + (kFserrScale - 1) - ahead);
        // A select, not a branch: the error's sign goes either way at random.
        const std::size_t sum = slot < ahead ? up : floor;
        return sum / static_cast<std::size_t>(kFserrScale);
    };
    const std::int32_t *raisedScale = raisedScale_.data();
    // Multiplied as read (not a constant the compiler splits into shifts
    // and adds): one instruction.
    const std::ptrdiff_t shareAhead = shareAhead_;
    for (int i = 0; i < cols; ++i) {
        const int col = LeftToRight ? i : cols - 1 - i;
        // The slot ahead: beyond either end a guard slot, never read back.
        const int next = LeftToRight ? col + 2 : col;
        const Word w = row[col];
        const std::size_t atRed = at(slotRed, aheadRed, raisedScale[P::red(w)]);
        const std::size_t atGreen = at(slotGreen, aheadGreen, raisedScale[P::green(w)]);
        const std::size_t atBlue = at(slotBlue, aheadBlue, raisedScale[P::blue(w)]);
        slotRed = static_cast<std::ptrdiff_t>(thisErr[0][next]) + t->shares[0][atRed];
        slotGreen = static_cast<std::ptrdiff_t>(thisErr[1][next]) + t->shares[1][atGreen];
        slotBlue = static_cast<std::ptrdiff_t>(thisErr[2][next]) + t->shares[2][atBlue];
        const std::int32_t red = t->clamped[atRed], green = t->clamped[atGreen], blue = t->clamped[atBlue];
        const std::uint32_t chosen = choose(t->keys[0][atRed] | t->keys[1][atGreen] | t->keys[2][atBlue], red, green, blue);
        const sample r = (chosen >> 16) & 0xFF, g = (chosen >> 8) & 0xFF, b = chosen & 0xFF;
        aheadRed = static_cast<std::ptrdiff_t>(r) * shareAhead;
        aheadGreen = static_cast<std::ptrdiff_t>(g) * shareAhead;
        aheadBlue = static_cast<std::ptrdiff_t>(b) * shareAhead;
        diffs[0][col + 2] = red - static_cast<std::int32_t>(r);
        diffs[1][col + 2] = green - static_cast<std::int32_t>(g);
        diffs[2][col + 2] = blue - static_cast<std::int32_t>(b);
        put(out[col], r, g, b);
    }
    for (unsigned k = 0; k < 3; ++k) {
        std::int32_t *d = diffs[k];
        d[0] = d[1] = d[cols + 2] = d[cols + 3] = 0;
        std::int32_t *thisRow = thisErr[k], *nextRow = nextErr[k];
        // Slot s takes the share ahead of column s - 1 going right, s + 1 going left.
        for (int slot = 0; slot < cols + 2; ++slot) {
            const std::int32_t before = d[slot], under = d[slot + 1], after = d[slot + 2];
            thisRow[slot] += (LeftToRight ? before : after) * kShareAhead;
            nextRow[slot] = (LeftToRight ? after : before) * kShareBehindBelow + under * kShareBelow +
                            (LeftToRight ? before : after) * kShareAheadBelow;
        }
    }
    floydSwitchDir(fs);
}

template <typename Word>
void FastConverter::convertPlain(const Word *row, int cols, pixel *out) {
    using P = Packing<Word>;
    const sample *scale = scale_.data();
    if (direct_ != nullptr) {
        // Every pixel through the table, without first comparing it with
        // the one before: in a photograph that comparison goes either way
        // at random, and its mispredictions cost more than the lookups.
        const std::uint32_t *spread = spread_.data();
        std::uint16_t *direct = direct_;
        for (int col = 0; col < cols; ++col) {
            const Word w = row[col];
            const sample r = scale[P::red(w)], g = scale[P::green(w)], b = scale[P::blue(w)];
            const std::uint16_t slot = directSlot(&direct[(spread[r] << 2) | (spread[g] << 1) | spread[b]],
                                                  [&] { return index_.nearestDistinct(r, g, b); });
            out[col] = colors_[slot - 1u];
        }
        return;
    }
    Word previous = row[0];
    pixel chosen = colors_[lookup(scale[P::red(previous)], scale[P::green(previous)], scale[P::blue(previous)])];
    for (int col = 0; col < cols; ++col) {
        const Word w = row[col];
        if (w != previous) {
            chosen = colors_[lookup(scale[P::red(w)], scale[P::green(w)], scale[P::blue(w)])];
            previous = w;
        }
        out[col] = chosen;
    }
}

// One pixel of Floyd-Steinberg as floydAdjustColor, the search and
// floydPropagateErr do it: each share of err = diff * kFserrScale is
// exactly diff times that share of one step (see floyd.h).
template <typename Word, bool LeftToRight, bool Cells>
void FastConverter::convertDithered(const Word *row, int cols, pixel *out, fserr_state *fs) {
    using P = Packing<Word>;
    floydInitRow(fs, cols);
    const sample *scale = scale_.data();
    std::int32_t *thisErr[3] = {fs->this_red_err, fs->this_green_err, fs->this_blue_err};
    std::int32_t *nextErr[3] = {fs->next_red_err, fs->next_green_err, fs->next_blue_err};
    const std::int32_t maxval = static_cast<std::int32_t>(maxval_);
    for (int i = 0; i < cols; ++i) {
        const int col = LeftToRight ? i : cols - 1 - i;
        const Word w = row[col];
        const sample original[3] = {scale[P::red(w)], scale[P::green(w)], scale[P::blue(w)]};
        sample adjusted[3];
        for (int k = 0; k < 3; ++k) {
            // Division truncating toward zero, as in floydAdjustColor.
            const std::int32_t v = static_cast<std::int32_t>(original[k]) + thisErr[k][col + 1] / kFserrScale;
            adjusted[k] = static_cast<sample>(std::clamp<std::int32_t>(v, 0, maxval));
        }
        pixel chosen;
        if (Cells) {
            const std::uint32_t c = cellLookup(adjusted[0], adjusted[1], adjusted[2]);
            chosen = pixel{c >> 16, (c >> 8) & 0xFF, c & 0xFF};
        } else {
            chosen = colors_[lookup(adjusted[0], adjusted[1], adjusted[2])];
        }
        const sample chosenSamples[3] = {chosen.r, chosen.g, chosen.b};
        const int ahead = LeftToRight ? col + 2 : col;
        const int behind = LeftToRight ? col : col + 2;
        for (int k = 0; k < 3; ++k) {
            const std::int32_t diff = static_cast<std::int32_t>(adjusted[k]) - static_cast<std::int32_t>(chosenSamples[k]);
            thisErr[k][ahead] += diff * kShareAhead;
            nextErr[k][behind] += diff * kShareBehindBelow;
            nextErr[k][col + 1] += diff * kShareBelow;
            nextErr[k][ahead] += diff * kShareAheadBelow;
        }
        out[col] = chosen;
    }
    floydSwitchDir(fs);
}

template void FastConverter::convert<std::uint32_t>(const std::uint32_t *, int, pixel *, fserr_state *);
template void FastConverter::convert<std::uint64_t>(const std::uint64_t *, int, pixel *, fserr_state *);
template void FastConverter::convertDitheredBytes<std::uint32_t>(const std::uint32_t *, int, unsigned char *,
                                                                 fserr_state *);

}  // namespace quantize
