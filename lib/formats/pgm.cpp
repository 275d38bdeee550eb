// PGM (greyscale) images: headers, rows of samples (PBM promoted to grey),
// whole images, the raw and plain writers and the raster size check.
#include <kestrum/pgm.h>

#include "checked_size.h"
#include "formats_internal.h"

using namespace kestrum::formats;

// --- Reading ----------------------------------------------------------

void pgm_readpgminitrest(FILE *file, int *colsP, int *rowsP, sample *maxvalP) {
    *colsP = static_cast<int>(pm_getuint(file));
    *rowsP = static_cast<int>(pm_getuint(file));
    const unsigned int maxval = pm_getuint(file);
    if (maxval > PGM_OVERALLMAXVAL)
        pm_error("maxval is too large.  The largest we can handle is %u.", PGM_OVERALLMAXVAL);
    *maxvalP = maxval;
}

void pgm_readpgminit(FILE *file, int *colsP, int *rowsP, sample *maxvalP, format_code *formatP) {
    *formatP = pm_readmagicnumber(file);
    switch (format_family(*formatP)) {
    case PGM_TYPE:
        pgm_readpgminitrest(file, colsP, rowsP, maxvalP);
        break;
    case PBM_TYPE:
        // Promoted to grey: white is 255.
        pbm_readpbminitrest(file, colsP, rowsP);
        *maxvalP = 255;
        break;
    default:
        pm_error("bad magic number - not a pgm or pbm file");
    }
}

sample pgm_getrawsample(FILE *file, sample maxval) {
    if (!isTwoByte(maxval))
        return pm_getrawbyte(file);
    unsigned char bytes[2];
    if (fread(bytes, 2, 1, file) != 1)
        pm_error("%s", kEofLongSample);
    return static_cast<sample>(bytes[0] << 8 | bytes[1]);
}

void pgm_readpgmrow(FILE *file, sample *grayrow, int cols, sample maxval, format_code format) {
    readGraySpan(file, grayrow, spanCount(cols), maxval, format);
}

sample **pgm_readpgm(FILE *file, int *colsP, int *rowsP, sample *maxvalP) {
    format_code format;
    pgm_readpgminit(file, colsP, rowsP, maxvalP, &format);
    return readImage<sample>(file, *colsP, *rowsP, *maxvalP, format);
}

// --- Writing ----------------------------------------------------------

namespace {

// Raw samples, each one byte or two big-endian bytes, written a chunk at a
// time.
void pgm_writepgmrowraw(FILE *file, const sample *grayrow, std::size_t cols, sample maxval) {
    const bool twoBytes = isTwoByte(maxval);
    for (std::size_t done = 0; done < cols;) {
        const std::size_t n = std::min(cols - done, kSpanPixels);
        unsigned char *raw = writeBuffer(n * 2);
        const sample *in = grayrow + done;
        if (twoBytes) {
            for (std::size_t i = 0; i < n; ++i) {
                raw[2 * i] = static_cast<unsigned char>(in[i] >> 8);
                raw[2 * i + 1] = static_cast<unsigned char>(in[i]);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i)
                raw[i] = static_cast<unsigned char>(in[i]);
        }
        writeExactly(file, raw, twoBytes ? 2 * n : n, twoBytes ? kWriteTwoBytes : kWriteOneByte);
        done += n;
    }
}

// 17 samples to a line, one blank between them, whatever their digits.
void pgm_writepgmrowplain(FILE *file, const sample *grayrow, std::size_t cols) {
    PlainWriter out(file);
    int charcount = 0;
    for (std::size_t col = 0; col < cols; ++col) {
        out.room();
        if (charcount > 64) {
            out.put('\n');
            charcount = 0;
        } else if (charcount > 0) {
            out.put(' ');
            charcount += 1;
        }
        out.putus(grayrow[col]);
        charcount += 3;
    }
    if (charcount > 0) {
        out.room();
        out.put('\n');
    }
}

}  // namespace

void pgm_writepgminit(FILE *file, int cols, int rows, sample maxval, int forceplain) {
    kestrum::refuseNegative(rows, "number of rows", "pgm_writepgminit");
    kestrum::refuseNegative(cols, "number of columns", "pgm_writepgminit");
    const bool plain = plainChosen(forceplain);
    if (maxval > PGM_OVERALLMAXVAL && !plain)
        pm_error("too-large maxval passed to ppm_writepgminit(): %u.\n"
                 "Maximum allowed by the PGM format is %d.",
                 maxval, PGM_OVERALLMAXVAL);
    const char digit = plain || maxval > PGM_OVERALLMAXVAL ? PGM_MAGIC2 : RPGM_MAGIC2;
    fprintf(file, "%c%c\n%d %d\n%u\n", PM_MAGIC1, digit, cols, rows, maxval);
}

void pgm_writepgmrow(FILE *file, const sample *grayrow, int cols, sample maxval, int forceplain) {
    if (!plainChosen(forceplain) && maxval <= PGM_OVERALLMAXVAL)
        pgm_writepgmrowraw(file, grayrow, spanCount(cols), maxval);
    else
        pgm_writepgmrowplain(file, grayrow, spanCount(cols));
}

void pgm_writepgm(FILE *file, sample *const *grays, int cols, int rows, sample maxval,
                  int forceplain) {
    pgm_writepgminit(file, cols, rows, maxval, forceplain);
    for (int row = 0; row < rows; ++row)
        pgm_writepgmrow(file, grays[row], cols, maxval, forceplain);
}

void pgm_writerawsample(FILE *file, sample value, sample maxval) {
    if (!isTwoByte(maxval)) {
        if (putc(static_cast<unsigned char>(value), file) == EOF)
            pm_error("%s", kWriteOneByte);
        return;
    }
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value)};
    if (fwrite(bytes, 2, 1, file) != 1)
        pm_error("%s", kWriteTwoBytes);
}

// --- Checks and streams -----------------------------------------------

void pgm_check(FILE *file, check_type checkType, format_code format, int cols, int rows,
               sample maxval, check_result *retvalP) {
    kestrum::refuseNegative(rows, "number of rows", "pgm_check");
    kestrum::refuseNegative(cols, "number of columns", "pgm_check");
    if (checkType != check_basic) {
        storeCheckResult(retvalP, check_not_supported);
        return;
    }
    if (format_family(format) == PBM_TYPE) {
        pbm_check(file, checkType, format, cols, rows, retvalP);
    } else if (format == RPGM_FORMAT) {
        checkRasterSize(file, static_cast<std::uint64_t>(cols) * (isTwoByte(maxval) ? 2 : 1),
                        static_cast<std::uint64_t>(rows), retvalP);
    } else {
        storeCheckResult(retvalP, check_not_possible);
    }
}

void pgm_nextimage(FILE *file, int *eofP) { pm_nextimage(file, eofP); }
