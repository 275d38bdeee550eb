#include "colormap_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

struct RescaleCase {
    sample value, from, to, expected;
};

TEST(Rescale, RoundsToTheNearestLevelOfTheNewMaxval) {
    const RescaleCase cases[] = {
        {255, 255, 127, 127}, {128, 255, 127, 64}, {2, 255, 127, 1}, {1, 255, 127, 0},
        {255, 255, 15, 15},   {8, 255, 15, 0},     {9, 255, 15, 1},  {0, 255, 15, 0},
        {65535, 65535, 32767, 32767}, {65535, 65535, 1, 1}, {1, 1, 65535, 65535},
        // An image of maxval 0 has only zeros; they stay 0 at any maxval.
        {0, 0, 255, 0}, {0, 0, 0, 0}, {7, 255, 0, 0},
    };
    for (const RescaleCase &c : cases)
        EXPECT_EQ(quantize::rescaleSample(c.value, c.from, c.to), c.expected)
            << c.value << " from " << c.from << " to " << c.to;
}

}  // namespace
