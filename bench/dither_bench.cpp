// The dithered conversion alone: every row of an image, serpentine, from
// seeded starting errors, into raw bytes, with the colour map quantize would
// choose (or that of a map file), through a fresh converter (cold) and
// through one that has seen the image before (warm). Reports the time a
// pixel. Usage: dither_bench [benchmark flags] IMAGE [COLORS | MAPFILE]
// (256 colours by default).
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fast_convert.h"
#include "floyd.h"
#include "packed_colormap_source.h"
#include "packed_image.h"

using namespace quantize;

namespace {

struct Setup {
    PackedImage image;
    color_histogram map = nullptr;
    int colors = 0;
    sample maxval = 0;
    SampleScale scale;
};

// Every row of the image, dithered into raw output bytes as the program
// writes them (into pixels above maxval 255).
void ditherImage(FastConverter &converter, const Setup &s, std::vector<pixel> &out) {
    fserr_state fs;
    initFserrSeeded(&fs, s.image.cols, 7);
    for (int row = 0; row < s.image.rows; ++row) {
        if (s.image.isNarrow())
            converter.convertDitheredBytes(s.image.row<std::uint32_t>(row), s.image.cols,
                                           reinterpret_cast<unsigned char *>(out.data()), &fs);
        else
            converter.convert(s.image.row<std::uint64_t>(row), s.image.cols, out.data(), &fs);
    }
    benchmark::DoNotOptimize(out.data());
    freeFserr(&fs);
}

// cold: a fresh converter each time, which searches every colour it meets
// first; warm: one converter whose table already holds them, the loop alone.
void convertAll(benchmark::State &state, const Setup &s, bool warm) {
    std::vector<pixel> out(static_cast<std::size_t>(s.image.cols));
    std::unique_ptr<FastConverter> converter;
    for (auto _ : state) {
        if (!warm || !converter) {
            state.PauseTiming();
            converter = std::make_unique<FastConverter>(s.map, s.colors, s.maxval, s.scale);
            converter->expectPixels(std::uint64_t(s.image.cols) * s.image.rows);
            if (warm)
                ditherImage(*converter, s, out);
            state.ResumeTiming();
        }
        ditherImage(*converter, s, out);
    }
    const double pixels = double(s.image.cols) * s.image.rows;
    state.counters["ns_per_pixel"] =
        benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char *argv[]) {
    benchmark::Initialize(&argc, argv);
    pm_init("dither_bench", 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dither_bench [benchmark flags] IMAGE [COLORS | MAPFILE]\n");
        return 1;
    }
    static Setup s;
    s.image = readPackedImage(argv[1]);
    const std::string what = argc > 2 ? argv[2] : "256";
    if (what.find_first_not_of("0123456789") == std::string::npos) {
        computeChosenColorMapPacked(s.image, std::atoi(what.c_str()), true, &s.map, &s.colors, &s.maxval, &s.scale);
    } else {
        const PackedImage map = readPackedImage(what.c_str());
        computeColorMapFromMapPacked(s.image, map, &s.map, &s.colors, &s.scale);
        s.maxval = map.maxval;
    }
    for (const bool warm : {false, true})
        benchmark::RegisterBenchmark(warm ? "dither_warm" : "dither_cold",
                                     [warm](benchmark::State &state) { convertAll(state, s, warm); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    ppm_freecolorhist(s.map);
    return 0;
}
