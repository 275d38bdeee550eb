/* libkestrum common services: program start-up, messages and fatal errors,
   rows and image arrays, maxval arithmetic, file streams, binary integers.

   Failures: unless a function says otherwise, a failure is fatal: it is
   reported on standard error as "<program>: <text>" and the process ends
   with status 1 (the function does not return). The exceptions are named
   below: pm_close reports a stream's earlier error as a message only, and
   the binary integer functions answer with a return value.

   Threads: pm_proginit, pm_init and pm_setMessage set process-wide state
   (the program name, the message switch, pm_plain_output); call them once,
   before any other thread uses the library. pm_arg0toprogname answers in
   one static buffer. Everything else may run on several threads at once as
   long as no two of them share a row, array or stream (stdio locks each
   stream for a single call only). */
#ifndef KESTRUM_COMMON_H
#define KESTRUM_COMMON_H

#include <stdio.h>
#include <kestrum/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero: every image writer produces the plain (text) form. Set to 0 or
   1 by pm_proginit (the common option -plain); a program may set it too. */
extern KESTRUM_API int pm_plain_output;

/* --- Start-up and messages ------------------------------------------- */

/* Takes the program name from argv[0] (after its last '/'), removes the
   common options (-quiet, -version, -help, -plain, their double-dash forms
   and -?) from argv, lowering *argcP, and acts on them: -version prints the
   version report and ends the process with status 0; -help is fatal
   ("Use 'man <program>' for help."). Messages are on unless -quiet was
   given. ppm_init, pgm_init and pbm_init do exactly the same. */
KESTRUM_API void pm_proginit(int *argcP, char *argv[]);
KESTRUM_API void ppm_init(int *argcP, char *argv[]);
KESTRUM_API void pgm_init(int *argcP, char *argv[]);
KESTRUM_API void pbm_init(int *argcP, char *argv[]);
/* Sets the program name that prefixes every message and turns messages
   off. The name is copied: the caller may free its text afterwards. flags is
   unused. Until a name is set, messages carry "kestrum". */
KESTRUM_API void pm_init(const char *progname, unsigned int flags);

/* Messages on (nonzero) or off (0); the previous state is stored through
   oldStateP unless it is null. */
KESTRUM_API void pm_setMessage(int newState, int *oldStateP);
/* "<program>: <text>\n" on standard error, only while messages are on. */
KESTRUM_API void pm_message(const char *format, ...) KESTRUM_PRINTF(1, 2);
/* The same line whatever the message state, then exit status 1. */
KESTRUM_API KESTRUM_NORETURN void pm_error(const char *format, ...) KESTRUM_PRINTF(1, 2);
/* pm_error with "<reason> - <system text of errno>" (the system text alone
   when reason is null or empty). */
KESTRUM_API KESTRUM_NORETURN void pm_perror(const char *reason);
/* "usage:  <program> <usage>\n" on standard error, then exit status 1. */
KESTRUM_API KESTRUM_NORETURN void pm_usage(const char *usage);
/* 1 when str is a case-insensitive (A-Z only) abbreviation of keyword at
   least minchars long, else 0. */
KESTRUM_API int pm_keymatch(const char *str, const char *keyword, int minchars);
/* arg0 after its last '/', without a final ".exe", cut to 64 characters.
   The answer lives in a static buffer that the next call overwrites: copy
   it to keep it, never free it. */
KESTRUM_API char *pm_arg0toprogname(const char *arg0);

/* --- Rows, image arrays, maxval arithmetic --------------------------- */

/* A row of cols elements of size bytes, uninitialised; release it with
   pm_freerow (or free). Fatal when it cannot be had, and for a negative
   cols or size ("Invalid number of columns passed to pm_allocrow(): -1");
   pm_allocarray refuses negative counts the same way. */
KESTRUM_API void *pm_allocrow(int cols, int size);
KESTRUM_API void pm_freerow(void *row);
/* An image array: rows + 1 row pointers, each row cols elements of size
   bytes, uninitialised. Entry [rows] is the single block of the contiguous
   layout, or null when every row is a block of its own (the fallback when
   one block cannot be had). Fatal when neither layout can be had. Release
   it with pm_freearray(array, rows), never with free. */
KESTRUM_API void **pm_allocarray(int cols, int rows, int size);
/* Releases an image array of any element type (pixel **, sample **, ...:
   the parameter takes any of them without a cast) with its rows. */
KESTRUM_API void pm_freearray(void *array, int rows);
/* The bits a sample of maxval needs (1 to 16); fatal above 65535. */
KESTRUM_API int pm_maxvaltobits(int maxval);
/* 2^bits - 1; 0 for bits <= 0, 4294967295 from 32 bits on. */
KESTRUM_API unsigned int pm_bitstomaxval(int bits);
/* The least common multiple of x, y and z, or limit if it exceeds limit.
   Fatal when any of them is 0. */
KESTRUM_API unsigned int pm_lcm(unsigned int x, unsigned int y, unsigned int z,
                                unsigned int limit);

/* --- File streams ---------------------------------------------------- */

/* Open a file in binary mode; "-" names standard input (pm_openr) or
   standard output (pm_openw). Fatal when the file cannot be opened. Close
   the stream with pm_close. */
KESTRUM_API FILE *pm_openr(const char *name);
KESTRUM_API FILE *pm_openw(const char *name);
/* pm_openr, but anything that is not a regular file (a pipe, standard
   input) is first copied whole into a temporary file, which is returned
   rewound. */
KESTRUM_API FILE *pm_openr_seekable(const char *name);
/* Flushes the stream; an error the stream met at any earlier point is only
   reported as a message (the process goes on). Then closes it, except
   standard input, which stays open; a failing fclose is fatal. The stream
   is invalid afterwards. pm_closer and pm_closew are the same. */
KESTRUM_API void pm_close(FILE *f);
KESTRUM_API void pm_closer(FILE *f);
KESTRUM_API void pm_closew(FILE *f);
/* Everything left in the stream, in a new block of *nread bytes that the
   caller releases with free. Fatal when memory runs out or the size passes
   INT32_MAX; a read error ends the data like end of file. */
KESTRUM_API unsigned char *pm_read_unknown_size(FILE *f, int32_t *nread);

/* The position of the stream stored through posP, posSize being 4
   (int32_t) or 8 (int64_t). Fatal for another size, an unpositionable
   stream, or a position a 4-byte place cannot hold. */
KESTRUM_API void pm_tell2(FILE *f, void *posP, unsigned int posSize);
KESTRUM_API int32_t pm_tell(FILE *f);
/* Moves the stream to the position at posP (4 or 8 bytes, as pm_tell2);
   fatal for another size. A failing seek is not reported. */
KESTRUM_API void pm_seek2(FILE *f, const void *posP, unsigned int posSize);
KESTRUM_API void pm_seek(FILE *f, int32_t pos);

/* --- Binary integers ------------------------------------------------- */

/* The readers answer 0, or -1 at end of file or on a read error (then the
   bytes read so far are in the target). The writers always answer 0, even
   after a failed write: the stream's error state records it, and pm_close
   reports it. */

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
