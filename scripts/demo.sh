#!/bin/sh
# Builds quantize and runs it on the sample photograph.
set -e
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quantize
build/default/tools/quantize/quantize -version
