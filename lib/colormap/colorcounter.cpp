// The colour counter behind ppm_computecolorhist and the colour-row
// builders; see colorcounter.h for why it exists and how it is laid out.
#include "colorcounter.h"

#include <kestrum/common.h>

#include <cstdlib>
#include <cstring>

#include "colormap_internal.h"
#include "histogram_order.h"

namespace kestrum {

namespace {

// The hashed index is sized for the limit, but never beyond this at first:
// an image of few colours under a large limit should not pay for it.
constexpr std::uint32_t firstIndexMax = 1u << 16;
constexpr std::uint32_t firstIndexMin = 1u << 10;
// 2^31 slots at most: size_ then stays at or below 2^30 and every count and
// index fits a signed 32-bit integer.
constexpr std::uint32_t indexMax = 1u << 31;
// Direct tables of 1 MiB (samples below 64) and 8 MiB (below 128). Larger
// ones would cost more in page faults than hashing does.
constexpr unsigned firstDirectBits = 6;
constexpr unsigned lastDirectBits = 7;

std::int32_t *newDirectTable(unsigned bits) {
    return static_cast<std::int32_t *>(std::calloc(std::size_t{1} << (3 * bits), sizeof(std::int32_t)));
}

// The place of a colour in a direct table for samples below 2^bits.
inline std::size_t directKey(sample r, sample g, sample b, unsigned bits) {
    return (std::size_t{r} << (2 * bits)) | (std::size_t{g} << bits) | b;
}

// One more pixel of a colour; a count stops at the largest signed 32-bit
// value rather than wrap.
inline void bump(std::int32_t &count) { count += count != INT32_MAX; }

}  // namespace

ColorCounter::ColorCounter(std::uint32_t limit, const char *growthFailure)
    : limit_(limit), growthFailure_(growthFailure) {
    firstIndexSize_ = firstIndexMin;
    while (firstIndexSize_ < firstIndexMax && firstIndexSize_ / 2 < limit)
        firstIndexSize_ *= 2;
    entryRoom_ = firstIndexSize_ / 2;
    void *entries;
    mallocProduct(&entries, entryRoom_, sizeof(Entry));
    entries_ = static_cast<Entry *>(entries);
    if (entries_ == nullptr)
        pm_error("out of memory allocating hash table");
    // The direct table is only a shortcut: without it, hash from the start.
    counts_ = newDirectTable(firstDirectBits);
    if (counts_ != nullptr)
        directBits_ = firstDirectBits;
    else
        buildIndex(firstIndexSize_, "out of memory allocating hash table");
}

ColorCounter::~ColorCounter() {
    std::free(entries_);
    std::free(counts_);
    std::free(index_);
}

bool ColorCounter::countRow(const pixel *row, int cols) {
    int col = 0;
    while (counts_ != nullptr) {
        col = countDirect(row, col, cols);
        if (col < 0)
            return false;
        if (col == cols)
            return true;
        const pixel &p = row[col];
        if (directBits_ < lastDirectBits && (p.r | p.g | p.b) >> lastDirectBits == 0)
            widenDirect(lastDirectBits);
        else
            leaveDirect();
    }
    return countHashed(row + col, cols - col);
}

// Counts from column col on while the samples fit the direct table. The
// column of the first pixel that does not fit, cols at the end of the row,
// -1 on the first colour beyond the limit.
int ColorCounter::countDirect(const pixel *row, int col, int cols) {
    const sample side = sample{1} << directBits_;
    std::int32_t *const counts = counts_;
    for (; col < cols; ++col) {
        const pixel &p = row[col];
        if ((p.r | p.g | p.b) >= side)
            return col;
        std::int32_t &count = counts[directKey(p.r, p.g, p.b, directBits_)];
        if (count == 0) {
            if (size_ >= limit_)
                return -1;
            appendEntry(p);
        }
        bump(count);
    }
    return cols;
}

bool ColorCounter::countHashed(const pixel *row, int cols) {
    for (int col = 0; col < cols; ++col) {
        const pixel &p = row[col];
        const std::uint32_t mask = indexSize_ - 1;
        std::uint32_t s = home(p);
        std::uint32_t n;
        while ((n = index_[s]) != 0) {
            const Entry &e = entries_[n - 1];
            if (e.r == p.r && e.g == p.g && e.b == p.b)
                break;
            s = (s + 1) & mask;
        }
        if (n != 0) {
            bump(entries_[n - 1].count);
            continue;
        }
        if (size_ >= limit_)
            return false;
        if (size_ == indexSize_ / 2) {
            // Half full: double it, then find the new colour's empty slot there.
            if (indexSize_ == indexMax)
                pm_error("%s", growthFailure_);
            buildIndex(indexSize_ * 2, growthFailure_);
            s = home(p);
            while (index_[s] != 0)
                s = (s + 1) & (indexSize_ - 1);
        }
        appendEntry(p);
        entries_[size_ - 1].count = 1;
        index_[s] = size_;
    }
    return true;
}

std::int32_t ColorCounter::countOf(std::uint32_t i) const {
    const Entry &e = entries_[i];
    return counts_ != nullptr ? counts_[directKey(e.r, e.g, e.b, directBits_)] : e.count;
}

// Moves the counts to a direct table for wider samples; without the memory
// for it, to the hashed index instead.
void ColorCounter::widenDirect(unsigned bits) {
    std::int32_t *wider = newDirectTable(bits);
    if (wider == nullptr) {
        leaveDirect();
        return;
    }
    for (std::uint32_t i = 0; i < size_; ++i) {
        const Entry &e = entries_[i];
        wider[directKey(e.r, e.g, e.b, bits)] = counts_[directKey(e.r, e.g, e.b, directBits_)];
    }
    directBits_ = bits;
    std::free(counts_);
    counts_ = wider;
}

// Moves the counts into the entries and indexes them for hashing.
void ColorCounter::leaveDirect() {
    for (std::uint32_t i = 0; i < size_; ++i)
        entries_[i].count = countOf(i);
    std::free(counts_);
    counts_ = nullptr;
    directBits_ = 0;
    std::uint32_t size = firstIndexSize_;
    while (size / 2 < size_)
        size *= 2;
    buildIndex(size, growthFailure_);
}

// The first slot to probe: a multiplicative hash of all 96 bits, its top
// bits taken so that every sample bit counts.
inline std::uint32_t ColorCounter::home(const pixel &color) const {
    std::uint64_t h = ((std::uint64_t{color.r} << 32) | color.g) * 0x9E3779B97F4A7C15ull +
                      std::uint64_t{color.b} * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::uint32_t>(h >> shift_);
}

// A new index of `size` slots (a power of two) holding every entry.
void ColorCounter::buildIndex(std::uint32_t size, const char *failure) {
    auto *index = static_cast<std::uint32_t *>(std::calloc(size, sizeof(std::uint32_t)));
    if (index == nullptr)
        pm_error("%s", failure);
    std::free(index_);
    index_ = index;
    indexSize_ = size;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctz(size));
    const std::uint32_t mask = size - 1;
    for (std::uint32_t i = 0; i < size_; ++i) {
        std::uint32_t s = home(pixel{entries_[i].r, entries_[i].g, entries_[i].b});
        while (index_[s] != 0)
            s = (s + 1) & mask;
        index_[s] = i + 1;
    }
}

