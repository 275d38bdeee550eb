#include <kestrum/colormap.h>

#include <gtest/gtest.h>

#include "colormap_internal.h"
#include "colormap_testutil.h"

namespace {

// The bucket numbers are shared by every table and decide histogram order.
TEST(ColorBucket, KnownColours) {
    const std::pair<pixel, int> cases[] = {
        {{1, 0, 0}, 13000}, {{0, 1, 0}, 9990}, {{0, 0, 1}, 6988}, {{255, 255, 255}, 15627}, {{6, 34, 9}, 0},
        // The 32-bit sum 0xF63B09C4 loses its top bit before the modulo.
        {{65535, 65535, 0}, 2117},
        // The sum wraps modulo 2^32.
        {{65535, 65535, 65535}, 17789},
    };
    for (const auto &[color, bucket] : cases)
        EXPECT_EQ(ppm_colorbucket(color), bucket) << testing::PrintToString(color);
}

// The newest of two entries for a colour wins; sample order matters.
TEST(ColorHash, AddAndLookUp) {
    color_hash cht = ppm_alloccolorhash();
    const pixel c{10, 20, 30}, reversed{30, 20, 10};
    EXPECT_EQ(ppm_lookupcolor(cht, &c), -1);
    ASSERT_EQ(ppm_addtocolorhash(cht, &c, 3), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &reversed), -1);
    ASSERT_EQ(ppm_addtocolorhash(cht, &c, 7), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &c), 7);
    ppm_freecolorhash(cht);  // the sanitizer build checks both entries go
}

TEST(MallocProduct, RefusesProductsBeyond32BitsWithoutAllocating) {
    const struct {
        unsigned int count, size;
        bool refused;
    } cases[] = {{268435456u, 16, true}, {2, UINT32_MAX, true}, {65536u, 65536u, true}, {1000, 16, false}};
    for (const auto &c : cases) {
        void *block = reinterpret_cast<void *>(1);
        kestrum::mallocProduct(&block, c.count, c.size);
        EXPECT_EQ(block == nullptr, c.refused) << c.count << " x " << c.size;
        free(block);
    }
}

}  // namespace
