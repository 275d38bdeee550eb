// The pruned search against the linear scan of searchColormap, on maps made
// to break it: duplicates, surplus black, ties on a lattice, clusters far
// from the colours looked up, both distance forms.
#include "nearest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fast_path_testutil.h"
#include "search.h"

namespace {

using fastpathtest::randomColor;
using fastpathtest::randomSample;

int linearScan(const std::vector<color_count> &map, const pixel &c, sample maxval) {
    quantize::usehash = 0;
    int index = -1;
    quantize::searchColormap(map.data(), static_cast<int>(map.size()), c.r, c.g, c.b, maxval, &index);
    return index;
}

sample clampTo(long long v, sample maxval) {
    return static_cast<sample>(v < 0 ? 0 : v > maxval ? maxval : v);
}

// Colours where mistakes show: random ones, the corners, each entry and its
// neighbours, and the midpoints of pairs of entries (equidistant from both).
std::vector<pixel> probes(std::mt19937 &rng, const std::vector<color_count> &map, sample maxval, int count) {
    std::vector<pixel> out{{0, 0, 0}, {maxval, maxval, maxval}, {maxval, 0, maxval}};
    for (int i = 0; i < count; ++i) {
        const pixel &a = map[rng() % map.size()].color;
        const pixel &b = map[rng() % map.size()].color;
        switch (i % 4) {
        case 0: out.push_back(randomColor(rng, maxval)); break;
        case 1: out.push_back(a); break;
        case 2:
            out.push_back(pixel{(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2});
            break;
        default: {
            const int spread = static_cast<int>(rng() % 9) - 4;
            out.push_back(pixel{clampTo(static_cast<long long>(a.r) + spread, maxval),
                                clampTo(static_cast<long long>(a.g) - spread, maxval),
                                clampTo(static_cast<long long>(a.b) + spread * 3, maxval)});
        }
        }
    }
    return out;
}

std::vector<color_count> randomMap(std::mt19937 &rng, int size, sample maxval, int kind) {
    std::vector<color_count> map;
    const pixel centre = randomColor(rng, maxval);
    const sample step = maxval / 8 + 1;
    for (int i = 0; i < size; ++i) {
        pixel c;
        switch (kind) {
        case 0: c = randomColor(rng, maxval); break;
        case 1:  // a lattice: many colours equidistant from several entries
            c = pixel{sample(rng() % 9) * step, sample(rng() % 9) * step, sample(rng() % 9) * step};
            c = pixel{std::min(c.r, maxval), std::min(c.g, maxval), std::min(c.b, maxval)};
            break;
        default:  // a tight cluster, far from most colours looked up
            c = pixel{clampTo(centre.r + static_cast<long long>(rng() % 5), maxval),
                      clampTo(centre.g + static_cast<long long>(rng() % 5), maxval),
                      clampTo(centre.b + static_cast<long long>(rng() % 5), maxval)};
        }
        map.push_back(color_count{c, 0});
    }
    // Duplicates at higher indices, then the surplus black of a median cut.
    for (int i = 0; i < size / 4; ++i)
        map.push_back(map[rng() % map.size()]);
    map.resize(map.size() + rng() % 20, color_count{pixel{0, 0, 0}, 0});
    return map;
}

void expectAgreement(const std::vector<color_count> &map, sample maxval, std::mt19937 &rng,
                     std::size_t poolLimit, const std::string &what) {
    quantize::NearestColorIndex index(map.data(), static_cast<int>(map.size()), maxval, poolLimit);
    for (const pixel &c : probes(rng, map, maxval, 400)) {
        const int expected = linearScan(map, c, maxval);
        ASSERT_EQ(index.nearest(c.r, c.g, c.b), expected)
            << what << ", colour (" << c.r << ", " << c.g << ", " << c.b << ")";
    }
}

TEST(NearestColorIndex, AgreesWithTheLinearScan) {
    std::mt19937 rng(21);
    const sample maxvals[] = {0, 1, 7, 63, 255, 256, 1023, 65535};
    const int sizes[] = {1, 2, 7, 40, 256, 1500};
    for (int trial = 0; trial < fastpathtest::trials(1); ++trial)
        for (sample maxval : maxvals)
            for (int size : sizes)
                for (int kind = 0; kind < 3; ++kind) {
                    const auto map = randomMap(rng, size, maxval, kind);
                    expectAgreement(map, maxval, rng, quantize::NearestColorIndex::kPoolLimit,
                                    "maxval " + std::to_string(maxval) + ", " +
                                        std::to_string(size) + " entries, kind " + std::to_string(kind));
                }
}

TEST(NearestColorIndex, StaysExactWhenCandidateListsRunOutOfRoom) {
    std::mt19937 rng(4);
    for (std::size_t limit : {std::size_t{0}, std::size_t{300}, std::size_t{5000}})
        for (sample maxval : {sample(255), sample(65535)}) {
            const auto map = randomMap(rng, 300, maxval, 0);
            expectAgreement(map, maxval, rng, limit, "pool limit " + std::to_string(limit));
        }
}

// Every colour of a cell has its nearest entry among the cell's candidates,
// which come in map order.
TEST(NearestColorIndex, CellCandidatesHoldTheNearestOfEveryColourInTheCell) {
    std::mt19937 rng(12);
    struct Case {
        sample maxval;
        int size;
        unsigned shift;
    };
    const Case cases[] = {{255, 256, 2}, {255, 40, 3}, {255, 1500, 2}, {100, 300, 2},
                          {7, 20, 1},    {0, 3, 0},    {1023, 200, 3}, {65535, 100, 2}};
    for (int trial = 0; trial < fastpathtest::trials(1); ++trial)
        for (const Case &c : cases)
            for (int kind = 0; kind < 3; ++kind) {
                const auto map = randomMap(rng, c.size, c.maxval, kind);
                quantize::NearestColorIndex index(map.data(), static_cast<int>(map.size()), c.maxval);
                for (int cell = 0; cell < 20; ++cell) {
                    // Cells around entries, where the lists are longest, and anywhere.
                    const pixel at = cell % 2 ? map[rng() % map.size()].color : randomColor(rng, c.maxval);
                    const sample lo[3] = {at.r >> c.shift << c.shift, at.g >> c.shift << c.shift,
                                          at.b >> c.shift << c.shift};
                    std::vector<std::uint32_t> ids{7};  // appended to, not replaced
                    ASSERT_FALSE(index.cellCandidates(lo, c.shift, 0, &ids));
                    ASSERT_EQ(ids.size(), 1u);
                    ASSERT_TRUE(index.cellCandidates(lo, c.shift, map.size(), &ids));
                    ASSERT_EQ(ids[0], 7u);
                    ids.erase(ids.begin());
                    ASSERT_TRUE(std::is_sorted(ids.begin(), ids.end()));
                    std::vector<int> indices;
                    for (std::uint32_t id : ids)
                        indices.push_back(index.indexOf(id));
                    const sample side = sample{1} << c.shift;
                    for (sample r = lo[0]; r < lo[0] + side && r <= c.maxval; ++r)
                        for (sample g = lo[1]; g < lo[1] + side && g <= c.maxval; ++g)
                            for (sample b = lo[2]; b < lo[2] + side && b <= c.maxval; ++b) {
                                const int expected = linearScan(map, pixel{r, g, b}, c.maxval);
                                ASSERT_NE(std::find(indices.begin(), indices.end(), expected), indices.end())
                                    << "maxval " << c.maxval << ", kind " << kind << ", colour (" << r
                                    << ", " << g << ", " << b << ")";
                            }
                }
            }
}

TEST(NearestColorIndex, KeepsOnlyTheFirstOfEachColour) {
    const std::vector<color_count> map = {{{0, 0, 0}, 0},   {{9, 9, 9}, 0}, {{0, 0, 0}, 0},
                                          {{9, 9, 9}, 0},   {{0, 0, 0}, 0}, {{0, 0, 0}, 0},
                                          {{5, 5, 5}, 0}};
    quantize::NearestColorIndex index(map.data(), static_cast<int>(map.size()), 255);
    EXPECT_EQ(index.distinctCount(), 3u);
    EXPECT_EQ(index.nearest(8, 8, 8), 1);
    EXPECT_EQ(index.nearest(5, 5, 6), 6);
    // (2, 2, 2): 12 from black, 27 from (5, 5, 5).
    EXPECT_EQ(index.nearest(2, 2, 2), 0);
}

}  // namespace
