/* libkestrum colour library: the colour hash table, colour histograms,
   colour rows and colour-map files.

   A colour hash table (color_hash) maps a colour to one int: a pixel count
   while colours are counted, a colour-map index when colours are looked up.
   A colour histogram (color_histogram) is a flat array of colours with their
   counts; its number of used entries travels beside it as a separate int.
   A colour row is a plain array of distinct pixels, its count likewise kept
   by the caller.

   Everything these functions allocate belongs to the caller, who releases it
   with ppm_freecolorhash, ppm_freecolorhist or pm_freerow. Running out of
   memory is fatal ("<program>: <text>", status 1), except in
   ppm_addtocolorhash, which answers -1; a count that exceeds its limit is
   not an error but a null result. The file variants read through the PPM
   reader, whose failures are fatal too. Nothing here keeps a pointer to
   what it is given.

   Threads: functions may run on several threads at once as long as no two
   of them share a table, histogram or row (or a stream). */
#ifndef KESTRUM_COLORMAP_H
#define KESTRUM_COLORMAP_H

#include <stdio.h>
#include <kestrum/format.h>
#include <kestrum/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Colour hash table ------------------------------------------------- */

/* The fixed number of buckets of every colour hash table; tables never
   grow, chains do. */
#define COLOR_HASH_BUCKETS 20023

/* A colour with one signed value: a pixel count in a histogram (1 or more),
   an index in a table made from a histogram or a colour row. */
typedef struct {
    pixel color;
    int value;
} color_count;

/* One chained entry of a colour hash table, owned by its table. */
typedef struct color_hash_entry {
    color_count item;
    struct color_hash_entry *next; /* next entry of the same bucket, or null */
} color_hash_entry;

/* COLOR_HASH_BUCKETS chain heads (null: empty bucket), handed around as a
   pointer to the first. The newest entry of a bucket is its head. */
typedef color_hash_entry **color_hash;

/* A new table with every bucket empty; release it with ppm_freecolorhash. */
KESTRUM_API color_hash ppm_alloccolorhash(void);

/* Puts the colour at the head of its bucket's chain without looking for it
   first. 0 on success; -1 if there was no memory (the table is unchanged). */
KESTRUM_API int ppm_addtocolorhash(color_hash cht, const pixel *colorP, int value);

/* The value of the newest entry for the colour, or -1 if there is none. */
KESTRUM_API int ppm_lookupcolor(color_hash cht, const pixel *colorP);

/* Releases the table and every entry; the table is invalid afterwards. */
KESTRUM_API void ppm_freecolorhash(color_hash cht);

/* --- Colour histograms ------------------------------------------------- */

/* An array of color_count; its length is kept by the caller. */
typedef color_count *color_histogram;

/* The distinct colours of an image with their pixel counts (saturating at
   INT_MAX), in ascending bucket order and, within one bucket, the colour
   first seen last first. maxcolors 0 means no limit; the histogram then has
   room for the number of colours plus 5 entries, else for maxcolors
   entries. With more than maxcolors colours the result is null and
   *colorsP is maxcolors + 1. Otherwise *colorsP is the number of distinct
   colours. A negative maxcolors asks for a room no allocation gives: it is
   fatal at once ("out of memory generating histogram"). The image is only read. Release the result with ppm_freecolorhist. */
KESTRUM_API color_histogram ppm_computecolorhist(pixel *const *pixels, int cols, int rows,
                                                 int maxcolors, int *colorsP);

/* The same, reading the rows from a file whose header has been read; maxval
   and format are those the header reader gave. After a null result the file
   is left in the middle of the raster. */
KESTRUM_API color_histogram ppm_computecolorhist2(FILE *ifP, int cols, int rows,
                                                  sample maxval, format_code format,
                                                  int maxcolors, int *colorsP);

/* The distinct colours of an image in a new table whose values are pixel
   counts; null and *colorsP = maxcolors + 1 if there are more than a
   positive maxcolors (0 sets no limit; a negative one is fatal at once,
   "out of memory computing hash table", as for the histogram). The image
   is only read. Release the table with ppm_freecolorhash. */
