// The dithered output of quantize against the straightforward path at full
// size. The program itself starts its error rows from the clock and the
// process number, so two runs never agree; here both paths start from the
// same random errors and every row, and the errors left after it, are
// compared. Same command line as quantize; dithers whether or not -floyd is
// given. Prints what it compared and exits 0 when all agree, 1 otherwise.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cmdline.h"
#include "colormap_source.h"
#include "fast_convert.h"
#include "floyd.h"
#include "image_input.h"
#include "packed_colormap_source.h"
#include "packed_image.h"
#include "search.h"

using namespace quantize;

namespace {

// Six error rows of cols + 2 slots with the same starting errors for the
// same seed, going left to right.
struct Errors {
    Errors(int cols, std::uint32_t seed) {
        std::mt19937 rng(seed);
        for (auto &a : arrays) {
            a.resize(static_cast<std::size_t>(cols) + 2);
            for (auto &e : a)
                e = static_cast<std::int32_t>(rng() % 2048) - 1024;
        }
        fs = fserr_state{arrays[0].data(), arrays[1].data(), arrays[2].data(),
                         arrays[3].data(), arrays[4].data(), arrays[5].data(), 1};
    }
    bool sameCurrentRows(const Errors &o) const {
        return std::memcmp(fs.this_red_err, o.fs.this_red_err, arrays[0].size() * 4) == 0 &&
               std::memcmp(fs.this_green_err, o.fs.this_green_err, arrays[0].size() * 4) == 0 &&
               std::memcmp(fs.this_blue_err, o.fs.this_blue_err, arrays[0].size() * 4) == 0 &&
               fs.left_to_right == o.fs.left_to_right;
    }
    std::vector<std::int32_t> arrays[6];
    fserr_state fs;
};

}  // namespace

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);
    std::string arguments;
    for (int i = 1; i < argc; ++i)
        arguments += std::string(" ") + argv[i];
    command_line_info cmdline;
    parseCommandLine(argc, argv, &cmdline);

    int cols, rows;
    sample maxval;
    pixel **pixels = readImage(cmdline.input_file_spec, &cols, &rows, &maxval);
    const PackedImage image = readPackedImage(cmdline.input_file_spec);

    color_histogram slowMap, fastMap;
    int slowColors, fastColors;
    sample newmaxval;
    SampleScale scale;
    if (cmdline.map_file_spec != nullptr) {
        int mapcols, maprows;
        sample mapmaxval;
        pixel **mappixels = readImage(cmdline.map_file_spec, &mapcols, &maprows, &mapmaxval);
        computeColorMapFromMap(pixels, cols, rows, maxval, mappixels, mapcols, maprows, mapmaxval,
                               &slowMap, &slowColors);
        pm_freearray(reinterpret_cast<void **>(mappixels), maprows);
        const PackedImage map = readPackedImage(cmdline.map_file_spec);
        computeColorMapFromMapPacked(image, map, &fastMap, &fastColors, &scale);
        newmaxval = map.maxval;
    } else {
        sample slowMaxval;
        // quantize's colour map: the chosen colours and one black entry for
        // the surplus ones, against the straightforward map of N entries.
        slowColors = cmdline.requested_colors;
        computeColorMapFromInput(pixels, cols, rows, maxval, slowColors, &slowMap, &slowMaxval);
        computeChosenColorMapPacked(image, slowColors, true, &fastMap, &fastColors, &newmaxval, &scale);
    }

    cht = ppm_alloccolorhash();
    usehash = 1;
    Errors slowErrors(cols, 20240601), fastErrors(cols, 20240601);
    FastConverter converter(fastMap, fastColors, newmaxval, std::move(scale));
    std::vector<pixel> out(static_cast<std::size_t>(cols));
    int status = 0;
    for (int row = 0; row < rows && status == 0; ++row) {
        convertRow(pixels[row], cols, newmaxval, slowMap, slowColors, 1, &slowErrors.fs);
        image.dispatch([&](auto word) {
            converter.convert(image.row<decltype(word)>(row), cols, out.data(), &fastErrors.fs);
        });
        if (std::memcmp(out.data(), pixels[row], out.size() * sizeof(pixel)) != 0 ||
            !slowErrors.sameCurrentRows(fastErrors)) {
            std::printf("   DIFFERENT dithered row %d: quantize", row);
            status = 1;
        }
    }
    if (status == 0)
        std::printf("   same dithered output, %d rows from the same errors: quantize", rows);
    std::printf("%s\n", arguments.c_str());
    ppm_freecolorhash(cht);
    ppm_freecolorhist(slowMap);
    ppm_freecolorhist(fastMap);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
    return status;
}
