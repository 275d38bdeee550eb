// Median cut: the histogram's colours are split into boxes in RGB space,
// always cutting the box with the most pixels at the median of its widest
// (luminance-weighted) component, and each box gives the mean of its colours.
//
// Every sort here is stable, so that the boxes and their order, and with
// them the colour map, depend only on the histogram: undithered output is
// then the same on every platform and with every compiler.
#include "mediancut.h"

#include <kestrum/common.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <queue>
#include <tuple>
#include <type_traits>
#include <vector>

#include "malloc_product.h"

namespace quantize {

namespace {

// a - b for samples, clamped to int; only the sign matters to the sorts, and
// the difference is exact for every sample the readers can deliver.
int sampleDifference(sample a, sample b) {
    const std::int64_t d = static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
    return static_cast<int>(std::clamp<std::int64_t>(d, INT32_MIN, INT32_MAX));
}

struct BoxColorRanges {
    sample minr, maxr, ming, maxg, minb, maxb;
};

template <typename Entry>
BoxColorRanges scanRanges(const Entry *run, int count) {
    BoxColorRanges r{run[0].color.r, run[0].color.r, run[0].color.g,
                     run[0].color.g, run[0].color.b, run[0].color.b};
    for (int i = 1; i < count; ++i) {
        const pixel &c = run[i].color;
        r.minr = std::min(r.minr, c.r);
        r.maxr = std::max(r.maxr, c.r);
        r.ming = std::min(r.ming, c.g);
        r.maxg = std::max(r.maxg, c.g);
        r.minb = std::min(r.minb, c.b);
        r.maxb = std::max(r.maxb, c.b);
    }
    return r;
}

using EntryCompare = int (*)(const color_count &, const color_count &);

// The component to sort a box along: the widest after luminance weighting,
// each weighted extent rounded to single precision before the comparison;
// ties go to red before green and green before blue.
EntryCompare chooseSortComponent(const BoxColorRanges &r) {
    const float rl = static_cast<float>(kRedWeight * static_cast<double>(r.maxr - r.minr));
    const float gl = static_cast<float>(kGreenWeight * static_cast<double>(r.maxg - r.ming));
    const float bl = static_cast<float>(kBlueWeight * static_cast<double>(r.maxb - r.minb));
    if (rl >= gl && rl >= bl)
        return redcompare;
    if (gl >= bl)
        return greencompare;
    return bluecompare;
}

// Where a sorted run of n >= 2 colours holding pixelCount pixels is cut: the
// first entries until they hold half of the pixels (halved, truncating), both
// parts keeping at least one colour, so within 1 .. n - 1; *lowerP receives
// the pixels of the lower part.
template <typename Count, typename Entry>
int medianSplit(const Entry *run, int n, Count pixelCount, Count *lowerP) {
    const Count half = pixelCount / 2;
    Count lower = run[0].value;
    int i = 1;
    while (i < n - 1 && lower < half)
        lower += run[i++].value;
    *lowerP = lower;
    return i;
}

// Cuts boxes[bi] at the median of its pixels: it keeps the lower part and
// the upper part is appended as boxes[boxCount].
void cutBox(color_histogram chv, color_box *boxes, int boxCount, int bi) {
    const color_box box = boxes[bi];
    color_count *run = chv + box.first_entry;
    const int n = box.entry_count;

    const EntryCompare cmp = chooseSortComponent(scanRanges(run, n));
    std::stable_sort(run, run + n,
                     [cmp](const color_count &a, const color_count &b) { return cmp(a, b) < 0; });

    int lower;
    const int i = medianSplit(run, n, box.pixel_count, &lower);
    boxes[bi] = color_box{box.first_entry, i, lower};
    boxes[boxCount] = color_box{box.first_entry + i, n - i, box.pixel_count - lower};
}

template <int C, typename Entry>
sample component(const Entry &e) {
    return C == 0 ? e.color.r : C == 1 ? e.color.g : e.color.b;
}

// The stable sort of cutBox by component C, whose values in the run lie in
// lo..hi: by insertion in a small box, by counting when that range is small
// beside the run (a box of thousands of colours), else by merging with the
// comparison inlined.
template <int C, typename Entry>
void sortRun(Entry *run, int n, sample lo, sample hi, std::vector<Entry> *scratch,
             std::vector<std::uint32_t> *starts) {
    const std::size_t range = std::size_t{hi} - lo + 1;
    if (n <= 32) {
        // Most boxes are small: insertion, which keeps equals in order.
        for (int i = 1; i < n; ++i) {
            const Entry e = run[i];
            int j = i;
            for (; j > 0 && component<C>(run[j - 1]) > component<C>(e); --j)
                run[j] = run[j - 1];
            run[j] = e;
        }
        return;
    }
    if (range > 4 * static_cast<std::size_t>(n)) {
        std::stable_sort(run, run + n, [](const Entry &a, const Entry &b) {
            return component<C>(a) < component<C>(b);
        });
        return;
    }
    std::vector<std::uint32_t> &start = *starts;
    start.assign(range + 1, 0);
    for (int i = 0; i < n; ++i)
        ++start[component<C>(run[i]) - lo + 1];
    for (std::size_t v = 1; v <= range; ++v)
        start[v] += start[v - 1];
    scratch->resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        (*scratch)[start[component<C>(run[i]) - lo]++] = run[i];
    std::copy(scratch->begin(), scratch->end(), run);
}

// A box of the wide median cut: pixel counts of any size.
struct WideBox {
    int first_entry;
    int entry_count;
    std::uint64_t pixel_count;
};

// cutBox on counts of any size, sorting faster.
void cutBoxWide(WideColorCount *hist, WideBox *boxes, int boxCount, int bi,
                std::vector<WideColorCount> *scratch, std::vector<std::uint32_t> *starts) {
    const WideBox box = boxes[bi];
    WideColorCount *run = hist + box.first_entry;
    const int n = box.entry_count;

    const BoxColorRanges r = scanRanges(run, n);
    const EntryCompare cmp = chooseSortComponent(r);
    if (cmp == redcompare)
        sortRun<0>(run, n, r.minr, r.maxr, scratch, starts);
    else if (cmp == greencompare)
        sortRun<1>(run, n, r.ming, r.maxg, scratch, starts);
    else
        sortRun<2>(run, n, r.minb, r.maxb, scratch, starts);

    std::uint64_t lower;
    const int i = medianSplit(run, n, box.pixel_count, &lower);
    boxes[bi] = WideBox{box.first_entry, i, lower};
    boxes[boxCount] = WideBox{box.first_entry + i, n - i, box.pixel_count - lower};
}

// The pixel-count-weighted mean of a box's colours, cut to maxval; black for
// a box without pixels (the empty histogram of an image without pixels).
// Sum is wide enough for the box's sums: 64 bits for int counts, more for
// counts of any size (2^64 pixels of 16-bit samples).
template <typename Sum, typename Entry>
pixel boxMeanOf(const Entry *run, int count, sample maxval) {
    Sum r = 0, g = 0, b = 0, total = 0;
    for (int i = 0; i < count; ++i) {
        // An int count is never negative here; read as unsigned, like a wide one.
        const Sum v = static_cast<std::make_unsigned_t<decltype(run[i].value)>>(run[i].value);
        r += run[i].color.r * v;
        g += run[i].color.g * v;
        b += run[i].color.b * v;
        total += v;
    }
    if (total == 0)
        return pixel{0, 0, 0};
    auto component = [total, maxval](Sum s) {
        const Sum mean = s / total;
        return mean > maxval ? maxval : static_cast<sample>(mean);
    };
    return pixel{component(r), component(g), component(b)};
}

__extension__ typedef unsigned __int128 WideSum;

pixel boxMean(const color_count *run, int count, sample maxval) { return boxMeanOf<std::uint64_t>(run, count, maxval); }
pixel boxMeanWide(const WideColorCount *run, int count, sample maxval) { return boxMeanOf<WideSum>(run, count, maxval); }

}  // namespace

int redcompare(const color_count &a, const color_count &b) {
    return sampleDifference(a.color.r, b.color.r);
}

int greencompare(const color_count &a, const color_count &b) {
    return sampleDifference(a.color.g, b.color.g);
}

int bluecompare(const color_count &a, const color_count &b) {
    return sampleDifference(a.color.b, b.color.b);
}

int sumcompare(const color_box &a, const color_box &b) {
    return b.pixel_count - a.pixel_count;
}

void resortBoxesAfterCut(color_box *boxes, int boxCount, int cut) {
    const color_box shrunk = boxes[cut];
    const color_box added = boxes[boxCount - 1];
    // The other boxes, still in stable order, close ranks.
    std::copy(boxes + cut + 1, boxes + boxCount - 1, boxes + cut);
    int others = boxCount - 2;

    // The shrunk box sorts after every box that precedes it strictly and
    // after its equals that stood before it; those are all left of `cut`.
    int j = cut;
    while (j < others && sumcompare(boxes[j], shrunk) < 0)
        ++j;
    std::copy_backward(boxes + j, boxes + others, boxes + others + 1);
    boxes[j] = shrunk;
    ++others;

    // The new box stood last, so it follows all of its equals.
    j = 0;
    while (j < others && sumcompare(boxes[j], added) <= 0)
        ++j;
    std::copy_backward(boxes + j, boxes + others, boxes + others + 1);
    boxes[j] = added;
}

color_histogram mediancut(color_histogram chv, int colors, int sum, sample maxval,
                          int newcolors) {
    void *boxBlock = nullptr;
    void *mapBlock = nullptr;
    kestrum::mallocProduct(&boxBlock, static_cast<unsigned int>(newcolors), sizeof(color_box));
    kestrum::mallocProduct(&mapBlock, static_cast<unsigned int>(newcolors), sizeof(color_count));
    if (boxBlock == nullptr || mapBlock == nullptr)
        pm_error("out of memory");
    const std::unique_ptr<color_box, decltype(&free)> boxList(static_cast<color_box *>(boxBlock),
                                                              &free);
    color_box *boxes = boxList.get();
    color_histogram colormap = static_cast<color_histogram>(mapBlock);

    for (int i = 0; i < newcolors; ++i)
        colormap[i] = color_count{pixel{0, 0, 0}, 0};

    boxes[0] = color_box{0, colors, sum};
    int boxCount = 1;
    while (boxCount < newcolors) {
        int bi = 0;
        while (bi < boxCount && boxes[bi].entry_count < 2)
            ++bi;
        if (bi == boxCount)
            break;  // every box holds a single colour
        cutBox(chv, boxes, boxCount, bi);
        ++boxCount;
        resortBoxesAfterCut(boxes, boxCount, bi);
    }

    for (int k = 0; k < boxCount; ++k)
        colormap[k].color = boxMean(chv + boxes[k].first_entry, boxes[k].entry_count, maxval);
    return colormap;
}

bool colormapFits(int newcolors) {
    const auto n = static_cast<unsigned int>(newcolors);
    return UINT32_MAX / sizeof(color_box) >= n && UINT32_MAX / sizeof(color_count) >= n;
}

// The list order of mediancut is a stable sort by descending pixel count
// after every cut, where the shrunk box keeps its place and the new box
// comes last: among boxes of equal count, the shrunk box goes before all
// the others (every box left of it had at least its old count) and the new
// box after them. So each box carries a rank, the list is ordered by
// (count descending, rank ascending), a shrunk box takes a rank below every
// other and a new box one above; the box to cut, the first with two
// colours or more, is the top of a heap of those boxes.
color_histogram mediancutWide(WideColorCount *hist, int colors, std::uint64_t sum, sample maxval,
                              int newcolors, int *mapColorsP) {
    if (!colormapFits(newcolors))
        pm_error("out of memory");
    // Every box holds at least one colour (the first, of an empty
    // histogram, none), so there are never more boxes than this.
    const int maxBoxes = std::min(newcolors, std::max(colors, 1));
    std::vector<WideBox> boxes;
    std::vector<long long> rank;
    boxes.reserve(static_cast<std::size_t>(maxBoxes));
    rank.reserve(static_cast<std::size_t>(maxBoxes));
    boxes.push_back(WideBox{0, colors, sum});
    rank.push_back(0);
    long long lowRank = 0, highRank = 0;

    // A box's place in the list, larger first: its pixels, then its rank
    // reversed (ranks lie strictly between -2^31 and 2^31).
    using Place = std::tuple<std::uint64_t, std::uint32_t, int>;
    auto place = [&](int b) {
        return Place{boxes[b].pixel_count, static_cast<std::uint32_t>(0x80000000LL - rank[b]), b};
    };
    // The boxes that can still be cut, the first in list order on top.
    std::priority_queue<Place> cuttable;
    if (colors >= 2)
        cuttable.push(place(0));

    std::vector<WideColorCount> scratch;
    std::vector<std::uint32_t> starts;
    while (static_cast<int>(boxes.size()) < newcolors && !cuttable.empty()) {
        const int bi = std::get<2>(cuttable.top());
        cuttable.pop();
        const int added = static_cast<int>(boxes.size());
        boxes.push_back(WideBox{});
        cutBoxWide(hist, boxes.data(), added, bi, &scratch, &starts);
        rank[bi] = --lowRank;
        rank.push_back(++highRank);
        for (int b : {bi, added})
            if (boxes[b].entry_count >= 2)
                cuttable.push(place(b));
    }

    std::vector<Place> order;
    order.reserve(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i)
        order.push_back(place(static_cast<int>(i)));
    std::sort(order.begin(), order.end(), std::greater<>());

    // The boxes' colours, then one black entry standing for the surplus
    // black ones: the first of equal colours is the only one ever chosen.
    const int boxCount = static_cast<int>(boxes.size());
    const int mapColors = boxCount + (boxCount < newcolors ? 1 : 0);
    void *mapBlock = nullptr;
    kestrum::mallocProduct(&mapBlock, static_cast<unsigned int>(mapColors), sizeof(color_count));
    if (mapBlock == nullptr)
        pm_error("out of memory");
    color_histogram colormap = static_cast<color_histogram>(mapBlock);
    for (int k = 0; k < boxCount; ++k) {
        const WideBox &box = boxes[std::get<2>(order[k])];
        colormap[k] = color_count{boxMeanWide(hist + box.first_entry, box.entry_count, maxval), 0};
    }
    if (mapColors > boxCount)
        colormap[boxCount] = color_count{pixel{0, 0, 0}, 0};
    *mapColorsP = mapColors;
    return colormap;
}

color_histogram mediancutColors(color_histogram chv, int colors, int sum, sample maxval,
                                int newcolors, int *mapColorsP) {
    std::vector<WideColorCount> hist(static_cast<std::size_t>(std::max(colors, 0)));
    for (std::size_t i = 0; i < hist.size(); ++i)
        hist[i] = WideColorCount{chv[i].color, static_cast<std::uint32_t>(chv[i].value)};
    return mediancutWide(hist.data(), colors, static_cast<std::uint32_t>(sum), maxval, newcolors,
                         mapColorsP);
}

}  // namespace quantize
