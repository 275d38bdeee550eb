// The pruned search against the linear scan of searchColormap, on maps made
// to break it: duplicates, surplus black, ties on a lattice, clusters far
// from the colours looked up, both distance forms.
#include "nearest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "quantize_testutil.h"
#include "search.h"

namespace {

using quantizetest::Compared;
using quantizetest::randomColor;

int linearScan(const std::vector<color_count> &map, const pixel &c, sample maxval) {
    quantize::usehash = 0;
    int index = -1;
    quantize::searchColormap(map.data(), static_cast<int>(map.size()), c.r, c.g, c.b, maxval, &index);
    return index;
}

sample near(sample s, int offset, sample maxval) {
    return static_cast<sample>(std::clamp<long long>(static_cast<long long>(s) + offset, 0, maxval));
}

struct MapCase {
    sample maxval;
    int size, kind;  // kind 0: random, 1: a lattice, 2: a tight cluster
    std::size_t poolLimit = quantize::NearestColorIndex::kPoolLimit;
};

// Then duplicates at higher indices, then the surplus black of a median cut.
std::vector<color_count> randomMap(std::mt19937 &rng, const MapCase &c) {
    std::vector<color_count> map;
    const pixel centre = randomColor(rng, c.maxval);
    const sample step = c.maxval / 8 + 1;
    for (int i = 0; i < c.size; ++i) {
        pixel p = randomColor(rng, c.maxval);
        if (c.kind == 1)  // many colours equidistant from several entries
            p = pixel{near(rng() % 9 * step, 0, c.maxval), near(rng() % 9 * step, 0, c.maxval),
                      near(rng() % 9 * step, 0, c.maxval)};
        else if (c.kind == 2)  // far from most colours looked up
            p = pixel{near(centre.r, rng() % 5, c.maxval), near(centre.g, rng() % 5, c.maxval),
                      near(centre.b, rng() % 5, c.maxval)};
        map.push_back(color_count{p, 0});
    }
    for (int i = 0; i < c.size / 4; ++i)
        map.push_back(map[rng() % map.size()]);
    map.resize(map.size() + rng() % 20, color_count{pixel{0, 0, 0}, 0});
    return map;
}

// Also, the nearest entry of every colour of a cell must be among the cell's
// candidates, which keep map order so that ties still go to the lowest index.
TEST(NearestColorIndex, AgreesWithTheLinearScan) {
    std::vector<MapCase> cases;
    for (sample maxval : {0, 1, 7, 63, 100, 255, 256, 1023, 65535})
        for (int size : {1, 2, 7, 40, 256, 1500})
            for (int kind = 0; kind < 3; ++kind)
                cases.push_back(MapCase{maxval, size, kind});
    for (std::size_t limit : {0, 300, 5000})  // candidate lists that run out of room
        for (sample maxval : {255, 65535})
            cases.push_back(MapCase{maxval, 300, 0, limit});
    quantizetest::differential(21, 1, cases, [](std::mt19937 &rng, const MapCase &c) {
        const auto map = randomMap(rng, c);
        quantize::NearestColorIndex index(map.data(), static_cast<int>(map.size()), c.maxval, c.poolLimit);
        Compared<std::pair<pixel, int>> r{"maxval " + std::to_string(c.maxval) + ", " + std::to_string(map.size()) +
                                          " entries, kind " + std::to_string(c.kind) + ", limit " +
                                          std::to_string(c.poolLimit)};
        // Where mistakes show: corners, random colours, entries, colours
        // near them, midpoints of two entries.
        std::vector<pixel> probes{{0, 0, 0}, {c.maxval, c.maxval, c.maxval}, {c.maxval, 0, c.maxval}};
        for (int i = 0; i < 400; ++i) {
            const pixel &a = map[rng() % map.size()].color;
            const pixel &b = map[rng() % map.size()].color;
            const int d = static_cast<int>(rng() % 9) - 4;
            const pixel choices[] = {randomColor(rng, c.maxval), a, {(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2},
                                     {near(a.r, d, c.maxval), near(a.g, -d, c.maxval), near(a.b, 3 * d, c.maxval)}};
            probes.push_back(choices[i % 4]);
        }
        for (const pixel &p : probes) {
            r.oracle.emplace_back(p, linearScan(map, p, c.maxval));
            r.fast.emplace_back(p, index.nearest(p.r, p.g, p.b));
        }
        for (int cell = 0; cell < 4; ++cell) {
            // Cells around entries, where the lists are longest, and anywhere.
            const unsigned shift = rng() % 4;
            const pixel at = cell % 2 ? map[rng() % map.size()].color : randomColor(rng, c.maxval);
            const sample lo[3] = {at.r >> shift << shift, at.g >> shift << shift, at.b >> shift << shift};
            std::vector<std::uint32_t> ids;
            EXPECT_TRUE(index.cellCandidates(lo, shift, map.size(), &ids)) << r.what;
            std::vector<color_count> candidates;
            for (std::uint32_t id : ids)
                candidates.push_back(map[index.indexOf(id)]);
            const sample side = 1u << shift;
            for (sample red = lo[0]; red < lo[0] + side && red <= c.maxval; ++red)
                for (sample green = lo[1]; green < lo[1] + side && green <= c.maxval; ++green)
                    for (sample blue = lo[2]; blue < lo[2] + side && blue <= c.maxval; ++blue) {
                        const pixel p{red, green, blue};
                        r.oracle.emplace_back(p, linearScan(map, p, c.maxval));
                        const int best = candidates.empty() ? -1 : linearScan(candidates, p, c.maxval);
                        r.fast.emplace_back(p, best < 0 ? -1 : index.indexOf(ids[best]));
                    }
        }
        return r;
    });
}

}  // namespace
