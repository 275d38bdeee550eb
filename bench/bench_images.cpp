// Deterministic test images for the quantizer benchmarks, written as raw
// PPM. Every image depends only on the arguments, so runs on different
// machines time the same work.
//
//   bench_images synthetic COLS ROWS OUT      photo-like: smooth gradients,
//                                             hard-edged shapes, fine noise
//   bench_images scale IN COLS ROWS OUT       IN enlarged by bilinear
//                                             interpolation, a little grain
//   bench_images posterize IN LEVELS OUT      IN cut to LEVELS steps a channel
//   bench_images palette IN COUNT OUT         COUNT distinct colours of IN (as
//                                             a one-row map image), topped up
//                                             with random colours if IN has
//                                             fewer
//   bench_images deep IN OUT                  IN at maxval 65535 with the low
//                                             byte filled by noise
//
// Each command reports the image's distinct colours on standard error.
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

struct Image {
    int cols = 0, rows = 0;
    sample maxval = 255;
    std::vector<pixel> px;
    pixel &at(int x, int y) { return px[static_cast<std::size_t>(y) * cols + x]; }
};

// A small deterministic generator (xorshift64*), the same on every platform.
struct Random {
    std::uint64_t s;
    explicit Random(std::uint64_t seed) : s(seed * 2654435761u + 1) {}
    std::uint32_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return static_cast<std::uint32_t>((s * 2685821657736338717ull) >> 32);
    }
    double unit() { return next() / 4294967296.0; }
    // Roughly normal, mean 0, deviation about 1.
    double normal() { return (unit() + unit() + unit() + unit() - 2.0) * 1.7; }
};

Image readPpm(const char *path) {
    FILE *f = pm_openr(path);
    Image img;
    pixel **rows = ppm_readppm(f, &img.cols, &img.rows, &img.maxval);
    pm_close(f);
    img.px.resize(static_cast<std::size_t>(img.cols) * img.rows);
    for (int y = 0; y < img.rows; ++y)
        std::copy(rows[y], rows[y] + img.cols, img.px.begin() + static_cast<std::ptrdiff_t>(y) * img.cols);
    pm_freearray(reinterpret_cast<void **>(rows), img.rows);
    return img;
}

void writePpm(const Image &img, const char *path) {
    FILE *f = pm_openw(path);
    ppm_writeppminit(f, img.cols, img.rows, img.maxval, 0);
    for (int y = 0; y < img.rows; ++y)
        ppm_writeppmrow(f, img.px.data() + static_cast<std::size_t>(y) * img.cols, img.cols,
                        img.maxval, 0);
    pm_close(f);
}

std::size_t distinctColors(const Image &img) {
    std::unordered_set<std::uint64_t> seen;
    for (const pixel &p : img.px)
        seen.insert((std::uint64_t{p.r} << 32) ^ (std::uint64_t{p.g} << 16) ^ p.b);
    return seen.size();
}

sample clampSample(double v, sample maxval) {
    if (v < 0)
        return 0;
    if (v > maxval)
        return maxval;
    return static_cast<sample>(std::lround(v));
}

// Smooth colour fields from a few low-frequency waves, shapes of flat or
// shaded colour with hard edges on top, and sensor-like noise.
Image synthetic(int cols, int rows) {
    Image img;
    img.cols = cols;
    img.rows = rows;
    img.px.resize(static_cast<std::size_t>(cols) * rows);
    Random rnd(7);
    struct Wave {
        double fx, fy, phase, amp;
    };
    Wave waves[3][3];
    for (auto &channel : waves)
        for (Wave &w : channel)
            w = {rnd.unit() * 6.0, rnd.unit() * 6.0, rnd.unit() * 6.283, 30 + rnd.unit() * 40};
    struct Shape {
        double cx, cy, rx, ry;
        bool ellipse;
        double r, g, b, shade;
    };
    std::vector<Shape> shapes(40);
    for (Shape &s : shapes)
        s = {rnd.unit(), rnd.unit(), 0.02 + rnd.unit() * 0.2, 0.02 + rnd.unit() * 0.2,
             rnd.next() % 2 == 0, rnd.unit() * 255, rnd.unit() * 255, rnd.unit() * 255,
             rnd.unit() * 80 - 40};
    for (int y = 0; y < rows; ++y) {
        const double v = static_cast<double>(y) / rows;
        for (int x = 0; x < cols; ++x) {
            const double u = static_cast<double>(x) / cols;
            double c[3];
            for (int k = 0; k < 3; ++k) {
                c[k] = 128;
                for (const Wave &w : waves[k])
                    c[k] += w.amp * std::sin(6.283 * (w.fx * u + w.fy * v) + w.phase);
            }
            for (const Shape &s : shapes) {
                const double dx = (u - s.cx) / s.rx, dy = (v - s.cy) / s.ry;
                const bool inside = s.ellipse ? dx * dx + dy * dy < 1
                                              : std::fabs(dx) < 1 && std::fabs(dy) < 1;
                if (inside) {
                    const double shade = s.shade * dx;
                    c[0] = s.r + shade;
                    c[1] = s.g + shade;
                    c[2] = s.b + shade;
                }
            }
            const double grain = 2.5;
            img.at(x, y) = pixel{clampSample(c[0] + grain * rnd.normal(), 255),
                                 clampSample(c[1] + grain * rnd.normal(), 255),
                                 clampSample(c[2] + grain * rnd.normal(), 255)};
        }
    }
    return img;
}

