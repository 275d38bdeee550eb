// The colour unit through its public interface. The fast counter behind the
// histograms is checked against the straightforward count through the
// chained hash table: the same outcome, count and entries in the same order.
#include <kestrum/colormap.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <malloc.h>

#include <random>

#include "test_support.h"

bool operator==(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
bool operator==(const color_count &a, const color_count &b) { return a.color == b.color && a.value == b.value; }

namespace {

color_count cc(sample r, sample g, sample b, int value) { return color_count{pixel{r, g, b}, value}; }

// An image as the library takes it: rows of pixels (the raster) and their index.
struct Image {
    int cols, rows;
    std::vector<pixel> raster;
    std::vector<pixel *> index = {};
    pixel **pixels() {
        index.clear();
        for (int r = 0; r <= rows; ++r)
            index.push_back(r < rows ? &raster[std::size_t(r) * cols] : nullptr);
        return index.data();
    }
};

// Pixels drawn from a palette of random colours with samples up to maxval.
Image randomImage(int cols, int rows, int colors, sample maxval, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<sample> s(0, maxval);
    std::vector<pixel> palette(static_cast<std::size_t>(colors));
    for (pixel &p : palette)
        p = pixel{s(gen), s(gen), s(gen)};
    Image img{cols, rows, std::vector<pixel>(std::size_t(cols) * rows)};
    for (pixel &p : img.raster)
        p = palette[gen() % palette.size()];
    return img;
}

// The used entries of a histogram or colour row (null: none), which it
// releases; n is read after the call that sets it.
void release(color_count *chv) { ppm_freecolorhist(chv); }
void release(pixel *row) { pm_freerow(row); }
template <typename T>
std::vector<T> take(T *entries, const int &n) {
    std::vector<T> v(entries, entries ? entries + n : entries);
    return release(entries), v;
}

// A histogram of the image on the fast counter, or through the hash table.
color_histogram count(Image &img, bool viaTable, int maxcolors, int *colors) {
    if (!viaTable)
        return ppm_computecolorhist(img.pixels(), img.cols, img.rows, maxcolors, colors);
    color_hash cht = ppm_computecolorhash(img.pixels(), img.cols, img.rows, maxcolors, colors);
    color_histogram chv = cht ? ppm_colorhashtocolorhist(cht, maxcolors) : nullptr;
    if (cht)
        ppm_freecolorhash(cht);
    return chv;
}

// Small palettes crowd the buckets, large ones make the fast table grow, wide
// samples use every key bit. Samples that outgrow the small-sample tables
// part way through a row carry their counts over (every limit tried there).
TEST(Colormap, FastCounterMatchesTheTable) {
    std::vector<Image> images = {randomImage(64, 64, 3, 1, 1), randomImage(97, 61, 40, 15, 2),
                                 randomImage(600, 500, 200000, 255, 3), randomImage(400, 300, 60000, 65535, 4),
                                 randomImage(200, 150, 20000, 0xFFFFFFFFu, 5), Image{40, 7, std::vector<pixel>(280)}};
    const sample widths[] = {4, 64, 128, 4, 256, 70000, 64};
    std::mt19937 gen(5);
    for (int i = 0; i < 280; ++i) {  // the first half of a row repeats colours of the rows before
        std::uniform_int_distribution<sample> s(0, widths[i / 40 - (i % 40 < 20 && i >= 40)] - 1);
        images.back().raster[i] = pixel{s(gen), s(gen) / 2, s(gen)};
    }
    for (Image &img : images) {
        int n = 0;
        ppm_freecolorhist(count(img, true, 0, &n));
        std::vector<int> limits = {0, n - 1, n, n + 1, 32767};
        for (int maxcolors = 1; img.cols == 40 && maxcolors < n; ++maxcolors)
            limits.push_back(maxcolors);
        for (const int maxcolors : limits) {
            int fastColors = -1, tableColors = -2;
            const std::vector<color_count> fast = take(count(img, false, maxcolors, &fastColors), fastColors),
                                           table = take(count(img, true, maxcolors, &tableColors), tableColors);
            ASSERT_TRUE(fastColors == tableColors && fast == table) << img.cols << "x" << img.rows << " at " << maxcolors;
        }
    }
}

// The file variant reads rows a span at a time (here rows wider than one)
// and counts what the image array counts.
TEST(Colormap, FileCountsAndClosestColours) {
    Image img = randomImage(40000, 3, 500, 255, 6);
    FILE *f = testsupport::memoryStream(
        testsupport::captureOutput([&](FILE *o) { ppm_writeppm(o, img.pixels(), img.cols, img.rows, 255, 0); }));
    int cols, rows, fileColors = -1, colors = -2;
    sample maxval;
    format_code format;
    ppm_readppminit(f, &cols, &rows, &maxval, &format);
    EXPECT_TRUE(take(ppm_computecolorhist2(f, cols, rows, maxval, format, 0, &fileColors), fileColors) ==
                    take(count(img, false, 0, &colors), colors) && fileColors == colors);
    fclose(f);
    // The nearest entry, the first of equals, by sums of squares past 64 bits.
    const sample m = 0xFFFFFFFF;
    const pixel map[] = {{0, 0, 0}, {m, 0, 0}, {10, 0, 0}, {m, m, 7}, {m, m, 7}};
    const pixel colours[][2] = {{{m, m, m}, {m, m, 7}}, {{10, 0, 0}, {10, 0, 0}}, {{m, 1, 1}, {m, 0, 0}}, {{4, 0, 0}, {0, 0, 0}}};
    for (const auto &c : colours)
        EXPECT_EQ(map[ppm_findclosestcolor(map, 5, &c[0])], c[1]) << c[0].r;
    EXPECT_EQ(ppm_findclosestcolor(map, 0, &map[0]), -1);
    EXPECT_EQ(testsupport::captureOutput([&](FILE *o) { ppm_colorrowtomapfile(o, map + 1, 2, 300); }),
              "P3\n2 1\n300\n4294967295 0 0\n10 0 0\n");
    int n = 0;  // a map file's colours, first seen first, from its rows alone
    EXPECT_THAT(take(ppm_mapfiletocolorrow(testsupport::memoryStream("P3 2 2 9 1 2 3 4 5 6 1 2 3 7 8 9\n"), 9, &n, &maxval), n),
                ::testing::ElementsAre(pixel{1, 2, 3}, pixel{4, 5, 6}, pixel{7, 8, 9}));
}

TEST(Colormap, HistogramsRowsAndTables) {
    // Lower buckets first (black and (6, 34, 9) share bucket 0); within one,
    // the colour first seen last first. With a limit of N exactly N colours
    // succeed; one more gives null and a count of N + 1. Room: maxcolors, or
    // the colours plus 5 without a limit.
    Image order{3, 2, {{6, 34, 9}, {0, 0, 0}, {6, 34, 9}, {0, 0, 1}, {0, 0, 1}, {0, 0, 0}}};
    Image five{3, 2, {{1, 0, 0}, {2, 0, 0}, {1, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 0, 0}}};
    const int limits[][3] = {{0, 1, 5}, {5, 1, 5}, {6, 1, 5}, {4, 0, 5}, {1, 0, 2}};
    for (const bool viaTable : {false, true}) {
        int colors = -7;
        EXPECT_THAT(take(count(order, viaTable, 0, &colors), colors),
                    ::testing::ElementsAre(cc(0, 0, 0, 2), cc(6, 34, 9, 2), cc(0, 0, 1, 2)));
        for (const auto &l : limits) {
            color_histogram chv = count(five, viaTable, l[0], &colors);
            EXPECT_TRUE((chv != nullptr) == l[1] && colors == l[2]) << "maxcolors " << l[0] << " table " << viaTable;
            EXPECT_TRUE(!chv || malloc_usable_size(chv) >= (l[0] ? l[0] : colors + 5) * sizeof(color_count));
            ppm_freecolorhist(chv);
        }
    }
    int ncolors = 77;  // colour rows: first-seen order, up to the limit
    EXPECT_THAT(take(ppm_computecolorrow(five.pixels(), 3, 2, 5, &ncolors), ncolors),
                ::testing::ElementsAre(pixel{1, 0, 0}, pixel{2, 0, 0}, pixel{3, 0, 0}, pixel{4, 0, 0}, pixel{5, 0, 0}));
    EXPECT_TRUE(ppm_computecolorrow(five.pixels(), 3, 2, 4, &ncolors) == nullptr && ncolors == -1);
    color_hash cht = ppm_colorrowtocolorhash(five.raster.data(), 6);  // a colour listed twice keeps its first index
    EXPECT_EQ(ppm_lookupcolor(cht, &five.raster[2]), 0);
    ASSERT_EQ(ppm_addtocolorhash(cht, &five.raster[2], 9), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &five.raster[2]), 9);  // the newest entry wins
    ppm_freecolorhash(cht);
}

TEST(ColormapDeath, Messages) {
    const color_count twice[] = {cc(1, 2, 3, 5), cc(4, 5, 6, 5), cc(1, 2, 3, 9)};
    Image img{2, 1, {{1, 1, 1}, {2, 2, 2}}};
    int colors;
    pm_init("colormap_test", 0);
    EXPECT_EXIT(ppm_computecolorhist(img.pixels(), 2, 1, -1, &colors), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: out of memory generating histogram\n"));  // a negative limit: too much room
    EXPECT_EXIT(ppm_colorhisttocolorhash(twice, 3), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: same color found twice - 1 2 3\n"));
}

}  // namespace
