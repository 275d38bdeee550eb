// The header tokenizer every PBM, PGM and PPM reader shares, and the format
// codes' families.
//
// Header grammar:
//   magic   two bytes, read raw: 'P' and a digit '1'..'6'. Nothing may
//           precede them, neither white space nor a comment.
//   width, height, and for PGM and PPM maxval: integer tokens.
//   token   any run of separators (space, tab, LF, CR) and comments, then
//           one or more digits '0'..'9'. The first non-digit after them ends
//           the token and is consumed with it, whatever it is.
//   comment '#' through the next LF or CR, wherever pm_getc reads; it reads
//           as that line end, so it may stand wherever a separator may.
// A raw raster therefore starts right after the one character that ended
// the last header integer (a '#' there swallows its whole comment first).
#include "formats_internal.h"

using namespace kestrum::formats;

int format_family(format_code format) {
    switch (format) {
    case PBM_FORMAT:
    case RPBM_FORMAT:
        return PBM_TYPE;
    case PGM_FORMAT:
    case RPGM_FORMAT:
        return PGM_TYPE;
    case PPM_FORMAT:
    case RPPM_FORMAT:
        return PPM_TYPE;
    default:
        return -1;
    }
}

int pm_readmagicnumber(FILE *ifP) {
    // Both bytes are read before either is tested.
    const int first = getc(ifP);
    const int second = getc(ifP);
    if (first == EOF || second == EOF)
        pm_error("Error reading magic number from Kestrum image stream.  "
                 "Most often, this means your input file is empty.");
    return first * 256 + second;
}

char pm_getc(FILE *ifP) {
    StreamLock lock(ifP);
    return static_cast<char>(getcLocked(ifP));
}

unsigned char pm_getrawbyte(FILE *ifP) {
    const int c = getc(ifP);
    if (c == EOF)
        pm_error("%s", kEofOneByteSample);
    return static_cast<unsigned char>(c);
}

unsigned int pm_getuint(FILE *ifP) {
    StreamLock lock(ifP);
    return getUintLocked(ifP);
}
