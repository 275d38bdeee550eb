/* A program as a user of the installed library writes it, in C that also
   compiles as C++: reads a PBM, PGM or PPM image, reports its size and how
   many distinct colours it holds, and writes it back as a PPM image.

   usage: histcopy inputfile outputfile   ("-" is standard input or output) */
#include <stdio.h>

#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

int main(int argc, char *argv[]) {
    FILE *in;
    FILE *out;
    pixel **image;
    int cols, rows, ncolors, i;
    sample maxval;
    color_count *histogram;
    long counted = 0;

    ppm_init(&argc, argv);
    if (argc != 3)
        pm_usage("inputfile outputfile");

    in = pm_openr(argv[1]);
    image = ppm_readppm(in, &cols, &rows, &maxval);
    pm_close(in);

    /* No limit on the number of colours: this never yields null. */
    histogram = ppm_computecolorhist(image, cols, rows, 0, &ncolors);
    for (i = 0; i < ncolors; ++i)
        counted += histogram[i].value;
    ppm_freecolorhist(histogram);
    printf("%dx%d maxval %u: %d colours, %ld pixels\n",
           cols, rows, (unsigned)maxval, ncolors, counted);

    out = pm_openw(argv[2]);
    ppm_writeppm(out, image, cols, rows, maxval, 0);
    pm_close(out);
    pm_freearray((void **)image, rows);
    return 0;
}
