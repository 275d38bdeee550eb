/* libkestrum PBM (bilevel) images: reading P1 and P4 rasters as rows of
   pbm_bit (0 white, 1 black) or as packed rows, and checking their size.
   There is no PBM writer. Failures and threads: see format.h. */
#ifndef KESTRUM_PBM_H
#define KESTRUM_PBM_H

#include <stdio.h>
#include <kestrum/common.h>
#include <kestrum/format.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Width and height of a PBM header whose magic number is already read. */
KESTRUM_API void pbm_readpbminitrest(FILE *file, int *colsP, int *rowsP);
/* A whole PBM header; *formatP is stored before it is tested. */
KESTRUM_API void pbm_readpbminit(FILE *ifP, int *colsP, int *rowsP, format_code *formatP);
/* One row of cols pbm_bits. */
KESTRUM_API void pbm_readpbmrow(FILE *file, pbm_bit *bitrow, int cols, format_code format);
/* One row of (cols + 7) / 8 bytes, the leftmost pixel in the most significant
   bit. For P1 bits are only set, so the row must arrive zeroed. */
KESTRUM_API void pbm_readpbmrow_packed(FILE *file, unsigned char *packedBits, int cols,
                                       format_code format);
/* The whole image, in an image array of pm_allocarray's layout; release it
   with pm_freearray(image, *rowsP). */
KESTRUM_API pbm_bit **pbm_readpbm(FILE *file, int *colsP, int *rowsP);

/* Tests a P4 raster against the file's length (see pm_check); any other
   format is check_not_possible. Fatal for a negative cols or rows. */
KESTRUM_API void pbm_check(FILE *file, check_type checkType, format_code format, int cols,
                           int rows, check_result *retvalP);
/* pm_nextimage. */
KESTRUM_API void pbm_nextimage(FILE *file, int *eofP);

#ifdef __cplusplus
}
#endif

#endif
