// -refine: the full-precision histogram, the cut by error over its cells
// and the Lloyd passes (see refine.h).
#include "refine.h"

#include <kestrum/common.h>

#include <algorithm>
#include <new>
#include <numeric>
#include <queue>
#include <utility>

#include "colormap_rules.h"
#include "nearest.h"
#include "out_of_memory.h"

namespace quantize {

namespace {

// Squares of sums of 16-bit samples over 2^31 pixels need 94 bits.
__extension__ typedef unsigned __int128 Wide;

unsigned bitWidth(sample m) {
    unsigned bits = 0;
    while (bits < 32 && (m >> bits) != 0)
        ++bits;
    return bits;
}

// Least significant digit first, 16 bits a pass: linear in the pixels, where
// a comparison sort of a 16-megapixel image takes seconds.
template <typename Word>
void radixSort(std::vector<Word> *words, unsigned keyBits) {
    std::vector<Word> other(words->size());
    std::vector<std::size_t> start(std::size_t{1} << 16);
    for (unsigned shift = 0; shift < keyBits; shift += 16) {
        std::fill(start.begin(), start.end(), 0);
        for (const Word w : *words)
            ++start[(w >> shift) & 0xffff];
        std::size_t at = 0;
        for (std::size_t &s : start)
            at += std::exchange(s, at);
        for (const Word w : *words)
            other[start[(w >> shift) & 0xffff]++] = w;
        words->swap(other);
    }
}

// Counting in a table indexed by the colour, for samples up to 255 (at
// most 2^24 counts, 64 MiB); the table's order is the histogram's.
std::vector<WeightedColor> narrowHistogram(const PackedImage &image) {
    using P = Packing<std::uint32_t>;
    const unsigned bits = bitWidth(image.maxval);
    std::vector<std::uint32_t> counts(std::size_t{1} << (3 * bits));
    for (int r = 0; r < image.rows; ++r) {
        const std::uint32_t *row = image.row<std::uint32_t>(r);
        for (int col = 0; col < image.cols; ++col) {
            const std::uint32_t w = row[col];
            ++counts[(P::red(w) << (2 * bits)) | (P::green(w) << bits) | P::blue(w)];
        }
    }
    std::vector<WeightedColor> hist;
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    for (std::uint32_t i = 0; i < counts.size(); ++i)
        if (counts[i] != 0)
            hist.push_back(WeightedColor{pixel{i >> (2 * bits), (i >> bits) & mask, i & mask}, counts[i]});
    return hist;
}

// Larger samples: the pixels sorted, and the runs of equal colours counted.
std::vector<WeightedColor> wideHistogram(const PackedImage &image) {
    using P = Packing<std::uint64_t>;
    std::vector<std::uint64_t> words;
    words.reserve(static_cast<std::size_t>(image.cols) * static_cast<std::size_t>(image.rows));
    for (int r = 0; r < image.rows; ++r) {
        const std::uint64_t *row = image.row<std::uint64_t>(r);
        words.insert(words.end(), row, row + image.cols);
    }
    radixSort(&words, 3 * P::kShift);
    std::vector<WeightedColor> hist;
    for (std::size_t i = 0; i < words.size();) {
        std::size_t j = i + 1;
        while (j < words.size() && words[j] == words[i])
            ++j;
        hist.push_back(WeightedColor{pixel{P::red(words[i]), P::green(words[i]), P::blue(words[i])},
                                     static_cast<std::uint32_t>(j - i)});
        i = j;
    }
    return hist;
}

// Pixel count and per channel the sum of samples. The squared error of a
// set of colours about its mean is the sum of their squares less s^2 / n
// for each channel; the squares add up to the same however a box is split,
// so the sums and counts alone rank its cuts.
struct Moments {
    std::uint64_t n = 0;
    std::uint64_t s[3] = {0, 0, 0};

