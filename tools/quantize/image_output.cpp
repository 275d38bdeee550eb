#include "image_output.h"

#include <kestrum/common.h>

#include <cstdio>

namespace quantize {

void closeOutput() {
    fflush(stdout);
    const bool writeFailed = ferror(stdout) != 0;
    pm_close(stdout);
    if (writeFailed)
        pm_error("could not write the output image to standard output");
}

}  // namespace quantize
