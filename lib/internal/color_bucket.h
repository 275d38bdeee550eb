// The bucket of a colour in a colour hash table, shared by the table, the
// fast counters that rebuild its order and the quantizer.
#ifndef KESTRUM_INTERNAL_COLOR_BUCKET_H
#define KESTRUM_INTERNAL_COLOR_BUCKET_H

#include <kestrum/colormap.h>

#include <cstdint>

namespace kestrum {

// 0 to COLOR_HASH_BUCKETS - 1. The arithmetic is 32-bit unsigned on
// purpose: tables built by one operation are searched by another, and
// histogram order is bucket order, so this must never change.
inline int ppm_colorbucket(const pixel &color) {
    const std::uint32_t h = color.r * 33023u + color.g * 30013u + color.b * 27011u;
    return static_cast<int>((h & 0x7fffffffu) % COLOR_HASH_BUCKETS);
}

}  // namespace kestrum

#endif
