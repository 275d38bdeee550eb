// What a C caller of the library relies on beyond single results: sorts on
// several threads and inside a comparator.
#include <kestrum/colormap.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

int byRedUp(const pixel *a, const pixel *b) { return a->r < b->r ? -1 : a->r > b->r; }
int byRedDown(const pixel *a, const pixel *b) { return byRedUp(b, a); }

// Sorts its own rows with its own comparator, over and over, while another
// thread does the same with the opposite order.
bool sortsInOrder(int (*cmp)(const pixel *, const pixel *), unsigned seed) {
    for (int round = 0; round < 200; ++round) {
        std::vector<pixel> row(500);
        for (auto &p : row)
            p = pixel{(seed = seed * 1103515245u + 12345u) >> 16, 0, 0};
        ppm_sortcolorrow(row.data(), static_cast<int>(row.size()), cmp);
        for (std::size_t i = 1; i < row.size(); ++i)
            if (cmp(&row[i - 1], &row[i]) > 0)
                return false;
    }
    return true;
}

TEST(ColorRowSort, EachThreadKeepsItsComparator) {
    bool upSorted = false, downSorted = false;
    std::thread up([&] { upSorted = sortsInOrder(byRedUp, 1); });
    std::thread down([&] { downSorted = sortsInOrder(byRedDown, 2); });
    up.join();
    down.join();
    EXPECT_TRUE(upSorted);
    EXPECT_TRUE(downSorted);
}

// A comparator that sorts a row of its own (by the other order) before it
// answers: the outer sort must still use the outer comparator afterwards.
int byRedUpAfterInnerSort(const pixel *a, const pixel *b) {
    pixel inner[3] = {{1, 0, 0}, {3, 0, 0}, {2, 0, 0}};
    ppm_sortcolorrow(inner, 3, byRedDown);
    return inner[0].r == 3 ? byRedUp(a, b) : 0;
}

TEST(ColorRowSort, AComparatorMaySortItself) {
    pixel row[] = {{5, 0, 0}, {1, 0, 0}, {4, 0, 0}, {2, 0, 0}, {3, 0, 0}};
    ppm_sortcolorrow(row, 5, byRedUpAfterInnerSort);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(row[i].r, static_cast<sample>(i + 1));
}

}  // namespace
