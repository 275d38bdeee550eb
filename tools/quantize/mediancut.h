// Median cut: choosing N representative colours from an image's colour
// histogram.
#ifndef QUANTIZE_MEDIANCUT_H
#define QUANTIZE_MEDIANCUT_H

#include <kestrum/colormap.h>

#include <cstdint>

namespace quantize {

// One box of the median cut: a contiguous run of histogram entries.
struct color_box {
    int first_entry;  // position of the run's first entry in the histogram
    int entry_count;  // distinct colours in the run, at least 1
    int pixel_count;  // sum of the run's pixel counts
};

// Luminance weights of the three extents that decide where a box is cut.
constexpr double kRedWeight = 0.2989;
constexpr double kGreenWeight = 0.5866;
constexpr double kBlueWeight = 0.1145;

// qsort-style orderings: ascending red, green or blue of histogram entries,
// and descending pixel count of boxes.
int redcompare(const color_count &a, const color_count &b);
int greencompare(const color_count &a, const color_count &b);
int bluecompare(const color_count &a, const color_count &b);
int sumcompare(const color_box &a, const color_box &b);

// The colour map of exactly newcolors entries chosen from the histogram of
// colors entries (reordered in place) whose pixel counts add up to sum.
// Entries beyond the number of boxes made are black; means above maxval are
// cut to maxval. The caller owns the result (free it with
// ppm_freecolorhist). Fatal "out of memory" when the map or the box list
// cannot be had.
color_histogram mediancut(color_histogram chv, int colors, int sum, sample maxval,
                          int newcolors);

// Whether a colour map of newcolors entries (and as many boxes) can be had
// under the allocation rule: mediancut fails with "out of memory" when not.
bool colormapFits(int newcolors);

// The colour map that mediancut makes, cut short: the colours of the boxes,
// in the same order, followed by one black entry when there are fewer boxes
// than newcolors. The black entries beyond it could never be chosen (the
// first of equal colours always is), so the map serves as mediancut's for
// the nearest-colour search, at the cost of the colours the image has, not
// of newcolors. *mapColorsP receives its number of entries. The same
// refusal as mediancut, "out of memory" when !colormapFits(newcolors),
// decided without allocating.
color_histogram mediancutColors(color_histogram chv, int colors, int sum, sample maxval,
                                int newcolors, int *mapColorsP);

// A histogram entry whose pixel count may pass what an int holds.
struct WideColorCount {
    pixel color;
    std::uint64_t value;
};

// mediancutColors on such counts, their sum `sum`: the same map as
// mediancutColors wherever the counts fit an int, and exact for any image
// (sums and means in 64 bits and more). Reorders hist.
color_histogram mediancutWide(WideColorCount *hist, int colors, std::uint64_t sum, sample maxval,
                              int newcolors, int *mapColorsP);

// The box list after a cut, put back in the order that a stable sort by
// sumcompare gives: box `cut` has shrunk and a new box was appended, the
// other boxes being in that order already. Linear, unlike a full re-sort.
void resortBoxesAfterCut(color_box *boxes, int boxCount, int cut);

}  // namespace quantize

#endif
