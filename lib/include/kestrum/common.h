/* libkestrum common services: program start-up, messages and fatal errors,
   rows and image arrays, maxval arithmetic, file streams, binary integers.

   Every failure here is fatal: it is reported on standard error as
   "<program>: <text>" and the process ends with status 1. */
#ifndef KESTRUM_COMMON_H
#define KESTRUM_COMMON_H

#include <stdio.h>
#include <kestrum/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero: every image writer produces the plain (text) form. Set by the
   common option -plain. */
extern KESTRUM_API int pm_plain_output;

/* --- Start-up and messages ------------------------------------------- */

/* Records the program name, removes the common options (-quiet, -version,
   -help, -plain and their double-dash forms) from argv and acts on them. */
KESTRUM_API void pm_proginit(int *argcP, char *argv[]);
KESTRUM_API void ppm_init(int *argcP, char *argv[]);
KESTRUM_API void pgm_init(int *argcP, char *argv[]);
KESTRUM_API void pbm_init(int *argcP, char *argv[]);
KESTRUM_API void pm_init(const char *progname, unsigned int flags);

KESTRUM_API void pm_setMessage(int newState, int *oldStateP);
KESTRUM_API void pm_message(const char *format, ...) KESTRUM_PRINTF(1, 2);
KESTRUM_API KESTRUM_NORETURN void pm_error(const char *format, ...) KESTRUM_PRINTF(1, 2);
KESTRUM_API KESTRUM_NORETURN void pm_perror(const char *reason);
KESTRUM_API KESTRUM_NORETURN void pm_usage(const char *usage);
KESTRUM_API int pm_keymatch(const char *str, const char *keyword, int minchars);
KESTRUM_API char *pm_arg0toprogname(const char *arg0);

/* --- Rows, image arrays, maxval arithmetic --------------------------- */

KESTRUM_API void *pm_allocrow(int cols, int size);
KESTRUM_API void pm_freerow(void *row);
/* rows + 1 row pointers; entry [rows] is the single block of the contiguous
   layout, or null when every row is a block of its own. */
KESTRUM_API void **pm_allocarray(int cols, int rows, int size);
KESTRUM_API void pm_freearray(void **rowIndex, int rows);
KESTRUM_API int pm_maxvaltobits(int maxval);
KESTRUM_API unsigned int pm_bitstomaxval(int bits);
KESTRUM_API unsigned int pm_lcm(unsigned int x, unsigned int y, unsigned int z,
                                unsigned int limit);

/* --- File streams ---------------------------------------------------- */

/* "-" names standard input (reading) or standard output (writing). */
KESTRUM_API FILE *pm_openr(const char *name);
KESTRUM_API FILE *pm_openw(const char *name);
KESTRUM_API FILE *pm_openr_seekable(const char *name);
KESTRUM_API void pm_close(FILE *f);
KESTRUM_API void pm_closer(FILE *f);
KESTRUM_API void pm_closew(FILE *f);
KESTRUM_API unsigned char *pm_read_unknown_size(FILE *f, int32_t *nread);

/* File positions of 4 bytes (int32_t) or 8 bytes (int64_t). */
KESTRUM_API void pm_tell2(FILE *f, void *posP, unsigned int posSize);
KESTRUM_API int32_t pm_tell(FILE *f);
KESTRUM_API void pm_seek2(FILE *f, const void *posP, unsigned int posSize);
KESTRUM_API void pm_seek(FILE *f, int32_t pos);

/* --- Binary integers (0 on success, -1 at end of file or read error) - */

KESTRUM_API int pm_readbigshort(FILE *in, int16_t *sP);
KESTRUM_API int pm_writebigshort(FILE *out, int16_t s);
KESTRUM_API int pm_readbiglong(FILE *in, int32_t *lP);
KESTRUM_API int pm_writebiglong(FILE *out, int32_t l);
KESTRUM_API int pm_readlittleshort(FILE *in, int16_t *sP);
KESTRUM_API int pm_writelittleshort(FILE *out, int16_t s);
KESTRUM_API int pm_readlittlelong(FILE *in, int32_t *lP);
KESTRUM_API int pm_writelittlelong(FILE *out, int32_t l);

#ifdef __cplusplus
}
#endif

#endif
