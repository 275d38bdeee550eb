// Raster size checks against a file's length, and the step from the end of
// one image to the start of the next in a multi-image stream.
#include "formats_internal.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>

using namespace kestrum::formats;

namespace {

// A raster size in decimal, which printf cannot format at 128 bits. Built in
// place, so that reporting a short file needs no memory.
struct Decimal {
    char digits[40];  // 2^128 has 39 digits
    int first = sizeof digits - 1;
    const char *c_str() const { return digits + first; }
};

Decimal decimal(RasterBytes value) {
    Decimal text;
    text.digits[text.first] = '\0';
    do {
        text.digits[--text.first] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return text;
}

}  // namespace

namespace kestrum::formats {

void checkRasterSize(FILE *file, RasterBytes needRasterSize, check_result *resultP) {
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
    if (bytesLeft < needRasterSize)
        pm_error("File has invalid format.  The raster should contain %s bytes, but\n"
                 "the file ends after only %llu bytes.",
                 decimal(needRasterSize).c_str(), static_cast<unsigned long long>(bytesLeft));
    storeCheckResult(resultP, bytesLeft > needRasterSize ? check_extra_data : check_passed);
}

}  // namespace kestrum::formats

void pm_check(FILE *file, check_type, uint64_t needRasterSize, check_result *resultP) {
    checkRasterSize(file, needRasterSize, resultP);
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
