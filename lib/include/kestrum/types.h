/* Types shared by every unit of libkestrum: samples, pixels, bits.

   Every public header compiles as C (C89 and later) and C++. */
#ifndef KESTRUM_TYPES_H
#define KESTRUM_TYPES_H

#include <stdint.h>

/* Functions marked KESTRUM_API are the library's interface; everything else
   stays hidden in the shared library. */
#if defined(__GNUC__)
#define KESTRUM_API __attribute__((visibility("default")))
#else
#define KESTRUM_API
#endif

#if defined(__GNUC__)
#define KESTRUM_NORETURN __attribute__((noreturn))
#define KESTRUM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KESTRUM_NORETURN
#define KESTRUM_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One sample value. An image's samples should lie from 0 to its maxval,
   but the readers do not enforce it: they deliver what the file holds, a
   raw sample up to 255 (one byte) or 65535 (two bytes), a plain one up to
   2147483640, whatever the maxval. A caller that relies on the range checks
   it. */
typedef uint32_t sample;

/* A colour: red, green, blue samples. */
typedef struct {
    sample r, g, b;
} pixel;

/* One bilevel pixel: 0 white, 1 black. */
typedef unsigned char pbm_bit;

#define PBM_WHITE 0
#define PBM_BLACK 1

#ifdef __cplusplus
}
#endif

#endif
