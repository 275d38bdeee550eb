// The colour reader on arbitrary bytes: every image of the stream read whole
// with ppm_readppm, and the same bytes read header and row by row. Both
// ways must agree: refuse the input alike, or deliver the same pixels.
#include <kestrum/format.h>
#include <kestrum/ppm.h>
#include <kestrum/common.h>

#include <cstring>

#include "harness.h"

using namespace fuzzharness;

namespace {

constexpr int kMaxImages = 3;

struct Image {
    int cols = 0, rows = 0;
    sample maxval = 0;
    std::vector<pixel> pixels;
};

// What one way of reading delivered. It lives outside the guarded body,
// whose own locals a fatal path would never destroy.
struct Reading {
    std::vector<Image> images;  // the last one may be incomplete
    size_t complete = 0;
    std::vector<pixel> row;
};

bool samePixels(const pixel &a, const pixel &b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

// Whether the next header in the stream is small enough; leaves the stream
// where it was.
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
    for (int n = 0; n < kMaxImages; ++n) {
        if (!nextHeaderSmall(file))
            return;
        Image &image = reading.images.emplace_back();
        pixel **pixels = ppm_readppm(file, &image.cols, &image.rows, &image.maxval);
        for (int row = 0; row < image.rows; ++row)
            image.pixels.insert(image.pixels.end(), pixels[row], pixels[row] + image.cols);
        pm_freearray(reinterpret_cast<void **>(pixels), image.rows);
        ++reading.complete;
        int eof;
        ppm_nextimage(file, &eof);
        if (eof)
            return;
    }
}

void readByRows(FILE *file, Reading &reading) {
    for (int n = 0; n < kMaxImages; ++n) {
        Image &image = reading.images.emplace_back();
        format_code format;
        ppm_readppminit(file, &image.cols, &image.rows, &image.maxval, &format);
        FUZZ_CHECK(format_family(format) != -1);
        if (format_family(format) == PBM_FORMAT)
            FUZZ_CHECK(image.maxval == 1);
        if (!smallEnough(image.cols, image.rows)) {
            reading.images.pop_back();
            return;
        }
        std::vector<pixel> &row = reading.row;
        row.assign(static_cast<size_t>(image.cols) + 1, pixel{});
        const pixel guard{0xdeadbeef, 0xdeadbeef, 0xdeadbeef};
        for (int r = 0; r < image.rows; ++r) {
            row[image.cols] = guard;
            ppm_readppmrow(file, row.data(), image.cols, image.maxval, format);
            FUZZ_CHECK(samePixels(row[image.cols], guard));
            image.pixels.insert(image.pixels.end(), row.begin(), row.begin() + image.cols);
        }
        ++reading.complete;
        int eof;
        ppm_nextimage(file, &eof);
        if (eof)
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    resetLibraryState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reading wholeReading, rowsReading;
    FILE *a = memoryStream(data, size);
    FILE *b = memoryStream(data, size);
    int statusWhole = 0, statusRows = 0;
    const bool wholeDone = guarded([&] { readWhole(a, wholeReading); }, &statusWhole);
    const bool rowsDone = guarded([&] { readByRows(b, rowsReading); }, &statusRows);
    fclose(a);
    fclose(b);

    if (!wholeDone)
        FUZZ_CHECK(statusWhole == 1);
    if (!rowsDone)
        FUZZ_CHECK(statusRows == 1);
    wholeReading.images.resize(wholeReading.complete);
    rowsReading.images.resize(rowsReading.complete);
    const std::vector<Image> &whole = wholeReading.images;
    const std::vector<Image> &byRows = rowsReading.images;
    // Both ways stop at the same image: the first one refused or too large.
    FUZZ_CHECK(wholeDone == rowsDone);
    FUZZ_CHECK(whole.size() == byRows.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        FUZZ_CHECK(whole[i].cols == byRows[i].cols && whole[i].rows == byRows[i].rows);
        FUZZ_CHECK(whole[i].maxval == byRows[i].maxval);
        FUZZ_CHECK(whole[i].pixels.size() == byRows[i].pixels.size());
        for (size_t p = 0; p < whole[i].pixels.size(); ++p)
            FUZZ_CHECK(samePixels(whole[i].pixels[p], byRows[i].pixels[p]));
    }
    return 0;
}
