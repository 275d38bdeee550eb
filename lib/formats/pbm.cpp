// PBM (bilevel) images: headers, rows of pbm_bit, packed rows, whole images
// and the raster size check. Plain rows are '0'/'1' characters with
// separators and comments anywhere between them; raw rows are 8 pixels a
// byte, leftmost in the most significant bit, each row starting a new byte.
#include <kestrum/pbm.h>

#include "checked_size.h"
#include "formats_internal.h"

using namespace kestrum::formats;

void pbm_readpbminitrest(FILE *file, int *colsP, int *rowsP) {
    *colsP = static_cast<int>(pm_getuint(file));
    *rowsP = static_cast<int>(pm_getuint(file));
}

void pbm_readpbminit(FILE *ifP, int *colsP, int *rowsP, format_code *formatP) {
    *formatP = pm_readmagicnumber(ifP);
    if (format_family(*formatP) != PBM_TYPE)
        pm_error("bad magic number - not a pbm file");
    pbm_readpbminitrest(ifP, colsP, rowsP);
}

void pbm_readpbmrow(FILE *file, pbm_bit *bitrow, int cols, format_code format) {
    readBitSpan(file, bitrow, spanCount(cols), format);
}

void pbm_readpbmrow_packed(FILE *file, unsigned char *packedBits, int cols, format_code format) {
    const std::size_t count = spanCount(cols);
    switch (format) {
    case PBM_FORMAT: {
        StreamLock lock(file);
        for (std::size_t i = 0; i < count; ++i)
            packedBits[i / 8] |= static_cast<unsigned char>(getBitLocked(file) << (7 - i % 8));
        break;
    }
    case RPBM_FORMAT: {
        const std::size_t bytes = (count + 7) / 8;
        const std::size_t got = fread(packedBits, 1, bytes, file);
        if (got < bytes) {
            if (!feof(file))
                pm_error("I/O error reading raw PBM row");
            if (got == 0)
                pm_error("Attempt to read a raw PBM image row, but no more rows left in file.");
            pm_error("EOF in the middle of a raw PBM row.");
        }
        break;
    }
    default:
        pm_error("Internal error in pbm_readpbmrow_packed.");
    }
}

pbm_bit **pbm_readpbm(FILE *file, int *colsP, int *rowsP) {
    format_code format;
    pbm_readpbminit(file, colsP, rowsP, &format);
    return readImage<pbm_bit>(file, *colsP, *rowsP, 0, format);
}

void pbm_check(FILE *file, check_type checkType, format_code format, int cols, int rows,
               check_result *retvalP) {
    kestrum::refuseNegative(rows, "number of rows", "pbm_check");
    kestrum::refuseNegative(cols, "number of columns", "pbm_check");
    if (checkType != check_basic) {
        storeCheckResult(retvalP, check_not_supported);
        return;
    }
    if (format != RPBM_FORMAT) {
        storeCheckResult(retvalP, check_not_possible);
        return;
    }
    checkRasterSize(file, (static_cast<std::uint64_t>(cols) + 7) / 8, static_cast<std::uint64_t>(rows),
                    retvalP);
}

void pbm_nextimage(FILE *file, int *eofP) { pm_nextimage(file, eofP); }
