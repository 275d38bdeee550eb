#!/bin/sh
# Builds quantize and runs it on the sample photograph.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quantize
build/default/tools/quantize/quantize 16 examples/coffee.ppm > build/coffee-16.ppm && echo "quantized examples/coffee.ppm to 16 colours: $(pwd)/build/coffee-16.ppm"
