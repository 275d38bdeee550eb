// Where the colour map comes from: the input image's own colours (counted,
// with the maxval lowered until they fit, then cut down by the median cut),
// or the distinct colours of a map image. The straightforward form, on rows
// of pixels rewritten in place, that the packed sources
// (packed_colormap_source.h) are tested against.
#ifndef QUANTIZE_COLORMAP_SOURCE_H
#define QUANTIZE_COLORMAP_SOURCE_H

#include <kestrum/colormap.h>

#include "colormap_rules.h"

namespace quantize {

// Rescales every sample of the image in place.
void rescaleImage(pixel **pixels, int cols, int rows, sample oldmaxval, sample newmaxval);

// The histogram of the image, halving the image's maxval (and rescaling its
// samples in place) for as long as it has more than kMaxHistogramColors
// colours; *newmaxvalP receives the maxval the image ends with.
void computeHistogram(pixel **pixels, int cols, int rows, sample maxval,
                      color_histogram *chvP, int *colorsP, sample *newmaxvalP);

// The colour map of newcolors entries chosen from the image by median cut;
// the image's maxval may be lowered in place, and *newmaxvalP receives the
// maxval of the image and the map.
void computeColorMapFromInput(pixel **pixels, int cols, int rows, sample maxval, int newcolors,
                              color_histogram *colormapP, sample *newmaxvalP);

// The distinct colours of the map image as the colour map; the input image is
// first rescaled to the map's maxval when the two differ. Fatal when the map
// has more than kMaxHistogramColors colours.
void computeColorMapFromMap(pixel **inputPixels, int inputCols, int inputRows, sample inputMaxval,
                            pixel **mapPixels, int mapCols, int mapRows, sample mapMaxval,
                            color_histogram *colormapP, int *colorsP);

}  // namespace quantize

#endif
