// The refusals every reader of the quantizer's input and map images makes:
// what the quantizer cannot process faithfully.
#ifndef QUANTIZE_IMAGE_CHECKS_H
#define QUANTIZE_IMAGE_CHECKS_H

#include <kestrum/types.h>

#include <string>

namespace quantize {

// How messages name an input: "standard input" for "-", else "file 'name'".
std::string describeFile(const char *fileSpec);

// The most pixels an image may have: pixel counts are signed 32-bit.
constexpr long long kMaxPixels = 2147483647;

// Fatal, naming the file ("-" is standard input), when cols x rows is more
// than kMaxPixels pixels (to be called from the header, before the raster
// is read), and when row rowIndex (cols pixels) holds a sample above maxval.
void checkImageSize(const char *fileSpec, int cols, int rows);
void checkRowSamples(const pixel *row, int cols, int rowIndex, sample maxval, const char *fileSpec);
// checkRowSamples for `count` pixels of row rowIndex from column firstCol.
void checkSpanSamples(const pixel *span, int count, int rowIndex, int firstCol, sample maxval,
                      const char *fileSpec);

}  // namespace quantize

#endif
