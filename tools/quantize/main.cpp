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

#include <cstdio>
#include <utility>
#include <vector>

#include "cmdline.h"
#include "fast_convert.h"
#include "floyd.h"
#include "image_output.h"
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
    const PackedImage image = readPackedImage(cmdline.input_file_spec);

    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    SampleScale scale;
    if (cmdline.map_file_spec != nullptr) {
        const PackedImage map = readPackedImage(cmdline.map_file_spec);
        if (map.cols == 0 || map.rows == 0)
            pm_error("colormap in file '%s' contains no pixels", cmdline.map_file_spec);
        computeColorMapFromMapPacked(image, map, &colormap, &newcolors, &scale);
        newmaxval = map.maxval;
    } else if (cmdline.refine) {
        newcolors = cmdline.requested_colors;
        computeRefinedColorMap(image, newcolors, &colormap, &newmaxval, &scale);
    } else {
        newcolors = cmdline.requested_colors;
        computeColorMapFromInputPacked(image, newcolors, &colormap, &newmaxval, &scale);
    }

    ppm_writeppminit(stdout, image.cols, image.rows, newmaxval, 0);
    pm_message("mapping image to new colors...");

    fserr_state fs{};
    if (cmdline.floyd && cmdline.seeded)
        initFserrSeeded(&fs, image.cols, cmdline.seed);
    else if (cmdline.floyd)
        initFserr(&fs, image.cols);
    {
        FastConverter converter(colormap, newcolors, newmaxval, std::move(scale));
        std::vector<pixel> out(static_cast<std::size_t>(image.cols));
        // A row without columns writes no bytes in either form.
        const int rowsToWrite = image.cols == 0 ? 0 : image.rows;
        for (int row = 0; row < rowsToWrite; ++row) {
            image.dispatch([&](auto word) {
                using Word = decltype(word);
                converter.convert(image.row<Word>(row), image.cols, out.data(),
                                  cmdline.floyd ? &fs : nullptr);
            });
            ppm_writeppmrow(stdout, out.data(), image.cols, newmaxval, 0);
        }
    }

    closeOutput();

    if (cmdline.floyd)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
    return 0;
}
