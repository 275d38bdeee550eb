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
#include <memory>

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

BoxColorRanges scanRanges(const color_count *run, int count) {
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

// Cuts boxes[bi] at the median of its pixels: it keeps the lower part and
// the upper part is appended as boxes[boxCount].
void cutBox(color_histogram chv, color_box *boxes, int boxCount, int bi) {
    const color_box box = boxes[bi];
    color_count *run = chv + box.first_entry;
    const int n = box.entry_count;

    const EntryCompare cmp = chooseSortComponent(scanRanges(run, n));
    std::stable_sort(run, run + n,
                     [cmp](const color_count &a, const color_count &b) { return cmp(a, b) < 0; });

    // Both parts keep at least one colour: i stays within 1 .. n - 1.
    const int half = box.pixel_count / 2;
    int lower = run[0].value;
    int i = 1;
    while (i < n - 1 && lower < half)
        lower += run[i++].value;

    boxes[bi] = color_box{box.first_entry, i, lower};
    boxes[boxCount] = color_box{box.first_entry + i, n - i, box.pixel_count - lower};
}

// The pixel-count-weighted mean of a box's colours, cut to maxval; black for
// a box without pixels (the empty histogram of an image without pixels).
pixel boxMean(const color_count *run, int count, sample maxval) {
    std::uint64_t r = 0, g = 0, b = 0, total = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t v = static_cast<std::uint32_t>(run[i].value);
        r += run[i].color.r * v;
        g += run[i].color.g * v;
        b += run[i].color.b * v;
        total += v;
    }
    if (total == 0)
        return pixel{0, 0, 0};
    auto component = [total, maxval](std::uint64_t s) {
        const std::uint64_t mean = s / total;
        return mean > maxval ? maxval : static_cast<sample>(mean);
    };
    return pixel{component(r), component(g), component(b)};
}

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

}  // namespace quantize
