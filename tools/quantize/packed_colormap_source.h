// The colour-map sources of colormap_source.h for a packed image: the same
// messages, histograms, colour maps and maxvals, in fewer passes.
//
// The straightforward path rewrites every sample of the image at each
// halving of the maxval and counts the whole image again. Here the image is
// never rewritten: a table (one entry per sample value of the original
// maxval) gives each sample's value after all the halvings so far, composed
// step by step with rescaleSample so that it equals the repeated rescaling
// exactly. Counting at a level reads the image through the table, and a
// level with too many colours stops at its 32768th colour.
#ifndef QUANTIZE_PACKED_COLORMAP_SOURCE_H
#define QUANTIZE_PACKED_COLORMAP_SOURCE_H

#include <kestrum/colormap.h>

#include <cstdint>
#include <vector>

#include "mediancut.h"
#include "packed_image.h"

namespace quantize {

// Maps each sample value 0..maxval of an image to its rescaled value.
using SampleScale = std::vector<sample>;

// The histogram that ppm_computecolorhist with the limit kMaxHistogramColors
// gives for the image with every sample s replaced by scale[s] (the
// samples as they are when scale is null): entries, counts and order. Null
// when there are more colours than the limit. maxval: the largest sample the
// count can meet (after scaling).
color_histogram packedColorHistogram(const PackedImage &image, const SampleScale *scale,
                                     sample maxval, int *colorsP);

// computeHistogram for the packed image: the same messages, histogram and
// final maxval. The image is left as it is; *scaleP receives the table from
// its samples to their values at the final maxval.
void computeHistogramPacked(const PackedImage &image, color_histogram *chvP, int *colorsP,
                            sample *newmaxvalP, SampleScale *scaleP);

// computeColorMapFromInput for the packed image; *scaleP as above.
void computeColorMapFromInputPacked(const PackedImage &image, int newcolors,
                                    color_histogram *colormapP, sample *newmaxvalP,
                                    SampleScale *scaleP);

// The same, with the colour map of mediancutColors: the chosen colours and
// at most one black entry after them, *mapColorsP entries in all. What a
// run costs then follows the image's colours, not newcolors. Undithered
// (dithered false), when every colour is kept at a maxval up to 255, the
// map holds the same colours in another order, which cannot change an
// undithered conversion.
void computeChosenColorMapPacked(const PackedImage &image, int newcolors, bool dithered,
                                 color_histogram *colormapP, int *mapColorsP,
                                 sample *newmaxvalP, SampleScale *scaleP);

// Its second half: "choosing %d colors..." and the map chosen from the
// histogram (at maxval, of an image of `pixels` pixels).
void chooseColorMap(std::vector<WideColorCount> hist, std::uint64_t pixels, sample maxval, int newcolors,
                    bool dithered, color_histogram *colormapP, int *mapColorsP);

// computeColorMapFromMap for packed images; *scaleP receives the table from
// the input's samples to the map's maxval (the identity when they agree).
void computeColorMapFromMapPacked(const PackedImage &input, const PackedImage &map,
                                  color_histogram *colormapP, int *colorsP, SampleScale *scaleP);
// The same for an input known by its maxval alone.
void computeColorMapFromMapPacked(sample inputMaxval, const PackedImage &map,
                                  color_histogram *colormapP, int *colorsP, SampleScale *scaleP);

// The table of rescaleSample from oldmaxval to newmaxval, for samples
// 0..oldmaxval.
SampleScale rescaleTable(sample oldmaxval, sample newmaxval);

}  // namespace quantize

#endif
