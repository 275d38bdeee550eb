// The colour unit through its public interface. The fast counter behind the
// histograms is checked against the straightforward count through the
// chained hash table: the same outcome, count and entries in the same order.
#include <kestrum/colormap.h>
#include <kestrum/ppm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <functional>
#include <random>

#include "test_support.h"

using namespace std::string_literals;

bool operator==(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
void PrintTo(const pixel &p, std::ostream *os) { *os << "(" << p.r << ", " << p.g << ", " << p.b << ")"; }
bool operator==(const color_count &a, const color_count &b) { return a.color == b.color && a.value == b.value; }
void PrintTo(const color_count &c, std::ostream *os) { PrintTo(c.color, os), *os << "x" << c.value; }

namespace {

color_count cc(sample r, sample g, sample b, int value) { return color_count{pixel{r, g, b}, value}; }

// An image as the library takes it, and as a plain file positioned at its raster.
struct Image {
    int cols, rows;
    std::vector<pixel> raster;
    std::vector<pixel *> index;
    Image(int c, int r, std::vector<pixel> p = {}) : cols(c), rows(r), raster(p.empty() ? std::size_t(c) * r : 0) {
        raster.insert(raster.end(), p.begin(), p.end());
    }
    pixel **pixels() {
        index.clear();
        for (int r = 0; r <= rows; ++r)
            index.push_back(r < rows ? &raster[std::size_t(r) * cols] : nullptr);
        return index.data();
    }
    FILE *file(sample *maxval, format_code *format) const {
        std::string s = "P3\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n65535\n";
        for (const pixel &p : raster)
            s += std::to_string(p.r) + " " + std::to_string(p.g) + " " + std::to_string(p.b) + "\n";
        FILE *f = testsupport::memoryStream(s);
        int c, r;
        ppm_readppminit(f, &c, &r, maxval, format);
        return f;
    }
};

// Pixels drawn from a palette of random colours with samples up to maxval.
Image randomImage(int cols, int rows, int colors, sample maxval, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<sample> s(0, maxval);
    std::vector<pixel> palette(static_cast<std::size_t>(colors));
    for (pixel &p : palette)
        p = pixel{s(gen), s(gen), s(gen)};
    Image img(cols, rows);
    for (pixel &p : img.raster)
        p = palette[gen() % palette.size()];
    return img;
}

// The used entries of a histogram or colour row (null: none), which it releases.
template <typename T>
std::vector<T> take(T *entries, const int &n) {  // n is read after the call that sets it
    std::vector<T> v(entries, entries ? entries + n : entries);
    if constexpr (std::is_same_v<T, color_count>)
        ppm_freecolorhist(entries);
    else
        pm_freerow(entries);
    return v;
}

color_histogram viaHash(color_hash cht, int maxcolors) {
    color_histogram chv = cht ? ppm_colorhashtocolorhist(cht, maxcolors) : nullptr;
    if (cht)
        ppm_freecolorhash(cht);
    return chv;
}

// The four ways to a histogram: in memory or from a file, on the fast
// counter or through the hash table.
using Count = std::function<color_histogram(Image &, int, int *)>;
const Count counters[] = {
    [](Image &img, int max, int *n) { return ppm_computecolorhist(img.pixels(), img.cols, img.rows, max, n); },
    [](Image &img, int max, int *n) { return viaHash(ppm_computecolorhash(img.pixels(), img.cols, img.rows, max, n), max); },
    [](Image &img, int max, int *n) {
        sample maxval;
        format_code format;
        FILE *f = img.file(&maxval, &format);
        color_histogram chv = ppm_computecolorhist2(f, img.cols, img.rows, maxval, format, max, n);
        return fclose(f), chv;
    },
    [](Image &img, int max, int *n) {
        sample maxval;
        format_code format;
        FILE *f = img.file(&maxval, &format);
        color_histogram chv = viaHash(ppm_computecolorhash2(f, img.cols, img.rows, maxval, format, max, n), max);
        return fclose(f), chv;
    },
};

// The fast counter and the table agree for no limit and limits around the
// number of colours (or every limit up to it).
void expectSameCounts(Image &img, const std::string &what, bool everyLimit = false) {
    int n = 0;
    ppm_freecolorhist(counters[1](img, 0, &n));
    std::vector<int> limits = {0, n - 1, n, n + 1, 32767};
    for (int maxcolors = 1; everyLimit && maxcolors < n; ++maxcolors)
        limits.push_back(maxcolors);
    for (const int maxcolors : limits) {
        int fastColors = -1, tableColors = -2;
        color_histogram fast = counters[0](img, maxcolors, &fastColors), table = counters[1](img, maxcolors, &tableColors);
        ASSERT_EQ(fast == nullptr, table == nullptr) << what << ", maxcolors " << maxcolors;
        ASSERT_EQ(fastColors, tableColors) << what << ", maxcolors " << maxcolors;
        ASSERT_TRUE(take(fast, fastColors) == take(table, tableColors)) << what << ", maxcolors " << maxcolors;
    }
}

// Small palettes crowd the buckets, large ones make the fast table grow, wide
// samples use every key bit; colours one high bit apart, and black (an empty
// slot's colour) arriving late, must stay apart. Samples that outgrow the
// small-sample tables part way through a row carry their counts over.
TEST(Colormap, FastCounterMatchesTheTable) {
    const struct {
        int cols, rows, palette;
        sample maxval;
    } cases[] = {{64, 64, 3, 1}, {97, 61, 40, 15}, {600, 500, 200000, 255}, {400, 300, 60000, 65535},
                 {200, 150, 20000, 0xFFFFFFFFu}};
    std::uint32_t seed = 1;
    for (const auto &c : cases) {
        Image img = randomImage(c.cols, c.rows, c.palette, c.maxval, seed++);
        expectSameCounts(img, std::to_string(c.palette) + " colours, maxval " + std::to_string(c.maxval));
    }
    Image bits(64, 4), growing(40, 7);
    for (int c = 0; c < 64; ++c)
        for (int k = 0; k < 3; ++k) {
            pixel &p = bits.raster[k * 64 + c];
            (k == 0 ? p.r : k == 1 ? p.g : p.b) = 1u << (c % 32);
        }
    expectSameCounts(bits, "single-bit colours");
    const sample widths[] = {4, 64, 128, 4, 256, 70000, 64};
    std::mt19937 gen(5);
    for (int r = 0; r < 7; ++r)
        for (int c = 0; c < 40; ++c) {  // the first half of a row repeats colours of the rows before
            std::uniform_int_distribution<sample> s(0, (c < 20 && r > 0 ? widths[r - 1] : widths[r]) - 1);
            growing.raster[r * 40 + c] = pixel{s(gen), s(gen) / 2, s(gen)};
        }
    expectSameCounts(growing, "growing samples", true);
    for (Image img : {randomImage(500, 400, 150000, 65535, 99), growing}) {  // rows in first-seen order
        std::vector<pixel> expected;
        color_hash seen = ppm_alloccolorhash();
        for (const pixel &p : img.raster)
            if (ppm_lookupcolor(seen, &p) < 0)
                ppm_addtocolorhash(seen, &p, 0), expected.push_back(p);
        ppm_freecolorhash(seen);
        int ncolors = 0;
        EXPECT_TRUE(take(ppm_computecolorrow(img.pixels(), img.cols, img.rows, int(expected.size()), &ncolors),
                         ncolors) == expected);
    }
}

const pixel black{0, 0, 0}, bucket0{6, 34, 9}, blue1{0, 0, 1};  // black and bucket0 share bucket 0

TEST(Colormap, HistogramOrderLimitAndRoom) {
    // Lower buckets first; within one, the colour first seen last first.
    const std::pair<std::vector<pixel>, std::vector<color_count>> orders[] = {
        {{black, bucket0, blue1}, {cc(6, 34, 9, 1), cc(0, 0, 0, 1), cc(0, 0, 1, 1)}},
        {{bucket0, black, bucket0, blue1, blue1, black}, {cc(0, 0, 0, 2), cc(6, 34, 9, 2), cc(0, 0, 1, 2)}},
    };
    // With a limit of N exactly N colours succeed; one more gives null and a count of N + 1.
    Image five(3, 2, {{1, 0, 0}, {2, 0, 0}, {1, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 0, 0}}), none(4, 0);
    const int limits[][3] = {{0, 1, 5}, {5, 1, 5}, {6, 1, 5}, {4, 0, 5}, {1, 0, 2}};
    for (const Count &count : counters) {
        for (const auto &[pixels, expected] : orders) {
            Image img(3, int(pixels.size()) / 3, pixels);
            int colors = -7;
            EXPECT_THAT(take(count(img, 0, &colors), colors), ::testing::ElementsAreArray(expected));
        }
        for (const auto &l : limits) {
            int colors = -7;
            color_histogram chv = count(five, l[0], &colors);
            EXPECT_EQ(chv != nullptr, l[1] == 1) << "maxcolors " << l[0];
            EXPECT_EQ(colors, l[2]) << "maxcolors " << l[0];
            // Room for maxcolors, or the colours plus 5 without a limit.
            EXPECT_TRUE(!chv || malloc_usable_size(chv) >= (l[0] ? l[0] : colors + 5) * sizeof(color_count));
            ppm_freecolorhist(chv);
        }
        int colors = -1;
        color_histogram chv = count(none, 10, &colors);
        EXPECT_TRUE(chv != nullptr && colors == 0);
        ppm_freecolorhist(chv);
    }
    // Past the limit the file variants stop at once: the next row read is the one after.
    Image six(2, 3, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}, {5, 5, 5}, {6, 6, 6}});
    for (const bool viaTable : {false, true}) {
        sample maxval;
        format_code format;
        FILE *f = six.file(&maxval, &format);
        int colors = 0;
        EXPECT_EQ(viaTable ? static_cast<void *>(ppm_computecolorhash2(f, 2, 3, maxval, format, 3, &colors))
                           : ppm_computecolorhist2(f, 2, 3, maxval, format, 3, &colors), nullptr);
        EXPECT_EQ(colors, 4);
        pixel row[2];
        ppm_readppmrow(f, row, 2, maxval, format);
        EXPECT_THAT(row, ::testing::ElementsAre(pixel{5, 5, 5}, pixel{6, 6, 6}));
        fclose(f);
    }
}

