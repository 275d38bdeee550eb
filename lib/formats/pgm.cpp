// PGM (greyscale) images: headers, rows of samples (PBM promoted to grey),
// whole images, the raw and plain writers and the raster size check.
#include <kestrum/pgm.h>

#include "family_writer.h"
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

// 17 samples to a line, one blank between them, whatever their digits.
struct GrayFamily {
    using Element = sample;
    static constexpr std::size_t kSamples = 1;
    static sample sampleOf(sample s, std::size_t) { return s; }
    static constexpr char kPlainMagic = PGM_MAGIC2;
    static constexpr char kRawMagic = RPGM_MAGIC2;
    static constexpr format_code kRawFormat = RPGM_FORMAT;
    static constexpr sample kOverallMaxval = PGM_OVERALLMAXVAL;
    static constexpr const char *kInitName = "pgm_writepgminit";
    static constexpr const char *kCheckName = "pgm_check";
    static constexpr const char *kTooLargeMaxval =
        "too-large maxval passed to ppm_writepgminit(): %u.\n"
        "Maximum allowed by the PGM format is %d.";
    static constexpr char kSeparator[] = " ";
    static constexpr int kLineWidth = 3;
    // A PBM raster within a PGM check.
    static bool checkSmaller(FILE *file, check_type checkType, format_code format, int cols, int rows,
                             sample, check_result *retvalP) {
        if (format_family(format) != PBM_TYPE)
            return false;
        pbm_check(file, checkType, format, cols, rows, retvalP);
        return true;
    }
};

}  // namespace

void pgm_writepgminit(FILE *file, int cols, int rows, sample maxval, int forceplain) {
    writeHeader<GrayFamily>(file, cols, rows, maxval, forceplain);
}

void pgm_writepgmrow(FILE *file, const sample *grayrow, int cols, sample maxval, int forceplain) {
    writeRow<GrayFamily>(file, grayrow, cols, maxval, forceplain);
}

void pgm_writepgm(FILE *file, sample *const *grays, int cols, int rows, sample maxval,
                  int forceplain) {
    writeImage<GrayFamily>(file, grays, cols, rows, maxval, forceplain);
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
    checkRaster<GrayFamily>(file, checkType, format, cols, rows, maxval, retvalP);
}

void pgm_nextimage(FILE *file, int *eofP) { pm_nextimage(file, eofP); }
