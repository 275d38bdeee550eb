// PPM (colour) images: headers, rows of pixels (PGM and PBM promoted to
// colour), whole images, the raw and plain writers and the raster size check.
#include <kestrum/ppm.h>

#include "family_writer.h"
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

// 6 pixels to a line, two blanks between pixels and one between the samples
// of a pixel, whatever their digits.
struct ColorFamily {
    using Element = pixel;
    static constexpr std::size_t kSamples = 3;
    static sample sampleOf(const pixel &p, std::size_t k) { return k == 0 ? p.r : k == 1 ? p.g : p.b; }
    static constexpr char kPlainMagic = PPM_MAGIC2;
    static constexpr char kRawMagic = RPPM_MAGIC2;
    static constexpr format_code kRawFormat = RPPM_FORMAT;
    static constexpr sample kOverallMaxval = PPM_OVERALLMAXVAL;
    static constexpr const char *kInitName = "ppm_writeppminit";
    static constexpr const char *kCheckName = "ppm_check";
    static constexpr const char *kTooLargeMaxval =
        "too-large maxval passed to ppm_writeppminit(): %u."
        "Maximum allowed by the PPM format is %d.";
    static constexpr char kSeparator[] = "  ";
    static constexpr int kLineWidth = 11;
    // A PBM or PGM raster within a PPM check.
    static bool checkSmaller(FILE *file, check_type checkType, format_code format, int cols, int rows,
                             sample maxval, check_result *retvalP) {
        switch (format_family(format)) {
        case PBM_TYPE:
            pbm_check(file, checkType, format, cols, rows, retvalP);
            return true;
        case PGM_TYPE:
            pgm_check(file, checkType, format, cols, rows, maxval, retvalP);
            return true;
        default:
            return false;
        }
    }
};

}  // namespace

void ppm_writeppminit(FILE *file, int cols, int rows, sample maxval, int forceplain) {
    writeHeader<ColorFamily>(file, cols, rows, maxval, forceplain);
}

void ppm_writeppmrow(FILE *file, const pixel *pixelrow, int cols, sample maxval, int forceplain) {
    writeRow<ColorFamily>(file, pixelrow, cols, maxval, forceplain);
}

void ppm_writeppm(FILE *file, pixel *const *pixels, int cols, int rows, sample maxval,
                  int forceplain) {
    writeImage<ColorFamily>(file, pixels, cols, rows, maxval, forceplain);
}

// --- Checks and streams -----------------------------------------------

void ppm_check(FILE *file, check_type checkType, format_code format, int cols, int rows,
               sample maxval, check_result *retvalP) {
    checkRaster<ColorFamily>(file, checkType, format, cols, rows, maxval, retvalP);
}

void ppm_nextimage(FILE *file, int *eofP) { pm_nextimage(file, eofP); }