Image scale(const Image &src, int cols, int rows) {
    Image img;
    img.cols = cols;
    img.rows = rows;
    img.maxval = src.maxval;
    img.px.resize(static_cast<std::size_t>(cols) * rows);
    Random rnd(11);
    for (int y = 0; y < rows; ++y) {
        const double sy = std::max(0.0, (y + 0.5) * src.rows / rows - 0.5);
        const int y0 = std::min(static_cast<int>(sy), src.rows - 1);
        const int y1 = std::min(y0 + 1, src.rows - 1);
        const double fy = sy - y0;
        for (int x = 0; x < cols; ++x) {
            const double sx = std::max(0.0, (x + 0.5) * src.cols / cols - 0.5);
            const int x0 = std::min(static_cast<int>(sx), src.cols - 1);
            const int x1 = std::min(x0 + 1, src.cols - 1);
            const double fx = sx - x0;
            const pixel &a = src.px[static_cast<std::size_t>(y0) * src.cols + x0];
            const pixel &b = src.px[static_cast<std::size_t>(y0) * src.cols + x1];
            const pixel &c = src.px[static_cast<std::size_t>(y1) * src.cols + x0];
            const pixel &d = src.px[static_cast<std::size_t>(y1) * src.cols + x1];
            auto mix = [&](sample pa, sample pb, sample pc, sample pd) {
                const double top = pa + (static_cast<double>(pb) - pa) * fx;
                const double bottom = pc + (static_cast<double>(pd) - pc) * fx;
                return clampSample(top + (bottom - top) * fy + 0.8 * rnd.normal(), src.maxval);
            };
            img.at(x, y) = pixel{mix(a.r, b.r, c.r, d.r), mix(a.g, b.g, c.g, d.g),
                                 mix(a.b, b.b, c.b, d.b)};
        }
    }
    return img;
}

Image posterize(Image img, int levels) {
    const sample m = img.maxval;
    for (pixel &p : img.px)
        for (sample *s : {&p.r, &p.g, &p.b}) {
            const sample step = static_cast<sample>(static_cast<std::uint64_t>(*s) * levels / (m + 1));
            *s = static_cast<sample>(static_cast<std::uint64_t>(step) * m / (levels - 1));
        }
    return img;
}

Image palette(const Image &src, int count) {
    std::vector<pixel> colors;
    std::unordered_set<std::uint64_t> seen;
    Random rnd(13);
    auto add = [&](const pixel &p) {
        if (seen.insert((std::uint64_t{p.r} << 32) ^ (std::uint64_t{p.g} << 16) ^ p.b).second)
            colors.push_back(p);
    };
    // Random pixels first, so that the map follows the image's own spread.
    for (std::size_t tries = 0; colors.size() < static_cast<std::size_t>(count) && tries < 20u * count; ++tries)
        add(src.px[rnd.next() % src.px.size()]);
    while (colors.size() < static_cast<std::size_t>(count))
        add(pixel{rnd.next() % (src.maxval + 1), rnd.next() % (src.maxval + 1), rnd.next() % (src.maxval + 1)});
    Image img;
    img.cols = count;
    img.rows = 1;
    img.maxval = src.maxval;
    img.px = colors;
    return img;
}

Image deep(Image img) {
    Random rnd(17);
    for (pixel &p : img.px)
        for (sample *s : {&p.r, &p.g, &p.b}) {
            const double wide = img.maxval == 0 ? 0.0 : *s * 65535.0 / img.maxval;
            *s = clampSample(wide + (static_cast<int>(rnd.next() & 0xff) - 128), 65535);
        }
    img.maxval = 65535;
    return img;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_images synthetic COLS ROWS OUT | scale IN COLS ROWS OUT |\n"
                 "       posterize IN LEVELS OUT | palette IN COUNT OUT | deep IN OUT\n");
    std::exit(2);
}

int number(const char *text) {
    char *end;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < 1 || v > 100000)
        usage();
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char *argv[]) {
    pm_init("bench_images", 0);
    if (argc < 2)
        usage();
    const std::string what = argv[1];
    Image out;
    const char *path;
    if (what == "synthetic" && argc == 5) {
        out = synthetic(number(argv[2]), number(argv[3]));
        path = argv[4];
    } else if (what == "scale" && argc == 6) {
        out = scale(readPpm(argv[2]), number(argv[3]), number(argv[4]));
        path = argv[5];
    } else if (what == "posterize" && argc == 5) {
        const int levels = number(argv[3]);
        if (levels < 2)
            usage();
        out = posterize(readPpm(argv[2]), levels);
        path = argv[4];
    } else if (what == "palette" && argc == 5) {
        out = palette(readPpm(argv[2]), number(argv[3]));
        path = argv[4];
    } else if (what == "deep" && argc == 4) {
        out = deep(readPpm(argv[2]));
        path = argv[3];
    } else {
        usage();
    }
    writePpm(out, path);
    std::fprintf(stderr, "%s: %d x %d, maxval %u, %zu colours\n", path, out.cols, out.rows,
                 out.maxval, distinctColors(out));
    return 0;
}
