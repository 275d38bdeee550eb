// Reading the input and map images whole, refusing what the quantizer
// cannot process faithfully.
#ifndef QUANTIZE_IMAGE_INPUT_H
#define QUANTIZE_IMAGE_INPUT_H

#include <kestrum/types.h>

namespace quantize {

// The most pixels an image may have: pixel counts are signed 32-bit.
constexpr long long kMaxPixels = 2147483647;

// Opens fileSpec ("-" is standard input), reads the whole image promoted to
// colour and closes the file. Fatal, naming the file, when the image has
// more than kMaxPixels pixels (refused from its header, before its raster is
// read) or holds a sample above its maxval. Release with pm_freearray.
pixel **readImage(const char *fileSpec, int *colsP, int *rowsP, sample *maxvalP);

// The two refusals of readImage, for the other readers of the same files:
// fatal, naming the file, when cols x rows is more than kMaxPixels pixels,
// and when row rowIndex (cols pixels) holds a sample above maxval.
void checkImageSize(const char *fileSpec, int cols, int rows);
void checkRowSamples(const pixel *row, int cols, int rowIndex, sample maxval, const char *fileSpec);
// checkRowSamples for `count` pixels of row rowIndex from column firstCol.
void checkSpanSamples(const pixel *span, int count, int rowIndex, int firstCol, sample maxval,
                      const char *fileSpec);

}  // namespace quantize

#endif
