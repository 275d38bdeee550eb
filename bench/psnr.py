#!/usr/bin/python3
"""PSNR of images against an original, RGB at 8 bits.

usage: psnr.py ORIGINAL IMAGE...
Prints one value (dB, two decimals) per image, one a line. Images of another
maxval are brought to 8 bits first, as Pillow reads them.
"""
import sys

import numpy
from PIL import Image


def rgb(path):
    return numpy.asarray(Image.open(path).convert("RGB"), dtype=numpy.float64)


original = rgb(sys.argv[1])
for path in sys.argv[2:]:
    mse = numpy.mean((rgb(path) - original) ** 2)
    print("%.2f" % (float("inf") if mse == 0 else 10 * numpy.log10(255.0 ** 2 / mse)))
