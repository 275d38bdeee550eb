// The allocation rule for a count of elements, shared by the library and
// the quantizer.
#ifndef KESTRUM_INTERNAL_MALLOC_PRODUCT_H
#define KESTRUM_INTERNAL_MALLOC_PRODUCT_H

#include <cstdint>
#include <cstdlib>

namespace kestrum {

// Stores through resultP count * size bytes from malloc, or null without
// trying when the product does not fit in 32 bits unsigned, whatever the
// platform could give. size must not be 0. A zero-byte request still
// yields a block the caller can free. The caller reports a null.
inline void mallocProduct(void **resultP, unsigned int count, unsigned int size) {
    if (UINT32_MAX / size < count) {
        *resultP = nullptr;
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(count) * size;
    *resultP = std::malloc(bytes ? bytes : 1);
}

}  // namespace kestrum

#endif
