#include "image_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace quantize {

pixel **readImage(const char *fileSpec, int *colsP, int *rowsP, sample *maxvalP) {
    FILE *file = pm_openr(fileSpec);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    checkImageSize(fileSpec, cols, rows);

    // Rows are allocated as the raster arrives, not all at once from the
    // header's claim: a short file claiming a huge image then fails at its
    // end having reserved one row, not the memory of the whole claim. (An
    // image without columns takes no raster bytes and needs no rows.)
    pixel **pixels;
    if (cols == 0) {
        pixels = reinterpret_cast<pixel **>(pm_allocarray(cols, rows, sizeof(pixel)));
    } else {
        std::vector<pixel *> rowList;
        for (int row = 0; row < rows; ++row) {
            rowList.push_back(static_cast<pixel *>(pm_allocrow(cols, sizeof(pixel))));
            ppm_readppmrow(file, rowList.back(), cols, maxval, format);
            checkRowSamples(rowList.back(), cols, row, maxval, fileSpec);
        }
        // The row-by-row form of an image array (its last entry null),
        // which pm_freearray releases row by row.
        rowList.push_back(nullptr);
        pixels = static_cast<pixel **>(malloc(rowList.size() * sizeof(pixel *)));
        if (pixels == nullptr)
            pm_error("out of memory allocating row index (%d rows) for an array", rows);
        std::copy(rowList.begin(), rowList.end(), pixels);
    }
    pm_close(file);
    *colsP = cols;
    *rowsP = rows;
    *maxvalP = maxval;
    return pixels;
}

}  // namespace quantize
