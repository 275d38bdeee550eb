// Rows and image arrays with overflow-checked sizes, and the small integer
// services used with maxvals.
#include <kestrum/common.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "alloc_internal.h"
#include "checked_size.h"
#include "malloc_product.h"

namespace kestrum {
std::size_t contiguousArrayLimit = std::numeric_limits<std::size_t>::max();
}

namespace {

// a * b * c as a size, or false when the product does not fit.
bool checkedProduct(std::size_t a, std::size_t b, std::size_t c, std::size_t *result) {
    std::size_t ab;
    return !__builtin_mul_overflow(a, b, &ab) && !__builtin_mul_overflow(ab, c, result);
}

}  // namespace

void *pm_allocrow(int cols, int size) {
    kestrum::refuseNegative(cols, "number of columns", "pm_allocrow");
    kestrum::refuseNegative(size, "element size", "pm_allocrow");
    std::size_t bytes;
    if (!checkedProduct(static_cast<std::size_t>(cols), static_cast<std::size_t>(size), 1, &bytes))
        pm_error("out of memory allocating a row");
    void *row = malloc(bytes ? bytes : 1);
    if (row == nullptr)
        pm_error("out of memory allocating a row");
    return row;
}

void pm_freerow(void *row) { free(row); }

void **pm_allocarray(int cols, int rows, int size) {
    kestrum::refuseNegative(rows, "number of rows", "pm_allocarray");
    kestrum::refuseNegative(cols, "number of columns", "pm_allocarray");
    kestrum::refuseNegative(size, "element size", "pm_allocarray");
    void *indexBlock = nullptr;
    kestrum::mallocProduct(&indexBlock, static_cast<unsigned int>(rows) + 1, sizeof(void *));
    if (indexBlock == nullptr)
        pm_error("out of memory allocating row index (%u rows) for an array", static_cast<unsigned int>(rows));
    void **rowIndex = static_cast<void **>(indexBlock);

    std::size_t rowBytes = 0, totalBytes = 0;
    char *block = nullptr;
    if (checkedProduct(static_cast<std::size_t>(cols), static_cast<std::size_t>(size), 1, &rowBytes) &&
        checkedProduct(rowBytes, static_cast<std::size_t>(rows), 1, &totalBytes) &&
        totalBytes <= kestrum::contiguousArrayLimit)
        block = static_cast<char *>(malloc(totalBytes ? totalBytes : 1));

    if (block) {
        rowIndex[rows] = block;
        for (int r = 0; r < rows; ++r)
            rowIndex[r] = block + static_cast<std::size_t>(r) * rowBytes;
    } else {
        rowIndex[rows] = nullptr;
        for (int r = 0; r < rows; ++r)
            rowIndex[r] = pm_allocrow(cols, size);
    }
    return rowIndex;
}

void pm_freearray(void *array, int rows) {
    void **rowIndex = static_cast<void **>(array);
    if (rowIndex[rows] != nullptr)
        free(rowIndex[rows]);
    else
        for (int r = 0; r < rows; ++r)
            pm_freerow(rowIndex[r]);
    free(rowIndex);
}

int pm_maxvaltobits(int maxval) {
    if (maxval > 65535)
        pm_error("maxval of %d is too large!", maxval);
    int bits = 1;
    while (bits < 16 && maxval >= (1 << bits))
        ++bits;
    return bits;
}

unsigned int pm_bitstomaxval(int bits) {
    if (bits <= 0)
        return 0;
    return bits >= 32 ? UINT32_MAX : (1u << bits) - 1u;
}

unsigned int pm_lcm(unsigned int x, unsigned int y, unsigned int z, unsigned int limit) {
    if (x == 0 || y == 0 || z == 0)
        pm_error("pm_lcm(): Least common multiple of zero taken.");
    unsigned int step = x;
    if (y > step) step = y;
    if (z > step) step = z;
    // 64-bit candidates never wrap, so the limit test always sees the true value.
    for (std::uint64_t candidate = step; candidate <= limit; candidate += step)
        if (candidate % x == 0 && candidate % y == 0 && candidate % z == 0)
            return static_cast<unsigned int>(candidate);
    return limit;
}
