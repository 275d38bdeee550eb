// Private to the colour unit and its tests: the bucket function every
// reader and writer of a colour hash table agrees on, the checked
// allocation every size product goes through, and an owner of heap blocks.
#ifndef KESTRUM_COLORMAP_INTERNAL_H
#define KESTRUM_COLORMAP_INTERNAL_H

#include <kestrum/colormap.h>

#include <cstdint>
#include <cstdlib>

#include "color_bucket.h"
#include "malloc_product.h"

// The colour unit and its tests name these without the namespace.
using kestrum::ppm_colorbucket;

namespace kestrum {

// Owns a block from malloc (or, with pm_freerow as Release, a row from
// pm_allocrow) and releases it at the end of the scope unless handed on.
template <typename T, void (*Release)(void *) = std::free>
class HeapBlock {
public:
    explicit HeapBlock(T *block = nullptr) : block_(block) {}
    ~HeapBlock() { Release(block_); }
    HeapBlock(const HeapBlock &) = delete;
    HeapBlock &operator=(const HeapBlock &) = delete;

    T *get() const { return block_; }
    T &operator[](std::size_t i) const { return block_[i]; }
    // Hands the block to the caller.
    T *release() {
        T *b = block_;
        block_ = nullptr;
        return b;
    }

private:
    T *block_;
};

}  // namespace kestrum

#endif
