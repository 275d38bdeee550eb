// The grey and bit readers on arbitrary bytes. The first byte picks the
// family; the rest is the stream. Each image is read whole and row by row
// (bits also as packed rows), and all ways must agree: refuse the input
// alike, or deliver the same values.
#include <kestrum/common.h>
#include <kestrum/format.h>
#include <kestrum/pbm.h>
#include <kestrum/pgm.h>

#include "harness.h"

using namespace fuzzharness;

namespace {

struct Result {
    bool done = false;
    int status = 0;
    int cols = 0, rows = 0;
    sample maxval = 0;
    std::vector<uint32_t> values;  // samples, or bits 0/1
    // Row buffers: here, not in the guarded body, whose locals a fatal path
    // would never destroy.
    std::vector<sample> grayRow;
    std::vector<unsigned char> bitRow;
};

template <typename Body>
Result readWith(const uint8_t *data, size_t size, Body body) {
    Result result;
    FILE *file = memoryStream(data, size);
    result.done = guarded([&] { body(file, result); }, &result.status);
    fclose(file);
    if (!result.done)
        FUZZ_CHECK(result.status == 1);
    return result;
}

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

void grayWhole(FILE *file, Result &r) {
    if (!headerSmall(file, true))
        return;
    sample **grays = pgm_readpgm(file, &r.cols, &r.rows, &r.maxval);
    for (int row = 0; row < r.rows; ++row)
        r.values.insert(r.values.end(), grays[row], grays[row] + r.cols);
    pm_freearray(reinterpret_cast<void **>(grays), r.rows);
}

void grayRows(FILE *file, Result &r) {
    format_code format;
    pgm_readpgminit(file, &r.cols, &r.rows, &r.maxval, &format);
    FUZZ_CHECK(format_family(format) == PGM_FORMAT || format_family(format) == PBM_FORMAT);
    if (format_family(format) == PBM_FORMAT)
        FUZZ_CHECK(r.maxval == 255);
    if (!smallEnough(r.cols, r.rows)) {
        r.cols = r.rows = 0;  // as the whole-image reader leaves it
        r.maxval = 0;
        return;
    }
    std::vector<sample> &row = r.grayRow;
    row.assign(static_cast<size_t>(r.cols) + 1, 0);
    for (int y = 0; y < r.rows; ++y) {
        row[r.cols] = 0xdeadbeef;
        pgm_readpgmrow(file, row.data(), r.cols, r.maxval, format);
        FUZZ_CHECK(row[r.cols] == 0xdeadbeef);
        r.values.insert(r.values.end(), row.begin(), row.begin() + r.cols);
    }
}

void bitWhole(FILE *file, Result &r) {
    if (!headerSmall(file, false))
        return;
    pbm_bit **bits = pbm_readpbm(file, &r.cols, &r.rows);
    for (int row = 0; row < r.rows; ++row)
        for (int col = 0; col < r.cols; ++col) {
            FUZZ_CHECK(bits[row][col] <= 1);
            r.values.push_back(bits[row][col]);
        }
    pm_freearray(reinterpret_cast<void **>(bits), r.rows);
}

void bitRows(FILE *file, Result &r, bool packed) {
    format_code format;
    pbm_readpbminit(file, &r.cols, &r.rows, &format);
    FUZZ_CHECK(format_family(format) == PBM_FORMAT);
    if (!smallEnough(r.cols, r.rows)) {
        r.cols = r.rows = 0;  // as the whole-image reader leaves it
        r.maxval = 0;
        return;
    }
    const size_t bytes = packed ? (static_cast<size_t>(r.cols) + 7) / 8 : r.cols;
    std::vector<unsigned char> &row = r.bitRow;
    row.resize(bytes + 1);
    for (int y = 0; y < r.rows; ++y) {
        std::fill(row.begin(), row.end(), 0);
        row[bytes] = 0xa5;
        if (packed)
            pbm_readpbmrow_packed(file, row.data(), r.cols, format);
        else
            pbm_readpbmrow(file, row.data(), r.cols, format);
        FUZZ_CHECK(row[bytes] == 0xa5);
        for (int x = 0; x < r.cols; ++x)
            r.values.push_back(packed ? (row[x / 8] >> (7 - x % 8)) & 1u : row[x]);
    }
}

void expectSame(const Result &a, const Result &b) {
    FUZZ_CHECK(a.done == b.done);
    if (!a.done)
        return;
    FUZZ_CHECK(a.cols == b.cols && a.rows == b.rows && a.maxval == b.maxval);
    FUZZ_CHECK(a.values == b.values);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    resetLibraryState();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool gray = (data[0] & 1) == 0;
    ++data;
    --size;
    if (gray) {
        expectSame(readWith(data, size, grayWhole), readWith(data, size, grayRows));
    } else {
        const Result whole = readWith(data, size, bitWhole);
        expectSame(whole, readWith(data, size, [](FILE *f, Result &r) { bitRows(f, r, false); }));
        const Result packed =
            readWith(data, size, [](FILE *f, Result &r) { bitRows(f, r, true); });
        // The packed reader of a raw row reports a short row with messages
        // of its own, but it fails exactly where the others do.
        expectSame(whole, packed);
    }
    return 0;
}