TEST(Colormap, HashHistogramAndRowOperations) {
    color_hash cht = ppm_alloccolorhash();
    for (const auto &[p, value] : std::vector<std::pair<pixel, int>>{{blue1, 5}, {bucket0, 6}, {black, 7}, {bucket0, 8}})
        ASSERT_EQ(ppm_addtocolorhash(cht, &p, value), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &bucket0), 8);  // the newest entry wins
    const pixel reversed{1, 0, 0};  // the samples of blue1 in another order
    EXPECT_EQ(ppm_lookupcolor(cht, &reversed), -1);
    // Every entry in bucket and chain order, duplicates too; room grows past maxcolors.
    EXPECT_THAT(take(ppm_colorhashtocolorhist(cht, 2), 4),
                ::testing::ElementsAre(cc(6, 34, 9, 8), cc(0, 0, 0, 7), cc(6, 34, 9, 6), cc(0, 0, 1, 5)));
    ppm_freecolorhash(cht);
    const color_count hist[] = {cc(7, 7, 7, 40), cc(0, 0, 0, 30), cc(6, 34, 9, 20)};
    cht = ppm_colorhisttocolorhash(hist, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ppm_lookupcolor(cht, &hist[i].color), i);
    ppm_freecolorhash(cht);
    const pixel row[] = {{7, 7, 7}, {8, 8, 8}, {7, 7, 7}};  // a colour listed twice keeps its first index
    cht = ppm_colorrowtocolorhash(row, 3);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[2]), 0);
    EXPECT_EQ(ppm_lookupcolor(cht, &row[1]), 1);
    ppm_freecolorhash(cht);
    // An existing colour moves (its value replaced), a new one goes in while
    // there is room; positions beyond the used entries go to the nearest end.
    const color_count x1 = cc(1, 1, 1, 1), x2 = cc(2, 2, 2, 2), x3 = cc(3, 3, 3, 3), x4 = cc(4, 4, 4, 4),
                      x5 = cc(5, 5, 5, 5), x2new = cc(2, 2, 2, 50);
    const struct {
        color_count entry;
        int position, room;
        std::vector<color_count> expected;
    } adds[] = {{x3, 0, 4, {x3, x1, x2, x4}}, {x2new, 3, 4, {x1, x3, x4, x2new}}, {x5, 1, 5, {x1, x5, x2, x3, x4}},
                {x5, 1, 4, {x1, x2, x3, x4}}, {x1, 9, 4, {x2, x3, x4, x1}},       {x5, -3, 8, {x5, x1, x2, x3, x4}}};
    for (const auto &a : adds) {
        color_count chv[8] = {x1, x2, x3, x4};
        int colors = 4;
        ppm_addtocolorhist(chv, &colors, a.room, &a.entry.color, a.entry.value, a.position);
        EXPECT_THAT(std::vector<color_count>(chv, chv + colors), ::testing::ElementsAreArray(a.expected))
            << ::testing::PrintToString(a.entry) << " at " << a.position;
    }
    pixel colors[6] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}};
    int ncolors = 5;
    const pixel present{4, 4, 4}, fresh{9, 9, 9};
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 5, &present), 4);  // found even when full
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 5, &fresh), -1);
    EXPECT_EQ(ppm_addtocolorrow(colors, &ncolors, 6, &fresh), 5);
    EXPECT_TRUE(ncolors == 6 && colors[5] == fresh);
}