// Adds a new colour at the end of the entries, with no count yet.
void ColorCounter::appendEntry(const pixel &color) {
    if (size_ == entryRoom_) {
        void *entries = nullptr;
        if (entryRoom_ <= UINT32_MAX / 2)
            mallocProduct(&entries, entryRoom_ * 2, sizeof(Entry));
        if (entries == nullptr)
            pm_error("%s", growthFailure_);
        std::memcpy(entries, entries_, std::size_t{size_} * sizeof(Entry));
        std::free(entries_);
        entries_ = static_cast<Entry *>(entries);
        entryRoom_ *= 2;
    }
    entries_[size_++] = Entry{color.r, color.g, color.b, 0};
}

color_histogram ColorCounter::histogram(std::uint64_t room) const {
    void *block = nullptr;
    if (room < size_)
        room = size_;
    if (room <= UINT32_MAX)
        mallocProduct(&block, static_cast<std::uint32_t>(room), sizeof(color_count));
    HeapBlock<color_count> hist(static_cast<color_count *>(block));
    const auto colorOf = [this](std::uint32_t i) {
        return pixel{entries_[i].r, entries_[i].g, entries_[i].b};
    };
    const auto place = [&](std::uint32_t position, std::uint32_t i) {
        hist[position] = color_count{colorOf(i), countOf(i)};
    };
    if (!hist.get() || !placeInHistogramOrder(size_, colorOf, place))
        pm_error("out of memory generating histogram");
    return hist.release();
}

void ColorCounter::firstSeenColors(pixel *out) const {
    for (std::uint32_t i = 0; i < size_; ++i)
        out[i] = pixel{entries_[i].r, entries_[i].g, entries_[i].b};
}

}  // namespace kestrum
