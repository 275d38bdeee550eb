// quantize: reduce an image to a few colours.
#include <kestrum/common.h>

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);
    return 0;
}
