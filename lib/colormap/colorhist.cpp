// Colour histograms: counting the distinct colours of an image (in memory
// or row by row from a file), converting between histograms and colour hash
// tables, and editing a histogram in place.
//
// Two counters live here. computecolorhash follows the chained table one
// pixel at a time; it builds the public color_hash the hash counters return
// and is the reference the fast histogram counter (colorcounter.cpp) is
// tested against. The histogram counters use the fast one: the quantizer
// counts every input image with it, once per maxval reduction.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "colorcounter.h"
#include "colormap_internal.h"

using kestrum::HeapBlock;

namespace {

using RowBlock = HeapBlock<pixel, pm_freerow>;

// Pixels read from a file at a time. A row read in several calls takes the
// same bytes as in one (a multiple of 8: every span but a row's last ends
// on a byte boundary of a raw PBM row), and a header claiming a wide row
// costs no more than this until the row's pixels arrive.
constexpr int kFileSpan = 16384;

// Hands the image's pixels to use(pixels, count) in raster order, whole rows
// of `pixels` or spans read from the file, until use answers false; false
// then, at the end of that row. The working row is allocated whether or not a file is given, so that
// a width pm_allocrow refuses fails the same way for both variants.
template <typename Use>
bool forEachSpan(pixel *const *pixels, int cols, int rows, FILE *ifP, sample maxval, format_code format,
                 Use use) {
    const int spanCols = cols < kFileSpan ? cols : kFileSpan;
    RowBlock buffer(static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel)))));
    for (int row = 0; row < rows; ++row) {
        if (ifP == nullptr) {
            if (!use(pixels[row], cols))
                return false;
            continue;
        }
        // The row is read to its end even when use stops in it, as a
        // reader of whole rows would.
        bool going = true;
        for (int col = 0; col < cols; col += spanCols) {
            const int count = cols - col < spanCols ? cols - col : spanCols;
            ppm_readppmrow(ifP, buffer.get(), count, maxval, format);
            going = going && use(buffer.get(), count);
        }
        if (!going)
            return false;
    }
    return true;
}

// A negative maxcolors, read as the unsigned room that the histogram and
// colour-row builders allocate for it, is more than 2^31 entries, which no
// allocation gives. Every counter refuses it the same way, with its own
// out-of-memory message, before it reads a pixel: a file variant would
// otherwise read the whole raster only to fail at the end.
void refuseNegativeLimit(int maxcolors, const char *outOfMemory) {
    if (maxcolors < 0)
        pm_error("%s", outOfMemory);
}

// The common body of the two hash counters: null, with the count at
// maxcolors + 1, as soon as a positive maxcolors is passed.
color_hash computecolorhash(pixel *const *pixels, int cols, int rows, int maxcolors, int *colorsP,
                            FILE *ifP, sample maxval, format_code format) {
    refuseNegativeLimit(maxcolors, "out of memory computing hash table");
    color_hash cht = ppm_alloccolorhash();
    *colorsP = 0;
    const bool complete = forEachSpan(pixels, cols, rows, ifP, maxval, format, [&](const pixel *span, int count) {
        for (int col = 0; col < count; ++col) {
            const pixel &p = span[col];
            color_hash_entry *e = cht[ppm_colorbucket(p)];
            while (e && !(e->item.color.r == p.r && e->item.color.g == p.g &&
                          e->item.color.b == p.b))
                e = e->next;
            if (e) {
                // Saturate rather than wrap on images of over 2^31 pixels.
                e->item.value += e->item.value != INT_MAX;
                continue;
            }
            if (*colorsP == INT_MAX)
                pm_error("out of memory computing hash table");
            ++*colorsP;
            if (maxcolors > 0 && *colorsP > maxcolors)
                return false;
            if (ppm_addtocolorhash(cht, &p, 1) < 0)
                pm_error("out of memory computing hash table");
        }
        return true;
    });
    if (!complete) {
        ppm_freecolorhash(cht);
        return nullptr;
    }
    return cht;
}

// The room of a histogram made under maxcolors for `colors` colours. A
// negative maxcolors (only ppm_colorhashtocolorhist lets one get this far)
// asks for more than 32 bits can express, which the allocation refuses.
std::uint64_t histogramRoom(int maxcolors, std::uint64_t colors) {
    return maxcolors != 0 ? std::uint64_t{static_cast<unsigned int>(maxcolors)} : colors + 5;
}

