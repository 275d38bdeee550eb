// Raster size checks against a file's length, and the step from the end of
// one image to the start of the next in a multi-image stream.
#include "formats_internal.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>

using namespace kestrum::formats;

namespace {

// The decimal digits of a x b, exact for any two 64-bit values: the product
// is formed in four 32-bit limbs (most significant first) and divided down
// by 10. Built in place, so that reporting a short file needs no memory.
struct Decimal {
    char digits[40];  // 2^128 has 39 digits
    int first = sizeof digits - 1;
    const char *c_str() const { return digits + first; }
};

Decimal decimalProduct(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    const std::uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
    std::uint32_t limbs[4] = {static_cast<std::uint32_t>(high >> 32), static_cast<std::uint32_t>(high),
                              static_cast<std::uint32_t>(middle), static_cast<std::uint32_t>(p00)};
    Decimal text;
    text.digits[text.first] = '\0';
    bool zero;
    do {
        std::uint64_t remainder = 0;
        zero = true;
        for (std::uint32_t &limb : limbs) {
            const std::uint64_t value = remainder << 32 | limb;
            limb = static_cast<std::uint32_t>(value / 10);
            remainder = value % 10;
            zero = zero && limb == 0;
        }
        text.digits[--text.first] = static_cast<char>('0' + remainder);
    } while (!zero);
    return text;
}

}  // namespace

namespace kestrum::formats {

void checkRasterSize(FILE *file, std::uint64_t bytesPerRow, std::uint64_t rows,
                     check_result *resultP) {
    const off_t position = ftello(file);
    if (position < 0) {
        // A pipe or a terminal: there is no length to compare with.
        storeCheckResult(resultP, check_not_possible);
        return;
    }
    struct stat status;
    if (fstat(fileno(file), &status) != 0)
        pm_error("fstat() failed to get size of file, though ftello() successfully identified\n"
                 "the current position.  Errno=%s (%d)",
                 strerror(errno), errno);
    if (!S_ISREG(status.st_mode)) {
        storeCheckResult(resultP, check_not_possible);
        return;
    }
    // A position past the end leaves no bytes, not a negative count.
    const uint64_t bytesLeft =
        status.st_size > position ? static_cast<uint64_t>(status.st_size - position) : 0;
    std::uint64_t need;
    const bool largerThanAnyFile = __builtin_mul_overflow(bytesPerRow, rows, &need);
    if (largerThanAnyFile || bytesLeft < need)
        pm_error("File has invalid format.  The raster should contain %s bytes, but\n"
                 "the file ends after only %llu bytes.",
                 decimalProduct(bytesPerRow, rows).c_str(), static_cast<unsigned long long>(bytesLeft));
    storeCheckResult(resultP, bytesLeft > need ? check_extra_data : check_passed);
}

}  // namespace kestrum::formats

void pm_check(FILE *file, check_type, uint64_t needRasterSize, check_result *resultP) {
    checkRasterSize(file, needRasterSize, 1, resultP);
}

void pm_nextimage(FILE *file, int *eofP) {
    // White space as isspace knows it in the "C" locale; comments are not
    // skipped, so a '#' is pushed back and the next magic number fails on it.
    for (;;) {
        const int c = getc(file);
        if (c == EOF) {
            if (!feof(file))
                pm_error("File error on getc() to position to image");
            *eofP = 1;
            return;
        }
        if (!isspace(c)) {
            if (ungetc(c, file) == EOF)
                pm_error("File error doing ungetc() to position to image.");
            *eofP = 0;
            return;
        }
    }
}
