// 16- and 32-bit integers in a fixed byte order, one byte at a time, so the
// host's own order never matters.
#include <kestrum/common.h>

#include <cstdint>

namespace {

// Reads `width` bytes into *valueP, most significant first when bigEndian.
// The destination is untouched when the first byte is missing, and keeps
// the bytes assembled so far when a later one is.
template <typename T>
int readOrdered(FILE *in, T *valueP, bool bigEndian) {
    constexpr int width = sizeof(T);
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        const int c = getc(in);
        if (c == EOF)
            return -1;
        const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
        value |= static_cast<std::uint32_t>(c) << shift;
        *valueP = static_cast<T>(value);
    }
    return 0;
}

template <typename T>
int writeOrdered(FILE *out, T v, bool bigEndian) {
    constexpr int width = sizeof(T);
    const auto value = static_cast<std::uint32_t>(v);
    for (int i = 0; i < width; ++i) {
        const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
        putc(static_cast<int>((value >> shift) & 0xFF), out);
    }
    return 0;
}

}  // namespace

int pm_readbigshort(FILE *in, int16_t *sP) { return readOrdered(in, sP, true); }
int pm_writebigshort(FILE *out, int16_t s) { return writeOrdered(out, s, true); }
int pm_readbiglong(FILE *in, int32_t *lP) { return readOrdered(in, lP, true); }
int pm_writebiglong(FILE *out, int32_t l) { return writeOrdered(out, l, true); }
int pm_readlittleshort(FILE *in, int16_t *sP) { return readOrdered(in, sP, false); }
int pm_writelittleshort(FILE *out, int16_t s) { return writeOrdered(out, s, false); }
int pm_readlittlelong(FILE *in, int32_t *lP) { return readOrdered(in, lP, false); }
int pm_writelittlelong(FILE *out, int32_t l) { return writeOrdered(out, l, false); }
