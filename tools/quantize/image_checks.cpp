#include "image_checks.h"

#include <kestrum/common.h>

#include <cstring>
#include <string>

namespace quantize {

std::string describeFile(const char *fileSpec) {
    if (strcmp(fileSpec, "-") == 0)
        return "standard input";
    return std::string("file '") + fileSpec + "'";
}

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

}  // namespace quantize
