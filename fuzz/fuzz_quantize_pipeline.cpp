// The whole run of the quantizer on small images, as its main drives it:
// read the input (and a map image) into the packed form, choose the colour
// map by median cut or from the map, convert every row (with or without
// dithering) and write the image to memory. A run that completes must have
// written one PPM image of the input's size whose every pixel is a colour of
// the map, and the same bytes as the straightforward path (row arrays,
// rescaled in place, linear search through the colour cache); a refused
// input must be refused by both. (The random starting errors of dithering
// come from one fixed seed here, so dithered runs compare too.) Only the
// straightforward path, whose blocks come from malloc, sees refused inputs
// of any size: a packed reader interrupted by a fatal path leaves blocks that
// cannot be freed, so it gets them only when their claims are tiny.
//
// Input layout: a flags byte (1: dither, 2: map image, 4: plain output), the
// number of colours less 2, and with a map image two bytes (big-endian) of
// its length followed by the map image; the rest is the input image.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "colormap_source.h"
#include "fast_convert.h"
#include "floyd.h"
#include "harness.h"
#include "image_input.h"
#include "packed_colormap_source.h"
#include "packed_image.h"
#include "search.h"

using namespace fuzzharness;
using namespace quantize;

namespace {

// Small images keep each run fast: median cut, search and dithering are
// linear or worse in the pixels.
constexpr long long kMaxRunPixels = 1 << 16;
constexpr long long kMaxRefusedPixels = 256;

struct Run {
    bool floyd, useMap;
    int requestedColors;
    std::string inputPath, mapPath;
    FILE *out = nullptr;  // a memory stream, owned by the caller
    // Held here, not in the guarded body, so that they are destroyed even
    // when a fatal path ends the run.
    std::optional<PackedImage> image, map;
    // What the run wrote: its size and maxval, and the colour map.
    int cols = 0, rows = 0;
    sample maxval = 0;
    std::vector<pixel> colormap;
};

// The driver's steps, as main runs them, writing to run.out.
void quantizeRun(Run &run) {
    run.image = readPackedImage(run.inputPath.c_str());
    const PackedImage &image = *run.image;
    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    SampleScale scale;
    if (run.useMap) {
        run.map = readPackedImage(run.mapPath.c_str());
        if (run.map->cols == 0 || run.map->rows == 0)
            pm_error("colormap in file '%s' contains no pixels", run.mapPath.c_str());
        computeColorMapFromMapPacked(image, *run.map, &colormap, &newcolors, &scale);
        newmaxval = run.map->maxval;
    } else {
        newcolors = run.requestedColors;
        computeColorMapFromInputPacked(image, newcolors, &colormap, &newmaxval, &scale);
    }

    ppm_writeppminit(run.out, image.cols, image.rows, newmaxval, 0);
    fserr_state fs{};
    if (run.floyd)
        initFserr(&fs, image.cols);
    {
        FastConverter converter(colormap, newcolors, newmaxval, std::move(scale));
        std::vector<pixel> out(static_cast<std::size_t>(image.cols));
        for (int row = 0; row < image.rows; ++row) {
            image.dispatch([&](auto word) {
                using Word = decltype(word);
                converter.convert(image.row<Word>(row), image.cols, out.data(),
                                  run.floyd ? &fs : nullptr);
            });
            ppm_writeppmrow(run.out, out.data(), image.cols, newmaxval, 0);
        }
    }
    run.cols = image.cols;
    run.rows = image.rows;
    run.maxval = newmaxval;
    for (int i = 0; i < newcolors; ++i)
        run.colormap.push_back(colormap[i].color);
    if (run.floyd)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
}

bool samePixel(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

// The same run the straightforward way, writing to run.out.
void referenceRun(Run &run) {
    int cols, rows;
    sample maxval;
    pixel **pixels = readImage(run.inputPath.c_str(), &cols, &rows, &maxval);

    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    if (run.useMap) {
        int mapcols, maprows;
        sample mapmaxval;
        pixel **mappixels = readImage(run.mapPath.c_str(), &mapcols, &maprows, &mapmaxval);
        if (mapcols == 0 || maprows == 0)
            pm_error("colormap in file '%s' contains no pixels", run.mapPath.c_str());
        computeColorMapFromMap(pixels, cols, rows, maxval, mappixels, mapcols, maprows, mapmaxval,
                               &colormap, &newcolors);
        newmaxval = mapmaxval;
        pm_freearray(reinterpret_cast<void **>(mappixels), maprows);
    } else {
        newcolors = run.requestedColors;
        computeColorMapFromInput(pixels, cols, rows, maxval, newcolors, &colormap, &newmaxval);
    }

    FILE *out = run.out;
    ppm_writeppminit(out, cols, rows, newmaxval, 0);
    cht = ppm_alloccolorhash();
    usehash = 1;
    fserr_state fs{};
    if (run.floyd)
        initFserr(&fs, cols);
    for (int row = 0; row < rows; ++row) {
        convertRow(pixels[row], cols, newmaxval, colormap, newcolors, run.floyd, &fs);
        ppm_writeppmrow(out, pixels[row], cols, newmaxval, 0);
    }
    ppm_freecolorhash(cht);
    cht = nullptr;
    if (run.floyd)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
}

// The pixels, columns and rows the header claims (0 for a bad header).
long long claimedPixels(const uint8_t *data, size_t size) {
    FILE *file = memoryStream(data, size);
    int cols = 0, rows = 0;
    sample maxval;
    format_code format;
    guarded([&] { ppm_readppminit(file, &cols, &rows, &maxval, &format); });
    fclose(file);
    return static_cast<long long>(cols) * rows + cols + rows;
}

// Reads back what a completed run wrote: the input's size, the map's maxval,
// and nothing but map colours.
void checkOutput(const Run &run, const char *output, size_t outputSize) {
    FILE *written = memoryStream(reinterpret_cast<const uint8_t *>(output), outputSize);
    int cols, rows;
    sample maxval;
    pixel **result = ppm_readppm(written, &cols, &rows, &maxval);
    FUZZ_CHECK(fgetc(written) == EOF);
    fclose(written);
    FUZZ_CHECK(cols == run.cols && rows == run.rows && maxval == run.maxval);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col) {
            bool inMap = false;
            for (size_t i = 0; i < run.colormap.size() && !inMap; ++i)
                inMap = samePixel(result[row][col], run.colormap[i]);
            FUZZ_CHECK(inMap);
        }
    pm_freearray(reinterpret_cast<void **>(result), rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    struct PlainOutputReset {
        ~PlainOutputReset() { pm_plain_output = 0; }
    } plainOutputReset;
    Run run, ref;
    run.floyd = data[0] & 1;
    run.useMap = data[0] & 2;
    pm_plain_output = (data[0] & 4) ? 1 : 0;
    run.requestedColors = data[1] + 2;
    size_t pos = 2;
    const uint8_t *map = nullptr;
    size_t mapSize = 0;
    if (run.useMap) {
        if (size < 4)
            return 0;
        mapSize = std::min<size_t>(static_cast<size_t>(data[2]) << 8 | data[3], size - 4);
        map = data + 4;
        pos = 4 + mapSize;
    }
    const long long claim = std::max(claimedPixels(data + pos, size - pos),
                                     run.useMap ? claimedPixels(map, mapSize) : 0);
    if (claim > kMaxRunPixels)
        return 0;
    run.inputPath = scratchFile("input", data + pos, size - pos);
    run.mapPath = scratchFile("map", map, mapSize);
    ref.floyd = run.floyd;
    ref.useMap = run.useMap;
    ref.requestedColors = run.requestedColors;
    ref.inputPath = run.inputPath;
    ref.mapPath = run.mapPath;

    char *output = nullptr, *reference = nullptr;
    size_t outputSize = 0, referenceSize = 0;
    ref.out = open_memstream(&reference, &referenceSize);
    int refStatus = 0, runStatus = 0;
    const bool refCompleted = guarded([&] { referenceRun(ref); }, &refStatus);
    FUZZ_CHECK(fclose(ref.out) == 0);
    cht = nullptr;
    usehash = 0;
    if (refCompleted || claim <= kMaxRefusedPixels) {
        run.out = open_memstream(&output, &outputSize);
        const bool completed = guarded([&] { quantizeRun(run); }, &runStatus);
        FUZZ_CHECK(fclose(run.out) == 0);
        run.image.reset();
        run.map.reset();
        FUZZ_CHECK(completed == refCompleted);
        if (completed) {
            FUZZ_CHECK(outputSize == referenceSize && memcmp(output, reference, outputSize) == 0);
            FUZZ_CHECK(guarded([&] { checkOutput(run, output, outputSize); }));
        } else {
            FUZZ_CHECK(runStatus == 1 && refStatus == 1);
        }
    }
    FUZZ_CHECK(refCompleted || refStatus == 1);
    free(output);
    free(reference);
    return 0;
}
