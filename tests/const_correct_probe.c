/* Compiled, never run, as C and as C++ with every warning an error: a
   caller passes the image arrays the readers return to the functions that
   read or free them without a cast. */
#include <kestrum/colormap.h>
#include <kestrum/ppm.h>

int probe(FILE *file);

int probe(FILE *file) {
    int cols, rows, colors;
    sample maxval;
    pixel **image = ppm_readppm(file, &cols, &rows, &maxval);
    sample **grays = pgm_readpgm(file, &cols, &rows, &maxval);
    color_histogram histogram = ppm_computecolorhist(image, cols, rows, 0, &colors);
    color_hash table = ppm_computecolorhash(image, cols, rows, 0, &colors);
    pixel *row = ppm_computecolorrow(image, cols, rows, 8, &colors);
    ppm_writeppm(stdout, image, cols, rows, maxval, 0);
    pgm_writepgm(stdout, grays, cols, rows, maxval, 0);
    pm_freerow(row);
    ppm_freecolorhash(table);
    ppm_freecolorhist(histogram);
    pm_freearray(image, rows);
    pm_freearray(grays, rows);
    return colors;
}
