/* libkestrum PGM (greyscale) images: reading P2 and P5 rasters, and PBM
   promoted to grey (white maxval, black 0, maxval 255), as rows of sample;
   writing them raw or plain; checking their size. Samples are delivered as
   the file holds them (see sample in types.h). Failures and threads: see
   format.h. */
#ifndef KESTRUM_PGM_H
#define KESTRUM_PGM_H

#include <stdio.h>
#include <kestrum/common.h>
#include <kestrum/format.h>
#include <kestrum/pbm.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Reading ------------------------------------------------------- */

/* Width, height and maxval of a PGM header whose magic number is read. */
KESTRUM_API void pgm_readpgminitrest(FILE *file, int *colsP, int *rowsP, sample *maxvalP);
/* A whole PGM or PBM header; *formatP is stored before it is tested. */
KESTRUM_API void pgm_readpgminit(FILE *file, int *colsP, int *rowsP, sample *maxvalP,
                                 format_code *formatP);
/* One raw sample: one byte when maxval <= 255, else two, big-endian; fatal
   at end of file. */
KESTRUM_API sample pgm_getrawsample(FILE *file, sample maxval);
/* One row of cols samples. */
KESTRUM_API void pgm_readpgmrow(FILE *file, sample *grayrow, int cols, sample maxval,
                                format_code format);
/* The whole image, in an image array of pm_allocarray's layout; release it
   with pm_freearray(image, *rowsP). */
KESTRUM_API sample **pgm_readpgm(FILE *file, int *colsP, int *rowsP, sample *maxvalP);

/* --- Writing (plain when forceplain or pm_plain_output is nonzero) ---- */

/* The header: "P5" (raw) or "P2" (plain; also for a maxval above 65535
   when plain is chosen), width, height and maxval. Fatal for a maxval above
   65535 in the raw form. Rows of cols samples follow, written by
   pgm_writepgmrow with the same maxval and forceplain. A raw row whose
   write fails is fatal; a failed write of the header or of a plain row is
   left in the stream's error state for pm_close to report. */
KESTRUM_API void pgm_writepgminit(FILE *file, int cols, int rows, sample maxval, int forceplain);
KESTRUM_API void pgm_writepgmrow(FILE *file, const sample *grayrow, int cols, sample maxval,
                                 int forceplain);
KESTRUM_API void pgm_writepgm(FILE *file, sample *const *grays, int cols, int rows,
                              sample maxval, int forceplain);
/* One raw sample: its low 8 bits when maxval <= 255, else 16 bits
   big-endian. Fatal when the write fails. */
KESTRUM_API void pgm_writerawsample(FILE *file, sample value, sample maxval);

/* --- Checks and streams --------------------------------------------- */

/* Tests a P5 (or P4) raster against the file's length (see pm_check); a
   plain format is check_not_possible. Fatal for a negative cols or rows. */
KESTRUM_API void pgm_check(FILE *file, check_type checkType, format_code format, int cols,
                           int rows, sample maxval, check_result *retvalP);
/* pm_nextimage. */
KESTRUM_API void pgm_nextimage(FILE *file, int *eofP);

#ifdef __cplusplus
}
#endif

#endif
