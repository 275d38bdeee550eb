#include "streaming_histogram.h"

#include <kestrum/common.h>

#include <algorithm>

#include "color_bucket.h"
#include "colormap_rules.h"
#include "mediancut.h"

namespace quantize {

namespace {

constexpr std::size_t kSlots = std::size_t{1} << 16;
constexpr unsigned kDirectBits = 21;

std::size_t slotOf(const pixel &c) {
    const std::uint64_t key = (std::uint64_t{c.r} << 32) | (std::uint64_t{c.g} << 16) | c.b;
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 48);
}

bool same(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

}  // namespace

StreamingHistogram::StreamingHistogram(sample maxval, bool halving)
    : maxval_(maxval), halving_(halving), scale_(rescaleTable(maxval, maxval)) {
    makeSlots();
}

// The slots for the current maxval: indexed by the colour itself when its
// samples take few bits (a table of at most 2^21 slots), else hashed.
void StreamingHistogram::makeSlots() {
    bits_ = 0;
    while (bits_ < 32 && (maxval_ >> bits_) != 0)
        ++bits_;
    direct_ = 3 * bits_ <= kDirectBits;
    slots_.assign(direct_ ? std::size_t{1} << (3 * bits_) : kSlots, 0);
    byteIndex_.clear();
    if (direct_ && scale_.size() <= 256) {
        const std::size_t n = scale_.size();
        byteIndex_.resize(3 * n);
        for (std::size_t v = 0; v < n; ++v) {
            byteIndex_[v] = scale_[v] << (2 * bits_);
            byteIndex_[n + v] = scale_[v] << bits_;
            byteIndex_[2 * n + v] = scale_[v];
        }
    }
}

// The number of colour c, or UINT32_MAX when it has not been seen.
std::uint32_t StreamingHistogram::find(const pixel &c) {
    if (direct_) {
        const std::uint16_t n = slots_[directIndex(c)];
        return n == 0 ? UINT32_MAX : n - 1u;
    }
    for (std::size_t s = slotOf(c);; s = (s + 1) & (kSlots - 1)) {
        const std::uint16_t n = slots_[s];
        if (n == 0)
            return UINT32_MAX;
        if (same(colors_[n - 1u], c))
            return n - 1u;
    }
}

// Makes colour c, not yet seen, colour number id.
void StreamingHistogram::claimSlot(const pixel &c, std::uint32_t id) {
    std::size_t s = direct_ ? directIndex(c) : slotOf(c);
    while (slots_[s] != 0)
        s = (s + 1) & (kSlots - 1);
    slots_[s] = static_cast<std::uint16_t>(id + 1);
}

// Adds colour c, not yet seen, while there is room under the limit.
std::uint32_t StreamingHistogram::insert(const pixel &c, std::uint64_t count, std::uint64_t first) {
    const auto id = static_cast<std::uint32_t>(colors_.size());
    colors_.push_back(c);
    counts_.push_back(count);
    spare_.push_back(0);
    first_.push_back(first);
    claimSlot(c, id);
    return id;
}

// One more halving of the maxval: the table composed as
// computeHistogramPacked composes it, the colours so far rescaled alike and
// merged, in place: the colours keep their order, each new one written at
// or before the place it is read from, so no second set of vectors is
// ever touched.
void StreamingHistogram::halve() {
    const sample old = maxval_, halved = maxval_ / 2;
    halvings_.emplace_back(old, halved);
    for (sample &s : scale_)
        s = rescaleSample(s, old, halved);
    maxval_ = halved;
    makeSlots();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < colors_.size(); ++i) {
        const pixel c{rescaleSample(colors_[i].r, old, halved), rescaleSample(colors_[i].g, old, halved),
                      rescaleSample(colors_[i].b, old, halved)};
        const std::uint64_t count = counts_[i] + spare_[i], first = first_[i];
        const std::uint32_t id = find(c);
        if (id == UINT32_MAX) {
            colors_[kept] = c;
            counts_[kept] = count;
            spare_[kept] = 0;
            first_[kept] = first;
            claimSlot(c, static_cast<std::uint32_t>(kept++));
        } else {
            counts_[id] += count;
            first_[id] = std::min(first_[id], first);
        }
    }
    for (auto *v : {&counts_, &spare_, &first_})
        v->resize(kept);
    colors_.resize(kept);
    previousId_ = UINT32_MAX;
}

