#include <kestrum/colormap.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "colormap_internal.h"
#include "colormap_testutil.h"

namespace {

struct BucketCase {
    pixel color;
    int bucket;
};

// The bucket numbers are shared by every table and decide histogram order.
TEST(ColorBucket, KnownColours) {
    const BucketCase cases[] = {
        {{0, 0, 0}, 0},         {{1, 0, 0}, 13000},        {{0, 1, 0}, 9990},
        {{0, 0, 1}, 6988},      {{255, 255, 255}, 15627},  {{6, 34, 9}, 0},
        // The 32-bit sum 0xF63B09C4 loses its top bit before the modulo.
        {{65535, 65535, 0}, 2117},
        // The sum wraps modulo 2^32.
        {{65535, 65535, 65535}, 17789},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ppm_colorbucket(c.color), c.bucket) << testing::PrintToString(c.color);
}

TEST(ColorHash, NewTableFindsNothing) {
    color_hash cht = ppm_alloccolorhash();
    for (const pixel p : {pixel{0, 0, 0}, pixel{6, 34, 9}, pixel{65535, 65535, 65535}})
        EXPECT_EQ(ppm_lookupcolor(cht, &p), -1);
    for (int i = 0; i < COLOR_HASH_BUCKETS; ++i)
        ASSERT_EQ(cht[i], nullptr);
    ppm_freecolorhash(cht);
}

TEST(ColorHash, AddingTwiceKeepsBothAndTheNewestWins) {
    color_hash cht = ppm_alloccolorhash();
    const pixel c{10, 20, 30};
    ASSERT_EQ(ppm_addtocolorhash(cht, &c, 3), 0);
    ASSERT_EQ(ppm_addtocolorhash(cht, &c, 7), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &c), 7);
    const color_hash_entry *head = cht[ppm_colorbucket(c)];
    ASSERT_NE(head, nullptr);
    ASSERT_NE(head->next, nullptr);
    EXPECT_EQ(head->item.value, 7);
    EXPECT_EQ(head->next->item.value, 3);
    EXPECT_EQ(head->next->next, nullptr);
    ppm_freecolorhash(cht);  // the sanitizer build checks both entries go
}

TEST(ColorHash, SampleOrderMatters) {
    color_hash cht = ppm_alloccolorhash();
    const pixel a{1, 2, 3}, b{3, 2, 1};
    ASSERT_EQ(ppm_addtocolorhash(cht, &a, 0), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &b), -1);
    ASSERT_EQ(ppm_addtocolorhash(cht, &b, 1), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &a), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &b), 1);
    ppm_freecolorhash(cht);
}

TEST(MallocProduct, RefusesProductsBeyond32BitsWithoutAllocating) {
    struct Case {
        unsigned int count, size;
        bool refused;
    };
    const Case cases[] = {
        {268435456u, 16, true},  {UINT32_MAX, 2, true}, {2, UINT32_MAX, true},
        {65536u, 65536u, true},  {1000, 16, false},     {0, 16, false},
    };
    for (const auto &c : cases) {
        void *block = reinterpret_cast<void *>(1);
        kestrum::mallocProduct(&block, c.count, c.size);
        EXPECT_EQ(block == nullptr, c.refused) << c.count << " x " << c.size;
        free(block);
    }
}

}  // namespace
