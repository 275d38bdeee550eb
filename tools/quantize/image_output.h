// Finishing the output image on standard output.
#ifndef QUANTIZE_IMAGE_OUTPUT_H
#define QUANTIZE_IMAGE_OUTPUT_H

namespace quantize {

// Flushes and closes standard output. A run whose image did not reach it
// must not end with status 0, while pm_close only reports the stream's
// error as a message: so a write error is fatal here.
void closeOutput();

}  // namespace quantize

#endif
