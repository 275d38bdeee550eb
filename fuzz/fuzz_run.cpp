// The quantizer's whole run: its main (read packed, colour map by median cut
// with maxval reduction or from a map image, conversion with or without
// dithering from a fixed seed, output) on a file, against the straightforward
// path (row arrays rescaled in place, linear search through the colour
// cache). Both must refuse alike, with status 1, or write the same bytes.
// Input: flags (1: -floyd, 2: -mapfile, 4: -plain), the number of colours less
// 2, with a map its length (two bytes, big-endian) and the map image; then the
// input image.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "colormap_source.h"
#include "floyd.h"
#include "harness.h"
#include "image_input.h"
#include "search.h"

using namespace fuzzharness;
using namespace quantize;

int quantizeMain(int argc, char *argv[]);  // the program's main, renamed in this build

namespace {

void referenceRun(bool floyd, int newcolors, const char *input, const char *map, FILE *out) {
    int cols, rows;
    sample maxval, newmaxval;
    pixel **pixels = readImage(input, &cols, &rows, &maxval);
    color_histogram colormap;
    if (map) {
        int mapcols, maprows;
        pixel **mappixels = readImage(map, &mapcols, &maprows, &newmaxval);
        if (mapcols == 0 || maprows == 0)
            pm_error("colormap in file '%s' contains no pixels", map);
        computeColorMapFromMap(pixels, cols, rows, maxval, mappixels, mapcols, maprows, newmaxval, &colormap,
                               &newcolors);
        pm_freearray(reinterpret_cast<void **>(mappixels), maprows);
    } else {
        computeColorMapFromInput(pixels, cols, rows, maxval, newcolors, &colormap, &newmaxval);
    }
    ppm_writeppminit(out, cols, rows, newmaxval, 0);
    cht = ppm_alloccolorhash();
    usehash = 1;
    // Error rows as wide as the header claims are made only for a row to
    // dither: an image of no rows and a huge width costs nothing.
    const bool dither = floyd && rows > 0;
    fserr_state fs{};
    if (dither)
        initFserr(&fs, cols);
    for (int y = 0; y < rows; ++y) {
        convertRow(pixels[y], cols, newmaxval, colormap, newcolors, dither, &fs);
        ppm_writeppmrow(out, pixels[y], cols, newmaxval, 0);
    }
    ppm_freecolorhash(cht);
    dither ? freeFserr(&fs) : void();
    ppm_freecolorhist(colormap);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
}

// Whether the straightforward path can hold the file's image: it keeps an
// index of every row, even of an image without columns, whose header may
// claim billions of rows (the program holds no such index).
bool indexable(const std::string &path) {
    int cols = 0, rows = 0;
    sample maxval;
    format_code format;
    int status;
    guarded([&] {
        FILE *file = pm_openr(path.c_str());
        ppm_readppminit(file, &cols, &rows, &maxval, &format);
        pm_close(file);
    }, &status);
    return cols != 0 || rows <= (1 << 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const bool floyd = data[0] & 1, useMap = size >= 4 && (data[0] & 2);
    const size_t mapSize = useMap ? std::min<size_t>(size_t{data[2]} << 8 | data[3], size - 4) : 0;
    const size_t start = useMap ? 4 + mapSize : 2;
    const std::string input = scratchFile("input", data + start, size - start),
                      map = scratchFile("map", data + 4, mapSize), output = scratchFile("output", data, 0);
    std::vector<std::string> args{"quantize", "-quiet", floyd ? "-fs" : "-nofs", data[0] & 4 ? "-plain" : "--"};
    if (useMap)
        args.insert(args.begin() + 3, {"-mapfile", map});
    args.insert(args.end(), {useMap ? "" : std::to_string(data[1] + 2), input});
    std::vector<char *> argv;
    for (std::string &arg : args)
        arg.empty() ? void() : argv.push_back(arg.data());
    argv.push_back(nullptr);

    FUZZ_CHECK(freopen(output.c_str(), "wb", stdout));
    int status = 0;
    bool done = guarded([&] { quantizeMain(int(argv.size()) - 1, argv.data()); }, &status);
    fflush(stdout);
    std::ifstream written(output, std::ios::binary);
    const std::string program = done ? "1" + std::string(std::istreambuf_iterator<char>(written), {})
                                     : "refused " + std::to_string(status);
    const bool comparable = indexable(input) && (!useMap || indexable(map));
    char *buffer = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    done = comparable && guarded(
                             [&] {
                                 referenceRun(floyd, data[1] + 2, input.c_str(), useMap ? map.c_str() : nullptr, out);
                             },
                             &status);
    FUZZ_CHECK(fclose(out) == 0);
    const std::string reference = done ? "1" + std::string(buffer, length) : "refused " + std::to_string(status);
    free(buffer);
    cht = nullptr;
    usehash = 0;
    pm_init("fuzz", 0);
    pm_plain_output = 0;
    // Without a reference, the program must still end with an image or status 1.
    FUZZ_CHECK(comparable ? program == reference && (done || status == 1)
                          : program.rfind("refused ", 0) != 0 || program == "refused 1");
    return 0;
}
