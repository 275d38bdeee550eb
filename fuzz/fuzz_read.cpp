// The readers on arbitrary bytes, the first byte picking the family (colour,
// grey, bits): up to three images of the stream, each read whole and row by
// row (bits also as packed rows). Every way must refuse alike, with status 1,
// or deliver the same sizes, maxvals and samples.
#include <kestrum/pbm.h>
#include <kestrum/pgm.h>
#include <kestrum/ppm.h>

#include <cstring>
#include <vector>

#include "harness.h"

using namespace fuzzharness;

namespace {

enum Way { kWhole, kRows, kPacked };
bool tooWide;  // the rows' way met a header claiming rows wider than the bytes

void readImages(FILE *f, size_t bytes, int family, int way, std::vector<uint32_t> &v) {
    for (int n = 0, eof = 0; n < 3 && !eof; ++n) {
        int cols, rows;
        sample maxval = 1;
        format_code format;
        void **whole = nullptr;
        const long start = ftell(f);
        family == 0   ? ppm_readppminit(f, &cols, &rows, &maxval, &format)
        : family == 1 ? pgm_readpgminit(f, &cols, &rows, &maxval, &format)
                      : pbm_readpbminit(f, &cols, &rows, &format);
        // An image of no columns has no pixels to compare, whatever rows it
        // claims; a whole-image reader still owes its caller an index of a
        // pointer a row, a cost of the interface, not of the bytes.
        if (cols == 0)
            rows = 0;
        else if (way == kWhole && fseek(f, start, SEEK_SET) == 0)
            whole = family == 0   ? reinterpret_cast<void **>(ppm_readppm(f, &cols, &rows, &maxval))
                    : family == 1 ? reinterpret_cast<void **>(pgm_readpgm(f, &cols, &rows, &maxval))
                                  : reinterpret_cast<void **>(pbm_readpbm(f, &cols, &rows));
        v.insert(v.end(), {uint32_t(cols), uint32_t(rows), maxval});
        // The caller's row is sized by the header: it is made only when the
        // bytes can hold it (a bit per pixel), exactly, so that the sanitizer
        // sees a write past its end.
        if (way != kWhole && rows > 0 && cols > 8 * long(bytes))
            return (void)(tooWide = true);
        const int element = family == 0 ? sizeof(pixel) : family == 1 ? sizeof(sample) : 1;
        auto *row = static_cast<unsigned char *>(way == kWhole || rows == 0 ? nullptr
                                                 : way == kPacked ? pm_allocrow((cols + 7) / 8, 1)
                                                                  : pm_allocrow(cols, element));
        for (int y = 0; y < rows; ++y) {
            if (way == kRows)
                family == 0   ? ppm_readppmrow(f, reinterpret_cast<pixel *>(row), cols, maxval, format)
                : family == 1 ? pgm_readpgmrow(f, reinterpret_cast<sample *>(row), cols, maxval, format)
                              : pbm_readpbmrow(f, row, cols, format);
            if (way == kPacked)  // the plain reader ORs its bits in
                pbm_readpbmrow_packed(f, static_cast<unsigned char *>(memset(row, 0, (cols + 7) / 8)), cols, format);
            const auto *at = static_cast<const unsigned char *>(way == kWhole ? whole[y] : row);
            for (int x = 0; x < cols; ++x) {
                const pixel p = family == 0 ? reinterpret_cast<const pixel *>(at)[x] : pixel{};
                if (way == kPacked)
                    v.push_back((row[x / 8] >> (7 - x % 8)) & 1u);
                else
                    family == 0 ? v.insert(v.end(), {p.r, p.g, p.b}), void()
                                : v.push_back(family == 1 ? reinterpret_cast<const sample *>(at)[x] : at[x]);
            }
        }
        whole ? pm_freearray(whole, rows) : pm_freerow(row);
        family == 0 ? ppm_nextimage(f, &eof) : family == 1 ? pgm_nextimage(f, &eof) : pbm_nextimage(f, &eof);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const int family = data[0] % 3;
    bool firstDone = false;
    std::vector<uint32_t> first;
    for (int way = kWhole; way <= (family == 2 ? kPacked : kRows); ++way) {
        FILE *f = memoryStream(data + 1, size - 1);
        std::vector<uint32_t> values;
        int status = 0;
        tooWide = false;
        const bool done = guarded([&] { readImages(f, size - 1, family, way, values); }, &status);
        fclose(f);
        FUZZ_CHECK(done || status == 1);
        if (way == kWhole)
            first.swap(values), firstDone = done;
        else  // a row wider than the bytes cannot arrive
            FUZZ_CHECK(tooWide ? !firstDone : done == firstDone && (!done || values == first));
    }
    return 0;
}
