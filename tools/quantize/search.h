// Nearest-colour search with the colour cache, and the conversion of a row
// to colour-map colours: the straightforward form (a linear scan per
// distinct colour) that the program's fast conversion (fast_convert.h) is
// tested against.
#ifndef QUANTIZE_SEARCH_H
#define QUANTIZE_SEARCH_H

#include <cstdint>

#include <kestrum/colormap.h>

#include "floyd.h"

namespace quantize {

// The cache of colours already searched: colour -> colour-map index. The
// driver creates it before the first row and frees it after the last.
extern color_hash cht;
// Nonzero while searched colours are added to cht; it drops to 0 for good
// after the first addition that finds no memory.
extern int usehash;

// The square of x. Wide enough for the difference of any two samples, so
// that 16-bit colours far apart do not overflow.
std::uint64_t sqr(std::int64_t x);

// Stores through indexP the index of the colour-map entry nearest to
// (r, g, b), the lowest index among equals, by a full linear scan (the
// distance: the sum of the squared channel differences, each first divided
// by 16, truncating, when maxval > 255); then adds
// the answer to cht while usehash is set. ncolors > 0.
void searchColormap(const color_count *colormap, int ncolors, sample r, sample g, sample b,
                    sample maxval, int *indexP);

// Replaces every pixel of the row by its nearest colour-map entry, through
// the cache; with floyd nonzero the pixels are first adjusted by the gathered
// error and their own error is spread (fs must have been set up by
// initFserr). A row of no columns, or an empty colour map, is left alone.
void convertRow(pixel *pixelrow, int cols, sample maxval, const color_count *colormap,
                int ncolors, int floyd, fserr_state *fs);

}  // namespace quantize

#endif