    void add(const Moments &m) {
        n += m.n;
        for (int c = 0; c < 3; ++c)
            s[c] += m.s[c];
    }
    void subtract(const Moments &m) {
        n -= m.n;
        for (int c = 0; c < 3; ++c)
            s[c] -= m.s[c];
    }
    // n x the square of the mean of channel c (truncated).
    Wide meanSquare(int c) const { return static_cast<Wide>(s[c]) * s[c] / n; }
    pixel mean() const {
        sample m[3];
        for (int c = 0; c < 3; ++c)
            m[c] = static_cast<sample>((s[c] + n / 2) / n);
        return pixel{m[0], m[1], m[2]};
    }
};

// The histogram gathered in cells, at most 64 a side (2^18 in all), which
// the cut sorts instead of the colours themselves; key: the cell's place.
struct Cell {
    Moments m;
    std::uint32_t key[3];
};

std::vector<Cell> gatherCells(const std::vector<WeightedColor> &hist, sample maxval) {
    const unsigned bits = bitWidth(maxval);
    const unsigned shift = bits > 6 ? bits - 6 : 0;
    std::vector<std::int32_t> slot(std::size_t{1} << 18, -1);
    std::vector<Cell> cells;
    for (const WeightedColor &wc : hist) {
        const std::uint32_t k[3] = {wc.color.r >> shift, wc.color.g >> shift, wc.color.b >> shift};
        std::int32_t &at = slot[(k[0] << 12) | (k[1] << 6) | k[2]];
        if (at < 0) {
            at = static_cast<std::int32_t>(cells.size());
            cells.push_back(Cell{Moments{}, {k[0], k[1], k[2]}});
        }
        Moments &m = cells[static_cast<std::size_t>(at)].m;
        const sample v[3] = {wc.color.r, wc.color.g, wc.color.b};
        m.n += wc.count;
        for (int c = 0; c < 3; ++c)
            m.s[c] += std::uint64_t{v[c]} * wc.count;
    }
    return cells;
}

struct Box {
    std::size_t first, count;  // order[first .. first + count)
    Moments m;
};

// The best cut of a box: along `axis`, its first `at` cells (in the order
// sorted along that axis) below, lowering the error by `gain`.
struct Cut {
    int axis = -1;  // -1: a single cell, which cannot be cut
    std::size_t at = 0;
    Moments lower;
    Wide gain = 0;
};

// n x the squares of the three means: the error is q - s^2 / n, so a cut
// lowers it by what this sums to over both halves less the whole's.
Wide meanSquares(const Moments &m) { return m.meanSquare(0) + m.meanSquare(1) + m.meanSquare(2); }

// The cut of least summed error of the two halves, between two planes of
// cells, over the three axes: the first such among equals (red before
// green before blue, lower before higher). Leaves the box's cells sorted
// along the chosen axis.
Cut planCut(const Box &box, const std::vector<Cell> &cells, std::vector<std::uint32_t> *order) {
    const auto first = order->begin() + static_cast<std::ptrdiff_t>(box.first);
    const auto last = first + static_cast<std::ptrdiff_t>(box.count);
    const Wide whole = meanSquares(box.m);
    Cut best;
    int sortedAxis = -1;
    for (int axis = 0; axis < 3; ++axis) {
        std::stable_sort(first, last, [&](std::uint32_t a, std::uint32_t b) {
            return cells[a].key[axis] < cells[b].key[axis];
        });
        sortedAxis = axis;
        Moments lower;
        for (std::size_t i = 1; i < box.count; ++i) {
            const Cell &prev = cells[first[static_cast<std::ptrdiff_t>(i) - 1]];
            lower.add(prev.m);
            if (prev.key[axis] == cells[first[static_cast<std::ptrdiff_t>(i)]].key[axis])
                continue;
            Moments upper = box.m;
            upper.subtract(lower);
            const Wide both = meanSquares(lower) + meanSquares(upper);
            // Truncated means can make a useless cut look a little worse.
            const Wide gain = both > whole ? both - whole : 0;
            if (best.axis < 0 || gain > best.gain)
                best = Cut{axis, i, lower, gain};
        }
    }
    if (best.axis >= 0 && best.axis != sortedAxis)
        std::stable_sort(first, last, [&](std::uint32_t a, std::uint32_t b) {
            return cells[a].key[best.axis] < cells[b].key[best.axis];
        });
    return best;
}

// Where each histogram colour goes under a colour map, and what it costs.
struct Assignment {
    std::uint64_t error = 0;
    std::vector<std::uint64_t> counts;      // pixels per entry
    std::vector<std::uint64_t> sums;        // 3 per entry
    std::vector<std::uint64_t> colorError;  // per histogram colour: count x distance
};

Assignment assign(const std::vector<WeightedColor> &hist, const std::vector<color_count> &map,
                  sample maxval) {
    NearestColorIndex index(map.data(), static_cast<int>(map.size()), maxval);
    Assignment a;
    a.counts.assign(map.size(), 0);
    a.sums.assign(3 * map.size(), 0);
    a.colorError.resize(hist.size());
    for (std::size_t k = 0; k < hist.size(); ++k) {
        const pixel &c = hist[k].color;
        const int i = index.nearest(c.r, c.g, c.b);
        const std::uint64_t n = hist[k].count;
        a.colorError[k] = colorDistance(c, map[static_cast<std::size_t>(i)].color, maxval) * n;
        a.error += a.colorError[k];
        a.counts[static_cast<std::size_t>(i)] += n;
        a.sums[3 * static_cast<std::size_t>(i)] += c.r * n;
        a.sums[3 * static_cast<std::size_t>(i) + 1] += c.g * n;
        a.sums[3 * static_cast<std::size_t>(i) + 2] += c.b * n;
    }
    return a;
}

// One Lloyd step: every entry to the mean of its colours (rounded), the
// entries without colours to the colours of largest error.
std::vector<color_count> moveToMeans(const std::vector<WeightedColor> &hist,
                                     std::vector<color_count> map, const Assignment &a) {
    std::vector<std::size_t> empty;
    for (std::size_t i = 0; i < map.size(); ++i) {
        const std::uint64_t n = a.counts[i];
        if (n == 0) {
            empty.push_back(i);
            continue;
        }
        auto mean = [n](std::uint64_t s) { return static_cast<sample>((s + n / 2) / n); };
        map[i].color = pixel{mean(a.sums[3 * i]), mean(a.sums[3 * i + 1]), mean(a.sums[3 * i + 2])};
    }
    if (empty.empty())
        return map;
    std::vector<std::uint32_t> worst;
    for (std::uint32_t k = 0; k < hist.size(); ++k)
        if (a.colorError[k] > 0)
            worst.push_back(k);
    const std::size_t moves = std::min(empty.size(), worst.size());
    std::partial_sort(worst.begin(), worst.begin() + static_cast<std::ptrdiff_t>(moves), worst.end(),
                      [&](std::uint32_t x, std::uint32_t y) {
                          return a.colorError[x] != a.colorError[y] ? a.colorError[x] > a.colorError[y]
                                                                    : x < y;
                      });
    for (std::size_t j = 0; j < moves; ++j)
        map[empty[j]].color = hist[worst[j]].color;
    return map;
}

// The colour map of ncolors entries made by cutting the cells into boxes,
// each box giving its mean; entries beyond the boxes made repeat entry 0
// (and so win no colour, and move at the first Lloyd pass).
std::vector<color_count> errorCut(const std::vector<Cell> &cells, int ncolors) {
    std::vector<std::uint32_t> order(cells.size());
    std::iota(order.begin(), order.end(), 0u);
    Moments all;
    for (const Cell &cell : cells)
        all.add(cell.m);

    std::vector<Box> boxes{Box{0, cells.size(), all}};
    std::vector<Cut> cuts{planCut(boxes[0], cells, &order)};
    // The box whose cut lowers the error most first, the earliest made
    // among equals.
    using Entry = std::pair<Wide, std::size_t>;
    auto later = [](const Entry &x, const Entry &y) {
        return x.first != y.first ? x.first < y.first : x.second > y.second;
    };
    std::priority_queue<Entry, std::vector<Entry>, decltype(later)> queue(later);
    if (cuts[0].axis >= 0)
        queue.emplace(cuts[0].gain, 0);
    while (boxes.size() < static_cast<std::size_t>(ncolors) && !queue.empty()) {
        const std::size_t bi = queue.top().second;
        queue.pop();
        const Box box = boxes[bi];
        Moments upper = box.m;
        upper.subtract(cuts[bi].lower);
        boxes[bi] = Box{box.first, cuts[bi].at, cuts[bi].lower};
        boxes.push_back(Box{box.first + cuts[bi].at, box.count - cuts[bi].at, upper});
        cuts.emplace_back();
        for (const std::size_t k : {bi, boxes.size() - 1}) {
            cuts[k] = planCut(boxes[k], cells, &order);
            if (cuts[k].axis >= 0)
                queue.emplace(cuts[k].gain, k);
        }
    }

    std::vector<color_count> map(static_cast<std::size_t>(ncolors));
    for (std::size_t k = 0; k < map.size(); ++k)
        map[k] = color_count{boxes[k < boxes.size() ? k : 0].m.mean(), 0};
    return map;
}

// Lloyd passes over the cells' means (fewer by ten or more in a photograph)
// run until they barely move the colours; the passes over the colours
// themselves then only polish.
constexpr int kCoarsePasses = 100;
constexpr std::uint64_t kCoarseSettle = 65536;
constexpr int kFinePasses = 10;
constexpr std::uint64_t kFineSettle = 16384;

}  // namespace

std::vector<WeightedColor> fullHistogram(const PackedImage &image) {
    if (image.cols == 0)
        return {};  // rows without columns hold no colour
    return image.isNarrow() ? narrowHistogram(image) : wideHistogram(image);
}

std::uint64_t totalError(const std::vector<WeightedColor> &hist, const color_count *colormap,
                         int ncolors, sample maxval) {
    NearestColorIndex index(colormap, ncolors, maxval);
    std::uint64_t error = 0;
    for (const WeightedColor &wc : hist) {
        const int i = index.nearest(wc.color.r, wc.color.g, wc.color.b);
        error += colorDistance(wc.color, colormap[i].color, maxval) * wc.count;
    }
    return error;
}

std::vector<color_count> lloydRefine(const std::vector<WeightedColor> &hist, sample maxval,
                                     std::vector<color_count> start, std::uint64_t settle,
                                     int maxPasses) {
    std::vector<color_count> best = std::move(start);
    Assignment a = assign(hist, best, maxval);
    for (int pass = 0; pass < maxPasses && a.error > 0; ++pass) {
        std::vector<color_count> next = moveToMeans(hist, best, a);
        Assignment b = assign(hist, next, maxval);
        // Rounded means, and above maxval 255 a distance that is not the
        // squared one that means minimise, can make a pass lose: the map
        // before it is kept.
        if (b.error >= a.error)
            break;
        const bool settled = a.error - b.error < a.error / settle;
        best = std::move(next);
        a = std::move(b);
        if (settled)
            break;
    }
    return best;
}

std::vector<color_count> refinedColors(const std::vector<WeightedColor> &hist, sample maxval,
                                       int ncolors) {
    const std::vector<Cell> cells = gatherCells(hist, maxval);
    std::vector<WeightedColor> means;
    for (const Cell &cell : cells)
        means.push_back(WeightedColor{cell.m.mean(), static_cast<std::uint32_t>(cell.m.n)});
    std::vector<color_count> map = errorCut(cells, ncolors);
    map = lloydRefine(means, maxval, std::move(map), kCoarseSettle, kCoarsePasses);
    return lloydRefine(hist, maxval, std::move(map), kFineSettle, kFinePasses);
}

void computeRefinedColorMap(const PackedImage &image, int newcolors, color_histogram *colormapP,
                            sample *newmaxvalP, SampleScale *scaleP) {
    sample cutMaxval;
    SampleScale cutScale;
    computeColorMapFromInputPacked(image, newcolors, colormapP, &cutMaxval, &cutScale);
    color_count *colormap = *colormapP;
    const sample maxval = image.maxval;
    *newmaxvalP = maxval;
    *scaleP = rescaleTable(maxval, maxval);
    // The median cut's colours, at the image's maxval: the map to beat.
    for (int i = 0; i < newcolors; ++i) {
        pixel &c = colormap[i].color;
        c = pixel{rescaleSample(c.r, cutMaxval, maxval), rescaleSample(c.g, cutMaxval, maxval),
                  rescaleSample(c.b, cutMaxval, maxval)};
    }

    reportingOutOfMemory("refining the colors", [&] { refineColorMap(image, newcolors, colormap); });
}

void refineColorMap(const PackedImage &image, int newcolors, color_count *colormap) {
    const sample maxval = image.maxval;
    const std::vector<WeightedColor> hist = fullHistogram(image);
    if (hist.empty())
        return;
    pm_message("refining the colors against %d colors at maxval=%u...",
               static_cast<int>(hist.size()), maxval);
    if (hist.size() <= static_cast<std::size_t>(newcolors)) {
        // Every colour kept exactly, then black, as the median cut does
        // with room for every colour.
        for (int i = 0; i < newcolors; ++i)
            colormap[i].color = static_cast<std::size_t>(i) < hist.size() ? hist[i].color : pixel{0, 0, 0};
        return;
    }
    const std::vector<color_count> refined = refinedColors(hist, maxval, newcolors);
    if (totalError(hist, refined.data(), newcolors, maxval) <=
        totalError(hist, colormap, newcolors, maxval))
        std::copy(refined.begin(), refined.end(), colormap);
}

}  // namespace quantize
