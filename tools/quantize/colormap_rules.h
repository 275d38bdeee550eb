// What every colour-map source shares, the straightforward and the packed:
// the most colours a histogram is built for, and how a sample is rescaled
// to another maxval.
#ifndef QUANTIZE_COLORMAP_RULES_H
#define QUANTIZE_COLORMAP_RULES_H

#include <kestrum/types.h>

namespace quantize {

// The most distinct colours a histogram is built for.
constexpr int kMaxHistogramColors = 32767;

// sample scaled from maxval oldmaxval to newmaxval, rounded to nearest:
// (s * new + old / 2) / old. Every sample of an image of maxval 0 is 0, and
// so is its rescaled value. Below 2^32 for samples and maxvals up to 65535,
// which the image readers' callers guarantee.
inline sample rescaleSample(sample s, sample oldmaxval, sample newmaxval) {
    if (oldmaxval == 0)
        return 0;
    return (s * newmaxval + oldmaxval / 2) / oldmaxval;
}

}  // namespace quantize

#endif
