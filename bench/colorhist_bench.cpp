// Counting the colours of large images: the histogram counter the quantizer
// runs on every input (once per maxval reduction), against the public
// chained hash table, including the bail-out at the quantizer's limit.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Image {
    int cols = 0, rows = 0;
    std::vector<pixel> raster;
    std::vector<pixel *> rowIndex;

    void resize(int c, int r) {
        cols = c;
        rows = r;
        raster.resize(static_cast<std::size_t>(c) * r);
        rowIndex.clear();
        for (int y = 0; y < r; ++y)
            rowIndex.push_back(raster.data() + static_cast<std::size_t>(y) * c);
    }
};

enum Kind { Photo, Noise };

// The sample photograph beside the sources, enlarged to 4096 columns with
// bilinear interpolation: a 11-megapixel picture of some 400000 colours
// with the local sameness of a real photograph.
bool makePhoto(Image &img) {
    const std::string path = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) +
                             "/../examples/coffee.ppm";
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    int sc, sr;
    sample maxval;
    pixel **src = ppm_readppm(f, &sc, &sr, &maxval);
    std::fclose(f);
    const int cols = 4096, rows = 4096 * sr / sc;
    img.resize(cols, rows);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const double fx = x * (sc - 1.0) / (cols - 1), fy = y * (sr - 1.0) / (rows - 1);
            const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
            const int x1 = x0 + 1 < sc ? x0 + 1 : x0, y1 = y0 + 1 < sr ? y0 + 1 : y0;
            const double ax = fx - x0, ay = fy - y0;
            auto mix = [&](sample pixel::*c) {
                const double top = (1 - ax) * (src[y0][x0].*c) + ax * (src[y0][x1].*c);
                const double bottom = (1 - ax) * (src[y1][x0].*c) + ax * (src[y1][x1].*c);
                return static_cast<sample>((1 - ay) * top + ay * bottom + 0.5);
            };
            img.rowIndex[y][x] = pixel{mix(&pixel::r), mix(&pixel::g), mix(&pixel::b)};
        }
    pm_freearray(reinterpret_cast<void **>(src), sr);
    return true;
}

// Every pixel drawn at random from 400000 colours: the worst case for any
// cache, and for chains of a fixed number of buckets.
void makeNoise(Image &img) {
    img.resize(4096, 4096);
    std::mt19937 gen(42);
    std::uniform_int_distribution<sample> s(0, 255);
    std::vector<pixel> palette(400000);
    for (pixel &p : palette)
        p = pixel{s(gen), s(gen), s(gen)};
    std::uniform_int_distribution<std::size_t> pick(0, palette.size() - 1);
    for (pixel &p : img.raster)
        p = palette[pick(gen)];
}

// The image with its maxval (255) halved `reductions` times, samples
// rescaled as the quantizer does; null if the photograph is missing.
const Image *image(Kind kind, int reductions) {
    static std::map<std::pair<Kind, int>, Image> cache;
    auto found = cache.find({kind, reductions});
    if (found != cache.end())
        return found->second.cols ? &found->second : nullptr;
    Image &img = cache[{kind, reductions}];
    if (reductions > 0) {
        const Image *wider = image(kind, reductions - 1);
        if (wider == nullptr)
            return nullptr;
        const sample oldMaxval = 255u >> (reductions - 1), newMaxval = oldMaxval / 2;
        img = *wider;
        img.resize(wider->cols, wider->rows);
        for (pixel &p : img.raster)
            p = pixel{p.r * newMaxval / oldMaxval, p.g * newMaxval / oldMaxval, p.b * newMaxval / oldMaxval};
    } else if (kind == Photo) {
        if (!makePhoto(img))
            return nullptr;
    } else {
        makeNoise(img);
    }
    return &img;
}

template <typename Count>
void run(benchmark::State &state, Count count) {
    const Image *img = image(static_cast<Kind>(state.range(0)), static_cast<int>(state.range(1)));
    if (img == nullptr) {
        state.SkipWithError("examples/coffee.ppm not found");
        return;
    }
    const int maxcolors = static_cast<int>(state.range(2));
    int colors = 0;
    for (auto _ : state)
        count(const_cast<pixel **>(img->rowIndex.data()), img->cols, img->rows, maxcolors, &colors);
    state.counters["colors"] = colors;
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(img->cols) * img->rows);
}

void BM_ComputeColorHist(benchmark::State &state) {
    run(state, [](pixel **pixels, int cols, int rows, int maxcolors, int *colorsP) {
        color_histogram chv = ppm_computecolorhist(pixels, cols, rows, maxcolors, colorsP);
        benchmark::DoNotOptimize(chv);
        if (chv)
            ppm_freecolorhist(chv);
    });
}

// The same count on the public chained table, for comparison.
void BM_ComputeColorHash(benchmark::State &state) {
    run(state, [](pixel **pixels, int cols, int rows, int maxcolors, int *colorsP) {
        color_hash cht = ppm_computecolorhash(pixels, cols, rows, maxcolors, colorsP);
        benchmark::DoNotOptimize(cht);
        if (cht)
            ppm_freecolorhash(cht);
    });
}

void countArgs(benchmark::internal::Benchmark *b) {
    b->ArgNames({"kind", "halvings", "maxcolors"});
    b->Args({Photo, 0, 0});  // every colour of the photograph
    // The quantizer's passes: over the limit at maxval 255 and 127 (it
    // stops at colour 32768), under it at 63 (a full count).
    b->Args({Photo, 0, 32767});
    b->Args({Photo, 1, 32767});
    b->Args({Photo, 2, 32767});
    b->Args({Noise, 0, 0});
    b->Args({Noise, 0, 32767});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ComputeColorHist)->Apply(countArgs);
BENCHMARK(BM_ComputeColorHash)->Apply(countArgs);

}  // namespace

BENCHMARK_MAIN();
