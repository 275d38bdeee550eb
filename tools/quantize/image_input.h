// Reading the input and map images whole as rows of pixels: the
// straightforward reader that the packed one (packed_image.h) is tested
// against.
#ifndef QUANTIZE_IMAGE_INPUT_H
#define QUANTIZE_IMAGE_INPUT_H

#include <kestrum/types.h>

#include "image_checks.h"

namespace quantize {

// Opens fileSpec ("-" is standard input), reads the whole image promoted to
// colour and closes the file. Fatal, naming the file, when the image has
// more than kMaxPixels pixels (refused from its header, before its raster is
// read) or holds a sample above its maxval. Release with pm_freearray.
pixel **readImage(const char *fileSpec, int *colsP, int *rowsP, sample *maxvalP);

}  // namespace quantize

#endif
