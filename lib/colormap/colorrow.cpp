// Colour rows: plain arrays of distinct pixels whose index is the colour's
// number. Collecting them from an image or a colour-map file, turning them
// into a colour-to-index table, sorting, adding, nearest-colour search, and
// writing them out as a colour-map file (a plain PPM of ncolors x 1).
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstdint>
#include <cstdlib>

#include "colorcounter.h"
#include "colormap_internal.h"

namespace {

using RowBlock = kestrum::HeapBlock<pixel, pm_freerow>;

// The comparator of the sort running on this thread; qsort's callback
// cannot carry it. Each sort puts back the one it found, so a comparator
// that itself sorts leaves its caller's comparator in place.
thread_local int (*custom_cmp)(const pixel *, const pixel *);

int custom_stub(const void *a, const void *b) {
    return custom_cmp(static_cast<const pixel *>(a), static_cast<const pixel *>(b));
}

// Ascending by red, then green, then blue. Compared rather than subtracted,
// so that samples far apart cannot wrap the sign.
int pixel_cmp(const void *a, const void *b) {
    const pixel &p = *static_cast<const pixel *>(a);
    const pixel &q = *static_cast<const pixel *>(b);
    if (p.r != q.r)
        return p.r < q.r ? -1 : 1;
    if (p.g != q.g)
        return p.g < q.g ? -1 : 1;
    if (p.b != q.b)
        return p.b < q.b ? -1 : 1;
    return 0;
}

// Pixels of a map file's row read at a time.
constexpr int kFileSpan = 16384;

// A negative maxcolors is a room no allocation gives (see colorhist.cpp).
pixel *allocColorRow(int maxcolors) {
    if (maxcolors < 0)
        pm_error("out of memory allocating a row");
    return static_cast<pixel *>(pm_allocrow(maxcolors, static_cast<int>(sizeof(pixel))));
}

// Hands over the colours counted, in order of first occurrence, or null and
// -1 when the count stopped at maxcolors.
pixel *finishColorRow(RowBlock &colorrow, const kestrum::ColorCounter &counter, bool complete,
                      int *ncolorsP) {
    if (!complete) {
        *ncolorsP = -1;
        return nullptr;
    }
    counter.firstSeenColors(colorrow.get());
    *ncolorsP = counter.size();
    return colorrow.release();
}

// A negative maxcolors has been refused by allocColorRow before this is used.
std::uint32_t colorLimit(int maxcolors) {
    return static_cast<std::uint32_t>(maxcolors);
}

}  // namespace

pixel *ppm_computecolorrow(pixel *const *pixels, int cols, int rows, int maxcolors, int *ncolorsP) {
    RowBlock colorrow(allocColorRow(maxcolors));
    kestrum::ColorCounter counter(colorLimit(maxcolors), "out of memory adding to hash table");
    bool complete = true;
    for (int row = 0; row < rows && complete; ++row)
        complete = counter.countRow(pixels[row], cols);
    return finishColorRow(colorrow, counter, complete, ncolorsP);
}

pixel *ppm_mapfiletocolorrow(FILE *fileP, int maxcolors, int *ncolorsP, sample *maxvalP) {
    RowBlock colorrow(allocColorRow(maxcolors));
    int cols, rows;
    format_code format;
    ppm_readppminit(fileP, &cols, &rows, maxvalP, &format);
    // A span of a row at a time: a row read in several calls takes the same
    // bytes as in one (spans of a multiple of 8 pixels end on a byte of a
    // raw PBM row), and a wide header costs nothing until its pixels arrive.
    const int spanCols = cols < kFileSpan ? cols : kFileSpan;
    RowBlock buffer(static_cast<pixel *>(pm_allocrow(spanCols, static_cast<int>(sizeof(pixel)))));
    kestrum::ColorCounter counter(colorLimit(maxcolors), "out of memory adding to hash table");
    bool complete = true;
    for (int row = 0; row < rows && complete; ++row) {
        // Read to the row's end even past the limit, as whole rows were.
        for (int col = 0; col < cols; col += spanCols) {
            const int count = cols - col < spanCols ? cols - col : spanCols;
            ppm_readppmrow(fileP, buffer.get(), count, *maxvalP, format);
            complete = complete && counter.countRow(buffer.get(), count);
        }
    }
    return finishColorRow(colorrow, counter, complete, ncolorsP);
}

color_hash ppm_colorrowtocolorhash(const pixel *colorrow, int ncolors) {
    color_hash cht = ppm_alloccolorhash();
    for (int i = 0; i < ncolors; ++i)
        if (ppm_lookupcolor(cht, &colorrow[i]) < 0 && ppm_addtocolorhash(cht, &colorrow[i], i) < 0)
            pm_error("out of memory adding to hash table");
    return cht;
}

void ppm_sortcolorrow(pixel *colorrow, int ncolors, int (*cmp)(const pixel *, const pixel *)) {
    if (ncolors <= 1)
        return;
    if (cmp == nullptr) {
        std::qsort(colorrow, static_cast<std::size_t>(ncolors), sizeof(pixel), pixel_cmp);
    } else {
        const auto outer = custom_cmp;
        custom_cmp = cmp;
        std::qsort(colorrow, static_cast<std::size_t>(ncolors), sizeof(pixel), custom_stub);
        custom_cmp = outer;
    }
}

int ppm_addtocolorrow(pixel *colorrow, int *ncolorsP, int maxcolors, const pixel *colorP) {
    const int count = *ncolorsP > 0 ? *ncolorsP : 0;
    for (int i = 0; i < count; ++i)
        if (colorrow[i].r == colorP->r && colorrow[i].g == colorP->g && colorrow[i].b == colorP->b)
            return i;
    if (count >= maxcolors)
        return -1;
    colorrow[count] = *colorP;
    *ncolorsP = count + 1;
    return count;
}

namespace {

// A sum of three squares of 32-bit sample differences: 64 bits each, and
// the carries of their sum counted apart, so that the nearest entry is
// exact for every sample value, not just up to differences of 25819.
struct Distance {
    std::uint64_t low = 0;
    unsigned carries = 0;

    void add(sample a, sample b) {
        const std::uint64_t d = a > b ? a - b : b - a;
        const std::uint64_t square = d * d;
        low += square;
        carries += low < square;
    }
    bool operator<(const Distance &other) const {
        return carries != other.carries ? carries < other.carries : low < other.low;
    }
};

}  // namespace

int ppm_findclosestcolor(const pixel *colormap, int ncolors, const pixel *colorP) {
    int best = -1;
    Distance bestDistance;
    for (int i = 0; i < ncolors; ++i) {
        Distance d;
        d.add(colorP->r, colormap[i].r);
        d.add(colorP->g, colormap[i].g);
        d.add(colorP->b, colormap[i].b);
        if (best < 0 || d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    return best;
}

void ppm_colorrowtomapfile(FILE *ofP, const pixel *colormap, int ncolors, sample maxval) {
    ppm_writeppminit(ofP, ncolors, 1, maxval, 1);
    // One pixel per call: the plain raster ignores line breaks, so the file
    // stays one row while a person reads one colour per line.
    for (int i = 0; i < ncolors; ++i)
        ppm_writeppmrow(ofP, &colormap[i], 1, maxval, 1);
}
