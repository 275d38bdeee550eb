// Shared by the quantizer's unit tests: readable, comparable colours.
#ifndef QUANTIZE_TESTUTIL_H
#define QUANTIZE_TESTUTIL_H

#include <kestrum/colormap.h>

#include <ostream>
#include <vector>

inline bool operator==(const pixel &a, const pixel &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
inline void PrintTo(const pixel &p, std::ostream *os) {
    *os << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}

namespace quantizetest {

inline std::vector<pixel> colorsOf(const color_count *map, int n) {
    std::vector<pixel> colors;
    for (int i = 0; i < n; ++i)
        colors.push_back(map[i].color);
    return colors;
}

inline std::vector<color_count> histogram(std::initializer_list<std::pair<pixel, int>> entries) {
    std::vector<color_count> h;
    for (const auto &e : entries)
        h.push_back(color_count{e.first, e.second});
    return h;
}

}  // namespace quantizetest

#endif
