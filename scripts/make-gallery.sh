#!/bin/sh
# Remakes the README's pictures: the sample photo and its quantized versions,
# made by the project's own program and turned into PNG for display.
# Needs ImageMagick's convert (apt-get install --no-install-recommends imagemagick).
set -e
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target quantize >/dev/null
q=build/default/tools/quantize/quantize
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp examples/coffee.ppm "$tmp/coffee.ppm"
$q -quiet 256 examples/coffee.ppm > "$tmp/coffee-256.ppm"
$q -quiet 16 examples/coffee.ppm > "$tmp/coffee-16.ppm"
$q -quiet 4 examples/coffee.ppm > "$tmp/coffee-4.ppm"
$q -quiet -fs 16 examples/coffee.ppm > "$tmp/coffee-16-fs.ppm"
for f in "$tmp"/*.ppm; do
  convert "$f" -strip "docs/$(basename "$f" .ppm).png"
done
ls -l docs/*.png