void StreamingHistogram::merge(const StreamingHistogram &other) {
    while (maxval_ > other.maxval_)
        halve();
    // The other's colours, brought down the same halvings to this maxval.
    std::vector<pixel> colors = other.colors_;
    sample level = other.maxval_;
    const auto catchUp = [&](std::size_t from) {
        for (; level > maxval_; level /= 2)
            for (std::size_t i = from; i < colors.size(); ++i)
                colors[i] = pixel{rescaleSample(colors[i].r, level, level / 2),
                                  rescaleSample(colors[i].g, level, level / 2),
                                  rescaleSample(colors[i].b, level, level / 2)};
    };
    catchUp(0);
    for (std::size_t i = 0; i < colors.size(); ++i) {
        std::uint32_t id;
        while ((id = find(colors[i])) == UINT32_MAX && colors_.size() >= static_cast<std::size_t>(kMaxHistogramColors)) {
            halve();
            catchUp(i);
        }
        if (id == UINT32_MAX) {
            insert(colors[i], other.countOf(i), other.first_[i]);
        } else {
            counts_[id] += other.countOf(i);
            first_[id] = std::min(first_[id], other.first_[i]);
        }
    }
    previousId_ = UINT32_MAX;
}

void StreamingHistogram::reserveAll() {
    const std::size_t limit = static_cast<std::size_t>(kMaxHistogramColors);
    colors_.reserve(limit);
    for (auto *v : {&counts_, &spare_, &first_})
        v->reserve(limit);
    slots_.reserve(std::max<std::size_t>(std::size_t{1} << kDirectBits, kSlots));
    byteIndex_.reserve(3 * 256);
    // A halving at most for each bit of the maxval.
    halvings_.reserve(32);
}

void StreamingHistogram::add(const pixel *span, int count) {
    for (int i = 0; i < count && !overflowed_; ++i, ++pixels_) {
        if (direct_) {
            const int known = countKnown(span + i, count - i);
            i += known;
            pixels_ += known;
            if (i == count)
                break;
        }
        addOne(span[i]);
    }
}

// Counts pixels from the start of the span for as long as their colours
// have been seen, with the direct table: the common case, with the tables
// in locals (the counts written would otherwise oblige every field to be
// read again). The number of pixels counted.
int StreamingHistogram::countKnown(const pixel *span, int count) {
    // Every pixel looked up, without first comparing it with the one
    // before: in a photograph that comparison goes either way at random,
    // and its mispredictions would cost more than the lookups it saves.
    const sample *scale = scale_.data();
    const std::uint16_t *slots = slots_.data();
    std::uint64_t *counts = counts_.data();
    const unsigned bits = bits_;
    std::uint32_t id = UINT32_MAX;
    int i = 0;
    for (; i < count; ++i) {
        const pixel p = span[i];
        const std::uint16_t n =
            slots[(std::size_t{scale[p.r]} << (2 * bits)) | (std::size_t{scale[p.g]} << bits) | scale[p.b]];
        if (n == 0)
            break;
        id = n - 1u;
        ++counts[id];
    }
    if (i > 0) {
        previous_ = span[i - 1];
        previousId_ = id;
    }
    return i;
}

void StreamingHistogram::addBytes(const unsigned char *bytes, int channels, std::size_t count) {
    for (std::size_t i = 0; i < count && !overflowed_; ++i, ++pixels_) {
        const std::size_t known = !byteIndex_.empty()
                                      ? (channels == 3 ? countKnownBytes<3>(bytes + 3 * i, count - i)
                                                       : countKnownBytes<1>(bytes + i, count - i))
                                  : !direct_ ? (channels == 3 ? countKnownHashedBytes<3>(bytes + 3 * i, count - i)
                                                              : countKnownHashedBytes<1>(bytes + i, count - i))
                                             : 0;
        i += known;
        pixels_ += known;
        if (i == count)
            break;
        const unsigned char *p = bytes + i * static_cast<std::size_t>(channels);
        addOne(channels == 3 ? pixel{p[0], p[1], p[2]} : pixel{p[0], p[0], p[0]});
    }
}

// The last pixel counted from raw bytes and its colour number, for addOne.
template <int Channels>
void StreamingHistogram::rememberLast(const unsigned char *p, std::uint32_t id) {
    previous_ = Channels == 3 ? pixel{p[0], p[1], p[2]} : pixel{p[0], p[0], p[0]};
    previousId_ = id;
}

