/* Types shared by every unit of libkestrum: samples, pixels, bits. */
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

/* One sample value, 0 to the image's maxval. */
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
