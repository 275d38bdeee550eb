// The order of a colour histogram, for counters that do not build the
// chained colour hash table but must give exactly the histogram it gives.
#ifndef KESTRUM_INTERNAL_HISTOGRAM_ORDER_H
#define KESTRUM_INTERNAL_HISTOGRAM_ORDER_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "color_bucket.h"
#include "malloc_product.h"

namespace kestrum {

// A table fed colours in raster order lists them by ascending bucket and,
// within a bucket, newest first (chains grow at their head). Given colours
// numbered 0 to n - 1 in order of first occurrence, colorOf(number) being
// one, calls place(position, number) once for each, position being its
// place in that order. False, having placed nothing, when there is no
// memory for the work.
template <typename ColorOf, typename Place>
bool placeInHistogramOrder(std::uint32_t n, ColorOf colorOf, Place place) {
    void *block;
    mallocProduct(&block, COLOR_HASH_BUCKETS + 1, sizeof(std::uint32_t));
    if (block == nullptr)
        return false;
    auto *start = static_cast<std::uint32_t *>(block);
    // A counting sort on the bucket, fed in reverse order of first
    // occurrence: stable, so each bucket lists its newest colour first.
    std::memset(start, 0, (COLOR_HASH_BUCKETS + 1) * sizeof(std::uint32_t));
    for (std::uint32_t i = 0; i < n; ++i)
        ++start[ppm_colorbucket(colorOf(i)) + 1];
    for (int b = 0; b < COLOR_HASH_BUCKETS; ++b)
        start[b + 1] += start[b];
    for (std::uint32_t i = n; i-- > 0;)
        place(start[ppm_colorbucket(colorOf(i))]++, i);
    std::free(start);
    return true;
}

}  // namespace kestrum

#endif
