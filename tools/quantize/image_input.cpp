#include "image_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quantize {

namespace {

std::string describeFile(const char *fileSpec) {
    if (strcmp(fileSpec, "-") == 0)
        return "standard input";
    return std::string("file '") + fileSpec + "'";
}

}  // namespace

void checkImageSize(const char *fileSpec, int cols, int rows) {
    if (static_cast<long long>(cols) * rows > kMaxPixels)
        pm_error("the image from %s is too large: %d columns by %d rows is more than %lld pixels",
                 describeFile(fileSpec).c_str(), cols, rows, kMaxPixels);
}

// The readers pass samples above maxval on as they are; rescaling and the
// search assume samples within 0..maxval, so such an image is refused.
void checkRowSamples(const pixel *row, int cols, int rowIndex, sample maxval, const char *fileSpec) {
    checkSpanSamples(row, cols, rowIndex, 0, maxval, fileSpec);
}

void checkSpanSamples(const pixel *span, int count, int rowIndex, int firstCol, sample maxval,
                      const char *fileSpec) {
    for (int i = 0; i < count; ++i) {
        const pixel &p = span[i];
        if (p.r > maxval || p.g > maxval || p.b > maxval) {
            const sample s = p.r > maxval ? p.r : p.g > maxval ? p.g : p.b;
            pm_error("the image from %s has a sample of value %u (row %d, column %d) "
                     "above its maxval %u",
                     describeFile(fileSpec).c_str(), s, rowIndex, firstCol + i, maxval);
        }
    }
}

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