// countKnown from raw bytes, pixels taken two at a time, the second
// counted in spare_.
template <int Channels>
std::size_t StreamingHistogram::countKnownBytes(const unsigned char *bytes, std::size_t count) {
    const std::size_t n = byteIndex_.size() / 3;
    const std::uint32_t *red = byteIndex_.data(), *green = red + n, *blue = green + n;
    const std::uint16_t *slots = slots_.data();
    std::uint64_t *counts = counts_.data(), *spare = spare_.data();
    const auto slotOf = [&](std::size_t i) {
        const unsigned char *p = bytes + Channels * i;
        return slots[red[p[0]] | green[p[Channels == 3 ? 1 : 0]] | blue[p[Channels == 3 ? 2 : 0]]];
    };
    std::uint16_t last = 0;
    std::size_t i = 0;
    for (; i + 1 < count; i += 2) {
        const std::uint16_t a = slotOf(i), b = slotOf(i + 1);
        if (a == 0 || b == 0)
            break;
        ++counts[a - 1u];
        ++spare[b - 1u];
        last = b;
    }
    if (i < count) {
        if (const std::uint16_t a = slotOf(i)) {
            ++counts[a - 1u];
            last = a;
            ++i;
        }
    }
    if (i > 0)
        rememberLast<Channels>(bytes + Channels * (i - 1), last - 1u);
    return i;
}

// countKnownBytes for the hashed slots.
template <int Channels>
std::size_t StreamingHistogram::countKnownHashedBytes(const unsigned char *bytes, std::size_t count) {
    const sample *scale = scale_.data();
    const std::uint16_t *slots = slots_.data();
    const pixel *colors = colors_.data();
    std::uint64_t *counts = counts_.data();
    std::uint32_t id = UINT32_MAX;
    std::size_t i = 0;
    for (; i < count; ++i) {
        const unsigned char *p = bytes + Channels * i;
        const pixel c{scale[p[0]], scale[p[Channels == 3 ? 1 : 0]], scale[p[Channels == 3 ? 2 : 0]]};
        std::uint16_t n;
        for (std::size_t s = slotOf(c); (n = slots[s]) != 0 && !same(colors[n - 1u], c);)
            s = (s + 1) & (kSlots - 1);
        if (n == 0)
            break;
        id = n - 1u;
        ++counts[id];
    }
    if (i > 0)
        rememberLast<Channels>(bytes + Channels * (i - 1), id);
    return i;
}

// Counts one pixel, whatever its colour: a new colour is added, the maxval
// halved first while there is no room for it.
void StreamingHistogram::addOne(const pixel &p) {
    if (previousId_ != UINT32_MAX && same(p, previous_)) {
        ++counts_[previousId_];
        return;
    }
    std::uint32_t id;
    for (;;) {
        const pixel c{scale_[p.r], scale_[p.g], scale_[p.b]};
        id = find(c);
        if (id != UINT32_MAX)
            break;
        if (colors_.size() < static_cast<std::size_t>(kMaxHistogramColors)) {
            id = insert(c, 0, pixels_);
            break;
        }
        if (!halving_) {
            overflowed_ = true;
            return;
        }
        // At most 31^3 colours exist at maxval 30, so this ends.
        halve();
    }
    ++counts_[id];
    previous_ = p;
    previousId_ = id;
}

void StreamingHistogram::finish(std::vector<WideColorCount> *histP, sample *newmaxvalP, SampleScale *scaleP) {
    pm_message("making histogram...");
    for (const auto &h : halvings_) {
        pm_message("too many colors!");
        pm_message("scaling colors from maxval=%d to maxval=%d to improve clustering...",
                   static_cast<int>(h.first), static_cast<int>(h.second));
        pm_message("making histogram...");
    }
    pm_message("%d colors found", static_cast<int>(colors_.size()));

    *histP = histogram();
    *newmaxvalP = maxval_;
    *scaleP = std::move(scale_);
}

std::vector<WideColorCount> StreamingHistogram::histogram() const {
    // By bucket (a counting sort), and within a bucket the newest colour
    // (the latest first pixel) first.
    const std::size_t n = colors_.size();
    std::vector<std::uint32_t> bucket(n), order(n), start(COLOR_HASH_BUCKETS + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        bucket[i] = static_cast<std::uint32_t>(kestrum::ppm_colorbucket(colors_[i]));
        ++start[bucket[i] + 1];
    }
    for (std::size_t b = 0; b < COLOR_HASH_BUCKETS; ++b)
        start[b + 1] += start[b];
    for (std::uint32_t i = 0; i < n; ++i)
        order[start[bucket[i]]++] = i;
    for (std::size_t i = 0, j; i < n; i = j) {
        for (j = i + 1; j < n && bucket[order[j]] == bucket[order[i]];)
            ++j;
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(i), order.begin() + static_cast<std::ptrdiff_t>(j),
                  [&](std::uint32_t a, std::uint32_t b) { return first_[a] > first_[b]; });
    }
    std::vector<WideColorCount> hist;
    hist.reserve(n);
    for (std::uint32_t i : order)
        hist.push_back(WideColorCount{colors_[i], countOf(i)});
    return hist;
}

}  // namespace quantize
