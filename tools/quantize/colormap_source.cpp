#include "colormap_source.h"

#include <kestrum/common.h>

#include "mediancut.h"

namespace quantize {

void rescaleImage(pixel **pixels, int cols, int rows, sample oldmaxval, sample newmaxval) {
    for (int row = 0; row < rows; ++row) {
        pixel *p = pixels[row];
        for (int col = 0; col < cols; ++col) {
            p[col].r = rescaleSample(p[col].r, oldmaxval, newmaxval);
            p[col].g = rescaleSample(p[col].g, oldmaxval, newmaxval);
            p[col].b = rescaleSample(p[col].b, oldmaxval, newmaxval);
        }
    }
}

void computeHistogram(pixel **pixels, int cols, int rows, sample maxval,
                      color_histogram *chvP, int *colorsP, sample *newmaxvalP) {
    sample m = maxval;
    color_histogram chv;
    int colors;
    for (;;) {
        pm_message("making histogram...");
        chv = ppm_computecolorhist(pixels, cols, rows, kMaxHistogramColors, &colors);
        if (chv != nullptr)
            break;
        // At maxval 30 at most 31^3 = 29791 colours exist, so this ends.
        const sample halved = m / 2;
        pm_message("too many colors!");
        pm_message("scaling colors from maxval=%d to maxval=%d to improve clustering...",
                   static_cast<int>(m), static_cast<int>(halved));
        rescaleImage(pixels, cols, rows, m, halved);
        m = halved;
    }
    pm_message("%d colors found", colors);
    *chvP = chv;
    *colorsP = colors;
    *newmaxvalP = m;
}

void computeColorMapFromInput(pixel **pixels, int cols, int rows, sample maxval, int newcolors,
                              color_histogram *colormapP, sample *newmaxvalP) {
    color_histogram chv;
    int colors;
    computeHistogram(pixels, cols, rows, maxval, &chv, &colors, newmaxvalP);
    pm_message("choosing %d colors...", newcolors);
    *colormapP = mediancut(chv, colors, rows * cols, *newmaxvalP, newcolors);
    ppm_freecolorhist(chv);
}

void computeColorMapFromMap(pixel **inputPixels, int inputCols, int inputRows, sample inputMaxval,
                            pixel **mapPixels, int mapCols, int mapRows, sample mapMaxval,
                            color_histogram *colormapP, int *colorsP) {
    if (mapMaxval != inputMaxval) {
        pm_message("rescaling input image to match colormap maxval");
        rescaleImage(inputPixels, inputCols, inputRows, inputMaxval, mapMaxval);
    }
    int colors;
    color_histogram colormap =
        ppm_computecolorhist(mapPixels, mapCols, mapRows, kMaxHistogramColors, &colors);
    if (colormap == nullptr)
        pm_error("too many colors in colormap!");
    pm_message("%d colors found in colormap", colors);
    *colormapP = colormap;
    *colorsP = colors;
}

}  // namespace quantize