KESTRUM_API color_hash ppm_computecolorhash(pixel *const *pixels, int cols, int rows,
                                            int maxcolors, int *colorsP);
KESTRUM_API color_hash ppm_computecolorhash2(FILE *ifP, int cols, int rows,
                                             sample maxval, format_code format,
                                             int maxcolors, int *colorsP);

/* Every entry of the table, bucket by bucket, each chain from its head, in
   a new histogram with room for maxcolors entries (0: the number of entries
   plus 5; the room grows to the number of entries if maxcolors is
   smaller). The table is not changed. Fatal when the room cannot be had,
   as for a negative maxcolors. */
KESTRUM_API color_histogram ppm_colorhashtocolorhist(color_hash cht, int maxcolors);

/* A new table mapping each colour of the first `colors` entries of the
   histogram to its index. A colour listed twice is fatal. */
KESTRUM_API color_hash ppm_colorhisttocolorhash(const color_count *chv, int colors);

/* Puts the colour with the value at the position: an entry already holding
   the colour moves there (its value replaced), a new colour is inserted
   there if *colorsP < maxcolors (the count grows by 1), else nothing
   happens (a negative maxcolors is no room). Entries in between shift by
   one; a position outside the used entries goes to the nearer end. */
KESTRUM_API void ppm_addtocolorhist(color_histogram chv, int *colorsP, int maxcolors,
                                    const pixel *colorP, int value, int position);

/* Releases the histogram (free does the same). */
KESTRUM_API void ppm_freecolorhist(color_histogram chv);

/* --- Colour rows and colour-map files ---------------------------------- */

/* The distinct colours of an image in the order of their first occurrence
   (rows top to bottom, columns left to right), in a new row with room for
   maxcolors pixels (release with pm_freerow). With more than maxcolors
   colours the result is null and *ncolorsP is -1. A negative maxcolors is
   fatal at once ("out of memory allocating a row"). */
KESTRUM_API pixel *ppm_computecolorrow(pixel *const *pixels, int cols, int rows,
                                       int maxcolors, int *ncolorsP);

/* The same for the image at the current position of a file (any format the
   PPM reader accepts); the image's maxval is stored through maxvalP. After
   a null result the rest of the image is left unread. */
KESTRUM_API pixel *ppm_mapfiletocolorrow(FILE *fileP, int maxcolors, int *ncolorsP,
                                         sample *maxvalP);

/* A new table mapping each colour of the row to its first index. */
KESTRUM_API color_hash ppm_colorrowtocolorhash(const pixel *colorrow, int ncolors);

/* Sorts the row in place: by red, then green, then blue ascending when cmp
   is null; otherwise by cmp (negative: the first sorts before the second).
   The order of equal pixels is unspecified. Sorts may run on several
   threads at once, and a comparator may itself sort. */
KESTRUM_API void ppm_sortcolorrow(pixel *colorrow, int ncolors,
                                  int (*cmp)(const pixel *, const pixel *));

/* The colour's index in the row; a colour not yet there is appended if the
   row has room (*ncolorsP < maxcolors), else the answer is -1. */
KESTRUM_API int ppm_addtocolorrow(pixel *colorrow, int *ncolorsP, int maxcolors,
                                  const pixel *colorP);

/* The index of the entry nearest to the colour (squared Euclidean
   distance, exact for every sample value), the lowest index among equals;
   -1 for an empty row. */
KESTRUM_API int ppm_findclosestcolor(const pixel *colormap, int ncolors,
                                     const pixel *colorP);

/* Writes the row as a colour-map file: a plain PPM image of ncolors x 1
   pixels, one colour per text line, whatever pm_plain_output says. Write
   errors are left to pm_close to report. */
KESTRUM_API void ppm_colorrowtomapfile(FILE *ofP, const pixel *colormap, int ncolors,
                                       sample maxval);

#ifdef __cplusplus
}
#endif

#endif
