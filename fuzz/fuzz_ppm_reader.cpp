// The colour reader on arbitrary bytes: up to three images of the stream
// read whole with ppm_readppm, and the same bytes read header and row by
// row. Both ways must refuse the input alike, or deliver the same pixels.
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include "harness.h"

using namespace fuzzharness;

namespace {

constexpr int kMaxImages = 3;

void append(Reading &reading, const pixel *pixels, int n) {
    for (int i = 0; i < n; ++i)
        reading.values.insert(reading.values.end(), {pixels[i].r, pixels[i].g, pixels[i].b});
}

// Reads the next header, leaving the stream where it was; true when its
// image is small enough to read.
bool nextHeaderSmall(FILE *file) {
    const long start = ftell(file);
    int cols, rows;
    sample maxval;
    format_code format;
    ppm_readppminit(file, &cols, &rows, &maxval, &format);
    fseek(file, start, SEEK_SET);
    return smallEnough(cols, rows);
}

void readWhole(FILE *file, Reading &reading) {
    int eof = 0;
    for (int n = 0; n < kMaxImages && !eof && nextHeaderSmall(file); ++n) {
        int cols, rows;
        sample maxval;
        pixel **pixels = ppm_readppm(file, &cols, &rows, &maxval);
        reading.values.insert(reading.values.end(), {uint32_t(cols), uint32_t(rows), maxval});
        for (int row = 0; row < rows; ++row)
            append(reading, pixels[row], cols);
        pm_freearray(reinterpret_cast<void **>(pixels), rows);
        ppm_nextimage(file, &eof);
    }
}

// Rows are read into exactly sized blocks from the library's allocator,
// which the sanitizer watches for writes past their end and the harness
// frees when a fatal path ends the reading.
void readByRows(FILE *file, Reading &reading) {
    int eof = 0;
    for (int n = 0; n < kMaxImages && !eof; ++n) {
        int cols, rows;
        sample maxval;
        format_code format;
        ppm_readppminit(file, &cols, &rows, &maxval, &format);
        if (!smallEnough(cols, rows))
            return;
        reading.values.insert(reading.values.end(), {uint32_t(cols), uint32_t(rows), maxval});
        pixel *row = static_cast<pixel *>(pm_allocrow(cols, sizeof(pixel)));
        for (int r = 0; r < rows; ++r) {
            ppm_readppmrow(file, row, cols, maxval, format);
            append(reading, row, cols);
        }
        pm_freerow(row);
        ppm_nextimage(file, &eof);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    expectSameReading(readGuarded(data, size, readWhole), readGuarded(data, size, readByRows));
    return 0;
}
