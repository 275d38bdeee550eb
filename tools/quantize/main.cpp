// quantize: reduce an image to a few colours.
//
// Reads one PBM, PGM or PPM image whole, chooses a colour map (by median cut
// from the image itself, improved against the whole image with -refine, or
// the colours of a map image), then converts and writes the image row by row
// as a PPM image on standard output, optionally with Floyd-Steinberg
// dithering (from fixed starting errors with -seed). Progress messages go to
// standard error.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "cmdline.h"
#include "fast_convert.h"
#include "floyd.h"
#include "image_output.h"
#include "out_of_memory.h"
#include "packed_colormap_source.h"
#include "packed_image.h"
#include "refine.h"

using namespace quantize;

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);

    command_line_info cmdline{};
    parseCommandLine(argc, argv, &cmdline);

    // The image is held packed and never rewritten: rescaling is a table
    // applied as each pixel is read (see packed_colormap_source.h).
    const PackedImage image =
        reportingOutOfMemory("allocating the image", [&] { return readPackedImage(cmdline.input_file_spec); });

    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    SampleScale scale;
    if (cmdline.map_file_spec != nullptr) {
        const PackedImage map =
            reportingOutOfMemory("allocating the image", [&] { return readPackedImage(cmdline.map_file_spec); });
        if (map.cols == 0 || map.rows == 0)
            pm_error("colormap in file '%s' contains no pixels", cmdline.map_file_spec);
        reportingOutOfMemory("generating histogram", [&] {
            computeColorMapFromMapPacked(image, map, &colormap, &newcolors, &scale);
        });
        newmaxval = map.maxval;
    } else if (cmdline.refine) {
        newcolors = cmdline.requested_colors;
        reportingOutOfMemory("generating histogram", [&] {
            computeRefinedColorMap(image, newcolors, &colormap, &newmaxval, &scale);
        });
    } else {
        reportingOutOfMemory("generating histogram", [&] {
            computeChosenColorMapPacked(image, cmdline.requested_colors, cmdline.floyd != 0,
                                        &colormap, &newcolors, &newmaxval, &scale);
        });
    }

    ppm_writeppminit(stdout, image.cols, image.rows, newmaxval, 0);
    pm_message("mapping image to new colors...");

    // An image without pixels ends with its header: nothing sized by the
    // width its header claims is made, and dithering draws no starting
    // errors. Otherwise the width is borne out by the pixels already read.
    const bool anyPixels = image.cols > 0 && image.rows > 0;
    fserr_state fs{};
    const bool dither = cmdline.floyd && anyPixels;
    if (dither && cmdline.seeded)
        initFserrSeeded(&fs, image.cols, cmdline.seed);
    else if (dither)
        initFserr(&fs, image.cols);
    reportingOutOfMemory("allocating the nearest-colour search", [&] {
        FastConverter converter(colormap, newcolors, newmaxval, std::move(scale));
        converter.expectPixels(static_cast<std::uint64_t>(image.cols) * static_cast<std::uint64_t>(image.rows));
        std::vector<pixel> out(anyPixels ? static_cast<std::size_t>(image.cols) : 0);
        const int rowsToWrite = anyPixels ? image.rows : 0;
        for (int row = 0; row < rowsToWrite; ++row) {
            image.dispatch([&](auto word) {
                using Word = decltype(word);
                converter.convert(image.row<Word>(row), image.cols, out.data(),
                                  dither ? &fs : nullptr);
            });
            ppm_writeppmrow(stdout, out.data(), image.cols, newmaxval, 0);
        }
    });

    closeOutput();

    if (dither)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
    return 0;
}
