#include "image_input.h"

#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstring>
#include <string>

namespace quantize {

namespace {

std::string describeFile(const char *fileSpec) {
    if (strcmp(fileSpec, "-") == 0)
        return "standard input";
    return std::string("file '") + fileSpec + "'";
}

// The readers pass samples above maxval on as they are; rescaling and the
// search assume samples within 0..maxval, so such an image is refused.
void checkSamples(const pixel *row, int cols, int rowIndex, sample maxval, const char *fileSpec) {
    for (int col = 0; col < cols; ++col) {
        const pixel &p = row[col];
        if (p.r > maxval || p.g > maxval || p.b > maxval) {
            const sample s = p.r > maxval ? p.r : p.g > maxval ? p.g : p.b;
            pm_error("the image from %s has a sample of value %u (row %d, column %d) "
                     "above its maxval %u",
                     describeFile(fileSpec).c_str(), s, rowIndex, col, maxval);
        }
    }
}

}  // namespace

pixel **readImage(const char *fileSpec, int *colsP, int *rowsP, sample *maxvalP) {
    FILE *file = pm_openr(fileSpec);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    if (static_cast<long long>(cols) * rows > kMaxPixels)
        pm_error("the image from %s is too large: %d columns by %d rows is more than %lld pixels",
                 describeFile(fileSpec).c_str(), cols, rows, kMaxPixels);

    pixel **pixels = reinterpret_cast<pixel **>(pm_allocarray(cols, rows, sizeof(pixel)));
    for (int row = 0; row < rows; ++row) {
        ppm_readppmrow(file, pixels[row], cols, maxval, format);
        checkSamples(pixels[row], cols, row, maxval, fileSpec);
    }
    pm_close(file);
    *colsP = cols;
    *rowsP = rows;
    *maxvalP = maxval;
    return pixels;
}

}  // namespace quantize
