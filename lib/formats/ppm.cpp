// PPM (colour) images: headers, rows of pixels (PGM and PBM promoted to
// colour), whole images, the raw and plain writers and the raster size check.
#include <kestrum/ppm.h>

#include "checked_size.h"
#include "formats_internal.h"

using namespace kestrum::formats;

// --- Reading ----------------------------------------------------------

void ppm_readppminitrest(FILE *file, int *colsP, int *rowsP, sample *maxvalP) {
    *colsP = static_cast<int>(pm_getuint(file));
    *rowsP = static_cast<int>(pm_getuint(file));
    const unsigned int maxval = pm_getuint(file);
    if (maxval > PPM_OVERALLMAXVAL)
        pm_error("maxval (%d) is too large.\nThe maximum allowed by the PPM is %d.",
                 static_cast<int>(maxval), PPM_OVERALLMAXVAL);
    *maxvalP = maxval;
}

void ppm_readppminit(FILE *file, int *colsP, int *rowsP, sample *maxvalP, format_code *formatP) {
    *formatP = pm_readmagicnumber(file);
    switch (format_family(*formatP)) {
    case PPM_TYPE:
        ppm_readppminitrest(file, colsP, rowsP, maxvalP);
        break;
    case PGM_TYPE:
        pgm_readpgminitrest(file, colsP, rowsP, maxvalP);
        break;
    case PBM_TYPE:
        // Promoted to colour: white is (1, 1, 1).
        pbm_readpbminitrest(file, colsP, rowsP);
        *maxvalP = 1;
        break;
    default:
        pm_error("bad magic number - not a ppm, pgm, or pbm file");
    }
}

void ppm_readppmrow(FILE *file, pixel *pixelrow, int cols, sample maxval, format_code format) {
    readPixelSpan(file, pixelrow, spanCount(cols), maxval, format);
}

pixel **ppm_readppm(FILE *file, int *colsP, int *rowsP, sample *maxvalP) {
    format_code format;
    ppm_readppminit(file, colsP, rowsP, maxvalP, &format);
    return readImage<pixel>(file, *colsP, *rowsP, *maxvalP, format);
}

// --- Writing ----------------------------------------------------------

namespace {

// Raw pixels, red, green, blue, each sample one byte or two big-endian
// bytes, written a chunk at a time.
void ppm_writeppmrowraw(FILE *file, const pixel *pixelrow, std::size_t cols, sample maxval) {
    const bool twoBytes = isTwoByte(maxval);
    for (std::size_t done = 0; done < cols;) {
        const std::size_t n = std::min(cols - done, kSpanPixels);
        unsigned char *raw = writeBuffer(n * 6);
        const pixel *in = pixelrow + done;
        if (twoBytes) {
            for (std::size_t i = 0; i < n; ++i) {
                unsigned char *p = raw + 6 * i;
                p[0] = static_cast<unsigned char>(in[i].r >> 8);
                p[1] = static_cast<unsigned char>(in[i].r);
                p[2] = static_cast<unsigned char>(in[i].g >> 8);
                p[3] = static_cast<unsigned char>(in[i].g);
                p[4] = static_cast<unsigned char>(in[i].b >> 8);
                p[5] = static_cast<unsigned char>(in[i].b);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                unsigned char *p = raw + 3 * i;
                p[0] = static_cast<unsigned char>(in[i].r);
                p[1] = static_cast<unsigned char>(in[i].g);
                p[2] = static_cast<unsigned char>(in[i].b);
            }
        }
        writeExactly(file, raw, n * (twoBytes ? 6 : 3), twoBytes ? kWriteTwoBytes : kWriteOneByte);
        done += n;
    }
}

// 6 pixels to a line, two blanks between pixels and one between the samples
// of a pixel, whatever their digits.
void ppm_writeppmrowplain(FILE *file, const pixel *pixelrow, std::size_t cols) {
    PlainWriter out(file);
    int charcount = 0;
    for (std::size_t col = 0; col < cols; ++col) {
        out.room();
        if (charcount > 64) {
            out.put('\n');
            charcount = 0;
        } else if (charcount > 0) {
            out.put(' ');
            out.put(' ');
            charcount += 2;
        }
        out.putus(pixelrow[col].r);
        out.put(' ');
        out.putus(pixelrow[col].g);
        out.put(' ');
        out.putus(pixelrow[col].b);
        charcount += 11;
    }
    if (charcount > 0) {
        out.room();
        out.put('\n');
    }
}

}  // namespace

void ppm_writeppminit(FILE *file, int cols, int rows, sample maxval, int forceplain) {
    kestrum::refuseNegative(rows, "number of rows", "ppm_writeppminit");
    kestrum::refuseNegative(cols, "number of columns", "ppm_writeppminit");
    const bool plain = plainChosen(forceplain);
    if (maxval > PPM_OVERALLMAXVAL && !plain)
        pm_error("too-large maxval passed to ppm_writeppminit(): %u."
                 "Maximum allowed by the PPM format is %d.",
                 maxval, PPM_OVERALLMAXVAL);
    const char digit = plain || maxval > PPM_OVERALLMAXVAL ? PPM_MAGIC2 : RPPM_MAGIC2;
    fprintf(file, "%c%c\n%d %d\n%u\n", PM_MAGIC1, digit, cols, rows, maxval);
}

void ppm_writeppmrow(FILE *file, const pixel *pixelrow, int cols, sample maxval, int forceplain) {
    if (!plainChosen(forceplain) && maxval <= PPM_OVERALLMAXVAL)
        ppm_writeppmrowraw(file, pixelrow, spanCount(cols), maxval);
    else
        ppm_writeppmrowplain(file, pixelrow, spanCount(cols));
}

void ppm_writeppm(FILE *file, pixel *const *pixels, int cols, int rows, sample maxval,
                  int forceplain) {
    ppm_writeppminit(file, cols, rows, maxval, forceplain);
    for (int row = 0; row < rows; ++row)
        ppm_writeppmrow(file, pixels[row], cols, maxval, forceplain);
}

// --- Checks and streams -----------------------------------------------

void ppm_check(FILE *file, check_type checkType, format_code format, int cols, int rows,
               sample maxval, check_result *retvalP) {
    kestrum::refuseNegative(rows, "number of rows", "ppm_check");
    kestrum::refuseNegative(cols, "number of columns", "ppm_check");
    if (checkType != check_basic) {
        storeCheckResult(retvalP, check_not_supported);
        return;
    }
    switch (format_family(format)) {
    case PBM_TYPE:
        pbm_check(file, checkType, format, cols, rows, retvalP);
        break;
    case PGM_TYPE:
        pgm_check(file, checkType, format, cols, rows, maxval, retvalP);
        break;
    default:
        if (format == RPPM_FORMAT) {
            checkRasterSize(file, static_cast<std::uint64_t>(cols) * (isTwoByte(maxval) ? 6 : 3),
                            static_cast<std::uint64_t>(rows), retvalP);
        } else {
            storeCheckResult(retvalP, check_not_possible);
        }
    }
}

void ppm_nextimage(FILE *file, int *eofP) { pm_nextimage(file, eofP); }
