#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <limits>

#include "alloc_internal.h"

// Requests too large for the sanitizer's allocator must fail like malloc does,
// so that the library's own out-of-memory messages are what the tests see.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUM_TEST_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_TEST_ASAN
#endif
#endif

TEST(Alloc, BothLayoutsGiveDistinctWritableRows) {
    const int shapes[][3] = {{3, 2, 12}, {257, 5, 4}, {0, 3, 12}, {4, 0, 12}};
    for (std::size_t limit : {std::numeric_limits<std::size_t>::max(), std::size_t{0}}) {
        kestrum::contiguousArrayLimit = limit;
        for (const auto &s : shapes) {
            const int cols = s[0], rows = s[1];
            const std::size_t bytes = std::size_t(cols) * s[2];
            void **a = pm_allocarray(cols, rows, s[2]);
            // An empty image fits any limit, so only a real one goes row by row.
            const bool separate = limit == 0 && cols > 0 && rows > 0;
            EXPECT_TRUE(rows == 0 || a[rows] == (separate ? nullptr : a[0])) << cols << "x" << rows;
            for (int r = 0; r < rows; ++r)
                memset(a[r], r + 1, bytes);
            for (int r = 0; r < rows; ++r) {
                const auto *row = static_cast<unsigned char *>(a[r]);
                EXPECT_EQ(std::count(row, row + bytes, r + 1), std::ptrdiff_t(bytes)) << "row " << r;
            }
            pm_freearray(a, rows);
        }
    }
    kestrum::contiguousArrayLimit = std::numeric_limits<std::size_t>::max();
}

TEST(Alloc, BitWidthsAndBoundedLeastCommonMultiple) {
    EXPECT_EQ(pm_maxvaltobits(INT_MIN), 1);
    EXPECT_EQ(pm_maxvaltobits(1), 1);
    for (int bits = 2; bits <= 16; ++bits) {
        EXPECT_EQ(pm_maxvaltobits(1 << (bits - 1)), bits);
        EXPECT_EQ(pm_maxvaltobits((1 << bits) - 1), bits);
    }
    const unsigned int maxvals[][2] = {{0, 0}, {1, 1}, {16, 65535}, {31, 2147483647u}, {32, 4294967295u}};
    for (const auto &m : maxvals)
        EXPECT_EQ(pm_bitstomaxval(int(m[0])), m[1]) << m[0];
    const unsigned int lcm[][5] = {
        {4, 6, 10, 1000, 60}, {4, 6, 10, 60, 60}, {4, 6, 10, 59, 59}, {7, 1, 1, 3, 3},
        {65536, 65535, 1, UINT_MAX, 4294901760u},
        // The next multiple of the step lies past 2^32: it must not wrap below the limit.
        {UINT_MAX, 2, 1, UINT_MAX, UINT_MAX}, {3, 2147483648u, 1, UINT_MAX, UINT_MAX}};
    for (const auto &c : lcm)
        EXPECT_EQ(pm_lcm(c[0], c[1], c[2], c[3]), c[4]) << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
}

TEST(AllocDeath, Messages) {
    const struct {
        std::function<void()> call;
        const char *err;
        bool afterRefusal;  // the sanitizer's allocator speaks first
    } cases[] = {
        // (rows + 1) pointers beyond 4294967295 bytes; a negative count is refused as such.
        {[] { pm_allocarray(1, 536870912, 1); }, "out of memory allocating row index (536870912 rows) for an array", false},
        {[] { pm_allocarray(1, -1, 1); }, "Invalid number of rows passed to pm_allocarray(): -1", false},
        {[] { pm_allocrow(INT_MAX, INT_MAX); }, "out of memory allocating a row", true},
        {[] { pm_allocrow(-1, 4); }, "Invalid number of columns passed to pm_allocrow(): -1", false},
        // No single block and no row either: the fallback reports the row.
        {[] { pm_allocarray(INT_MAX, 2, INT_MAX); }, "out of memory allocating a row", true},
        {[] { pm_maxvaltobits(65536); }, "maxval of 65536 is too large!", false},
        {[] { pm_lcm(0, 3, 4, 100); }, "pm_lcm(): Least common multiple of zero taken.", false},
        {[] { pm_lcm(2, 0, 4, 100); }, "pm_lcm(): Least common multiple of zero taken.", false},
        {[] { pm_lcm(2, 3, 0, 100); }, "pm_lcm(): Least common multiple of zero taken.", false},
    };
    pm_init("prog", 0);
    for (const auto &c : cases) {
        const std::string err = std::string("prog: ") + c.err + "\n";
        ::testing::Matcher<const std::string &> matches = ::testing::Eq(err);
#ifdef KESTRUM_TEST_ASAN
        if (c.afterRefusal)
            matches = ::testing::EndsWith(err);
#endif
        EXPECT_EXIT(c.call(), ::testing::ExitedWithCode(1), matches);
    }
}

}  // namespace
