// Private to the colour unit and its tests: the bucket function every
// reader and writer of a colour hash table agrees on, and the checked
// allocation every size product goes through.
#ifndef KESTRUM_COLORMAP_INTERNAL_H
#define KESTRUM_COLORMAP_INTERNAL_H

#include <kestrum/colormap.h>

#include <cstdint>
#include <cstdlib>

// The bucket of a colour, 0 to COLOR_HASH_BUCKETS - 1. The arithmetic is
// 32-bit unsigned on purpose: tables built by one operation are searched by
// another, and histogram order is bucket order, so this must never change.
inline int ppm_colorbucket(const pixel &color) {
    std::uint32_t h = color.r * 33023u + color.g * 30013u + color.b * 27011u;
    return static_cast<int>((h & 0x7fffffffu) % COLOR_HASH_BUCKETS);
}

namespace kestrum {

// count * size bytes, or null (without trying) when the product does not
// fit in 32 bits unsigned. size must not be 0. The caller reports a null.
void mallocProduct(void **resultP, unsigned int count, unsigned int size);

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
