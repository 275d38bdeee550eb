// The grey and bit readers on arbitrary bytes. The first byte picks the
// family; the rest is the stream. Each image is read whole and row by row
// (bits also as packed rows), and all ways must refuse the input alike, or
// deliver the same values.
#include <kestrum/common.h>
#include <kestrum/pbm.h>
#include <kestrum/pgm.h>

#include <cstring>

#include "harness.h"

using namespace fuzzharness;

namespace {

// Reads the header, leaving the stream where it was; true when the image is
// small enough to read.
bool headerSmall(FILE *file, bool gray) {
    const long start = ftell(file);
    int cols, rows;
    sample maxval;
    format_code format;
    if (gray)
        pgm_readpgminit(file, &cols, &rows, &maxval, &format);
    else
        pbm_readpbminit(file, &cols, &rows, &format);
    fseek(file, start, SEEK_SET);
    return smallEnough(cols, rows);
}

void grayWhole(FILE *file, Reading &r) {
    if (!headerSmall(file, true))
        return;
    int cols, rows;
    sample maxval;
    sample **grays = pgm_readpgm(file, &cols, &rows, &maxval);
    r.values = {uint32_t(cols), uint32_t(rows), maxval};
    for (int row = 0; row < rows; ++row)
        r.values.insert(r.values.end(), grays[row], grays[row] + cols);
    pm_freearray(reinterpret_cast<void **>(grays), rows);
}

// Rows go into exactly sized blocks from the library's allocator, which the
// sanitizer watches for writes past their end and the harness frees when a
// fatal path ends the reading.
void grayRows(FILE *file, Reading &r) {
    int cols, rows;
    sample maxval;
    format_code format;
    pgm_readpgminit(file, &cols, &rows, &maxval, &format);
    if (!smallEnough(cols, rows))
        return;
    r.values = {uint32_t(cols), uint32_t(rows), maxval};
    sample *row = static_cast<sample *>(pm_allocrow(cols, sizeof(sample)));
    for (int y = 0; y < rows; ++y) {
        pgm_readpgmrow(file, row, cols, maxval, format);
        r.values.insert(r.values.end(), row, row + cols);
    }
    pm_freerow(row);
}

void bitWhole(FILE *file, Reading &r) {
    if (!headerSmall(file, false))
        return;
    int cols, rows;
    pbm_bit **bits = pbm_readpbm(file, &cols, &rows);
    r.values = {uint32_t(cols), uint32_t(rows)};
    for (int row = 0; row < rows; ++row)
        r.values.insert(r.values.end(), bits[row], bits[row] + cols);
    pm_freearray(reinterpret_cast<void **>(bits), rows);
}

template <bool packed>
void bitRows(FILE *file, Reading &r) {
    int cols, rows;
    format_code format;
    pbm_readpbminit(file, &cols, &rows, &format);
    if (!smallEnough(cols, rows))
        return;
    r.values = {uint32_t(cols), uint32_t(rows)};
    const int bytes = packed ? (cols + 7) / 8 : cols;
    auto *row = static_cast<unsigned char *>(pm_allocrow(bytes, 1));
    for (int y = 0; y < rows; ++y) {
        if (packed) {
            std::memset(row, 0, bytes);  // the plain reader ORs its bits in
            pbm_readpbmrow_packed(file, row, cols, format);
        } else {
            pbm_readpbmrow(file, row, cols, format);
        }
        for (int x = 0; x < cols; ++x)
            r.values.push_back(packed ? (row[x / 8] >> (7 - x % 8)) & 1u : row[x]);
    }
    pm_freerow(row);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool gray = (data[0] & 1) == 0;
    ++data;
    --size;
    if (gray) {
        expectSameReading(readGuarded(data, size, grayWhole), readGuarded(data, size, grayRows));
    } else {
        // The packed reader of a raw row reports a short row with messages
        // of its own, but it fails exactly where the others do.
        const Reading whole = readGuarded(data, size, bitWhole);
        expectSameReading(whole, readGuarded(data, size, bitRows<false>));
        expectSameReading(whole, readGuarded(data, size, bitRows<true>));
    }
    return 0;
}
