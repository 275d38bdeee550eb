/* A user's program, in C that also compiles as C++, with every public header:
   copies a PBM, PGM or PPM image as PPM and reports its size and colours.
   usage: histcopy inputfile outputfile */
#include <stdio.h>

#include <kestrum/colormap.h>
#include <kestrum/options.h>
#include <kestrum/ppm.h>

int main(int argc, char *argv[]) {
    FILE *f;
    pixel **image;
    int cols, rows, ncolors, i;
    sample maxval;
    color_count *histogram;
    long counted = 0;

    ppm_init(&argc, argv);
    if (argc != 3)
        pm_usage("inputfile outputfile");
    f = pm_openr(argv[1]);
    image = ppm_readppm(f, &cols, &rows, &maxval);
    pm_close(f);
    histogram = ppm_computecolorhist(image, cols, rows, 0, &ncolors); /* no limit: never null */
    for (i = 0; i < ncolors; ++i)
        counted += histogram[i].value;
    ppm_freecolorhist(histogram);
    printf("%dx%d maxval %u: %d colours, %ld pixels\n", cols, rows, (unsigned)maxval, ncolors, counted);
    f = pm_openw(argv[2]);
    ppm_writeppm(f, image, cols, rows, maxval, 0);
    pm_close(f);
    pm_freearray(image, rows); /* no cast: any image array converts */
    return 0;
}
