#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "alloc_internal.h"

// Requests too large for the sanitizer's allocator must fail like malloc does,
// so that the library's own out-of-memory messages are what the tests see.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUM_TEST_ASAN 1
#endif
#endif

// The sanitizer's allocator notes each request it refuses on stderr before
// the library speaks; the library's message must still end the output.
::testing::Matcher<const std::string &> afterRefusedAllocation(const std::string &message) {
#ifdef KESTRUM_TEST_ASAN
    return ::testing::EndsWith(message);
#else
    return Eq(message);
#endif
}

// Forces pm_allocarray's row-by-row layout while alive.
struct RowByRow {
    RowByRow() { kestrum::contiguousArrayLimit = 0; }
    ~RowByRow() { kestrum::contiguousArrayLimit = std::numeric_limits<std::size_t>::max(); }
};

// Every byte of every row is writable and no two rows share memory.
void fillAndCheck(void **rows, int cols, int nrows, int size) {
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * size;
    for (int r = 0; r < nrows; ++r)
        memset(rows[r], r + 1, rowBytes);
    for (int r = 0; r < nrows; ++r)
        for (std::size_t i = 0; i < rowBytes; ++i)
            ASSERT_EQ(static_cast<unsigned char *>(rows[r])[i], r + 1) << "row " << r;
}

TEST(Alloc, BothLayoutsGiveUsableRowsAndFreeCleanly) {
    const struct {
        int cols, rows, size;
    } shapes[] = {{3, 2, 12}, {1, 1, 1}, {257, 5, 4}, {0, 3, 12}, {4, 0, 12}};
    for (bool rowByRow : {false, true}) {
        for (const auto &s : shapes) {
            std::optional<RowByRow> force;
            if (rowByRow)
                force.emplace();
            void **a = pm_allocarray(s.cols, s.rows, s.size);
            // An empty image fits any limit, so only a real one goes row by row.
            const bool separateRows = rowByRow && s.cols > 0 && s.rows > 0;
            EXPECT_EQ(a[s.rows] == nullptr, separateRows) << s.cols << "x" << s.rows;
            if (!separateRows && s.rows > 0) {  // one block, rows back to back
                EXPECT_EQ(a[s.rows], a[0]);
                EXPECT_EQ(static_cast<char *>(a[s.rows - 1]) - static_cast<char *>(a[0]),
                          static_cast<std::ptrdiff_t>(s.rows - 1) * s.cols * s.size);
            }
            fillAndCheck(a, s.cols, s.rows, s.size);
            pm_freearray(a, s.rows);
        }
    }
}

TEST(AllocDeath, OutOfMemoryMessages) {
    pm_init("prog", 0);
    // (rows + 1) pointers beyond 4294967295 bytes; a negative count is no smaller.
    EXPECT_EXIT(pm_allocarray(1, 536870912, 1), ExitedWithCode(1),
                Eq("prog: out of memory allocating row index (536870912 rows) for an array\n"));
    EXPECT_EXIT(pm_allocarray(1, -1, 1), ExitedWithCode(1),
                Eq("prog: out of memory allocating row index (4294967295 rows) for an array\n"));
    const char *rowMessage = "prog: out of memory allocating a row\n";
    EXPECT_EXIT(pm_allocrow(INT_MAX, INT_MAX), ExitedWithCode(1), afterRefusedAllocation(rowMessage));
    EXPECT_EXIT(pm_allocrow(-1, 4), ExitedWithCode(1), Eq(rowMessage));
    // No single block and no row either: the fallback reports the row.
    EXPECT_EXIT(pm_allocarray(INT_MAX, 2, INT_MAX), ExitedWithCode(1), afterRefusedAllocation(rowMessage));
}

TEST(Alloc, MaxvalToBits) {
    EXPECT_EQ(pm_maxvaltobits(INT_MIN), 1);
    EXPECT_EQ(pm_maxvaltobits(0), 1);
    EXPECT_EQ(pm_maxvaltobits(1), 1);
    for (int bits = 2; bits <= 16; ++bits) {
        EXPECT_EQ(pm_maxvaltobits(1 << (bits - 1)), bits);
        EXPECT_EQ(pm_maxvaltobits((1 << bits) - 1), bits);
    }
    pm_init("prog", 0);
    EXPECT_EXIT(pm_maxvaltobits(65536), ExitedWithCode(1), Eq("prog: maxval of 65536 is too large!\n"));
    EXPECT_EXIT(pm_maxvaltobits(INT_MAX), ExitedWithCode(1), Eq("prog: maxval of 2147483647 is too large!\n"));
}

TEST(Alloc, BitsToMaxval) {
    const unsigned int expected[][2] = {{0, 0}, {1, 1}, {8, 255}, {16, 65535}, {31, 2147483647u}, {32, 4294967295u}};
    for (const auto &e : expected)
        EXPECT_EQ(pm_bitstomaxval(static_cast<int>(e[0])), e[1]) << e[0] << " bits";
}

TEST(Alloc, LeastCommonMultipleBoundedByLimit) {
    const struct {
        unsigned int x, y, z, limit, result;
    } cases[] = {
        {4, 6, 10, 1000, 60},  {10, 4, 6, 1000, 60}, {4, 6, 10, 60, 60},  {4, 6, 10, 59, 59},
        {4, 6, 10, 50, 50},    {5, 5, 5, 5, 5},      {5, 5, 5, UINT_MAX, 5}, {7, 1, 1, 3, 3},
        {65536, 65535, 1, UINT_MAX, 4294901760u},
        // The next multiple of the step lies past 2^32: it must not wrap below the limit.
        {UINT_MAX, 2, 1, UINT_MAX, UINT_MAX},
        {3, 2147483648u, 1, UINT_MAX, UINT_MAX},
    };
    for (const auto &c : cases)
        EXPECT_EQ(pm_lcm(c.x, c.y, c.z, c.limit), c.result) << c.x << " " << c.y << " " << c.z << " " << c.limit;
    pm_init("prog", 0);
    for (int zeroAt = 0; zeroAt < 3; ++zeroAt)
        EXPECT_EXIT(pm_lcm(zeroAt == 0 ? 0 : 2, zeroAt == 1 ? 0 : 3, zeroAt == 2 ? 0 : 4, 100), ExitedWithCode(1),
                    Eq("prog: pm_lcm(): Least common multiple of zero taken.\n"));
}

}  // namespace
