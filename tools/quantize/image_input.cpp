#include "image_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "packed_image.h"

namespace quantize {

pixel **readImage(const char *fileSpec, int *colsP, int *rowsP, sample *maxvalP) {
    FILE *file = pm_openr(fileSpec);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    checkImageSize(fileSpec, cols, rows);

    // Rows are allocated as the raster arrives, not all at once from the
    // header's claim, and each row grows a span at a time as its pixels
    // come: a short file claiming a huge image then fails at its end having
    // reserved one span, not the memory of the claim. Spans are a multiple
    // of 8 pixels, so a raw bitmap's rows keep their byte padding. (An
    // image without columns takes no raster bytes and needs no rows.)
    pixel **pixels;
    if (cols == 0) {
        pixels = reinterpret_cast<pixel **>(pm_allocarray(cols, rows, sizeof(pixel)));
    } else {
        std::vector<pixel *> rowList;
        for (int row = 0; row < rows; ++row) {
            pixel *line = nullptr;
            for (int col = 0; col < cols; col += kReadSpanPixels) {
                const int count = std::min(kReadSpanPixels, cols - col);
                line = static_cast<pixel *>(realloc(line, (static_cast<size_t>(col) + count) * sizeof(pixel)));
                if (line == nullptr)
                    pm_error("out of memory allocating a row");
                ppm_readppmrow(file, line + col, count, maxval, format);
                checkSpanSamples(line + col, count, row, col, maxval, fileSpec);
            }
            rowList.push_back(line);
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