int byBlueDescending(const pixel *a, const pixel *b) { return a->b == b->b ? 0 : a->b > b->b ? -1 : 1; }

TEST(Colormap, ColourRowsAndMapFiles) {
    Image img(2, 2, {{5, 5, 5}, {1, 1, 1}, {5, 5, 5}, {2, 2, 2}});
    int ncolors = 77;
    EXPECT_THAT(take(ppm_computecolorrow(img.pixels(), 2, 2, 3, &ncolors), ncolors),
                ::testing::ElementsAre(pixel{5, 5, 5}, pixel{1, 1, 1}, pixel{2, 2, 2}));
    EXPECT_EQ(ppm_computecolorrow(img.pixels(), 2, 2, 2, &ncolors), nullptr);
    EXPECT_EQ(ncolors, -1);
    const struct {
        std::string file;
        int maxcolors, ncolors;
        sample maxval;
        std::vector<pixel> expected;
    } files[] = {
        {"P6\n3 1\n255\n\x07\x07\x07\x08\x08\x08\x07\x07\x07"s, 2, 2, 255, {{7, 7, 7}, {8, 8, 8}}},
        {"P1\n2 1\n1 0\n", 2, 2, 1, {{0, 0, 0}, {1, 1, 1}}},
        {"P3\n2 2\n15\n5 5 5  1 1 1\n5 5 5  2 2 2\n", 2, -1, 15, {}},
    };
    for (const auto &c : files) {
        FILE *f = testsupport::memoryStream(c.file);
        sample maxval = 0;
        pixel *row = ppm_mapfiletocolorrow(f, c.maxcolors, &ncolors, &maxval);
        fclose(f);
        EXPECT_EQ(ncolors, c.ncolors) << c.file;
        EXPECT_EQ(maxval, c.maxval) << c.file;
        EXPECT_THAT(take(row, ncolors), ::testing::ElementsAreArray(c.expected)) << c.file;
    }
    std::vector<pixel> row = {{2, 0, 0}, {1, 9, 9}, {1, 2, 3}, {0xF0000000u, 0, 0}, {0x80000000u, 0, 0}};
    ppm_sortcolorrow(row.data(), 5, nullptr);  // samples more than 2^31 apart still order by value
    EXPECT_THAT(row, ::testing::ElementsAre(pixel{1, 2, 3}, pixel{1, 9, 9}, pixel{2, 0, 0}, pixel{0x80000000u, 0, 0},
                                            pixel{0xF0000000u, 0, 0}));
    ppm_sortcolorrow(row.data(), 3, byBlueDescending);
    EXPECT_THAT(row, ::testing::ElementsAre(pixel{1, 9, 9}, pixel{1, 2, 3}, pixel{2, 0, 0}, pixel{0x80000000u, 0, 0},
                                            pixel{0xF0000000u, 0, 0}));
    const std::string map = testsupport::captureOutput([&](FILE *f) { ppm_colorrowtomapfile(f, row.data(), 3, 255); });
    EXPECT_EQ(map, "P3\n3 1\n255\n1 9 9\n1 2 3\n2 0 0\n");
    const struct {
        std::vector<pixel> map;
        pixel color;
        int expected;
    } closest[] = {
        {{{10, 10, 10}, {0, 0, 0}}, {5, 5, 5}, 0},  // ties go to the lowest index
        {{{9, 9, 9}, {5, 5, 6}, {5, 5, 5}, {5, 5, 5}}, {5, 5, 5}, 2},
        {{{200, 0, 0}, {0, 120, 0}, {0, 0, 130}}, {100, 100, 100}, 1},
        {{{0, 0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFEu}}, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, 1},
        {{}, {1, 2, 3}, -1},
    };
    for (const auto &c : closest)
        EXPECT_EQ(ppm_findclosestcolor(c.map.data(), int(c.map.size()), &c.color), c.expected)
            << ::testing::PrintToString(c.color);
}

TEST(ColormapDeath, Messages) {
    Image img(2, 1, {{1, 1, 1}, {2, 2, 2}});
    const color_count twice[] = {cc(1, 2, 3, 5), cc(4, 5, 6, 5), cc(1, 2, 3, 9)};
    int colors;
    pm_init("colormap_test", 0);
    // A negative limit asks for too much room.
    EXPECT_EXIT(ppm_computecolorhist(img.pixels(), 2, 1, -1, &colors), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: out of memory generating histogram\n"));
    EXPECT_EXIT(ppm_colorhisttocolorhash(twice, 3), ::testing::ExitedWithCode(1),
                ::testing::Eq("colormap_test: same color found twice - 1 2 3\n"));
}

}  // namespace
