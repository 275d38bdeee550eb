// The quantizer's straightforward path as a program, the oracle that the
// benchmark script compares quantize against byte for byte: the whole image
// as rows of pixels, rescaled in place at each maxval reduction, a linear
// search of the colour map for each new colour and the chained colour
// cache. Same command line, messages and output as quantize.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstdio>

#include "cmdline.h"
#include "colormap_source.h"
#include "floyd.h"
#include "image_input.h"
#include "image_output.h"
#include "search.h"

using namespace quantize;

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);

    command_line_info cmdline;
    parseCommandLine(argc, argv, &cmdline);

    int cols, rows;
    sample maxval;
    pixel **pixels = readImage(cmdline.input_file_spec, &cols, &rows, &maxval);

    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    if (cmdline.map_file_spec != nullptr) {
        int mapcols, maprows;
        sample mapmaxval;
        pixel **mappixels = readImage(cmdline.map_file_spec, &mapcols, &maprows, &mapmaxval);
        if (mapcols == 0 || maprows == 0)
            pm_error("colormap in file '%s' contains no pixels", cmdline.map_file_spec);
        computeColorMapFromMap(pixels, cols, rows, maxval, mappixels, mapcols, maprows, mapmaxval,
                               &colormap, &newcolors);
        newmaxval = mapmaxval;
        pm_freearray(reinterpret_cast<void **>(mappixels), maprows);
    } else {
        newcolors = cmdline.requested_colors;
        computeColorMapFromInput(pixels, cols, rows, maxval, newcolors, &colormap, &newmaxval);
    }

    ppm_writeppminit(stdout, cols, rows, newmaxval, 0);
    pm_message("mapping image to new colors...");

    cht = ppm_alloccolorhash();
    usehash = 1;
    // The starting errors are drawn only for an image with pixels, as
    // quantize does.
    fserr_state fs{};
    const bool dither = cmdline.floyd && cols > 0 && rows > 0;
    if (dither)
        initFserrAsAsked(&fs, cols, cmdline.seeded, cmdline.seed);
    for (int row = 0; row < rows; ++row) {
        convertRow(pixels[row], cols, newmaxval, colormap, newcolors, cmdline.floyd, &fs);
        ppm_writeppmrow(stdout, pixels[row], cols, newmaxval, 0);
    }
    ppm_freecolorhash(cht);
    cht = nullptr;

    closeOutput();

    if (dither)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
    pm_freearray(reinterpret_cast<void **>(pixels), rows);
    return 0;
}