// The common body of the two histogram counters, on the fast counter. Its
// result is exactly that of computecolorhash followed by
// ppm_colorhashtocolorhist.
color_histogram computecolorhist(pixel *const *pixels, int cols, int rows, int maxcolors,
                                 int *colorsP, FILE *ifP, sample maxval, format_code format) {
    refuseNegativeLimit(maxcolors, "out of memory generating histogram");
    kestrum::ColorCounter counter(
        maxcolors > 0 ? static_cast<std::uint32_t>(maxcolors) : kestrum::ColorCounter::unlimited,
        "out of memory computing hash table");
    if (!forEachSpan(pixels, cols, rows, ifP, maxval, format,
                     [&](const pixel *span, int count) { return counter.countRow(span, count); })) {
        *colorsP = maxcolors + 1;
        return nullptr;
    }
    *colorsP = counter.size();
    return counter.histogram(histogramRoom(maxcolors, static_cast<std::uint64_t>(counter.size())));
}

// Number of entries in a table: a walk of every chain.
std::uint64_t colorHashSize(color_hash cht) {
    std::uint64_t n = 0;
    for (int i = 0; i < COLOR_HASH_BUCKETS; ++i)
        for (const color_hash_entry *e = cht[i]; e; e = e->next)
            ++n;
    return n;
}

bool sameColor(const pixel &a, const pixel &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

}  // namespace

color_hash ppm_computecolorhash(pixel *const *pixels, int cols, int rows, int maxcolors, int *colorsP) {
    return computecolorhash(pixels, cols, rows, maxcolors, colorsP, nullptr, 0, 0);
}

color_hash ppm_computecolorhash2(FILE *ifP, int cols, int rows, sample maxval, format_code format,
                                 int maxcolors, int *colorsP) {
    return computecolorhash(nullptr, cols, rows, maxcolors, colorsP, ifP, maxval, format);
}

color_histogram ppm_computecolorhist(pixel *const *pixels, int cols, int rows, int maxcolors,
                                     int *colorsP) {
    return computecolorhist(pixels, cols, rows, maxcolors, colorsP, nullptr, 0, 0);
}

color_histogram ppm_computecolorhist2(FILE *ifP, int cols, int rows, sample maxval, format_code format,
                                      int maxcolors, int *colorsP) {
    return computecolorhist(nullptr, cols, rows, maxcolors, colorsP, ifP, maxval, format);
}

color_histogram ppm_colorhashtocolorhist(color_hash cht, int maxcolors) {
    const std::uint64_t entries = colorHashSize(cht);
    // A table with more entries than maxcolors would overrun the room the
    // caller asked for; the room then grows to hold them all.
    std::uint64_t room = histogramRoom(maxcolors, entries);
    if (room < entries)
        room = entries;
    void *block = nullptr;
    if (room <= UINT32_MAX)
        kestrum::mallocProduct(&block, static_cast<unsigned int>(room), sizeof(color_count));
    if (block == nullptr)
        pm_error("out of memory generating histogram");

    color_histogram chv = static_cast<color_histogram>(block);
    std::size_t i = 0;
    for (int b = 0; b < COLOR_HASH_BUCKETS; ++b)
        for (const color_hash_entry *e = cht[b]; e; e = e->next)
            chv[i++] = e->item;
    return chv;
}

color_hash ppm_colorhisttocolorhash(const color_count *chv, int colors) {
    color_hash cht = ppm_alloccolorhash();
    for (int i = 0; i < colors; ++i) {
        const pixel &color = chv[i].color;
        for (const color_hash_entry *e = cht[ppm_colorbucket(color)]; e; e = e->next)
            if (sameColor(e->item.color, color))
                pm_error("same color found twice - %d %d %d", static_cast<int>(color.r),
                         static_cast<int>(color.g), static_cast<int>(color.b));
        if (ppm_addtocolorhash(cht, &color, i) < 0)
            pm_error("out of memory");
    }
    return cht;
}

void ppm_addtocolorhist(color_histogram chv, int *colorsP, int maxcolors, const pixel *colorP,
                        int value, int position) {
    const int count = *colorsP > 0 ? *colorsP : 0;
    // Positions outside the used entries are pulled to the nearest end
    // rather than writing outside the array.
    auto clamp = [](int pos, int last) { return pos < 0 ? 0 : pos > last ? last : pos; };

    for (int i = 0; i < count; ++i) {
        if (!sameColor(chv[i].color, *colorP))
            continue;
        const int pos = clamp(position, count - 1);
        if (pos > i)
            std::memmove(&chv[i], &chv[i + 1], static_cast<std::size_t>(pos - i) * sizeof *chv);
        else if (pos < i)
            std::memmove(&chv[pos + 1], &chv[pos], static_cast<std::size_t>(i - pos) * sizeof *chv);
        chv[pos].color = *colorP;
        chv[pos].value = value;
        return;
    }
    if (count >= maxcolors)
        return;
    const int pos = clamp(position, count);
    std::memmove(&chv[pos + 1], &chv[pos], static_cast<std::size_t>(count - pos) * sizeof *chv);
    chv[pos].color = *colorP;
    chv[pos].value = value;
    *colorsP = count + 1;
}

void ppm_freecolorhist(color_histogram chv) { std::free(chv); }
