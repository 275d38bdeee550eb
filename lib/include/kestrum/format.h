/* libkestrum image formats: what the PBM, PGM and PPM families share.

   Format codes, the header tokenizer every reader uses, the raw-raster size
   checks and the step from one image of a stream to the next.

   An image starts with a two-byte magic number ('P' and a digit), then the
   width and the height and, for PGM and PPM, the maxval, each an unsigned
   decimal integer token. Every failure here and in the pbm.h, pgm.h and
   ppm.h readers, writers and checks is fatal: it is reported through
   pm_error and the process ends with status 1. (The writers' headers and plain
   rows are the exception: a failed write of them is left in the stream's
   error state, which pm_close reports as a message.)

   Threads: every function may run on several threads at once, each with
   its own stream; scratch buffers are per thread. The writers read
   pm_plain_output, which is set at start-up. */
#ifndef KESTRUM_FORMAT_H
#define KESTRUM_FORMAT_H

#include <stdint.h>
#include <stdio.h>
#include <kestrum/common.h>

#ifdef __cplusplus
extern "C" {
#endif

/* First byte * 256 + second byte of an image's magic number. */
typedef int format_code;

#define PM_MAGIC1 'P'
#define PBM_MAGIC2 '1'
#define PGM_MAGIC2 '2'
#define PPM_MAGIC2 '3'
#define RPBM_MAGIC2 '4'
#define RPGM_MAGIC2 '5'
#define RPPM_MAGIC2 '6'

#define PBM_FORMAT (PM_MAGIC1 * 256 + PBM_MAGIC2)   /* P1: plain bits */
#define PGM_FORMAT (PM_MAGIC1 * 256 + PGM_MAGIC2)   /* P2: plain grey */
#define PPM_FORMAT (PM_MAGIC1 * 256 + PPM_MAGIC2)   /* P3: plain colour */
#define RPBM_FORMAT (PM_MAGIC1 * 256 + RPBM_MAGIC2) /* P4: raw bits */
#define RPGM_FORMAT (PM_MAGIC1 * 256 + RPGM_MAGIC2) /* P5: raw grey */
#define RPPM_FORMAT (PM_MAGIC1 * 256 + RPPM_MAGIC2) /* P6: raw colour */

/* A family is named by the code of its plain member. */
#define PBM_TYPE PBM_FORMAT
#define PGM_TYPE PGM_FORMAT
#define PPM_TYPE PPM_FORMAT

/* The largest maxval the readers accept and the raw writers write. */
#define PGM_OVERALLMAXVAL 65535
#define PPM_OVERALLMAXVAL 65535
/* Raw samples take one byte up to this maxval, two (big-endian) above. */
#define PM_ONE_BYTE_MAXVAL 255

/* PBM_TYPE, PGM_TYPE or PPM_TYPE for a valid code, -1 for any other. */
KESTRUM_API int format_family(format_code format);

/* --- Header tokenizer ------------------------------------------------ */

/* The format code of the next two bytes (not checked for validity); fatal
   at end of file. */
KESTRUM_API int pm_readmagicnumber(FILE *ifP);
/* The next character, a '#' comment read as the line end that closes it. */
KESTRUM_API char pm_getc(FILE *ifP);
/* The next byte as it is, comments not recognised. */
KESTRUM_API unsigned char pm_getrawbyte(FILE *ifP);
/* The next unsigned decimal integer token (at most 2147483640); the one
   character that ends it is consumed. Fatal on anything else before it, on
   a larger value, and at end of file. */
KESTRUM_API unsigned int pm_getuint(FILE *ifP);

/* --- Raw raster size checks ------------------------------------------ */

typedef int check_type;
typedef int check_result;

enum { check_basic = 0 };
enum {
    check_passed = 0,        /* the bytes left equal the raster size */
    check_not_supported = 1, /* the check type is not check_basic */
    check_extra_data = 2,    /* more bytes are left than the raster needs */
    check_not_possible = 3   /* plain format, unseekable stream, not a file */
};

/* Compares the bytes left in a regular file with a raster size; a file too
   short is fatal. Stores through resultP only when it is not null. Sizes are
   64-bit, so files of 2 GiB and more are sized correctly. The stream's
   position is not moved. */
KESTRUM_API void pm_check(FILE *file, check_type checkType, uint64_t needRasterSize,
                          check_result *resultP);

/* Skips white space after an image; *eofP becomes 1 at the end of the
   stream, 0 when another image (or anything else) follows. */
KESTRUM_API void pm_nextimage(FILE *file, int *eofP);

#ifdef __cplusplus
}
#endif

#endif
