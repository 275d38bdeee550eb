// Nearest-colour search: a full linear scan of the colour map for each
// distinct colour, remembered in the colour cache so that every further pixel
// of that colour costs one lookup.
#include "search.h"

#include <kestrum/common.h>

namespace quantize {

color_hash cht = nullptr;
int usehash = 0;

std::uint64_t sqr(std::int64_t x) {
    const std::uint64_t m = x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
    return m * m;
}

namespace {

std::int64_t difference(sample a, sample b) {
    return static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
}

// The distance with the scaling chosen once per search rather than per entry.
template <bool Scaled>
std::uint64_t distance(const pixel &a, const pixel &b) {
    const std::uint64_t dr = sqr(difference(a.r, b.r));
    const std::uint64_t dg = sqr(difference(a.g, b.g));
    const std::uint64_t db = sqr(difference(a.b, b.b));
    if (Scaled)
        return dr / 16 + dg / 16 + db / 16;
    return dr + dg + db;
}

// The first entry of least distance. The scan always covers the whole map.
template <bool Scaled>
int nearestEntry(const color_count *colormap, int ncolors, const pixel &color) {
    int best = 0;
    std::uint64_t bestDistance = distance<Scaled>(color, colormap[0].color);
    for (int i = 1; i < ncolors; ++i) {
        const std::uint64_t d = distance<Scaled>(color, colormap[i].color);
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

}  // namespace

void searchColormap(const color_count *colormap, int ncolors, sample r, sample g, sample b,
                    sample maxval, int *indexP) {
    const pixel color{r, g, b};
    *indexP = maxval > 255 ? nearestEntry<true>(colormap, ncolors, color)
                           : nearestEntry<false>(colormap, ncolors, color);
    if (usehash && ppm_addtocolorhash(cht, &color, *indexP) < 0) {
        pm_message("out of memory adding to hash table; proceeding without it");
        usehash = 0;
    }
}

void convertRow(pixel *pixelrow, int cols, sample maxval, const color_count *colormap,
                int ncolors, int floyd, fserr_state *fs) {
    if (cols <= 0 || ncolors <= 0)
        return;
    if (floyd)
        floydInitRow(fs, cols);
    const bool backwards = floyd && !fs->left_to_right;
    const int step = backwards ? -1 : 1;
    const int end = backwards ? -1 : cols;
    for (int col = backwards ? cols - 1 : 0; col != end; col += step) {
        pixel *p = &pixelrow[col];
        if (floyd)
            floydAdjustColor(p, maxval, fs, col);
        int index = ppm_lookupcolor(cht, p);
        if (index == -1)
            searchColormap(colormap, ncolors, p->r, p->g, p->b, maxval, &index);
        const pixel &chosen = colormap[index].color;
        if (floyd)
            floydPropagateErr(fs, col, p->r, p->g, p->b, chosen.r, chosen.g, chosen.b);
        *p = chosen;
    }
    if (floyd)
        floydSwitchDir(fs);
}

}  // namespace quantize
