// What every colour-map source shares, the straightforward and the packed:
// the most colours a histogram is built for, and how a sample is rescaled
// to another maxval.
#ifndef QUANTIZE_COLORMAP_RULES_H
#define QUANTIZE_COLORMAP_RULES_H

#include <kestrum/types.h>

#include <cstdint>

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

// The distance a colour-map entry is chosen by: the sum of the squared
// channel differences, each first divided by 16 (truncating) when maxval is
// above 255. 64 bits, so that 16-bit colours far apart do not overflow.
inline std::uint64_t colorDistance(const pixel &a, const pixel &b, sample maxval) {
    const auto term = [maxval](sample x, sample y) {
        const std::uint64_t d = x > y ? x - y : y - x;
        return maxval > 255 ? d * d / 16 : d * d;
    };
    return term(a.r, b.r) + term(a.g, b.g) + term(a.b, b.b);
}

}  // namespace quantize

#endif
