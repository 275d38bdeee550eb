// Better colours than the median cut's, chosen against the image at its own
// maxval: a cut that minimises the squared error, then Lloyd (k-means)
// passes over the image's histogram until the error stops falling.
//
// Everything here is integer arithmetic in a fixed order, and every search
// is the exact nearest-colour search (lowest index among equals), so the
// same image and number of colours give the same colour map in every build.
#ifndef QUANTIZE_REFINE_H
#define QUANTIZE_REFINE_H

#include <cstdint>
#include <vector>

#include <kestrum/colormap.h>

#include "packed_colormap_source.h"
#include "packed_image.h"

namespace quantize {

// One distinct colour of an image at its own maxval and its pixel count.
struct WeightedColor {
    pixel color;
    std::uint32_t count;
};

// The distinct colours of the image, ascending by red, then green, then blue.
std::vector<WeightedColor> fullHistogram(const PackedImage &image);

// The sum over the histogram of count x the distance to the nearest map
// colour, in the distance the conversion minimises at maxval. ncolors > 0.
std::uint64_t totalError(const std::vector<WeightedColor> &hist, const color_count *colormap,
                         int ncolors, sample maxval);

// The colour map of ncolors entries (fewer than the histogram's colours)
// chosen for the least total error: the histogram, gathered in at most 64
// cells a side, is cut into boxes, always where a cut
// between two planes of cells lowers the squared error most; Lloyd passes
// over the cells' means, then over the colours themselves, move each colour
// to the mean of the colours nearest to it (see lloydRefine).
std::vector<color_count> refinedColors(const std::vector<WeightedColor> &hist, sample maxval,
                                       int ncolors);

// Lloyd passes from the colour map `start` (entries within 0..maxval): each
// entry moves to the mean (rounded) of the histogram colours nearest to it;
// an entry that no colour is nearest to moves to the colour of largest
// weighted error not yet taken (the first in the histogram among equals).
// Stops after maxPasses, or when a pass lowers the total error by less than
// 1/settle of it; returns the map of least total error met, start itself if
// no pass lowered it.
std::vector<color_count> lloydRefine(const std::vector<WeightedColor> &hist, sample maxval,
                                     std::vector<color_count> start, std::uint64_t settle,
                                     int maxPasses);

// computeColorMapFromInputPacked, then the colours improved against the
// image at its own maxval: *newmaxvalP is the image's maxval and *scaleP the
// identity. The result's total error is never above the median cut's.
// Fatal "out of memory refining the colors" when the image's colours
// cannot be held.
void computeRefinedColorMap(const PackedImage &image, int newcolors, color_histogram *colormapP,
                            sample *newmaxvalP, SampleScale *scaleP);

// Replaces the colour map of newcolors entries at the image's maxval by the
// refinedColors of the image when their total error is no greater; with no
// more distinct colours than entries, by those colours followed by black.
void refineColorMap(const PackedImage &image, int newcolors, color_count *colormap);

}  // namespace quantize

#endif
