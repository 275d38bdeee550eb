/* libkestrum PPM (colour) images: reading P3 and P6 rasters, and PGM and PBM
   promoted to colour, as rows of pixel; writing them raw or plain; checking
   their size.

   Promotion: a grey sample g becomes (g, g, g) under the PGM maxval; a PBM
   image gets maxval 1, white (1, 1, 1) and black (0, 0, 0). Samples are
   delivered as the file holds them (see sample in types.h). Failures and
   threads: see format.h. */
#ifndef KESTRUM_PPM_H
#define KESTRUM_PPM_H

#include <stdio.h>
#include <kestrum/common.h>
#include <kestrum/format.h>
#include <kestrum/pgm.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Reading ------------------------------------------------------- */

/* Width, height and maxval of a PPM header whose magic number is read. */
KESTRUM_API void ppm_readppminitrest(FILE *file, int *colsP, int *rowsP, sample *maxvalP);
/* A whole PPM, PGM or PBM header; *formatP is stored before it is tested. */
KESTRUM_API void ppm_readppminit(FILE *file, int *colsP, int *rowsP, sample *maxvalP,
                                 format_code *formatP);
/* One row of cols pixels, with the maxval and format the header gave. */
KESTRUM_API void ppm_readppmrow(FILE *file, pixel *pixelrow, int cols, sample maxval,
                                format_code format);
/* The whole image, in an image array of pm_allocarray's layout; release it
   with pm_freearray(image, *rowsP). The stream is left right after the
   raster. */
KESTRUM_API pixel **ppm_readppm(FILE *file, int *colsP, int *rowsP, sample *maxvalP);

/* --- Writing (plain when forceplain or pm_plain_output is nonzero) ---- */

/* The header: "P6" (raw) or "P3" (plain; also for a maxval above 65535
   when plain is chosen), width, height and maxval. Fatal for a maxval above
   65535 in the raw form. Rows of cols pixels follow, written by
   ppm_writeppmrow with the same maxval and forceplain. A raw row whose
   write fails is fatal; a failed write of the header or of a plain row is
   left in the stream's error state for pm_close to report. */
KESTRUM_API void ppm_writeppminit(FILE *file, int cols, int rows, sample maxval, int forceplain);
KESTRUM_API void ppm_writeppmrow(FILE *file, const pixel *pixelrow, int cols, sample maxval,
                                 int forceplain);
KESTRUM_API void ppm_writeppm(FILE *file, pixel *const *pixels, int cols, int rows,
                              sample maxval, int forceplain);

/* --- Checks and streams --------------------------------------------- */

/* Tests a P6 (or P5, P4) raster against the file's length (see
   pm_check); a plain format is check_not_possible. Fatal for a negative
   cols or rows. */
KESTRUM_API void ppm_check(FILE *file, check_type checkType, format_code format, int cols,
                           int rows, sample maxval, check_result *retvalP);
/* pm_nextimage. */
KESTRUM_API void ppm_nextimage(FILE *file, int *eofP);

#ifdef __cplusplus
}
#endif

#endif
